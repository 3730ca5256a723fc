// Arrays against the simulated chip: how each kind turns a line number into
// gateway indexes, its own bounds, the lines it prints and what it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "arrlib.h"
#include "arrlib_helpers.h"

namespace {

using arrtest::CaptureStdout;
using Access = kxsim::Access;
using Words = std::vector<u_int32_t>;

const char* const kDb =
    "arr.a   GW_array_addr 44000 24 4 0 12 4095 44008 2 10 2 2 3 1023\n"
    "xts.a   GW_xtsram     43000 24 4 0 16 65535 43010 1 8 8 4 255 255\n"
    "sxp.a   GW_SXP        1DB00 24 4 0 21 2097151 1DB3C 13 5 16 3 21 127\n"
    "tag.c   GW_simple     50000 24 4 0 12 4095 50010 2\n"
    "rx.q    GW_rx_buffer  42000 24 4 0 16 4095 42020 9 11\n"
    "rx.s    GW_rx_buffer  42100 24 4 0 16 4095 42110 4 3\n"
    "plain   GW_simple     45000 24 4 0 16 255 45008 2\n";

class ArraysTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        sim_ = arrtest::SimChip::Create(kDb, &error);
        ASSERT_TRUE(sim_) << error;
        ASSERT_TRUE(sim_->OpenDevice());
    }
    // Gateway indexes of the operations started at gw, in order (the
    // control writes with the busy bit set, command field cut off).
    std::vector<u_int32_t> Started(u_int32_t gw) const {
        std::vector<u_int32_t> out;
        for (const Access& a : sim_->Traffic())
            if (a.op == 'W' && a.addr == gw && (a.value & 0x40000000))
                out.push_back(a.value & 0x1FFFFF);
        return out;
    }
    std::unique_ptr<arrtest::SimChip> sim_;
};

TEST_F(ArraysTest, ArrayAddrComposesIndexAndChecksItsBound) {
    ArrLib::GW_array_addr gw(0x44000, 24, 4, 0, 12, 4095, 0x44008, 2, 10, 2, 3, 1023);
    ArrLib::Array_addr array("arr.a", &gw, 2, 10);
    ArrLib::Array_addr single("arr.s", &gw, 3, 0);
    sim_->chip().SetEntry(0x44000, 0x805, {0x1, 0x2});
    struct Row {
        const char* name;
        ArrLib::Array* array;
        u_int32_t line;
        ArrLib::Status status;
        const char* out;
        std::vector<u_int32_t> started;
    };
    const Row rows[] = {
        {"line 5 of array 2",
         &array,
         5,
         ArrLib::Ok,
         "44000 : arr.a :   5 : 00000001 00000002 \n",
         {0x805}},
        {"line beyond 10 bits",
         &array,
         0x400,
         ArrLib::AddrTooHigh,
         "-E- address/limit(bits) 400/3ff\n",
         {}},
        {"size 0: line 0 is the array number", &single, 0, ArrLib::Ok, nullptr, {0x3}},
        {"size 0: line 1 refused",
         &single,
         1,
         ArrLib::AddrTooHigh,
         "-E- address/limit(bits) 1/0\n",
         {}},
    };
    for (const Row& row : rows) {
        sim_->ClearTraffic();
        CaptureStdout out;
        EXPECT_EQ(row.array->Read(row.line), row.status) << row.name;
        if (row.out) {
            EXPECT_EQ(out.Text(), row.out) << row.name;
        }
        EXPECT_EQ(Started(0x44000), row.started) << row.name;
    }
    sim_->ClearTraffic();
    EXPECT_EQ(array.Write(7, Words{0xAB}), ArrLib::Ok);
    EXPECT_EQ(Started(0x44000), std::vector<u_int32_t>{0x807});
    EXPECT_EQ(sim_->chip().Entry(0x44000, 0x807), (Words{0, 0xAB}));
    CaptureStdout out;
    EXPECT_EQ(array.Write(0x400, Words{0xAB}), ArrLib::AddrTooHigh);
    EXPECT_EQ(out.Text(), "-E- address/limit(bits) 400/3ff\n");
}

