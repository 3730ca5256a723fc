// The window devices: "pci" maps the image's CR region and gives out the
// chip's write-flush slots; "ppc" hands out driver pages.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "chip_access.h"
#include "devices.h"
#include "kdt_pci.h"

namespace kxsim {
namespace detail {
namespace {

constexpr off_t kPpcPagesOffset = 4096;

// The chip's three write-flush slots go to live processes, one each; a slot
// whose process has gone is given out again.
int FlushSlot(Chip& chip, uint32_t* slot) {
    Image& image = ChipAccess::image(chip);
    Image::BusLock lock(image);
    int32_t* pids = image.header().flush_slot_pids;
    pid_t me = getpid();
    auto* end = pids + kFlushSlots;
    int32_t* mine = std::find(pids, end, me);
    if (mine == end) {
        mine = std::find_if(pids, end, [](int32_t pid) { return pid == 0 || (kill(pid, 0) != 0 && errno == ESRCH); });
    }
    if (mine == end) return Fail(EBUSY);
    *mine = me;
    *slot = uint32_t(mine - pids);
    return 0;
}

void* NoMapping(int err) {
    errno = err;
    return MAP_FAILED;
}

}  // namespace

int PciIoctl(OpenDevice& dev, unsigned long request, void* arg) {
    if (request == KDT_IOC_PCI_PARAMS) {
        *static_cast<kdt_pci_params_st*>(arg) = kdt_pci_params_st{0xF0000000ull, kCrBytes};
        return 0;
    }
    if (request == KDT_IOC_PELLIK_SLOT) return FlushSlot(dev.chip, static_cast<uint32_t*>(arg));
    return Fail(ENOTTY);
}

// Loads and stores in the window are plain memory with no bus side effects
// (no lock bit taken, no operation started), as a window gives on hardware.
void* PciMmap(OpenDevice& dev, void* addr, size_t length, int prot, int flags, off_t offset) {
    if (offset < 0 || offset % 4096 != 0 || uint64_t(offset) + length > kCrBytes) return NoMapping(EINVAL);
    return mmap(addr, length, prot, flags, dev.fd, Image::kCrOffset + offset);
}

// Driver pages, modelled as shared anonymous memory, come from offset 4096
// only.
void* PpcMmap(OpenDevice&, void* addr, size_t length, int prot, int flags, off_t offset) {
    if (offset != kPpcPagesOffset) return NoMapping(EINVAL);
    return mmap(addr, length, prot, flags | MAP_ANONYMOUS, -1, 0);
}

}  // namespace detail
}  // namespace kxsim
