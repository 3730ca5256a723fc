// The ramtrawl program against a simulated chip served by kxcr-server over a
// remote device name: the data words a -d value becomes, and how each
// outcome is worded and ends the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_helpers.h"

namespace {

using testsrv::Args;
using Words = std::vector<uint32_t>;

// A plain gateway of four entries of three words, a read-only array-addressed
// gateway and a receive buffer, which refuses writes.
const char* const kDb =
    "top.blk.ctl_regs  GW_simple      40000 24 4 0 16 3     40010 3\n"
    "top.blk.mem_ro    GW_array_addr  12160 24 4 0 16 65535 12180 2 12 4 0 15 4095\n"
    "top.blk.rx_q      GW_rx_buffer   42000 24 4 0 16 4095  42030 9 3\n";

class RamtrawlStatusTest : public testsrv::RemoteFixture {
protected:
    RamtrawlStatusTest() : RemoteFixture(kDb) {}
};

TEST_F(RamtrawlStatusTest, EachOutcomeIsWordedWithItsExitStatus)
{
    struct Row {
        Args options;
        std::string out;
        int status;
    };
    const Row rows[] = {
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
    for (const Row& row : rows) {
        SCOPED_TRACE("options " + testsrv::Bracketed(row.options));
        const testsrv::RunResult r = Ramtrawl(row.options);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, "");
    }
}

// The -d text is cut into words from its right end; the chip shows which
// word reached which data register (most significant word first).
TEST_F(RamtrawlStatusTest, WriteDataReachesTheDataRegisters)
{
    struct Row {
        const char* data;
        uint32_t index;
        Words entry;
    };
    const Row rows[] = {
        {"1234", 0, {0, 0, 0x1234}},
        {"123456789", 1, {0, 0x1, 0x23456789}},
        {"123456789abcdef01", 2, {0x1, 0x23456789, 0xabcdef01}},
        {"", 3, {0, 0, 0}},
        {"FfFfFfFf0", 0, {0, 0xf, 0xfffffff0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("data \"") + row.data + "\"");
        chip_->SetEntry(0x40000, row.index, {0xdead, 0xbeef, 0xf00d});
        const testsrv::RunResult r =
            Ramtrawl({"-gw", "40000", "-a", std::to_string(row.index), "-d", row.data});
        EXPECT_EQ(r.out, testsrv::kDone);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(chip_->Entry(0x40000, row.index), row.entry);
    }
}

// With neither -gw nor -arr every array is read, each dump labelled with
// the array's name; arrays behind a locked gateway are skipped and named.
TEST_F(RamtrawlStatusTest, DeviceAloneReadsEveryArray)
{
    chip_->HoldLock(0x12160, true);
    chip_->HoldLock(0x42000, true);
    std::string expected;
    for (uint32_t index = 0; index <= 3; ++index)
        expected += testsrv::EntryLine(0x40000, "top.blk.ctl_regs", index,
                                       testsrv::Unwritten(0x40000, index, 3));
    expected +=
        "-E- TimeOut lock GW 12160\n"
        "-E- array top.blk.mem_ro was not read, because its gw was locked\n"
        "-E- TimeOut lock GW 42000\n"
        "-E- array top.blk.rx_q was not read, because its gw was locked\n"
        "-E- operation partially done, because gw was locked\n";
    const testsrv::RunResult r = Ramtrawl({});
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 255);
}

}  // namespace