TEST_F(ArraysTest, XtsramTraceLineAndBound) {
    ArrLib::GW_xtsram gw(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 0xFF);
    ArrLib::Array_xtsram array("xts.a", &gw, 4, 8);
    {
        CaptureStdout out;
        EXPECT_EQ(array.Write(0xFF, Words{0x77}), ArrLib::Ok);
        EXPECT_EQ(out.Text(), "4ff\n");
    }
    EXPECT_EQ(Started(0x43000), std::vector<u_int32_t>{0x4FF});
    EXPECT_EQ(sim_->chip().Entry(0x43000, 0x4FF), Words{0x77});
    {
        CaptureStdout out;
        EXPECT_EQ(array.Read(0xFF), ArrLib::Ok);
        EXPECT_EQ(out.Text(), "43000 : xts.a :  ff : 00000077 \n");
    }
    sim_->ClearTraffic();
    CaptureStdout out;
    EXPECT_EQ(array.Read(0x100), ArrLib::AddrTooHigh);
    EXPECT_EQ(array.Write(0x100, Words{1}), ArrLib::AddrTooHigh);
    EXPECT_EQ(out.Text(), "-E- address/limit(bits) 100/ff\n-E- address/limit(bits) 100/ff\n");
    EXPECT_TRUE(sim_->Traffic().empty());
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
        {3, 0x7F, ArrLib::Ok, {0x20FE0}, nullptr},
        {21, 0, ArrLib::Ok, {0x120000}, nullptr},
        {20, 0x21, ArrLib::Ok, {0xA0021}, nullptr},
        {5, 0x21, ArrLib::Ok, {0xA07A1}, nullptr},
        {0, 0x3F, ArrLib::Ok, {0xE07E0}, nullptr},
        {4, 0x1, ArrLib::Ok, {0x60020}, nullptr},
        {0, 0x40, ArrLib::AddrTooHigh, {}, "-E- address/limit(bits) 40/3f\n"},
        {5, 0x80, ArrLib::AddrTooHigh, {}, "-E- address/limit(bits) 80/7f\n"},
        {1, 0, ArrLib::AddrTooHigh, {}, "-E- sxp array number 1 has no rows\n"},
        {2, 0, ArrLib::AddrTooHigh, {}, "-E- sxp array number 2 has no rows\n"},
        {22, 0, ArrLib::AddrTooHigh, {}, "-E- sxp array number 16 has no rows\n"},
    };
    for (const Row& row : rows) {
        ArrLib::Array_sxp array("sxp.a", &gw, row.array, 5);
        for (bool write : {false, true}) {
            sim_->ClearTraffic();
            CaptureStdout out;
            ArrLib::Status status =
                write ? array.Write(row.line, Words{0x5A}) : array.Read(row.line);
            EXPECT_EQ(status, row.status) << "array " << row.array << " line " << row.line;
            EXPECT_EQ(Started(0x1DB00), row.started)
                << "array " << row.array << " line " << row.line;
            if (row.out) {
                EXPECT_EQ(out.Text(), row.out) << "array " << row.array;
            }
        }
    }
    // What a line wrote is what it reads back.
    ArrLib::Array_sxp array("sxp.a", &gw, 5, 5);
    CaptureStdout out;
    ASSERT_EQ(array.Read(0x21), ArrLib::Ok);
    EXPECT_EQ(out.Text(),
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

    // The tag array reads above its line numbers and writes at 0x800.
    ASSERT_EQ(tags.Write(5, Words{0x7A6}), ArrLib::Ok);
    EXPECT_EQ(Started(0x50000), std::vector<u_int32_t>{0x805});
    sim_->ClearTraffic();
    {
        CaptureStdout out;
        ASSERT_EQ(tags.Read(5), ArrLib::Ok);
    }
    EXPECT_EQ(Started(0x50000), std::vector<u_int32_t>{0x405});

    std::vector<u_int32_t> lowWays, highWays;
    for (u_int32_t way = 0; way < 16; ++way) {
        lowWays.push_back((way << 6) + 5);
        highWays.push_back(((way + 16) << 6) + 5);
    }
    Words data;
    for (u_int32_t i = 0; i < 32; ++i) data.push_back(0x100 + i);
    sim_->ClearTraffic();
    ASSERT_EQ(high.Write(5, data), ArrLib::Ok);
    EXPECT_EQ(Started(0x50000), highWays);
    EXPECT_EQ(sim_->chip().Entry(0x50000, (16 << 6) + 5), (Words{0x101, 0x100}));
    EXPECT_EQ(sim_->chip().Entry(0x50000, (31 << 6) + 5), (Words{0x11F, 0x11E}));
    sim_->ClearTraffic();
    {
        CaptureStdout out;
        ASSERT_EQ(high.Read(5), ArrLib::Ok);
        std::ostringstream line;
        line << "50000 : tag.high :   5 : ";
        for (u_int32_t way = 0; way < 16; ++way) line << Words{0x101 + 2 * way, 0x100 + 2 * way};
        line << "\n";
        EXPECT_EQ(out.Text(), line.str());
    }
    EXPECT_EQ(Started(0x50000), highWays);

    // A short data vector: the missing words are written as 0.
    sim_->ClearTraffic();
    ASSERT_EQ(low.Write(5, Words{1, 2, 3}), ArrLib::Ok);
    EXPECT_EQ(Started(0x50000), lowWays);
    EXPECT_EQ(sim_->chip().Entry(0x50000, 5), (Words{2, 1}));
    EXPECT_EQ(sim_->chip().Entry(0x50000, (1 << 6) + 5), (Words{0, 3}));
    EXPECT_EQ(sim_->chip().Entry(0x50000, (15 << 6) + 5), (Words{0, 0}));

    // Array numbers other than 0, 1, 2 are refused without any access.
    sim_->ClearTraffic();
    CaptureStdout out;
    EXPECT_EQ(other.Read(5), ArrLib::AddrTooHigh);
    EXPECT_EQ(other.Write(5, data), ArrLib::AddrTooHigh);
    EXPECT_EQ(other.Read(), ArrLib::AddrTooHigh);
    EXPECT_TRUE(sim_->Traffic().empty());
    EXPECT_EQ(tags.Read(0x400), ArrLib::AddrTooHigh);
    EXPECT_NE(out.Text().find("-E- address/limit(bits) 400/3ff\n"), std::string::npos);
}

