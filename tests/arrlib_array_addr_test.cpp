// Gateways whose index carries an array number, against the simulated chip:
// index checks with their messages, composed indexes, data windows, command
// codes, the per-array and whole-gateway dumps.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

#include "arrlib.h"
#include "arrlib_helpers.h"

namespace {

using namespace arrtest;

const char* const kDb =
    "mem.a   GW_array_addr 41000 24 4 0 16 65535 41020 8 12 4 0 3 4095\n"
    "ro.a    GW_array_addr 12160 24 4 0 16 65535 12170 1 12 4 0 3 4095\n"
    "req.a   GW_reqsl      60A00 24 4 0 16 65535 60A1C 4 9 7 0 1 511\n"
    "xts.a   GW_xtsram     43000 24 4 0 16 65535 43010 1 8 8 1 255 255\n"
    "sxp.a   GW_SXP        1DB00 24 4 0 21 2097151 1DB3C 13 5 16 3 21 127\n"
    "tag.one GW_simple     50000 24 4 0 12 4095 50010 2\n"
    "tag.zero GW_simple    51000 24 4 0 12 4095 5101C 2\n";

class ArrayAddrTest : public ChipTest {
protected:
    ArrayAddrTest() : ChipTest(kDb) {}
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
        SCOPED_TRACE(row.name);
        Words data;
        for (size_t i = 0; i < row.words; ++i) data.push_back(0x1000 + static_cast<u_int32_t>(i));
        Words entry(data.rbegin(), data.rend());  // register order: most significant first
        sim_->ClearTraffic();
        ASSERT_EQ(row.gw->Write(row.index, data), ArrLib::Ok);
        EXPECT_EQ(Diff(WriteTransaction(row.ctrlAddr, row.writeCtrl, row.dataEnd, entry, 0)), "");
        EXPECT_EQ(chip().Entry(row.ctrlAddr, row.index), entry);
        sim_->ClearTraffic();
        Words result;
        ASSERT_EQ(row.gw->Read(row.index, result), ArrLib::Ok);
        EXPECT_EQ(result, entry);
        EXPECT_EQ(Diff(ReadTransaction(row.ctrlAddr, row.readCtrl, row.dataEnd, entry, 0)), "");
    }
}

