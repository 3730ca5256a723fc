#include "utils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <string_view>

namespace {

struct ParseCase {
    const char* text;
    int base;
    long value;
};

TEST(Str2Long, AcceptsNumbers)
{
    const ParseCase cases[] = {
        {"82580", 16, 0x82580},
        {"0x82580", 16, 0x82580},
        {"0X82580", 16, 0x82580},
        {"82580", 10, 82580},
        {"255\r\n", 10, 255},  // last word of a line with DOS line endings
        {"ff\rjunk", 16, 0xff},  // nothing after the carriage return is looked at
        {"", 16, 0},
        {" 12", 16, 0x12},
        {"-1", 16, -1},
        {"ffffffff", 16, 0xffffffffL},
        {"00000000000000000000ff", 16, 0xff},
        {"123456789abcdef01", 16, LONG_MAX},  // clamped, as strtol does
    };
    // A word of a database line is a view that does not end in a NUL.
    for (const ParseCase& c : cases) {
        EXPECT_EQ(str2long(c.text, c.base), c.value) << "text \"" << c.text << "\" base " << c.base;
        const std::string line = std::string(c.text) + "7 rest";
        EXPECT_EQ(str2long(std::string_view(line).substr(0, line.size() - 6), c.base), c.value)
            << "word \"" << c.text << "\" base " << c.base;
    }
}

// The messages go to standard output; the death tests see standard error,
// so the child sends the one to the other.
void StdoutToStderr()
{
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

TEST(Str2LongDeathTest, RejectsTrailingCharacters)
{
    const ParseCase cases[] = {
        {"12g", 16, 0}, {"82580", 8, 0}, {"1a", 10, 0}, {"12 ", 16, 0}, {"0x", 10, 0},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EXIT(
            {
                StdoutToStderr();
                str2long(c.text, c.base);
            },
            testing::ExitedWithCode(1), "^-E- illegal value " + std::string(c.text) + "\n$")
            << "text \"" << c.text << "\" base " << c.base;
        EXPECT_EXIT(
            {
                StdoutToStderr();
                str2long(std::string_view(c.text), c.base);
            },
            testing::ExitedWithCode(1), "^-E- illegal value " + std::string(c.text) + "\n$")
            << "word \"" << c.text << "\" base " << c.base;
    }
}

}  // namespace
