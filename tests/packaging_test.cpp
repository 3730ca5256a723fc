// What the packages install beside the programs: the bash completion of
// ramtrawl, the manual pages, and the shared library as a C program uses it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "server_helpers.h"

namespace {

using testsrv::RunProgram;
using testsrv::RunResult;

const std::string kCompletion = std::string(SOURCE_DIR) + "/completion/ramtrawl.bash";

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

// The names the completion offers for the words typed so far, the last one
// being completed, with ramtrawl's database looked up from `cwd`.
std::vector<std::string> Offered(const std::vector<std::string>& words, const std::string& cwd) {
    std::vector<std::string> argv = {"/bin/bash", "-c",
                                     "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _ramtrawl; "
                                     "printf '%s\\n' \"${COMPREPLY[@]}\"",
                                     kCompletion};
    argv.insert(argv.end(), words.begin(), words.end());
    const RunResult r = RunProgram(argv, cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
        if (end > start) names.push_back(r.out.substr(start, end - start));
    }
    return names;
}

TEST(CompletionTest, OffersTheNamesOfTheDatabaseRamtrawlWouldUse) {
    simtest::ChipDir temp;
    temp.Write("arr_db.txt", kDb);
    const std::string& dir_ = temp.path();
    ASSERT_EQ(mkdir((dir_ + "/empty").c_str(), 0700), 0);
    using Names = std::vector<std::string>;
    const Names arrays = {"top.a.ctl", "top.a.mem0", "top.a.mem1", "top.b.rx"};
    const struct {
        std::vector<std::string> words;
        std::string cwd;
        Names expected;
    } rows[] = {
        {{"ramtrawl", "dev", "-arr", ""}, dir_, arrays},
        {{"ramtrawl", "dev", "-arr", "top.a.m"}, dir_, {"top.a.mem0", "top.a.mem1"}},
        {{"ramtrawl", "dev", "--arr", "=", ""}, dir_, arrays},
        {{"ramtrawl", "dev", "-gw", ""}, dir_, {"40000", "41000", "0x43000"}},
        {{"ramtrawl", "dev", "-g", "4"}, dir_, {"40000", "41000"}},
        {{"ramtrawl", "dev", "-a", ""}, dir_, {}},
        {{"ramtrawl", "dev", "-"}, dir_, {"-l", "-gw", "-arr", "-a", "-d"}},
        {{"ramtrawl", "dev", "-gw", "40000", "-"}, dir_, {"-l", "-gw", "-arr", "-a", "-d"}},
        // Without a database in the current directory: the one beside a
        // program started through a path, none for a bare name.
        {{dir_ + "/ramtrawl", "dev", "-arr", ""}, dir_ + "/empty", arrays},
        {{"ramtrawl", "dev", "-arr", ""}, dir_ + "/empty", {}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Offered(row.words, row.cwd), row.expected) << testsrv::Bracketed(row.words) << " in " << row.cwd;
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
        {"50002",
         {"KXCR_TRACE=1"},
         {"",
          "-D- kread4 00050002 -> -1 (Invalid argument)\n"
          "kxcr_read: reading 00050002 failed: Invalid argument\n",
          2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        const RunResult& want = row.expected;
        testsrv::ExpectRun(RunProgram({KXCR_READ_BIN, device, row.address}, "", row.env), want.out, want.status,
                           want.err);
    }
}

}  // namespace
