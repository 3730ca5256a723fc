// Helpers shared by the front end and the array library.
#ifndef RAMTRAWL_UTILS_H
#define RAMTRAWL_UTILS_H

#include <cstdio>
#include <string>
#include <string_view>

// Parses a number in the given base; anything but the end of the text or a
// carriage return after the number ends the process with status 1.
long str2long(const char* str, const int base);
// The same for a text that need not end in a NUL (a word inside a line).
// A database holds a great many plain numbers: those are read here directly;
// anything else (blanks, a sign, a prefix, a long text, a bad digit) takes
// the general path, which also words the error.
inline long str2long(std::string_view str, const int base)
{
    // Up to this many plain digits cannot overflow in base 16.
    constexpr size_t kPlainDigits = 15;
    if (base == 10 || base == 16) {
        long value = 0;
        size_t i = 0;
        for (; i < str.size() && i < kPlainDigits; ++i) {
            const char c = str[i];
            int digit = c >= '0' && c <= '9' ? c - '0' : -1;
            if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) break;
            value = value * base + digit;
        }
        if (i == str.size() || str[i] == '\r') return value;
    }
    return str2long(std::string(str).c_str(), base);
}
// Reports a text that is no acceptable number and ends the process with status 1.
[[noreturn]] void IllegalValue(const char* str);

// Opens a file for binary reading; a missing file ends the process with status 1.
FILE* OpenFileRead(const char* file);
int CloseFile(FILE* file);

#endif  // RAMTRAWL_UTILS_H
