// What the fuzz targets share: one input run in a child process, so that
// exit() of the code under test ends that input and not the fuzzer; the
// simulated chip behind a fence; scratch files.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim.h"

namespace fuzz {

enum class Ending { Returned, Exited };

// Runs `body` in a forked child and copies the child's coverage counters
// back, so that the fuzzer learns from the input as from a run in its own
// process. An exit() of the code under test ends the child: Exited. A child
// that dies otherwise (a sanitizer report, a signal) or that leaks memory
// when `body` returns aborts this process, so the fuzzer keeps the input as
// a crash. Each input starts from the parent's state: nothing a body changes
// (globals, option scanning, the chip) survives it.
Ending RunIsolated(const std::function<void()>& body);

// Aborts with the message, for a broken property of the code under test.
[[noreturn]] void Fail(const std::string& what);

// A directory of this process for its files, removed when it ends.
const std::string& ScratchDir();
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

// The input cut at its NUL bytes; the piece after the last NUL (possibly
// empty) is the last one.
std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size);

// A fresh simulated chip behind kxcr, fenced: only its device files can be
// opened (no name from an input reaches a real device or file), and after
// `requests` driver requests every further one fails with EIO, which bounds
// the accesses of one input (the window device is a mapping and is not
// counted). One at a time.
class FencedChip {
public:
    explicit FencedChip(size_t requests);
    ~FencedChip();
    FencedChip(const FencedChip&) = delete;
    FencedChip& operator=(const FencedChip&) = delete;
    kxsim::Chip& chip() { return *chip_; }
    // Room in the chip's bus log for that many accesses, so that a child
    // process that uses the chip leaves nothing on the heap.
    void MakeLogRoom(size_t accesses);

private:
    std::unique_ptr<kxsim::Chip> chip_;
};

}  // namespace fuzz

#endif  // FUZZ_SUPPORT_H
