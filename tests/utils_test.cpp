// ramtrawl's small utilities: its number parser, and the progress line,
// drawn only on a terminal when the output goes elsewhere and erased when
// done.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <regex>
#include <string>
#include <string_view>

#include "progress.h"
#include "utils.h"

namespace {

constexpr long kRefused = LONG_MIN;

// A number as a C string and as a word of a database line (a view that does
// not end in a NUL); kRefused: the text is refused.
TEST(Str2LongDeathTest, NumbersAndRefusals) {
    const struct Case { const char* text; int base; long value; } cases[] = {
        {"82580", 16, 0x82580}, {"0x82580", 16, 0x82580},
        {"0X82580", 16, 0x82580}, {"82580", 10, 82580},
        {"255\r\n", 10, 255},    // last word of a line with DOS line endings
        {"ff\rjunk", 16, 0xff},  // nothing after the carriage return is looked at
        {"", 16, 0}, {" 12", 16, 0x12}, {"-1", 16, -1}, {"ffffffff", 16, 0xffffffffL},
        {"00000000000000000000ff", 16, 0xff},
        {"123456789abcdef01", 16, LONG_MAX},  // clamped, as strtol does
        {"12g", 16, kRefused}, {"82580", 8, kRefused}, {"1a", 10, kRefused}, {"12 ", 16, kRefused},
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

// Three steps drawn on `err_fd` with the output on `out_fd`, and what reached
// the terminal whose other end is `master`.
std::string ThreeSteps(int err_fd, int out_fd, int master) {
    {
        Progress progress("array", 3, err_fd, out_fd);
        for (size_t k = 1; k <= 3; ++k) progress.Step(k);
    }
    std::string text;
    char buf[256];
    pollfd ready = {master, POLLIN, 0};
    for (ssize_t n; poll(&ready, 1, 0) > 0 && (n = read(master, buf, sizeof buf)) > 0;) text.append(buf, n);
    return text;
}

TEST(ProgressTest, DrawnOnTheTerminalOnlyWhenTheOutputGoesElsewhere) {
    // A raw pseudo-terminal: the bytes written arrive as they are.
    termios raw{};
    cfmakeraw(&raw);
    int master = -1, tty = -1;
    ASSERT_EQ(openpty(&master, &tty, nullptr, &raw, nullptr), 0);
    const int file = memfd_create("output", MFD_CLOEXEC);
    ASSERT_GE(file, 0);
    // Output to a file: the line shows step 1 at once (later steps within
    // the redraw interval may be skipped), ends at the start of the line,
    // and is erased at the end.
    const std::string shown = ThreeSteps(tty, file, master);
    EXPECT_TRUE(
        std::regex_match(shown, std::regex("\rarray 1 of 3\x1b\\[K\r(\rarray [23] of 3\x1b\\[K\r)*\r\x1b\\[K")))
        << testing::PrintToString(shown);
    // Output on the terminal, or the line's own stream not a terminal: nothing.
    EXPECT_EQ(ThreeSteps(tty, tty, master), "");
    EXPECT_EQ(ThreeSteps(file, file, master), "");
    for (int fd : {file, tty, master}) close(fd);
}

}  // namespace
