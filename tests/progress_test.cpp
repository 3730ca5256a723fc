// The progress line: drawn only on a terminal when the output goes elsewhere,
// and erased when done.
#include "progress.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
#include <string>

namespace {

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
