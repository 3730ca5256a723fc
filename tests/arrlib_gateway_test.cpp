// The base gateway protocol against the simulated chip: register traffic of
// the transactions, control-word merging, lock and busy time-outs, dumps,
// the printed form of entries and the destructor's release of a held lock.
#include <gtest/gtest.h>

#include <cerrno>
#include <iomanip>
#include <iostream>

#include "arrlib.h"
#include "arrlib_helpers.h"

namespace {

using namespace arrtest;

constexpr u_int32_t kGw = 0x82580;
constexpr u_int32_t kData = 0x82588;
const char* const kDb = "ex.mem GW_simple 82580 24 4 0 16 255 82588 2\n";
// A register no gateway owns: plain storage on the chip.
constexpr u_int32_t kPlain = 0x30000;

class GatewayTest : public ChipTest {
protected:
    GatewayTest() : ChipTest(kDb) {}
    std::unique_ptr<ArrLib::Gateway> MakeGw(u_int32_t max = 255) {
        return std::make_unique<ArrLib::Gateway>(kGw, 24, 4, 0, 16, max, kData, 2);
    }
};

TEST_F(GatewayTest, ReadAndWriteTransactionTraffic) {
    auto gw = MakeGw();
    // Bits outside the fields come back in the control word and the unlock.
    chip().Poke(kGw, 0x00A00000);
    sim_->ClearTraffic();
    ASSERT_EQ(gw->Write(0xC, Words{0x123B}), ArrLib::Ok);
    EXPECT_EQ(Diff(WriteTransaction(kGw, 0xC0A0000C, kData, {0, 0x123B}, 0x00A00000)), "");
    EXPECT_EQ(chip().Entry(kGw, 0xC), (Words{0, 0x123B}));

    sim_->ClearTraffic();
    Words result;
    ASSERT_EQ(gw->Read(0xC, result), ArrLib::Ok);
    EXPECT_EQ(result, (Words{0, 0x123B}));
    EXPECT_EQ(Diff(ReadTransaction(kGw, 0xC1A0000C, kData, {0, 0x123B}, 0x00A00000)), "");

    EXPECT_PRINTS(gw->Read(0xC), ArrLib::Ok, "82580 :   c : 00000000 0000123b \n");
}

TEST_F(GatewayTest, WriteDataWordCount) {
    struct Row { const char* name; Words data; Words entry; };
    const Row rows[] = {
        {"fewer words: missing high words are 0", {0x11}, {0, 0x11}},
        {"exact", {0x22, 0x33}, {0x33, 0x22}},
        {"more words: extra ignored", {0x44, 0x55, 0x66}, {0x55, 0x44}},
        {"no words", {}, {0, 0}},
    };
    auto gw = MakeGw();
    for (const Row& row : rows) {
        ASSERT_EQ(gw->Write(3, row.data), ArrLib::Ok) << row.name;
        EXPECT_EQ(chip().Entry(kGw, 3), row.entry) << row.name;
    }
}

// The control word written to start an operation, for odd field layouts.
TEST_F(GatewayTest, ControlWordMerge) {
    struct Row {
        const char* name;
        int cOffset, cSize, iOffset, iSize;
        u_int32_t ctrl;  // control word the lock read finds
        int command;
        u_int32_t index;
        u_int32_t written;
    };
    const Row rows[] = {
        {"plain fields", 24, 4, 0, 16, 0, 1, 0xC, 0xC100000C},
        {"command is the whole word", 0, 32, 0, 16, 0x1234, 1, 0x55, 0x00000055},
        {"index is the whole word too", 0, 32, 0, 32, 0, 1, 0x12345678, 0x12345678},
        {"command alone on the whole word", 0, 32, 0, 0, 0x00FF0000, 5, 0x7, 0x00000005},
        {"empty index field keeps ctrl bits", 24, 4, 0, 0, 0x0000ABCD, 1, 0xFFFF, 0xC100ABCD},
        {"empty command field keeps ctrl bits", 24, 0, 0, 16, 0x0F000000, 1, 0x2, 0xCF000002},
        {"index wider than field is cut", 24, 4, 0, 8, 0, 0, 0x1FF, 0xC00000FF},
        {"overlap: index decides", 0, 8, 4, 8, 0, 0xFF, 0x0, 0xC000000F},
        {"negative offset writes nothing", -1, 4, 0, 16, 0, 1, 0x3, 0xC0000003},
        {"negative width writes nothing", 24, -3, 0, 16, 0, 1, 0x3, 0xC0000003},
        {"offset 32 writes nothing", 32, 4, 0, 16, 0, 1, 0x3, 0xC0000003},
        {"width above 32 writes nothing", 24, 40, 0, 16, 0, 1, 0x3, 0xC0000003},
        {"field over the lock and busy bits clears them", 28, 8, 0, 16, 0, 0x3, 0x1, 0x30000001},
    };
    for (const Row& row : rows) {
        ArrLib::Gateway gw(kPlain, row.cOffset, row.cSize, row.iOffset, row.iSize, 255, kData, 2);
        chip().Poke(kPlain, row.ctrl);
        ASSERT_EQ(gw.Lock(), ArrLib::Ok) << row.name;
        sim_->ClearTraffic();
        gw.Activate(row.command, row.index);
        EXPECT_EQ(Diff({W(kPlain, row.written)}), "") << row.name;
        chip().Poke(kPlain, 0);
        gw.UnLock();
    }
}

TEST_F(GatewayTest, LockTimeOutAfter1002ReadsLeavesLockAlone) {
    auto gw = MakeGw();
    chip().HoldLock(kGw, true);
    sim_->ClearTraffic();
    Words result;
    const std::string timeOut = "-E- TimeOut lock GW 82580\n";
    EXPECT_PRINTS(gw->Read(1, result), ArrLib::GWLocked, timeOut);
    EXPECT_PRINTS(gw->Write(1, Words{1}), ArrLib::GWLocked, timeOut);
    EXPECT_PRINTS(gw->Read(), ArrLib::GWLocked, timeOut);
    EXPECT_EQ(Diff(Traffic(3 * 1002, AnyR(kGw))), "");
    sim_->ClearTraffic();
    gw.reset();
    EXPECT_TRUE(sim_->Traffic().empty()) << "an unlocked gateway touched a register when freed";
}

TEST(GatewayBusy, TimeOuts) {
    for (bool write : {false, true}) {
        const std::string kind = write ? "write" : "read";
        SCOPED_TRACE(kind);
        auto sim = OpenChip(kDb);
        ASSERT_TRUE(sim);
        sim->chip().SetBusyReads(kGw, kxsim::kBusyForever);
        auto gw = std::make_unique<ArrLib::Gateway>(kGw, 24, 4, 0, 16, 255, kData, 2);
        Words result;
        EXPECT_PRINTS(write ? gw->Write(2, Words{7}) : gw->Read(2, result), ArrLib::GWBusy,
                      "-E- TimeOut Busy\n-E- GW 82580 is busy, waited for the " + kind +
                          " to end 1000 attempts\n");
        // Lock read, busy poll, (data writes), control write, 1002 polls; no unlock.
        Traffic expected = {AnyR(kGw), AnyR(kGw)};
        if (write) expected.insert(expected.end(), {W(kData - 4, 0), W(kData, 7)});
        expected.push_back(W(kGw, write ? 0xC0000002 : 0xC1000002));
        expected.insert(expected.end(), 1002, AnyR(kGw));
        EXPECT_EQ(DiffTraffic(expected, sim->Traffic()), "");
        // Freeing the gateway releases its lock; the next user finds it still busy.
        sim->ClearTraffic();
        gw.reset();
        EXPECT_EQ(DiffTraffic({W(kGw, 0)}, sim->Traffic()), "");
        ArrLib::Gateway other(kGw, 24, 4, 0, 16, 255, kData, 2);
        EXPECT_PRINTS(write ? other.Write(2, Words{7}) : other.Read(2, result), ArrLib::GWBusy,
                      "-E- TimeOut Busy\n-E- GW 82580 is busy before " + kind + " attempt\n");
    }
}

TEST_F(GatewayTest, BadIndexRefusedBeforeAnyAccessOrAfterLock) {
    auto gw = MakeGw();
    chip().Poke(kGw, 0x00000100);
    sim_->ClearTraffic();
    Words result;
    const std::string bad = "-E- address/maximal 100/ff\n";
    EXPECT_PRINTS(gw->Read(0x100, result), ArrLib::AddrTooHigh, bad);
    EXPECT_PRINTS(gw->Write(0x100, Words{1}), ArrLib::AddrTooHigh, bad);
    EXPECT_TRUE(sim_->Traffic().empty());
    // Read(index) takes the lock first and keeps it on the bad index.
    EXPECT_PRINTS(gw->Read(0x100), ArrLib::AddrTooHigh, bad);
    EXPECT_EQ(Diff({AnyR(kGw)}), "");
    sim_->ClearTraffic();
    gw.reset();
    EXPECT_EQ(Diff({W(kGw, 0x00000100)}), "")
        << "the destructor must release the held lock with one control write";
}

TEST_F(GatewayTest, DumpsUnderOneLock) {
    auto gw = MakeGw(2);
    Traffic expected = {AnyR(kGw)};
    for (u_int32_t i = 0; i <= 2; ++i) {
        chip().SetEntry(kGw, i, {i, 0x100 + i});
        expected.insert(expected.end(), {AnyR(kGw), W(kGw, 0xC1000000 | i), AnyR(kGw),
                                         R(kData - 4, i), R(kData, 0x100 + i)});
    }
    expected.push_back(W(kGw, 0));
    sim_->ClearTraffic();
    EXPECT_PRINTS(gw->Read(), ArrLib::Ok,
                  "82580 :   0 : 00000000 00000100 \n"
                  "82580 :   1 : 00000001 00000101 \n"
                  "82580 :   2 : 00000002 00000102 \n");
    EXPECT_EQ(Diff(expected), "");
    EXPECT_PRINTS(gw->Read(std::string("top.blk.mem")), ArrLib::Ok,
                  "82580 : top.blk.mem :   0 : 00000000 00000100 \n"
                  "82580 : top.blk.mem :   1 : 00000001 00000101 \n"
                  "82580 : top.blk.mem :   2 : 00000002 00000102 \n");
}

TEST(GatewayPrint, Formats) {
    struct Row {
        const char* name;
        std::string label;  // empty: the form without a name
        u_int32_t index;
        Words data;
        const char* out;
    };
    const Row rows[] = {
        {"with a name", "top.blk.mem", 0xC, {0, 0x123B},
         "82580 : top.blk.mem :   c : 00000000 0000123b \n"},
        {"no data words", "", 0xC, {}, "82580 :   c : \n"},
        {"wide index printed whole", "", 0x12345, {0xABCDEF}, "82580 : 12345 : 00abcdef \n"},
    };
    ArrLib::Gateway gw(kGw, 24, 4, 0, 16, 255, kData, 2);
    for (const Row& row : rows) {
        CaptureStdout out;
        if (row.label.empty())
            gw.PrintData(row.index, row.data);
        else
            gw.PrintData(row.label, row.index, row.data);
        // Later output without a chosen base relies on hex and '0' fill.
        std::cout << 255 << std::setw(3) << 1;
        EXPECT_EQ(out.Text(), std::string(row.out) + "ff001") << row.name;
    }
}

TEST_F(GatewayTest, RegisterAccessFailureEndsWithStatus2) {
    auto gw = MakeGw();
    chip().FailAccess(kData, EIO);
    Words result;
    EXPECT_EXIT(gw->Read(1, result), ::testing::ExitedWithCode(2),
                "-E- Cr read \\(0x00082588\\) failed: Input/output error\\(5\\)");
    // The dead child kept the gateway's lock; release it as its owner would.
    chip().Write(kGw, 0);
    EXPECT_EXIT(gw->Write(1, Words{0xAB, 0xCD}), ::testing::ExitedWithCode(2),
                "-E- Cr write \\(0x00082588, 0x000000ab\\) failed: Input/output error\\(5\\)");
}

}  // namespace
