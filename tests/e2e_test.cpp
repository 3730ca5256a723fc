// The real ramtrawl against the real kxcr-server serving the simulated chip:
// what a user sees over each transport the server offers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

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

using testsrv::Args;
using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::TopA;
using testsrv::Unwritten;
using Knob = void (*)(kxsim::Chip&, bool on);

// One ramtrawl run: its command line after the device, what it prints and
// how it ends, with `knob` turned on during the run.
struct Row {
    Args args;
    std::string out;
    int status = 0;
    Knob knob = nullptr;
    std::string err = "";
};

// A server on kDb with its chip open, and ramtrawl run in the server's
// directory (beside arr_db.txt) with `device_` first.
class RemoteRun : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server_ = testsrv::StartOrFail({kDb}), nullptr);
        ASSERT_NE(chip_ = testsrv::OpenChip(*server_), nullptr);
    }
    // Each row runs after the rows above it: the reads see the earlier writes.
    void RunRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::PrintToString(row.args));
            Args argv = {RAMTRAWL_BIN, server_->RemoteName(device_)};
            argv.insert(argv.end(), row.args.begin(), row.args.end());
            if (row.knob) row.knob(*chip_, true);
            testsrv::ExpectRun(testsrv::RunProgram(argv, server_->dir()), row.out, row.status, row.err);
            if (row.knob) row.knob(*chip_, false);
        }
    }
    std::unique_ptr<testsrv::Server> server_;
    std::unique_ptr<kxsim::Chip> chip_;
    std::string device_ = kxsim::kZorvanPciconfName;
};

// The chip's configuration space, its I2C master (the chip's own master
// talking to its own slave) and both USB-I2C adapters.
class Transport : public RemoteRun, public testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        device_ = GetParam();
        RemoteRun::SetUp();
    }
};

