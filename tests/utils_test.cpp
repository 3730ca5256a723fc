#include "utils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <string_view>

namespace {

constexpr long kRefused = LONG_MIN;

// A number as a C string and as a word of a database line (a view that does
// not end in a NUL); kRefused: the text is refused.
TEST(Str2LongDeathTest, NumbersAndRefusals) {
    const struct Case { const char* text; int base; long value; } cases[] = {
        {"82580", 16, 0x82580},
        {"0x82580", 16, 0x82580},
        {"0X82580", 16, 0x82580},
        {"82580", 10, 82580},
        {"255\r\n", 10, 255},    // last word of a line with DOS line endings
        {"ff\rjunk", 16, 0xff},  // nothing after the carriage return is looked at
        {"", 16, 0},
        {" 12", 16, 0x12},
        {"-1", 16, -1},
        {"ffffffff", 16, 0xffffffffL},
        {"00000000000000000000ff", 16, 0xff},
        {"123456789abcdef01", 16, LONG_MAX},  // clamped, as strtol does
        {"12g", 16, kRefused},
        {"82580", 8, kRefused},
        {"1a", 10, kRefused},
        {"12 ", 16, kRefused},
        {"0x", 10, kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\" base " + std::to_string(c.base));
        const std::string line = std::string(c.text) + "7 rest";
        const std::string_view word = std::string_view(line).substr(0, line.size() - 6);
        const std::string message = "^-E- illegal value " + std::string(c.text) + "\n$";
        for (bool view : {false, true}) {
            const auto parse = [&] { return view ? str2long(word, c.base) : str2long(c.text, c.base); };
            if (c.value != kRefused) {
                EXPECT_EQ(parse(), c.value) << "view " << view;
            } else {  // the message goes to standard output; the death test sees standard error
                EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), parse()), testing::ExitedWithCode(1), message);
            }
        }
    }
}

}  // namespace
