// Test fixture of the simulated chip: a fresh image in a temporary directory,
// configured from a database text.
#ifndef TESTS_SIM_HELPERS_H
#define TESTS_SIM_HELPERS_H

#include <memory>
#include <string>

#include "sim.h"

namespace simtest {

class ChipDir {
public:
    ChipDir();   // creates the directory
    ~ChipDir();  // removes it with everything in it
    ChipDir(const ChipDir&) = delete;
    ChipDir& operator=(const ChipDir&) = delete;

    std::string image() const { return dir_ + "/chip.img"; }
    std::string Write(const std::string& name, const std::string& text) const;
    // Opens the image (creating it) and loads db_text; null with the reason
    // reported through gtest's ADD_FAILURE.
    std::unique_ptr<kxsim::Chip> Open(kxsim::Family family, const std::string& db_text) const;

private:
    std::string dir_;
};

}  // namespace simtest

#endif  // TESTS_SIM_HELPERS_H
