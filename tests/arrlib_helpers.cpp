#include "arrlib_helpers.h"

#include <algorithm>
#include <iomanip>
#include <iostream>

namespace arrtest {

const char* const kDevice = "/dev/kdt/kx31001_pciconf0";

std::unique_ptr<SimChip> SimChip::Create(const std::string& db_text, std::string* error) {
    std::unique_ptr<SimChip> sim(new SimChip(db_text));
    if (sim->sim_.chip) return sim;
    *error = "cannot make the simulated chip";
    return nullptr;
}

SimChip::~SimChip() { CloseDevice(); }

bool SimChip::OpenDevice() {
    kf_ = kopen(kDevice);
    ArrLib::Gateway::SetKf(kf_);
    sim_.chip->ClearTraffic();
    return kf_ != nullptr;
}

void SimChip::CloseDevice() {
    if (kf_ == nullptr) return;
    if (ArrLib::Gateway::GetKf() == kf_) ArrLib::Gateway::SetKf(nullptr);
    kclose(kf_);
    kf_ = nullptr;
}

CaptureStdout::CaptureStdout()
    : saved_buf_(std::cout.rdbuf(out_.rdbuf())),
      saved_flags_(std::cout.flags()),
      saved_fill_(std::cout.fill()) {
    std::cout.flags(std::ios_base::dec | std::ios_base::skipws);
    std::cout.fill(' ');
}

CaptureStdout::~CaptureStdout() {
    std::cout.rdbuf(saved_buf_);
    std::cout.flags(saved_flags_);
    std::cout.fill(saved_fill_);
}

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "status " << o.status << ", printed " << ::testing::PrintToString(o.out);
}

kxsim::Access R(uint32_t addr, uint32_t value) { return {'R', addr, value}; }
kxsim::Access AnyR(uint32_t addr) { return {'r', addr, 0}; }
kxsim::Access W(uint32_t addr, uint32_t value) { return {'W', addr, value}; }

namespace {

bool Matches(const kxsim::Access& expected, const kxsim::Access& actual) {
    if (expected.op == 'r') return actual.op == 'R' && actual.addr == expected.addr;
    return expected == actual;
}

std::string Show(const kxsim::Access* a) {
    if (a == nullptr) return "-";
    std::ostringstream s;
    s << a->op << ' ' << std::hex << std::setw(8) << std::setfill('0') << a->addr;
    if (a->op != 'r') s << ' ' << std::setw(8) << a->value;
    return s.str();
}

}  // namespace

std::string DiffTraffic(const std::vector<kxsim::Access>& expected,
                        const std::vector<kxsim::Access>& actual) {
    size_t n = std::max(expected.size(), actual.size());
    size_t first = n;
    for (size_t i = 0; i < n && first == n; ++i) {
        if (i >= expected.size() || i >= actual.size() || !Matches(expected[i], actual[i]))
            first = i;
    }
    if (first == n) return "";
    std::ostringstream s;
    s << "traffic differs at access " << first << " (expected | actual):\n";
    for (size_t i = 0; i < n; ++i) {
        s << (i == first ? "=> " : "   ") << std::setw(4) << i << "  " << std::setw(22) << std::left
          << Show(i < expected.size() ? &expected[i] : nullptr) << std::right << " | "
          << Show(i < actual.size() ? &actual[i] : nullptr) << "\n";
    }
    return s.str();
}

namespace {

uint32_t FirstRegister(uint32_t data_end, size_t words) {
    return data_end - 4 * static_cast<uint32_t>(words == 0 ? 0 : words - 1);
}

}  // namespace

std::vector<kxsim::Access> ReadTransaction(uint32_t gw, uint32_t ctrl, uint32_t data_end,
                                           const std::vector<uint32_t>& words, uint32_t unlock) {
    std::vector<kxsim::Access> t = {AnyR(gw), AnyR(gw), W(gw, ctrl), AnyR(gw)};
    uint32_t addr = FirstRegister(data_end, words.size());
    for (uint32_t word : words) t.push_back(R(addr, word)), addr += 4;
    t.push_back(W(gw, unlock));
    return t;
}

std::vector<kxsim::Access> WriteTransaction(uint32_t gw, uint32_t ctrl, uint32_t data_end,
                                            const std::vector<uint32_t>& words, uint32_t unlock) {
    std::vector<kxsim::Access> t = {AnyR(gw), AnyR(gw)};
    uint32_t addr = FirstRegister(data_end, words.size());
    for (uint32_t word : words) t.push_back(W(addr, word)), addr += 4;
    t.push_back(W(gw, ctrl));
    t.push_back(AnyR(gw));
    t.push_back(W(gw, unlock));
    return t;
}

std::unique_ptr<SimChip> OpenChip(const std::string& db_text, bool open_device) {
    std::string error;
    std::unique_ptr<SimChip> sim = SimChip::Create(db_text, &error);
    if (!sim) {
        ADD_FAILURE() << "cannot make the simulated chip: " << error;
    } else if (open_device && !sim->OpenDevice()) {
        ADD_FAILURE() << "cannot open " << kDevice;
        sim.reset();
    }
    return sim;
}

std::vector<uint32_t> ChipTest::ControlWrites(uint32_t gw, bool started) const {
    std::vector<uint32_t> out;
    for (const kxsim::Access& a : sim_->Traffic()) {
        if (a.op != 'W' || a.addr != gw) continue;
        if (!started) out.push_back(a.value);
        else if (a.value & 0x40000000) out.push_back(a.value & 0x1FFFFF);
    }
    return out;
}

void ChipTest::RunSteps(uint32_t gw, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        sim_->ClearTraffic();
        EXPECT_PRINTS(step.op(), step.status, step.out);
        EXPECT_EQ(ControlWrites(gw, true), step.started);
        if (step.noAccess) {
            EXPECT_EQ(Diff({}), "");
        }
    }
}

bool ChipTest::Touched(uint32_t addr) const {
    for (const kxsim::Access& a : sim_->Traffic())
        if (a.addr == addr) return true;
    return false;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t CountLines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace arrtest
