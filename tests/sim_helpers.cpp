#include "sim_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

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

}  // namespace simtest
