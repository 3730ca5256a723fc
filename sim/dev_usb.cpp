// The simulated USB adapters behind usbdevfs requests. Each answers the
// standard request for its device descriptor and has interface 0; its
// firmware answers the rest. The fault knobs act here, on every transfer.
#include <endian.h>
#include <linux/usb/ch9.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "usb_adapter.h"

namespace kxsim {

const char* const kKxusbName = "/dev/kdt/kx31001_kxusb0";
const char* const kDimaxName = "/dev/kdt/kx31001_kxusb_dimax0";
const char* const kUnknownUsbName = "/dev/kdt/kx31001_kxusb_unknown0";

void Chip::SetUsbFault(UsbFault fault) { detail::UsbState(*this).usb.fault = uint32_t(fault); }

void Chip::SetDimaxStatus(uint8_t status) { detail::UsbState(*this).usb.dimax_status = status; }

namespace detail {
namespace {

struct Adapter {
    uint16_t vendor;
    uint16_t product;
    // Null: the adapter stalls vendor requests, or has no bulk endpoint.
    int (*control)(OpenDevice& dev, const usbdevfs_ctrltransfer& c, uint8_t* data, int length);
    int (*bulk)(OpenDevice& dev, unsigned ep, uint8_t* data, int length);
};

constexpr Adapter kKdt = {0x0ABF, 0x03E9, KdtControl, nullptr};
constexpr Adapter kDimax = {0x0ABF, 0x3370, nullptr, DimaxBulk};
// The same maker's product that no adapter of kxcr is.
constexpr Adapter kUnknown = {0x0ABF, 0x3371, nullptr, nullptr};

int DeviceDescriptor(const Adapter& a, uint8_t* data, int length) {
    usb_device_descriptor d{};
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = htole16(0x0200);
    d.bDeviceClass = USB_CLASS_VENDOR_SPEC;
    d.bMaxPacketSize0 = 64;
    d.idVendor = htole16(a.vendor);
    d.idProduct = htole16(a.product);
    d.bcdDevice = htole16(0x0100);
    d.bNumConfigurations = 1;
    const int n = std::min(length, int(USB_DT_DEVICE_SIZE));
    std::memcpy(data, &d, n);
    return n;
}

int Control(const Adapter& a, OpenDevice& dev, const usbdevfs_ctrltransfer& c, int length) {
    auto* data = static_cast<uint8_t*>(c.data);
    if (length > 0 && !data) return Fail(EFAULT);
    if ((c.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR) {
        return a.control ? a.control(dev, c, data, length) : Fail(EPIPE);
    }
    const bool device_descriptor = c.bRequestType == USB_DIR_IN && c.bRequest == USB_REQ_GET_DESCRIPTOR &&
                                   c.wValue == USB_DT_DEVICE << 8;
    return device_descriptor ? DeviceDescriptor(a, data, length) : Fail(EPIPE);
}

int Bulk(const Adapter& a, OpenDevice& dev, const usbdevfs_bulktransfer& b, int length) {
    if (!a.bulk) return Fail(ENOENT);
    if (length > 0 && !b.data) return Fail(EFAULT);
    return a.bulk(dev, b.ep, static_cast<uint8_t*>(b.data), length);
}

int UsbIoctl(const Adapter& a, OpenDevice& dev, unsigned long request, void* arg) {
    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE) {
        return *static_cast<unsigned*>(arg) == 0 ? 0 : Fail(ENOENT);
    }
    if (request != USBDEVFS_CONTROL && request != USBDEVFS_BULK) return Fail(ENOTTY);
    const auto fault = UsbFault(UsbState(dev.chip).usb.fault);
    if (fault == UsbFault::TimeOut) return Fail(ETIMEDOUT);
    if (fault == UsbFault::Silent) return 0;
    // A short transfer: the last byte does not make it, either way.
    const auto moved = [fault](int length) { return fault == UsbFault::Short && length > 0 ? length - 1 : length; };
    if (request == USBDEVFS_CONTROL) {
        const auto& c = *static_cast<usbdevfs_ctrltransfer*>(arg);
        return Control(a, dev, c, moved(c.wLength));
    }
    const auto& b = *static_cast<usbdevfs_bulktransfer*>(arg);
    // Far above what either adapter takes in one transfer.
    if (b.len > 4096) return Fail(EINVAL);
    return Bulk(a, dev, b, moved(int(b.len)));
}

}  // namespace

int KxusbIoctl(OpenDevice& dev, unsigned long request, void* arg) { return UsbIoctl(kKdt, dev, request, arg); }
int DimaxIoctl(OpenDevice& dev, unsigned long request, void* arg) { return UsbIoctl(kDimax, dev, request, arg); }
int UnknownUsbIoctl(OpenDevice& dev, unsigned long request, void* arg) {
    return UsbIoctl(kUnknown, dev, request, arg);
}

}  // namespace detail
}  // namespace kxsim
