// The real ramtrawl against the real kxcr-server serving the simulated chip:
// what a user sees over the remote transport, including the server dying
// under a dump and two users contending for one gateway.
#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <thread>

#include "server_helpers.h"

namespace {

const char kDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 15    40008 2\n"
    "top.mem_a  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 0 1 7\n"
    "top.mem_b  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 1 1 7\n"
    "top.big    GW_simple     42000 24 4 0 16 65535 42100 64\n"
    "top.icache GW_irisc      44000 24 6 0 16 4     44010 1 1 2 0\n"
    "top.mem_ro GW_array_addr 12160 24 4 0 16 65535 12180 2 12 4 0 15 4095\n"
    "top.rx_q   GW_rx_buffer  43000 24 4 0 16 4095  43030 9 3\n";

using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::Unwritten;

class RemoteRun : public testsrv::RemoteFixture {
protected:
    RemoteRun() : RemoteFixture(kDb) {}
};

// Each row runs after the rows above it: the reads see the earlier writes.
TEST_F(RemoteRun, SingleReadsAndWrites) {
    struct Row {
        testsrv::Args args;
        std::string want_out;
    };
    const Row rows[] = {
        {{"-gw", "40000", "-a", "3"}, EntryLine(0x40000, "", 3, Unwritten(0x40000, 3, 2)) + kDone},
        {{"-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kDone},
        {{"-arr", "top.a", "-a", "3"},
         EntryLine(0x40000, "top.a", 3, {0x11223344, 0x55667788}) + kDone},
        {{"-gw", "40000", "-a", "f", "-d", "abc"}, kDone},
        {{"-gw", "40000", "-a", "f"}, EntryLine(0x40000, "", 0xf, {0, 0xabc}) + kDone},
        // Array-addressed: line 7 of the second array is gateway index 0x1007.
        {{"-arr", "top.mem_b", "-a", "7", "-d", "deadbeef"}, kDone},
        {{"-gw", "41000", "-a", "1007"}, EntryLine(0x41000, "", 0x1007, {0, 0xdeadbeef}) + kDone},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(row.args));
        testsrv::RunResult r = Ramtrawl(row.args);
        testsrv::ExpectRun(r, row.want_out);
    }
    EXPECT_EQ(chip_->Entry(0x40000, 3), (std::vector<uint32_t>{0x11223344, 0x55667788}));
    EXPECT_EQ(chip_->Entry(0x41000, 0x1007), (std::vector<uint32_t>{0, 0xdeadbeef}));
}

// The embedded processor's cache: the array composes whole control words
// (code, way, entry), the gateway takes them from the command line and only
// forces the direction bit.
TEST_F(RemoteRun, CacheArrayAndControlWords) {
    const auto key = [](uint32_t line) { return 0x01000000u | line << 6; };  // code 1, way 0
    std::string dump;
    for (uint32_t line = 0; line < 4; ++line) {
        const std::vector<uint32_t> words = line == 1   ? std::vector<uint32_t>{0x55}
                                            : line == 2 ? std::vector<uint32_t>{0x1234abcd}
                                                        : Unwritten(0x44000, key(line), 1);
        dump += EntryLine(0x44000, "top.icache", line, words);
    }
    struct Row {
        testsrv::Args args;
        std::string want_out;
        int want_status;
    };
    const Row rows[] = {
        {{"-arr", "top.icache", "-a", "2", "-d", "1234abcd"}, kDone, 0},
        {{"-arr", "top.icache", "-a", "2"},
         EntryLine(0x44000, "top.icache", 2, {0x1234abcd}) + kDone, 0},
        // Code 1, way 0, entry 2: read whatever bit 24 says.
        {{"-gw", "44000", "-a", "80"}, EntryLine(0x44000, "", 0x1000080, {0x1234abcd}) + kDone, 0},
        // Code 2 once bit 24 is cleared, way 0, entry 1.
        {{"-gw", "44000", "-a", "3000040", "-d", "55"}, kDone, 0},
        {{"-arr", "top.icache", "-a", "4"}, "-E- Address is too high for the specified array/gw \n", 2},
        {{"-arr", "top.icache"}, dump + kDone, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(row.args));
        testsrv::RunResult r = Ramtrawl(row.args);
        testsrv::ExpectRun(r, row.want_out, row.want_status);
    }
}

// How each refusal is worded and the exit status it ends the run with.
TEST_F(RemoteRun, Refusals) {
    struct Row {
        testsrv::Args args;
        std::string want_out;
        int want_status;
    };
    const Row rows[] = {
        {{"-gw", "40000", "-a", "10"},
         "-E- address/maximal 10/f\n-E- Address is too high for the specified array/gw \n", 2},
        {{"-gw", "99999"}, "-E- GateWay 99999 not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "0", "-a", "1", "-d", "5"}, "-E- GateWay 0 not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "top.nothing"}, "-E- Array top.nothing not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "TOP.a", "-a", "1", "-d", "5"}, "-E- Array TOP.a not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "12160", "-a", "0", "-d", "1"}, "-E- GateWay 12160 is read-only \n", 255},
        {{"-arr", "top.rx_q", "-a", "0", "-d", "1"}, "-E- Array top.rx_q is read-only \n", 255},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(row.args));
        const testsrv::RunResult r = Ramtrawl(row.args);
        testsrv::ExpectRun(r, row.want_out, row.want_status);
    }
}

