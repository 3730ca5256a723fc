// The ramtrawl program run as a user runs it: its command-line grammar, the
// database listing and where it finds the database, none of which reaches a
// device; then against the real kxcr-server serving the simulated chip, what
// a user sees over each transport the server offers.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "server_helpers.h"

namespace {

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
    testsrv::ExpectRuns({RAMTRAWL_BIN}, {
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
    }, dir_.path());
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
    const auto list = [](const std::string& program, const std::string& cwd, const std::string& out,
                         int status) {
        SCOPED_TRACE(program + " in " + cwd);
        testsrv::ExpectRun(testsrv::RunProgram({program, "nodev", "-l"}, cwd), out, status);
    };
    list(dir + "/prog/ramtrawl", dir + "/empty", "[rw] beside.prog\n", 0);
    list(dir + "/prog/ramtrawl", dir, kExampleListing, 0);
    list(dir + "/bare/ramtrawl", dir + "/empty",
         "-E- Cannot open DataBase file : " + dir + "/bare/arr_db.txt\n", 1);
    list("ramtrawl", dir + "/bare", "-E- Cannot open DataBase file : arr_db.txt\n", 1);
    list(RAMTRAWL_BIN, dir + "/unreadable", "-E- Error reading DataBase file : arr_db.txt\n", 1);
}

// The database of the chip kxcr-server serves.
const char kServedDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 15    40008 2\n"
    "top.mem_a  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 0 1 7\n"
    "top.mem_b  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 1 1 7\n"
    "top.big    GW_simple     42000 24 4 0 16 65535 42100 64\n"
    "top.icache GW_irisc      44000 24 6 0 16 4     44010 1 1 2 0\n"
    "top.mem_ro GW_array_addr 12160 24 4 0 16 65535 12180 2 12 4 0 15 4095\n"
    "top.rx_q   GW_rx_buffer  43000 24 4 0 16 4095  43030 9 3\n";

using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::RunRow;
using testsrv::TopA;
using testsrv::Unwritten;
using Knob = void (*)(kxsim::Chip&, bool on);

// A server on kServedDb with its chip open, and ramtrawl run in the server's
// directory (beside arr_db.txt) with the device named by the parameter first.
class RemoteRun : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        device_ = GetParam();
        ASSERT_NE(server_ = testsrv::StartOrFail({kServedDb}), nullptr);
        ASSERT_NE(chip_ = testsrv::OpenChip(*server_), nullptr);
    }
    // Each row runs after the rows above it: the reads see the earlier writes.
    void RunRows(const std::vector<RunRow>& rows) {
        testsrv::ExpectRuns({RAMTRAWL_BIN, server_->RemoteName(device_)}, rows, server_->dir());
    }
    // One row run with `knob` turned on.
    void RunWith(Knob knob, const RunRow& row) {
        knob(*chip_, true);
        RunRows({row});
        knob(*chip_, false);
    }
    std::unique_ptr<testsrv::Server> server_;
    std::unique_ptr<kxsim::Chip> chip_;
    std::string device_;
};

// The chip's configuration space, its I2C master (the chip's own master
// talking to its own slave) and both USB-I2C adapters.
class Transport : public RemoteRun {};

