// The configuration-cycle device: each request is one bus access.
#include <cerrno>

#include "devices.h"
#include "kdt_pciconf.h"

namespace kxsim {
namespace detail {

int PciconfIoctl(OpenDevice& dev, unsigned long request, void* arg) {
    if (request == KDT_IOC_READ4) {
        auto* r = static_cast<kdt_read4_st*>(arg);
        return dev.chip.Read(r->offset, &r->data) ? 0 : -1;
    }
    if (request == KDT_IOC_WRITE4) {
        auto* w = static_cast<kdt_write4_st*>(arg);
        return dev.chip.Write(w->offset, w->data) ? 0 : -1;
    }
    return Fail(ENOTTY);
}

}  // namespace detail
}  // namespace kxsim
