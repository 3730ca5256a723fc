// Arrays and the gateways whose index carries an array number, against the
// simulated chip: how each kind turns a line into gateway indexes, its bounds
// and messages, the data window it selects, its dumps and what it refuses.

#include <cstdio>
#include <sstream>
#include <string>

#include "arrlib_helpers.h"

namespace {

using namespace arrtest;
constexpr ArrLib::Status Ok = ArrLib::Ok, AddrTooHigh = ArrLib::AddrTooHigh;

class ArraysTest : public ChipTest {
protected:
    ArraysTest()
        : ChipTest("arr.a   GW_array_addr 44000 24 4 0 12 4095 44008 2 10 2 2 3 1023\n"
                   "mem.a   GW_array_addr 41000 24 4 0 16 65535 41020 8 12 4 0 3 4095\n"
                   "ro.a    GW_array_addr 12160 24 4 0 16 65535 12170 1 12 4 0 3 4095\n"
                   "req.a   GW_reqsl      60A00 24 4 0 16 65535 60A1C 4 9 7 0 1 511\n"
                   "xts.a   GW_xtsram     43000 24 4 0 16 65535 43010 1 8 8 4 255 255\n"
                   "sxp.a   GW_SXP        1DB00 24 4 0 21 2097151 1DB3C 13 5 16 3 21 127\n"
                   "tag.c   GW_simple     50000 24 4 0 12 4095 50010 2\n"
                   "tag.zero GW_simple    51000 24 4 0 12 4095 5101C 2\n"
                   "rx.q    GW_rx_buffer  42000 24 4 0 16 4095 42020 9 11\n"
                   "plain   GW_simple     45000 24 4 0 16 255 45008 2\n"
                   // Irisc words 8 (code size), 11 (type), 12 (ways), 13 (way selector).
                   "i.code  GW_irisc      60000 0 0 0 0 8     60010 1 1 2 0\n"
                   "i.data  GW_irisc      61000 0 0 0 0 256   61010 1 0 8 4\n"
                   "i.noway GW_irisc      64000 0 0 0 0 8     64010 1 1 0 0\n") {}
};

std::unique_ptr<ArrLib::GW_array_addr> MemGw(uint32_t gwAddr = 0x41000) {
    return std::make_unique<ArrLib::GW_array_addr>(gwAddr, 24, 4, 0, 16, 65535, gwAddr + 0x20, 8, 12, 4, 3, 0xFFF);
}

ArrLib::GW_irisc CodeGateway() { return ArrLib::GW_irisc(0x60000, 0, 0, 0, 0, 8, 0x60010, 1, 2, 8); }

// Index checks; lines of array_addr, xtsram and sxp arrays; refused dumps
// and indexes: no access, or the lock taken and kept.
TEST_F(ArraysTest, LinesAndRefusals) {
    ArrLib::GW_array_addr gw(0x44000, 24, 4, 0, 12, 4095, 0x44008, 2, 10, 2, 3, 1023);
    ArrLib::Array_addr array("arr.a", &gw, 2, 10), single("arr.s", &gw, 3, 0);
    ArrLib::GW_xtsram xtsGw(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 0xFF);
    ArrLib::Array_xtsram xtsArr("xts.a", &xtsGw, 4, 8);
    chip().SetEntry(0x44000, 0x805, {0x1, 0x2});
    ArrLib::GW_sxp sxpGw(0, 24, 4, 0, 21, 0x1FFFFF, 0, 1, 5, 16, 21, 127);
    ArrLib::GW_tag_data tag(0x50000, 24, 4, 0, 12, 1, 0x50010, 2, 0, 0, 0, 0, 1);
    auto memGw = MemGw();
    ArrLib::Gateway *sxp = &sxpGw, *xts = &xtsGw, *mem = memGw.get();
    Words result;
    const std::string tooHigh = "-E- address/limit(bits) 400/3ff\n", xTooHigh = "-E- address/limit(bits) 100/ff\n";
    // Each gateway's index check, with its messages; accepted indexes print nothing.
    const struct { ArrLib::Gateway* gw; uint32_t index; const char* out; } rows[] = {
        {mem, 0x4005, "-E- array/maximal 4/3 address/maximal 5/fff\n"}, {mem, 0x3FFF, ""}, {xts, 0x8000, ""},
        {xts, 0x0310, "-E- arrayNum 3  one and only one bit must be 1, max Value=128\n address/maximal 10/ff\n"},
        {xts, 0x0005, "-E- arrayNum 0  one and only one bit must be 1, max Value=128\n address/maximal 5/ff\n"},
        {sxp, 0x20001, "-E- with gw_select (index[20:18]) other than 2, addr_lsb (index[4:0]) must be 0\n"},
        {sxp, 0x10000, "-E- xlation (index[17:16]) value must be 2\n"}, {sxp, 0x120000, ""}, {sxp, 0x20FE0, ""},
        {sxp, 0x160000, "-E- gw_select (index[20:18]) can be 0,1,2 or 3\n"}, {sxp, 0xA0800, "-E- va/max40/3f\n"},
        {sxp, 0x200000, "-E- address/maximal 200000/1fffff\n-E- xlation (index[17:16]) value must be 2\n"},
    };
    for (const auto& row : rows) {
        EXPECT_PRINTS(static_cast<ArrLib::Status>(row.gw->BadIndex(row.index)),
                      static_cast<ArrLib::Status>(row.out[0] ? 1 : 0), row.out)
            << std::hex << row.index;
    }
    EXPECT_EQ(Diff({}), "") << "a check touched a register";
    RunSteps(0x44000, {
        {"line 5 of array 2", OP(array.Read(5)), Ok, "44000 : arr.a :   5 : 00000001 00000002 \n", {0x805}},
        {"line beyond 10 bits", OP(array.Read(0x400)), AddrTooHigh, tooHigh, {}, kNoAccess},
        // Size 0: line 0 is the array number.
        {"size 0: line 0", OP(single.Read(0)), Ok, "44000 : arr.s :   0 : a0000300 a0000301 \n", {0x3}},
        {"size 0: line 1 refused", OP(single.Read(1)), AddrTooHigh, "-E- address/limit(bits) 1/0\n", {}, kNoAccess},
        {"write", OP(array.Write(7, {0xAB})), Ok, "", {}, Transaction('W', 0x44000, 0xC0000807, 0x44008, {0, 0xAB})},
        {"write beyond 10 bits", OP(array.Write(0x400, {0xAB})), AddrTooHigh, tooHigh, {}, kNoAccess},
        {"xtsram write prints the index", OP(xtsArr.Write(0xFF, {0x77})), Ok, "4ff\n", {},
         Transaction('W', 0x43000, 0xC20004FF, 0x43010, {0x77})},
        {"xtsram read", OP(xtsArr.Read(0xFF)), Ok, "43000 : xts.a :  ff : 00000077 \n", {},
         Transaction('R', 0x43000, 0xC00004FF, 0x43010, {0x77})},
        {"xtsram read beyond 8 bits", OP(xtsArr.Read(0x100)), AddrTooHigh, xTooHigh, {}, kNoAccess},
        {"xtsram write beyond 8 bits", OP(xtsArr.Write(0x100, {1})), AddrTooHigh, xTooHigh, {}, kNoAccess},
        {"sxp array 1", OP(sxpGw.Read("s", 1)), AddrTooHigh, "-E- sxp array number 1 has no rows\n", {}, kNoAccess},
        {"sxp array 22", OP(sxpGw.Read("s", 22)), AddrTooHigh, "-E- sxp array number 16 has no rows\n", {}, kNoAccess},
        {"sxp array ffffffff", OP(sxpGw.Read("s", 0xFFFFFFFF)), AddrTooHigh,
         "-E- sxp array number ffffffff has no rows\n", {}, kNoAccess},
        {"tag_data array 3", OP(tag.Read("c", 3)), AddrTooHigh,
         "-E- tag/data array number 3 is not 0, 1 or 2\n", {}, kNoAccess},
        {"tag_data index above max", OP(tag.Read(2, result)), AddrTooHigh, " -E- address/maximal 2/1\n", {}, kNoAccess},
        // An array number above the maximum is refused on its first line, lock held until freed.
        {"array_addr array 4", OP(memGw->Read("mem", 4)), AddrTooHigh,
         "-E- array/maximal 4/3 address/maximal 0/fff\n", {}, Traffic{AnyRead(0x41000)}},
        {"freed", OP(memGw.reset(), Ok), Ok, "", {}, Traffic{W(0x41000, 0)}},
    });
    // Lines of sxp arrays: the gateway index a line starts, or 0 and the line
    // refused with `out`.
    const struct { uint32_t array, line, started; const char* out; } sxpRows[] = {
        {3, 0x7F, 0x20FE0, ""}, {21, 0, 0x120000, ""}, {20, 0x21, 0xA0021, ""}, {5, 0x21, 0xA07A1, ""},
        {0, 0x3F, 0xE07E0, ""}, {4, 0x1, 0x60020, ""}, {0, 0x40, 0, "-E- address/limit(bits) 40/3f\n"},
        {5, 0x80, 0, "-E- address/limit(bits) 80/7f\n"}, {1, 0, 0, "-E- sxp array number 1 has no rows\n"},
        {2, 0, 0, "-E- sxp array number 2 has no rows\n"}, {22, 0, 0, "-E- sxp array number 16 has no rows\n"},
    };
    for (const auto& row : sxpRows) {
        ArrLib::Array_sxp array("sxp.a", &sxpGw, row.array, 5);
        const std::vector<uint32_t> started(row.started ? 1 : 0, row.started);
        const std::string name = "array " + std::to_string(row.array) + " line " + std::to_string(row.line);
        // What a line wrote is what it reads back.
        char label[8];
        std::snprintf(label, sizeof label, "%3x", row.line);
        std::string readBack = "1db00 : sxp.a : " + std::string(label) + " : ";
        for (int i = 0; i < 12; ++i) readBack += "00000000 ";
        RunSteps(0x1DB00, {
            {name.c_str(), OP(array.Write(row.line, {0x5A})), row.started ? Ok : AddrTooHigh, row.out, started},
            {name.c_str(), OP(array.Read(row.line)), row.started ? Ok : AddrTooHigh,
             row.started ? readBack + "0000005a \n" : row.out, started},
        });
    }
}

TEST_F(ArraysTest, TagDataLayout) {
    ArrLib::GW_tag_data gw(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::Array_tag_data tags("tag.t", &gw, 0, 10), low("tag.low", &gw, 2, 6), high("tag.high", &gw, 1, 6),
        other("tag.x", &gw, 3, 6);
    // Ways above 20 lie beyond a smaller gateway's largest index: a write there stops at way 20.
    ArrLib::GW_tag_data small(0x50000, 24, 4, 0, 12, (20 << 6) + 6, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::Array_tag_data smallHigh("tag.high", &small, 1, 6);
    Words lowWays, highWays, data;
    std::ostringstream highLine("50000 : tag.high :   5 : ", std::ios::ate);
    for (uint32_t way = 0; way < 16; ++way) {
        lowWays.push_back((way << 6) + 5);
        highWays.push_back(((way + 16) << 6) + 5);
        data.insert(data.end(), {0x100 + 2 * way, 0x101 + 2 * way});
        highLine << Words{0x101 + 2 * way, 0x100 + 2 * way};
    }
    highLine << "\n";
    const std::string notTagData = "-E- tag/data array number 3 is not 0, 1 or 2\n";
    RunSteps(0x50000, {
        // The tag array writes at 0x800 above its line numbers and reads at 0x400.
        {"tag write", OP(tags.Write(5, {0x7A6})), Ok, "", {0x805}},
        {"tag read", OP(tags.Read(5)), Ok, "50000 : tag.t :   5 : a0040500 a0040501 \n", {0x405}},
        {"tag line beyond 10 bits", OP(tags.Read(0x400)), AddrTooHigh,
         "-E- address/limit(bits) 400/3ff\n", {}, kNoAccess},
        {"high write: ways 16..31", OP(high.Write(5, data)), Ok, "", highWays},
        {"high read", OP(high.Read(5)), Ok, highLine.str(), highWays},
        {"low write, short data", OP(low.Write(5, {1, 2, 3})), Ok, "", lowWays},
        // Array numbers other than 0, 1, 2 are refused without any access.
        {"array 3 read", OP(other.Read(5)), AddrTooHigh, notTagData, {}, kNoAccess},
        {"array 3 write", OP(other.Write(5, data)), AddrTooHigh, notTagData, {}, kNoAccess},
        {"array 3 dump", OP(other.Read()), AddrTooHigh, notTagData, {}, kNoAccess},
        // Ways 16 to 20 of set 6 are written.
        {"write past the last way", OP(smallHigh.Write(6, Words(32, 0x99))), AddrTooHigh,
         " -E- address/maximal 546/506\n", {0x406, 0x446, 0x486, 0x4C6, 0x506}},
    });
    // Ways 16 and 31 of the high write; the missing words of the short write are written as 0.
    const std::pair<uint32_t, Words> entries[] = {{(16 << 6) + 5, {0x101, 0x100}}, {(31 << 6) + 5, {0x11F, 0x11E}},
                                                  {5, {2, 1}}, {(1 << 6) + 5, {0, 3}}, {(15 << 6) + 5, {0, 0}}};
    for (const auto& [index, words] : entries) EXPECT_EQ(chip().Entry(0x50000, index), words) << index;
}

TEST_F(ArraysTest, RxBufferAndPlainArrays) {
    ArrLib::Gateway gw(0x42000, 24, 4, 0, 16, 4095, 0x42020, 9);
    ArrLib::Array_rx_buffer lane3("rx.q", &gw, 0xB), lane0("rx.q", &gw, 0);  // lane 3 of half 1; lane 0
    // Flags word: start bit of lane 3 in byte 0, end bit in byte 1; only the
    // start bit gives flags 1, only the end bit flags 2.
    chip().SetEntry(0x42000, 0x810, {0x0808, 0xD7, 0xD6, 0xD5, 0xD4, 0xD3, 0xD2, 0xD1, 0xD0});
    chip().SetEntry(0x42000, 0x811, {0x0008, 0, 0, 0, 0, 0x33, 0, 0, 0});
    chip().SetEntry(0x42000, 0x812, {0x0800, 0, 0, 0, 0, 0x44, 0, 0, 0});
    RunSteps(0x42000, {
        {"line 0x10", OP(lane3.Read(0x10)), Ok, "42000 : rx.q :  10 : 000000d3 00000003 \n", {0x810}},
        {"line 0x810", OP(lane3.Read(0x810)), Ok, "42000 : rx.q : 810 : 000000d3 00000003 \n", {0x810}},
        {"line 0x1000", OP(lane3.Read(0x1000)), AddrTooHigh, "-E- address/maximal 1000/FFFF\n", {}},
        {"start bit only", OP(lane3.Read(0x11)), Ok, "42000 : rx.q :  11 : 00000033 00000001 \n", {0x811}},
        {"end bit only", OP(lane3.Read(0x12)), Ok, "42000 : rx.q :  12 : 00000044 00000002 \n", {0x812}},
        {"write", OP(lane0.Write(0x2000, {1})), ArrLib::GWReadOnly, "", {}, kNoAccess},
    });
    // A dump takes and releases the lock per line: a start and an unlock each.
    EXPECT_EQ(SplitLines(Capture(OP(lane0.Read())).second).size(), 2048u);
    EXPECT_EQ(ControlWrites(0x42000, true).size(), 2048u);
    EXPECT_EQ(ControlWrites(0x42000).size(), 2 * 2048u);
    chip().HoldLock(0x42000, true);
    // The dump stops at the first failing line.
    RunSteps(0x42000, {{"locked dump", OP(lane0.Read()), ArrLib::GWLocked, "-E- TimeOut lock GW 42000\n",
                        {}, Traffic(1002, AnyRead(0x42000))}});

    ArrLib::Gateway pgw(0x45000, 24, 4, 0, 16, 255, 0x45008, 2);
    ArrLib::Array plain("plain", &pgw);
    ArrLib::Array_addr numbered("numbered", &pgw, 0, 16);
    chip().SetEntry(0x45000, 0x12, {0xA, 0xB});
    RunSteps(0x45000, {
        {"plain read", OP(plain.Read(0x12)), Ok, "45000 : plain :  12 : 0000000a 0000000b \n", {0x12}},
        {"plain read beyond", OP(plain.Read(0x100)), AddrTooHigh, "-E- address/maximal 100/ff\n", {}, kNoAccess},
        {"plain write", OP(plain.Write(0x13, {0xC})), Ok, "", {0x13}},
        // The numbered array reads single lines through the base transaction...
        {"numbered read", OP(numbered.Read(0x13)), Ok, "45000 : numbered :  13 : 00000000 0000000c \n", {0x13}},
        // ...but cannot dump: the gateway has no array numbers.
        {"numbered dump", OP(numbered.Read()), ArrLib::AccessError,
         "-E- GW 45000 of array numbered has no array numbers\n", {}, kNoAccess},
    });
}

// One write and one read transaction of each kind: the control word, the data
// registers the kind selects, and the lock handling around them.
TEST_F(ArraysTest, TransactionTraffic) {
    using A = ArrLib;
    using Gw = std::shared_ptr<A::Gateway>;
    // The windows these gateways are built with are not those they select: reqsl's bit 9 picks
    // one of two; sxp works at its fixed address and window, whatever it was built with.
    const Gw reqsl(new A::GW_reqsl(0x60A00, 24, 4, 0, 16, 65535, 0x60A1C, 4, 9, 7, 1, 511));
    const Gw sxp(new A::GW_sxp(0x99990, 24, 4, 0, 21, 0xFFFFFFFF, 0x99999, 2, 5, 16, 21, 127));
    const Gw roTag(new A::GW_tag_data(0x12160, 24, 4, 0, 16, 65535, 0x12170, 1, 0, 0, 0, 0, 1));
    const struct {
        const char* name;
        // Its Address() is the control register the chip sees, dataEnd its last data register.
        Gw gw;
        uint32_t index, dataEnd, words, readCtrl, writeCtrl;
    } rows[] = {
        {"array_addr", MemGw(), 0x2005, 0x41020, 8, 0xC1002005, 0xC0002005},
        {"reqsl, bit 9 clear", reqsl, 0x1FF, 0x60A14, 2, 0xC10001FF, 0xC00001FF},
        {"reqsl, bit 9 set", reqsl, 0x200, 0x60A1C, 4, 0xC1000200, 0xC0000200},
        {"xtsram commands 0 and 2", Gw(new A::GW_xtsram(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 0xFF)),
         0x0407, 0x43010, 1, 0xC0000407, 0xC2000407},
        {"sxp at its own address", sxp, 0xA0021, 0x1DB3C, 13, 0xC10A0021, 0xC00A0021},
        // Its select field is index[20:18] even when the index runs above bit 20.
        {"sxp, index above bit 20", sxp, 0x2A0000, 0x1DB3C, 13, 0xC10A0000, 0xC00A0000},
        // Variants other than 0 use variant 1's window.
        {"tag_data variant 1 window", Gw(new A::GW_tag_data(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 1)),
         0x805, 0x50010, 2, 0xC1000805, 0xC0000805},
        {"tag_data variant 7", Gw(new A::GW_tag_data(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 7)),
         0x3C5, 0x50010, 2, 0xC10003C5, 0xC00003C5},
        // Only array_addr gateways refuse writes at the read-only address.
        {"tag_data at the read-only address", roTag, 5, 0x12170, 1, 0xC1000005, 0xC0000005},
    };
    for (const auto& row : rows) {
        Words data;
        for (uint32_t i = 0; i < row.words; ++i) data.push_back(0x1000 + i);
        Words entry(data.rbegin(), data.rend()), result;  // register order: most significant first
        const auto traffic = [&](char op, uint32_t ctrl) {
            return Transaction(op, row.gw->Address(), ctrl, row.dataEnd, entry);
        };
        RunSteps(0, {
            {row.name, OP(row.gw->Write(row.index, data)), Ok, "", {}, traffic('W', row.writeCtrl)},
            {row.name, OP(row.gw->Read(row.index, result)), Ok, "", {}, traffic('R', row.readCtrl)},
        });
        EXPECT_EQ(result, entry) << row.name;
    }
    // Variant 0 reads the window 0xC higher and keeps 16 bits of its low word.
    ArrLib::GW_tag_data tag0(0x51000, 24, 4, 0, 12, 4095, 0x51010, 2, 0, 0, 0, 0, 0);
    chip().SetEntry(0x51000, 0x805, {0xAAAA5555, 0x12345678});
    // The array_addr gateway at the read-only address refuses writes; it reads as array_addr does.
    auto ro = MemGw(0x12160);
    Words low16;
    RunSteps(0, {
        {"read-only write", OP(ro->Write(5, {1})), ArrLib::GWReadOnly, "", {}, kNoAccess},
        {"tag_data variant 0", OP(tag0.Read(0x805, low16)), Ok, "", {},
         Transaction('R', 0x51000, 0xC1000805, 0x5101C, {0xAAAA5555, 0x12345678})},
    });
    EXPECT_EQ(low16, (Words{0xAAAA5555, 0x5678}));
}

// The shape of each dump: its line count, chosen lines (a whole line when the
// expectation ends in a newline, else a prefix), the number of control writes
// (0: not checked) and chosen control words (one past the last fails).
TEST_F(ArraysTest, Dumps) {
    auto mem = MemGw();
    ArrLib::GW_xtsram xts(0x43000, 24, 4, 0, 16, 65535, 0x43010, 1, 8, 8, 255, 3);
    // Built anywhere, an sxp gateway works at its fixed address and window.
    ArrLib::GW_sxp sxp(0, 24, 4, 0, 21, 0x1FFFFF, 0, 1, 5, 16, 21, 127);
    ArrLib::GW_tag_data tag(0x50000, 24, 4, 0, 12, 4095, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::GW_tag_data small(0x50000, 24, 4, 0, 12, 1, 0x50010, 2, 0, 0, 0, 0, 1);
    ArrLib::GW_irisc code = CodeGateway(), noWays(0x64000, 0, 0, 0, 0, 8, 0x64010, 1, 0, 8);
    chip().SetEntry(0x41000, 0x2000, {0, 0, 0, 0, 0, 0, 0, 0x2000});
    std::ostringstream tagLine5("50000 : c :   5 : ", std::ios::ate);
    for (uint32_t way = 0; way < 16; ++way) {
        chip().SetEntry(0x50000, (way << 6) + 5, {way, 5});
        tagLine5 << Words{way, 5};
    }
    tagLine5 << "\n";
    const struct {
        const char* name;
        Op dump;
        uint32_t gw, lines;
        std::vector<std::pair<size_t, std::string>> text = {};
        size_t ctrlWrites = 0;
        std::vector<std::pair<size_t, uint32_t>> ctrl = {};
    } rows[] = {
        {"array 2 of array_addr", OP(mem->Read("mem", 2)), 0x41000, 4096,
         {{0, "41000 : mem :   0 : 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00002000 \n"},
          {4095, "41000 : mem : fff : "}}, 4097, {{0, 0xC1002000}, {4095, 0xC1002FFF}, {4096, 0}}},
        {"whole array_addr gateway", OP(mem->Read()), 0x41000, 0x4000, {{0x3FFF, "41000 : 3fff : "}}, 0x4001},
        // Labelled with the gateway index, not the line number; read command 0.
        {"xtsram array 4", OP(xts.Read("x", 4)), 0x43000, 4, {{0, "43000 : x : 400 : "}, {3, "43000 : x : 403 : "}}, 5,
         {{0, 0xC0000400}}},
        {"whole xtsram gateway", OP(xts.Read()), 0x43000, 8 * 4, {{0, "43000 : 100 : "}, {31, "43000 : 8003 : "}}, 0},
        // gw_select 0 rows 0 and 0x7f, gw_select 1, gw_select 2 column 1 and its last row and column,
        // gw_select 4 row 0x3f.
        {"whole sxp gateway", OP(sxp.Read()), 0x1DB00, 2368, {}, 2369, {{0, 0xC1020000}, {127, 0xC1020FE0},
         {128, 0xC1060000}, {193, 0xC10A0001}, {2239, 0xC10A07FF}, {2367, 0xC11207E0}}},
        {"sxp array 5", OP(sxp.Read("s", 5)), 0x1DB00, 128, {{0, "1db00 : s :   0 : "}, {127, "1db00 : s :  7f : "}},
         129, {{0, 0xC10A0780}, {127, 0xC10A07FF}}},
        {"sxp array 21", OP(sxp.Read("s", 21)), 0x1DB00, 64, {{63, "1db00 : s :  3f : "}}, 65},
        {"tag_data array 2: all ways on a line", OP(tag.Read("c", 2)), 0x50000, 64, {{5, tagLine5.str()}}, 64 * 16 + 1},
        {"tag_data array 0", OP(tag.Read("c", 0)), 0x50000, 2048, {}, 0, {{0, 0xC1000800}, {2047, 0xC1000FFF}}},
        {"whole tag_data gateway: the base dump", OP(small.Read()), 0x50000, 2},
        // The irisc dump visits the four arrays in pass order: command, way, entry.
        {"irisc gateway", OP(code.Read()), 0x60000, 2720, {{0, "60000 : 1000000 : "}, {31, "60000 : 13001c0 : "},
         {32, "60000 : 11000000 : "}, {33, "60000 : 11000040 : "}, {159, "60000 : 11100fc0 : "},
         {160, "60000 : 3000000 : "}, {161, "60000 : 3100000 : "}, {164, "60000 : 3000040 : "},
         {672, "60000 : 13000000 : "}, {2719, "60000 : 1310ffc0 : "}}},
        {"irisc gateway without ways: the code arrays only", OP(noWays.Read()), 0x64000, 68 * 8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ClearTraffic();
        const auto [status, out] = Capture(row.dump);
        ASSERT_EQ(status, Ok);
        std::vector<std::string> lines = SplitLines(out);
        ASSERT_EQ(lines.size(), row.lines);
        for (const auto& [i, text] : row.text)
            EXPECT_EQ((lines[i] + "\n").substr(0, text.size()), text) << "line " << i;
        auto ctrl = ControlWrites(row.gw);
        EXPECT_EQ(row.ctrlWrites ? ctrl.size() : 0, row.ctrlWrites);
        for (const auto& [i, word] : row.ctrl) EXPECT_EQ(ctrl.at(i), word) << "control write " << i;
    }
}

// ------------------------------------------------ embedded-processor caches

// One self-locking transaction of an irisc gateway whose control register holds 0.
Traffic Irisc(char op, uint32_t gw, uint32_t ctrl, uint32_t word) {
    return Transaction(op, gw, ctrl | 0xC0000000, gw + 0x10, {word});
}

const char kIriscBusy[] = "-E- TimeOut Busy\n-E- GW 60000 is busy, waited for the read to end 1000 attempts\n";

// The gateway takes whole control words and forces only their direction bit;
// the arrays compose them from code, way and entry.
TEST_F(ArraysTest, Irisc) {
    ArrLib::GW_irisc code = CodeGateway(), data(0x61000, 0, 0, 0, 0, 256, 0x61010, 1, 8, 256);
    ArrLib::Gateway plain(0x45000, 24, 4, 0, 16, 255, 0x45008, 2);
    ArrLib::Array_irisc way2("i.way2", &data, 2, 256, 0, 8), all("i.all", &data, 4, 256, 0, 8),
        codeAll("i.all", &code, 4, 8, 1, 2), empty("i.empty", &code, 0, 0, 1, 2), codeWay("i.code", &code, 0, 8, 1, 2),
        behindPlain("i.plain", &plain, 0, 8, 1, 2);
    // An all-ways line visits the ways from the highest; a write hands each way
    // the next word, 0 once they run out.
    std::vector<Traffic> writes, reads, shortWrite, codeWrite;
    for (uint32_t way = 8; way-- > 0;) {
        writes.push_back(Irisc('W', 0x61000, 0x14000140 | way << 20, 0xA0 + way));
        reads.push_back(Irisc('R', 0x61000, 0x13000140 | way << 20, 0xA0 + way));
        shortWrite.push_back(Irisc('W', 0x61000, 0x14001FC0 | way << 20, way == 7 ? 0xA : 0));
        if (way < 4) codeWrite.push_back(Irisc('W', 0x60000, 0x04001FC0 | way << 20, way == 3 ? 0xA : way == 2 ? 0xB : 0));
    }
    // A read of the gateway prints the control word as index.
    const char* const printed = "60000 : 1300140 : 00005a5a \n";
    RunSteps(0x61000, {
        {"write command", OP(code.Write(0x02300140, {0x5A5A})), Ok, "", {}, Irisc('W', 0x60000, 0x02300140, 0x5A5A)},
        {"read, read bit set", OP(code.Read(0x01300140)), Ok, printed, {}, Irisc('R', 0x60000, 0x01300140, 0x5A5A)},
        {"read, read bit clear", OP(code.Read(0x00300140)), Ok, printed, {}, Irisc('R', 0x60000, 0x01300140, 0x5A5A)},
        {"write + read bit", OP(code.Write(0x01300140, {0x5A5A})), Ok, "", {}, Irisc('W', 0x60000, 0x00300140, 0x5A5A)},
        {"single-way write", OP(way2.Write(0x3F, {0xCAFE})), Ok, "", {}, Irisc('W', 0x61000, 0x12200FC0, 0xCAFE)},
        {"single-way read", OP(way2.Read(0x3F)), Ok, "61000 : i.way2 :  3f : 0000cafe \n", {},
         Irisc('R', 0x61000, 0x11200FC0, 0xCAFE)},
        {"all ways write", OP(all.Write(5, {0xA7, 0xA6, 0xA5, 0xA4, 0xA3, 0xA2, 0xA1, 0xA0})), Ok, "", {},
         Join(writes)},
        {"all-ways read", OP(all.Read(5)), Ok,
         "61000 : i.all :   5 : 000000a7 000000a6 000000a5 000000a4 000000a3 000000a2 000000a1 000000a0 \n", {},
         Join(reads)},
        {"all-ways write, one word", OP(all.Write(0x7F, {0xA})), Ok, "", {}, Join(shortWrite)},
        {"four code ways, two words", OP(codeAll.Write(0x7F, {0xA, 0xB})), Ok, "", {}, Join(codeWrite)},
        {"empty memory: lock and unlock only", OP(empty.Read()), Ok, "", {}, Traffic{AnyRead(0x60000), W(0x60000, 0)}},
        {"behind a plain gateway: read", OP(behindPlain.Read(1)), ArrLib::AccessError, "", {}, kNoAccess},
        {"behind a plain gateway: write", OP(behindPlain.Write(1, {1})), ArrLib::AccessError, "", {}, kNoAccess},
        {"behind a plain gateway: dump", OP(behindPlain.Read()), ArrLib::AccessError, "", {}, kNoAccess},
    });
    // The dump shows way 0 first and runs under one lock.
    ClearTraffic();
    const std::vector<std::string> lines = SplitLines(Capture(OP(all.Read())).second);
    ASSERT_EQ(lines.size(), 1024u);
    EXPECT_EQ(lines[5],
              "61000 : i.all :   5 : 000000a0 000000a1 000000a2 000000a3 000000a4 000000a5 000000a6 000000a7 ");
    Traffic seen = sim_->chip->Traffic();
    ASSERT_EQ(seen.size(), 2 + 1024u * 8 * 4);
    seen.erase(seen.begin() + 5, seen.end() - 1);
    EXPECT_EQ(simtest::Diff({AnyRead(0x61000), AnyRead(0x61000), W(0x61000, 0xD3000000), AnyRead(0x61000),
                             AnyRead(0x61010), W(0x61000, 0)}, seen), "");
    // A failing line ends the dump and releases the lock; a held lock is reported.
    const Traffic busy = Join({{AnyRead(0x60000), AnyRead(0x60000), W(0x60000, 0xC1000000)},
                               Traffic(1002, AnyRead(0x60000)), {W(0x60000, 0)}});
    for (uint32_t gw : {0x60000u, 0x61000u}) chip().SetBusyReads(gw, kxsim::kBusyForever);
    RunSteps(0x60000, {{"busy dump", OP(codeWay.Read()), ArrLib::GWBusy, kIriscBusy, {}, busy}});
    // A write of the gateway reports its wait as a read.
    EXPECT_PRINTS(data.Write(0x14300140, {1}), ArrLib::GWBusy,
                  "-E- TimeOut Busy\n"
                  "-E- GW 61000 is busy, waited for the read to end 1000 attempts\n");
    chip().HoldLock(0x60000, true);
    RunSteps(0x60000, {{"locked dump", OP(codeWay.Read()), ArrLib::GWLocked,
                        "-E- TimeOut lock GW 60000\n", {}, Traffic(1002, AnyRead(0x60000))}});
    ArrLib::GW_irisc ways5(0x63000, 0, 0, 0, 0, 8, 0x63010, 1, 5, 8);
    // Code: way 3 and 4, last entry, entry code size, write; large code: last entry, 16 x code size, write;
    // data: way 4 and 5 of 5, entry 64; large data: entry 1023 and 1024, write.
    const std::pair<uint32_t, int> badIndex[] = {
        {0x013001C0, 0}, {0x01400000, 1}, {0x01000200, 1}, {0x020001C0, 0}, {0x03001FC0, 0},
        {0x03002000, 1}, {0x04002000, 1}, {0x11400000, 0}, {0x11500000, 1}, {0x11001000, 1},
        {0x1300FFC0, 0}, {0x13010000, 1}, {0x1400FFC0, 0},
    };
    for (const auto& [ctrl, bad] : badIndex) EXPECT_EQ(ways5.BadIndex(ctrl), bad) << std::hex << ctrl;
    // Lines outside the memory are refused without access: data single way and all ways, code
    // single way and all ways, code of size 0.
    const struct { int tag, codeSize, type; uint32_t firstBad; } rows[] = {
        {2, 256, 0, 0x40}, {4, 256, 0, 0x400}, {0, 0x100, 1, 0x100}, {4, 0x100, 1, 0x1000}, {0, 0, 1, 0}};
    for (const auto& row : rows) {
        ArrLib::Array_irisc arr("i.bound", &data, row.tag, row.codeSize, row.type, 8);
        EXPECT_EQ(arr.BadIndex(row.firstBad), 1);
        EXPECT_EQ(row.firstBad ? arr.BadIndex(row.firstBad - 1) : 0, 0) << row.firstBad;
        RunSteps(0x61000, {{"read", OP(arr.Read(row.firstBad)), AddrTooHigh, "", {}, kNoAccess},
                           {"write", OP(arr.Write(row.firstBad, {1})), AddrTooHigh, "", {}, kNoAccess}});
    }
}

}  // namespace
