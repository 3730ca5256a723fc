// Helpers shared by the front end and the array library.
#ifndef RAMTRAWL_UTILS_H
#define RAMTRAWL_UTILS_H

#include <cstdio>
#include <string_view>

// Parses a number in the given base; anything but the end of the text or a
// carriage return after the number ends the process with status 1.
long str2long(const char* str, const int base);
// The same for a text that need not end in a NUL (a word inside a line).
long str2long(std::string_view str, const int base);
// Reports a text that is no acceptable number and ends the process with status 1.
[[noreturn]] void IllegalValue(const char* str);

// Opens a file for binary reading; a missing file ends the process with status 1.
FILE* OpenFileRead(const char* file);
int CloseFile(FILE* file);

#endif  // RAMTRAWL_UTILS_H
