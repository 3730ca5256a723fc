// The server's reader of the gateways' database (--db). The input is the
// database file. The reader returns (it never ends the process); what it
// gives must be what the lines say: a gateway line is one whose second word
// (words are separated by blanks and tabs) begins with "GW_", its third
// word is its control register in hexadecimal with an optional "0x" or
// "0X", at most 32 bits, and "GW_SXP" stands for 0x1DB00 whatever that word
// says. The reader succeeds with every gateway's control register exactly
// when each gateway line has such a word, else it fails naming the first
// line that has not.
#include <cctype>
#include <cstdint>
#include <set>
#include <string>

#include "control_regs.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kMaxInput = 16384;

// Word `n` (from 0) of the line, empty when it has fewer.
std::string Word(const std::string& line, int n) {
    std::string word;
    int at = -1;
    bool in_word = false;
    for (char c : line) {
        const bool blank = c == ' ' || c == '\t';
        if (!blank && !in_word) ++at;
        in_word = !blank;
        if (in_word && at == n) word += c;
        if (at > n) break;
    }
    return word;
}

bool Hex32(std::string text, uint32_t* value) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        v = v * 16 + static_cast<uint64_t>(digit);
        if (v > UINT32_MAX) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return -1;
    const std::string path = fuzz::ScratchDir() + "/arr_db.txt";
    fuzz::WriteFile(path, data, size);
    std::set<uint32_t> regs;
    std::string error;
    const bool loaded = load_control_regs(path, &regs, &error);

    const std::string text(reinterpret_cast<const char*>(data), size);
    std::set<uint32_t> want;
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (Word(line, 1).compare(0, 3, "GW_") != 0) continue;
        uint32_t control = 0;
        if (!Hex32(Word(line, 2), &control)) {
            const std::string reason = path + ":" + std::to_string(number) + ": no valid gateway address: " + line;
            if (loaded) fuzz::Fail("line " + std::to_string(number) + " has no valid address, and the database loaded");
            if (error != reason) fuzz::Fail("the reason \"" + error + "\" is not \"" + reason + "\"");
            return 0;
        }
        want.insert(Word(line, 1) == "GW_SXP" ? 0x1DB00 : control);
    }
    if (!loaded) fuzz::Fail("a sound database failed: " + error);
    if (regs != want) fuzz::Fail("the control registers are not the database's");
    return 0;
}
