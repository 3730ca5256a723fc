// PCI configuration cycles: one driver request per 32-bit access.
#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

TEST(Pciconf, OpenAccessClose) {
    OpenAccessClose({Family::Zorvan, kxsim::kZorvanPciconfName, KDT_ZORVAN, KDT_PCICONF, KDT_ZORVAN, 0x48,
                     KDEVS_ZORVAN_CR, Path::kBus});
    OpenAccessClose({Family::Duvra, kxsim::kDuvraPciconfName, KDT_DUVRA, KDT_PCICONF, KDT_DUVRA, 0x5A,
                     KDEVS_DUVRA | KDEVS_ZORVAN_CR, Path::kBus});
}

TEST(Pciconf, RefusedCalls) {
    DriverChip sim;
    u_int32_t value = 0;
    ExpectRefusals(sim, {
        {"driver errno comes up unchanged", kxsim::kZorvanPciconfName,
         [&](kfile* mf) { return sim.chip->FailAccess(0x200, EIO), kread4(mf, 0x200, &value); }, EIO},
        {"software reset", kxsim::kZorvanPciconfName, ksw_reset, EPERM},
    });
}

}  // namespace
