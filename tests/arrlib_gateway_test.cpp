// Gateways against the simulated chip: the base protocol (transactions,
// control-word merging, lock and busy time-outs, dumps, printed entries, the
// release of a held lock) and the exact conversation of each control variant.
#include <cerrno>
#include <iomanip>
#include <iostream>

#include "arrlib_helpers.h"

namespace {

using namespace arrtest;
using A = ArrLib;
using Gw = ArrLib::Gateway;
constexpr ArrLib::Status Ok = ArrLib::Ok;

constexpr uint32_t kGw = 0x82580, kData = 0x82588;
// A register no gateway owns: plain storage on the chip.
constexpr uint32_t kPlain = 0x38000;

// The base gateway and each control variant. Control words: command at bits
// 27..24 (23..20 for be_address, so that its bit 27 shows), index at 15..0.
class GatewayTest : public ChipTest {
protected:
    GatewayTest()
        : ChipTest("ex.mem    GW_simple         82580 24 4 0 16 255  82588 2\n"
                   "t.gfifo   GW_gfifo          83580 24 4 0 16 3    83590 1\n"
                   "t.clear   GW_clear          10000 24 4 0 16 255  10010 1 20\n"
                   "t.be      GW_be_address     90000 20 4 0 16 2047 90010 1\n"
                   "t.serdes  GW_serdes         20000 24 4 0 16 511  20010 1\n"
                   "t.ss0     GW_simple_special 30000 24 4 0 16 255  30014 2 0\n"
                   "t.ss0n    GW_simple_special 33000 24 4 0 16 255  33010 1 0\n"
                   "t.ss1     GW_simple_special 31000 24 4 0 16 255  31018 3 1\n"
                   "t.ss2     GW_simple_special 32000 24 4 0 16 255  32014 2 2\n"
                   "t.field   GW_field          40000 24 4 0 16 255  40010 1\n"
                   "t.td2     GW_tag_data2      50000 24 4 0 16 255  50010 1\n") {}
    static std::unique_ptr<Gw> MakeGw(uint32_t max = 255) {
        return std::make_unique<Gw>(kGw, 24, 4, 0, 16, max, kData, 2);
    }
};

// Transactions keep the control word's bits outside the fields. A bad index
// is refused before any access, or after the lock, which the gateway then
// keeps until it is freed; a held lock times out after 1002 reads and is left
// alone; a failing register access ends the program.
TEST_F(GatewayTest, TransactionsAndRefusals) {
    auto gw = MakeGw();
    // Bits outside the fields come back in the control word and the unlock.
    const uint32_t keep = 0x00A00000;
    chip().Poke(kGw, keep);
    Words result;
    const auto write = [&](uint32_t ctrl, const Words& regs) { return Transaction('W', kGw, ctrl, kData, regs, keep); };
    const Traffic read = Transaction('R', kGw, 0xC1A0000C, kData, {0, 0x123B}, keep);
    const std::string timeOut = "-E- TimeOut lock GW 82580\n", bad = "-E- address/maximal 100/ff\n";
    RunSteps(kGw, {
        {"write", OP(gw->Write(0xC, {0x123B})), Ok, "", {}, write(0xC0A0000C, {0, 0x123B})},
        {"read", OP(gw->Read(0xC, result)), Ok, "", {}, read},
        {"printed read", OP(gw->Read(0xC)), Ok, "82580 :   c : 00000000 0000123b \n", {}, read},
        {"extra words ignored", OP(gw->Write(3, {0x44, 0x55, 0x66})), Ok, "", {}, write(0xC0A00003, {0x55, 0x44})},
        {"missing high words are 0", OP(gw->Write(3, {0x11})), Ok, "", {}, write(0xC0A00003, {0, 0x11})},
        {"no data", OP(gw->Write(3, {})), Ok, "", {}, write(0xC0A00003, {0, 0})},
        {"bad read", OP(gw->Read(0x100, result)), ArrLib::AddrTooHigh, bad, {}, kNoAccess},
        {"bad write", OP(gw->Write(0x100, {1})), ArrLib::AddrTooHigh, bad, {}, kNoAccess},
        {"bad printed read", OP(gw->Read(0x100)), ArrLib::AddrTooHigh, bad, {}, Traffic{AnyRead(kGw)}},
        {"freed holding the lock", OP(gw.reset(), Ok), Ok, "", {}, Traffic{W(kGw, keep)}},
    });
    EXPECT_EQ(result, (Words{0, 0x123B}));
    chip().HoldLock(kGw, true);
    gw = MakeGw();
    const Traffic lockTimeOut(1002, AnyRead(kGw));
    RunSteps(kGw, {
        {"locked read", OP(gw->Read(1, result)), ArrLib::GWLocked, timeOut, {}, lockTimeOut},
        {"locked write", OP(gw->Write(1, {1})), ArrLib::GWLocked, timeOut, {}, lockTimeOut},
        {"locked dump", OP(gw->Read()), ArrLib::GWLocked, timeOut, {}, lockTimeOut},
        {"freed unlocked", OP(gw.reset(), Ok), Ok, "", {}, kNoAccess},
    });
    // A failing register access ends the program with status 2.
    chip().HoldLock(kGw, false);
    gw = MakeGw();
    chip().FailAccess(kData, EIO);
    EXPECT_EXIT(gw->Read(1, result), ::testing::ExitedWithCode(2),
                "-E- Cr read \\(0x00082588\\) failed: Input/output error\\(5\\)");
    // The dead child kept the gateway's lock; release it as its owner would.
    chip().Write(kGw, 0);
    EXPECT_EXIT(gw->Write(1, {0xAB, 0xCD}), ::testing::ExitedWithCode(2),
                "-E- Cr write \\(0x00082588, 0x000000ab\\) failed: Input/output error\\(5\\)");
}

// The control word written to start an operation, for odd field layouts.
TEST_F(GatewayTest, ControlWordMerge) {
    const struct {
        const char* name;
        int cOffset, cSize, iOffset, iSize, command;
        uint32_t ctrl, index, written;  // ctrl: the control word the lock read finds
    } rows[] = {
        {"plain fields", 24, 4, 0, 16, 1, 0, 0xC, 0xC100000C},
        {"command is the whole word", 0, 32, 0, 16, 1, 0x1234, 0x55, 0x00000055},
        {"index is the whole word too", 0, 32, 0, 32, 1, 0, 0x12345678, 0x12345678},
        {"command alone on the whole word", 0, 32, 0, 0, 5, 0x00FF0000, 0x7, 0x00000005},
        {"empty index field keeps ctrl bits", 24, 4, 0, 0, 1, 0x0000ABCD, 0xFFFF, 0xC100ABCD},
        {"empty command field keeps ctrl bits", 24, 0, 0, 16, 1, 0x0F000000, 0x2, 0xCF000002},
        {"index wider than field is cut", 24, 4, 0, 8, 0, 0, 0x1FF, 0xC00000FF},
        {"overlap: index decides", 0, 8, 4, 8, 0xFF, 0, 0x0, 0xC000000F},
        {"negative offset writes nothing", -1, 4, 0, 16, 1, 0, 0x3, 0xC0000003},
        {"negative width writes nothing", 24, -3, 0, 16, 1, 0, 0x3, 0xC0000003},
        {"offset 32 writes nothing", 32, 4, 0, 16, 1, 0, 0x3, 0xC0000003},
        {"width above 32 writes nothing", 24, 40, 0, 16, 1, 0, 0x3, 0xC0000003},
        {"field over the lock and busy bits clears them", 28, 8, 0, 16, 0x3, 0, 0x1, 0x30000001},
    };
    for (const auto& row : rows) {
        Gw gw(kPlain, row.cOffset, row.cSize, row.iOffset, row.iSize, 255, kData, 2);
        chip().Poke(kPlain, row.ctrl);
        ASSERT_EQ(gw.Lock(), Ok) << row.name;
        ClearTraffic();
        gw.Activate(row.command, row.index);
        EXPECT_EQ(Diff({W(kPlain, row.written)}), "") << row.name;
    }
}

class GatewayBusyTest : public GatewayTest, public ::testing::WithParamInterface<bool> {};

TEST_P(GatewayBusyTest, TimeOutKeepsTheLockUntilFreed) {
    const bool write = GetParam();
    const std::string kind = write ? "write" : "read";
    chip().SetBusyReads(kGw, kxsim::kBusyForever);
    auto gw = MakeGw();
    Words result;
    // Lock read, busy poll, (data writes), control write, 1002 polls; no unlock.
    const Traffic expected = Join({{AnyRead(kGw), AnyRead(kGw)},
                                   write ? Traffic{W(kData - 4, 0), W(kData, 7)} : Traffic{},
                                   {W(kGw, write ? 0xC0000002 : 0xC1000002)}, Traffic(1002, AnyRead(kGw))});
    Gw other(kGw, 24, 4, 0, 16, 255, kData, 2);
    RunSteps(kGw, {
        {"busy", OP(write ? gw->Write(2, {7}) : gw->Read(2, result)), ArrLib::GWBusy,
         "-E- TimeOut Busy\n-E- GW 82580 is busy, waited for the " + kind + " to end 1000 attempts\n", {}, expected},
        {"freed", OP(gw.reset(), Ok), Ok, "", {}, Traffic{W(kGw, 0)}},
        {"next user", OP(write ? other.Write(2, {7}) : other.Read(2, result)), ArrLib::GWBusy,
         "-E- TimeOut Busy\n-E- GW 82580 is busy before " + kind + " attempt\n", {}},
    });
}

INSTANTIATE_TEST_SUITE_P(ReadAndWrite, GatewayBusyTest, ::testing::Bool());

// ------------------------------------------------------- control variants

template <typename Kind, typename... Extra>
std::function<std::unique_ptr<Gw>()> Make(uint32_t addr, uint32_t data, int dSize, Extra... extra) {
    return [=] { return std::make_unique<Kind>(addr, 24, 4, 0, 16, 0x7FF, data, dSize, extra...); };
}

std::unique_ptr<Gw> MakeBe() {
    return std::make_unique<ArrLib::GW_be_address>(0x90000, 20, 4, 0, 16, 0x5FF, 0x90010, 1);
}

// Every entry read below holds 0x600D0000 + its index.
constexpr uint32_t kGood = 0x600D0000;

TEST_F(GatewayTest, EachKindWritesItsControlWordsAndRegisters) {
    const auto clear = [](int bit) { return Make<A::GW_clear>(0x10000, 0x10010, 1, bit); };
    const auto td2 = Make<A::GW_tag_data2>(0x50000, 0x50010, 1);
    const auto field = Make<A::GW_field>(0x40000, 0x40010, 1);
    // A simple_special gateway whose data registers end where the fixture's database says.
    const auto special = [](uint32_t gw, int words, int packing) {
        return Make<A::GW_simple_special>(gw, gw + 0xC + 4 * words, words, packing);
    };
    const auto ss0 = special(0x30000, 2, 0), ss1 = special(0x31000, 3, 1);
    const char* const split0 = "89abcdef\n1234567\n1abcdef\n91a2b3c4\n";
    const struct {
        const char* label;
        std::function<std::unique_ptr<Gw>()> make;
        uint32_t index;
        Words data;  // none: a read of the entry kGood + index
        Traffic expected;
        const char* printed = "";
    } cases[] = {
        {"clear: bit outside the fields", clear(20), 0x12, {},
         Transaction('R', 0x10000, 0xC1200012, 0x10010, {kGood + 0x12}, 0x00300000)},
        // Command 0 starts a write: the data register still holds what the row above read.
        {"clear: bit in the command field forced to 0", clear(24), 0x12, {},
         Transaction('R', 0x10000, 0xC0000012, 0x10010, {kGood + 0x12})},
        {"clear: bit in the index field left to the index", clear(1), 0x3, {7},
         Transaction('W', 0x10000, 0xC0000003, 0x10010, {7})},
        {"clear: offset beyond the word clears nothing", clear(40), 0x12, {},
         Transaction('R', 0x10000, 0xC1300012, 0x10010, {kGood + 0x12}, 0x00300000)},
        {"tag_data2: read command shifted, bit 29 cleared", td2, 0x34, {},
         Transaction('R', 0x50000, 0xC2000034, 0x50010, {kGood + 0x34}, 0x20000000)},
        {"tag_data2: write command 0, bit 29 cleared", td2, 0x34, {0xAB},
         Transaction('W', 0x50000, 0xC0000034, 0x50010, {0xAB}, 0x2F000000)},
        {"be_address: read, index register after the control word", MakeBe, 0x5FF, {},
         {AnyRead(0x90000), AnyRead(0x90000), W(0x90000, 0xC0100000), W(0x90004, 0x5FF), AnyRead(0x90000),
          R(0x90010, kGood + 0x5FF), W(0x90000, 0x08000000)}},
        {"be_address: write, data first", MakeBe, 0x7, {0x55},
         {AnyRead(0x90000), AnyRead(0x90000), W(0x90010, 0x55), W(0x90000, 0xC0000000), W(0x90004, 0x7),
          AnyRead(0x90000), W(0x90000, 0)}},
        {"field: read sets byte 0xE by read-modify-write of word 0xC", field, 0x9, {},
         {AnyRead(0x40000), AnyRead(0x40000), R(0x4000C, 0xAABBCCDD), W(0x4000C, 0xAABB01DD),
          W(0x40000, 0xC1000009), AnyRead(0x40000), R(0x40010, kGood + 0x9), W(0x40000, 0)}},
        {"field: write makes one control write", field, 0x9, {0x1234},
         Transaction('W', 0x40000, 0xC0000009, 0x40010, {0x1234})},
        {"simple_special 0: the value split at bit 25", ss0, 0x1, {0x89ABCDEF, 0x01234567},
         Transaction('W', 0x30000, 0xC0000001, 0x30014, {0x91A2B3C4, 0x01ABCDEF}), split0},
        {"simple_special 0: a missing second word counts as 0", ss0, 0x1, {0x89ABCDEF},
         Transaction('W', 0x30000, 0xC0000001, 0x30014, {0x44, 0x01ABCDEF}), "89abcdef\n0\n1abcdef\n44\n"},
        {"simple_special 0, one register", special(0x33000, 1, 0), 0x1, {0x89ABCDEF, 0x01234567},
         Transaction('W', 0x33000, 0xC0000001, 0x33010, {0x01ABCDEF}), split0},
        {"simple_special 1: the value split at bits 29 and 58", ss1, 0x1, {0x89ABCDEF, 0x05234567, 0xABCD},
         Transaction('W', 0x31000, 0xC0000001, 0x31018, {0x002AF341, 0x091A2B3C, 0x09ABCDEF})},
        {"simple_special 1: missing words count as 0", ss1, 0x1, {0xFFFFFFFF},
         Transaction('W', 0x31000, 0xC0000001, 0x31018, {0, 0x7, 0x1FFFFFFF})},
        {"simple_special 2: words unchanged", special(0x32000, 2, 2), 0x1, {0x89ABCDEF, 0x01234567},
         Transaction('W', 0x32000, 0xC0000001, 0x32014, {0x01234567, 0x89ABCDEF})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::unique_ptr<Gw> gw = c.make();
        const bool read = c.data.empty();
        if (read) chip().SetEntry(gw->Address(), c.index, {kGood + c.index});
        // The unlock gives back the control word the lock found.
        chip().Poke(gw->Address(), c.expected.back().value);
        chip().Poke(0x4000C, 0xAABBCCDD);
        ClearTraffic();
        Words result;
        EXPECT_PRINTS(read ? gw->Read(c.index, result) : gw->Write(c.index, c.data), Ok, c.printed);
        EXPECT_EQ(Diff(c.expected), "");
    }
}

// Dumps and printed entries of the base gateway; gfifo marks its last entry
// only; simple_special reads the registers as they are, but packing 0 cuts
// the low word to 25 bits; be_address's single read keeps the plain index,
// its dump shows port and entry; serdes warns on reserved lines and still
// writes them.
TEST_F(GatewayTest, DumpsAndPrintedLines) {
    auto gw = MakeGw(2);
    // What a later print shows after a printed entry.
    const auto more = [] { return std::cout << 255 << std::setw(3) << 1, Ok; };
    Traffic expected = {AnyRead(kGw)};
    for (uint32_t i = 0; i <= 2; ++i) {
        chip().SetEntry(kGw, i, {i, 0x100 + i});
        expected.insert(expected.end(),
                        {AnyRead(kGw), W(kGw, 0xC1000000 | i), AnyRead(kGw), R(kData - 4, i), R(kData, 0x100 + i)});
    }
    expected.push_back(W(kGw, 0));
    ArrLib::GW_gfifo gfifo(0x83580, 24, 4, 0, 16, 3, 0x83590, 1);
    for (uint32_t i = 0; i < 4; ++i) chip().SetEntry(0x83580, i, {0xAB00 + i});
    ArrLib::GW_simple_special packing0(0x30000, 24, 4, 0, 16, 255, 0x30014, 2, 0);
    ArrLib::GW_simple_special packing2(0x32000, 24, 4, 0, 16, 255, 0x32014, 2, 2);
    for (uint32_t gw : {0x30000u, 0x32000u}) chip().SetEntry(gw, 7, {0xFFFFFFFF, 0xFFFFFFFF});
    std::unique_ptr<Gw> be = MakeBe();
    chip().SetEntry(0x90000, 0x5FF, {0xFEED});
    ArrLib::GW_serdes serdes(0x20000, 24, 4, 0, 16, 511, 0x20010, 1);
    const auto serdesWrite = [&](uint32_t i) -> Op { return [&, i] { return serdes.Write(i, {0xC0DE0000 + i}); }; };
    const char reserved[] = "This line is reserved. index[1:0] should not be 11 if param_type is 0x2, 0x5 or 0x8\n";
    RunSteps(0x20000, {
        {"dump", OP(gw->Read()), Ok,
         "82580 :   0 : 00000000 00000100 \n82580 :   1 : 00000001 00000101 \n82580 :   2 : 00000002 00000102 \n",
         {}, expected},
        {"named dump", OP(gw->Read(std::string("top.blk.mem"))), Ok,
         "82580 : top.blk.mem :   0 : 00000000 00000100 \n82580 : top.blk.mem :   1 : 00000001 00000101 \n"
         "82580 : top.blk.mem :   2 : 00000002 00000102 \n", {}, expected},
        // Later output without a chosen base relies on hex and '0' fill.
        {"no words", OP(gw->PrintData(0xC, {}), more()), Ok, "82580 :   c : \nff001", {}, kNoAccess},
        {"wide index printed whole", OP(gw->PrintData(0x12345, {0xABCDEF}), more()), Ok,
         "82580 : 12345 : 00abcdef \nff001"},
        {"named", OP(gw->PrintData("top.blk.mem", 0xC, {0, 0x123B}), more()), Ok,
         "82580 : top.blk.mem :   c : 00000000 0000123b \nff001", {}, kNoAccess},
        {"gfifo: single read of the last entry", OP(gfifo.Read(3u)), Ok, "83580 :   3 : 0000ab03  g_fifo extra line\n"},
        {"gfifo: single read of another entry", OP(gfifo.Read(2u)), Ok, "83580 :   2 : 0000ab02 \n"},
        {"gfifo: whole dump", OP(gfifo.Read()), Ok,
         "83580 :   0 : 0000ab00 \n83580 :   1 : 0000ab01 \n83580 :   2 : 0000ab02 \n"
         "83580 :   3 : 0000ab03  g_fifo extra line\n"},
        {"gfifo: named dump", OP(gfifo.Read(std::string("t.gfifo"))), Ok,
         "83580 : t.gfifo :   0 : 0000ab00 \n83580 : t.gfifo :   1 : 0000ab01 \n"
         "83580 : t.gfifo :   2 : 0000ab02 \n83580 : t.gfifo :   3 : 0000ab03  g_fifo extra line\n"},
        {"simple_special packing 0", OP(packing0.Read(7u)), Ok, "30000 :   7 : ffffffff 01ffffff \n"},
        {"simple_special packing 2", OP(packing2.Read(7u)), Ok, "32000 :   7 : ffffffff ffffffff \n"},
        {"be_address single read", OP(be->Read(0x5FFu)), Ok, "90000 : 5ff : 0000feed \n"},
        {"serdes 0x43", serdesWrite(0x43), Ok, reserved, {0x43}}, {"0x42", serdesWrite(0x42), Ok, "", {0x42}},
        {"serdes 0xa7", serdesWrite(0xA7), Ok, reserved, {0xA7}}, {"0x63", serdesWrite(0x63), Ok, "", {0x63}},
        {"serdes 0x11f", serdesWrite(0x11F), Ok, reserved, {0x11F}}, {"0x120", serdesWrite(0x120), Ok, "", {0x120}},
        // Out of range: refused without the warning and without any access.
        {"serdes 0x203", serdesWrite(0x203), ArrLib::AddrTooHigh, "-E- address/maximal 203/1ff\n", {}, kNoAccess},
    });
    EXPECT_EQ(chip().Entry(0x20000, 0x11F), Words{0xC0DE011F});
    chip().SetEntry(0x90000, 0x3FF, {0xBEEF});
    const std::vector<std::string> lines = SplitLines(Capture(OP(be->Read("t.be"))).second);
    ASSERT_EQ(lines.size(), 0x600u);
    EXPECT_EQ(lines[0x3FF], "90000 : t.be :   0 : 3ff : 0000beef ");
    EXPECT_EQ(lines[0x5FF], "90000 : t.be :   1 : 1ff : 0000feed ");
}

}  // namespace
