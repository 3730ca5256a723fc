// Arrays against the simulated chip: how each kind turns a line number into
// gateway indexes, its own bounds, the lines it prints and what it refuses.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "arrlib.h"
#include "arrlib_helpers.h"

namespace {

using namespace arrtest;

const char* const kDb =
    "arr.a   GW_array_addr 44000 24 4 0 12 4095 44008 2 10 2 2 3 1023\n"
    "xts.a   GW_xtsram     43000 24 4 0 16 65535 43010 1 8 8 4 255 255\n"
    "sxp.a   GW_SXP        1DB00 24 4 0 21 2097151 1DB3C 13 5 16 3 21 127\n"
    "tag.c   GW_simple     50000 24 4 0 12 4095 50010 2\n"
    "rx.q    GW_rx_buffer  42000 24 4 0 16 4095 42020 9 11\n"
    "rx.s    GW_rx_buffer  42100 24 4 0 16 4095 42110 4 3\n"
    "plain   GW_simple     45000 24 4 0 16 255 45008 2\n";

class ArraysTest : public ChipTest {
protected:
    ArraysTest() : ChipTest(kDb) {}
};

constexpr ArrLib::Status Ok = ArrLib::Ok, AddrTooHigh = ArrLib::AddrTooHigh;

TEST_F(ArraysTest, ArrayAddrComposesIndexAndChecksItsBound) {
    ArrLib::GW_array_addr gw(0x44000, 24, 4, 0, 12, 4095, 0x44008, 2, 10, 2, 3, 1023);
    ArrLib::Array_addr array("arr.a", &gw, 2, 10);
    ArrLib::Array_addr single("arr.s", &gw, 3, 0);
    chip().SetEntry(0x44000, 0x805, {0x1, 0x2});
    const std::string tooHigh = "-E- address/limit(bits) 400/3ff\n";
    RunSteps(0x44000, {
        {"line 5 of array 2", [&] { return array.Read(5); }, Ok,
         "44000 : arr.a :   5 : 00000001 00000002 \n", {0x805}},
        {"line beyond 10 bits", [&] { return array.Read(0x400); }, AddrTooHigh, tooHigh, {}, true},
        {"size 0: line 0 is the array number", [&] { return single.Read(0); }, Ok,
         "44000 : arr.s :   0 : a0000300 a0000301 \n", {0x3}},
        {"size 0: line 1 refused", [&] { return single.Read(1); }, AddrTooHigh,
         "-E- address/limit(bits) 1/0\n", {}, true},
        {"write", [&] { return array.Write(7, Words{0xAB}); }, Ok, "", {0x807}},
        {"write beyond 10 bits", [&] { return array.Write(0x400, Words{0xAB}); }, AddrTooHigh,
         tooHigh, {}, true},
    });
    EXPECT_EQ(chip().Entry(0x44000, 0x807), (Words{0, 0xAB}));
}

TEST_F(ArraysTest, XtsramTraceLineAndBound) {
    ArrLib::GW_xtsram gw(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 0xFF);
    ArrLib::Array_xtsram array("xts.a", &gw, 4, 8);
    const std::string tooHigh = "-E- address/limit(bits) 100/ff\n";
    RunSteps(0x43000, {
        {"write prints the index", [&] { return array.Write(0xFF, Words{0x77}); }, Ok, "4ff\n",
         {0x4FF}},
        {"read", [&] { return array.Read(0xFF); }, Ok, "43000 : xts.a :  ff : 00000077 \n",
         {0x4FF}},
        {"read beyond 8 bits", [&] { return array.Read(0x100); }, AddrTooHigh, tooHigh, {}, true},
        {"write beyond 8 bits", [&] { return array.Write(0x100, Words{1}); }, AddrTooHigh, tooHigh,
         {}, true},
    });
    EXPECT_EQ(chip().Entry(0x43000, 0x4FF), Words{0x77});
}

TEST_F(ArraysTest, SxpMapping) {
    ArrLib::GW_sxp gw(0x1DB00, 24, 4, 0, 21, 0x1FFFFF, 0x1DB3C, 13, 5, 16, 21, 127);
    struct Row {
        u_int32_t array, line;
        ArrLib::Status status;
        std::vector<u_int32_t> started;
        const char* out;  // message of a refused line
    };
    const Row rows[] = {
        {3, 0x7F, Ok, {0x20FE0}, nullptr},
        {21, 0, Ok, {0x120000}, nullptr},
        {20, 0x21, Ok, {0xA0021}, nullptr},
        {5, 0x21, Ok, {0xA07A1}, nullptr},
        {0, 0x3F, Ok, {0xE07E0}, nullptr},
        {4, 0x1, Ok, {0x60020}, nullptr},
        {0, 0x40, AddrTooHigh, {}, "-E- address/limit(bits) 40/3f\n"},
        {5, 0x80, AddrTooHigh, {}, "-E- address/limit(bits) 80/7f\n"},
        {1, 0, AddrTooHigh, {}, "-E- sxp array number 1 has no rows\n"},
        {2, 0, AddrTooHigh, {}, "-E- sxp array number 2 has no rows\n"},
        {22, 0, AddrTooHigh, {}, "-E- sxp array number 16 has no rows\n"},
    };
    for (const Row& row : rows) {
        ArrLib::Array_sxp array("sxp.a", &gw, row.array, 5);
        for (bool write : {false, true}) {
            SCOPED_TRACE(testing::Message() << "array " << row.array << " line " << row.line
                                            << (write ? " write" : " read"));
            sim_->ClearTraffic();
            Outcome result = Capture(
                [&] { return write ? array.Write(row.line, {0x5A}) : array.Read(row.line); });
            EXPECT_EQ(result.status, row.status);
            EXPECT_EQ(ControlWrites(0x1DB00, true), row.started);
            if (row.out) {
                EXPECT_EQ(result.out, row.out);
            }
        }
    }
    // What a line wrote is what it reads back.
    ArrLib::Array_sxp array("sxp.a", &gw, 5, 5);
    EXPECT_PRINTS(array.Read(0x21), Ok,
                  "1db00 : sxp.a :  21 : 00000000 00000000 00000000 00000000 00000000 "
                  "00000000 00000000 00000000 00000000 00000000 00000000 00000000 "
                  "0000005a \n");
}

TEST_F(ArraysTest, TagDataLayout) {
    ArrLib::GW_tag_data gw(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::Array_tag_data tags("tag.t", &gw, 0, 10);
    ArrLib::Array_tag_data low("tag.low", &gw, 2, 6);
    ArrLib::Array_tag_data high("tag.high", &gw, 1, 6);
    ArrLib::Array_tag_data other("tag.x", &gw, 3, 6);
    std::vector<u_int32_t> lowWays, highWays;
    Words data;
    std::ostringstream highLine;
    highLine << "50000 : tag.high :   5 : ";
    for (u_int32_t way = 0; way < 16; ++way) {
        lowWays.push_back((way << 6) + 5);
        highWays.push_back(((way + 16) << 6) + 5);
        data.insert(data.end(), {0x100 + 2 * way, 0x101 + 2 * way});
        highLine << Words{0x101 + 2 * way, 0x100 + 2 * way};
    }
    highLine << "\n";
    const std::string notTagData = "-E- tag/data array number 3 is not 0, 1 or 2\n";
    RunSteps(0x50000, {
        // The tag array writes at 0x800 above its line numbers and reads at 0x400.
        {"tag write", [&] { return tags.Write(5, Words{0x7A6}); }, Ok, "", {0x805}},
        {"tag read", [&] { return tags.Read(5); }, Ok, "50000 : tag.t :   5 : a0040500 a0040501 \n",
         {0x405}},
        {"tag line beyond 10 bits", [&] { return tags.Read(0x400); }, AddrTooHigh,
         "-E- address/limit(bits) 400/3ff\n", {}, true},
        {"high write: ways 16..31", [&] { return high.Write(5, data); }, Ok, "", highWays},
        {"high read", [&] { return high.Read(5); }, Ok, highLine.str(), highWays},
        {"low write, short data", [&] { return low.Write(5, Words{1, 2, 3}); }, Ok, "", lowWays},
        // Array numbers other than 0, 1, 2 are refused without any access.
        {"array 3 read", [&] { return other.Read(5); }, AddrTooHigh, notTagData, {}, true},
        {"array 3 write", [&] { return other.Write(5, data); }, AddrTooHigh, notTagData, {}, true},
        {"array 3 dump", [&] { return other.Read(); }, AddrTooHigh, notTagData, {}, true},
    });
    EXPECT_EQ(chip().Entry(0x50000, (16 << 6) + 5), (Words{0x101, 0x100}));
    EXPECT_EQ(chip().Entry(0x50000, (31 << 6) + 5), (Words{0x11F, 0x11E}));
    // The missing words of the short write are written as 0.
    EXPECT_EQ(chip().Entry(0x50000, 5), (Words{2, 1}));
    EXPECT_EQ(chip().Entry(0x50000, (1 << 6) + 5), (Words{0, 3}));
    EXPECT_EQ(chip().Entry(0x50000, (15 << 6) + 5), (Words{0, 0}));
}

TEST_F(ArraysTest, TagDataWriteStopsAtTheFirstFailingWay) {
    // Ways above 20 lie beyond this gateway's largest index.
    ArrLib::GW_tag_data gw(0x50000, 24, 4, 0, 12, (20 << 6) + 5, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::Array_tag_data high("tag.high", &gw, 1, 6);
    EXPECT_PRINTS(high.Write(5, Words(32, 0x99)), AddrTooHigh, " -E- address/maximal 545/505\n");
    EXPECT_EQ(ControlWrites(0x50000, true).size(), 5u);
    EXPECT_EQ(chip().Entry(0x50000, (20 << 6) + 5), (Words{0x99, 0x99}));
    EXPECT_NE(chip().Entry(0x50000, (22 << 6) + 5), (Words{0x99, 0x99}));
}

TEST_F(ArraysTest, RxBufferLanes) {
    ArrLib::Gateway gw(0x42000, 24, 4, 0, 16, 4095, 0x42020, 9);
    ArrLib::Array_rx_buffer lane3("rx.q", &gw, 0xB);  // half 1, lane 3
    // Flags word: start bit of lane 3 in byte 0, end bit in byte 1; only the
    // start bit gives flags 1, only the end bit flags 2.
    chip().SetEntry(0x42000, 0x810, {0x0808, 0xD7, 0xD6, 0xD5, 0xD4, 0xD3, 0xD2, 0xD1, 0xD0});
    chip().SetEntry(0x42000, 0x811, {0x0008, 0, 0, 0, 0, 0x33, 0, 0, 0});
    chip().SetEntry(0x42000, 0x812, {0x0800, 0, 0, 0, 0, 0x44, 0, 0, 0});
    RunSteps(0x42000, {
        {"line 0x10", [&] { return lane3.Read(0x10); }, Ok,
         "42000 : rx.q :  10 : 000000d3 00000003 \n", {0x810}},
        {"line 0x810", [&] { return lane3.Read(0x810); }, Ok,
         "42000 : rx.q : 810 : 000000d3 00000003 \n", {0x810}},
        {"line 0x1000", [&] { return lane3.Read(0x1000); }, AddrTooHigh,
         "-E- address/maximal 1000/FFFF\n", {}},
        {"start bit only", [&] { return lane3.Read(0x11); }, Ok,
         "42000 : rx.q :  11 : 00000033 00000001 \n", {0x811}},
        {"end bit only", [&] { return lane3.Read(0x12); }, Ok,
         "42000 : rx.q :  12 : 00000044 00000002 \n", {0x812}},
    });
}

TEST_F(ArraysTest, RxBufferDumpWriteAndShortGateway) {
    ArrLib::Gateway gw(0x42000, 24, 4, 0, 16, 4095, 0x42020, 9);
    ArrLib::Array_rx_buffer lane0("rx.q", &gw, 0);
    Outcome dump = Capture([&] { return lane0.Read(); });
    EXPECT_EQ(dump.status, Ok);
    EXPECT_EQ(CountLines(dump.out), 2048u);
    // Each line takes and releases the lock: a start and an unlock per line.
    EXPECT_EQ(ControlWrites(0x42000, true).size(), 2048u);
    EXPECT_EQ(ControlWrites(0x42000).size(), 2 * 2048u);
    // A gateway with fewer than nine words per entry cannot hold a lane.
    ArrLib::Gateway small(0x42100, 24, 4, 0, 16, 4095, 0x42110, 4);
    ArrLib::Array_rx_buffer rx("rx.s", &small, 3);
    RunSteps(0x42000, {
        {"write", [&] { return lane0.Write(0x2000, Words{1}); }, ArrLib::GWReadOnly, "", {}, true},
        {"short gateway", [&] { return rx.Read(1); }, ArrLib::AccessError,
         "-E- GW 42100 of array rx.s delivers 4 words, a receive buffer needs 9\n", {}},
    });
    chip().HoldLock(0x42000, true);
    sim_->ClearTraffic();
    EXPECT_PRINTS(lane0.Read(), ArrLib::GWLocked, "-E- TimeOut lock GW 42000\n");
    EXPECT_EQ(Diff(Traffic(1002, AnyR(0x42000))), "")
        << "the dump must stop at the first failing line";
}

TEST_F(ArraysTest, BaseArrayAndNumberedArrayBehindPlainGateway) {
    ArrLib::Gateway gw(0x45000, 24, 4, 0, 16, 255, 0x45008, 2);
    ArrLib::Array plain("plain", &gw);
    ArrLib::Array_addr numbered("numbered", &gw, 0, 16);
    chip().SetEntry(0x45000, 0x12, {0xA, 0xB});
    RunSteps(0x45000, {
        {"plain read", [&] { return plain.Read(0x12); }, Ok,
         "45000 : plain :  12 : 0000000a 0000000b \n", {0x12}},
        {"plain read beyond", [&] { return plain.Read(0x100); }, AddrTooHigh,
         "-E- address/maximal 100/ff\n", {}, true},
        {"plain write", [&] { return plain.Write(0x13, Words{0xC}); }, Ok, "", {0x13}},
        // The numbered array reads single lines through the base transaction...
        {"numbered read", [&] { return numbered.Read(0x13); }, Ok,
         "45000 : numbered :  13 : 00000000 0000000c \n", {0x13}},
        // ...but cannot dump: the gateway has no array numbers.
        {"numbered dump", [&] { return numbered.Read(); }, ArrLib::AccessError,
         "-E- GW 45000 of array numbered has no array numbers\n", {}, true},
    });
}

}  // namespace
