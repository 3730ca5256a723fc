// Test fixture of the array library: a simulated chip behind the simulated
// kernel driver, a database written from a string, the pciconf device as the
// gateways' shared handle, the chip's bus log and captured standard output.
#ifndef TESTS_ARRLIB_HELPERS_H
#define TESTS_ARRLIB_HELPERS_H

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "arrlib.h"
#include "sim.h"

namespace arrtest {

// The device every array-library test talks through: configuration cycles
// show each gateway access as one bus access.
extern const char* const kDevice;

class SimChip {
public:
    // A fresh chip image in a temporary directory, configured from db_text
    // (also written as the database file), with the simulated driver
    // installed. Null with a reason on failure.
    static std::unique_ptr<SimChip> Create(const std::string& db_text, std::string* error);
    ~SimChip();  // closes the device if open, uninstalls the driver, removes the directory
    SimChip(const SimChip&) = delete;
    SimChip& operator=(const SimChip&) = delete;

    kxsim::Chip& chip() { return *chip_; }
    const std::string& dir() const { return dir_; }
    std::string db_path() const { return dir_ + "/arr_db.txt"; }

    // Opens kDevice, installs it with Gateway::SetKf and clears the bus log.
    bool OpenDevice();
    void CloseDevice();

    const std::vector<kxsim::Access>& Traffic() const { return chip_->Traffic(); }
    void ClearTraffic() { chip_->ClearTraffic(); }

private:
    SimChip(std::string dir, std::unique_ptr<kxsim::Chip> chip)
        : dir_(std::move(dir)), chip_(std::move(chip)) {}
    std::string dir_;
    std::unique_ptr<kxsim::Chip> chip_;
    kfile* kf_ = nullptr;
};

// Redirects std::cout into a string while alive. Starts from the default
// stream state (decimal, fill ' ') and restores the previous state after.
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
    std::ios_base::fmtflags saved_flags_;
    char saved_fill_;
};

// Expected bus accesses. A control-register read is checked by address only
// ('r'): what it returns depends on polling the chip side decides.
kxsim::Access R(uint32_t addr, uint32_t value);
kxsim::Access AnyR(uint32_t addr);
kxsim::Access W(uint32_t addr, uint32_t value);

// Empty when actual matches expected; otherwise a listing of both with the
// first difference marked.
std::string DiffTraffic(const std::vector<kxsim::Access>& expected,
                        const std::vector<kxsim::Access>& actual);

// The accesses of one base read or write transaction that takes its own
// lock: lock read, busy poll, (write: data writes), control word, busy poll,
// (read: data reads), unlock write of `unlock`. Data registers end at
// data_end; `words` are in register (ascending address) order.
std::vector<kxsim::Access> ReadTransaction(uint32_t gw, uint32_t ctrl, uint32_t data_end,
                                           const std::vector<uint32_t>& words, uint32_t unlock);
std::vector<kxsim::Access> WriteTransaction(uint32_t gw, uint32_t ctrl, uint32_t data_end,
                                            const std::vector<uint32_t>& words, uint32_t unlock);

}  // namespace arrtest

#endif  // TESTS_ARRLIB_HELPERS_H
