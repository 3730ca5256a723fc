// kxcr end to end against the simulated chip behind its simulated kernel
// driver: open/close, every local transport, the write-flush workaround, a
// gateway transaction driven by hand, and two processes sharing one chip.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "kdt_pci.h"
#include "kxcr.h"
#include "kxcr_os.h"
#include "server_helpers.h"
#include "sim_helpers.h"

namespace {

using kxsim::Access;
using kxsim::Family;
using simtest::DriverChip;
using simtest::Fails;
using simtest::Handle;
using simtest::OpenHandle;
using simtest::Show;
using simtest::Try;
using Traffic = std::vector<Access>;

constexpr uint32_t kPellikId = 0x00B10017;
constexpr uint32_t kLock = 0x80000000;

// Stands between kxcr and the simulated driver: counts the descriptors and
// mappings kxcr leaves open, and fails one chosen request or the mapping.
struct Tracker {
    static inline const kxcr_os_ops* inner;
    static inline int fds, maps, fail_errno;
    static inline unsigned long fail_request;
    static inline bool fail_mmap;
    kxcr_os_ops ops;

    Tracker() : ops(*kxcr_os()) {
        inner = kxcr_os();
        fds = maps = 0;
        ops.open = [](const char* path, int flags) {
            const int fd = inner->open(path, flags);
            fds += fd >= 0;
            return fd;
        };
        ops.close = [](int fd) { return --fds, inner->close(fd); };
        ops.ioctl = [](int fd, unsigned long request, void* arg) {
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

struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name_(name) {
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { unsetenv(name_); }
    const char* name_;
};

// Open sets the handle from the name and the address type; then every local
// transport refuses a misaligned access before anything reaches the chip,
// and reaches the chip's word in the family's byte order (the chip keeps the
// window's words in it) with one bus access per call, none through the
// window (a plain mapping).
TEST(Kxcr, OpenThenAccessEachTransport) {
    enum Path { kNoWindow, kWindow, kBus };
    struct Row {
        Family family;
        const char* name;
        DType dtype;
        KType tp;
        DType itype;
        unsigned char slave;
        int flags;
        Path path;
    };
    const Row rows[] = {
        {Family::Zorvan, kxsim::kZorvanPciName, KDT_ZORVAN, KDT_PCI, KDT_ZORVAN, 0x48, KDEVS_ZORVAN_CR, kWindow},
        {Family::Zorvan, kxsim::kZorvanPciconfName, KDT_ZORVAN, KDT_PCICONF, KDT_ZORVAN, 0x48, KDEVS_ZORVAN_CR, kBus},
        {Family::Zorvan, kxsim::kZorvanCalbrName, KDT_ZORVAN, KDT_CALBR, KDT_ZORVAN, 0x48, KDEVS_I2CM, kBus},
        {Family::Zorvan, kxsim::kZorvanKifName, KDT_ZORVAN, KDT_IF, KDT_ZORVAN, 0x48, KDEVS_IF, kBus},
        {Family::Zorvan, kxsim::kZorvanPpcName, KDT_NOADDR, KDT_PPC, KDT_ZORVAN, 0x5A, KDEVS_PPC, kNoWindow},
        {Family::Duvra, kxsim::kDuvraPciName, KDT_ZORVAN, KDT_PCI, KDT_DUVRA, 0x48, KDEVS_DUVRA, kWindow},
        {Family::Duvra, kxsim::kDuvraPciconfName, KDT_DUVRA, KDT_PCICONF, KDT_DUVRA, 0x5A,
         KDEVS_DUVRA | KDEVS_ZORVAN_CR, kBus},
    };
    const Traffic bus = {{'W', 0x300, 0x11223344}, {'R', 0x304, 0xCAFEF00D}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DriverChip sim(row.family);
        Handle mf = OpenHandle(row.name, row.dtype);
        ASSERT_TRUE(mf) << strerror(errno);
        EXPECT_EQ(mf->tp, row.tp);
        EXPECT_EQ(mf->dtype, row.dtype);
        EXPECT_EQ(mf->itype, row.itype);
        EXPECT_EQ(mf->is_i2cm, 0);
        EXPECT_EQ(mf->i2c_slave, row.slave);
        EXPECT_EQ(mf->flags, row.flags);
        EXPECT_EQ(mf->sock, -1);
        EXPECT_EQ(mf->ptr != nullptr, row.tp == KDT_PCI);
        EXPECT_EQ(mf->pellik_wa_slot, 0u);

        sim.chip->ClearTraffic();
        u_int32_t value = 0xAAAA;
        EXPECT_EQ(Try([&] { return kread4(mf.get(), 0x302, &value); }), Fails(EINVAL));
        EXPECT_EQ(Try([&] { return kwrite4(mf.get(), 0x301, 1); }), Fails(EINVAL));
        EXPECT_EQ(value, 0xAAAAu);
        if (row.path == kNoWindow) continue;
        EXPECT_EQ(kwrite4(mf.get(), 0x300, 0x11223344), 4);
        EXPECT_EQ(sim.chip->Peek(0x300), 0x11223344u);
        sim.chip->Poke(0x304, 0xCAFEF00D);
        EXPECT_EQ(kread4(mf.get(), 0x304, &value), 4);
        EXPECT_EQ(value, 0xCAFEF00Du);
        EXPECT_EQ(Show(sim.chip->Traffic()), Show(row.path == kBus ? bus : Traffic{}));
    }
}

TEST(Kxcr, FailedOpenLeavesNothingBehind) {
    struct Row {
        std::string name;
        unsigned long fail_request;
        bool fail_mmap;
        int err;
    };
    const std::string pci = kxsim::kZorvanPciName;
    const Row rows[] = {
        {"/dev/kdt/kx31001_other0", 0, false, ENOENT},  // no transport token
        {kxsim::kDevI2cName, 0, false, ENOENT},
        {"/dev/kdt/kx31001_pci_cr7", 0, false, ENOENT},  // no such device file
        {"/dev/kdt/kx31001_kxusb0", 0, false, ENOSYS},
        {"lid-5", 0, false, ENOSYS},
        {pci + "_i2cm", 0, false, ENOSYS},
        {pci, KDT_IOC_PCI_PARAMS, false, EIO},
        {pci, 0, true, ENOMEM},
        {pci, KDT_IOC_PELLIK_SLOT, false, EBUSY},  // after the mapping
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + " failing " + strerror(row.err));
        DriverChip sim;
        ASSERT_TRUE(sim.chip);
        sim.chip->Poke(0xF0014, kPellikId);
        Tracker tracker;
        Tracker::fail_request = row.fail_request;
        Tracker::fail_mmap = row.fail_mmap;
        Tracker::fail_errno = row.err;
        EXPECT_EQ(Try([&] { return kopen(row.name.c_str()); }), Fails(row.err));
        EXPECT_EQ(Tracker::fds, 0);
        EXPECT_EQ(Tracker::maps, 0);
    }
}

TEST(Kxcr, DevicesListing) {
    DriverChip sim;
    char buf[1024];
    const int all = kdevices(buf, sizeof buf, KDEVS_ALL);
    std::set<std::string> listed;
    int length = 0;
    for (int i = 0; i < all; ++i) length += listed.insert(buf + length).first->size() + 1;
    EXPECT_EQ(listed, (std::set<std::string>{kxsim::kZorvanPciName, kxsim::kZorvanPciconfName,
                                             kxsim::kZorvanCalbrName, kxsim::kZorvanKifName,
                                             kxsim::kZorvanPpcName, kxsim::kDevI2cName}));
    EXPECT_EQ(kdevices(buf, sizeof buf, 0), 0);
    ASSERT_EQ(kdevices(buf, sizeof buf, KDEVS_PPC), 1);
    EXPECT_STREQ(buf, kxsim::kZorvanPpcName);
    // The listing must stay below len: a buffer exactly as long is too small,
    // and nothing is written at or past len.
    std::vector<char> exact(length + 4, '#');
    EXPECT_EQ(kdevices(exact.data(), length, KDEVS_ALL), -1);
    EXPECT_EQ(std::string(exact.data() + length, 4), "####");
    EXPECT_EQ(kdevices(exact.data(), length + 1, KDEVS_ALL), all);
}

// Each refused call gives -1 with the errno naming the cause, and nothing
// reaches the chip's bus.
TEST(Kxcr, RefusedCalls) {
    DriverChip sim;
    ASSERT_TRUE(sim.chip);
    u_int32_t value = 0;
    uint8_t bytes[65] = {};
    auto block = [&](bool write, int length) {
        return [&bytes, write, length](kfile* mf) {
            return write ? kwrite64(mf, 0x500, bytes, length) : kread64(mf, 0x500, bytes, length);
        };
    };
    struct Row {
        const char* what;
        const char* name;
        std::function<long(kfile*)> call;
        int err;
    };
    const Row rows[] = {
        {"ppc files have no window", kxsim::kZorvanPpcName, [&](kfile* mf) { return kread4(mf, 0x100, &value); },
         EFAULT},
        {"past the window", kxsim::kZorvanPciName, [](kfile* mf) { return kwrite4(mf, mf->map_size, 1); }, EFAULT},
        // The in-chip I2C master a handle asks for is not in this build.
        {"window through the I2C master", kxsim::kZorvanPciName,
         [&](kfile* mf) { return mf->is_i2cm = 1, kread4(mf, 0x100, &value); }, ENOSYS},
        {"driver errno comes up unchanged", kxsim::kZorvanPciconfName,
         [&](kfile* mf) { return sim.chip->FailAccess(0x200, EIO), kread4(mf, 0x200, &value); }, EIO},
        {"calibre block read of 65", kxsim::kZorvanCalbrName, block(false, 65), EINVAL},
        {"calibre block write of 65", kxsim::kZorvanCalbrName, block(true, 65), EINVAL},
        {"kif block read of -1", kxsim::kZorvanKifName, block(false, -1), EINVAL},
        {"kif block write of -1", kxsim::kZorvanKifName, block(true, -1), EINVAL},
        {"ppc block read", kxsim::kZorvanPpcName, block(false, 4), ECANCELED},
        {"ppc block write", kxsim::kZorvanPpcName, block(true, 4), ECANCELED},
        {"window block read", kxsim::kZorvanPciName, block(false, 4), ENOSYS},
        {"window block write", kxsim::kZorvanPciName, block(true, 4), ENOSYS},
        {"pciconf block read", kxsim::kZorvanPciconfName, block(false, 4), ENOSYS},
        {"pciconf block write", kxsim::kZorvanPciconfName, block(true, 4), ENOSYS},
        {"driver pages of a window file", kxsim::kZorvanPciName,
         [](kfile* mf) { return kget_free_pages(mf, 0) ? 0 : -1; }, EOPNOTSUPP},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        EXPECT_EQ(Try([&] { return row.call(mf.get()); }), Fails(row.err));
        EXPECT_EQ(Show(sim.chip->Traffic()), "");
    }
}

// A Calibre slave that does not answer gives a short count; so does a wrong
// slave address.
TEST(Kxcr, CalibreShortCounts) {
    DriverChip sim;
    Handle calbr = OpenHandle(kxsim::kZorvanCalbrName);
    ASSERT_TRUE(calbr);
    u_int32_t value = 0xAAAA;
    sim.chip->SetI2cAnswers(false);
    EXPECT_EQ(kread4(calbr.get(), 0x300, &value), 0);
    EXPECT_EQ(kwrite4(calbr.get(), 0x300, 1), 0);
    sim.chip->SetI2cAnswers(true);
    EXPECT_EQ(kset_i2c_slave(calbr.get(), 0x50), 0x48);
    EXPECT_EQ(kread4(calbr.get(), 0x300, &value), 0);
    EXPECT_EQ(value, 0xAAAAu);
    EXPECT_EQ(sim.chip->Peek(0x300), 0u);
    EXPECT_EQ(kset_i2c_slave(nullptr, 0x50), 0xFF);
}

TEST(Kxcr, BlockTransfersAndDriverPages) {
    DriverChip sim;
    ASSERT_TRUE(sim.chip);
    uint8_t out[64];
    for (int i = 0; i < 64; ++i) out[i] = static_cast<uint8_t>(i);
    for (const char* name : {kxsim::kZorvanCalbrName, kxsim::kZorvanKifName}) {
        SCOPED_TRACE(name);
        Handle mf = OpenHandle(name);
        sim.chip->Poke(0x500, 0);
        EXPECT_EQ(kwrite64(mf.get(), 0x500, out, 64), 64);
        // Bytes travel in address order, each word most significant first.
        EXPECT_EQ(sim.chip->Peek(0x500), 0x00010203u);
        EXPECT_EQ(sim.chip->Peek(0x53C), 0x3C3D3E3Fu);
        uint8_t in[64] = {};
        EXPECT_EQ(kread64(mf.get(), 0x500, in, 64), 64);
        EXPECT_EQ(memcmp(in, out, 64), 0);
    }
    Handle ppc = OpenHandle(kxsim::kZorvanPpcName);
    auto* pages = static_cast<uint32_t*>(kget_free_pages(ppc.get(), 1));
    ASSERT_NE(pages, nullptr);
    pages[8191 / 4] = 0x5A5A5A5A;  // the whole 8 KiB is there
    EXPECT_EQ(kfree_pages(ppc.get(), pages, 1), 0);
}

// The remote protocol has no block request.
TEST(Kxcr, RemoteHandlesHaveNoBlockTransfers) {
    std::string error;
    testsrv::ServerOptions options;
    options.db_text = "top.blk.ctl GW_simple 40000 24 4 0 16 255 40010 4\n";
    auto server = testsrv::Server::Start(options, &error);
    ASSERT_TRUE(server) << error;
    Handle mf = OpenHandle(server->RemoteName(kxsim::kZorvanPciconfName));
    ASSERT_TRUE(mf) << strerror(errno);
    u_int32_t value = 0;
    EXPECT_EQ(Try([&] { return kread64(mf.get(), 0x100, &value, 4); }), Fails(EOPNOTSUPP));
    EXPECT_EQ(Try([&] { return kwrite64(mf.get(), 0x100, &value, 4); }), Fails(EOPNOTSUPP));
}

// Three writes then two reads make one confirmation (one more than the one
// made at open); the statistics are printed only when the variable is set.
TEST(Kxcr, PellikWorkaround) {
    struct Row {
        const char* what;
        Family family;
        const char* name;
        uint32_t id;
        const char* env;
        bool active;
    };
    const Row rows[] = {
        {"unset", Family::Zorvan, kxsim::kZorvanPciName, kPellikId, nullptr, true},
        {"set to 1", Family::Zorvan, kxsim::kZorvanPciName, kPellikId, "1", true},
        {"set to 0", Family::Zorvan, kxsim::kZorvanPciName, kPellikId, "0", false},
        {"other chip", Family::Zorvan, kxsim::kZorvanPciName, kPellikId + 1, "1", false},
        {"switch family", Family::Duvra, kxsim::kDuvraPciName, kPellikId, "1", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedEnv env("KXCR_PELLIK_WA", row.env);
        DriverChip sim(row.family);
        ASSERT_TRUE(sim.chip);
        sim.chip->Poke(0xF0014, row.id);
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        EXPECT_EQ(mf->pellik_wa_slot, row.active ? 0xF0384u : 0u);
        u_int32_t value = 0;
        for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(kwrite4(mf.get(), 0x600 + 4 * i, i), 4);
        EXPECT_EQ(mf->pellik_wa_num_of_writes, row.active ? 1u : 0u);
        for (unsigned i = 0; i < 2; ++i) EXPECT_EQ(kread4(mf.get(), 0x600 + 4 * i, &value), 4);
        EXPECT_EQ(mf->pellik_wa_num_of_writes, row.active ? 2u : 0u);
        EXPECT_EQ(sim.chip->Peek(0xF0384), 0u);
        testing::internal::CaptureStdout();
        mf.reset();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  row.active && row.env ? "-D- Pellik WA stats:\n"
                                          "-D- : num of write flushes:        2\n"
                                          "-D- : num of retry flushes:        0\n"
                                          "-D- : max_retries:                 0\n"
                                        : "");
    }
}

// A gateway of the simulated chip: control register 0x40000 (command bits
// 24..27, index bits 0..15), four data registers ending at 0x40010, busy for
// one control read after an operation starts.
constexpr uint32_t kGw = 0x40000;
const char kGwDb[] = "top.blk.ctl GW_simple 40000 24 4 0 16 255 40010 4\n";

// Drives a conversation through kxcr: each 'W' is written, each 'R' read and
// must give the value listed; the chip's bus must see exactly that.
void Converse(DriverChip& sim, kfile* mf, const Traffic& chat) {
    sim.chip->ClearTraffic();
    for (const Access& a : chat) {
        u_int32_t value = ~a.value;
        if (a.op == 'W') {
            EXPECT_EQ(kwrite4(mf, a.addr, a.value), 4);
            continue;
        }
        EXPECT_EQ(kread4(mf, a.addr, &value), 4);
        EXPECT_EQ(value, a.value) << "read of " << std::hex << a.addr;
    }
    EXPECT_EQ(Show(sim.chip->Traffic()), Show(chat));
}

// Each transaction as the gateway protocol runs it: lock, busy poll, data
// (write), control word, busy poll until clear, data (read), unlock.
TEST(Kxcr, GatewayTransactionsByHand) {
    DriverChip sim(Family::Zorvan, kGwDb);
    ASSERT_TRUE(sim.chip);
    sim.chip->SetBusyReads(kGw, 1);
    Handle mf = OpenHandle(kxsim::kZorvanPciconfName);
    ASSERT_TRUE(mf);
    Converse(sim, mf.get(),
             {{'R', kGw, 0}, {'R', kGw, kLock}, {'W', 0x40004, 0xA0}, {'W', 0x40008, 0xB1}, {'W', 0x4000C, 0xC2},
              {'W', 0x40010, 0xD3}, {'W', kGw, 0xC0000007}, {'R', kGw, 0xC0000007}, {'R', kGw, 0x80000007},
              {'W', kGw, 0}});
    EXPECT_EQ(sim.chip->Entry(kGw, 7), (std::vector<uint32_t>{0xA0, 0xB1, 0xC2, 0xD3}));
    sim.chip->SetEntry(kGw, 0x1F, {1, 2, 3, 4});
    Converse(sim, mf.get(),
             {{'R', kGw, 0}, {'R', kGw, kLock}, {'W', kGw, 0xC100001F}, {'R', kGw, 0xC100001F},
              {'R', kGw, 0x8100001F}, {'R', 0x40004, 1}, {'R', 0x40008, 2}, {'R', 0x4000C, 3}, {'R', 0x40010, 4},
              {'W', kGw, 0}});
}

// The child of the two-process test: the chip's shared image and the driver
// come with the fork; the child opens its own handle. Returns which check
// failed, 0 when all held.
int SharingChild(int from_parent, int to_parent) {
    kfile* mf = kopen(kxsim::kZorvanPciconfName);
    if (!mf) return 11;
    u_int32_t ctrl = 0;
    if (kread4(mf, kGw, &ctrl) != 4 || !(ctrl & kLock)) return 12;  // the parent holds it
    if (kwrite4(mf, 0x50000, 0xABCD1234) != 4) return 13;
    char token = 0;
    if (write(to_parent, "w", 1) != 1 || read(from_parent, &token, 1) != 1) return 14;
    if (kread4(mf, kGw, &ctrl) != 4 || (ctrl & kLock)) return 15;  // released: now ours
    kclose(mf);
    return 0;
}

TEST(Kxcr, TwoProcessesShareOneChip) {
    DriverChip sim(Family::Zorvan, kGwDb);
    Handle mf = OpenHandle(kxsim::kZorvanPciconfName);
    ASSERT_TRUE(mf);
    u_int32_t ctrl = 0;
    ASSERT_EQ(kread4(mf.get(), kGw, &ctrl), 4);
    ASSERT_EQ(ctrl & kLock, 0u);

    int down[2], up[2];
    ASSERT_EQ(pipe(down), 0);
    ASSERT_EQ(pipe(up), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(SharingChild(down[0], up[1]));
    close(down[0]);
    close(up[1]);
    char token = 0;
    EXPECT_EQ(read(up[0], &token, 1), 1);  // 0 when the child ended early
    u_int32_t value = 0;
    EXPECT_EQ(kread4(mf.get(), 0x50000, &value), 4);
    EXPECT_EQ(value, 0xABCD1234u);
    EXPECT_EQ(kwrite4(mf.get(), kGw, 0), 4);  // release the lock for the child
    EXPECT_EQ(write(down[1], "r", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "child check " << WEXITSTATUS(status);
    // The child left with the lock: this process is now shut out.
    EXPECT_EQ(kread4(mf.get(), kGw, &ctrl), 4);
    EXPECT_NE(ctrl & kLock, 0u);
    close(down[1]);
    close(up[0]);
}

}  // namespace
