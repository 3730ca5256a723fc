// The command line of ramtrawl: the input is its words after the device,
// separated by NUL bytes. The run is ramtrawl's own, against the simulated
// chip configured from a database of every gateway kind, with the -gw, -a
// and -d numbers parsed as on any command line.
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ramtrawl.h"

int ramtrawl_main(int argc, char** argv);

namespace {

constexpr size_t kRequests = 600;
constexpr size_t kMaxWords = 16;

const char kDatabase[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize more\n"
    "blk.simple  GW_simple     40000 24 4 0 16 15    40010 4\n"
    "blk.fifo    GW_gfifo      40100 24 4 0 16 7     4010c 3\n"
    "blk.clr     GW_clear      40200 24 4 0 16 15    40208 2 29\n"
    "blk.mem_a   GW_array_addr 41000 24 4 0 16 65535 41010 4 12 4 0 1 15\n"
    "blk.mem_b   GW_array_addr 41000 24 4 0 16 65535 41010 4 12 4 1 1 15\n"
    "blk.ro      GW_array_addr 12160 24 4 0 16 255   12170 2 4 4 0 15 15\n"
    "blk.reqsl   GW_reqsl      60a00 24 4 0 16 65535 60a1c 4 12 4 0 0 15\n"
    "blk.xts     GW_xtsram     42000 24 4 0 16 65535 42008 2 8 8 4 128 15\n"
    "blk.rxb     GW_rx_buffer  43000 24 4 0 12 63    43024 9 11\n"
    "blk.icache  GW_irisc      44000 24 6 0 16 16    44010 4 1 2 0\n"
    "blk.serdes  GW_serdes     45000 24 4 0 16 15    45008 2\n"
    "blk.field   GW_field      46000 24 4 0 16 15    46008 2\n"
    "sxp.pb_cam  GW_SXP        1db00 24 4 0 21 63    1db3c 13 16 5 0 20 63\n";

const std::string& Database() {
    static const std::string path = [] {
        std::string p = fuzz::ScratchDir() + "/arr_db.txt";
        fuzz::WriteFile(p, reinterpret_cast<const uint8_t*>(kDatabase), sizeof kDatabase - 1);
        // The listing builds a table on its first run that lives on: built
        // here, it is no allocation of a child.
        std::ostringstream discard;
        std::streambuf* saved = std::cout.rdbuf(discard.rdbuf());
        PrintDB(p.c_str());
        std::cout.rdbuf(saved);
        return p;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words = fuzz::SplitAtNul(data, size);
    if (words.size() > kMaxWords) return -1;
    words.insert(words.begin(), {fuzz::ScratchDir() + "/ramtrawl", kxsim::kZorvanPciconfName});
    fuzz::FencedChip sim(kRequests);
    sim.MakeLogRoom(kRequests);
    std::string error;
    if (!sim.chip().LoadDatabase(Database(), &error)) fuzz::Fail(error);
    fuzz::RunIsolated([&] {
        // ramtrawl finds arr_db.txt in the current directory.
        if (chdir(fuzz::ScratchDir().c_str()) != 0) fuzz::Fail("cannot enter the scratch directory");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ramtrawl_main(static_cast<int>(words.size()), argv.data());
    });
    return 0;
}
