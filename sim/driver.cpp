// The simulated kernel driver: serves the chip's device files under
// "/dev/kdt" through kxcr's OS table and passes everything else to libc.
//
// Each device file opened is a fresh descriptor of the chip's image, so
// mmap, flock and close work on it as on a real file; what ioctl and mmap do
// is the device kind's (devices.h). flock takes the device's own lock: a
// record lock of the open file description on one byte of the image, the
// device's row number. Such locks behave like flock (held by the open file,
// shared across fork, dropped at its last close) but are independent of the
// image's own flock and of the other devices' bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chip_access.h"
#include "devices.h"
#include "kxcr_os.h"
#include "sim.h"

namespace kxsim {
namespace {

using detail::DeviceKind;
using detail::Fail;
using detail::kDeviceKinds;

constexpr char kDir[] = "/dev/kdt";
constexpr size_t kDirLen = sizeof(kDir) - 1;

struct Listing {
    std::vector<std::string> names;
    size_t next = 0;
};

struct Driver {
    Chip* chip = nullptr;
    std::map<int, const DeviceKind*> fds;
    std::map<void*, std::unique_ptr<Listing>> listings;
};

Driver& driver() {
    static Driver d;
    return d;
}

const DeviceKind* Ours(int fd) {
    auto it = driver().fds.find(fd);
    return it != driver().fds.end() ? it->second : nullptr;
}

bool Served(const DeviceKind& kind) { return kind.family == driver().chip->family(); }

bool UnderDir(const char* path) { return std::strncmp(path, kDir, kDirLen) == 0 && path[kDirLen] == '/'; }

int SimOpen(const char* path, int flags) {
    if (!UnderDir(path)) return open(path, flags, 0666);  // the mode matters only with O_CREAT
    for (const DeviceKind& kind : kDeviceKinds) {
        if (!Served(kind) || std::strcmp(path, *kind.name) != 0) continue;
        int fd = open(ChipAccess::image(*driver().chip).path().c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) driver().fds[fd] = &kind;
        return fd;
    }
    return Fail(ENOENT);
}

int SimClose(int fd) {
    driver().fds.erase(fd);
    return close(fd);
}

int SimIoctl(int fd, unsigned long request, void* arg) {
    const DeviceKind* kind = Ours(fd);
    if (!kind) return ioctl(fd, request, arg);
    if (!arg) return Fail(EFAULT);
    if (!kind->ioctl) return Fail(ENOTTY);
    detail::OpenDevice dev{*driver().chip, fd};
    return kind->ioctl(dev, request, arg);
}

void* SimMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    const DeviceKind* kind = Ours(fd);
    if (!kind) return mmap(addr, length, prot, flags, fd, offset);
    if (!kind->mmap) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    detail::OpenDevice dev{*driver().chip, fd};
    return kind->mmap(dev, addr, length, prot, flags, offset);
}

int SimMunmap(void* addr, size_t length) { return munmap(addr, length); }

int SimFlock(int fd, int operation) {
    const DeviceKind* kind = Ours(fd);
    if (!kind) return flock(fd, operation);
    struct flock lock {};
    switch (operation & ~LOCK_NB) {
    case LOCK_SH: lock.l_type = F_RDLCK; break;
    case LOCK_EX: lock.l_type = F_WRLCK; break;
    case LOCK_UN: lock.l_type = F_UNLCK; break;
    default: return Fail(EINVAL);
    }
    lock.l_whence = SEEK_SET;
    lock.l_start = kind - kDeviceKinds;
    lock.l_len = 1;
    if (fcntl(fd, operation & LOCK_NB ? F_OFD_SETLK : F_OFD_SETLKW, &lock) == 0) return 0;
    // A record lock refused may say EACCES; flock says EWOULDBLOCK.
    return Fail(errno == EACCES ? EWOULDBLOCK : errno);
}

bool IsDir(const char* path) {
    return std::strncmp(path, kDir, kDirLen) == 0 && (path[kDirLen] == 0 || std::strcmp(path + kDirLen, "/") == 0);
}

void* SimOpendir(const char* path) {
    if (!IsDir(path)) return opendir(path);
    auto listing = std::make_unique<Listing>();
    for (const DeviceKind& kind : kDeviceKinds) {
        if (Served(kind)) listing->names.push_back(*kind.name + kDirLen + 1);
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

// The table in force when the driver is installed, with the device calls
// replaced: any other call keeps its handler.
const kxcr_os_ops* Table() {
    static kxcr_os_ops ops;
    if (kxcr_os() != &ops) ops = *kxcr_os();
    ops.open = SimOpen;
    ops.close = SimClose;
    ops.ioctl = SimIoctl;
    ops.mmap = SimMmap;
    ops.munmap = SimMunmap;
    ops.flock = SimFlock;
    ops.opendir = SimOpendir;
    ops.readdir = SimReaddir;
    ops.closedir = SimClosedir;
    return &ops;
}

}  // namespace

void InstallDriver(Chip* chip) {
    driver().chip = chip;
    driver().fds.clear();
    driver().listings.clear();
    kxcr_set_os(Table());
}

void UninstallDriver() {
    kxcr_set_os(nullptr);
    driver().chip = nullptr;
    driver().fds.clear();
    driver().listings.clear();
}

}  // namespace kxsim
