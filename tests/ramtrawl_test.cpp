// The ramtrawl program run as a user runs it: its command-line grammar, the
// database listing and where it finds the database. None of these cases
// reaches a device.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server_helpers.h"

namespace {

using testsrv::Args;

const char* const kUsage =
    "\n-E- Usage : trawlram [-l] <device> [ -gw <GW-addr:Add-idx> | -arr <arr-path> [ -a "
    "<addr-in-array> [ -d <data-to-write> ] ] ]\n"
    "\nExample 1: to read all data from all gateways use:\n./ramtrawl <device>\n"
    "\nExample 2: to read all data in gateway 0x82580 use:\n./ramtrawl <device> -gw 82580\n"
    "\nExample 3: to read data from index 0x0000C at gateway 0x82580 use:\n./ramtrawl <device> -gw 82580 -a c\n"
    "\nExample 4: to write 0x123b to index 0x00000C at gateway 0x82580 use:\n"
    "./ramtrawl <device> -gw 82580 -a c -d 123b\n"
    "\nExample 5: to read all data in array 'top.dut.hca.tpt.trc_core.wrapper_rw128x128u' use:\n"
    "./ramtrawl <device> -arr top.dut.hca.tpt.trc_core.wrapper_rw128x128u\n"
    "\nExample 6: to read data from index 0x0000C at array "
    "'top.dut.hca.tpt.trc_core.wrapper_rw128x128u' use:\n"
    "./ramtrawl <device> -arr top.dut.hca.tpt.trc_core.wrapper_rw128x128u -a c\n"
    "\nExample 7: to write 0x1234 to index (line #) 0x0000C at array "
    "'top.dut.hca.tpt.trc_core.wrapper_rw128x128u' use:\n"
    "./ramtrawl <device> -arr top.dut.hca.tpt.trc_core.wrapper_rw128x128u -a c -d 1234\n"
    "\nPlease note that 'index' in a gateway is not the same as 'index' in an array.\n\n";

const char* const kExampleDb =
    "top.blk.ctl_regs   GW_simple      40000  24 4 0 16 255   40010 4\n"
    "top.blk.mem_a      GW_array_addr  41000  24 4 0 16 65535 41020 8  12 4 0 15 4095\n"
    "top.blk.mem_b      GW_array_addr  41000  24 4 0 16 65535 41020 8  12 4 1 15 4095\n"
    "top.blk.rx_q       GW_rx_buffer   42000  24 4 0 16 511   42010 4  3\n";

const char* const kExampleListing =
    "[rw] top.blk.ctl_regs\n"
    "[rw] top.blk.mem_a\n"
    "[rw] top.blk.mem_b\n"
    "[ro] top.blk.rx_q\n";

// A temporary directory holding the example database as arr_db.txt; the
// program runs there.
class RamtrawlTest : public testing::Test {
protected:
    void SetUp() override { dir_.Write("arr_db.txt", kExampleDb); }
    simtest::ChipDir dir_;
};

std::string Illegal(const std::string& value) { return "-E- illegal value " + value + "\n"; }

// Exactly what each command line prints and how it ends. No device exists:
// accepted command lines reach the library, which loads the database and
// then fails to open the device.
TEST_F(RamtrawlTest, CommandLineOutcomes) {
    const std::string noDevice = "-E- Cannot open kdt device : nodev\n", me = RAMTRAWL_BIN;
    const std::string unknown = me + ": unrecognized option '-x'\n";
    struct Row {
        Args args;
        std::string out;
        int status;
        std::string err = "";  // the option scanner's own diagnostic
    };
    const Row rows[] = {
        // Rejected: the usage text.
        {{}, kUsage, 1},                                  // no device
        {{"nodev", "stray"}, kUsage, 1},                  // a stray word, no -gw/-arr
        {{"nodev", "-a", "c"}, kUsage, 1},                // -a without -gw or -arr
        {{"nodev", "-arr", "x", "-d", "12"}, kUsage, 1},  // -d without -a
        {{"nodev", "-gw", "1", "-arr", "x"}, kUsage, 1},  // both -gw and -arr
        {{"nodev", "-x"}, kUsage, 1, unknown},                                        // unknown option
        {{"nodev", "-gw"}, kUsage, 1, me + ": option '-gw' requires an argument\n"},  // missing argument
        {{"nodev", "-arr", "x", "-a"}, kUsage, 1, me + ": option requires an argument -- 'a'\n"},
        {{"nodev", "-gw", "1", "stray"}, kUsage, 1},                        // too many words: 5 > 4
        {{"nodev", "-gw", "1", "-gw", "2"}, kUsage, 1},                     // a repeated option counts its words
        {{"nodev", "-gw", "1", "-a", "2", "stray"}, kUsage, 1},             // 7 > 6
        {{"nodev", "-gw", "1", "-a", "2", "-d", "3", "stray"}, kUsage, 1},  // 9 > 8
        {{"nodev", "-arr", "x", "-a", "2", "-d", "3", "stray"}, kUsage, 1},
        // Listed without opening the device, whatever else is on the line.
        {{"nodev", "-l"}, kExampleListing, 0},
        {{"-l"}, kExampleListing, 0},
        {{"nodev", "-arr", "top.blk.mem_a", "-a", "ffffffff", "-d", "12", "-l"}, kExampleListing, 0},
        {{"nodev", "-l", "-gw", "zz"}, kExampleListing, 0},  // listed before zz is looked at
        {{"nodev", "-x", "-l"}, kExampleListing, 0, unknown},  // an unknown option before -l
        {{"nodev", "-a", "1", "-l", "stray", "words"}, kExampleListing, 0},
        // Bad numbers stop the scan. Options act in order: the bad address
        // stops the run before -l lists.
        {{"nodev", "-gw", "zz", "-l"}, Illegal("zz"), 1},
        {{"nodev", "-a", "zz"}, Illegal("zz"), 1},  // before the option mix is judged
        // A bad data group is quoted padded to its eight digits.
        {{"nodev", "-gw", "40000", "-a", "1", "-d", "12g4"}, Illegal("000012g4"), 1},
        {{"nodev", "-gw", "40000", "-a", "1", "-d", "1234567812g4"}, Illegal("567812g4"), 1},
        // Signs, blanks, prefixes and carriage returns are no data digits.
        {{"nodev", "-gw", "40000", "-a", "1", "-d", "-1234567"}, Illegal("-1234567"), 1},
        {{"nodev", "-gw", "40000", "-a", "1", "-d", " 1234567"}, Illegal(" 1234567"), 1},
        {{"nodev", "-gw", "40000", "-a", "1", "-d", "0x123456"}, Illegal("0x123456"), 1},
        {{"nodev", "-gw", "40000", "-a", "1", "-d", "123456789\r"}, Illegal("3456789\r"), 1},
        // Addresses and indexes are 32-bit: wider numbers are refused, not cut.
        {{"nodev", "-gw", "100000000"}, Illegal("100000000"), 1},
        {{"nodev", "-gw", "40000", "-a", "10000000c"}, Illegal("10000000c"), 1},
        {{"nodev", "-gw", "40000", "-a", "-80000001"}, Illegal("-80000001"), 1},
        {{"nodev", "-gw", "ffffffffffffffffffffffff"}, Illegal("ffffffffffffffffffffffff"), 1},
        // Accepted (the plain forms are run against a device end to end).
        {{"nodev", "-a", "1", "-d", "", "-gw", "40000"}, noDevice, 1},
        {{"nodev", "--gw=40000", "-a", "1"}, noDevice, 1},
        {{"nodev", "--gw=40000", "-a", "1", "stray"}, noDevice, 1},  // a joined option frees a word
        {{"nodev", "-g", "40000"}, noDevice, 1},                     // unambiguous prefix of -gw
        {{"nodev", "-ar", "top.blk.mem_a"}, noDevice, 1},
        {{"nodev", "--arr", "top.blk.mem_a", "-a", "-1"}, noDevice, 1},
        // The device is the first word, whatever it looks like.
        {{"-gw", "40000", "nodev"}, "-E- Cannot open kdt device : -gw\n", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        Args argv = {RAMTRAWL_BIN};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        testsrv::ExpectRun(testsrv::RunProgram(argv, dir_.path()), row.out, row.status, row.err);
    }
}

// Each database line listed with its access: read-write, read-only (the
// receive buffers), read-only by its gateway's address, or not implemented.
TEST_F(RamtrawlTest, ListingTagsEachLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"top.blk.mem_a GW_array_addr 12160 24 4\n", "[r ] top.blk.mem_a\n"},  // read-only gateway
        {"top.blk.mem_a GW_array_addr 41000\n", "[rw] top.blk.mem_a\n"},  // other address
        {"a GW_array_addr 0x12160\n", "[rw] a\n"},  // address with prefix
        {"a GW_array_addr 012160\n", "[rw] a\n"},  // address with leading zero
        {"q GW_rx_buffer 42000\n", "[ro] q\n"},  // rx buffer
        {"name kind address cmd\n", "[NI] name\n"},  // heading
        {"a gw_simple 1\n", "[NI] a\n"},  // keywords are case-sensitive
        {"a GW_simple zz yy\n", "[rw] a\n"},  // no number is parsed
        // read-write kinds
        {"a GW_simple 1\nb GW_gfifo 1\nc GW_clear 1\nd GW_reqsl 1\ne GW_irisc 1\nf GW_be_address 1\n"
         "g GW_serdes 1\nh GW_xtsram 1\ni GW_simple_special 1\nj GW_tag_data 1\nk GW_field 1\nl GW_tag_data2 1\n"
         "m GW_SXP 1\n",
         "[rw] a\n[rw] b\n[rw] c\n[rw] d\n[rw] e\n[rw] f\n[rw] g\n[rw] h\n[rw] i\n[rw] j\n[rw] k\n[rw] l\n[rw] m\n"},
        {"z GW_simple 1\na GW_simple 2\nz GW_field 3\n", "[rw] z\n[rw] a\n[rw] z\n"},  // file order with duplicates
        {"  \ta\t\tGW_simple   1\n", "[rw] a\n"},  // separators
        {"\n   \none\ntwo words\na GW_simple 1\n\n", "[rw] a\n"},  // short lines are skipped
        {"a GW_rx_buffer 1", "[ro] a\n"},  // no final line feed
        {"", ""},  // empty file
        // a long line lists once
        {"a GW_simple 1 " + std::string(300, 'w') + " b GW_simple 2\nc GW_field 3\n", "[rw] a\n[rw] c\n"},
    };
    for (const auto& [db, listing] : cases) {
        SCOPED_TRACE(db.substr(0, 60));
        dir_.Write("arr_db.txt", db);
        testsrv::ExpectRun(testsrv::RunProgram({RAMTRAWL_BIN, "nodev", "-l"}, dir_.path()), listing);
    }
}

