// kif device files: every access is one kif_param_st request, whose request
// code is the command itself.
#include "kxcr_kif.h"
#include "kxcr_os.h"
#include "transport.h"

namespace {

int kif_request(kfile* mf, kif_ioctl_cmd_t cmd, unsigned offset, void* buf, int len) {
    kif_param_t param{};
    param.cmd = cmd;
    param.dtype = mf->dtype;
    param.addr = mf->i2c_slave;
    param.len = len;
    param.offset = static_cast<int>(offset);
    param.buf = buf;
    return kxcr_os()->ioctl(mf->fd, cmd, &param);
}

int kif_read4(kfile* mf, unsigned offset, u_int32_t* value) { return kif_request(mf, KREAD4, offset, value, 4); }

int kif_write4(kfile* mf, unsigned offset, u_int32_t value) { return kif_request(mf, KWRITE4, offset, &value, 4); }

int kif_read64(kfile* mf, unsigned offset, void* data, int length) {
    return kif_request(mf, KREAD64, offset, data, length);
}

int kif_write64(kfile* mf, unsigned offset, void* data, int length) {
    return kif_request(mf, KWRITE64, offset, data, length);
}

}  // namespace

const kxcr_transport kif_transport = {
    .read4 = kif_read4,
    .write4 = kif_write4,
    .read64 = kif_read64,
    .write64 = kif_write64,
    // Block writes go word by word.
    .read_chunk = read_chunk_by_kread64,
    .chunk_size = 64,
    .owns_device_file = true,
};
