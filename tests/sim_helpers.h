// Test fixtures of the simulated chip: a fresh image in a temporary directory
// configured from a database text, the same chip behind the simulated kernel
// driver with kxcr handles on it, and the checks the suites share.
#ifndef TESTS_SIM_HELPERS_H
#define TESTS_SIM_HELPERS_H

#include <sys/mman.h>

#include <cerrno>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "kxcr.h"
#include "sim.h"

namespace simtest {

class ChipDir {
public:
    ChipDir();   // creates the directory
    ~ChipDir();  // removes it with everything in it
    ChipDir(const ChipDir&) = delete;
    ChipDir& operator=(const ChipDir&) = delete;

    const std::string& path() const { return dir_; }
    std::string image() const { return dir_ + "/chip.img"; }
    std::string Write(const std::string& name, const std::string& text) const;
    // Opens the image (creating it) and loads db_text; null with the reason
    // reported through gtest's ADD_FAILURE.
    std::unique_ptr<kxsim::Chip> Open(kxsim::Family family, const std::string& db_text) const;

private:
    std::string dir_;
};

// A fresh chip served by the simulated driver while the object lives; chip
// is null (and the test failed) when it could not be made.
struct DriverChip {
    explicit DriverChip(kxsim::Family family = kxsim::Family::Zorvan, const std::string& db_text = "");
    ~DriverChip();  // uninstalls the driver

    ChipDir dir;
    std::unique_ptr<kxsim::Chip> chip;
};

// A kxcr handle, closed with the object.
using Handle = std::unique_ptr<kfile, int (*)(kfile*)>;
Handle OpenHandle(const std::string& name, DType dtype = KDT_ZORVAN);

// What one call returned and the errno it left, errno cleared before the
// call. A call returning a pointer counts as -1 when it gives null or
// MAP_FAILED, 0 otherwise.
struct Outcome {
    long rc;
    int err;
    bool operator==(const Outcome& o) const { return rc == o.rc && err == o.err; }
};
std::ostream& operator<<(std::ostream& os, const Outcome& outcome);
inline Outcome Fails(int err) { return {-1, err}; }

template <class Call>
Outcome Try(Call call) {
    errno = 0;
    const auto rc = call();
    const int err = errno;
    if constexpr (std::is_pointer_v<decltype(rc)>) {
        return {rc && rc != MAP_FAILED ? 0 : -1, err};
    } else {
        return {static_cast<long>(rc), err};
    }
}

// Bus accesses one a line ("W 00040000 c0000007"): comparing two of these
// shows every access that differs.
std::string Show(const std::vector<kxsim::Access>& traffic);

// An expected read whose value is not checked (op 'r'): what a control
// register returns depends on polling the chip side decides.
inline kxsim::Access AnyRead(uint32_t addr) { return {'r', addr, 0}; }

// Empty when actual matches expected; otherwise both, one access a line as
// Show prints it, with the first difference marked.
std::string Diff(const std::vector<kxsim::Access>& expected, const std::vector<kxsim::Access>& actual);

// Redirects std::cout into a string while alive, starting from the default
// format (decimal, fill ' ', ...) and restoring the previous one after.
class CaptureStdout {
public:
    CaptureStdout();
    ~CaptureStdout();
    CaptureStdout(const CaptureStdout&) = delete;
    CaptureStdout& operator=(const CaptureStdout&) = delete;
    std::string Text() const { return out_.str(); }

private:
    std::ostringstream out_;
    std::streambuf* saved_buf_;
    std::ios saved_format_;
};

}  // namespace simtest

#endif  // TESTS_SIM_HELPERS_H
