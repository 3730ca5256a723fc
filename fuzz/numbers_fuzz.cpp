// The number parsers: str2long in base 16 and 10, and the -d data parser.
// The first byte chooses the parser, the rest up to a NUL is the text.
// str2long accepts exactly the texts that strtol reads up to their end or a
// carriage return, and returns strtol's value. A -d text is accepted exactly
// when it is all hexadecimal digits, and then its words, most significant
// first, spell it zero-padded to whole words. Texts that must be refused run
// in a child process, where the refusal ends the process.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ramtrawl.h"
#include "utils.h"

namespace {

bool Readable(const std::string& text, int base) {
    char* end = nullptr;
    std::strtol(text.c_str(), &end, base);
    return *end == '\0' || *end == '\r';
}

bool AllHex(const std::string& text) {
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

void CheckWords(const std::string& text, const std::vector<u_int32_t>& words) {
    std::string spelt;
    for (auto w = words.rbegin(); w != words.rend(); ++w) {
        char group[9];
        std::snprintf(group, sizeof group, "%08x", *w);
        spelt += group;
    }
    std::string expected(words.size() * 8 - text.size(), '0');
    for (char c : text) expected += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (spelt != expected) fuzz::Fail("-d " + text + " gave " + spelt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    const std::string text = fuzz::SplitAtNul(data + 1, size - 1).front();
    const int parser = data[0] % 3;
    const int base = parser == 0 ? 16 : 10;
    auto parse = [&] {
        if (parser == 2) {
            std::vector<u_int32_t> words;
            DataParse(text.c_str(), words);
            CheckWords(text, words);
        } else if (str2long(text.c_str(), base) != std::strtol(text.c_str(), nullptr, base)) {
            fuzz::Fail(text + " misread");
        }
    };
    const bool valid = parser == 2 ? AllHex(text) : Readable(text, base);
    // A refusal of a valid text ends the fuzzer here, as a fault.
    if (valid) parse();
    else if (fuzz::RunIsolated(parse) == fuzz::Ending::Returned) fuzz::Fail(text + " accepted");
    return 0;
}
