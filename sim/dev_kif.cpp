// The kif device: word requests are bus accesses, block requests go through
// the chip's I2C slave.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "devices.h"
#include "kxcr_kif.h"

namespace kxsim {
namespace detail {
namespace {

// The address phase of the request's form, most significant byte first.
int AddressPhase(DType dtype, uint32_t offset, uint8_t* buf) {
    int n = dtype == KDT_ZORVAN ? 4 : dtype == KDT_DUVRA ? 2 : dtype == KDT_DIMM ? 1 : 0;
    for (int i = 0; i < n; ++i) buf[i] = uint8_t(offset >> (8 * (n - 1 - i)));
    return n;
}

// KREAD64/KWRITE64: up to 64 bytes through the chip's I2C slave. Returns the
// data bytes moved; a slave that does not answer fails with ENXIO.
int BlockRequest(Chip& chip, const kif_param_st& p) {
    if (p.len < 0 || p.len > 64 || !p.buf) return Fail(EINVAL);
    uint8_t wr[4 + 64];
    int phase = AddressPhase(p.dtype, uint32_t(p.offset), wr);
    bool write = p.cmd == KWRITE64;
    if (write) std::memcpy(wr + phase, p.buf, size_t(p.len));
    int wr_count = 0, rd_count = 0;
    bool answered = chip.I2cTransaction(p.addr, wr, phase + (write ? p.len : 0), static_cast<uint8_t*>(p.buf),
                                        write ? 0 : p.len, &wr_count, &rd_count);
    if (!answered) return Fail(ENXIO);
    return write ? std::max(0, wr_count - phase) : rd_count;
}

}  // namespace

int KifIoctl(OpenDevice& dev, unsigned long request, void* arg) {
    auto* p = static_cast<kif_param_st*>(arg);
    switch (request) {
    case KREAD4:
        if (p->len != 4 || !p->buf) return Fail(EINVAL);
        return dev.chip.Read(uint32_t(p->offset), static_cast<uint32_t*>(p->buf)) ? 4 : -1;
    case KWRITE4:
        if (p->len != 4 || !p->buf) return Fail(EINVAL);
        return dev.chip.Write(uint32_t(p->offset), *static_cast<const uint32_t*>(p->buf)) ? 4 : -1;
    case KREAD64:
    case KWRITE64:
        return BlockRequest(dev.chip, *p);
    default:
        return Fail(ENOTTY);
    }
}

}  // namespace detail
}  // namespace kxsim
