// The simulated kernel driver: serves the chip's device files under
// "/dev/kdt" through kxcr's OS table and passes everything else to libc.
//
// Each device file opened is a fresh descriptor of the chip's image, so
// mmap, flock and close work on it as on a real file. The window ("pci")
// maps the image's CR region directly: loads and stores in it are plain
// memory with no bus side effects (no lock bit taken, no operation
// started), which is what a window gives on hardware too.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chip_access.h"
#include "kdt_calbr.h"
#include "kdt_pci.h"
#include "kdt_pciconf.h"
#include "kxcr_kif.h"
#include "kxcr_os.h"
#include "sim.h"

namespace kxsim {
namespace {

enum class Device { Pci, Pciconf, Calbr, Kif, Ppc, DevI2c };

struct Served {
    const char* const* name;
    Family family;
    Device device;
};

const Served kServed[] = {
    {&kZorvanPciName, Family::Zorvan, Device::Pci},
    {&kZorvanPciconfName, Family::Zorvan, Device::Pciconf},
    {&kZorvanCalbrName, Family::Zorvan, Device::Calbr},
    {&kZorvanKifName, Family::Zorvan, Device::Kif},
    {&kZorvanPpcName, Family::Zorvan, Device::Ppc},
    {&kDevI2cName, Family::Zorvan, Device::DevI2c},
    {&kDuvraPciName, Family::Duvra, Device::Pci},
    {&kDuvraPciconfName, Family::Duvra, Device::Pciconf},
};

constexpr char kDir[] = "/dev/kdt";
constexpr size_t kDirLen = sizeof(kDir) - 1;
constexpr off_t kPpcPagesOffset = 4096;

struct Listing {
    std::vector<std::string> names;
    size_t next = 0;
};

struct Driver {
    Chip* chip = nullptr;
    std::map<int, Device> fds;
    std::map<void*, std::unique_ptr<Listing>> listings;
};

Driver& driver() {
    static Driver d;
    return d;
}

int Fail(int err) {
    errno = err;
    return -1;
}

const Device* Ours(int fd) {
    auto it = driver().fds.find(fd);
    return it != driver().fds.end() ? &it->second : nullptr;
}

bool UnderDir(const char* path) { return std::strncmp(path, kDir, kDirLen) == 0 && path[kDirLen] == '/'; }

int SimOpen(const char* path, int flags) {
    if (!UnderDir(path)) return open(path, flags, 0666);  // the mode matters only with O_CREAT
    Chip* chip = driver().chip;
    for (const Served& s : kServed) {
        if (s.family != chip->family() || std::strcmp(path, *s.name) != 0) continue;
        int fd = open(ChipAccess::image(*chip).path().c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) driver().fds[fd] = s.device;
        return fd;
    }
    return Fail(ENOENT);
}

int SimClose(int fd) {
    driver().fds.erase(fd);
    return close(fd);
}

// The chip's three write-flush slots go to live processes, one each; a slot
// whose process has gone is given out again.
int FlushSlot(uint32_t* slot) {
    detail::Image& image = ChipAccess::image(*driver().chip);
    detail::Image::BusLock lock(image);
    int32_t* pids = image.header().flush_slot_pids;
    pid_t me = getpid();
    auto* end = pids + detail::kFlushSlots;
    int32_t* mine = std::find(pids, end, me);
    if (mine == end) {
        mine = std::find_if(pids, end, [](int32_t pid) { return pid == 0 || (kill(pid, 0) != 0 && errno == ESRCH); });
    }
    if (mine == end) return Fail(EBUSY);
    *mine = me;
    *slot = uint32_t(mine - pids);
    return 0;
}

int PciRequest(unsigned long request, void* arg) {
    if (request == KDT_IOC_PCI_PARAMS) {
        *static_cast<kdt_pci_params_st*>(arg) = kdt_pci_params_st{0xF0000000ull, detail::kCrBytes};
        return 0;
    }
    if (request == KDT_IOC_PELLIK_SLOT) return FlushSlot(static_cast<uint32_t*>(arg));
    return Fail(ENOTTY);
}

int PciconfRequest(unsigned long request, void* arg) {
    Chip* chip = driver().chip;
    if (request == KDT_IOC_READ4) {
        auto* r = static_cast<kdt_read4_st*>(arg);
        return chip->Read(r->offset, &r->data) ? 0 : -1;
    }
    if (request == KDT_IOC_WRITE4) {
        auto* w = static_cast<kdt_write4_st*>(arg);
        return chip->Write(w->offset, w->data) ? 0 : -1;
    }
    return Fail(ENOTTY);
}

// One Calibre transaction. A slave that does not answer moves nothing; the
// request itself succeeds and the counts tell.
int CalbrRequest(unsigned long request, void* arg) {
    if (request != KDT_IOC_TRANS) return Fail(ENOTTY);
    auto* t = static_cast<kdt_trans_st*>(arg);
    if (t->wr_size > sizeof t->wr_buff || t->rd_size > sizeof t->rd_buff) return Fail(EINVAL);
    int wr = 0, rd = 0;
    driver().chip->I2cTransaction(t->slv_addr, t->wr_buff, int(t->wr_size), t->rd_buff,
                                  int(t->rd_size), &wr, &rd);
    t->wr_count = uint32_t(wr);
    t->rd_count = uint32_t(rd);
    return 0;
}

// The address phase of the request's form, most significant byte first.
int AddressPhase(DType dtype, uint32_t offset, uint8_t* buf) {
    int n = dtype == KDT_ZORVAN ? 4 : dtype == KDT_DUVRA ? 2 : dtype == KDT_DIMM ? 1 : 0;
    for (int i = 0; i < n; ++i) buf[i] = uint8_t(offset >> (8 * (n - 1 - i)));
    return n;
}

// KREAD64/KWRITE64: up to 64 bytes through the chip's I2C slave. Returns the
// data bytes moved; a slave that does not answer fails with ENXIO.
int KifI2c(const kif_param_st& p) {
    if (p.len < 0 || p.len > 64 || !p.buf) return Fail(EINVAL);
    uint8_t wr[4 + 64];
    int phase = AddressPhase(p.dtype, uint32_t(p.offset), wr);
    bool write = p.cmd == KWRITE64;
    if (write) std::memcpy(wr + phase, p.buf, size_t(p.len));
    int wr_count = 0, rd_count = 0;
    bool answered = driver().chip->I2cTransaction(p.addr, wr, phase + (write ? p.len : 0),
                                                  static_cast<uint8_t*>(p.buf), write ? 0 : p.len,
                                                  &wr_count, &rd_count);
    if (!answered) return Fail(ENXIO);
    return write ? std::max(0, wr_count - phase) : rd_count;
}

int KifRequest(unsigned long request, void* arg) {
    auto* p = static_cast<kif_param_st*>(arg);
    Chip* chip = driver().chip;
    switch (request) {
    case KREAD4:
        if (p->len != 4 || !p->buf) return Fail(EINVAL);
        return chip->Read(uint32_t(p->offset), static_cast<uint32_t*>(p->buf)) ? 4 : -1;
    case KWRITE4:
        if (p->len != 4 || !p->buf) return Fail(EINVAL);
        return chip->Write(uint32_t(p->offset), *static_cast<const uint32_t*>(p->buf)) ? 4 : -1;
    case KREAD64:
    case KWRITE64:
        return KifI2c(*p);
    default:
        return Fail(ENOTTY);
    }
}

int SimIoctl(int fd, unsigned long request, void* arg) {
    const Device* dev = Ours(fd);
    if (!dev) return ioctl(fd, request, arg);
    if (!arg) return Fail(EFAULT);
    switch (*dev) {
    case Device::Pci: return PciRequest(request, arg);
    case Device::Pciconf: return PciconfRequest(request, arg);
    case Device::Calbr: return CalbrRequest(request, arg);
    case Device::Kif: return KifRequest(request, arg);
    default: return Fail(ENOTTY);
    }
}

// The window maps the CR region of the image; the ppc device hands out
// driver pages from offset 4096, modelled as shared anonymous memory.
void* SimMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    const Device* dev = Ours(fd);
    if (!dev) return mmap(addr, length, prot, flags, fd, offset);
    if (*dev == Device::Pci && offset >= 0 && offset % 4096 == 0 &&
        uint64_t(offset) + length <= detail::kCrBytes) {
        return mmap(addr, length, prot, flags, fd, detail::Image::kCrOffset + offset);
    }
    if (*dev == Device::Ppc && offset == kPpcPagesOffset) {
        return mmap(addr, length, prot, flags | MAP_ANONYMOUS, -1, 0);
    }
    errno = *dev == Device::Pci || *dev == Device::Ppc ? EINVAL : ENODEV;
    return MAP_FAILED;
}

int SimMunmap(void* addr, size_t length) { return munmap(addr, length); }
int SimFlock(int fd, int operation) { return flock(fd, operation); }

bool IsDir(const char* path) {
    return std::strncmp(path, kDir, kDirLen) == 0 && (path[kDirLen] == 0 || std::strcmp(path + kDirLen, "/") == 0);
}

void* SimOpendir(const char* path) {
    if (!IsDir(path)) return opendir(path);
    auto listing = std::make_unique<Listing>();
    for (const Served& s : kServed) {
        if (s.family == driver().chip->family()) listing->names.push_back(*s.name + kDirLen + 1);
    }
    void* handle = listing.get();
    driver().listings[handle] = std::move(listing);
    return handle;
}

const char* SimReaddir(void* dir) {
    auto it = driver().listings.find(dir);
    if (it == driver().listings.end()) {
        dirent* entry = readdir(static_cast<DIR*>(dir));
        return entry ? entry->d_name : nullptr;
    }
    Listing& l = *it->second;
    return l.next < l.names.size() ? l.names[l.next++].c_str() : nullptr;
}

int SimClosedir(void* dir) {
    if (driver().listings.erase(dir)) return 0;
    return closedir(static_cast<DIR*>(dir));
}

const kxcr_os_ops kOps = {SimOpen,  SimClose, SimIoctl,   SimMmap,    SimMunmap,
                          SimFlock, SimOpendir, SimReaddir, SimClosedir,
                          dlopen,   dlsym,    dlclose,    dlerror};

}  // namespace

void InstallDriver(Chip* chip) {
    driver().chip = chip;
    driver().fds.clear();
    driver().listings.clear();
    kxcr_set_os(&kOps);
}

void UninstallDriver() {
    kxcr_set_os(nullptr);
    driver().chip = nullptr;
    driver().fds.clear();
    driver().listings.clear();
}

}  // namespace kxsim
