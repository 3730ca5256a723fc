// The array database loader as ramtrawl runs it. The input is the database
// file: the simulated chip is configured from it, ArrLib loads it and opens
// the chip, and then the operations its "@" lines ask for run, or a dump of
// every array when it has none. The loader skips "@" lines (their kind word
// is no keyword); numbers in them are hexadecimal:
//   @ ra NAME [INDEX]        read an array (all of it without INDEX)
//   @ wa NAME INDEX WORD...  write an entry of an array
//   @ rg ADDR [INDEX]        read a gateway (all of it without INDEX)
//   @ wg ADDR INDEX WORD...  write an entry of a gateway
//   @ all  |  @ gws          every array  |  every gateway
// A run ends after 600 driver requests: a failed access ends ramtrawl.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "arrlib.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kRequests = 600;
constexpr size_t kOps = 16;

u_int32_t Hex(const std::vector<std::string>& w, size_t i) {
    return i < w.size() ? static_cast<u_int32_t>(std::strtoul(w[i].c_str(), nullptr, 16)) : 0;
}

std::vector<u_int32_t> Data(const std::vector<std::string>& w) {
    std::vector<u_int32_t> data;
    for (size_t i = 4; i < w.size(); ++i) data.push_back(Hex(w, i));
    return data;
}

void RunOp(ArrLib& lib, const std::vector<std::string>& w) {
    const std::string& op = w[1];
    const char* name = w.size() > 2 ? w[2].c_str() : "";
    const bool indexed = w.size() > 3;
    if (op == "ra") indexed ? lib.ReadByArray(name, Hex(w, 3)) : lib.ReadByArray(name);
    else if (op == "wa") lib.WriteByArray(name, Hex(w, 3), Data(w));
    else if (op == "rg") indexed ? lib.ReadByGw(Hex(w, 2), Hex(w, 3)) : lib.ReadByGw(Hex(w, 2));
    else if (op == "wg") lib.WriteByGw(Hex(w, 2), Hex(w, 3), Data(w));
    else if (op == "all") lib.ReadByArray();
    else if (op == "gws") lib.ReadByGw();
}

std::vector<std::vector<std::string>> Ops(const std::string& text) {
    std::vector<std::vector<std::string>> ops;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line) && ops.size() < kOps) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.size() >= 2 && w[0] == "@") ops.push_back(w);
    }
    if (ops.empty()) ops.push_back({"@", "all"});
    return ops;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string db = fuzz::ScratchDir() + "/arr_db.txt";
    fuzz::WriteFile(db, data, size);
    const auto ops = Ops(std::string(reinterpret_cast<const char*>(data), size));
    fuzz::FencedChip sim(kRequests);
    sim.MakeLogRoom(kRequests);
    std::string error;
    sim.chip().LoadDatabase(db, &error);  // a database it refuses leaves plain registers
    fuzz::RunIsolated([&] {
        auto lib = std::make_unique<ArrLib>(db.c_str(), kxsim::kZorvanPciconfName);
        for (const auto& op : ops) RunOp(*lib, op);
    });
    return 0;
}
