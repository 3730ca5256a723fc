// What the simulated USB adapters share: the firmware of each adapter
// (dev_usb_kdt.cpp, dev_usb_dimax.cpp) behind the usbdevfs layer
// (dev_usb.cpp), and their state in the image.
#ifndef KXSIM_USB_ADAPTER_H
#define KXSIM_USB_ADAPTER_H

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cstdint>

#include "chip_access.h"
#include "devices.h"

namespace kxsim {
namespace detail {

// The adapters' knobs and state, with the bus lock held while it lives: the
// adapter is one device for every process that opens it.
struct UsbState {
    explicit UsbState(Chip& chip) : image(ChipAccess::image(chip)), lock(image), usb(image.header().usb) {}
    Image& image;
    Image::BusLock lock;
    UsbAdapters& usb;
};

// A vendor control request with `length` bytes of data stage at `data`:
// the bytes moved, or -1 with errno (EPIPE: the adapter stalls it).
int KdtControl(OpenDevice& dev, const usbdevfs_ctrltransfer& c, uint8_t* data, int length);
// A bulk transfer of `length` bytes at `data` on endpoint `ep`.
int DimaxBulk(OpenDevice& dev, unsigned ep, uint8_t* data, int length);

}  // namespace detail
}  // namespace kxsim

#endif  // KXSIM_USB_ADAPTER_H
