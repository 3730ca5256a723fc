// The real ramtrawl against the real kxcr-server serving the simulated chip:
// what a user sees over the remote transport, including the server dying
// under a dump and two users contending for one gateway.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server_helpers.h"
#include "sim.h"

namespace {

const char kDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 15    40008 2\n"
    "top.mem_a  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 0 1 7\n"
    "top.mem_b  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 1 1 7\n"
    "top.big    GW_simple     42000 24 4 0 16 65535 42100 64\n";

const char kOk[] = "Program terminated normally\n";

class RemoteRun : public testing::Test {
protected:
    void SetUp() override {
        testsrv::ServerOptions options;
        options.db_text = kDb;
        std::string error;
        server_ = testsrv::Server::Start(options, &error);
        ASSERT_NE(server_, nullptr) << error;
        chip_ = kxsim::Chip::Open(server_->image_path(), kxsim::Family::Zorvan, &error);
        ASSERT_NE(chip_, nullptr) << error;
        device_ = server_->RemoteName(kxsim::kZorvanPciconfName);
    }

    // ramtrawl with the device first, run beside the database.
    testsrv::RunResult Ramtrawl(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {RAMTRAWL_BIN, device_};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsrv::RunProgram(argv, server_->dir());
    }

    std::unique_ptr<testsrv::Server> server_;
    std::unique_ptr<kxsim::Chip> chip_;
    std::string device_;
};

// One printed entry: "gw : [name : ]index : words".
std::string EntryLine(uint32_t gw, const std::string& name, uint32_t index,
                      const std::vector<uint32_t>& words) {
    char head[64];
    snprintf(head, sizeof head, "%x : ", gw);
    std::string line = head + (name.empty() ? "" : name + " : ");
    snprintf(head, sizeof head, "%3x : ", index);
    line += head;
    for (uint32_t w : words) {
        snprintf(head, sizeof head, "%08x ", w);
        line += head;
    }
    return line + "\n";
}

std::vector<uint32_t> Unwritten(uint32_t gw, uint32_t index, unsigned words) {
    std::vector<uint32_t> out;
    for (unsigned w = 0; w < words; ++w) out.push_back(kxsim::Chip::UnwrittenWord(gw, index, w));
    return out;
}

TEST_F(RemoteRun, SingleReadsAndWrites) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string want_out;
        int want_status;
    };
    const Row rows[] = {
        {"read by gateway", {"-gw", "40000", "-a", "3"},
         EntryLine(0x40000, "", 3, Unwritten(0x40000, 3, 2)) + kOk, 0},
        {"write by array", {"-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kOk, 0},
        {"read it back by array", {"-arr", "top.a", "-a", "3"},
         EntryLine(0x40000, "top.a", 3, {0x11223344, 0x55667788}) + kOk, 0},
        {"write by gateway, short data", {"-gw", "40000", "-a", "f", "-d", "abc"}, kOk, 0},
        {"read it back by gateway", {"-gw", "40000", "-a", "f"},
         EntryLine(0x40000, "", 0xf, {0, 0xabc}) + kOk, 0},
        {"array-addressed write", {"-arr", "top.mem_b", "-a", "7", "-d", "deadbeef"}, kOk, 0},
        {"read back through the gateway index", {"-gw", "41000", "-a", "1007"},
         EntryLine(0x41000, "", 0x1007, {0, 0xdeadbeef}) + kOk, 0},
        {"index beyond the gateway", {"-gw", "40000", "-a", "10"},
         "-E- address/maximal 10/f\n-E- Address is too high for the specified array/gw \n", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsrv::RunResult r = Ramtrawl(row.args);
        EXPECT_EQ(r.out, row.want_out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, row.want_status);
    }
    EXPECT_EQ(chip_->Entry(0x40000, 3), (std::vector<uint32_t>{0x11223344, 0x55667788}));
    EXPECT_EQ(chip_->Entry(0x41000, 0x1007), (std::vector<uint32_t>{0, 0xdeadbeef}));
}

TEST_F(RemoteRun, Dumps) {
    chip_->SetEntry(0x40000, 5, {0xfeedface, 0x00c0ffee});
    std::string gateway_dump;
    std::string array_dump;
    for (uint32_t i = 0; i <= 0xf; ++i) {
        std::vector<uint32_t> words = i == 5 ? std::vector<uint32_t>{0xfeedface, 0x00c0ffee}
                                             : Unwritten(0x40000, i, 2);
        gateway_dump += EntryLine(0x40000, "", i, words);
        array_dump += EntryLine(0x40000, "top.a", i, words);
    }
    std::string mem_b_dump;
    for (uint32_t line = 0; line <= 7; ++line) {
        mem_b_dump += EntryLine(0x41000, "top.mem_b", line, Unwritten(0x41000, 0x1000 + line, 2));
    }
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string want_out;
    };
    const Row rows[] = {
        {"gateway", {"-gw", "40000"}, gateway_dump + kOk},
        {"array", {"-arr", "top.a"}, array_dump + kOk},
        {"second array behind a shared gateway", {"-arr", "top.mem_b"}, mem_b_dump + kOk},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsrv::RunResult r = Ramtrawl(row.args);
        EXPECT_EQ(r.out, row.want_out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
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
    usleep(300000);
    server_->Stop();
    dump.join();
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("42000 : top.big :   0 : "), std::string::npos) << "the dump had begun";
    EXPECT_EQ(r.out.find("Program terminated normally"), std::string::npos);
    // Almost every request of this dump is a read; the kill may still catch
    // the one write per entry.
    const std::regex failure(
        "-E- Cr (read \\(0x[0-9a-f]{8}\\)|write \\(0x[0-9a-f]{8}, 0x[0-9a-f]{8}\\)) failed: "
        "Input/output error\\(5\\)\n");
    EXPECT_TRUE(std::regex_match(r.err, failure)) << r.err;
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
    // Each client writes its own eight entries, round after round; the lock
    // bit alone keeps the two from mixing their data registers.
    auto writer = [this](uint32_t first, uint32_t tag, std::vector<std::string>* failures) {
        for (int round = 0; round < kRounds; ++round) {
            for (uint32_t i = first; i < first + 8; ++i) {
                char index[16];
                char data[32];
                snprintf(index, sizeof index, "%x", i);
                snprintf(data, sizeof data, "%08x%08x", tag | i, round);
                testsrv::RunResult r = Ramtrawl({"-gw", "40000", "-a", index, "-d", data});
                if (r.status != 0 || r.out != kOk) failures->push_back(r.out + r.err);
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
