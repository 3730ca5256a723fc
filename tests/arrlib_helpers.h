// Test fixture of the array library: a simulated chip behind the simulated
// kernel driver, a database written from a string, the pciconf device as the
// gateways' shared handle, the chip's bus log and captured standard output.
#ifndef TESTS_ARRLIB_HELPERS_H
#define TESTS_ARRLIB_HELPERS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "arrlib.h"
#include "sim.h"
#include "sim_helpers.h"

namespace arrtest {

// The device every array-library test talks through: configuration cycles
// show each gateway access as one bus access.
extern const char* const kDevice;

using Words = std::vector<uint32_t>;
using Traffic = std::vector<kxsim::Access>;

class SimChip {
public:
    // A fresh chip image in a temporary directory, configured from db_text
    // (also written as the database file), with the simulated driver
    // installed. Null with a reason on failure.
    static std::unique_ptr<SimChip> Create(const std::string& db_text, std::string* error);
    ~SimChip();  // closes the device if open; the driver and the directory go with sim_
    SimChip(const SimChip&) = delete;
    SimChip& operator=(const SimChip&) = delete;

    kxsim::Chip& chip() { return *sim_.chip; }
    const std::string& dir() const { return sim_.dir.path(); }
    std::string db_path() const { return dir() + "/arr_db.txt"; }

    // Opens kDevice, installs it with Gateway::SetKf and clears the bus log.
    bool OpenDevice();
    void CloseDevice();

    const arrtest::Traffic& Traffic() const { return sim_.chip->Traffic(); }
    void ClearTraffic() { sim_.chip->ClearTraffic(); }

private:
    explicit SimChip(const std::string& db_text) : sim_(kxsim::Family::Zorvan, db_text) {}
    simtest::DriverChip sim_;
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

// What an operation returned and printed on standard output.
struct Outcome {
    ArrLib::Status status;
    std::string out;
    bool operator==(const Outcome& o) const { return status == o.status && out == o.out; }
};
void PrintTo(const Outcome& o, std::ostream* os);
template <typename Op>
Outcome Capture(Op op) {
    CaptureStdout capture;
    ArrLib::Status status = op();
    return {status, capture.Text()};
}
// Expects the expression `op` to return `status` and print exactly `text`.
#define EXPECT_PRINTS(op, status, text) \
    EXPECT_EQ(::arrtest::Capture([&] { return (op); }), (::arrtest::Outcome{(status), (text)}))

// Expected bus accesses. A control-register read is checked by address only
// ('r'): what it returns depends on polling the chip side decides.
kxsim::Access R(uint32_t addr, uint32_t value);
kxsim::Access AnyR(uint32_t addr);
kxsim::Access W(uint32_t addr, uint32_t value);

// Empty when actual matches expected; otherwise a listing of both with the
// first difference marked.
std::string DiffTraffic(const Traffic& expected, const Traffic& actual);

// The accesses of one base read or write transaction that takes its own
// lock: lock read, busy poll, (write: data writes), control word, busy poll,
// (read: data reads), unlock write of `unlock`. Data registers end at
// data_end; `words` are in register (ascending address) order.
Traffic ReadTransaction(uint32_t gw, uint32_t ctrl, uint32_t data_end, const Words& words,
                        uint32_t unlock);
Traffic WriteTransaction(uint32_t gw, uint32_t ctrl, uint32_t data_end, const Words& words,
                         uint32_t unlock);

// A chip made from db_text with the device open (unless open_device is
// false). Null after recording a test failure when it cannot be made.
std::unique_ptr<SimChip> OpenChip(const std::string& db_text, bool open_device = true);

// Fixture of a suite whose tests share one database: a fresh chip per test.
class ChipTest : public ::testing::Test {
protected:
    explicit ChipTest(const char* db, bool open_device = true) : db_(db), open_(open_device) {}
    void SetUp() override { ASSERT_TRUE(sim_ = OpenChip(db_, open_)); }
    kxsim::Chip& chip() { return sim_->chip(); }
    // Empty when the bus log since the last clear is exactly `expected`.
    std::string Diff(const Traffic& expected) const {
        return DiffTraffic(expected, sim_->Traffic());
    }
    // Values written to the control register at gw since the last clear; with
    // started, only those that start an operation (busy bit set), index field
    // (bits 20..0) only.
    std::vector<uint32_t> ControlWrites(uint32_t gw, bool started = false) const;
    bool Touched(uint32_t addr) const;

    // One operation of a scripted test: what it returns and prints, the
    // gateway indexes it starts (control writes with the busy bit) and, with
    // noAccess, that it touches no register at all.
    struct Step {
        const char* name;
        std::function<ArrLib::Status()> op;
        ArrLib::Status status;
        std::string out;
        std::vector<uint32_t> started;
        bool noAccess = false;
    };
    // Runs the steps in order on a cleared bus log each; gw is the control
    // register whose started operations are checked.
    void RunSteps(uint32_t gw, const std::vector<Step>& steps);
    std::unique_ptr<SimChip> sim_;

private:
    const char* db_;
    bool open_;
};

// The lines of text, without their newlines.
std::vector<std::string> SplitLines(const std::string& text);
size_t CountLines(const std::string& text);

}  // namespace arrtest

#endif  // TESTS_ARRLIB_HELPERS_H
