// Gateways whose index carries an array number, against the simulated chip:
// index checks with their messages, composed indexes, data windows, command
// codes, the per-array and whole-gateway dumps.
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
using arrtest::DiffTraffic;
using arrtest::W;
using Access = kxsim::Access;
using Words = std::vector<u_int32_t>;

const char* const kDb =
    "mem.a   GW_array_addr 41000 24 4 0 16 65535 41020 8 12 4 0 3 4095\n"
    "ro.a    GW_array_addr 12160 24 4 0 16 65535 12170 1 12 4 0 3 4095\n"
    "req.a   GW_reqsl      60A00 24 4 0 16 65535 60A1C 4 9 7 0 1 511\n"
    "xts.a   GW_xtsram     43000 24 4 0 16 65535 43010 1 8 8 1 255 255\n"
    "sxp.a   GW_SXP        1DB00 24 4 0 21 2097151 1DB3C 13 5 16 3 21 127\n"
    "tag.one GW_simple     50000 24 4 0 12 4095 50010 2\n"
    "tag.zero GW_simple    51000 24 4 0 12 4095 5101C 2\n";

class ArrayAddrTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        sim_ = arrtest::SimChip::Create(kDb, &error);
        ASSERT_TRUE(sim_) << error;
        ASSERT_TRUE(sim_->OpenDevice());
    }
    // Control words written to the gateway at gw, in order.
    std::vector<u_int32_t> ControlWrites(u_int32_t gw) const {
        std::vector<u_int32_t> out;
        for (const Access& a : sim_->Traffic())
            if (a.op == 'W' && a.addr == gw) out.push_back(a.value);
        return out;
    }
    static size_t Lines(const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }
    std::unique_ptr<arrtest::SimChip> sim_;
};

std::unique_ptr<ArrLib::GW_array_addr> MemGw(u_int32_t gwAddr = 0x41000) {
    return std::make_unique<ArrLib::GW_array_addr>(gwAddr, 24, 4, 0, 16, 65535, gwAddr + 0x20, 8,
                                                   12, 4, 3, 0xFFF);
}

TEST_F(ArrayAddrTest, BadIndexMessages) {
    struct Row {
        const char* name;
        ArrLib::Gateway* gw;
        u_int32_t index;
        const char* out;  // empty: accepted
    };
    ArrLib::GW_sxp sxpGw(0, 24, 4, 0, 21, 0x1FFFFF, 0, 1, 5, 16, 21, 127);
    ArrLib::GW_xtsram xtsGw(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 0xFF);
    auto memGw = MemGw();
    ArrLib::Gateway *sxp = &sxpGw, *xts = &xtsGw, *mem = memGw.get();
    const Row rows[] = {
        {"array number above max", mem, 0x4005, "-E- array/maximal 4/3 address/maximal 5/fff\n"},
        {"array number and line in range", mem, 0x3FFF, ""},
        {"xtsram two bits set", xts, 0x0310,
         "-E- arrayNum 3  one and only one bit must be 1, max Value=128\n"
         " address/maximal 10/ff\n"},
        {"xtsram zero array byte", xts, 0x0005,
         "-E- arrayNum 0  one and only one bit must be 1, max Value=128\n"
         " address/maximal 5/ff\n"},
        {"xtsram one-hot 0x80", xts, 0x8000, ""},
        {"sxp column outside gw_select 2", sxp, 0x20001,
         "-E- with gw_select (index[20:18]) other than 2, addr_lsb (index[4:0]) must be 0\n"},
        {"sxp gw_select 4 accepted", sxp, 0x120000, ""},
        {"sxp gw_select 5", sxp, 0x160000, "-E- gw_select (index[20:18]) can be 0,1,2 or 3\n"},
        {"sxp xlation", sxp, 0x10000, "-E- xlation (index[17:16]) value must be 2\n"},
        {"sxp row beyond 0x3f", sxp, 0xA0800, "-E- va/max40/3f\n"},
        {"sxp row 0x7f with gw_select 0", sxp, 0x20FE0, ""},
        {"sxp above max", sxp, 0x200000,
         "-E- address/maximal 200000/1fffff\n-E- xlation (index[17:16]) value must be 2\n"},
    };
    for (const Row& row : rows) {
        CaptureStdout out;
        EXPECT_EQ(row.gw->BadIndex(row.index), row.out[0] ? 1 : 0) << row.name;
        EXPECT_EQ(out.Text(), row.out) << row.name;
    }
    // No register was touched by any check.
    EXPECT_TRUE(sim_->Traffic().empty());
}

