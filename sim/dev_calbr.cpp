// The Calibre I2C adapter: one transaction with the chip's I2C slave per
// request.
#include <cerrno>

#include "devices.h"
#include "kdt_calbr.h"

namespace kxsim {
namespace detail {

// A slave that does not answer moves nothing; the request itself succeeds
// and the counts tell.
int CalbrIoctl(OpenDevice& dev, unsigned long request, void* arg) {
    if (request != KDT_IOC_TRANS) return Fail(ENOTTY);
    auto* t = static_cast<kdt_trans_st*>(arg);
    if (t->wr_size > sizeof t->wr_buff || t->rd_size > sizeof t->rd_buff) return Fail(EINVAL);
    int wr = 0, rd = 0;
    dev.chip.I2cTransaction(t->slv_addr, t->wr_buff, int(t->wr_size), t->rd_buff, int(t->rd_size), &wr, &rd);
    t->wr_count = uint32_t(wr);
    t->rd_count = uint32_t(rd);
    return 0;
}

}  // namespace detail
}  // namespace kxsim
