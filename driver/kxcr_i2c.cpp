// The chip's own I2C master: an "i2cm" handle sends its CR accesses over the
// chip's I2C bus to the device at `i2c_slave`, driving the master's control,
// data and configuration registers. Each access is a whole bus exchange: the
// address phase, the data, a stop. The master's own registers are reached
// directly, with the redirection off for the access.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "transport.h"

namespace {

// The master's registers, by family.
struct master_regs {
    unsigned control, data, config;
};
constexpr master_regs kZorvanRegs = {0xF0180, 0xF0184, 0xF018C};
constexpr master_regs kOtherRegs = {0x3180, 0x3184, 0x318C};

// Control word: command in bits 29-31 (cleared by the master when done),
// status in 16-18 once done, byte count - 1 in 22-23, 7-bit slave in 0-6.
constexpr uint32_t kRead = 0x20000000u;
constexpr uint32_t kWrite = 0x40000000u;
constexpr uint32_t kStop = 0x60000000u;
constexpr int kCommandShift = 29;
constexpr int kStatusShift = 16;
constexpr int kCountShift = 22;

constexpr int kDone = 7;
constexpr int kTryAgain = 6;

// The first polls follow each other at once; the later ones pause first, so
// that a slow slave costs little CPU and a dead master is given up on.
constexpr int kPollsAtOnce = 5001;
constexpr int kPollLimit = 5012;
constexpr useconds_t kPollPause = 100;

constexpr int kAttempts = 100;

const master_regs& regs_of(const kfile* mf) { return mf->itype == KDT_ZORVAN ? kZorvanRegs : kOtherRegs; }

uint32_t control_word(const kfile* mf, uint32_t command, int len) {
    const uint32_t count = len > 0 ? static_cast<uint32_t>(len - 1) << kCountShift : 0;
    return command | count | (mf->i2c_slave & 0x7Fu);
}

// A register access of the master that moved less than a word failed too.
bool reg_read(kfile* mf, unsigned reg, unsigned* value) {
    const int rc = kread4_(mf, reg, value);
    if (rc >= 0 && rc != 4) errno = EIO;
    return rc == 4;
}

bool reg_write(kfile* mf, unsigned reg, unsigned value) {
    const int rc = kwrite4_(mf, reg, value);
    if (rc >= 0 && rc != 4) errno = EIO;
    return rc == 4;
}

// The address phase of `dtype`, most significant byte first; a handle with
// no address phase has nothing to send and counts it as done.
int address_phase(kfile* mf, unsigned offset) {
    unsigned char phase[4];
    const int len = prepare_i2c_buf(phase, mf->dtype, offset);
    return len > 0 ? w_trans(mf, phase, len) : kDone;
}

// The bytes of `value` a write of `len` sends: the low `len` bytes, most
// significant first.
void value_bytes(unsigned value, int len, unsigned char* bytes) {
    for (int i = 0; i < len; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * (len - 1 - i)));
}

// The read of i2c_master_read_cr and i2c_master_read. A slave asking to be
// tried again gets the next attempt; any other failing status ends the read.
int master_read(kfile* mf, void* value, unsigned offset, int len) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        unsigned char bytes[4];
        int status = address_phase(mf, offset);
        if (status == kDone) status = r_trans(mf, bytes, len);
        if (status < 0) return -1;
        if (end_trans(mf) < 0) return -1;
        if (status == kDone) {
            // A whole word is the data register's word, in host order.
            if (len == 4) {
                const uint32_t word = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 |
                                      uint32_t{bytes[2]} << 8 | bytes[3];
                std::memcpy(value, &word, 4);
            } else {
                std::memcpy(value, bytes, len);
            }
            return len;
        }
        if (status != kTryAgain) break;
    }
    // Given up: a failure must say why, whatever the last call left in errno.
    errno = EIO;
    return -1;
}

// ---- The row ----

int master_read4(kfile* mf, unsigned offset, u_int32_t* value) { return i2c_master_read_cr(mf, value, offset, 4); }

int master_write4(kfile* mf, unsigned offset, u_int32_t value) { return i2c_master_write_cr(mf, value, offset, 4); }

// Byte by byte, each byte at its own address.
int master_read64(kfile* mf, unsigned offset, void* data, int length) {
    auto* bytes = static_cast<unsigned char*>(data);
    for (int i = 0; i < length; ++i) {
        if (i2c_master_read_cr(mf, bytes + i, offset + i, 1) < 0) return -1;
    }
    return length;
}

int master_write64(kfile* mf, unsigned offset, void* data, int length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (int i = 0; i < length; ++i) {
        if (i2c_master_write_cr(mf, bytes[i], offset + i, 1) < 0) return -1;
    }
    return length;
}

// A read moves at most a data register's 4 bytes: a chunk goes word by word.
int read_piece(kfile* mf, unsigned offset, void* data, int length) { return i2c_master_read(mf, data, offset, length); }

int master_read_chunk(kfile* mf, unsigned offset, void* data, int length) {
    return move_in_pieces(mf, offset, data, length, 4, read_piece);
}

