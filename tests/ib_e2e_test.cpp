// The real ramtrawl on "lid-" names, with the libibmad test double on the
// library path answering from a simulated chip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server_helpers.h"

namespace {

const char kDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 15    40008 2\n"
    "top.mem_b  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 1 1 7\n";

using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::Unwritten;

class IbRun : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        testsrv::WriteFile(dir_ + "/arr_db.txt", kDb);
        std::string error;
        chip_ = kxsim::Chip::Open(dir_ + "/chip.img", kxsim::Family::Zorvan, &error);
        ASSERT_TRUE(chip_ && chip_->LoadDatabase(dir_ + "/arr_db.txt", &error)) << error;
    }
    void TearDown() override { testsrv::RemoveTree(dir_); }

    // ramtrawl run beside arr_db.txt, libibmad looked for in `libs`.
    testsrv::RunResult Ramtrawl(const testsrv::Args& args, const std::string& libs = IBMAD_DOUBLE_DIR) const {
        testsrv::Args argv = {RAMTRAWL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsrv::RunProgram(argv, dir_,
                                   {"LD_LIBRARY_PATH=" + libs, "KXSIM_IBMAD_IMAGE=" + dir_ + "/chip.img",
                                    "KXSIM_IBMAD_DB=" + dir_ + "/arr_db.txt"});
    }
    // A directory holding the versioned name of the double, or nothing, and
    // a broken copy of the one library libibmad itself needs: on a machine
    // with the development package, "libibmad.so" resolves to the system's
    // library whatever the path holds, and this makes it fail to load as it
    // does where only the versioned name is installed.
    std::string Libs(bool with_double) const {
        const std::string libs = dir_ + "/libs";
        testsrv::RemoveTree(libs);
        mkdir(libs.c_str(), 0755);
        testsrv::WriteFile(libs + "/libibumad.so.3", "");
        if (with_double) {
            EXPECT_EQ(symlink(IBMAD_DOUBLE_DIR "/libibmad.so.5", (libs + "/libibmad.so.5").c_str()), 0);
        }
        return libs;
    }

    std::string dir_ = testsrv::MakeTempDir();
    std::unique_ptr<kxsim::Chip> chip_;
};

// Each row runs after the rows above it: the reads see the earlier writes.
TEST_F(IbRun, ReadsWritesAndDumps) {
    std::string dump;
    for (uint32_t i = 0; i <= 0xf; ++i) {
        dump += EntryLine(0x40000, "top.a", i, i == 3 ? std::vector<uint32_t>{0x11223344, 0x55667788}
                                                      : Unwritten(0x40000, i, 2));
    }
    struct Row {
        testsrv::Args args;
        std::string want_out;
    } rows[] = {
        {{"lid-5", "-gw", "40000", "-a", "3"}, EntryLine(0x40000, "", 3, Unwritten(0x40000, 3, 2)) + kDone},
        {{"lid-5", "-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kDone},
        {{"lid-5,ca0,1", "-arr", "top.a", "-a", "3"},
         EntryLine(0x40000, "top.a", 3, {0x11223344, 0x55667788}) + kDone},
        {{"lid-5", "-arr", "top.mem_b", "-a", "7", "-d", "deadbeef"}, kDone},
        {{"lid-5", "-gw", "41000", "-a", "1007"}, EntryLine(0x41000, "", 0x1007, {0, 0xdeadbeef}) + kDone},
        {{"lid-5", "-arr", "top.a"}, dump + kDone},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(row.args));
        testsrv::RunResult r = Ramtrawl(row.args);
        EXPECT_EQ(r.out, row.want_out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(chip_->Entry(0x41000, 0x1007), (std::vector<uint32_t>{0, 0xdeadbeef}));
}

TEST_F(IbRun, OnlyTheVersionedNameOnThePath) {
    testsrv::RunResult r = Ramtrawl({"lid-5", "-gw", "40000", "-a", "1"}, Libs(true));
    EXPECT_EQ(r.out, EntryLine(0x40000, "", 1, Unwritten(0x40000, 1, 2)) + kDone);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(IbRun, FailuresEndWith255) {
    testsrv::RunResult r = Ramtrawl({"lid-5,ca0,2x", "-gw", "40000", "-a", "1"});
    EXPECT_EQ(r.out, "ibvsmad: iberror: failed: Bad port number format (2x)\n");
    EXPECT_EQ(r.status, 255);
    // Neither name loads: the message says what was tried.
    r = Ramtrawl({"lid-5", "-gw", "40000", "-a", "1"}, Libs(false));
    EXPECT_EQ(r.out.rfind("ibvsmad: iberror: failed: libibmad.so", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("; libibmad.so.5"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 255);
}

}  // namespace