TEST_P(Transport, ReadsWritesAndDumps) {
    const std::vector<uint32_t> three = {0x11223344, 0x55667788};
    RunRows({
        {{"-gw", "40000", "-a", "3"}, EntryLine(0x40000, "", 3, Unwritten(0x40000, 3, 2)) + kDone},
        {{"-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kDone},
        {{"-arr", "top.a", "-a", "3"}, EntryLine(0x40000, "top.a", 3, three) + kDone},
        {{"-gw", "40000", "-a", "f", "-d", "abc"}, kDone},
        {{"-gw", "40000", "-a", "f"}, EntryLine(0x40000, "", 0xf, {0, 0xabc}) + kDone},
        {{"-gw", "40000"}, TopA("", {{3, three}, {0xf, {0, 0xabc}}}) + kDone},
        {{"-arr", "top.a"}, TopA("top.a", {{3, three}, {0xf, {0, 0xabc}}}) + kDone},
    });
    EXPECT_EQ(chip_->Entry(0x40000, 3), three);
    // The I2C master's control register shows its last command, a stop,
    // done; no other transport uses it.
    EXPECT_EQ(chip_->Peek(0xF0180), device_ == kxsim::kZorvanI2cmName ? 0x00070048u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Names, Transport,
                         testing::Values(kxsim::kZorvanPciconfName, kxsim::kZorvanI2cmName, kxsim::kKxusbName,
                                         kxsim::kDimaxName));

class UsbRun : public Transport {};

// What a user sees when the adapter or the slave fails.
TEST_P(UsbRun, Faults) {
    RunRows({
        // An adapter that moves nothing cannot even be opened.
        {{"-gw", "40000"}, "-E- Cannot open kdt device : " + server_->RemoteName(device_) + "\n", 1,
         [](kxsim::Chip& c, bool on) { c.SetUsbFault(on ? kxsim::UsbFault::Silent : kxsim::UsbFault::None); }},
        {{"-arr", "top.a", "-a", "3"}, "", 2, [](kxsim::Chip& c, bool on) { c.SetI2cAnswers(!on); },
         "-E- Cr read (0x00040000) failed: Input/output error(5)\n"},
    });
}

INSTANTIATE_TEST_SUITE_P(Adapters, UsbRun, testing::Values(kxsim::kKxusbName, kxsim::kDimaxName));

void LockAllButTopA(kxsim::Chip& chip, bool on) {
    for (uint32_t gw : {0x41000, 0x42000, 0x43000, 0x44000, 0x12160}) chip.HoldLock(gw, on);
}

// The -d text is cut into words from its right end, most significant word
// first, every word above the text's written as zero: the big array's entry
// 9, filled beforehand, and its last three words.
std::vector<Row> WriteData(const std::string& data, const std::vector<uint32_t>& last) {
    std::vector<uint32_t> words(61, 0);
    words.insert(words.end(), last.begin(), last.end());
    return {{{"-gw", "42000", "-a", "9", "-d", data}, kDone, 0,
             [](kxsim::Chip& c, bool on) {
                 if (on) c.SetEntry(0x42000, 9, std::vector<uint32_t>(64, 0xdead));
             }},
            {{"-gw", "42000", "-a", "9"}, EntryLine(0x42000, "", 9, words) + kDone}};
}

TEST_F(RemoteRun, CommandLines) {
    // The embedded processor's cache: the array composes whole control words
    // (code 1, way 0, entry), the gateway takes them from the command line and
    // only forces the direction bit.
    std::string icache;
    for (uint32_t line = 0; line < 4; ++line) {
        icache += EntryLine(0x44000, "top.icache", line,
                            line == 1   ? std::vector<uint32_t>{0x55}
                            : line == 2 ? std::vector<uint32_t>{0x1234abcd}
                                        : Unwritten(0x44000, 0x01000000u | line << 6, 1));
    }
    // The second array behind a shared gateway: its lines from 0x1000 on.
    std::string mem_b;
    for (uint32_t line = 0; line <= 7; ++line)
        mem_b += EntryLine(0x41000, "top.mem_b", line,
                           line == 7 ? std::vector<uint32_t>{0, 0xdeadbeef} : Unwritten(0x41000, 0x1000 + line, 2));
    // With neither -gw nor -arr every array is read in the order of the
    // names; those behind a locked gateway are skipped and named.
    std::string every = TopA("top.a", {});
    for (const auto& [gw, name] : std::vector<std::pair<uint32_t, const char*>>{
             {0x42000, "top.big"}, {0x44000, "top.icache"}, {0x41000, "top.mem_a"}, {0x41000, "top.mem_b"},
             {0x12160, "top.mem_ro"}, {0x43000, "top.rx_q"}}) {
        char text[128];
        snprintf(text, sizeof text, "-E- TimeOut lock GW %x\n-E- array %s was not read, because its gw was locked\n",
                 gw, name);
        every += text;
    }
    const std::string too_high = "-E- Address is too high for the specified array/gw \n";
    std::vector<Row> rows = {
        // Array-addressed: line 7 of the second array is gateway index 0x1007.
        {{"-arr", "top.mem_b", "-a", "7", "-d", "deadbeef"}, kDone},
        {{"-gw", "41000", "-a", "1007"}, EntryLine(0x41000, "", 0x1007, {0, 0xdeadbeef}) + kDone},
        {{"-arr", "top.mem_b"}, mem_b + kDone},
        {{"-arr", "top.icache", "-a", "2", "-d", "1234abcd"}, kDone},
        {{"-arr", "top.icache", "-a", "2"}, EntryLine(0x44000, "top.icache", 2, {0x1234abcd}) + kDone},
        // Code 1, way 0, entry 2: read whatever bit 24 says.
        {{"-gw", "44000", "-a", "80"}, EntryLine(0x44000, "", 0x1000080, {0x1234abcd}) + kDone},
        // Code 2 once bit 24 is cleared, way 0, entry 1.
        {{"-gw", "44000", "-a", "3000040", "-d", "55"}, kDone},
        {{"-arr", "top.icache", "-a", "4"}, too_high, 2},
        {{"-arr", "top.icache"}, icache + kDone},
        // Refusals.
        {{"-gw", "40000", "-a", "10"}, "-E- address/maximal 10/f\n" + too_high, 2},
        {{"-gw", "99999"}, "-E- GateWay 99999 not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "0", "-a", "1", "-d", "5"}, "-E- GateWay 0 not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "top.nothing"}, "-E- Array top.nothing not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "TOP.a", "-a", "1", "-d", "5"}, "-E- Array TOP.a not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "12160", "-a", "0", "-d", "1"}, "-E- GateWay 12160 is read-only \n", 255},
        {{"-arr", "top.rx_q", "-a", "0", "-d", "1"}, "-E- Array top.rx_q is read-only \n", 255},
        // Time-outs.
        {{"-gw", "40000", "-a", "1"},
         "-E- TimeOut lock GW 40000\n-E- operation partially done, because gw was locked\n", 255,
         [](kxsim::Chip& c, bool on) { c.HoldLock(0x40000, on); }},
        {{"-gw", "40000", "-a", "1"},
         "-E- TimeOut Busy\n-E- GW 40000 is busy, waited for the read to end 1000 attempts\n"
         "-E- operation canceled, since gw was busy\n",
         255, [](kxsim::Chip& c, bool on) { c.SetBusyReads(0x40000, on ? kxsim::kBusyForever : 0); }},
        {{}, every + "-E- operation partially done, because gw was locked\n", 255, LockAllButTopA},
    };
    for (const auto& [data, last] : std::vector<std::pair<const char*, std::vector<uint32_t>>>{
             {"1234", {0, 0, 0x1234}},
             {"123456789", {0, 0x1, 0x23456789}},
             {"123456789abcdef01", {0x1, 0x23456789, 0xabcdef01}},
             {"", {0, 0, 0}},
             {"FfFfFfFf0", {0, 0xf, 0xfffffff0}}}) {
        const std::vector<Row> pair = WriteData(data, last);
        rows.insert(rows.end(), pair.begin(), pair.end());
    }
    RunRows(rows);
}

TEST_F(RemoteRun, DumpPipedIntoAReaderThatLeavesEnds) {
    // The SIGPIPE handler of the remote transport must not spin when the
    // broken pipe is standard output itself.
    const std::string command = "set -o pipefail; '" + std::string(RAMTRAWL_BIN) + "' '" +
                                server_->RemoteName(device_) + "' -arr top.big | head -n 1";
    testsrv::RunResult r = testsrv::RunProgram({"/bin/bash", "-c", command}, server_->dir());
    EXPECT_EQ(r.out, EntryLine(0x42000, "top.big", 0, Unwritten(0x42000, 0, 64)));
    EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
}

}  // namespace
