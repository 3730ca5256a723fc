#include "sim_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace simtest {

ChipDir::ChipDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kxsim.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp failed";
    dir_ = tmpl;
}

ChipDir::~ChipDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string ChipDir::Write(const std::string& name, const std::string& text) const {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
}

std::unique_ptr<kxsim::Chip> ChipDir::Open(kxsim::Family family, const std::string& db_text) const {
    std::string error;
    auto chip = kxsim::Chip::Open(image(), family, &error);
    if (chip && chip->LoadDatabase(Write("arr_db.txt", db_text), &error)) return chip;
    ADD_FAILURE() << error;
    return nullptr;
}

DriverChip::DriverChip(kxsim::Family family, const std::string& db_text) : chip(dir.Open(family, db_text)) {
    if (chip) kxsim::InstallDriver(chip.get());
}

DriverChip::~DriverChip() {
    if (chip) kxsim::UninstallDriver();
}

Handle OpenHandle(const std::string& name, DType dtype) { return Handle(kopend(name.c_str(), dtype), kclose); }

std::ostream& operator<<(std::ostream& os, const Outcome& outcome) {
    return os << outcome.rc << " with errno " << outcome.err << " (" << std::strerror(outcome.err) << ")";
}

std::string Show(const std::vector<kxsim::Access>& traffic) {
    std::string text;
    char line[32];
    for (const kxsim::Access& a : traffic) {
        std::snprintf(line, sizeof line, "%c %08x %08x\n", a.op, a.addr, a.value);
        text += line;
    }
    return text;
}

}  // namespace simtest
