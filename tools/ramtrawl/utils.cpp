#include "utils.h"

#include <cstdlib>
#include <string>

namespace {

// Plain digits are read directly up to this many (no overflow in base 16).
constexpr size_t kPlainDigits = 15;

// The value of c as a digit of base 10 or 16, or -1.
int DigitValue(char c, int base)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (base != 16) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

long str2long(const char* str, const int base)
{
    char* end = nullptr;
    const long value = std::strtol(str, &end, base);
    // A carriage return may follow: the last number on a line of a file
    // written with DOS line endings carries one.
    if (*end != '\0' && *end != '\r') IllegalValue(str);
    return value;
}

long str2long(std::string_view str, const int base)
{
    // A database holds a great many plain numbers: read those directly.
    // Anything else (blanks, a sign, a prefix, a long text, a bad digit)
    // takes the general path, which also words the error.
    if (base == 10 || base == 16) {
        long value = 0;
        size_t i = 0;
        for (; i < str.size() && i < kPlainDigits; ++i) {
            const int digit = DigitValue(str[i], base);
            if (digit < 0) break;
            value = value * base + digit;
        }
        if (i == str.size() || str[i] == '\r') return value;
    }
    return str2long(std::string(str).c_str(), base);
}

void IllegalValue(const char* str)
{
    std::printf("-E- illegal value %s\n", str);
    std::exit(1);
}

FILE* OpenFileRead(const char* file)
{
    FILE* f = std::fopen(file, "rb");
    if (f == nullptr) {
        std::printf("-E- Cannot open DataBase file : %s\n", file);
        std::exit(1);
    }
    return f;
}

int CloseFile(FILE* file)
{
    return std::fclose(file);
}
