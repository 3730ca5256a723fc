// The device kinds of the simulated driver: one row per device file it
// serves, with what the file's ioctl and mmap do. A new kind is one row in
// kDeviceKinds and its handlers in a file of their own. Every device file
// opened is a fresh descriptor of the chip's image; flock on it takes the
// device's own lock (driver.cpp), the same for every kind.
#ifndef KXSIM_DEVICES_H
#define KXSIM_DEVICES_H

#include <sys/types.h>

#include <cstddef>

#include "sim.h"

namespace kxsim {
namespace detail {

// One open device file.
struct OpenDevice {
    Chip& chip;
    int fd;  // of the image
};

struct DeviceKind {
    const char* const* name;  // the full path under "/dev/kdt"
    Family family;
    // The driver's requests; null: the device takes none (ENOTTY). Called
    // with a non-null argument.
    int (*ioctl)(OpenDevice& dev, unsigned long request, void* arg);
    // Mappings of the device file; null: it maps nothing (ENODEV).
    void* (*mmap)(OpenDevice& dev, void* addr, size_t length, int prot, int flags, off_t offset);
};

// Handlers, one file per transport.
int PciIoctl(OpenDevice& dev, unsigned long request, void* arg);                                 // dev_pci.cpp
void* PciMmap(OpenDevice& dev, void* addr, size_t length, int prot, int flags, off_t offset);   // dev_pci.cpp
void* PpcMmap(OpenDevice& dev, void* addr, size_t length, int prot, int flags, off_t offset);   // dev_pci.cpp
int PciconfIoctl(OpenDevice& dev, unsigned long request, void* arg);                             // dev_pciconf.cpp
int CalbrIoctl(OpenDevice& dev, unsigned long request, void* arg);                               // dev_calbr.cpp
int KifIoctl(OpenDevice& dev, unsigned long request, void* arg);                                 // dev_kif.cpp

// -1 with errno set, for handlers.
int Fail(int err);

// The devices served, in listing order. A row's place also names its lock.
inline const DeviceKind kDeviceKinds[] = {
    {&kZorvanPciName, Family::Zorvan, PciIoctl, PciMmap},
    {&kZorvanPciconfName, Family::Zorvan, PciconfIoctl, nullptr},
    {&kZorvanCalbrName, Family::Zorvan, CalbrIoctl, nullptr},
    {&kZorvanKifName, Family::Zorvan, KifIoctl, nullptr},
    {&kZorvanPpcName, Family::Zorvan, nullptr, PpcMmap},
    {&kDevI2cName, Family::Zorvan, nullptr, nullptr},
    {&kDuvraPciName, Family::Duvra, PciIoctl, PciMmap},
    {&kDuvraPciconfName, Family::Duvra, PciconfIoctl, nullptr},
    {&kZorvanI2cmName, Family::Zorvan, PciconfIoctl, nullptr},
    {&kDuvraI2cmName, Family::Duvra, PciconfIoctl, nullptr},
};

}  // namespace detail
}  // namespace kxsim

#endif  // KXSIM_DEVICES_H
