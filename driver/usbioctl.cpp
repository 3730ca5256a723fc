// Requests to the USB-I2C adapters over Linux usbdevfs: standard control
// transfers, the kdt USB adapter's vendor requests, and the Dimax U2C
// adapter's command and response over two bulk endpoints.
#include "usbioctl.h"

#include <endian.h>
#include <linux/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "kxcr.h"
#include "kxcr_os.h"

namespace {

constexpr int kDescriptorTimeoutMs = 1000;
constexpr int kKdtTimeoutMs = 5000;
constexpr unsigned kDimaxTimeoutMs = 100;
constexpr unsigned kDimaxOut = 2;
constexpr unsigned kDimaxIn = 0x84;
constexpr unsigned kDimaxInterface = 0;
constexpr int kDimaxReadCommand = 1;
constexpr int kDimaxWriteCommand = 2;
// The adapter's command buffer: a read command is at most 12 bytes, a write
// command at most 80.
constexpr int kReadCommandMax = 12;
constexpr int kWriteCommandMax = 80;
// A size travels in one byte of the command.
constexpr int kDimaxSizeMax = 255;
constexpr int kDataBytes = sizeof(I2C_TRANS::Data);

int fail(int err) {
    errno = err;
    return -1;
}

// One control transfer: the bytes moved, or -1 with errno.
int control_transfer(int fd, int type, int request, int value, int index, void* data, int length,
                     int timeout) {
    if (length < 0 || length > 0xFFFF) return fail(EINVAL);
    usbdevfs_ctrltransfer ctrl{};
    ctrl.bRequestType = static_cast<uint8_t>(type);
    ctrl.bRequest = static_cast<uint8_t>(request);
    ctrl.wValue = static_cast<uint16_t>(value);
    ctrl.wIndex = static_cast<uint16_t>(index);
    ctrl.wLength = static_cast<uint16_t>(length);
    ctrl.timeout = static_cast<uint32_t>(timeout);
    ctrl.data = data;
    return kxcr_os()->ioctl(fd, USBDEVFS_CONTROL, &ctrl);
}

int bulk_transfer(int fd, unsigned ep, void* data, int length) {
    usbdevfs_bulktransfer bulk{};
    bulk.ep = ep;
    bulk.len = static_cast<unsigned>(length);
    bulk.timeout = kDimaxTimeoutMs;
    bulk.data = data;
    return kxcr_os()->ioctl(fd, USBDEVFS_BULK, &bulk);
}

// ---- kdt USB adapter ----

struct kdt_request {
    int type;
    int request;
    bool i2c;    // the I2C transfer fields go in value and index
    int length;  // 0: wCount
};

constexpr int kVendorOut = USB_DIR_OUT | USB_TYPE_VENDOR | USB_RECIP_DEVICE;  // 0x40
constexpr int kVendorIn = USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE;    // 0xC0
constexpr kdt_request kWriteI2c = {kVendorOut, 0xF2, true, 0};
constexpr kdt_request kReadI2c = {kVendorIn, 0xF2, true, 0};
constexpr kdt_request kReadIoPorts = {kVendorIn, 0xF1, false, 4};
constexpr kdt_request kWriteIoPorts = {kVendorOut, 0xF1, false, 8};
constexpr kdt_request kDebug = {kVendorIn, 0xFF, false, 0};

int kdt_send(int fd, PI2C_TRANS tr, const kdt_request& r) {
    if (!tr) return fail(EINVAL);
    const int length = r.length ? r.length : tr->wCount;
    if (length < 0 || length > kDataBytes) return fail(EINVAL);
    const int value = r.i2c ? tr->byTransType | tr->bySlvDevAddr << 8 : 0;
    const int index = r.i2c ? tr->wMemoryAddr & 0xFFFF : 0;
    return control_transfer(fd, r.type, r.request, value, index, tr->Data, length, kKdtTimeoutMs);
}

// ---- Dimax U2C adapter ----

// The command for `size` data bytes, built into `cmd`: its length, or 0 when
// the record does not fit the adapter's command.
int dimax_command(const I2C_TRANS& tr, int size, bool write, uint8_t* cmd) {
    const int address = tr.wCount;
    const int length = write ? 4 + address + size : address ? 5 + address : 4;
    if (address < 0 || size < 0 || size > kDimaxSizeMax ||
        length > (write ? kWriteCommandMax : kReadCommandMax)) {
        return 0;
    }
    const uint8_t to_slave = tr.bySlvDevAddr & 0xFE;
    const uint8_t from_slave = tr.bySlvDevAddr | 0x01;
    int n = 0;
    cmd[n++] = write ? kDimaxWriteCommand : kDimaxReadCommand;
    cmd[n++] = static_cast<uint8_t>(address);
    // A read without address phase addresses the slave for reading at once.
    cmd[n++] = !write && !address ? from_slave : to_slave;
    std::memcpy(cmd + n, tr.Data, address);
    n += address;
    if (!write && address) cmd[n++] = from_slave;
    cmd[n++] = static_cast<uint8_t>(size);
    if (write) {
        std::memcpy(cmd + n, tr.Data + address, size);
        n += size;
    }
    return n;
}

// The result of a request that failed (-1), or of a transfer that moved
// another count than asked: never 0.
int transfer_failure(int moved) {
    if (moved < 0) return errno ? errno : -1;
    errno = EIO;
    return EIO;
}

// Command out, response in. Every signal is held back meanwhile, so none
// can cut the command from its response: the response would stay in the
// adapter for the next exchange to read.
int dimax_exchange(int fd, PI2C_TRANS tr, int size, bool write) {
    uint8_t cmd[kWriteCommandMax];
    const int length = tr ? dimax_command(*tr, size, write, cmd) : 0;
    if (length == 0) {
        errno = EINVAL;
        return EINVAL;
    }
    unsigned interface = kDimaxInterface;
    if (kxcr_os()->ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) < 0) return transfer_failure(-1);
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    int result;
    const int sent = bulk_transfer(fd, kDimaxOut, cmd, length);
    if (sent != length) {
        result = transfer_failure(sent);
    } else {
        const int asked = write ? 1 : size + 1;
        result = dimax_response(tr->Data, asked, bulk_transfer(fd, kDimaxIn, tr->Data, asked));
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    const int saved = errno;
    kxcr_os()->ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
    errno = saved;
    return result;
}

}  // namespace

