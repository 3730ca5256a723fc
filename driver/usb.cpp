// The USB-I2C adapters as transports. Both carry a CR access as I2C
// transfers to `i2c_slave`, the address phase first and each word most
// significant byte first: the kdt USB adapter (KDT_USB) with one vendor
// request per transfer, the Dimax U2C adapter (KDT_USB_DIMAX) with one
// command exchange per transfer under the I2C lock. The adapter's USB
// descriptor tells them apart at open.
#include <endian.h>
#include <linux/usb/ch9.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "transport.h"

namespace {

struct usb_adapter {
    uint16_t vendor;
    uint16_t product;
    KType tp;
};

constexpr usb_adapter kAdapters[] = {
    {0x0ABF, 0x03E9, KDT_USB},
    {0x0ABF, 0x3370, KDT_USB_DIMAX},
};

// The kdt adapter tries a CR access this often while the adapter moves
// nothing.
constexpr int kAttempts = 10;
// Largest transfers: 64 bytes as for every I2C path; a Dimax read carries at
// most 255 data bytes, of which whole words.
constexpr int kDimaxReadMax = 252;

I2C_TRANS record_for(const kfile* mf, unsigned offset) {
    I2C_TRANS tr{};
    tr.bySlvDevAddr = static_cast<unsigned char>(mf->i2c_slave << 1);
    tr.wCount = prepare_i2c_buf(tr.Data, mf->dtype, offset);
    return tr;
}

uint32_t word_from(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

void word_to(uint32_t value, uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// ---- Open and close ----

int usb_open(const char* name, kfile* mf, DType) {
    usb_device_descriptor descriptor;
    if (usb_get_device_descriptor(mf->fd, &descriptor) != 0) return -1;
    const usb_adapter* adapter = std::find_if(std::begin(kAdapters), std::end(kAdapters), [&](const usb_adapter& a) {
        return a.vendor == descriptor.idVendor && a.product == descriptor.idProduct;
    });
    if (adapter == std::end(kAdapters)) {
        errno = ENOTTY;
        return -1;
    }
    mf->tp = adapter->tp;
    return i2c_sem_open(mf, name);
}

int usb_close(kfile* mf) { return i2c_sem_close(mf); }

// ---- kdt USB adapter ----

// One request that should move `want` bytes: 1 when it did; 0 when it moved
// nothing or failed (worth another attempt; errno is the request's, or EIO);
// -1 with EIO when it moved another count.
int kdt_outcome(int moved, int want) {
    if (moved == want) return 1;
    if (moved >= 0) errno = EIO;
    return moved > 0 ? -1 : 0;
}

// The outcomes as kdt_outcome gives them. With no address phase the slave
// reads on from its current address, so no address is sent.
int kdt_read_once(kfile* mf, unsigned offset, void* data, int length) {
    I2C_TRANS tr = record_for(mf, offset);
    if (tr.wCount > 0) {
        const int sent = kdt_outcome(kdt_WriteI2c(mf->fd, &tr), tr.wCount);
        if (sent <= 0) return sent;
    }
    tr.wCount = length;
    const int got = kdt_outcome(kdt_ReadI2c(mf->fd, &tr), length);
    if (got > 0) std::memcpy(data, tr.Data, length);
    return got;
}

int kdt_write_once(kfile* mf, unsigned offset, const void* data, int length) {
    I2C_TRANS tr = record_for(mf, offset);
    std::memcpy(tr.Data + tr.wCount, data, length);
    tr.wCount += length;
    return kdt_outcome(kdt_WriteI2c(mf->fd, &tr), tr.wCount);
}

// A CR word is worth kAttempts tries of an adapter that moves nothing.
template <class Once>
int with_attempts(Once once) {
    for (int i = 0; i < kAttempts; ++i) {
        const int outcome = once();
        if (outcome != 0) return outcome;
    }
    errno = EPIPE;
    return -1;
}

int kdt_read4(kfile* mf, unsigned offset, u_int32_t* value) {
    uint8_t bytes[4];
    if (with_attempts([&] { return kdt_read_once(mf, offset, bytes, 4); }) < 0) return -1;
    *value = word_from(bytes);
    return 4;
}

int kdt_write4(kfile* mf, unsigned offset, u_int32_t value) {
    uint8_t bytes[4];
    word_to(value, bytes);
    return with_attempts([&] { return kdt_write_once(mf, offset, bytes, 4); }) < 0 ? -1 : 4;
}

int kdt_read64(kfile* mf, unsigned offset, void* data, int length) {
    return kdt_read_once(mf, offset, data, length) > 0 ? length : -1;
}

int kdt_write64(kfile* mf, unsigned offset, void* data, int length) {
    return kdt_write_once(mf, offset, data, length) > 0 ? length : -1;
}

// ---- Dimax U2C adapter ----

// A Dimax result: 0 is done. A lock refused or failed (negative) keeps the
// errno of the lock call; any failed exchange is EIO.
bool dimax_done(int result) {
    if (result > 0) errno = EIO;
    return result == 0;
}

int dimax_read(kfile* mf, unsigned offset, void* data, int length) {
    I2C_TRANS tr = record_for(mf, offset);
    if (!dimax_done(dimax_ReadI2c_sem(mf, mf->fd, &tr, length))) return -1;
    std::memcpy(data, tr.Data, length);
    return length;
}

int dimax_write(kfile* mf, unsigned offset, void* data, int length) {
    I2C_TRANS tr = record_for(mf, offset);
    std::memcpy(tr.Data + tr.wCount, data, length);
    return dimax_done(dimax_WriteI2c_sem(mf, mf->fd, &tr, length)) ? length : -1;
}

int dimax_read4(kfile* mf, unsigned offset, u_int32_t* value) {
    uint8_t bytes[4];
    if (dimax_read(mf, offset, bytes, 4) < 0) return -1;
    *value = word_from(bytes);
    return 4;
}

int dimax_write4(kfile* mf, unsigned offset, u_int32_t value) {
    uint8_t bytes[4];
    word_to(value, bytes);
    return dimax_write(mf, offset, bytes, 4) < 0 ? -1 : 4;
}

// ---- Block chunks ----

// A Dimax read carries at most kDimaxReadMax data bytes, so a chunk comes in
// pieces of whole words; the words travel most significant byte first.
int dimax_read_chunk(kfile* mf, unsigned offset, void* data, int length) {
    if (move_in_pieces(mf, offset, data, length, kDimaxReadMax, dimax_read) < 0) return -1;
    buff_cpu2be(data, length);
    return length;
}

}  // namespace

// The descriptor read at open may turn a KDT_USB handle into KDT_USB_DIMAX,
// so only this row opens.
const kxcr_transport kdt_usb_transport = {
    .open = usb_open,
    .close = usb_close,
    .read4 = kdt_read4,
    .write4 = kdt_write4,
    .read64 = kdt_read64,
    .write64 = kdt_write64,
    .read_chunk = read_chunk_by_kread64,
    .write_chunk = write_chunk_by_kwrite64,
    .chunk_size = 64,
    .owns_device_file = true,
};

const kxcr_transport dimax_transport = {
    .close = usb_close,
    .read4 = dimax_read4,
    .write4 = dimax_write4,
    .read64 = dimax_read,
    .write64 = dimax_write,
    .read_chunk = dimax_read_chunk,
    .write_chunk = write_chunk_by_kwrite64,
    .chunk_size = 256,
    .owns_device_file = true,
};