TEST_F(ArraysTest, TagDataWriteStopsAtTheFirstFailingWay) {
    // Ways above 20 lie beyond this gateway's largest index.
    ArrLib::GW_tag_data gw(0x50000, 24, 4, 0, 12, (20 << 6) + 5, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::Array_tag_data high("tag.high", &gw, 1, 6);
    Words data(32, 0x99);
    CaptureStdout out;
    EXPECT_EQ(high.Write(5, data), ArrLib::AddrTooHigh);
    EXPECT_EQ(out.Text(), " -E- address/maximal 545/505\n");
    EXPECT_EQ(Started(0x50000).size(), 5u);
    EXPECT_EQ(sim_->chip().Entry(0x50000, (20 << 6) + 5), (Words{0x99, 0x99}));
    EXPECT_NE(sim_->chip().Entry(0x50000, (22 << 6) + 5), (Words{0x99, 0x99}));
}

TEST_F(ArraysTest, RxBufferLanes) {
    ArrLib::Gateway gw(0x42000, 24, 4, 0, 16, 4095, 0x42020, 9);
    ArrLib::Array_rx_buffer lane3("rx.q", &gw, 0xB);  // half 1, lane 3
    // Flags word: start bit of lane 3 in byte 0, end bit in byte 1.
    Words entry = {0x0808, 0xD7, 0xD6, 0xD5, 0xD4, 0xD3, 0xD2, 0xD1, 0xD0};
    sim_->chip().SetEntry(0x42000, 0x810, entry);
    struct Row {
        u_int32_t line;
        ArrLib::Status status;
        const char* out;
        std::vector<u_int32_t> started;
    };
    const Row rows[] = {
        {0x10, ArrLib::Ok, "42000 : rx.q :  10 : 000000d3 00000003 \n", {0x810}},
        {0x810, ArrLib::Ok, "42000 : rx.q : 810 : 000000d3 00000003 \n", {0x810}},
        {0x1000, ArrLib::AddrTooHigh, "-E- address/maximal 1000/FFFF\n", {}},
    };
    for (const Row& row : rows) {
        sim_->ClearTraffic();
        CaptureStdout out;
        EXPECT_EQ(lane3.Read(row.line), row.status) << row.line;
        EXPECT_EQ(out.Text(), row.out) << row.line;
        EXPECT_EQ(Started(0x42000), row.started) << row.line;
    }
    // Only the start bit: flags 1; only the end bit: flags 2.
    sim_->chip().SetEntry(0x42000, 0x811, {0x0008, 0, 0, 0, 0, 0x33, 0, 0, 0});
    sim_->chip().SetEntry(0x42000, 0x812, {0x0800, 0, 0, 0, 0, 0x44, 0, 0, 0});
    CaptureStdout out;
    EXPECT_EQ(lane3.Read(0x11), ArrLib::Ok);
    EXPECT_EQ(lane3.Read(0x12), ArrLib::Ok);
    EXPECT_EQ(out.Text(),
              "42000 : rx.q :  11 : 00000033 00000001 \n"
              "42000 : rx.q :  12 : 00000044 00000002 \n");
}

TEST_F(ArraysTest, RxBufferDumpWriteAndShortGateway) {
    ArrLib::Gateway gw(0x42000, 24, 4, 0, 16, 4095, 0x42020, 9);
    ArrLib::Array_rx_buffer lane0("rx.q", &gw, 0);
    {
        CaptureStdout out;
        ASSERT_EQ(lane0.Read(), ArrLib::Ok);
        std::string text = out.Text();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2048);
    }
    // Each line takes and releases the lock: a start and an unlock per line.
    EXPECT_EQ(Started(0x42000).size(), 2048u);

    sim_->ClearTraffic();
    CaptureStdout out;
    EXPECT_EQ(lane0.Write(0x2000, Words{1}), ArrLib::GWReadOnly);
    EXPECT_TRUE(sim_->Traffic().empty());

    sim_->chip().HoldLock(0x42000, true);
    EXPECT_EQ(lane0.Read(), ArrLib::GWLocked);
    EXPECT_EQ(sim_->Traffic().size(), 1002u) << "the dump must stop at the first failing line";
    sim_->chip().HoldLock(0x42000, false);

    // A gateway with fewer than nine words per entry cannot hold a lane.
    ArrLib::Gateway small(0x42100, 24, 4, 0, 16, 4095, 0x42110, 4);
    ArrLib::Array_rx_buffer rx("rx.s", &small, 3);
    EXPECT_EQ(rx.Read(1), ArrLib::AccessError);
    EXPECT_NE(out.Text().find("-E- GW 42100 of array rx.s delivers 4 words, a receive buffer "
                              "needs 9\n"),
              std::string::npos);
}