TEST_F(ArrayAddrTest, TagDataVariant0WindowIsShiftedAndMasked) {
    ArrLib::GW_tag_data gw(0x51000, 24, 4, 0, 12, 4095, 0x51010, 2, 0, 0, 0, 0, 0);
    chip().SetEntry(0x51000, 0x805, {0xAAAA5555, 0x12345678});
    sim_->ClearTraffic();
    Words result;
    ASSERT_EQ(gw.Read(0x805, result), ArrLib::Ok);
    EXPECT_EQ(result, (Words{0xAAAA5555, 0x5678}));
    EXPECT_EQ(Diff(ReadTransaction(0x51000, 0xC1000805, 0x5101C, {0xAAAA5555, 0x12345678}, 0)), "");
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

// The shape of each dump: its line count, chosen lines (a whole line when the
// expectation ends in a newline, else a prefix), the number of control writes
// (0: not checked) and chosen control words.
TEST_F(ArrayAddrTest, Dumps) {
    auto mem = MemGw();
    ArrLib::GW_xtsram xts(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 3);
    ArrLib::GW_sxp sxp(0x1DB00, 24, 4, 0, 21, 0x1FFFFF, 0x1DB3C, 13, 5, 16, 21, 127);
    ArrLib::GW_sxp sxpAny(0, 24, 4, 0, 21, 0x1FFFFF, 0, 1, 5, 16, 21, 127);
    ArrLib::GW_tag_data tag(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::GW_tag_data small(0x50000, 24, 4, 0, 12, 1, 0x50010, 2, 0, 0, 0, 0, 1);
    chip().SetEntry(0x41000, 0x2000, {0, 0, 0, 0, 0, 0, 0, 0x2000});
    std::ostringstream tagLine5;
    tagLine5 << "50000 : c :   5 : ";
    for (u_int32_t way = 0; way < 16; ++way) {
        chip().SetEntry(0x50000, (way << 6) + 5, {way, 5});
        tagLine5 << Words{way, 5};
    }
    tagLine5 << "\n";
    struct Row {
        const char* name;
        std::function<ArrLib::Status()> dump;
        u_int32_t gw;
        size_t lines;
        std::vector<std::pair<size_t, std::string>> text;
        size_t ctrlWrites;
        std::vector<std::pair<size_t, u_int32_t>> ctrl;
    };
    const Row rows[] = {
        {"array 2 of array_addr", [&] { return mem->Read("mem", 2); }, 0x41000, 4096,
         {{0, "41000 : mem :   0 : 00000000 00000000 00000000 00000000 00000000 00000000 "
              "00000000 00002000 \n"},
          {4095, "41000 : mem : fff : "}},
         4097, {{0, 0xC1002000}, {4095, 0xC1002FFF}, {4096, 0}}},
        {"whole array_addr gateway", [&] { return mem->Read(); }, 0x41000, 4 * 4096,
         {{4 * 4096 - 1, "41000 : 3fff : "}}, 4 * 4096 + 1, {}},
        // Labelled with the gateway index, not the line number; read command 0.
        {"xtsram array 4", [&] { return xts.Read("x", 4); }, 0x43000, 4,
         {{0, "43000 : x : 400 : "}, {3, "43000 : x : 403 : "}}, 5, {{0, 0xC0000400}}},
        {"whole xtsram gateway", [&] { return xts.Read(); }, 0x43000, 8 * 4,
         {{0, "43000 : 100 : "}, {31, "43000 : 8003 : "}}, 0, {}},
        {"whole sxp gateway", [&] { return sxp.Read(); }, 0x1DB00, 2368, {}, 2369,
         {{0, 0xC1020000},           // gw_select 0, row 0
          {127, 0xC1020FE0},         // gw_select 0, row 0x7f
          {128, 0xC1060000},         // gw_select 1
          {192 + 1, 0xC10A0001},     // gw_select 2, column 1
          {192 + 2047, 0xC10A07FF},  // gw_select 2, last row and column
          {2367, 0xC11207E0}}},      // gw_select 4, row 0x3f
        {"sxp array 20", [&] { return sxpAny.Read("s", 20); }, 0x1DB00, 128,
         {{0, "1db00 : s :   0 : "}, {127, "1db00 : s :  7f : "}}, 129,
         {{0, 0xC10A0000}, {127, 0xC10A007F}}},
        {"sxp array 5", [&] { return sxpAny.Read("s", 5); }, 0x1DB00, 128,
         {{0, "1db00 : s :   0 : "}, {127, "1db00 : s :  7f : "}}, 129,
         {{0, 0xC10A0780}, {127, 0xC10A07FF}}},
        {"sxp array 3", [&] { return sxpAny.Read("s", 3); }, 0x1DB00, 128,
         {{0, "1db00 : s :   0 : "}, {127, "1db00 : s :  7f : "}}, 129,
         {{0, 0xC1020000}, {127, 0xC1020FE0}}},
        {"sxp array 0", [&] { return sxpAny.Read("s", 0); }, 0x1DB00, 64,
         {{0, "1db00 : s :   0 : "}, {63, "1db00 : s :  3f : "}}, 65,
         {{0, 0xC10E0000}, {63, 0xC10E07E0}}},
        {"sxp array 21", [&] { return sxpAny.Read("s", 21); }, 0x1DB00, 64,
         {{0, "1db00 : s :   0 : "}, {63, "1db00 : s :  3f : "}}, 65,
         {{0, 0xC1120000}, {63, 0xC11207E0}}},
        {"tag_data array 2: all ways on a line", [&] { return tag.Read("c", 2); }, 0x50000, 64,
         {{5, tagLine5.str()}}, 64 * 16 + 1, {}},
        {"tag_data array 0", [&] { return tag.Read("c", 0); }, 0x50000, 2048, {}, 0,
         {{0, 0xC1000800}, {2047, 0xC1000FFF}}},
        {"whole tag_data gateway: the base dump", [&] { return small.Read(); }, 0x50000, 2, {}, 0,
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim_->ClearTraffic();
        Outcome result = Capture(row.dump);
        ASSERT_EQ(result.status, ArrLib::Ok);
        std::vector<std::string> lines = SplitLines(result.out);
        ASSERT_EQ(lines.size(), row.lines);
        for (const auto& [i, text] : row.text) {
            bool whole = text.back() == '\n';
            std::string line = whole ? lines[i] + "\n" : lines[i].substr(0, text.size());
            EXPECT_EQ(line, text) << "line " << i;
        }
        auto ctrl = ControlWrites(row.gw);
        EXPECT_EQ(row.ctrlWrites ? ctrl.size() : 0, row.ctrlWrites);
        for (const auto& [i, word] : row.ctrl) {
            ASSERT_LT(i, ctrl.size());
            EXPECT_EQ(ctrl[i], word) << "control write " << i;
        }
    }
}

// Refused dumps and indexes: no access, or the lock taken and kept.
TEST_F(ArrayAddrTest, RefusedDumps) {
    ArrLib::GW_sxp sxp(0, 24, 4, 0, 21, 0x1FFFFF, 0, 1, 5, 16, 21, 127);
    ArrLib::GW_tag_data tag(0x50000, 24, 4, 0, 12, 1, 0x50010, 2, 0, 0, 0, 0, 1);
    Words result;
    struct Row { const char* name; std::function<ArrLib::Status()> run; std::string out; };
    const Row rows[] = {
        {"sxp array 1", [&] { return sxp.Read("s", 1); }, "-E- sxp array number 1 has no rows\n"},
        {"sxp array 2", [&] { return sxp.Read("s", 2); }, "-E- sxp array number 2 has no rows\n"},
        {"sxp array 22", [&] { return sxp.Read("s", 22); },
         "-E- sxp array number 16 has no rows\n"},
        {"sxp array ffffffff", [&] { return sxp.Read("s", 0xFFFFFFFF); },
         "-E- sxp array number ffffffff has no rows\n"},
        {"tag_data array 3", [&] { return tag.Read("c", 3); },
         "-E- tag/data array number 3 is not 0, 1 or 2\n"},
        {"tag_data index above max", [&] { return tag.Read(2, result); },
         " -E- address/maximal 2/1\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_PRINTS(row.run(), ArrLib::AddrTooHigh, row.out);
        EXPECT_TRUE(sim_->Traffic().empty());
    }
    // An array number above the maximum is refused on its first line, lock held.
    {
        auto mem = MemGw();
        EXPECT_PRINTS(mem->Read("mem", 4), ArrLib::AddrTooHigh,
                      "-E- array/maximal 4/3 address/maximal 0/fff\n");
        sim_->ClearTraffic();
    }
    EXPECT_EQ(Diff({W(0x41000, 0)}), "");
}

}  // namespace