// The -d text is cut into words from its right end; the chip shows which
// word reached which data register (most significant word first), every
// word above the text's written as zero.
TEST_F(RemoteRun, WriteDataReachesTheDataRegisters) {
    struct Row {
        const char* data;
        std::vector<uint32_t> last;  // the entry's last three words
    };
    const Row rows[] = {
        {"1234", {0, 0, 0x1234}},
        {"123456789", {0, 0x1, 0x23456789}},
        {"123456789abcdef01", {0x1, 0x23456789, 0xabcdef01}},
        {"", {0, 0, 0}},
        {"FfFfFfFf0", {0, 0xf, 0xfffffff0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("data \"") + row.data + "\"");
        chip_->SetEntry(0x42000, 9, std::vector<uint32_t>(64, 0xdead));
        const testsrv::RunResult r = Ramtrawl({"-gw", "42000", "-a", "9", "-d", row.data});
        EXPECT_EQ(r.out, kDone);
        EXPECT_EQ(r.status, 0);
        std::vector<uint32_t> want(61, 0);
        want.insert(want.end(), row.last.begin(), row.last.end());
        EXPECT_EQ(chip_->Entry(0x42000, 9), want);
    }
}

// With neither -gw nor -arr every array is read in the order of the names,
// each dump labelled with the array's name; arrays behind a locked gateway
// are skipped and named.
TEST_F(RemoteRun, DeviceAloneReadsEveryArray) {
    std::string want;
    for (uint32_t i = 0; i <= 0xf; ++i) want += EntryLine(0x40000, "top.a", i, Unwritten(0x40000, i, 2));
    const std::pair<uint32_t, const char*> locked[] = {{0x42000, "top.big"},   {0x44000, "top.icache"},
                                                       {0x41000, "top.mem_a"}, {0x41000, "top.mem_b"},
                                                       {0x12160, "top.mem_ro"}, {0x43000, "top.rx_q"}};
    for (const auto& [gw, name] : locked) {
        chip_->HoldLock(gw, true);
        char text[128];
        snprintf(text, sizeof text,
                 "-E- TimeOut lock GW %x\n-E- array %s was not read, because its gw was locked\n", gw, name);
        want += text;
    }
    const testsrv::RunResult r = Ramtrawl({});
    EXPECT_EQ(r.out, want + "-E- operation partially done, because gw was locked\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(RemoteRun, Dumps) {
    const std::vector<uint32_t> written = {0xfeedface, 0x00c0ffee};
    chip_->SetEntry(0x40000, 5, written);
    std::string by_gateway, by_array, mem_b;
    for (uint32_t i = 0; i <= 0xf; ++i) {
        const std::vector<uint32_t> words = i == 5 ? written : Unwritten(0x40000, i, 2);
        by_gateway += EntryLine(0x40000, "", i, words);
        by_array += EntryLine(0x40000, "top.a", i, words);
    }
    // The second array behind a shared gateway: its lines from 0x1000 on.
    for (uint32_t line = 0; line <= 7; ++line)
        mem_b += EntryLine(0x41000, "top.mem_b", line, Unwritten(0x41000, 0x1000 + line, 2));
    const std::pair<testsrv::Args, std::string> rows[] = {
        {{"-gw", "40000"}, by_gateway}, {{"-arr", "top.a"}, by_array}, {{"-arr", "top.mem_b"}, mem_b}};
    for (const auto& [args, want_out] : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(args));
        testsrv::RunResult r = Ramtrawl(args);
        testsrv::ExpectRun(r, want_out + kDone);
    }
}

TEST_F(RemoteRun, TimeOuts) {
    struct Row {
        const char* name;
        void (*knob)(kxsim::Chip&);
        std::string want_out;
    };
    const Row rows[] = {
        {"lock held by someone else", [](kxsim::Chip& c) { c.HoldLock(0x40000, true); },
         "-E- TimeOut lock GW 40000\n-E- operation partially done, because gw was locked\n"},
        {"operation never ends",
         [](kxsim::Chip& c) { c.SetBusyReads(0x40000, kxsim::kBusyForever); },
         "-E- TimeOut Busy\n-E- GW 40000 is busy, waited for the read to end 1000 attempts\n"
         "-E- operation canceled, since gw was busy\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.knob(*chip_);
        testsrv::RunResult r = Ramtrawl({"-gw", "40000", "-a", "1"});
        EXPECT_EQ(r.out, row.want_out);
        EXPECT_EQ(r.status, 255);
        chip_->HoldLock(0x40000, false);
        chip_->SetBusyReads(0x40000, 0);
    }
}

TEST_F(RemoteRun, ServerKilledInTheMiddleOfADump) {
    testsrv::RunResult r;
    std::thread dump([&] { r = Ramtrawl({"-arr", "top.big"}); });
    // Once the control register holds index 1, entry 0 has been printed.
    EXPECT_TRUE(testsrv::Eventually([&] { return (chip_->Peek(0x42000) & 0xFFFF) >= 1; }));
    server_->Stop();
    dump.join();
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("42000 : top.big :   0 : "), std::string::npos) << "the dump had begun";
    EXPECT_EQ(r.out.find("Program terminated normally"), std::string::npos);
    // Almost every request of this dump is a read; the kill may still catch
    // the one write per entry. The shape of the line, each number's eight
    // digits written as '#':
    std::string shape = r.err;
    for (size_t p = shape.find("0x"); p != std::string::npos; p = shape.find("0x", p + 2)) {
        for (size_t i = p + 2; i < shape.size() && isxdigit(static_cast<unsigned char>(shape[i])); ++i)
            shape[i] = '#';
    }
    const std::string tail = ") failed: Input/output error(5)\n";
    EXPECT_TRUE(shape == "-E- Cr read (0x########" + tail ||
                shape == "-E- Cr write (0x########, 0x########" + tail)
        << r.err;
}

TEST_F(RemoteRun, DumpPipedIntoAReaderThatLeavesEnds) {
    // The SIGPIPE handler of the remote transport must not spin when the
    // broken pipe is standard output itself.
    const std::string command = "set -o pipefail; '" + std::string(RAMTRAWL_BIN) + "' '" +
                                device_ + "' -arr top.big | head -n 1";
    testsrv::RunResult r = testsrv::RunProgram({"/bin/bash", "-c", command}, server_->dir());
    EXPECT_EQ(r.out, EntryLine(0x42000, "top.big", 0, Unwritten(0x42000, 0, 64)));
    EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
}

TEST_F(RemoteRun, TwoClientsContendingForOneGatewayLoseNoWrite) {
    constexpr int kRounds = 8;
    // The lock poll is a count of reads, not a time: a holder descheduled for
    // a moment makes the other time out. That write wrote nothing, and its
    // writer tries again, as a user would.
    const std::string timed_out =
        "-E- TimeOut lock GW 40000\n-E- operation partially done, because gw was locked\n";
    // Each client writes its own eight entries, round after round; the lock
    // bit alone keeps the two from mixing their data registers.
    auto writer = [&](uint32_t first, uint32_t tag, std::vector<std::string>* failures) {
        for (int round = 0; round < kRounds; ++round) {
            for (uint32_t i = first; i < first + 8; ++i) {
                char index[16];
                char data[32];
                snprintf(index, sizeof index, "%x", i);
                snprintf(data, sizeof data, "%08x%08x", tag | i, round);
                testsrv::RunResult r;
                for (int attempt = 0; attempt < 100; ++attempt) {
                    r = Ramtrawl({"-gw", "40000", "-a", index, "-d", data});
                    if (r.out != timed_out) break;
                }
                if (r.status != 0 || r.out != kDone) failures->push_back(r.out + r.err);
            }
        }
    };
    std::vector<std::string> failures_a;
    std::vector<std::string> failures_b;
    std::thread a(writer, 0, 0xAAAA0000, &failures_a);
    std::thread b(writer, 8, 0xBBBB0000, &failures_b);
    a.join();
    b.join();
    EXPECT_EQ(failures_a, std::vector<std::string>{});
    EXPECT_EQ(failures_b, std::vector<std::string>{});
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t tag = i < 8 ? 0xAAAA0000 : 0xBBBB0000;
        EXPECT_EQ(chip_->Entry(0x40000, i), (std::vector<uint32_t>{tag | i, kRounds - 1}))
            << "entry " << i;
    }
}

}  // namespace