TEST_F(ArraysTest, BaseArrayAndNumberedArrayBehindPlainGateway) {
    ArrLib::Gateway gw(0x45000, 24, 4, 0, 16, 255, 0x45008, 2);
    ArrLib::Array plain("plain", &gw);
    ArrLib::Array_addr numbered("numbered", &gw, 0, 16);
    sim_->chip().SetEntry(0x45000, 0x12, {0xA, 0xB});
    CaptureStdout out;
    EXPECT_EQ(plain.Read(0x12), ArrLib::Ok);
    EXPECT_EQ(plain.Read(0x100), ArrLib::AddrTooHigh);
    EXPECT_EQ(plain.Write(0x13, Words{0xC}), ArrLib::Ok);
    // The numbered array reads single lines through the base transaction...
    EXPECT_EQ(numbered.Read(0x13), ArrLib::Ok);
    sim_->ClearTraffic();
    // ...but cannot dump: the gateway has no array numbers.
    EXPECT_EQ(numbered.Read(), ArrLib::AccessError);
    EXPECT_TRUE(sim_->Traffic().empty());
    EXPECT_EQ(out.Text(),
              "45000 : plain :  12 : 0000000a 0000000b \n"
              "-E- address/maximal 100/ff\n"
              "45000 : numbered :  13 : 00000000 0000000c \n"
              "-E- GW 45000 of array numbered has no array numbers\n");
}

}  // namespace
