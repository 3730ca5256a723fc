// The shape every transport suite shares, against the simulated chip behind
// its simulated driver: open -> access -> close, then one row per refused
// open and per refused call.
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
using simtest::Show;
using simtest::Try;
using Traffic = std::vector<Access>;

// Stands between kxcr and the simulated driver: counts the descriptors and
// mappings kxcr leaves open, fails one chosen request or the mapping, and
// notes the requests made: "4" a word, "t<written>/<read> " a Calibre
// transaction, "R<len> " a kif block read.
struct Tracker {
    static inline const kxcr_os_ops* inner;
    static inline std::string log;
    static inline int fds, maps, fail_errno;
    static inline unsigned long fail_request;
    static inline bool fail_mmap;
    kxcr_os_ops ops;

    Tracker() : ops(*kxcr_os()) {
        inner = kxcr_os();
        fds = maps = 0;
        fail_request = 0;
        fail_mmap = false;
        log.clear();
        ops.open = [](const char* path, int flags) {
            const int fd = inner->open(path, flags);
            fds += fd >= 0;
            return fd;
        };
        ops.close = [](int fd) { return --fds, inner->close(fd); };
        ops.ioctl = [](int fd, unsigned long request, void* arg) {
            const auto* t = static_cast<const kdt_trans_st*>(arg);
            log += request == KDT_IOC_TRANS ? "t" + std::to_string(t->wr_size) + "/" + std::to_string(t->rd_size) + " "
                   : request == KREAD64    ? "R" + std::to_string(static_cast<const kif_param_st*>(arg)->len) + " "
                                           : "4";
            if (request != fail_request) return inner->ioctl(fd, request, arg);
            return errno = fail_errno, -1;
        };
        ops.mmap = [](void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
            if (fail_mmap) return errno = fail_errno, MAP_FAILED;
            void* mapped = inner->mmap(addr, length, prot, flags, fd, offset);
            maps += mapped != MAP_FAILED;
            return mapped;
        };
        ops.munmap = [](void* addr, size_t length) { return --maps, inner->munmap(addr, length); };
        kxcr_set_os(&ops);
    }
    ~Tracker() { kxcr_set_os(inner); }
};

// How a transport reaches the chip's words.
enum class Path { kNone, kWindow, kBus };

struct Lifecycle {
    Family family;
    const char* name;
    DType dtype;
    KType tp;
    DType itype;
    unsigned char slave;
    int flags;
    Path path;
};

// Open sets the handle from the name and the address type; a misaligned
// access is refused before anything reaches the chip; a write and a read
// reach the chip's word in the family's byte order (the chip keeps the
// window's words in it), one bus access each, none through a window (a plain
// mapping); close leaves no descriptor or mapping behind.
inline void OpenAccessClose(const Lifecycle& row) {
    SCOPED_TRACE(row.name);
    DriverChip sim(row.family);
    Tracker tracker;
    Handle mf = OpenHandle(row.name, row.dtype);
    ASSERT_TRUE(mf) << strerror(errno);
    EXPECT_EQ(mf->tp, row.tp);
    EXPECT_EQ(mf->dtype, row.dtype);
    EXPECT_EQ(mf->itype, row.itype);
    EXPECT_EQ(mf->is_i2cm, 0);
    EXPECT_EQ(mf->i2c_slave, row.slave);
    EXPECT_EQ(mf->flags, row.flags);
    EXPECT_EQ(mf->sock, -1);
    EXPECT_EQ(mf->ptr != nullptr, row.path == Path::kWindow);
    EXPECT_EQ(mf->pellik_wa_slot, 0u);

    sim.chip->ClearTraffic();
    u_int32_t value = 0xAAAA;
    EXPECT_EQ(Try([&] { return kread4(mf.get(), 0x302, &value); }), Fails(EINVAL));
    EXPECT_EQ(Try([&] { return kwrite4(mf.get(), 0x301, 1); }), Fails(EINVAL));
    EXPECT_EQ(value, 0xAAAAu);
    if (row.path != Path::kNone) {
        EXPECT_EQ(kwrite4(mf.get(), 0x300, 0x11223344), 4);
        EXPECT_EQ(sim.chip->Peek(0x300), 0x11223344u);
        sim.chip->Poke(0x304, 0xCAFEF00D);
        EXPECT_EQ(kread4(mf.get(), 0x304, &value), 4);
        EXPECT_EQ(value, 0xCAFEF00Du);
    }
    const Traffic bus = {{'W', 0x300, 0x11223344}, {'R', 0x304, 0xCAFEF00D}};
    EXPECT_EQ(Show(sim.chip->Traffic()), Show(row.path == Path::kBus ? bus : Traffic{}));
    EXPECT_EQ(kclose(mf.release()), 0);
    EXPECT_EQ(Tracker::fds, 0);
    EXPECT_EQ(Tracker::maps, 0);
}

// An open that the driver fails at `fail_request` or at the mapping (0 and
// false: the name alone fails it) gives null with `err` and leaves no
// descriptor or mapping behind.
struct FailedOpen {
    std::string name;
    unsigned long fail_request;
    bool fail_mmap;
    int err;
};

inline void ExpectFailedOpens(const std::vector<FailedOpen>& rows, uint32_t id = 0) {
    for (const FailedOpen& row : rows) {
        SCOPED_TRACE(row.name + " failing " + strerror(row.err));
        DriverChip sim;
        ASSERT_TRUE(sim.chip);
        sim.chip->Poke(0xF0014, id);
        Tracker tracker;
        Tracker::fail_request = row.fail_request;
        Tracker::fail_mmap = row.fail_mmap;
        Tracker::fail_errno = row.err;
        EXPECT_EQ(Try([&] { return kopen(row.name.c_str()); }), Fails(row.err));
        EXPECT_EQ(Tracker::fds, 0);
        EXPECT_EQ(Tracker::maps, 0);
    }
}

// A call on a handle of `name` that gives -1 with the errno naming the
// cause; nothing reaches the chip's bus.
struct Refusal {
    const char* what;
    const char* name;
    std::function<long(kfile*)> call;
    int err;
};

inline void ExpectRefusals(DriverChip& sim, const std::vector<Refusal>& rows) {
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.what);
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        EXPECT_EQ(Try([&] { return row.call(mf.get()); }), Fails(row.err));
        EXPECT_EQ(Show(sim.chip->Traffic()), "");
    }
}

// A 64-byte transfer of `length` bytes at 0x500, reading or writing.
inline std::function<long(kfile*)> Transfer64(bool write, int length) {
    return [write, length](kfile* mf) {
        static uint8_t bytes[65];
        return write ? kwrite64(mf, 0x500, bytes, length) : kread64(mf, 0x500, bytes, length);
    };
}

// 64 bytes written and read back: they travel in address order, each word
// most significant byte first.
inline void WriteAndReadBack64(const char* name) {
    DriverChip sim;
    Handle mf = OpenHandle(name);
    ASSERT_TRUE(mf);
    uint8_t out[64];
    for (int i = 0; i < 64; ++i) out[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(kwrite64(mf.get(), 0x500, out, 64), 64);
    EXPECT_EQ(sim.chip->Peek(0x500), 0x00010203u);
    EXPECT_EQ(sim.chip->Peek(0x53C), 0x3C3D3E3Fu);
    uint8_t in[64] = {};
    EXPECT_EQ(kread64(mf.get(), 0x500, in, 64), 64);
    EXPECT_EQ(memcmp(in, out, 64), 0);
}

}  // namespace kxcrtest

#endif  // TESTS_KXCR_HELPERS_H
