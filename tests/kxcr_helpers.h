// What the transport suites share against the simulated chip behind its
// simulated driver: a record of the driver requests kxcr makes.
#ifndef TESTS_KXCR_HELPERS_H
#define TESTS_KXCR_HELPERS_H

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kdt_calbr.h"
#include "kdt_pci.h"
#include "kxcr.h"
#include "kxcr_kif.h"
#include "kxcr_os.h"
#include "sim_helpers.h"

namespace kxcrtest {

using kxsim::Access;
using kxsim::Family;
using simtest::DriverChip;
using simtest::Fails;
using simtest::Handle;
using simtest::OpenHandle;
using simtest::Outcome;
using simtest::Show;
using simtest::Try;
using Traffic = std::vector<Access>;

// Stands between kxcr and the simulated driver: counts the descriptors and
// mappings kxcr leaves open, fails one chosen request or the mapping, hands
// out another flush slot than the driver's when `slot` is not 0, and notes
// the requests made: "4" a word, "t<written>/<read> " a Calibre
// transaction, "R<len> " a kif block read.
struct Tracker {
    static inline const kxcr_os_ops* inner;
    static inline std::string log;
    static inline int fds, maps, fail_errno;
    static inline unsigned long fail_request;
    static inline uint32_t slot;
    static inline bool fail_mmap;
    kxcr_os_ops ops;

    Tracker() : ops(*kxcr_os()) {
        inner = kxcr_os();
        fds = maps = 0, fail_request = slot = 0, fail_mmap = false;
        log.clear();
        ops.open = [](const char* path, int flags) {
            const int fd = inner->open(path, flags);
            return fds += fd >= 0, fd;
        };
        ops.close = [](int fd) { return --fds, inner->close(fd); };
        ops.ioctl = [](int fd, unsigned long request, void* arg) {
            const auto* t = static_cast<const kdt_trans_st*>(arg);
            log += request == KDT_IOC_TRANS ? "t" + std::to_string(t->wr_size) + "/" + std::to_string(t->rd_size) + " "
                   : request == KREAD64    ? "R" + std::to_string(static_cast<const kif_param_st*>(arg)->len) + " "
                                           : "4";
            if (request == fail_request) return errno = fail_errno, -1;
            const int rc = inner->ioctl(fd, request, arg);
            if (request == KDT_IOC_PELLIK_SLOT && slot) *static_cast<uint32_t*>(arg) = slot;
            return rc;
        };
        ops.mmap = [](void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
            if (fail_mmap) return errno = fail_errno, MAP_FAILED;
            void* mapped = inner->mmap(addr, length, prot, flags, fd, offset);
            return maps += mapped != MAP_FAILED, mapped;
        };
        ops.munmap = [](void* addr, size_t length) { return --maps, inner->munmap(addr, length); };
        kxcr_set_os(&ops);
    }
    ~Tracker() { kxcr_set_os(inner); }
};

// A 64-byte transfer of `length` bytes at 0x500, reading or writing.
inline std::function<long(kfile*)> Transfer64(bool write, int length) {
    static uint8_t bytes[65];
    return [write, length](kfile* mf) {
        return write ? kwrite64(mf, 0x500, bytes, length) : kread64(mf, 0x500, bytes, length);
    };
}

}  // namespace kxcrtest

#endif  // TESTS_KXCR_HELPERS_H