// Where the database is looked for: the current directory's wins; a
// program started through a path also looks beside itself, one started by a
// bare name does not. A database that opens and cannot be read (a
// directory) must not pass as an empty one.
TEST_F(RamtrawlTest, WhereTheDatabaseIsFound) {
    const std::string dir = dir_.path();
    for (const char* sub : {"/prog", "/bare", "/empty", "/unreadable", "/unreadable/arr_db.txt"})
        std::filesystem::create_directory(dir + sub);
    for (const char* sub : {"/prog", "/bare"}) std::filesystem::create_symlink(RAMTRAWL_BIN, dir + sub + "/ramtrawl");
    dir_.Write("prog/arr_db.txt", "beside.prog GW_field 1\n");
    const struct {
        std::string program;
        std::string cwd;
        std::string out;
        int status;
    } rows[] = {
        {dir + "/prog/ramtrawl", dir + "/empty", "[rw] beside.prog\n", 0},
        {dir + "/prog/ramtrawl", dir, kExampleListing, 0},
        {dir + "/bare/ramtrawl", dir + "/empty", "-E- Cannot open DataBase file : " + dir + "/bare/arr_db.txt\n", 1},
        {"ramtrawl", dir + "/bare", "-E- Cannot open DataBase file : arr_db.txt\n", 1},
        {RAMTRAWL_BIN, dir + "/unreadable", "-E- Error reading DataBase file : arr_db.txt\n", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.program + " in " + row.cwd);
        testsrv::ExpectRun(testsrv::RunProgram({row.program, "nodev", "-l"}, row.cwd), row.out, row.status);
    }
}

}  // namespace