int dimax_response(const unsigned char* response, int asked, int moved) {
    if (!response || asked < 1 || asked > kDataBytes) {
        errno = EINVAL;
        return EINVAL;
    }
    if (moved != asked) return transfer_failure(moved);
    const unsigned char status = response[asked - 1];
    return status ? 200 + status : 0;
}

int usb_control_msg(int fd, int requesttype, int request, int value, int index, char* bytes, int size,
                    int timeout) {
    return control_transfer(fd, requesttype, request, value, index, bytes, size, timeout) < 0 ? -1 : 0;
}

int usb_get_descriptor(int fd, unsigned char type, unsigned char index, void* buf, int size) {
    if (!buf || size < 0) return fail(EINVAL);
    std::memset(buf, 0, size);
    return control_transfer(fd, USB_DIR_IN, USB_REQ_GET_DESCRIPTOR, type << 8 | index, 0, buf, size,
                            kDescriptorTimeoutMs);
}

int usb_get_device_descriptor(int fd, usb_device_descriptor* buf) {
    const int got = usb_get_descriptor(fd, USB_DT_DEVICE, 0, buf, USB_DT_DEVICE_SIZE);
    if (got < 0) return -1;
    // A part of the descriptor would name some other adapter.
    if (got != USB_DT_DEVICE_SIZE) return fail(EIO);
    buf->idVendor = le16toh(buf->idVendor);
    buf->idProduct = le16toh(buf->idProduct);
    return 0;
}

int kdt_WriteI2c(int fd, PI2C_TRANS tr) { return kdt_send(fd, tr, kWriteI2c); }
int kdt_ReadI2c(int fd, PI2C_TRANS tr) { return kdt_send(fd, tr, kReadI2c); }
int kdt_ReadIoPorts(int fd, PI2C_TRANS tr) { return kdt_send(fd, tr, kReadIoPorts); }
int kdt_WriteIoPorts(int fd, PI2C_TRANS tr) { return kdt_send(fd, tr, kWriteIoPorts); }
int kdt_Debug(int fd, PI2C_TRANS tr) { return kdt_send(fd, tr, kDebug); }

int dimax_ReadI2c(int fd, PI2C_TRANS tr, int size) { return dimax_exchange(fd, tr, size, false); }
int dimax_WriteI2c(int fd, PI2C_TRANS tr, int size) { return dimax_exchange(fd, tr, size, true); }
