#include "sim_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

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

namespace {

std::string ShowOne(const kxsim::Access& a) {
    char line[32];
    if (a.op == 'r') std::snprintf(line, sizeof line, "r %08x", a.addr);
    else std::snprintf(line, sizeof line, "%c %08x %08x", a.op, a.addr, a.value);
    return line;
}

bool Matches(const kxsim::Access& expected, const kxsim::Access& actual) {
    if (expected.op == 'r') return actual.op == 'R' && actual.addr == expected.addr;
    return expected == actual;
}

}  // namespace

std::string Show(const std::vector<kxsim::Access>& traffic) {
    std::string text;
    for (const kxsim::Access& a : traffic) text += ShowOne(a) + "\n";
    return text;
}

std::string Diff(const std::vector<kxsim::Access>& expected, const std::vector<kxsim::Access>& actual) {
    const size_t n = std::max(expected.size(), actual.size());
    size_t first = 0;
    while (first < expected.size() && first < actual.size() && Matches(expected[first], actual[first])) ++first;
    if (first == n) return "";
    std::string text = "traffic differs at access " + std::to_string(first) + " (expected | actual):\n";
    char line[80];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(line, sizeof line, "%s%5zu  %-19s | %s\n", i == first ? "=>" : "  ", i,
                      i < expected.size() ? ShowOne(expected[i]).c_str() : "-",
                      i < actual.size() ? ShowOne(actual[i]).c_str() : "-");
        text += line;
    }
    return text;
}

CaptureStdout::CaptureStdout() : saved_buf_(std::cout.rdbuf(out_.rdbuf())), saved_format_(nullptr) {
    saved_format_.copyfmt(std::cout);
    std::cout.copyfmt(std::ios(nullptr));
}

CaptureStdout::~CaptureStdout() {
    std::cout.rdbuf(saved_buf_);
    std::cout.copyfmt(saved_format_);
}

}  // namespace simtest