// One read and one write transaction of each kind: the control word, the
// data registers the kind selects, and the lock handling around them.
TEST_F(ArrayAddrTest, TransactionTraffic) {
    using Gw = std::shared_ptr<ArrLib::Gateway>;
    struct Row {
        const char* name;
        Gw gw;
        u_int32_t ctrlAddr;  // control register the chip sees
        u_int32_t index;
        u_int32_t dataEnd;  // last data register
        size_t words;
        u_int32_t readCtrl, writeCtrl;
    };
    const Row rows[] = {
        {"array_addr", MemGw(), 0x41000, 0x2005, 0x41020, 8, 0xC1002005, 0xC0002005},
        {"reqsl narrow window (bit 9 clear)",
         Gw(new ArrLib::GW_reqsl(0x60A00, 24, 4, 0, 16, 65535, 0x60A1C, 4, 9, 7, 1, 511)), 0x60A00,
         0x1FF, 0x60A14, 2, 0xC10001FF, 0xC00001FF},
        {"reqsl wide window (bit 9 set)",
         Gw(new ArrLib::GW_reqsl(0x60A00, 24, 4, 0, 16, 65535, 0x60A14, 2, 9, 7, 1, 511)), 0x60A00,
         0x200, 0x60A1C, 4, 0xC1000200, 0xC0000200},
        {"xtsram command codes 0 and 2",
         Gw(new ArrLib::GW_xtsram(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 0xFF)),
         0x43000, 0x0407, 0x43010, 1, 0xC0000407, 0xC2000407},
        {"sxp at its fixed address, whatever it was built with",
         Gw(new ArrLib::GW_sxp(0x99990, 24, 4, 0, 21, 0x1FFFFF, 0x99999, 2, 5, 16, 21, 127)),
         0x1DB00, 0xA0021, 0x1DB3C, 13, 0xC10A0021, 0xC00A0021},
        {"tag_data variant 1 window",
         Gw(new ArrLib::GW_tag_data(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 1)),
         0x50000, 0x805, 0x50010, 2, 0xC1000805, 0xC0000805},
        {"tag_data variant other than 0/1 uses the variant 1 window",
         Gw(new ArrLib::GW_tag_data(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 7)),
         0x50000, 0x3C5, 0x50010, 2, 0xC10003C5, 0xC00003C5},
    };
    for (const Row& row : rows) {
        ArrLib::Gateway* gw = row.gw.get();
        Words data;
        for (size_t i = 0; i < row.words; ++i) data.push_back(0x1000 + static_cast<u_int32_t>(i));
        Words entry(data.rbegin(), data.rend());  // register order: most significant first
        sim_->ClearTraffic();
        ASSERT_EQ(gw->Write(row.index, data), ArrLib::Ok) << row.name;
        EXPECT_EQ(DiffTraffic(
                      arrtest::WriteTransaction(row.ctrlAddr, row.writeCtrl, row.dataEnd, entry, 0),
                      sim_->Traffic()),
                  "")
            << row.name;
        EXPECT_EQ(sim_->chip().Entry(row.ctrlAddr, row.index), entry) << row.name;

        sim_->ClearTraffic();
        Words result;
        ASSERT_EQ(gw->Read(row.index, result), ArrLib::Ok) << row.name;
        EXPECT_EQ(result, entry) << row.name;
        EXPECT_EQ(
            DiffTraffic(arrtest::ReadTransaction(row.ctrlAddr, row.readCtrl, row.dataEnd, entry, 0),
                        sim_->Traffic()),
            "")
            << row.name;
    }
}

TEST_F(ArrayAddrTest, TagDataVariant0WindowIsShiftedAndMasked) {
    ArrLib::GW_tag_data gw(0x51000, 24, 4, 0, 12, 4095, 0x51010, 2, 0, 0, 0, 0, 0);
    sim_->chip().SetEntry(0x51000, 0x805, {0xAAAA5555, 0x12345678});
    sim_->ClearTraffic();
    Words result;
    ASSERT_EQ(gw.Read(0x805, result), ArrLib::Ok);
    EXPECT_EQ(result, (Words{0xAAAA5555, 0x5678}));
    EXPECT_EQ(DiffTraffic(arrtest::ReadTransaction(0x51000, 0xC1000805, 0x5101C,
                                                   {0xAAAA5555, 0x12345678}, 0),
                          sim_->Traffic()),
              "");
}

TEST_F(ArrayAddrTest, ReadOnlyGatewayRefusesWritesOnly) {
    auto gw = MemGw(0x12160);
    EXPECT_EQ(gw->Write(5, Words{1}), ArrLib::GWReadOnly);
    EXPECT_TRUE(sim_->Traffic().empty());
    Words result;
    EXPECT_EQ(gw->Read(5, result), ArrLib::Ok);
    // The tag/data gateway has no read-only address.
    ArrLib::GW_tag_data tag(0x12160, 24, 4, 0, 16, 65535, 0x12170, 1, 0, 0, 0, 0, 1);
    EXPECT_EQ(tag.Write(5, Words{1}), ArrLib::Ok);
}

