// The library as a whole: the database loader (which gateway and array each
// line builds, what it shares, skips and replaces, the errors that stop a
// load with status 1), lookups, the walks over all arrays and all gateways,
// and the release of locks that failed operations left held.
#include <gmock/gmock.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <typeinfo>

#include "arrlib_helpers.h"

namespace {

using namespace arrtest;
constexpr ArrLib::Status Ok = ArrLib::Ok;

// File order differs from name order on purpose.
const char kWalkDb[] =
    "c.mem          GW_simple 40200 24 4 0 16 1 40208 1\n"
    "a.mem          GW_simple 40000 24 4 0 16 1 40008 1\n"
    "sxp.pb_context GW_simple 40300 24 4 0 16 1 40308 1\n"
    "b.mem          GW_simple 40100 24 4 0 16 1 40108 1\n";

const char kExample[] =
    "top.blk.mem_a      GW_array_addr  41000  24 4 0 16 65535 41020 8  12 4 0 15 4095\n"
    "top.blk.mem_b      GW_array_addr  41000  24 4 0 16 65535 41020 8  12 4 1 15 4095\n"
    "top.blk.rx_q       GW_rx_buffer   42000  24 4 0 16 511   42010 4  3\n";

class LibTest : public ChipTest {
protected:
    LibTest() : ChipTest(std::string(kWalkDb) + kExample, false) {}
    // Two entries of each walk gateway, each holding (gw >> 8) + its index.
    void SetUp() override {
        ChipTest::SetUp();
        for (uint32_t gw : {0x40000u, 0x40100u, 0x40200u, 0x40300u})
            for (uint32_t i = 0; i < 2; ++i) chip().SetEntry(gw, i, {(gw >> 8) + i});
    }
    std::unique_ptr<ArrLib> Load(const std::string& text) {
        return std::make_unique<ArrLib>(sim_->dir.Write("test_db.txt", text).c_str(), kDevice);
    }
};

// A walk reports a locked gateway and goes on; the array walk goes in name
// order, reads the later of two lines with one name and skips sxp.pb_context,
// the gateway walk visits every gateway.
TEST_F(LibTest, Walks) {
    auto lib = Load(std::string(kWalkDb) + "a.mem GW_simple 40100 24 4 0 16 1 40108 1\n");
    EXPECT_PRINTS(lib->ReadByArray(), Ok,
                  "40100 : a.mem :   0 : 00000401 \n40100 : a.mem :   1 : 00000402 \n"
                  "40100 : b.mem :   0 : 00000401 \n40100 : b.mem :   1 : 00000402 \n"
                  "40200 : c.mem :   0 : 00000402 \n40200 : c.mem :   1 : 00000403 \n");
    chip().HoldLock(0x40200, true);
    EXPECT_PRINTS(lib->ReadByGw(), ArrLib::GWLocked,
                  "40000 :   0 : 00000400 \n40000 :   1 : 00000401 \n40100 :   0 : 00000401 \n40100 :   1 : 00000402 \n"
                  "-E- TimeOut lock GW 40200\n-E- GW 40200 was not read, because it was locked\n"
                  "40300 :   0 : 00000403 \n40300 :   1 : 00000404 \n");
    // An empty database walks nothing; one library at a time owns the device.
    lib.reset();
    EXPECT_PRINTS(Load("")->ReadByArray(), Ok, "");
    EXPECT_PRINTS(Load("")->ReadByGw(), Ok, "");
}

// Missing names, gateways and the writes to them are refused as the end-to-end
// tests show; those tests also read, write and dump by array and by gateway
// through the whole program. A walk stops at the first failure other than a
// locked gateway.
TEST_F(LibTest, LookupsAndTheFailureThatStopsAWalk) {
    auto lib = Load(kWalkDb);
    RunSteps(0x40200, {
        {"name prefix", OP(lib->ReadByArray("a.me")), ArrLib::ArrayNotFound, "", {}, kNoAccess},
        {"line of a missing array", OP(lib->ReadByArray("x", 0)), ArrLib::ArrayNotFound, "", {}, kNoAccess},
        {"entry of a missing gateway", OP(lib->ReadByGw(0x40004, 0)), ArrLib::GwNotFound, "", {}, kNoAccess},
        {"entry beyond the gateway", OP(lib->ReadByGw(0x40200, 2)), ArrLib::AddrTooHigh,
         "-E- address/maximal 2/1\n", {}},
        {"entry beyond a gateway of a later line", OP(lib->ReadByGw(0x40000, 2)), ArrLib::AddrTooHigh,
         "-E- address/maximal 2/1\n", {}},
        {"named, sxp.pb_context is read", OP(lib->ReadByArray("sxp.pb_context")), Ok,
         "40300 : sxp.pb_context :   0 : 00000403 \n40300 : sxp.pb_context :   1 : 00000404 \n"},
        // The refused indexes left their locks held until the library is
        // freed, which gives them back in address order.
        {"freed", OP(lib.reset(), Ok), Ok, "", {}, Traffic{W(0x40000, 0), W(0x40200, 0)}},
    });
    lib = Load(kWalkDb);
    chip().HoldLock(0x40000, true);
    chip().SetBusyReads(0x40100, kxsim::kBusyForever);
    EXPECT_PRINTS(lib->ReadByArray(), ArrLib::GWBusy,
                  "-E- TimeOut lock GW 40000\n-E- array a.mem was not read, because its gw was locked\n"
                  "-E- TimeOut Busy\n-E- GW 40100 is busy, waited for the read to end 1000 attempts\n");
    // The busy dump kept b's lock; freeing the library releases it with one
    // control write. a's lock belongs to someone else and is left alone.
    ClearTraffic();
    lib.reset();
    EXPECT_EQ(Diff({W(0x40100, 0)}), "");
}

// Which gateway and array each keyword builds; the lines the loader skips,
// shares and replaces; the worked example read through what it loaded.
TEST_F(LibTest, LoaderBuildsSkipsSharesAndReplaces) {
    using A = ArrLib;
    // Each line (name, kind, gateway address, ...) with the types of the gateway
    // filed under its address and of the array filed under its name.
    const struct { std::string line; const std::type_info &gw, &array; } rows[] = {
        {"a GW_simple 1000 24 4 0 16 255 1010 2", typeid(A::Gateway), typeid(A::Array)},
        {"b GW_gfifo 1100 24 4 0 16 255 1010 2", typeid(A::GW_gfifo), typeid(A::Array)},
        {"c GW_clear 1200 24 4 0 16 255 1010 2 20", typeid(A::GW_clear), typeid(A::Array)},
        {"d GW_serdes 1300 24 4 0 16 255 1010 2", typeid(A::GW_serdes), typeid(A::Array)},
        {"e GW_field 1400 24 4 0 16 255 1010 2", typeid(A::GW_field), typeid(A::Array)},
        {"f GW_rx_buffer 1500 24 4 0 16 255 1010 9 3", typeid(A::Gateway), typeid(A::Array_rx_buffer)},
        {"g GW_irisc 1600 24 4 0 16 255 1010 2 1 4 0", typeid(A::GW_irisc), typeid(A::Array_irisc)},
        {"h GW_array_addr 1700 24 4 0 16 255 1010 2 12 4 0 15 4095", typeid(A::GW_array_addr), typeid(A::Array_addr)},
        {"i GW_reqsl 1800 24 4 0 16 255 1010 2 12 4 0 15 4095", typeid(A::GW_reqsl), typeid(A::Array_reqsl)},
        {"j GW_xtsram 1900 24 4 0 16 255 1010 2 8 8 1 255 255", typeid(A::GW_xtsram), typeid(A::Array_xtsram)},
        {"k GW_SXP 7700 24 4 0 21 255 1010 2 5 16 3 21 127", typeid(A::GW_sxp), typeid(A::Array_sxp)},
        {"crlf.a GW_simple 0x43000 24 4 0 16 255 43010 2\r", typeid(A::Gateway), typeid(A::Array)},
        // The later line with the address of "first" shares its gateway.
        {"second GW_array_addr 44000 24 4 0 16 65535 41020 8 12 4 1 15 4095", typeid(A::Gateway),
         typeid(A::Array_addr)},
        // The same name twice: the later line wins; the earlier line's gateway stays.
        {"dup GW_array_addr 45000 24 4 0 16 65535 45020 8 12 4 1 15 4095", typeid(A::GW_array_addr),
         typeid(A::Array)},
        {"dup GW_gfifo 46000 24 4 0 16 255 46010 2", typeid(A::GW_gfifo), typeid(A::Array)},
        // A long line stays one line: its tail is no line of its own.
        {"long GW_simple 47000 24 4 0 16 255 47010 2" + std::string(300, ' ') +
             "tail GW_simple 48000 24 4 0 16 255 48010 2",
         typeid(A::Gateway), typeid(A::Array)},
    };
    // Kinds without a keyword are ignored lines, as stored databases expect.
    std::string db = "NAME KIND ADDRESS and other words that are no numbers\n"
                     "v GW_be_address 100 24 4 0 16 255 1010 2 1 2 3 4 5 6\n"
                     "w GW_simple_special 200 24 4 0 16 255 1010 2 1 2 3 4 5 6\n"
                     "x GW_tag_data 300 24 4 0 16 255 1010 2 1 2 3 4 5 6\n"
                     "y GW_tag_data2 400 24 4 0 16 255 1010 2 1 2 3 4 5 6\n"
                     "z gw_simple 500 24 4 0 16 255 1010 2 1 2 3 4 5 6\n"
                     "\n"
                     "lonely\n"
                     "   \t  \n"
                     "first GW_simple 44000 24 4 0 16 255 44010 2 extra words 13 14 15 16 17 zz\n";
    for (const auto& row : rows) db += row.line + "\n";
    auto lib = Load(db + kExample);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        std::string name, kind, address;
        std::istringstream(row.line) >> name >> kind >> address;
        ArrLib::Gateway* gw = lib->GwExist(std::stoul(address, nullptr, 16));
        ArrLib::Array* array = lib->ArrayExist(name.c_str());
        ASSERT_TRUE(gw && array);
        EXPECT_EQ(typeid(*gw), row.gw);
        EXPECT_EQ(typeid(*array), row.array);
    }
    for (const char* name : {"v", "w", "x", "y", "z", "NAME", "lonely", "tail"})
        EXPECT_EQ(lib->ArrayExist(name), nullptr) << name;
    for (uint32_t gw : {0x100, 0x200, 0x300, 0x400, 0x500, 0x48000}) EXPECT_EQ(lib->GwExist(gw), nullptr) << gw;
    // An sxp gateway is filed under its line's address, and works at its own.
    EXPECT_EQ(lib->GwExist(0x7700)->Address(), 0x1DB00u);
    // The worked example: mem_b is array 1 above a 12-bit line number on the
    // gateway it shares with mem_a, whose data registers are no gateway.
    // Unset entries read as 0xA0000000 | index << 8 | word number.
    EXPECT_EQ(lib->GwExist(0x41020), nullptr);
    RunSteps(0x41000, {
        {"array 1", OP(lib->ReadByArray("top.blk.mem_b", 5)), Ok,
         "41000 : top.blk.mem_b :   5 : a0100500 a0100501 a0100502 a0100503 a0100504 a0100505 a0100506 a0100507 \n",
         {0x1005}},
        // The receive buffer's gateway holds 4 words, too few for a lane.
        {"short receive buffer", OP(lib->ReadByArray("top.blk.rx_q", 0)), ArrLib::AccessError,
         "-E- GW 42000 of array top.blk.rx_q delivers 4 words, a receive buffer needs 9\n"},
    });
}