TEST_P(Transport, ReadsWritesAndDumps) {
    const std::vector<uint32_t> three = {0x11223344, 0x55667788};
    RunRows({
        {{"-gw", "40000", "-a", "3"}, EntryLine(0x40000, "", 3, Unwritten(0x40000, 3, 2)) + kDone},
        {{"-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kDone},
        {{"-arr", "top.a", "-a", "3"}, EntryLine(0x40000, "top.a", 3, three) + kDone},
        {{"-gw", "40000", "-a", "f", "-d", "abc"}, kDone},
        {{"-gw", "40000", "-a", "f"}, EntryLine(0x40000, "", 0xf, {0, 0xabc}) + kDone},
        {{"-gw", "40000"}, TopA("", {{3, three}, {0xf, {0, 0xabc}}}) + kDone},
        {{"-arr", "top.a"}, TopA("top.a", {{3, three}, {0xf, {0, 0xabc}}}) + kDone},
    });
    EXPECT_EQ(chip_->Entry(0x40000, 3), three);
    // The I2C master's control register shows its last command, a stop,
    // done; no other transport uses it.
    EXPECT_EQ(chip_->Peek(0xF0180), device_ == kxsim::kZorvanI2cmName ? 0x00070048u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Names, Transport,
                         testing::Values(kxsim::kZorvanPciconfName, kxsim::kZorvanI2cmName, kxsim::kKxusbName,
                                         kxsim::kDimaxName));

class UsbRun : public RemoteRun {};

// What a user sees when the adapter or the slave fails.
TEST_P(UsbRun, Faults) {
    // An adapter that moves nothing cannot even be opened.
    const Knob silent = [](kxsim::Chip& c, bool on) {
        c.SetUsbFault(on ? kxsim::UsbFault::Silent : kxsim::UsbFault::None);
    };
    RunWith(silent, {{"-gw", "40000"}, "-E- Cannot open kdt device : " + server_->RemoteName(device_) + "\n", 1});
    RunWith([](kxsim::Chip& c, bool on) { c.SetI2cAnswers(!on); },
            {{"-arr", "top.a", "-a", "3"}, "", 2, "-E- Cr read (0x00040000) failed: Input/output error(5)\n"});
}

INSTANTIATE_TEST_SUITE_P(Adapters, UsbRun, testing::Values(kxsim::kKxusbName, kxsim::kDimaxName));

// The command lines over the chip's configuration space.
INSTANTIATE_TEST_SUITE_P(Pciconf, RemoteRun, testing::Values(kxsim::kZorvanPciconfName));

TEST_P(RemoteRun, CommandLines) {
    // The embedded processor's cache: the array composes whole control words
    // (code 1, way 0, entry), the gateway takes them from the command line and
    // only forces the direction bit.
    // Unwritten lines read what the chip holds at those control words.
    const auto icache_line = [](uint32_t line, const std::vector<uint32_t>& words) {
        return EntryLine(0x44000, "top.icache", line, words);
    };
    const std::string icache = icache_line(0, Unwritten(0x44000, 0x01000000, 1)) + icache_line(1, {0x55}) +
                               icache_line(2, {0x1234abcd}) + icache_line(3, Unwritten(0x44000, 0x010000c0, 1));
    // The second array behind a shared gateway: its lines from 0x1000 on.
    std::string mem_b;
    for (uint32_t line = 0; line <= 7; ++line)
        mem_b += EntryLine(0x41000, "top.mem_b", line,
                           line == 7 ? std::vector<uint32_t>{0, 0xdeadbeef} : Unwritten(0x41000, 0x1000 + line, 2));
    // With neither -gw nor -arr every array is read in the order of the
    // names; those behind a locked gateway are skipped and named.
    std::string every = TopA("top.a", {});
    for (const auto& [gw, name] : std::vector<std::pair<std::string, std::string>>{
             {"42000", "top.big"}, {"44000", "top.icache"}, {"41000", "top.mem_a"}, {"41000", "top.mem_b"},
             {"12160", "top.mem_ro"}, {"43000", "top.rx_q"}})
        every += "-E- TimeOut lock GW " + gw + "\n-E- array " + name +
                 " was not read, because its gw was locked\n";
    const std::string too_high = "-E- Address is too high for the specified array/gw \n";
    RunRows({
        // Array-addressed: line 7 of the second array is gateway index 0x1007.
        {{"-arr", "top.mem_b", "-a", "7", "-d", "deadbeef"}, kDone},
        {{"-gw", "41000", "-a", "1007"}, EntryLine(0x41000, "", 0x1007, {0, 0xdeadbeef}) + kDone},
        {{"-arr", "top.mem_b"}, mem_b + kDone},
        {{"-arr", "top.icache", "-a", "2", "-d", "1234abcd"}, kDone},
        {{"-arr", "top.icache", "-a", "2"}, EntryLine(0x44000, "top.icache", 2, {0x1234abcd}) + kDone},
        // Code 1, way 0, entry 2: read whatever bit 24 says.
        {{"-gw", "44000", "-a", "80"}, EntryLine(0x44000, "", 0x1000080, {0x1234abcd}) + kDone},
        // Code 2 once bit 24 is cleared, way 0, entry 1.
        {{"-gw", "44000", "-a", "3000040", "-d", "55"}, kDone},
        {{"-arr", "top.icache", "-a", "4"}, too_high, 2},
        {{"-arr", "top.icache"}, icache + kDone},
        // Refusals.
        {{"-gw", "40000", "-a", "10"}, "-E- address/maximal 10/f\n" + too_high, 2},
        {{"-gw", "99999"}, "-E- GateWay 99999 not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "0", "-a", "1", "-d", "5"}, "-E- GateWay 0 not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "top.nothing"}, "-E- Array top.nothing not found in DataBase arr_db.txt\n", 255},
        {{"-arr", "TOP.a", "-a", "1", "-d", "5"}, "-E- Array TOP.a not found in DataBase arr_db.txt\n", 255},
        {{"-gw", "12160", "-a", "0", "-d", "1"}, "-E- GateWay 12160 is read-only \n", 255},
        {{"-arr", "top.rx_q", "-a", "0", "-d", "1"}, "-E- Array top.rx_q is read-only \n", 255},
    });
    // Time-outs.
    RunWith([](kxsim::Chip& c, bool on) { c.HoldLock(0x40000, on); },
            {{"-gw", "40000", "-a", "1"},
             "-E- TimeOut lock GW 40000\n-E- operation partially done, because gw was locked\n", 255});
    RunWith([](kxsim::Chip& c, bool on) { c.SetBusyReads(0x40000, on ? kxsim::kBusyForever : 0); },
            {{"-gw", "40000", "-a", "1"},
             "-E- TimeOut Busy\n-E- GW 40000 is busy, waited for the read to end 1000 attempts\n"
             "-E- operation canceled, since gw was busy\n", 255});
    // Every gateway but top.a's locked.
    RunWith([](kxsim::Chip& c, bool on) {
        for (uint32_t gw : {0x41000, 0x42000, 0x43000, 0x44000, 0x12160}) c.HoldLock(gw, on);
    }, {{}, every + "-E- operation partially done, because gw was locked\n", 255});
    // The -d text is cut into words from its right end, most significant word
    // first, every word above the text's written as zero: the big array's
    // entry 9, filled beforehand, and its last three words.
    for (const auto& [data, last] : std::vector<std::pair<const char*, std::vector<uint32_t>>>{
             {"1234", {0, 0, 0x1234}}, {"123456789", {0, 0x1, 0x23456789}},
             {"123456789abcdef01", {0x1, 0x23456789, 0xabcdef01}}, {"", {0, 0, 0}},
             {"FfFfFfFf0", {0, 0xf, 0xfffffff0}}}) {
        std::vector<uint32_t> words(61, 0);
        words.insert(words.end(), last.begin(), last.end());
        chip_->SetEntry(0x42000, 9, std::vector<uint32_t>(64, 0xdead));
        RunRows({{{"-gw", "42000", "-a", "9", "-d", data}, kDone},
                 {{"-gw", "42000", "-a", "9"}, EntryLine(0x42000, "", 9, words) + kDone}});
    }
}

TEST_P(RemoteRun, DumpPipedIntoAReaderThatLeavesEnds) {
    // The SIGPIPE handler of the remote transport must not spin when the
    // broken pipe is standard output itself.
    const std::string command = "set -o pipefail; '" + std::string(RAMTRAWL_BIN) + "' '" +
                                server_->RemoteName(device_) + "' -arr top.big | head -n 1";
    testsrv::RunResult r = testsrv::RunProgram({"/bin/bash", "-c", command}, server_->dir());
    EXPECT_EQ(r.out, EntryLine(0x42000, "top.big", 0, Unwritten(0x42000, 0, 64)));
    EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
}

}  // namespace
