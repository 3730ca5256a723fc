// Test fixture of the array library: a simulated chip behind the simulated
// kernel driver, configured from a database string, with the pciconf device
// as the gateways' shared handle, and one table runner for its operations.
#ifndef TESTS_ARRLIB_HELPERS_H
#define TESTS_ARRLIB_HELPERS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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
using Op = std::function<ArrLib::Status()>;

// What an operation returned and what it printed on standard output (unlike
// simtest::Outcome, which is a return code and errno).
using Outcome = std::pair<ArrLib::Status, std::string>;
Outcome Capture(const Op& op);
// Expects the expression `op` to return `status` and print exactly `text`.
#define EXPECT_PRINTS(op, status, text) \
    EXPECT_EQ(::arrtest::Capture([&] { return (op); }), (::arrtest::Outcome{(status), (text)}))
// A table row's operation: the expression, evaluated when the row runs.
#define OP(...) [&] { return (__VA_ARGS__); }

kxsim::Access R(uint32_t addr, uint32_t value);
kxsim::Access W(uint32_t addr, uint32_t value);
using simtest::AnyRead;
// The traffic of an operation refused before any access.
const Traffic kNoAccess;

// The accesses of one transaction that takes its own lock: lock read, busy
// poll, (op 'W': data writes), control word, busy poll, (op 'R': data
// reads), unlock write of `unlock`. Data registers end at data_end; `words`
// are in register (ascending address) order.
Traffic Transaction(char op, uint32_t gw, uint32_t ctrl, uint32_t data_end, const Words& words,
                    uint32_t unlock = 0);
Traffic Join(const std::vector<Traffic>& parts);

// Fixture of a suite whose tests share one database: a fresh chip per test,
// with the device open and installed as the gateways' handle unless
// open_device is false.
class ChipTest : public ::testing::Test {
protected:
    explicit ChipTest(std::string db, bool open_device = true) : db_(std::move(db)), open_(open_device) {}
    void SetUp() override;
    void TearDown() override;
    kxsim::Chip& chip() { return *sim_->chip; }
    void ClearTraffic() { sim_->chip->ClearTraffic(); }
    // Empty when the bus log since the last clear is exactly `expected`.
    std::string Diff(const Traffic& expected) const { return simtest::Diff(expected, sim_->chip->Traffic()); }
    // Values written to the control register at gw since the last clear; with
    // started, only those that start an operation (busy bit set), index field
    // (bits 20..0) only.
    std::vector<uint32_t> ControlWrites(uint32_t gw, bool started = false) const;

    // One row of a table: an operation, what it returns and prints, and its
    // bus traffic: exactly `traffic` when given, else the gateway indexes it
    // starts on the control register the table names.
    struct Step {
        const char* name;
        Op op;
        ArrLib::Status status;
        std::string out;
        std::vector<uint32_t> started = {};
        std::optional<Traffic> traffic = std::nullopt;
    };
    // Runs the rows in order, each on a cleared bus log.
    void RunSteps(uint32_t gw, const std::vector<Step>& steps);

    std::unique_ptr<simtest::DriverChip> sim_;

private:
    std::string db_;
    bool open_;
    kfile* kf_ = nullptr;
};

// The lines of text, without their newlines.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace arrtest

#endif  // TESTS_ARRLIB_HELPERS_H