void master_accelerate(kfile* mf) { i2c_master_set(mf); }

}  // namespace

const kxcr_transport i2c_master_row = {
    .read4 = master_read4,
    .write4 = master_write4,
    .read64 = master_read64,
    .write64 = master_write64,
    .read_chunk = master_read_chunk,
    .accelerate = master_accelerate,
    .restore = i2c_master_restore,
};

int kread4_(kfile* mf, unsigned int offset, unsigned int* value) {
    const int saved = mf->is_i2cm;
    mf->is_i2cm = 0;
    const int rc = kread4(mf, offset, value);
    mf->is_i2cm = saved;
    return rc;
}

int kwrite4_(kfile* mf, unsigned int offset, unsigned int value) {
    const int saved = mf->is_i2cm;
    mf->is_i2cm = 0;
    const int rc = kwrite4(mf, offset, value);
    mf->is_i2cm = saved;
    return rc;
}

int wait_trans(kfile* mf) {
    for (int poll = 1; poll <= kPollLimit; ++poll) {
        if (poll > kPollsAtOnce) usleep(kPollPause);
        unsigned control = 0;
        if (!reg_read(mf, regs_of(mf).control, &control)) return -1;
        if (control >> kCommandShift == 0) return (control >> kStatusShift) & 7;
    }
    errno = EBUSY;
    return -1;
}

int w_trans(kfile* mf, void* data, int len) {
    if (len < 1 || len > 4) {
        errno = EINVAL;
        return -1;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint32_t word = 0;
    for (int i = 0; i < len; ++i) word |= uint32_t{bytes[i]} << (24 - 8 * i);
    if (!reg_write(mf, regs_of(mf).data, word)) return -1;
    if (!reg_write(mf, regs_of(mf).control, control_word(mf, kWrite, len))) return -1;
    return wait_trans(mf);
}

int r_trans(kfile* mf, void* data, int len) {
    if (len < 1 || len > 4) {
        errno = EINVAL;
        return -1;
    }
    if (!reg_write(mf, regs_of(mf).control, control_word(mf, kRead, len))) return -1;
    const int status = wait_trans(mf);
    if (status != kDone) return status;
    unsigned word = 0;
    if (!reg_read(mf, regs_of(mf).data, &word)) return -1;
    auto* bytes = static_cast<unsigned char*>(data);
    for (int i = 0; i < len; ++i) bytes[i] = static_cast<unsigned char>(word >> (24 - 8 * i));
    return kDone;
}

int end_trans(kfile* mf) {
    if (!reg_write(mf, regs_of(mf).control, control_word(mf, kStop, 0))) return -1;
    return wait_trans(mf);
}

// Every status but success gets another attempt: a write that failed half
// way is simply made again.
int i2c_master_write_cr(kfile* mf, unsigned int value, unsigned int offset, int len) {
    // Checked before anything reaches the bus.
    if (len != 1 && len != 2 && len != 4) {
        errno = EINVAL;
        return -1;
    }
    unsigned char bytes[4];
    value_bytes(value, len, bytes);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int status = address_phase(mf, offset);
        if (status == kDone) status = w_trans(mf, bytes, len);
        // A master that cannot be driven will not do better next time.
        if (status < 0) return -1;
        if (end_trans(mf) < 0) return -1;
        if (status == kDone) return len;
    }
    errno = EIO;
    return -1;
}

int i2c_master_read_cr(kfile* mf, void* value, unsigned int offset, int len) {
    if (len != 1 && len != 2 && len != 4) {
        errno = EINVAL;
        return -1;
    }
    return master_read(mf, value, offset, len);
}

int i2c_master_read(kfile* mf, void* value, unsigned int offset, int len) {
    if (len < 1 || len > 4) {
        errno = EINVAL;
        return -1;
    }
    return master_read(mf, value, offset, len);
}

// The switch family's master runs slowly unless its configuration says
// otherwise; the word is kept for i2c_master_restore. The stops and the read
// that follow bring a bus left in the middle of a transfer back to idle.
int i2c_master_set(kfile* mf) {
    if (mf->itype == KDT_DUVRA) {
        unsigned config = 0;
        if (!reg_read(mf, kOtherRegs.config, &config)) return -1;
        mf->i2c_RESERVED = config;
        if (!reg_write(mf, kOtherRegs.config, (config & 0xFFFF0000u) | 0x0100u)) return -1;
    }
    unsigned id = 0;
    if (mf->dtype != KDT_ZORVAN) return i2c_master_read(mf, &id, 0x2800, 4);
    constexpr int kStops = 9;
    for (int i = 0; i < kStops; ++i) end_trans(mf);
    i2c_master_read(mf, &id, 0xF0014, 4);
    int rc = 0;
    for (int i = 0; i < kStops; ++i) rc = end_trans(mf);
    return rc;
}

void i2c_master_restore(kfile* mf) {
    if (mf->itype == KDT_DUVRA) reg_write(mf, kOtherRegs.config, mf->i2c_RESERVED);
}
