// The kdt USB adapter's firmware: vendor control requests.
#include <linux/usb/ch9.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "usb_adapter.h"

namespace kxsim {
namespace detail {
namespace {

constexpr uint8_t kI2c = 0xF2;
constexpr uint8_t kIoPorts = 0xF1;
constexpr uint8_t kDebug = 0xFF;
constexpr char kDebugText[] = "kxsim kdt USB adapter";

// One conversation with the chip's slave. A write is acknowledged whole or
// stalled; a read the slave stops driving ends short.
int I2c(OpenDevice& dev, const usbdevfs_ctrltransfer& c, uint8_t* data, int length, bool in) {
    if ((c.wValue & 0xFF) != 0) return Fail(EPIPE);  // only plain transfers
    const uint8_t slave = uint8_t(c.wValue >> 8) >> 1;
    int written = 0, read = 0;
    const bool answered = in ? dev.chip.I2cTransaction(slave, nullptr, 0, data, length, &written, &read)
                             : dev.chip.I2cTransaction(slave, data, length, nullptr, 0, &written, &read);
    if (!answered || written < (in ? 0 : length)) return Fail(EPIPE);
    return in ? read : written;
}

int IoPorts(OpenDevice& dev, uint8_t* data, int length, bool in) {
    UsbState state(dev.chip);
    const int n = std::min(length, in ? 4 : int(sizeof state.usb.ports));
    if (in) std::memcpy(data, state.usb.ports, n);
    else std::memcpy(state.usb.ports, data, n);
    return n;
}

}  // namespace

int KdtControl(OpenDevice& dev, const usbdevfs_ctrltransfer& c, uint8_t* data, int length) {
    const bool in = c.bRequestType & USB_DIR_IN;
    switch (c.bRequest) {
    case kI2c: return I2c(dev, c, data, length, in);
    case kIoPorts: return IoPorts(dev, data, length, in);
    case kDebug:
        if (!in) break;
        length = std::min(length, int(sizeof kDebugText));
        std::memcpy(data, kDebugText, length);
        return length;
    }
    return Fail(EPIPE);
}

}  // namespace detail
}  // namespace kxsim
