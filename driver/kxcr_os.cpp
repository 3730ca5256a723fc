// The libc table behind kxcr_os(): the only place where the library calls
// the operating system for device access and run-time loading.
#include "kxcr_os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int libc_open(const char* path, int flags) { return ::open(path, flags); }

int libc_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

void* libc_opendir(const char* path) { return ::opendir(path); }

const char* libc_readdir(void* dir) {
    const dirent* entry = ::readdir(static_cast<DIR*>(dir));
    return entry ? entry->d_name : nullptr;
}

int libc_closedir(void* dir) { return ::closedir(static_cast<DIR*>(dir)); }

const kxcr_os_ops libc_ops = {
    libc_open, ::close, libc_ioctl, ::mmap, ::munmap, ::flock,
    libc_opendir, libc_readdir, libc_closedir,
    ::dlopen, ::dlsym, ::dlclose, ::dlerror,
};

const kxcr_os_ops* current_ops = &libc_ops;

}  // namespace

const kxcr_os_ops* kxcr_os(void) { return current_ops; }

void kxcr_set_os(const kxcr_os_ops* ops) { current_ops = ops ? ops : &libc_ops; }
