// PCI configuration cycles: each 32-bit access is one driver request.
#include "kdt_pciconf.h"
#include "kxcr_os.h"
#include "transport.h"

static_assert(sizeof(kdt_read4_st) == 8 && sizeof(kdt_write4_st) == 8, "the kernel driver copies 8 bytes");

namespace {

int pciconf_read4(kfile* mf, unsigned offset, u_int32_t* value) {
    kdt_read4_st request = {offset, 0};
    const int rc = kxcr_os()->ioctl(mf->fd, KDT_IOC_READ4, &request);
    if (rc < 0) return rc;
    *value = request.data;
    return 4;
}

int pciconf_write4(kfile* mf, unsigned offset, u_int32_t value) {
    kdt_write4_st request = {offset, value};
    const int rc = kxcr_os()->ioctl(mf->fd, KDT_IOC_WRITE4, &request);
    return rc < 0 ? rc : 4;
}

}  // namespace

const kxcr_transport pciconf_transport = {
    .read4 = pciconf_read4,
    .write4 = pciconf_write4,
    .owns_device_file = true,
    .i2cm_words = true,
};
