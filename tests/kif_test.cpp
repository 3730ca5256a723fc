// kif device files: one kif_param_st request per access.
#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

TEST(Kif, OpenAccessClose) {
    OpenAccessClose(
        {Family::Zorvan, kxsim::kZorvanKifName, KDT_ZORVAN, KDT_IF, KDT_ZORVAN, 0x48, KDEVS_IF, Path::kBus});
    WriteAndReadBack64(kxsim::kZorvanKifName);
}

TEST(Kif, RefusedCalls) {
    DriverChip sim;
    ExpectRefusals(sim, {
        {"block read of -1", kxsim::kZorvanKifName, Transfer64(false, -1), EINVAL},
        {"block write of -1", kxsim::kZorvanKifName, Transfer64(true, -1), EINVAL},
    });
}

}  // namespace
