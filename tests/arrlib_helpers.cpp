#include "arrlib_helpers.h"

#include <sstream>

namespace arrtest {

const char* const kDevice = "/dev/kdt/kx31001_pciconf0";

Outcome Capture(const Op& op) {
    simtest::CaptureStdout capture;
    ArrLib::Status status = op();
    return {status, capture.Text()};
}

kxsim::Access R(uint32_t addr, uint32_t value) { return {'R', addr, value}; }
kxsim::Access W(uint32_t addr, uint32_t value) { return {'W', addr, value}; }

Traffic Transaction(char op, uint32_t gw, uint32_t ctrl, uint32_t data_end, const Words& words,
                    uint32_t unlock) {
    Traffic data;
    uint32_t addr = data_end + 4 - 4 * static_cast<uint32_t>(words.size());
    for (uint32_t word : words) data.push_back({op, addr, word}), addr += 4;
    const Traffic lock = {AnyRead(gw), AnyRead(gw)}, start = {W(gw, ctrl), AnyRead(gw)};
    return Join({lock, op == 'R' ? start : data, op == 'R' ? data : start, {W(gw, unlock)}});
}

Traffic Join(const std::vector<Traffic>& parts) {
    Traffic all;
    for (const Traffic& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

void ChipTest::SetUp() {
    sim_ = std::make_unique<simtest::DriverChip>(kxsim::Family::Zorvan, db_);
    ASSERT_TRUE(sim_->chip);
    if (!open_) return;
    kf_ = kopen(kDevice);
    ASSERT_NE(kf_, nullptr) << "cannot open " << kDevice;
    ArrLib::Gateway::SetKf(kf_);
    ClearTraffic();
}

void ChipTest::TearDown() {
    if (kf_ == nullptr) return;
    if (ArrLib::Gateway::GetKf() == kf_) ArrLib::Gateway::SetKf(nullptr);
    kclose(kf_);
}

std::vector<uint32_t> ChipTest::ControlWrites(uint32_t gw, bool started) const {
    std::vector<uint32_t> out;
    for (const kxsim::Access& a : sim_->chip->Traffic()) {
        if (a.op != 'W' || a.addr != gw) continue;
        if (!started) out.push_back(a.value);
        else if (a.value & 0x40000000) out.push_back(a.value & 0x1FFFFF);
    }
    return out;
}

void ChipTest::RunSteps(uint32_t gw, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ClearTraffic();
        EXPECT_EQ(Capture(step.op), Outcome(step.status, step.out));
        if (step.traffic) EXPECT_EQ(Diff(*step.traffic), "");
        else EXPECT_EQ(ControlWrites(gw, true), step.started);
    }
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace arrtest
