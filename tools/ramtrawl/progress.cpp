#include "progress.h"

#include <algorithm>
#include <cstdio>

namespace {

// Redrawing more often than this only keeps the terminal busy.
constexpr std::chrono::milliseconds kRedrawEvery(100);

void WriteAll(int fd, const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n <= 0) return;  // a progress line is not worth a failure
        text += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

Progress::Progress(const char* unit, size_t total, int err_fd, int out_fd)
    : _unit(unit), _total(total), _fd(isatty(err_fd) && !isatty(out_fd) ? err_fd : -1) {}

Progress::~Progress() {
    if (_drawn) WriteAll(_fd, "\r\033[K", 4);
}

void Progress::Step(size_t k) {
    if (_fd < 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (_drawn && now - _lastDraw < kRedrawEvery) return;
    // The cursor goes back to the start of the line, so that a message
    // written to standard error meanwhile overwrites the line.
    char line[80];
    const int length = std::snprintf(line, sizeof line, "\r%s %zu of %zu\033[K\r", _unit, k, _total);
    if (length <= 0) return;
    WriteAll(_fd, line, std::min(static_cast<size_t>(length), sizeof line - 1));
    _drawn = true;
    _lastDraw = now;
}
