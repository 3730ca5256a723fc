// The ramtrawl program against a simulated chip served by kxcr-server over a
// remote device name: the operation each command line runs, the data words
// a -d value becomes, and how each outcome is worded and ends the run.
#include <gtest/gtest.h>

#include <cstdio>

#include <memory>
#include <string>
#include <vector>

#include "server_helpers.h"
#include "sim.h"

namespace {

using Args = std::vector<std::string>;
using Words = std::vector<uint32_t>;

// A plain gateway of four entries of three words, a read-only array-addressed
// gateway and a receive buffer, which refuses writes.
const char* const kDb =
    "top.blk.ctl_regs  GW_simple      40000 24 4 0 16 3     40010 3\n"
    "top.blk.mem_ro    GW_array_addr  12160 24 4 0 16 65535 12180 2 12 4 0 15 4095\n"
    "top.blk.rx_q      GW_rx_buffer   42000 24 4 0 16 4095  42030 9 3\n";

const char* const kDone = "Program terminated normally\n";

std::string Join(const Args& args)
{
    std::string s;
    for (const std::string& a : args) s += "[" + a + "]";
    return s;
}

class RamtrawlStatusTest : public testing::Test {
protected:
    void SetUp() override
    {
        testsrv::ServerOptions options;
        options.db_text = kDb;
        std::string error;
        server_ = testsrv::Server::Start(options, &error);
        ASSERT_NE(server_, nullptr) << error;
        chip_ = kxsim::Chip::Open(server_->image_path(), kxsim::Family::Zorvan, &error);
        ASSERT_NE(chip_, nullptr) << error;
        device_ = server_->RemoteName(kxsim::kZorvanPciconfName);
    }

    // Runs ramtrawl in the server's directory, where arr_db.txt is, with the
    // remote device as its first word.
    testsrv::RunResult Run(const Args& options) const
    {
        Args argv = {RAMTRAWL_BIN, device_};
        argv.insert(argv.end(), options.begin(), options.end());
        return testsrv::RunProgram(argv, server_->dir());
    }

    std::unique_ptr<testsrv::Server> server_;
    std::unique_ptr<kxsim::Chip> chip_;
    std::string device_;
};

struct OutcomeCase {
    Args options;
    std::string out;
    int status;
};

TEST_F(RamtrawlStatusTest, EachOutcomeIsWordedWithItsExitStatus)
{
    const OutcomeCase cases[] = {
        {{"-gw", "40000", "-a", "3", "-d", "abc"}, kDone, 0},
        {{"-gw", "40000", "-a", "3"},
         std::string("40000 :   3 : 00000000 00000000 00000abc \n") + kDone, 0},
        {{"-gw", "40000", "-a", "4"},
         "-E- address/maximal 4/3\n-E- Address is too high for the specified array/gw \n", 2},
        {{"-gw", "99999"}, "-E- GateWay 99999 not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "0", "-a", "1", "-d", "5"},
         "-E- GateWay 0 not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "top.blk.nothing"},
         "-E- Array top.blk.nothing not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "TOP.blk.ctl_regs", "-a", "1", "-d", "5"},
         "-E- Array TOP.blk.ctl_regs not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "12160", "-a", "0", "-d", "1"}, "-E- GateWay 12160 is read-only \n", 255},
        {{"-arr", "top.blk.rx_q", "-a", "0", "-d", "1"},
         "-E- Array top.blk.rx_q is read-only \n", 255},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE("options " + Join(c.options));
        const testsrv::RunResult r = Run(c.options);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(RamtrawlStatusTest, LockedGatewayIsReported)
{
    chip_->HoldLock(0x40000, true);
    const testsrv::RunResult r = Run({"-gw", "40000", "-a", "1"});
    EXPECT_EQ(r.out,
              "-E- TimeOut lock GW 40000\n"
              "-E- operation partially done, because gw was locked\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(RamtrawlStatusTest, BusyGatewayIsReported)
{
    chip_->SetBusyReads(0x40000, kxsim::kBusyForever);
    const testsrv::RunResult r = Run({"-gw", "40000", "-a", "1", "-d", "7"});
    EXPECT_EQ(r.out,
              "-E- TimeOut Busy\n"
              "-E- GW 40000 is busy, waited for the write to end 1000 attempts\n"
              "-E- operation canceled, since gw was busy\n");
    EXPECT_EQ(r.status, 255);
}

struct DataCase {
    const char* data;
    uint32_t index;
    Words entry;  // most significant word first, as the data registers hold it
};

// The -d text is cut into words from its right end; the chip shows which
// word reached which data register.
TEST_F(RamtrawlStatusTest, WriteDataReachesTheDataRegisters)
{
    const DataCase cases[] = {
        {"1234", 0, {0, 0, 0x1234}},
        {"123456789", 1, {0, 0x1, 0x23456789}},
        {"123456789abcdef01", 2, {0x1, 0x23456789, 0xabcdef01}},
        {"", 3, {0, 0, 0}},
        {"FfFfFfFf0", 0, {0, 0xf, 0xfffffff0}},
    };
    for (const DataCase& c : cases) {
        SCOPED_TRACE(std::string("data \"") + c.data + "\"");
        chip_->SetEntry(0x40000, c.index, {0xdead, 0xbeef, 0xf00d});
        const testsrv::RunResult r =
            Run({"-gw", "40000", "-a", std::to_string(c.index), "-d", c.data});
        EXPECT_EQ(r.out, kDone);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(chip_->Entry(0x40000, c.index), c.entry);
    }
}

// With neither -gw nor -arr every array is read, each dump labelled with
// the array's name; arrays behind a locked gateway are skipped and named.
TEST_F(RamtrawlStatusTest, DeviceAloneReadsEveryArray)
{
    chip_->HoldLock(0x12160, true);
    chip_->HoldLock(0x42000, true);
    std::string expected;
    for (uint32_t index = 0; index <= 3; ++index) {
        char line[80];
        snprintf(line, sizeof line, "40000 : top.blk.ctl_regs :   %x : %08x %08x %08x \n", index,
                 kxsim::Chip::UnwrittenWord(0x40000, index, 0),
                 kxsim::Chip::UnwrittenWord(0x40000, index, 1),
                 kxsim::Chip::UnwrittenWord(0x40000, index, 2));
        expected += line;
    }
    expected +=
        "-E- TimeOut lock GW 12160\n"
        "-E- array top.blk.mem_ro was not read, because its gw was locked\n"
        "-E- TimeOut lock GW 42000\n"
        "-E- array top.blk.rx_q was not read, because its gw was locked\n"
        "-E- operation partially done, because gw was locked\n";
    const testsrv::RunResult r = Run({});
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 255);
}

}  // namespace
