// The database listing (ramtrawl -l): the input is the database file. Each
// database line lists once at most, and each listed line starts with an
// access tag.
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "ramtrawl.h"

namespace {

bool Tagged(const std::string& line) {
    for (const char* tag : {"[rw] ", "[r ] ", "[ro] ", "[NI] "}) {
        if (line.rfind(tag, 0) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string db = fuzz::ScratchDir() + "/arr_db.txt";
    fuzz::WriteFile(db, data, size);
    std::ostringstream out;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    PrintDB(db.c_str());
    std::cout.rdbuf(saved);

    size_t lines_in = 1;
    for (size_t i = 0; i < size; ++i) lines_in += data[i] == '\n';
    size_t lines_out = 0;
    std::istringstream listing(out.str());
    for (std::string line; std::getline(listing, line); ++lines_out) {
        if (!Tagged(line)) fuzz::Fail("listed without a tag: " + line);
    }
    if (lines_out > lines_in) fuzz::Fail("more lines listed than the database has");
    return 0;
}
