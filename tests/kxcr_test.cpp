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
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kdt_pci.h"
#include "kxcr.h"
#include "kxcr_os.h"
#include "server_helpers.h"
#include "sim.h"

namespace {

using kxsim::Access;
using kxsim::Chip;
using kxsim::Family;

constexpr uint32_t kPellikId = 0x00B10017;
constexpr uint32_t kDeviceIdAddr = 0xF0014;

// A fresh simulated chip with its driver installed for the test's lifetime.
struct Sim {
    explicit Sim(Family family = Family::Zorvan) : dir(testsrv::MakeTempDir()) {
        std::string error;
        chip = Chip::Open(dir + "/chip.img", family, &error);
        if (!chip) {
            ADD_FAILURE() << error;
            return;
        }
        kxsim::InstallDriver(chip.get());
    }
    ~Sim() {
        kxsim::UninstallDriver();
        chip.reset();
        testsrv::RemoveTree(dir);
    }
    std::string dir;
    std::unique_ptr<Chip> chip;
};

using Handle = std::unique_ptr<kfile, int (*)(kfile*)>;

Handle Open(const char* name, DType dtype = KDT_ZORVAN) { return Handle(kopend(name, dtype), kclose); }

// Stands between kxcr and the table in force, counting what kxcr leaves open
// and failing one chosen driver request or the mapping.
struct Tracker {
    static inline const kxcr_os_ops* inner = nullptr;
    static inline int live_fds = 0;
    static inline int live_maps = 0;
    static inline unsigned long fail_request = 0;
    static inline int fail_errno = 0;
    static inline bool fail_mmap = false;

    static int Open(const char* path, int flags) {
        const int fd = inner->open(path, flags);
        live_fds += fd >= 0;
        return fd;
    }
    static int Close(int fd) {
        --live_fds;
        return inner->close(fd);
    }
    static int Ioctl(int fd, unsigned long request, void* arg) {
        if (request != fail_request) return inner->ioctl(fd, request, arg);
        errno = fail_errno;
        return -1;
    }
    static void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
        if (fail_mmap) {
            errno = fail_errno;
            return MAP_FAILED;
        }
        void* mapped = inner->mmap(addr, length, prot, flags, fd, offset);
        live_maps += mapped != MAP_FAILED;
        return mapped;
    }
    static int Munmap(void* addr, size_t length) {
        --live_maps;
        return inner->munmap(addr, length);
    }

    Tracker() {
        inner = kxcr_os();
        live_fds = live_maps = 0;
        fail_request = 0;
        fail_mmap = false;
        ops = *inner;
        ops.open = Open;
        ops.close = Close;
        ops.ioctl = Ioctl;
        ops.mmap = Mmap;
        ops.munmap = Munmap;
        kxcr_set_os(&ops);
    }
    ~Tracker() { kxcr_set_os(inner); }
    kxcr_os_ops ops;
};

// Sets or clears an environment variable for the test's lifetime.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name_(name) {
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { unsetenv(name_); }
    const char* name_;
};

std::vector<uint8_t> WindowBytes(const kfile* mf, unsigned offset) {
    const uint8_t* at = static_cast<const uint8_t*>(mf->ptr) + offset;
    return {at, at + 4};
}

