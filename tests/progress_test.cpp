// The progress line: drawn only on a terminal when the output goes elsewhere,
// and erased when done.
#include "progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <regex>
#include <string>

namespace {

// A pseudo-terminal: what is written to `tty` is read back from `master`.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            tty = open(ptsname(master), O_RDWR | O_NOCTTY);
        }
        // Raw: the bytes written arrive as they are.
        termios mode;
        if (tty >= 0 && tcgetattr(tty, &mode) == 0) {
            cfmakeraw(&mode);
            tcsetattr(tty, TCSANOW, &mode);
        }
    }
    ~Pty() {
        if (tty >= 0) close(tty);
        if (master >= 0) close(master);
    }
    // Everything written to the terminal so far.
    std::string Drain() const {
        std::string text;
        char buf[256];
        while (poll(std::array<pollfd, 1>{{{master, POLLIN, 0}}}.data(), 1, 0) > 0) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        return text;
    }
    int master = -1;
    int tty = -1;
};

std::string ThreeSteps(int err_fd, int out_fd, const Pty& pty) {
    {
        Progress progress("array", 3, err_fd, out_fd);
        for (size_t k = 1; k <= 3; ++k) progress.Step(k);
    }
    return pty.Drain();
}

TEST(ProgressTest, DrawnOnTheTerminalOnlyWhenTheOutputGoesElsewhere) {
    Pty pty;
    ASSERT_GE(pty.tty, 0);
    const int file = memfd_create("output", MFD_CLOEXEC);
    ASSERT_GE(file, 0);

    // Output to a file: the line shows step 1 at once (later steps within
    // the redraw interval may be skipped), ends at the start of the line,
    // and is erased at the end.
    const std::string shown = ThreeSteps(pty.tty, file, pty);
    EXPECT_TRUE(std::regex_match(shown, std::regex("\rarray 1 of 3\x1b\\[K\r(\rarray [23] of 3\x1b\\[K\r)*\r\x1b\\[K")))
        << testing::PrintToString(shown);

    // Output on the terminal, or the line's own stream not a terminal: nothing.
    EXPECT_EQ(ThreeSteps(pty.tty, pty.tty, pty), "");
    EXPECT_EQ(ThreeSteps(file, file, pty), "");
    close(file);
}

}  // namespace
