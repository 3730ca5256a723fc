// The Calibre I2C adapter: every access is one I2C transaction through the
// kernel driver, the address phase first.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kdt_calbr.h"
#include "kxcr_os.h"
#include "transport.h"

namespace {

// One transaction: the address phase and `out` to the slave, then `in_len`
// bytes back.
int calbr_transaction(kfile* mf, unsigned offset, const uint8_t* out, int out_len, int in_len,
                      kdt_trans_st* trans) {
    *trans = kdt_trans_st{};
    trans->slv_addr = mf->i2c_slave;
    trans->wr_size = prepare_i2c_data(trans->wr_buff, mf->dtype, offset, out, out_len);
    trans->rd_size = in_len;
    return kxcr_os()->ioctl(mf->fd, KDT_IOC_TRANS, trans) < 0 ? -1 : 0;
}

// Returns the bytes read (short when the slave stopped answering), never
// more than asked for whatever the driver reports.
int calbr_read64(kfile* mf, unsigned offset, void* data, int length) {
    kdt_trans_st trans;
    if (calbr_transaction(mf, offset, nullptr, 0, length, &trans) < 0) return -1;
    const int got = static_cast<int>(std::min<uint32_t>(trans.rd_count, length));
    std::memcpy(data, trans.rd_buff, got);
    return got;
}

// Returns the data bytes written: the address phase does not count, so a
// transfer cut short after it is never reported as a complete write.
int calbr_write64(kfile* mf, unsigned offset, void* data, int length) {
    kdt_trans_st trans;
    if (calbr_transaction(mf, offset, static_cast<const uint8_t*>(data), length, 0, &trans) < 0) return -1;
    const uint32_t address_len = trans.wr_size - length;
    const uint32_t written = trans.wr_count > address_len ? trans.wr_count - address_len : 0;
    return static_cast<int>(std::min<uint32_t>(written, length));
}

// Words travel most significant byte first.
int calbr_read4(kfile* mf, unsigned offset, u_int32_t* value) {
    uint8_t bytes[4];
    const int got = calbr_read64(mf, offset, bytes, 4);
    if (got != 4) return got;
    *value = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    return 4;
}

int calbr_write4(kfile* mf, unsigned offset, u_int32_t value) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    return calbr_write64(mf, offset, bytes, 4);
}

}  // namespace

const kxcr_transport calibre_transport = {
    .read4 = calbr_read4,
    .write4 = calbr_write4,
    .read64 = calbr_read64,
    .write64 = calbr_write64,
    .read_chunk = read_chunk_by_kread64,
    .write_chunk = write_chunk_by_kwrite64,
    .chunk_size = 64,
    .owns_device_file = true,
};