TEST_F(ArrayAddrTest, DumpOfOneArrayAndOfTheGateway) {
    auto gw = MemGw();
    sim_->chip().SetEntry(0x41000, 0x2000, {0, 0, 0, 0, 0, 0, 0, 0x2000});
    sim_->chip().SetEntry(0x41000, 0x2FFF, {0, 0, 0, 0, 0, 0, 0, 0x2FFF});
    {
        CaptureStdout out;
        ASSERT_EQ(gw->Read("mem", 2), ArrLib::Ok);
        std::string text = out.Text();
        EXPECT_EQ(Lines(text), 4096u);
        EXPECT_EQ(text.substr(0, text.find('\n') + 1),
                  "41000 : mem :   0 : 00000000 00000000 00000000 00000000 00000000 00000000 "
                  "00000000 00002000 \n");
        EXPECT_NE(text.find("41000 : mem : fff : "), std::string::npos);
    }
    auto ctrl = ControlWrites(0x41000);
    ASSERT_EQ(ctrl.size(), 4097u);  // one per line, then the unlock
    EXPECT_EQ(ctrl.front(), 0xC1002000);
    EXPECT_EQ(ctrl[4095], 0xC1002FFF);

    // An array number above the maximum is refused on its first line, lock held.
    {
        auto other = MemGw();
        CaptureStdout out;
        EXPECT_EQ(other->Read("mem", 4), ArrLib::AddrTooHigh);
        EXPECT_EQ(out.Text(), "-E- array/maximal 4/3 address/maximal 0/fff\n");
        sim_->ClearTraffic();
    }
    EXPECT_EQ(DiffTraffic({W(0x41000, 0)}, sim_->Traffic()), "");

    sim_->ClearTraffic();
    CaptureStdout out;
    ASSERT_EQ(gw->Read(), ArrLib::Ok);
    std::string text = out.Text();
    EXPECT_EQ(Lines(text), 4u * 4096u);
    EXPECT_EQ(text.substr(text.rfind("41000 : ", text.size() - 2), 14), "41000 : 3fff :");
}

TEST_F(ArrayAddrTest, XtsramDumps) {
    ArrLib::GW_xtsram gw(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 3);
    {
        CaptureStdout out;
        ASSERT_EQ(gw.Read("x", 4), ArrLib::Ok);
        std::string text = out.Text();
        EXPECT_EQ(Lines(text), 4u);
        // Labelled with the gateway index, not the line number.
        EXPECT_EQ(text.substr(0, 16), "43000 : x : 400 ");
        EXPECT_NE(text.find("43000 : x : 403 : "), std::string::npos);
    }
    auto ctrl = ControlWrites(0x43000);
    EXPECT_EQ(ctrl.front(), 0xC0000400);  // read command code 0
    sim_->ClearTraffic();
    CaptureStdout out;
    ASSERT_EQ(gw.Read(), ArrLib::Ok);
    std::string text = out.Text();
    EXPECT_EQ(Lines(text), 8u * 4u);
    EXPECT_EQ(text.substr(0, 14), "43000 : 100 : ");
    EXPECT_NE(text.find("43000 : 8003 : "), std::string::npos);
}

TEST_F(ArrayAddrTest, SxpWholeDumpVisits2368Entries) {
    ArrLib::GW_sxp gw(0x1DB00, 24, 4, 0, 21, 0x1FFFFF, 0x1DB3C, 13, 5, 16, 21, 127);
    CaptureStdout out;
    ASSERT_EQ(gw.Read(), ArrLib::Ok);
    EXPECT_EQ(Lines(out.Text()), 2368u);
    auto ctrl = ControlWrites(0x1DB00);
    ASSERT_EQ(ctrl.size(), 2369u);
    EXPECT_EQ(ctrl[0], 0xC1020000);             // gw_select 0, row 0
    EXPECT_EQ(ctrl[127], 0xC1020FE0);           // gw_select 0, row 0x7f
    EXPECT_EQ(ctrl[128], 0xC1060000);           // gw_select 1
    EXPECT_EQ(ctrl[192 + 1], 0xC10A0001);       // gw_select 2, column 1
    EXPECT_EQ(ctrl[192 + 2047], 0xC10A07FF);    // gw_select 2, last row and column
    EXPECT_EQ(ctrl[2367], 0xC1120000 | 0x7E0);  // gw_select 4, row 0x3f
}

