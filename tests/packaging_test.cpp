// What the packages install beside the programs: the bash completion of
// ramtrawl, the manual pages, and the shared library as a C program uses it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "server_helpers.h"

namespace {

using testsrv::RunProgram;
using testsrv::RunResult;

// A heading, each kind's words, a kind ramtrawl does not load, a second
// array on a known gateway and a name given twice.
const char kDb[] =
    "Array_name  Type  Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a.ctl   GW_simple      40000 24 4 0 16 15 40010 4\n"
    "top.a.mem0  GW_array_addr  41000 24 4 0 16 65535 41010 4 12 4 0 1 15\n"
    "top.a.mem1  GW_array_addr  41000 24 4 0 16 65535 41010 4 12 4 1 1 15\n"
    "top.b.be    GW_be_address  90000 24 4 0 16 15 90010 2\n"
    "\ttop.b.rx  GW_rx_buffer   0x43000 24 4 0 12 4095 43024 9 11\n"
    "top.a.ctl   GW_simple      40000 24 4 0 16 15 40010 4\n";

// The completion offers the names of the database ramtrawl would use, one a
// line (an empty line: none), for the words typed so far, the last one being
// completed.
TEST(CompletionTest, OffersTheNamesOfTheDatabaseRamtrawlWouldUse) {
    simtest::ChipDir temp;
    temp.Write("arr_db.txt", kDb);
    const std::string& dir = temp.path();
    ASSERT_EQ(mkdir((dir + "/empty").c_str(), 0700), 0);
    const std::string arrays = "top.a.ctl\ntop.a.mem0\ntop.a.mem1\ntop.b.rx\n", options = "-l\n-gw\n-arr\n-a\n-d\n";
    const struct {
        testsrv::Args words;
        std::string cwd;
        std::string expected;
    } rows[] = {
        {{"ramtrawl", "dev", "-arr", ""}, dir, arrays},
        {{"ramtrawl", "dev", "-arr", "top.a.m"}, dir, "top.a.mem0\ntop.a.mem1\n"},
        {{"ramtrawl", "dev", "--arr", "=", ""}, dir, arrays},
        {{"ramtrawl", "dev", "-gw", ""}, dir, "40000\n41000\n0x43000\n"},
        {{"ramtrawl", "dev", "-g", "4"}, dir, "40000\n41000\n"},
        {{"ramtrawl", "dev", "-a", ""}, dir, "\n"},
        {{"ramtrawl", "dev", "-"}, dir, options},
        {{"ramtrawl", "dev", "-gw", "40000", "-"}, dir, options},
        // Without a database in the current directory: the one beside a
        // program started through a path, none for a bare name.
        {{dir + "/ramtrawl", "dev", "-arr", ""}, dir + "/empty", arrays},
        {{"ramtrawl", "dev", "-arr", ""}, dir + "/empty", "\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.words) + " in " + row.cwd);
        testsrv::Args argv = {"/bin/bash", "-c",
                              "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _ramtrawl; "
                              "printf '%s\\n' \"${COMPREPLY[@]}\"",
                              std::string(SOURCE_DIR) + "/completion/ramtrawl.bash"};
        argv.insert(argv.end(), row.words.begin(), row.words.end());
        testsrv::ExpectRun(RunProgram(argv, row.cwd), row.expected);
    }
}

// Every page renders with man and passes mandoc's lint without a warning.
TEST(ManPageTest, RendersAndLintsClean) {
    for (const char* page : {"ramtrawl.1", "kxcr-server.1", "kxcr.3", "arr_db.5"}) {
        const std::string path = std::string(SOURCE_DIR) + "/man/" + page;
        const RunResult lint = RunProgram({"/usr/bin/mandoc", "-T", "lint", "-W", "warning", path});
        EXPECT_EQ(lint.status, 0) << page;
        EXPECT_EQ(lint.out + lint.err, "") << page;
        const RunResult man =
            RunProgram({"/usr/bin/man", "--warnings", "-l", path}, "", {"MANWIDTH=80", "MANPAGER=cat"});
        EXPECT_EQ(man.status, 0) << page;
        EXPECT_EQ(man.err, "") << page;
        EXPECT_NE(man.out.find("NAME"), std::string::npos) << page;
    }
}

// The C example on the shared library reads a word through the server; with
// KXCR_TRACE the access is traced on standard error and standard output is
// unchanged.
TEST(SharedLibraryTest, CProgramReadsAWordThroughTheServer) {
    std::unique_ptr<testsrv::Server> server = testsrv::StartOrFail({kDb});
    ASSERT_TRUE(server);
    std::unique_ptr<kxsim::Chip> chip = testsrv::OpenChip(*server);
    ASSERT_TRUE(chip);
    chip->Poke(0x50000, 0xc0ffee42);
    const std::string device = server->RemoteName(kxsim::kZorvanPciconfName);
    const struct {
        std::string address;
        std::vector<std::string> env;
        RunResult expected;
    } rows[] = {
        {"50000", {}, {"c0ffee42\n", "", 0}},
        {"50000", {"KXCR_TRACE=1"}, {"c0ffee42\n", "-D- kread4 00050000 : c0ffee42 -> 4\n", 0}},
        {"50000", {"KXCR_TRACE=0"}, {"c0ffee42\n", "", 0}},
        {"50002", {"KXCR_TRACE=1"}, {"", "-D- kread4 00050002 -> -1 (Invalid argument)\n"
                                         "kxcr_read: reading 00050002 failed: Invalid argument\n", 2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        const RunResult r = RunProgram({KXCR_READ_BIN, device, row.address}, "", row.env);
        testsrv::ExpectRun(r, row.expected.out, row.expected.status, row.expected.err);
    }
}

}  // namespace
