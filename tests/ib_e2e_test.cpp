// The real ramtrawl on "lid-" names, with the libibmad test double on the
// library path answering from a simulated chip (its image created by the
// double beside arr_db.txt).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server_helpers.h"
#include "sim_helpers.h"

namespace {

const char kDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 15    40008 2\n";

using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::Unwritten;

class IbRun : public testing::Test {
protected:
    void SetUp() override { dir.Write("arr_db.txt", kDb); }

    // ramtrawl run beside arr_db.txt, libibmad looked for in `libs`.
    testsrv::RunResult Ramtrawl(const testsrv::Args& args, const std::string& libs = IBMAD_DOUBLE_DIR) const {
        testsrv::Args argv = {RAMTRAWL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsrv::RunProgram(argv, dir_,
                                   {"LD_LIBRARY_PATH=" + libs, "KXSIM_IBMAD_IMAGE=" + dir_ + "/chip.img",
                                    "KXSIM_IBMAD_DB=" + dir_ + "/arr_db.txt"});
    }
    // Only the versioned name of the double, beside a broken copy of the one
    // library libibmad needs: where the development package is installed,
    // "libibmad.so" is the system's library whatever the path holds, and
    // this keeps it from loading, as where it is not installed.
    std::string VersionedOnly() const {
        const std::string libs = dir_ + "/libs";
        mkdir(libs.c_str(), 0755);
        testsrv::WriteFile(libs + "/libibumad.so.3", "");
        EXPECT_EQ(symlink(IBMAD_DOUBLE_DIR "/libibmad.so.5", (libs + "/libibmad.so.5").c_str()), 0);
        return libs;
    }

    simtest::ChipDir dir;
    const std::string& dir_ = dir.path();
};

// Each row runs after the rows above it: the reads see the earlier writes.
TEST_F(IbRun, ReadsWritesAndDumps) {
    std::string dump;
    for (uint32_t i = 0; i <= 0xf; ++i) {
        dump += EntryLine(0x40000, "top.a", i, i == 3 ? std::vector<uint32_t>{0x11223344, 0x55667788}
                                                      : Unwritten(0x40000, i, 2));
    }
    const std::pair<testsrv::Args, std::string> rows[] = {
        {{"lid-5", "-gw", "40000", "-a", "3"}, EntryLine(0x40000, "", 3, Unwritten(0x40000, 3, 2))},
        {{"lid-5", "-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, ""},
        {{"lid-5,ca0,1", "-arr", "top.a", "-a", "3"}, EntryLine(0x40000, "top.a", 3, {0x11223344, 0x55667788})},
        {{"lid-5", "-arr", "top.a"}, dump},
    };
    for (const auto& [args, want_out] : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(args));
        testsrv::RunResult r = Ramtrawl(args);
        testsrv::ExpectRun(r, want_out + kDone);
    }
}

TEST_F(IbRun, VersionedNameAndAFatalError) {
    testsrv::RunResult r = Ramtrawl({"lid-5", "-gw", "40000", "-a", "1"}, VersionedOnly());
    EXPECT_EQ(r.out, EntryLine(0x40000, "", 1, Unwritten(0x40000, 1, 2)) + kDone);
    EXPECT_EQ(r.status, 0) << r.err;
    r = Ramtrawl({"lid-5,ca0,2x", "-gw", "40000", "-a", "1"});
    EXPECT_EQ(r.out, "ibvsmad: iberror: failed: Bad port number format (2x)\n");
    EXPECT_EQ(r.status, 255);
}

}  // namespace
