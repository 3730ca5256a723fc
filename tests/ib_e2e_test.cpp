// The real ramtrawl on "lid-" names, with the libibmad test double on the
// library path answering from a simulated chip (its image created by the
// double beside arr_db.txt).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "server_helpers.h"

namespace {

using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::Unwritten;

// Each row runs after the rows above it, beside arr_db.txt, libibmad looked
// for in `libs`: a directory holding only the double's versioned name beside
// a broken copy of the one library libibmad needs, then the double's own
// directory. Where the development package is installed,
// "libibmad.so" is the system's library whatever the path holds, and this
// keeps it from loading, as where it is not installed.
TEST(IbRun, ReadsWritesDumpsAndAFatalError) {
    simtest::ChipDir dir;
    dir.Write("arr_db.txt", "top.a GW_simple 40000 24 4 0 16 15 40008 2\n");
    const std::string versioned_only = dir.path() + "/libs";
    std::filesystem::create_directory(versioned_only);
    dir.Write("libs/libibumad.so.3", "");
    ASSERT_EQ(symlink(IBMAD_DOUBLE_DIR "/libibmad.so.5", (versioned_only + "/libibmad.so.5").c_str()), 0);
    const std::vector<uint32_t> three = {0x11223344, 0x55667788};
    const auto run_with = [&](const std::string& libs, const std::vector<testsrv::RunRow>& rows) {
        testsrv::ExpectRuns({RAMTRAWL_BIN}, rows, dir.path(),
                            {"LD_LIBRARY_PATH=" + libs, "KXSIM_IBMAD_IMAGE=" + dir.image(),
                             "KXSIM_IBMAD_DB=" + dir.path() + "/arr_db.txt"});
    };
    run_with(versioned_only, {
        {{"lid-5", "-gw", "40000", "-a", "3"},
         EntryLine(0x40000, "", 3, Unwritten(0x40000, 3, 2)) + kDone},
        {{"lid-5", "-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kDone},
    });
    run_with(IBMAD_DOUBLE_DIR, {
        {{"lid-5,ca0,1", "-arr", "top.a", "-a", "3"}, EntryLine(0x40000, "top.a", 3, three) + kDone},
        {{"lid-5", "-arr", "top.a"}, testsrv::TopA("top.a", {{3, three}}) + kDone},
        {{"lid-5,ca0,2x", "-gw", "40000", "-a", "1"},
         "ibvsmad: iberror: failed: Bad port number format (2x)\n", 255},
    });
}

}  // namespace
