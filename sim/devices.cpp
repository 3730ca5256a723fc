#include "devices.h"

#include <cerrno>

namespace kxsim {

const char* const kZorvanPciName = "/dev/kdt/kx31001_pci_cr0";
const char* const kZorvanPciconfName = "/dev/kdt/kx31001_pciconf0";
const char* const kZorvanCalbrName = "/dev/kdt/kx31001_calbr0";
const char* const kZorvanKifName = "/dev/kdt/kx31001_kif0";
const char* const kZorvanPpcName = "/dev/kdt/kx31001_ppc0";
const char* const kDevI2cName = "/dev/kdt/kx31001_dev-i2c0";
const char* const kDuvraPciName = "/dev/kdt/kx52100_pci_cr0";
const char* const kDuvraPciconfName = "/dev/kdt/kx52100_pciconf0";
const char* const kZorvanI2cmName = "/dev/kdt/kx31001_pciconf0_i2cm";
const char* const kDuvraI2cmName = "/dev/kdt/kx52100_pciconf0_i2cm";

namespace detail {

int Fail(int err) {
    errno = err;
    return -1;
}

}  // namespace detail
}  // namespace kxsim
