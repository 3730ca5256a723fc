/*
 * The one table through which kxcr reaches the operating system for device
 * access and for the libraries it loads at run time. Its default is libc; a
 * simulated kernel driver installs its own table to stand in for the real
 * one, and a test double of a loaded library does the same. Nothing else in the library knows
 * whether it talks to a real or a simulated driver.
 */
#ifndef KXCR_OS_H
#define KXCR_OS_H

#include <stddef.h>
#include <sys/types.h>

/* Everything declared here is the shared library's interface; the rest of
 * the library is built hidden. */
#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

struct kxcr_os_ops {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, size_t length);
    int (*flock)(int fd, int operation);
    /* Directory listing: opendir gives an opaque stream or NULL, readdir the
     * next entry name or NULL at the end. */
    void* (*opendir)(const char* path);
    const char* (*readdir)(void* dir);
    int (*closedir)(void* dir);
    /* Run-time loading of a shared library, as dlopen, dlsym, dlclose and
     * dlerror. */
    void* (*dlopen)(const char* file, int mode);
    void* (*dlsym)(void* handle, const char* name);
    int (*dlclose)(void* handle);
    char* (*dlerror)(void);
};

/* The table in force. */
const struct kxcr_os_ops* kxcr_os(void);
/* Installs a table; NULL restores the libc default. */
void kxcr_set_os(const struct kxcr_os_ops* ops);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif /* KXCR_OS_H */
