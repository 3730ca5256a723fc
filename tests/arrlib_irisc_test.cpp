// The embedded-processor cache gateway and its cache arrays against the
// simulated chip: control words, way orders, bounds and the lock of a dump.
#include <gtest/gtest.h>

#include <cstring>

#include "arrlib.h"
#include "arrlib_helpers.h"
#include "sim.h"

namespace {

using namespace arrtest;

// Words 8 (code size), 11 (type), 12 (ways), 13 (way selector); one data
// word at control + 0x10.
const char kDb[] =
    "t.code    GW_irisc  60000 0 0 0 0 8     60010 1 1 2 0\n"
    "t.data    GW_irisc  61000 0 0 0 0 256   61010 1 0 8 4\n"
    "t.ways5   GW_irisc  63000 0 0 0 0 8     63010 1 0 5 4\n"
    "t.noways  GW_irisc  64000 0 0 0 0 8     64010 1 1 0 0\n"
    "t.plain   GW_simple 65000 24 4 0 16 255 65010 1\n";

// One self-locking transaction on a gateway whose control register holds 0.
Traffic ReadTxn(u_int32_t gw, u_int32_t ctrl, u_int32_t word) {
    return ReadTransaction(gw, ctrl | 0xC0000000, gw + 0x10, {word}, 0);
}

Traffic WriteTxn(u_int32_t gw, u_int32_t ctrl, u_int32_t word) {
    return WriteTransaction(gw, ctrl | 0xC0000000, gw + 0x10, {word}, 0);
}

Traffic Join(const std::vector<Traffic>& parts) {
    Traffic all;
    for (const Traffic& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const char kBusy[] =
    "-E- TimeOut Busy\n-E- GW 60000 is busy, waited for the read to end 1000 attempts\n";

class IriscTest : public ChipTest {
protected:
    IriscTest() : ChipTest(kDb) {}
};

ArrLib::GW_irisc CodeGateway() {
    return ArrLib::GW_irisc(0x60000, 0, 0, 0, 0, 8, 0x60010, 1, 2, 8);
}

// --------------------------------------------------------------- GW_irisc

TEST_F(IriscTest, GatewayForcesOnlyTheDirectionBit) {
    ArrLib::GW_irisc gw = CodeGateway();
    const struct { const char* label; bool read; u_int32_t ctrl; Traffic expected; } cases[] = {
        {"write with a write command", false, 0x02300140, WriteTxn(0x60000, 0x02300140, 0x5A5A)},
        {"read with the read bit set", true, 0x01300140, ReadTxn(0x60000, 0x01300140, 0x5A5A)},
        {"read with the read bit clear", true, 0x00300140, ReadTxn(0x60000, 0x01300140, 0x5A5A)},
        {"write with the read bit set", false, 0x01300140, WriteTxn(0x60000, 0x00300140, 0x5A5A)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sim_->ClearTraffic();
        EXPECT_PRINTS(c.read ? gw.Read(c.ctrl) : gw.Write(c.ctrl, {0x5A5A}), ArrLib::Ok,
                      c.read ? "60000 : 1300140 : 00005a5a \n" : "");
        EXPECT_EQ(Diff(c.expected), "");
    }
}

TEST_F(IriscTest, GatewayDumpVisitsFourArraysInPassOrder) {
    ArrLib::GW_irisc gw = CodeGateway();
    Outcome dump = Capture([&] { return gw.Read(); });
    EXPECT_EQ(dump.status, ArrLib::Ok);
    std::vector<std::string> lines = SplitLines(dump.out);
    ASSERT_EQ(lines.size(), 2720u);
    const struct { size_t line; const char* prefix; } cases[] = {
        {0, "60000 : 1000000 : "},      // command 1, way 0, entry 0
        {31, "60000 : 13001c0 : "},     // command 1, way 3, entry 7
        {32, "60000 : 11000000 : "},    // command 0x11, way 0, entry 0
        {33, "60000 : 11000040 : "},    // command 0x11, way 0, entry 1
        {159, "60000 : 11100fc0 : "},   // command 0x11, way 1, entry 63
        {160, "60000 : 3000000 : "},    // command 3, entry 0, way 0
        {161, "60000 : 3100000 : "},    // command 3, entry 0, way 1
        {164, "60000 : 3000040 : "},    // command 3, entry 1, way 0
        {672, "60000 : 13000000 : "},   // command 0x13, entry 0, way 0
        {2719, "60000 : 1310ffc0 : "},  // command 0x13, entry 1023, way 1
    };
    for (const auto& c : cases)
        EXPECT_EQ(lines[c.line].substr(0, strlen(c.prefix)), c.prefix) << "line " << c.line;
}

TEST_F(IriscTest, GatewayWithoutWaysDumpsOnlyTheCodeArrays) {
    ArrLib::GW_irisc gw(0x64000, 0, 0, 0, 0, 8, 0x64010, 1, 0, 8);
    Outcome dump = Capture([&] { return gw.Read(); });
    EXPECT_EQ(dump.status, ArrLib::Ok);
    EXPECT_EQ(CountLines(dump.out), 68u * 8);
}

TEST_F(IriscTest, GatewayBusyTimeOutOnWriteSpeaksOfARead) {
    ArrLib::GW_irisc gw = CodeGateway();
    chip().SetBusyReads(0x60000, kxsim::kBusyForever);
    EXPECT_PRINTS(gw.Write(0x02300140, {1}), ArrLib::GWBusy, kBusy);
}

TEST(IriscBadIndex, ChecksWayAndEntryOfEachArray) {
    ArrLib::GW_irisc gw(0x63000, 0, 0, 0, 0, 8, 0x63010, 1, 5, 8);
    const struct { const char* label; u_int32_t ctrl; int bad; } cases[] = {
        {"code, way 3, last entry", 0x013001C0, 0},
        {"code, way 4", 0x01400000, 1},
        {"code, entry code size", 0x01000200, 1},
        {"code write, last entry", 0x020001C0, 0},
        {"large code, last entry", 0x03001FC0, 0},
        {"large code, entry 16 x code size", 0x03002000, 1},
        {"large code write, entry 16 x code size", 0x04002000, 1},
        {"data, way 4 of 5", 0x11400000, 0},
        {"data, way 5 of 5", 0x11500000, 1},
        {"data, entry 64", 0x11001000, 1},
        {"large data, entry 1023", 0x1300FFC0, 0},
        {"large data, entry 1024", 0x13010000, 1},
        {"large data write, entry 1023", 0x1400FFC0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(gw.BadIndex(c.ctrl), c.bad) << c.label;
}

// ------------------------------------------------------------ Array_irisc

TEST_F(IriscTest, SingleWayLineIsOneTransaction) {
    ArrLib::GW_irisc gw(0x61000, 0, 0, 0, 0, 256, 0x61010, 1, 8, 256);
    ArrLib::Array_irisc arr("t.way2", &gw, 2, 256, 0, 8);
    CaptureStdout out;
    EXPECT_EQ(arr.Write(0x3F, {0xCAFE}), ArrLib::Ok);
    EXPECT_EQ(arr.Read(0x3F), ArrLib::Ok);
    EXPECT_EQ(arr.Read(0x40), ArrLib::AddrTooHigh);
    EXPECT_EQ(out.Text(), "61000 : t.way2 :  3f : 0000cafe \n");
    EXPECT_EQ(Diff(Join({WriteTxn(0x61000, 0x12200FC0, 0xCAFE),
                         ReadTxn(0x61000, 0x11200FC0, 0xCAFE)})),
              "");
}

TEST_F(IriscTest, AllWaysLineVisitsWaysFromTheHighest) {
    ArrLib::GW_irisc gw(0x61000, 0, 0, 0, 0, 256, 0x61010, 1, 8, 256);
    ArrLib::Array_irisc arr("t.all", &gw, 4, 256, 0, 8);
    std::vector<Traffic> writes, reads;
    for (u_int32_t way = 8; way-- > 0;) {
        writes.push_back(WriteTxn(0x61000, 0x14000140 | way << 20, 0xA0 + way));
        reads.push_back(ReadTxn(0x61000, 0x13000140 | way << 20, 0xA0 + way));
    }

    EXPECT_EQ(arr.Write(5, {0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1, 0xA0}), ArrLib::Ok);
    EXPECT_EQ(Diff(Join(writes)), "");

    sim_->ClearTraffic();
    EXPECT_PRINTS(arr.Read(5), ArrLib::Ok,
                  "61000 : t.all :   5 : 000000a7 000000a6 000000a5 000000a4 000000a3 000000a2 "
                  "000000a1 000000a0 \n");
    EXPECT_EQ(Diff(Join(reads)), "");

    // The dump shows way 0 first and runs under one lock.
    sim_->ClearTraffic();
    Outcome dump = Capture([&] { return arr.Read(); });
    EXPECT_EQ(dump.status, ArrLib::Ok);
    std::vector<std::string> lines = SplitLines(dump.out);
    ASSERT_EQ(lines.size(), 1024u);
    EXPECT_EQ(lines[5],
              "61000 : t.all :   5 : 000000a0 000000a1 000000a2 000000a3 000000a4 000000a5 "
              "000000a6 000000a7 ");
    Traffic seen = sim_->Traffic();
    ASSERT_EQ(seen.size(), 2 + 1024u * 8 * 4);
    seen.resize(6);
    seen.back() = sim_->Traffic().back();
    EXPECT_EQ(DiffTraffic({AnyR(0x61000), AnyR(0x61000), W(0x61000, 0xD3000000), AnyR(0x61000),
                           AnyR(0x61010), W(0x61000, 0)},
                          seen),
              "");
}

TEST_F(IriscTest, AllWaysWritePlacesWordsOnePositionLaterPerWay) {
    ArrLib::GW_irisc code = CodeGateway();
    ArrLib::GW_irisc data(0x61000, 0, 0, 0, 0, 256, 0x61010, 1, 8, 256);
    const struct {
        const char* label;
        ArrLib::GW_irisc* gw;
        int codeSize, type, ways;
        Words data;
        u_int32_t cmd;
        Words perWay;  // what each way receives, highest way first
    } cases[] = {
        {"four code ways, two words", &code, 8, 1, 2, {0xA, 0xB}, 0x04000000, {0xA, 0xB, 0, 0}},
        {"eight data ways, one word: the words run out", &data, 256, 0, 8, {0xA}, 0x14000000,
         {0xA, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ArrLib::Array_irisc arr("t.all", c.gw, 4, c.codeSize, c.type, c.ways);
        sim_->ClearTraffic();
        EXPECT_EQ(arr.Write(0x7F, c.data), ArrLib::Ok);
        std::vector<Traffic> expected;
        for (size_t k = 0; k < c.perWay.size(); ++k) {
            u_int32_t way = c.perWay.size() - 1 - k;
            expected.push_back(
                WriteTxn(c.gw->Address(), c.cmd | way << 20 | 0x7F << 6, c.perWay[k]));
        }
        EXPECT_EQ(Diff(Join(expected)), "");
    }
}

TEST_F(IriscTest, LinesOutsideTheMemoryAreRefusedWithoutAccess) {
    ArrLib::GW_irisc gw(0x61000, 0, 0, 0, 0, 256, 0x61010, 1, 8, 256);
    const struct { const char* label; int tag, codeSize, type; u_int32_t firstBad; } cases[] = {
        {"data, single way", 2, 256, 0, 0x40},
        {"data, all ways", 4, 256, 0, 0x400},
        {"code, single way", 0, 0x100, 1, 0x100},
        {"code, all ways", 4, 0x100, 1, 0x1000},
        {"code of size 0", 0, 0, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ArrLib::Array_irisc arr("t.bound", &gw, c.tag, c.codeSize, c.type, 8);
        if (c.firstBad > 0) {
            EXPECT_EQ(arr.BadIndex(c.firstBad - 1), 0);
        }
        EXPECT_EQ(arr.BadIndex(c.firstBad), 1);
        sim_->ClearTraffic();
        EXPECT_PRINTS(arr.Read(c.firstBad), ArrLib::AddrTooHigh, "");
        EXPECT_PRINTS(arr.Write(c.firstBad, {1}), ArrLib::AddrTooHigh, "");
        EXPECT_TRUE(sim_->Traffic().empty());
    }
}

TEST_F(IriscTest, EmptyMemoryDumpOnlyLocksAndUnlocks) {
    ArrLib::GW_irisc gw = CodeGateway();
    ArrLib::Array_irisc arr("t.empty", &gw, 0, 0, 1, 2);
    EXPECT_PRINTS(arr.Read(), ArrLib::Ok, "");
    EXPECT_EQ(Diff({AnyR(0x60000), W(0x60000, 0)}), "");
}

TEST_F(IriscTest, DumpReleasesTheLockWhenATransactionFails) {
    ArrLib::GW_irisc gw = CodeGateway();
    ArrLib::Array_irisc arr("t.code", &gw, 0, 8, 1, 2);
    chip().SetBusyReads(0x60000, kxsim::kBusyForever);
    EXPECT_PRINTS(arr.Read(), ArrLib::GWBusy, kBusy);
    Traffic expected = {AnyR(0x60000), AnyR(0x60000), W(0x60000, 0xC1000000)};
    expected.insert(expected.end(), 1002, AnyR(0x60000));
    expected.push_back(W(0x60000, 0));
    EXPECT_EQ(Diff(expected), "");
}

TEST_F(IriscTest, DumpOfALockedGatewayReportsIt) {
    ArrLib::GW_irisc gw = CodeGateway();
    ArrLib::Array_irisc arr("t.code", &gw, 0, 8, 1, 2);
    chip().HoldLock(0x60000, true);
    EXPECT_PRINTS(arr.Read(), ArrLib::GWLocked, "-E- TimeOut lock GW 60000\n");
    EXPECT_EQ(Diff(Traffic(1002, AnyR(0x60000))), "");
}

TEST_F(IriscTest, ArrayBehindAnotherKindOfGatewayIsAnAccessError) {
    ArrLib::Gateway plain(0x65000, 24, 4, 0, 16, 255, 0x65010, 1);
    ArrLib::Array_irisc arr("t.plain", &plain, 0, 8, 1, 2);
    EXPECT_PRINTS(arr.Read(), ArrLib::AccessError, "");
    EXPECT_PRINTS(arr.Read(1), ArrLib::AccessError, "");
    EXPECT_PRINTS(arr.Write(1, {1}), ArrLib::AccessError, "");
    EXPECT_TRUE(sim_->Traffic().empty());
}

}  // namespace