TEST_F(LibTest, ErrorsStopTheLoadWithStatus1) {
    const std::string db = sim_->dir.path() + "/err_db.txt";
    const std::string noDevice = "/dev/kdt/kx31001_nothing0";
    const std::string good = "a GW_simple 40000 24 4 0 16 255 40010 2\n";
    const struct {
        std::string text;  // database; empty: no file at all
        // Without "-E- " at its start: what is wrong with the last line, told as
        // "-E- <what> for <kind> in DataBase file <db> line <n> : <line>".
        std::string message;
        std::string device = kDevice;
    } rows[] = {
        {"a GW_simple 4zz00 24 4 0 16 255 40010 2\n", "-E- illegal value 4zz00\n"},
        {"a GW_simple 40000 24 4 0 1x 255 40010 2\n", "-E- illegal value 1x\n"},
        {"a GW_array_addr 40000 24 4 0 16 255 40010 2 12 4 q 15 4095\n", "-E- illegal value q\n"},
        {good + "top.x GW_array_addr 41000 24 4 0 16 65535 41020 8\n", "Too few words"},
        // A name and a kind alone are refused too.
        {"a GW_simple\n", "-E- Too few words for GW_simple in DataBase file " + db + " line 1 : a GW_simple\n"},
        // Widths and sizes a 32-bit control word cannot hold, refused before
        // any gateway or device exists.
        {"a GW_simple 40000 33 4 0 16 255 40010 2\n", "cOffset 33 outside 0..32"},
        {"a GW_clear 40000 24 4 0 -1 255 40010 2 20\n", "iSize -1 outside 0..32"},
        {"a GW_clear 40000 24 4 0 16 255 40010 2 32\n", "corOffset 32 outside 0..31"},
        {"a GW_simple 40000 24 4 0 16 255 40010 0\n", "dSize 0 outside 1..65541"},
        {"a GW_irisc 40000 24 4 0 16 255 10 6 1 2 0\n", "dSize 6 outside 1..5"},
        {"a GW_simple 40000 24 4 0 16 255 40010 4294967295\n", "dSize 4294967295 outside 1..65541"},
        // A typo that once sent mem.b's accesses to mem.a's entries.
        {"mem.a GW_array_addr 41000 24 4 0 16 65535 41020 8 12 4 0 15 4095\n"
         "mem.b GW_array_addr 41000 24 4 0 1 65535 41020 8 12 4 1 15 4095\n",
         "aSize 4 outside 0..1", noDevice},
        {"", "-E- Cannot open DataBase file : " + db + "\n"},
        {good, "-E- Cannot open kdt device : " + noDevice + "\n", noDevice},
        // The database is read before the device is opened.
        {good + "b GW_simple zz 24 4 0 16 255 40010 2\n", "-E- illegal value zz\n", noDevice},
    };
    for (const auto& [text, what, device] : rows) {
        std::remove(db.c_str());
        if (!text.empty()) std::ofstream(db, std::ios::binary) << text;
        std::string message = what;
        if (message.rfind("-E- ", 0) != 0) {
            const std::string line = text.substr(text.rfind('\n', text.size() - 2) + 1);
            std::string name, kind;
            std::istringstream(line) >> name >> kind;
            message = "-E- " + message + " for " + kind + " in DataBase file " + db + " line " +
                      std::to_string(std::count(text.begin(), text.end(), '\n')) + " : " + line;
        }
        // The loader's messages go to standard output; death tests see standard error only.
        EXPECT_EXIT((fflush(stdout), dup2(STDERR_FILENO, STDOUT_FILENO),
                     ArrLib(db.c_str(), device.c_str())),
                    ::testing::ExitedWithCode(1), ::testing::HasSubstr(message))
            << text;
    }
}

}  // namespace
