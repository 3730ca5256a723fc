// The control-variant gateways against the simulated chip: the exact register
// conversation of a read and a write of each kind, and what each prints.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "arrlib.h"
#include "arrlib_helpers.h"
#include "sim.h"

namespace {

using namespace arrtest;
using Gw = ArrLib::Gateway;

// The chip side of every gateway below. Control words: command at bits
// 27..24 (23..20 for be_address, so that its bit 27 shows), index at 15..0.
const char kDb[] =
    "t.gfifo   GW_gfifo          82580 24 4 0 16 3    82590 1\n"
    "t.clear   GW_clear          10000 24 4 0 16 255  10010 1 20\n"
    "t.be      GW_be_address     90000 20 4 0 16 2047 90010 1\n"
    "t.serdes  GW_serdes         20000 24 4 0 16 511  20010 1\n"
    "t.ss0     GW_simple_special 30000 24 4 0 16 255  30014 2 0\n"
    "t.ss0n    GW_simple_special 33000 24 4 0 16 255  33010 1 0\n"
    "t.ss1     GW_simple_special 31000 24 4 0 16 255  31018 3 1\n"
    "t.ss2     GW_simple_special 32000 24 4 0 16 255  32014 2 2\n"
    "t.field   GW_field          40000 24 4 0 16 255  40010 1\n"
    "t.td2     GW_tag_data2      50000 24 4 0 16 255  50010 1\n";

class VariantsTest : public ChipTest {
protected:
    VariantsTest() : ChipTest(kDb) {}
};

// ------------------------------------------------------- register traffic

struct TrafficCase {
    const char* label;
    std::function<std::unique_ptr<Gw>()> make;
    u_int32_t ctrl;  // control register before the transaction
    bool read;
    u_int32_t index;
    Words data;
    Traffic expected;
    const char* printed = "";
};

template <typename Kind, typename... Extra>
std::function<std::unique_ptr<Gw>()> Make(u_int32_t addr, u_int32_t data, int dSize,
                                          Extra... extra) {
    return [=] { return std::make_unique<Kind>(addr, 24, 4, 0, 16, 0x7FF, data, dSize, extra...); };
}

std::unique_ptr<Gw> MakeBe() {
    return std::make_unique<ArrLib::GW_be_address>(0x90000, 20, 4, 0, 16, 0x5FF, 0x90010, 1);
}

// Every entry read below holds 0x600D0000 + its index.
constexpr u_int32_t kGood = 0x600D0000;

TEST_F(VariantsTest, EachKindWritesItsControlWordsAndRegisters) {
    const TrafficCase cases[] = {
        {"clear: bit outside the fields", Make<ArrLib::GW_clear>(0x10000, 0x10010, 1, 20),
         0x00300000, true, 0x12, {},
         ReadTransaction(0x10000, 0xC1200012, 0x10010, {kGood + 0x12}, 0x00300000)},
        {"clear: bit inside the command field forced to 0",
         Make<ArrLib::GW_clear>(0x10000, 0x10010, 1, 24), 0, true, 0x12, {},
         {AnyR(0x10000), AnyR(0x10000), W(0x10000, 0xC0000012), AnyR(0x10000), AnyR(0x10010),
          W(0x10000, 0)}},
        {"clear: bit inside the index field left to the index",
         Make<ArrLib::GW_clear>(0x10000, 0x10010, 1, 1), 0, false, 0x3, {7},
         WriteTransaction(0x10000, 0xC0000003, 0x10010, {7}, 0)},
        {"clear: offset beyond the word clears nothing",
         Make<ArrLib::GW_clear>(0x10000, 0x10010, 1, 40), 0x00300000, true, 0x12, {},
         ReadTransaction(0x10000, 0xC1300012, 0x10010, {kGood + 0x12}, 0x00300000)},
        {"tag_data2: read command shifted, bit 29 cleared",
         Make<ArrLib::GW_tag_data2>(0x50000, 0x50010, 1), 0x20000000, true, 0x34, {},
         ReadTransaction(0x50000, 0xC2000034, 0x50010, {kGood + 0x34}, 0x20000000)},
        {"tag_data2: write command 0, bit 29 cleared",
         Make<ArrLib::GW_tag_data2>(0x50000, 0x50010, 1), 0x2F000000, false, 0x34, {0xAB},
         WriteTransaction(0x50000, 0xC0000034, 0x50010, {0xAB}, 0x2F000000)},
        {"be_address: read, index register after the control word",
         MakeBe, 0x08000000, true, 0x5FF, {},
         {AnyR(0x90000), AnyR(0x90000), W(0x90000, 0xC0100000), W(0x90004, 0x5FF),
          AnyR(0x90000), R(0x90010, kGood + 0x5FF), W(0x90000, 0x08000000)}},
        {"be_address: write, data first",
         MakeBe, 0, false, 0x7, {0x55},
         {AnyR(0x90000), AnyR(0x90000), W(0x90010, 0x55), W(0x90000, 0xC0000000),
          W(0x90004, 0x7), AnyR(0x90000), W(0x90000, 0)}},
        {"field: read sets byte 0xE by read-modify-write of word 0xC",
         Make<ArrLib::GW_field>(0x40000, 0x40010, 1), 0, true, 0x9, {},
         {AnyR(0x40000), AnyR(0x40000), R(0x4000C, 0xAABBCCDD), W(0x4000C, 0xAABB01DD),
          W(0x40000, 0xC1000009), AnyR(0x40000), R(0x40010, kGood + 0x9), W(0x40000, 0)}},
        {"field: write makes one control write", Make<ArrLib::GW_field>(0x40000, 0x40010, 1), 0,
         false, 0x9, {0x1234}, WriteTransaction(0x40000, 0xC0000009, 0x40010, {0x1234}, 0)},
        {"simple_special 0: the value split at bit 25",
         Make<ArrLib::GW_simple_special>(0x30000, 0x30014, 2, 0), 0, false, 0x1,
         {0x89ABCDEF, 0x01234567},
         WriteTransaction(0x30000, 0xC0000001, 0x30014, {0x91A2B3C4, 0x01ABCDEF}, 0),
         "89abcdef\n1234567\n1abcdef\n91a2b3c4\n"},
        {"simple_special 0: a missing second word counts as 0",
         Make<ArrLib::GW_simple_special>(0x30000, 0x30014, 2, 0), 0, false, 0x1, {0x89ABCDEF},
         WriteTransaction(0x30000, 0xC0000001, 0x30014, {0x44, 0x01ABCDEF}, 0),
         "89abcdef\n0\n1abcdef\n44\n"},
        {"simple_special 0 with one register: the high part dropped",
         Make<ArrLib::GW_simple_special>(0x33000, 0x33010, 1, 0), 0, false, 0x1,
         {0x89ABCDEF, 0x01234567}, WriteTransaction(0x33000, 0xC0000001, 0x33010, {0x01ABCDEF}, 0),
         "89abcdef\n1234567\n1abcdef\n91a2b3c4\n"},
        {"simple_special 1: the value split at bits 29 and 58",
         Make<ArrLib::GW_simple_special>(0x31000, 0x31018, 3, 1), 0, false, 0x1,
         {0x89ABCDEF, 0x01234567, 0x0000ABCD},
         WriteTransaction(0x31000, 0xC0000001, 0x31018, {0x002AF340, 0x091A2B3C, 0x09ABCDEF}, 0)},
        {"simple_special 1: missing words count as 0",
         Make<ArrLib::GW_simple_special>(0x31000, 0x31018, 3, 1), 0, false, 0x1, {0xFFFFFFFF},
         WriteTransaction(0x31000, 0xC0000001, 0x31018, {0, 0x7, 0x1FFFFFFF}, 0)},
        {"simple_special 2: words unchanged",
         Make<ArrLib::GW_simple_special>(0x32000, 0x32014, 2, 2), 0, false, 0x1,
         {0x89ABCDEF, 0x01234567},
         WriteTransaction(0x32000, 0xC0000001, 0x32014, {0x01234567, 0x89ABCDEF}, 0)},
    };
    for (const TrafficCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::unique_ptr<Gw> gw = c.make();
        if (c.read) chip().SetEntry(gw->Address(), c.index, {kGood + c.index});
        chip().Poke(gw->Address(), c.ctrl);
        chip().Poke(0x4000C, 0xAABBCCDD);
        sim_->ClearTraffic();
        Words result;
        EXPECT_PRINTS(c.read ? gw->Read(c.index, result) : gw->Write(c.index, c.data), ArrLib::Ok,
                      c.printed);
        EXPECT_EQ(Diff(c.expected), "");
    }
}

// ------------------------------------------------------------ printed lines

// gfifo marks its last entry only; simple_special reads the registers as
// they are, but packing 0 cuts the low word to 25 bits; be_address's single
// read keeps the plain index.
TEST_F(VariantsTest, PrintedLines) {
    ArrLib::GW_gfifo gfifo(0x82580, 24, 4, 0, 16, 3, 0x82590, 1);
    for (u_int32_t i = 0; i < 4; ++i) chip().SetEntry(0x82580, i, {0xAB00 + i});
    ArrLib::GW_simple_special packing0(0x30000, 24, 4, 0, 16, 255, 0x30014, 2, 0);
    ArrLib::GW_simple_special packing2(0x32000, 24, 4, 0, 16, 255, 0x32014, 2, 2);
    chip().SetEntry(0x30000, 7, {0xFFFFFFFF, 0xFFFFFFFF});
    chip().SetEntry(0x32000, 7, {0xFFFFFFFF, 0xFFFFFFFF});
    std::unique_ptr<Gw> be = MakeBe();
    chip().SetEntry(0x90000, 0x5FF, {0xFEED});
    const struct {
        const char* label;
        std::function<ArrLib::Status()> run;
        std::string expected;
    } cases[] = {
        {"gfifo: single read of the last entry", [&] { return gfifo.Read(3u); },
         "82580 :   3 : 0000ab03  g_fifo extra line\n"},
        {"gfifo: single read of another entry", [&] { return gfifo.Read(2u); },
         "82580 :   2 : 0000ab02 \n"},
        {"gfifo: whole dump", [&] { return gfifo.Read(); },
         "82580 :   0 : 0000ab00 \n"
         "82580 :   1 : 0000ab01 \n"
         "82580 :   2 : 0000ab02 \n"
         "82580 :   3 : 0000ab03  g_fifo extra line\n"},
        {"gfifo: named dump", [&] { return gfifo.Read(std::string("t.gfifo")); },
         "82580 : t.gfifo :   0 : 0000ab00 \n"
         "82580 : t.gfifo :   1 : 0000ab01 \n"
         "82580 : t.gfifo :   2 : 0000ab02 \n"
         "82580 : t.gfifo :   3 : 0000ab03  g_fifo extra line\n"},
        {"simple_special packing 0", [&] { return packing0.Read(7u); },
         "30000 :   7 : ffffffff 01ffffff \n"},
        {"simple_special packing 2", [&] { return packing2.Read(7u); },
         "32000 :   7 : ffffffff ffffffff \n"},
        {"be_address single read", [&] { return be->Read(0x5FFu); }, "90000 : 5ff : 0000feed \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_PRINTS(c.run(), ArrLib::Ok, c.expected);
    }
}

// ------------------------------------------------------------- be_address

TEST_F(VariantsTest, BeAddressDumpByNameShowsPortAndEntry) {
    std::unique_ptr<Gw> gw = MakeBe();
    chip().SetEntry(0x90000, 0x3FF, {0xBEEF});
    chip().SetEntry(0x90000, 0x5FF, {0xFEED});
    Outcome dump = Capture([&] { return gw->Read(std::string("top.blk.be")); });
    EXPECT_EQ(dump.status, ArrLib::Ok);
    std::vector<std::string> lines = SplitLines(dump.out);
    ASSERT_EQ(lines.size(), 0x600u);
    EXPECT_EQ(lines[0x3FF], "90000 : top.blk.be :   0 : 3ff : 0000beef ");
    EXPECT_EQ(lines[0x5FF], "90000 : top.blk.be :   1 : 1ff : 0000feed ");
}

// ----------------------------------------------------------------- serdes

TEST_F(VariantsTest, SerdesWarnsOnReservedLinesAndStillWrites) {
    const std::string warning =
        "This line is reserved. index[1:0] should not be 11 if param_type is 0x2, 0x5 or 0x8\n";
    const struct { u_int32_t index; ArrLib::Status status; std::string out; } cases[] = {
        {0x43, ArrLib::Ok, warning},  {0xA7, ArrLib::Ok, warning}, {0x11F, ArrLib::Ok, warning},
        {0x42, ArrLib::Ok, ""},       {0x63, ArrLib::Ok, ""},      {0x120, ArrLib::Ok, ""},
        // Out of range: refused without the warning and without any access.
        {0x203, ArrLib::AddrTooHigh, "-E- address/maximal 203/1ff\n"},
    };
    ArrLib::GW_serdes gw(0x20000, 24, 4, 0, 16, 511, 0x20010, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "index 0x" << std::hex << c.index);
        sim_->ClearTraffic();
        EXPECT_PRINTS(gw.Write(c.index, {0xC0DE0000 + c.index}), c.status, c.out);
        if (c.status == ArrLib::Ok) {
            EXPECT_EQ(chip().Entry(0x20000, c.index), Words{0xC0DE0000 + c.index});
        } else {
            EXPECT_TRUE(sim_->Traffic().empty());
        }
    }
}

}  // namespace
