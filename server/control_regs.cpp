#include "control_regs.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

constexpr uint32_t kSxpControl = 0x1DB00;

// The first three words of a line; the separators are blanks and tabs.
std::vector<std::string> first_words(const std::string& line) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (words.size() < 3) {
        size_t begin = line.find_first_not_of(" \t", pos);
        if (begin == std::string::npos) break;
        pos = line.find_first_of(" \t", begin);
        words.push_back(line.substr(begin, pos - begin));
    }
    return words;
}

// Hexadecimal with an optional "0x", no sign, at most 32 bits.
bool parse_hex32(std::string text, uint32_t* out) {
    if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) text.erase(0, 2);
    if (text.empty()) return false;
    for (char c : text) {
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    }
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), nullptr, 16);
    if (errno != 0 || v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool load_control_regs(const std::string& path, std::set<uint32_t>* regs, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read the database " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::vector<std::string> words = first_words(line);
        if (words.size() < 2 || words[1].compare(0, 3, "GW_") != 0) continue;
        uint32_t addr = 0;
        if (words.size() < 3 || !parse_hex32(words[2], &addr)) {
            *error = path + ":" + std::to_string(number) + ": no valid gateway address: " + line;
            return false;
        }
        regs->insert(words[1] == "GW_SXP" ? kSxpControl : addr);
    }
    return true;
}
