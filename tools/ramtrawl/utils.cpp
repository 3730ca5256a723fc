#include "utils.h"

#include <cstdlib>

long str2long(const char* str, const int base)
{
    char* end = nullptr;
    const long value = std::strtol(str, &end, base);
    // A carriage return may follow: the last number on a line of a file
    // written with DOS line endings carries one.
    if (*end != '\0' && *end != '\r') IllegalValue(str);
    return value;
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
