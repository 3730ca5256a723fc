// A progress line on standard error while a long run goes on ("array k of n"),
// erased when done.
#ifndef RAMTRAWL_PROGRESS_H
#define RAMTRAWL_PROGRESS_H

#include <unistd.h>

#include <chrono>
#include <cstddef>

class Progress {
public:
    // The line is drawn on `err_fd` only when it is a terminal and `out_fd`
    // is not: output on the terminal shows the progress by itself, and a line
    // drawn between its lines would garble them.
    Progress(const char* unit, size_t total, int err_fd = STDERR_FILENO, int out_fd = STDOUT_FILENO);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Step k of the total, counting from 1.
    void Step(size_t k);

private:
    const char* _unit;
    size_t _total;
    int _fd;  // -1: not shown
    bool _drawn = false;
    std::chrono::steady_clock::time_point _lastDraw;
};

#endif  // RAMTRAWL_PROGRESS_H