TEST_F(ArrayAddrTest, SxpArrayDumps) {
    struct Row {
        u_int32_t array;
        u_int32_t first, last;  // gateway indexes of the first and last line
        size_t lines;
    };
    const Row rows[] = {
        {20, 0xA0000, 0xA007F, 128}, {5, 0xA0780, 0xA07FF, 128},   {3, 0x20000, 0x20FE0, 128},
        {0, 0xE0000, 0xE07E0, 64},   {21, 0x120000, 0x1207E0, 64},
    };
    for (const Row& row : rows) {
        ArrLib::GW_sxp gw(0, 24, 4, 0, 21, 0x1FFFFF, 0, 1, 5, 16, 21, 127);
        sim_->ClearTraffic();
        CaptureStdout out;
        ASSERT_EQ(gw.Read("s", row.array), ArrLib::Ok) << "array " << row.array;
        std::string text = out.Text();
        EXPECT_EQ(Lines(text), row.lines) << "array " << row.array;
        EXPECT_EQ(text.substr(0, 14), "1db00 : s :   ") << "array " << row.array;
        std::ostringstream lastLine;
        lastLine << "1db00 : s :  " << std::hex << row.lines - 1 << " : ";
        EXPECT_NE(text.find(lastLine.str()), std::string::npos) << "array " << row.array;
        auto ctrl = ControlWrites(0x1DB00);
        ASSERT_EQ(ctrl.size(), row.lines + 1) << "array " << row.array;
        EXPECT_EQ(ctrl.front(), 0xC1000000 | row.first) << "array " << row.array;
        EXPECT_EQ(ctrl[row.lines - 1], 0xC1000000 | row.last) << "array " << row.array;
    }
}

TEST_F(ArrayAddrTest, SxpArrayNumbersOutsideTheTableAreRefused) {
    for (u_int32_t array : {1u, 2u, 22u, 0xFFFFFFFFu}) {
        ArrLib::GW_sxp gw(0, 24, 4, 0, 21, 0x1FFFFF, 0, 1, 5, 16, 21, 127);
        CaptureStdout out;
        EXPECT_EQ(gw.Read("s", array), ArrLib::AddrTooHigh) << array;
        EXPECT_NE(out.Text().find("has no rows"), std::string::npos) << array;
    }
    EXPECT_TRUE(sim_->Traffic().empty());
}

TEST_F(ArrayAddrTest, TagDataDumps) {
    ArrLib::GW_tag_data gw(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 1);
    for (u_int32_t way = 0; way < 16; ++way)
        sim_->chip().SetEntry(0x50000, (way << 6) + 5, {way, 5});
    {
        CaptureStdout out;
        ASSERT_EQ(gw.Read("c", 2), ArrLib::Ok);
        std::string text = out.Text();
        EXPECT_EQ(Lines(text), 64u);
        std::ostringstream line5;
        line5 << "50000 : c :   5 : ";
        for (u_int32_t way = 0; way < 16; ++way) line5 << Words{way, 5};
        line5 << "\n";
        EXPECT_NE(text.find(line5.str()), std::string::npos);
        EXPECT_EQ(ControlWrites(0x50000).size(), 64u * 16u + 1u);
    }
    sim_->ClearTraffic();
    {
        CaptureStdout out;
        ASSERT_EQ(gw.Read("c", 0), ArrLib::Ok);
        EXPECT_EQ(Lines(out.Text()), 2048u);
        auto ctrl = ControlWrites(0x50000);
        EXPECT_EQ(ctrl.front(), 0xC1000800);
        EXPECT_EQ(ctrl[2047], 0xC1000FFF);
    }
    sim_->ClearTraffic();
    {
        CaptureStdout out;
        EXPECT_EQ(gw.Read("c", 3), ArrLib::AddrTooHigh);
        EXPECT_EQ(out.Text(), "-E- tag/data array number 3 is not 0, 1 or 2\n");
        EXPECT_TRUE(sim_->Traffic().empty());
    }
    // The whole-gateway dump is the base one, with the tag/data index check.
    ArrLib::GW_tag_data small(0x50000, 24, 4, 0, 12, 1, 0x50010, 2, 0, 0, 0, 0, 1);
    CaptureStdout out;
    ASSERT_EQ(small.Read(), ArrLib::Ok);
    EXPECT_EQ(Lines(out.Text()), 2u);
    Words result;
    EXPECT_EQ(small.Read(2, result), ArrLib::AddrTooHigh);
    EXPECT_NE(out.Text().find(" -E- address/maximal 2/1\n"), std::string::npos);
}

}  // namespace