TEST(Kxcr, OpenSetsTheHandleFromTheName) {
    struct Row {
        Family family;
        const char* name;
        DType dtype;
        KType tp;
        DType itype;
        unsigned char slave;
        int flags;
    };
    const Row rows[] = {
        {Family::Zorvan, kxsim::kZorvanPciName, KDT_ZORVAN, KDT_PCI, KDT_ZORVAN, 0x48, KDEVS_ZORVAN_CR},
        {Family::Zorvan, kxsim::kZorvanPciconfName, KDT_ZORVAN, KDT_PCICONF, KDT_ZORVAN, 0x48,
         KDEVS_ZORVAN_CR},
        {Family::Zorvan, kxsim::kZorvanCalbrName, KDT_ZORVAN, KDT_CALBR, KDT_ZORVAN, 0x48, KDEVS_I2CM},
        {Family::Zorvan, kxsim::kZorvanCalbrName, KDT_DUVRA, KDT_CALBR, KDT_ZORVAN, 0x5A, KDEVS_I2CM},
        {Family::Zorvan, kxsim::kZorvanKifName, KDT_ZORVAN, KDT_IF, KDT_ZORVAN, 0x48, KDEVS_IF},
        {Family::Zorvan, kxsim::kZorvanPpcName, KDT_NOADDR, KDT_PPC, KDT_ZORVAN, 0x5A, KDEVS_PPC},
        {Family::Duvra, kxsim::kDuvraPciName, KDT_ZORVAN, KDT_PCI, KDT_DUVRA, 0x48, KDEVS_DUVRA},
        {Family::Duvra, kxsim::kDuvraPciconfName, KDT_DUVRA, KDT_PCICONF, KDT_DUVRA, 0x5A,
         KDEVS_DUVRA | KDEVS_ZORVAN_CR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Sim sim(row.family);
        Handle mf = Open(row.name, row.dtype);
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
    }
}

TEST(Kxcr, FailedOpenLeavesNothingBehind) {
    struct Row {
        const char* what;
        std::string name;
        unsigned long fail_request;
        bool fail_mmap;
        bool pellik;
        int err;
    };
    const Row rows[] = {
        {"no transport token", "/dev/kdt/kx31001_other0", 0, false, false, ENOENT},
        {"listed, no transport", kxsim::kDevI2cName, 0, false, false, ENOENT},
        {"no such device file", "/dev/kdt/kx31001_pci_cr7", 0, false, false, ENOENT},
        {"usb adapter", "/dev/kdt/kx31001_kxusb0", 0, false, false, ENOSYS},
        {"infiniband", "lid-5", 0, false, false, ENOSYS},
        {"in-chip i2c master", std::string(kxsim::kZorvanPciName) + "_i2cm", 0, false, false, ENOSYS},
        {"window request", kxsim::kZorvanPciName, KDT_IOC_PCI_PARAMS, false, false, EIO},
        {"mapping", kxsim::kZorvanPciName, 0, true, false, ENOMEM},
        {"flush slot request", kxsim::kZorvanPciName, KDT_IOC_PELLIK_SLOT, false, true, EBUSY},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sim sim;
        ASSERT_TRUE(sim.chip);
        if (row.pellik) sim.chip->Poke(kDeviceIdAddr, kPellikId);
        Tracker tracker;
        Tracker::fail_request = row.fail_request;
        Tracker::fail_mmap = row.fail_mmap;
        Tracker::fail_errno = row.err;
        errno = 0;
        EXPECT_EQ(kopen(row.name.c_str()), nullptr);
        EXPECT_EQ(errno, row.err) << strerror(errno);
        EXPECT_EQ(Tracker::live_fds, 0);
        EXPECT_EQ(Tracker::live_maps, 0);
    }
}

TEST(Kxcr, DevicesListing) {
    Sim sim;
    char buf[1024];
    const int all = kdevices(buf, sizeof buf, KDEVS_ALL);
    ASSERT_GT(all, 0);
    std::set<std::string> listed;
    size_t listing_len = 0;
    for (int i = 0; i < all; ++i) {
        listed.insert(buf + listing_len);
        listing_len += strlen(buf + listing_len) + 1;
    }
    EXPECT_EQ(listed.count(kxsim::kDevI2cName), 1u);
    EXPECT_EQ(listed.count(kxsim::kZorvanPciName), 1u);

    EXPECT_EQ(kdevices(buf, sizeof buf, 0), 0);
    ASSERT_EQ(kdevices(buf, sizeof buf, KDEVS_PPC), 1);
    EXPECT_STREQ(buf, kxsim::kZorvanPpcName);

    // The listing must stay below len: a buffer exactly as long is too small,
    // and nothing is written at or past len.
    std::vector<char> exact(listing_len + 8, '#');
    EXPECT_EQ(kdevices(exact.data(), static_cast<int>(listing_len), KDEVS_ALL), -1);
    EXPECT_EQ(std::string(exact.data() + listing_len, 8), "########");
    EXPECT_EQ(kdevices(exact.data(), static_cast<int>(listing_len) + 1, KDEVS_ALL), all);
}

TEST(Kxcr, WindowByteOrderFollowsTheFamily) {
    struct Row {
        Family family;
        const char* name;
        uint32_t read_of_12345678;
    };
    const Row rows[] = {
        {Family::Zorvan, kxsim::kZorvanPciName, 0x12345678},
        {Family::Duvra, kxsim::kDuvraPciName, 0x78563412},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Sim sim(row.family);
        Handle mf = Open(row.name);
        ASSERT_TRUE(mf);
        const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
        memcpy(static_cast<uint8_t*>(mf->ptr) + 0x100, bytes, 4);
        u_int32_t value = 0;
        EXPECT_EQ(kread4(mf.get(), 0x100, &value), 4);
        EXPECT_EQ(value, row.read_of_12345678);

        EXPECT_EQ(kwrite4(mf.get(), 0x104, row.read_of_12345678), 4);
        EXPECT_EQ(WindowBytes(mf.get(), 0x104), std::vector<uint8_t>(bytes, bytes + 4));
        // The chip sees the word the library meant.
        EXPECT_EQ(sim.chip->Peek(0x104), row.read_of_12345678);
    }
}

TEST(Kxcr, WindowAccessFailures) {
    Sim sim;
    Handle ppc = Open(kxsim::kZorvanPpcName);
    ASSERT_TRUE(ppc);
    u_int32_t value = 0;
    errno = 0;
    EXPECT_EQ(kread4(ppc.get(), 0x100, &value), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(kwrite4(ppc.get(), 0x100, 1), -1);

    Handle pci = Open(kxsim::kZorvanPciName);
    ASSERT_TRUE(pci);
    errno = 0;
    EXPECT_EQ(kread4(pci.get(), pci->map_size, &value), -1);
    EXPECT_EQ(errno, EFAULT);
    // A window handle that asks for the in-chip I2C master goes there, and
    // that master is not in this build.
    pci->is_i2cm = 1;
    EXPECT_EQ(kread4(pci.get(), 0x100, &value), -1);
    EXPECT_EQ(errno, ENOSYS);
}

TEST(Kxcr, MisalignedAccessSendsNothing) {
    Sim sim;
    ASSERT_TRUE(sim.chip);
    for (const char* name : {kxsim::kZorvanPciName, kxsim::kZorvanPciconfName, kxsim::kZorvanCalbrName,
                             kxsim::kZorvanKifName, kxsim::kZorvanPpcName}) {
        SCOPED_TRACE(name);
        Handle mf = Open(name);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        u_int32_t value = 0xAAAA;
        errno = 0;
        EXPECT_EQ(kread4(mf.get(), 2, &value), -1);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(kwrite4(mf.get(), 0x101, 1), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(value, 0xAAAAu);
        EXPECT_TRUE(sim.chip->Traffic().empty());
    }
}

TEST(Kxcr, RemoteHandlesGoToTheServer) {
    std::string error;
    testsrv::ServerOptions options;
    options.db_text = "top.blk.ctl GW_simple 40000 24 4 0 16 255 40010 4\n";
    auto server = testsrv::Server::Start(options, &error);
    ASSERT_TRUE(server) << error;
    Handle mf = Open(server->RemoteName(kxsim::kZorvanPciconfName).c_str());
    ASSERT_TRUE(mf) << strerror(errno);
    EXPECT_NE(mf->sock, -1);
    u_int32_t value = 0;
    errno = 0;
    EXPECT_EQ(kread4(mf.get(), 2, &value), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(kwrite4(mf.get(), 0x100, 0xFEEDBEEF), 4);
    EXPECT_EQ(kread4(mf.get(), 0x100, &value), 4);
    EXPECT_EQ(value, 0xFEEDBEEFu);
    errno = 0;
    EXPECT_EQ(kread64(mf.get(), 0x100, &value, 4), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
}

TEST(Kxcr, ConfigurationCycles) {
    Sim sim;
    Handle mf = Open(kxsim::kZorvanPciconfName);
    ASSERT_TRUE(mf);
    sim.chip->ClearTraffic();
    EXPECT_EQ(kwrite4(mf.get(), 0x200, 0x01020304), 4);
    u_int32_t value = 0;
    EXPECT_EQ(kread4(mf.get(), 0x200, &value), 4);
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_EQ(sim.chip->Traffic(), (std::vector<Access>{{'W', 0x200, 0x01020304}, {'R', 0x200, 0x01020304}}));
    // The driver's errno comes up unchanged.
    sim.chip->FailAccess(0x200, EIO);
    errno = 0;
    EXPECT_LT(kread4(mf.get(), 0x200, &value), 0);
    EXPECT_EQ(errno, EIO);
}

TEST(Kxcr, CalibreTransactions) {
    Sim sim;
    ASSERT_TRUE(sim.chip);
    sim.chip->SetI2cSlave(0x48, 4);
    Handle mf = Open(kxsim::kZorvanCalbrName);
    ASSERT_TRUE(mf);
    sim.chip->Poke(0x300, 0xCAFEF00D);
    u_int32_t value = 0;
    EXPECT_EQ(kread4(mf.get(), 0x300, &value), 4);
    EXPECT_EQ(value, 0xCAFEF00Du);
    EXPECT_EQ(kwrite4(mf.get(), 0x304, 0x11223344), 4);
    EXPECT_EQ(sim.chip->Peek(0x304), 0x11223344u);

    // A slave that does not answer gives a short count, and the value is kept.
    sim.chip->SetI2cAnswers(false);
    value = 0xAAAA;
    EXPECT_EQ(kread4(mf.get(), 0x300, &value), 0);
    EXPECT_EQ(value, 0xAAAAu);
    EXPECT_EQ(kwrite4(mf.get(), 0x304, 0), 0);
    EXPECT_EQ(sim.chip->Peek(0x304), 0x11223344u);
    sim.chip->SetI2cAnswers(true);

    // So does another slave address.
    EXPECT_EQ(kset_i2c_slave(mf.get(), 0x50), 0x48);
    EXPECT_EQ(kread4(mf.get(), 0x300, &value), 0);
}

TEST(Kxcr, CalibreAddressPhaseFollowsTheDtype) {
    Sim sim;
    ASSERT_TRUE(sim.chip);
    sim.chip->SetI2cSlave(0x5A, 2);
    Handle mf = Open(kxsim::kZorvanCalbrName, KDT_DUVRA);
    ASSERT_TRUE(mf);
    sim.chip->Poke(0x1234, 0x5A5A0001);
    u_int32_t value = 0;
    // Only the low 16 bits of the address travel.
    EXPECT_EQ(kread4(mf.get(), 0xAB1234, &value), 4);
    EXPECT_EQ(value, 0x5A5A0001u);
}

TEST(Kxcr, KifRequests) {
    Sim sim;
    Handle mf = Open(kxsim::kZorvanKifName);
    ASSERT_TRUE(mf);
    sim.chip->Poke(0x400, 0x0BADCAFE);
    u_int32_t value = 0;
    EXPECT_EQ(kread4(mf.get(), 0x400, &value), 4);
    EXPECT_EQ(value, 0x0BADCAFEu);
    EXPECT_EQ(kwrite4(mf.get(), 0x404, 0x76543210), 4);
    EXPECT_EQ(sim.chip->Peek(0x404), 0x76543210u);
}

TEST(Kxcr, BlockTransfers) {
    Sim sim;
    ASSERT_TRUE(sim.chip);
    sim.chip->SetI2cSlave(0x48, 4);
    uint8_t out[65];
    for (int i = 0; i < 65; ++i) out[i] = static_cast<uint8_t>(i);

    // Bytes travel in address order: word 0x500 holds bytes 0..3, most
    // significant first.
    for (const char* name : {kxsim::kZorvanCalbrName, kxsim::kZorvanKifName}) {
        SCOPED_TRACE(name);
        Handle mf = Open(name);
        ASSERT_TRUE(mf);
        sim.chip->Poke(0x500, 0);
        EXPECT_EQ(kwrite64(mf.get(), 0x500, out, 64), 64);
        EXPECT_EQ(sim.chip->Peek(0x500), 0x00010203u);
        EXPECT_EQ(sim.chip->Peek(0x53C), 0x3C3D3E3Fu);
        uint8_t in[64] = {};
        EXPECT_EQ(kread64(mf.get(), 0x500, in, 64), 64);
        EXPECT_EQ(memcmp(in, out, 64), 0);
    }

    struct Row {
        const char* name;
        int length;
        int err;
    };
    const Row failures[] = {
        {kxsim::kZorvanCalbrName, 65, EINVAL}, {kxsim::kZorvanKifName, -1, EINVAL},
        {kxsim::kZorvanPpcName, 4, ECANCELED}, {kxsim::kZorvanPciName, 4, ENOSYS},
        {kxsim::kZorvanPciconfName, 4, ENOSYS},
    };
    for (const Row& row : failures) {
        SCOPED_TRACE(std::string(row.name) + " length " + std::to_string(row.length));
        Handle mf = Open(row.name);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        uint8_t in[65];
        errno = 0;
        EXPECT_EQ(kread64(mf.get(), 0x500, in, row.length), -1);
        EXPECT_EQ(errno, row.err);
        errno = 0;
        EXPECT_EQ(kwrite64(mf.get(), 0x500, out, row.length), -1);
        EXPECT_EQ(errno, row.err);
        EXPECT_TRUE(sim.chip->Traffic().empty());
    }
}

TEST(Kxcr, PellikWorkaroundConfirmsOncePerRunOfWrites) {
    ScopedEnv env("KXCR_PELLIK_WA", nullptr);
    Sim sim;
    ASSERT_TRUE(sim.chip);
    sim.chip->Poke(kDeviceIdAddr, kPellikId);
    Handle mf = Open(kxsim::kZorvanPciName);
    ASSERT_TRUE(mf);
    EXPECT_GE(mf->pellik_wa_slot, 0xF0384u);
    EXPECT_LE(mf->pellik_wa_slot, 0xF038Cu);
    EXPECT_EQ(mf->pellik_wa_slot % 4, 0u);
    EXPECT_EQ(mf->pellik_wa_num_of_writes, 1u);  // the one made at open

    u_int32_t value = 0;
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(kwrite4(mf.get(), 0x600 + 4 * i, i), 4);
    EXPECT_EQ(mf->pellik_wa_num_of_writes, 1u);
    EXPECT_EQ(kread4(mf.get(), 0x600, &value), 4);
    EXPECT_EQ(mf->pellik_wa_num_of_writes, 2u);
    EXPECT_EQ(kread4(mf.get(), 0x604, &value), 4);
    EXPECT_EQ(mf->pellik_wa_num_of_writes, 2u);
    EXPECT_EQ(mf->pellik_wa_last_op_write, 0);
    EXPECT_EQ(sim.chip->Peek(mf->pellik_wa_slot), 0u);

    // Statistics only when the variable is set.
    testing::internal::CaptureStdout();
    mf.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Kxcr, PellikWorkaroundSwitches) {
    struct Row {
        const char* what;
        Family family;
        const char* name;
        uint32_t id;
        const char* env;
        bool active;
        std::string stats;
    };
    const std::string stats =
        "-D- Pellik WA stats:\n"
        "-D- : num of write flushes:        2\n"
        "-D- : num of retry flushes:        0\n"
        "-D- : max_retries:                 0\n";
    const Row rows[] = {
        {"set to 1", Family::Zorvan, kxsim::kZorvanPciName, kPellikId, "1", true, stats},
        {"set to 0", Family::Zorvan, kxsim::kZorvanPciName, kPellikId, "0", false, ""},
        {"other chip", Family::Zorvan, kxsim::kZorvanPciName, kPellikId + 1, "1", false, ""},
        {"switch family", Family::Duvra, kxsim::kDuvraPciName, kPellikId, "1", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedEnv env("KXCR_PELLIK_WA", row.env);
        Sim sim(row.family);
        ASSERT_TRUE(sim.chip);
        sim.chip->Poke(kDeviceIdAddr, row.id);
        Handle mf = Open(row.name);
        ASSERT_TRUE(mf);
        EXPECT_EQ(mf->pellik_wa_slot != 0, row.active);
        u_int32_t value = 0;
        EXPECT_EQ(kwrite4(mf.get(), 0x600, 1), 4);
        EXPECT_EQ(kread4(mf.get(), 0x600, &value), 4);
        testing::internal::CaptureStdout();
        mf.reset();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.stats);
    }
}

// A gateway of the simulated chip, driven by hand over configuration cycles:
// control register 0x40000 (command bits 24..27, index bits 0..15), four data
// registers ending at 0x40010.
constexpr uint32_t kGw = 0x40000;
constexpr char kGwDb[] = "top.blk.ctl GW_simple 40000 24 4 0 16 255 40010 4\n";

struct GatewaySim : Sim {
    GatewaySim() {
        if (!chip) return;
        testsrv::WriteFile(dir + "/arr_db.txt", kGwDb);
        std::string error;
        if (!chip->LoadDatabase(dir + "/arr_db.txt", &error)) ADD_FAILURE() << error;
        chip->SetBusyReads(kGw, 1);
    }
};

// Reads the control register until the busy bit clears; returns the reads.
int PollBusy(kfile* mf) {
    u_int32_t ctrl = 0;
    for (int reads = 1; reads <= 1002; ++reads) {
        if (kread4(mf, kGw, &ctrl) != 4) return -1;
        if (!(ctrl & 0x40000000)) return reads;
    }
    return 0;
}

TEST(Kxcr, GatewayWriteTransactionByHand) {
    GatewaySim sim;
    Handle mf = Open(kxsim::kZorvanPciconfName);
    ASSERT_TRUE(mf);
    sim.chip->ClearTraffic();
    u_int32_t ctrl = 0xFFFFFFFF;
    ASSERT_EQ(kread4(mf.get(), kGw, &ctrl), 4);
    ASSERT_EQ(ctrl & 0x80000000, 0u);  // the lock is ours
    ASSERT_EQ(PollBusy(mf.get()), 1);
    const uint32_t words[] = {0xA0, 0xB1, 0xC2, 0xD3};  // most significant first
    for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(kwrite4(mf.get(), 0x40004 + 4 * i, words[i]), 4);
    ASSERT_EQ(kwrite4(mf.get(), kGw, 0xC0000007), 4);  // lock, busy, command 0 (write), index 7
    ASSERT_EQ(PollBusy(mf.get()), 2);
    ASSERT_EQ(kwrite4(mf.get(), kGw, 0), 4);

    EXPECT_EQ(sim.chip->Entry(kGw, 7), (std::vector<uint32_t>{0xA0, 0xB1, 0xC2, 0xD3}));
    const std::vector<Access> expected = {
        {'R', kGw, 0},          {'R', kGw, 0x80000000}, {'W', 0x40004, 0xA0},
        {'W', 0x40008, 0xB1},   {'W', 0x4000C, 0xC2},   {'W', 0x40010, 0xD3},
        {'W', kGw, 0xC0000007}, {'R', kGw, 0xC0000007}, {'R', kGw, 0x80000007},
        {'W', kGw, 0},
    };
    EXPECT_EQ(sim.chip->Traffic(), expected);
}

TEST(Kxcr, GatewayReadTransactionByHand) {
    GatewaySim sim;
    ASSERT_TRUE(sim.chip);
    sim.chip->SetEntry(kGw, 0x1F, {1, 2, 3, 4});
    Handle mf = Open(kxsim::kZorvanPciconfName);
    ASSERT_TRUE(mf);
    u_int32_t ctrl = 0xFFFFFFFF;
    ASSERT_EQ(kread4(mf.get(), kGw, &ctrl), 4);
    ASSERT_EQ(ctrl & 0x80000000, 0u);
    ASSERT_EQ(PollBusy(mf.get()), 1);
    ASSERT_EQ(kwrite4(mf.get(), kGw, 0xC100001F), 4);  // command 1 (read), index 0x1F
    ASSERT_EQ(PollBusy(mf.get()), 2);
    std::vector<uint32_t> entry(4);
    for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(kread4(mf.get(), 0x40004 + 4 * i, &entry[i]), 4);
    ASSERT_EQ(kwrite4(mf.get(), kGw, 0), 4);
    EXPECT_EQ(entry, sim.chip->Entry(kGw, 0x1F));
    EXPECT_EQ(entry, (std::vector<uint32_t>{1, 2, 3, 4}));
}

// The child of the two-process test: the chip's shared image and the driver
// come with the fork; the child opens its own handle. Returns which check
// failed, 0 when all held.
int SharingChild(int from_parent, int to_parent) {
    kfile* mf = kopen(kxsim::kZorvanPciconfName);
    if (!mf) return 11;
    u_int32_t ctrl = 0;
    if (kread4(mf, kGw, &ctrl) != 4 || !(ctrl & 0x80000000)) return 12;  // the parent holds it
    if (kwrite4(mf, 0x50000, 0xABCD1234) != 4) return 13;
    char token = 0;
    if (write(to_parent, "w", 1) != 1 || read(from_parent, &token, 1) != 1) return 14;
    if (kread4(mf, kGw, &ctrl) != 4 || (ctrl & 0x80000000)) return 15;  // released: now ours
    kclose(mf);
    return 0;
}

TEST(Kxcr, TwoProcessesShareOneChip) {
    GatewaySim sim;
    ASSERT_TRUE(sim.chip);
    Handle mf = Open(kxsim::kZorvanPciconfName);
    ASSERT_TRUE(mf);
    u_int32_t ctrl = 0;
    ASSERT_EQ(kread4(mf.get(), kGw, &ctrl), 4);
    ASSERT_EQ(ctrl & 0x80000000, 0u);

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
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The child left with the lock: this process is now shut out.
    EXPECT_EQ(kread4(mf.get(), kGw, &ctrl), 4);
    EXPECT_NE(ctrl & 0x80000000, 0u);
    close(down[1]);
    close(up[0]);
}

}  // namespace
