// The database loader: which gateway and array each line builds, what it
// shares, skips and replaces, and the errors that stop a load with status 1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <typeinfo>

#include "arrlib.h"
#include "arrlib_helpers.h"

namespace {

using namespace arrtest;

const char* const kExample =
    "top.blk.ctl_regs   GW_simple      40000  24 4 0 16 255   40010 4\n"
    "top.blk.mem_a      GW_array_addr  41000  24 4 0 16 65535 41020 8  12 4 0 15 4095\n"
    "top.blk.mem_b      GW_array_addr  41000  24 4 0 16 65535 41020 8  12 4 1 15 4095\n"
    "top.blk.rx_q       GW_rx_buffer   42000  24 4 0 16 511   42010 4  3\n";

class LoaderTest : public ChipTest {
protected:
    LoaderTest() : ChipTest(kExample, false) {}
    // A database of its own, beside the chip's.
    std::string WriteDb(const std::string& text) {
        std::string path = sim_->dir() + "/test_db.txt";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::unique_ptr<ArrLib> Load(const std::string& text) {
        return std::make_unique<ArrLib>(WriteDb(text).c_str(), kDevice);
    }
};

// Error messages of the loader go to standard output; death tests see
// standard error only.
void StdoutToStderr() {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

TEST_F(LoaderTest, WorkedExample) {
    auto lib = Load(kExample);
    ASSERT_NE(lib->GwExist(0x40000), nullptr);
    EXPECT_EQ(lib->GwExist(0x41020), nullptr);

    // Both arrays go through the one gateway at 0x41000: array 0 and array 1
    // above a 12-bit line number.
    sim_->ClearTraffic();
    // Unset entries read as 0xA0000000 | index << 8 | word number.
    EXPECT_PRINTS(lib->ReadByArray("top.blk.mem_a", 5), ArrLib::Ok,
                  "41000 : top.blk.mem_a :   5 : a0000500 a0000501 a0000502 a0000503 a0000504 "
                  "a0000505 a0000506 a0000507 \n");
    EXPECT_PRINTS(lib->ReadByArray("top.blk.mem_b", 5), ArrLib::Ok,
                  "41000 : top.blk.mem_b :   5 : a0100500 a0100501 a0100502 a0100503 a0100504 "
                  "a0100505 a0100506 a0100507 \n");
    EXPECT_EQ(ControlWrites(0x41000), (std::vector<u_int32_t>{0xC1000005, 0, 0xC1001005, 0}));
    EXPECT_PRINTS(lib->ReadByArray("top.blk.mem_a", 0x1000), ArrLib::AddrTooHigh,
                  "-E- address/limit(bits) 1000/fff\n");
    // The receive buffer's gateway holds 4 words, too few for a lane.
    EXPECT_PRINTS(lib->ReadByArray("top.blk.rx_q", 0), ArrLib::AccessError,
                  "-E- GW 42000 of array top.blk.rx_q delivers 4 words, a receive buffer "
                  "needs 9\n");
}

TEST_F(LoaderTest, EachKeywordBuildsItsKinds) {
    struct Row { const char* line; const std::type_info& gw; const std::type_info& array; };
    const Row rows[] = {
        {"n GW_simple 1000 24 4 0 16 255 1010 2", typeid(ArrLib::Gateway), typeid(ArrLib::Array)},
        {"n GW_gfifo 1000 24 4 0 16 255 1010 2", typeid(ArrLib::GW_gfifo), typeid(ArrLib::Array)},
        {"n GW_clear 1000 24 4 0 16 255 1010 2 20", typeid(ArrLib::GW_clear),
         typeid(ArrLib::Array)},
        {"n GW_serdes 1000 24 4 0 16 255 1010 2", typeid(ArrLib::GW_serdes), typeid(ArrLib::Array)},
        {"n GW_field 1000 24 4 0 16 255 1010 2", typeid(ArrLib::GW_field), typeid(ArrLib::Array)},
        {"n GW_rx_buffer 1000 24 4 0 16 255 1010 9 3", typeid(ArrLib::Gateway),
         typeid(ArrLib::Array_rx_buffer)},
        {"n GW_irisc 1000 24 4 0 16 255 1010 2 1 4 0", typeid(ArrLib::GW_irisc),
         typeid(ArrLib::Array_irisc)},
        {"n GW_array_addr 1000 24 4 0 16 255 1010 2 12 4 0 15 4095", typeid(ArrLib::GW_array_addr),
         typeid(ArrLib::Array_addr)},
        {"n GW_reqsl 1000 24 4 0 16 255 1010 2 12 4 0 15 4095", typeid(ArrLib::GW_reqsl),
         typeid(ArrLib::Array_reqsl)},
        {"n GW_xtsram 1000 24 4 0 16 255 1010 2 8 8 1 255 255", typeid(ArrLib::GW_xtsram),
         typeid(ArrLib::Array_xtsram)},
        {"n GW_SXP 1000 24 4 0 21 255 1010 2 5 16 3 21 127", typeid(ArrLib::GW_sxp),
         typeid(ArrLib::Array_sxp)},
    };
    for (const Row& row : rows) {
        auto lib = Load(std::string(row.line) + "\n");
        ArrLib::Gateway* gw = lib->GwExist(0x1000);
        ArrLib::Array* array = lib->ArrayExist("n");
        ASSERT_NE(gw, nullptr) << row.line;
        ASSERT_NE(array, nullptr) << row.line;
        EXPECT_EQ(typeid(*gw), row.gw) << row.line;
        EXPECT_EQ(typeid(*array), row.array) << row.line;
    }
    // Kinds without a keyword are ignored lines, as stored databases expect.
    for (const char* kind :
         {"GW_be_address", "GW_simple_special", "GW_tag_data", "GW_tag_data2", "gw_simple"}) {
        auto lib = Load(std::string("n ") + kind + " 1000 24 4 0 16 255 1010 2 1 2 3 4 5 6\n");
        EXPECT_EQ(lib->ArrayExist("n"), nullptr) << kind;
        EXPECT_EQ(lib->GwExist(0x1000), nullptr) << kind;
    }
}

TEST_F(LoaderTest, LinesSkippedSharedAndReplaced) {
    std::string longTail(300, ' ');
    auto lib = Load(
        "NAME KIND ADDRESS and other words that are no numbers\n"
        "\n"
        "lonely\n"
        "   \t  \n"
        "crlf.a GW_simple 0x43000 24 4 0 16 255 43010 2\r\n"
        "first GW_simple 44000 24 4 0 16 255 44010 2 extra words 13 14 15 16 17 zz\n"
        "second GW_array_addr 44000 24 4 0 16 65535 41020 8 12 4 1 15 4095\n"
        "dup GW_array_addr 45000 24 4 0 16 65535 45020 8 12 4 1 15 4095\n"
        "dup GW_gfifo 46000 24 4 0 16 255 46010 2\n"
        "sxp.x GW_SXP 77000 24 4 0 21 255 1010 2 5 16 3 21 127\n"
        "long GW_simple 47000 24 4 0 16 255 47010 2" +
        longTail + "tail GW_simple 48000 24 4 0 16 255 48010 2\n");
    EXPECT_EQ(lib->ArrayExist("NAME"), nullptr);
    EXPECT_EQ(lib->ArrayExist("lonely"), nullptr);
    ASSERT_NE(lib->GwExist(0x43000), nullptr);
    // The later line with the same address shares the first line's gateway.
    EXPECT_EQ(typeid(*lib->GwExist(0x44000)), typeid(ArrLib::Gateway));
    EXPECT_EQ(typeid(*lib->ArrayExist("second")), typeid(ArrLib::Array_addr));
    // The same name twice: the later line wins; the earlier line's gateway stays.
    EXPECT_EQ(typeid(*lib->ArrayExist("dup")), typeid(ArrLib::Array));
    EXPECT_EQ(typeid(*lib->GwExist(0x45000)), typeid(ArrLib::GW_array_addr));
    EXPECT_EQ(typeid(*lib->GwExist(0x46000)), typeid(ArrLib::GW_gfifo));
    // An sxp gateway is filed under its line's address, and works at its own.
    ASSERT_NE(lib->GwExist(0x77000), nullptr);
    EXPECT_EQ(lib->GwExist(0x77000)->Address(), 0x1DB00u);
    // A long line stays one line: its tail is no line of its own.
    ASSERT_NE(lib->ArrayExist("long"), nullptr);
    EXPECT_EQ(lib->ArrayExist("tail"), nullptr);
    EXPECT_EQ(lib->GwExist(0x48000), nullptr);
}

TEST_F(LoaderTest, ErrorsStopTheLoadWithStatus1) {
    std::string db = sim_->dir() + "/err_db.txt";
    struct Row {
        const char* name;
        std::string text;  // database; empty: no file at all
        const char* device;
        std::string message;  // regular expression
    };
    const Row rows[] = {
        {"bad hexadecimal address", "a GW_simple 4zz00 24 4 0 16 255 40010 2\n", kDevice,
         "-E- illegal value 4zz00\n"},
        {"bad decimal word", "a GW_simple 40000 24 4 0 1x 255 40010 2\n", kDevice,
         "-E- illegal value 1x\n"},
        {"bad kind-specific word", "a GW_array_addr 40000 24 4 0 16 255 40010 2 12 4 q 15 4095\n",
         kDevice, "-E- illegal value q\n"},
        {"short line of a known kind",
         "ok GW_simple 40000 24 4 0 16 255 40010 2\n"
         "top.x GW_array_addr 41000 24 4 0 16 65535 41020 8\n",
         kDevice,
         "-E- Too few words for GW_array_addr in DataBase file " + db +
             " line 2 : top.x GW_array_addr 41000 24 4 0 16 65535 41020 8\n"},
        // Widths and sizes a 32-bit control word cannot hold, refused before
        // any gateway or device exists.
        {"field offset beyond the word", "a GW_simple 40000 33 4 0 16 255 40010 2\n", kDevice,
         "-E- cOffset 33 outside 0..32 for GW_simple in DataBase file " + db +
             " line 1 : a GW_simple 40000 33 4 0 16 255 40010 2\n"},
        {"negative index width", "a GW_clear 40000 24 4 0 -1 255 40010 2 20\n", kDevice,
         "-E- iSize -1 outside 0..32 for GW_clear in DataBase file " + db +
             " line 1 : a GW_clear 40000 24 4 0 -1 255 40010 2 20\n"},
        {"clear bit beyond the word", "a GW_clear 40000 24 4 0 16 255 40010 2 32\n", kDevice,
         "-E- corOffset 32 outside 0..31 for GW_clear in DataBase file " + db +
             " line 1 : a GW_clear 40000 24 4 0 16 255 40010 2 32\n"},
        {"no data register", "a GW_simple 40000 24 4 0 16 255 40010 0\n", kDevice,
         "-E- dSize 0 outside 1..65541 for GW_simple in DataBase file " + db +
             " line 1 : a GW_simple 40000 24 4 0 16 255 40010 0\n"},
        {"data registers below address 0", "a GW_irisc 40000 24 4 0 16 255 10 6 1 2 0\n", kDevice,
         "-E- dSize 6 outside 1..5 for GW_irisc in DataBase file " + db +
             " line 1 : a GW_irisc 40000 24 4 0 16 255 10 6 1 2 0\n"},
        {"huge data size", "a GW_simple 40000 24 4 0 16 255 40010 4294967295\n", kDevice,
         "-E- dSize 4294967295 outside 1..65541 for GW_simple in DataBase file " + db +
             " line 1 : a GW_simple 40000 24 4 0 16 255 40010 4294967295\n"},
        // A typo that once sent mem.b's accesses to mem.a's entries.
        {"index field narrower than the array number",
         "mem.a GW_array_addr 41000 24 4 0 16 65535 41020 8 12 4 0 15 4095\n"
         "mem.b GW_array_addr 41000 24 4 0 1 65535 41020 8 12 4 1 15 4095\n",
         "/dev/kdt/kx31001_nothing0",
         "-E- aSize 4 outside 0..1 for GW_array_addr in DataBase file " + db +
             " line 2 : mem.b GW_array_addr 41000 24 4 0 1 65535 41020 8 12 4 1 15 4095\n"},
        {"missing file", "", kDevice, "-E- Cannot open DataBase file : " + db + "\n"},
        {"device that cannot be opened", "a GW_simple 40000 24 4 0 16 255 40010 2\n",
         "/dev/kdt/kx31001_nothing0", "-E- Cannot open kdt device : /dev/kdt/kx31001_nothing0\n"},
        {"database read before the device",
         "a GW_simple 40000 24 4 0 16 255 40010 2\nb GW_simple zz 24 4 0 16 255 40010 2\n",
         "/dev/kdt/kx31001_nothing0", "-E- illegal value zz\n"},
    };
    for (const Row& row : rows) {
        std::remove(db.c_str());
        if (!row.text.empty()) std::ofstream(db, std::ios::binary) << row.text;
        std::string pattern;
        for (char c : row.message) {
            if (std::string("\\.()[]{}*+?^$|").find(c) != std::string::npos) pattern += '\\';
            pattern += c;
        }
        EXPECT_EXIT(
            {
                StdoutToStderr();
                ArrLib lib(db.c_str(), row.device);
            },
            ::testing::ExitedWithCode(1), pattern)
            << row.name;
    }
}

}  // namespace
