// Every local transport through a kxcr handle against the simulated driver:
// open -> access -> close, the opens and calls refused, the device listing;
// then what needs no device: the name grammar, the I2C address phase.
#include <set>
#include <tuple>

#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

// How a transport reaches the chip's words.
enum class Path { kNone, kWindow, kBus };

// Open sets the handle from the name and the address type; a misaligned
// access is refused before anything reaches the chip; a write and a read
// reach the chip's word in the family's byte order (the chip keeps the
// window's words in it), one bus access each, none through a window (a plain
// mapping); on I2C paths 64 bytes travel in address order, each word most significant
// byte first; close leaves no descriptor or mapping behind.
TEST(Kxcr, OpenAccessClose) {
    const struct Row { Family family; const char* name; DType dtype, itype; KType tp; unsigned char slave; int flags;
        Path path; } rows[] = {
        {Family::Zorvan, kxsim::kZorvanPciName, KDT_ZORVAN, KDT_ZORVAN, KDT_PCI, 0x48, KDEVS_ZORVAN_CR, Path::kWindow},
        {Family::Duvra, kxsim::kDuvraPciName, KDT_ZORVAN, KDT_DUVRA, KDT_PCI, 0x48, KDEVS_DUVRA, Path::kWindow},
        {Family::Zorvan, kxsim::kZorvanPpcName, KDT_NOADDR, KDT_ZORVAN, KDT_PPC, 0x5A, KDEVS_PPC, Path::kNone},
        {Family::Zorvan, kxsim::kZorvanPciconfName, KDT_ZORVAN, KDT_ZORVAN, KDT_PCICONF, 0x48, KDEVS_ZORVAN_CR,
         Path::kBus},
        {Family::Duvra, kxsim::kDuvraPciconfName, KDT_DUVRA, KDT_DUVRA, KDT_PCICONF, 0x5A,
         KDEVS_DUVRA | KDEVS_ZORVAN_CR, Path::kBus},
        {Family::Zorvan, kxsim::kZorvanCalbrName, KDT_ZORVAN, KDT_ZORVAN, KDT_CALBR, 0x48, KDEVS_I2CM, Path::kBus},
        {Family::Zorvan, kxsim::kZorvanKifName, KDT_ZORVAN, KDT_ZORVAN, KDT_IF, 0x48, KDEVS_IF, Path::kBus},
        {Family::Zorvan, kxsim::kKxusbName, KDT_ZORVAN, KDT_ZORVAN, KDT_USB, 0x48, KDEVS_I2CM, Path::kBus},
        {Family::Zorvan, kxsim::kDimaxName, KDT_ZORVAN, KDT_ZORVAN, KDT_USB_DIMAX, 0x48, KDEVS_I2CM, Path::kBus},
    };
    setenv("KXCR_I2C_SEM", "0", 1);  // the lock is the handle's pointer: off, it is null
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DriverChip sim(row.family);
        Tracker tracker;
        Handle mf = OpenHandle(row.name, row.dtype);
        ASSERT_TRUE(mf) << strerror(errno);
        EXPECT_EQ(std::make_tuple(mf->tp, mf->dtype, mf->itype, mf->is_i2cm, mf->i2c_slave, mf->flags, mf->sock),
                  std::make_tuple(row.tp, row.dtype, row.itype, 0, row.slave, row.flags, -1));
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
        if (row.path == Path::kBus && row.tp != KDT_PCICONF) {  // I2C paths
            uint8_t out[64], in[64] = {};
            for (int i = 0; i < 64; ++i) out[i] = static_cast<uint8_t>(i);
            EXPECT_EQ(kwrite64(mf.get(), 0x500, out, 64), 64);
            EXPECT_EQ(sim.chip->Peek(0x500), 0x00010203u);
            EXPECT_EQ(sim.chip->Peek(0x53C), 0x3C3D3E3Fu);
            EXPECT_EQ(kread64(mf.get(), 0x500, in, 64), 64);
            EXPECT_EQ(memcmp(in, out, 64), 0);
        }
        EXPECT_EQ(kclose(mf.release()), 0);
        EXPECT_EQ(std::make_pair(Tracker::fds, Tracker::maps), std::make_pair(0, 0));
    }
    unsetenv("KXCR_I2C_SEM");
}

// An open that the driver fails at `fail_request` or at the mapping (0 and
// false: the name alone fails it), or that is handed a flush slot past the
// chip's three, gives null with `err` and leaves no descriptor or mapping
// behind; the chip is of the revision that needs a flush slot.
TEST(Kxcr, FailedOpens) {
    const struct Row { const char* name; unsigned long fail_request; bool fail_mmap; int err; uint32_t slot;
    } rows[] = {
        {"/dev/kdt/kx31001_other0", 0, false, ENOENT, 0},  // no transport token
        {kxsim::kDevI2cName, 0, false, ENOENT, 0},
        {"/dev/kdt/kx31001_pci_cr7", 0, false, ENOENT, 0},  // no such device file
        {kxsim::kZorvanPciName, KDT_IOC_PCI_PARAMS, false, EIO, 0},
        {kxsim::kZorvanPciName, 0, true, ENOMEM, 0},
        {kxsim::kZorvanPciName, KDT_IOC_PELLIK_SLOT, false, EBUSY, 0},  // after the mapping
        {kxsim::kZorvanPciName, 0, false, ERANGE, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + std::string(" failing ") + strerror(row.err));
        DriverChip sim;
        sim.chip->Poke(0xF0014, 0x00B10017);
        Tracker tracker;
        std::tie(Tracker::fail_request, Tracker::fail_mmap, Tracker::fail_errno, Tracker::slot) =
            std::tie(row.fail_request, row.fail_mmap, row.err, row.slot);
        EXPECT_EQ(Try([&] { return kopen(row.name); }), Fails(row.err));
        EXPECT_EQ(std::make_pair(Tracker::fds, Tracker::maps), std::make_pair(0, 0));
    }
}

// One call on a fresh handle of `name` and what it gives; nothing reaches
// the chip's bus. A Calibre slave that does not answer, or a wrong slave
// address, gives a short count with EIO.
TEST(Kxcr, CallsThatMoveNothing) {
    struct Row { const char *what, *name; std::function<long(kfile*, kxsim::Chip&)> call; Outcome want; };
    static u_int32_t value;
    const auto silent = [](auto call) {
        return [call](kfile* mf, kxsim::Chip& chip) -> long { return chip.SetI2cAnswers(false), call(mf); };
    };
    const auto on = [](auto call) { return [call](kfile* mf, kxsim::Chip&) -> long { return call(mf); }; };
    const Outcome none_moved{0, EIO};
    const char *ppc = kxsim::kZorvanPpcName, *calbr = kxsim::kZorvanCalbrName, *pci = kxsim::kZorvanPciName;
    const Row rows[] = {
        {"ppc files have no window", ppc, on([](kfile* mf) { return kread4(mf, 0x100, &value); }), Fails(EFAULT)},
        {"past the window", pci, on([](kfile* mf) { return kwrite4(mf, mf->map_size, 1); }), Fails(EFAULT)},
        {"ppc block read", ppc, on(Transfer64(false, 4)), Fails(ECANCELED)},
        {"ppc block write", ppc, on(Transfer64(true, 4)), Fails(ECANCELED)},
        {"window file pages", pci, on([](kfile* mf) { return kget_free_pages(mf, 0) ? 0 : -1; }), Fails(EOPNOTSUPP)},
        {"pages of order 32", ppc, on([](kfile* mf) { return kget_free_pages(mf, 32) ? 0 : -1; }), Fails(EINVAL)},
        {"pages freed at order 32", ppc, on([](kfile* mf) { return kfree_pages(mf, nullptr, 32); }), Fails(EINVAL)},
        {"driver pages, 8 KiB", ppc, on([](kfile* mf) {
             auto* pages = static_cast<uint32_t*>(kget_free_pages(mf, 1));
             return pages ? (pages[8191 / 4] = 1, kfree_pages(mf, pages, 1)) : -2;
         }), {0, 0}},
        {"Calibre block read of 65", calbr, on(Transfer64(false, 65)), Fails(EINVAL)},
        {"Calibre block write of 65", calbr, on(Transfer64(true, 65)), Fails(EINVAL)},
        {"Calibre word read, silent", calbr, silent([](kfile* mf) { return kread4(mf, 0x300, &value); }), none_moved},
        {"Calibre word write, silent", calbr, silent([](kfile* mf) { return kwrite4(mf, 0x300, 1); }), none_moved},
        {"Calibre block read, silent", calbr, silent(Transfer64(false, 8)), none_moved},
        {"Calibre block write, silent", calbr, silent(Transfer64(true, 8)), none_moved},
        {"Calibre at another slave", calbr, on([](kfile* mf) {
             value = 0xAAAA;
             return kset_i2c_slave(mf, 0x50) == 0x48 && kread4(mf, 0x300, &value) == 0 && value == 0xAAAA ? 0 : -2;
         }), {0, EIO}},
        {"pciconf: driver errno comes up unchanged", kxsim::kZorvanPciconfName,
         [](kfile* mf, kxsim::Chip& chip) -> long { return chip.FailAccess(0x200, EIO), kread4(mf, 0x200, &value); },
         Fails(EIO)},
        {"pciconf software reset", kxsim::kZorvanPciconfName, on(ksw_reset), Fails(EPERM)},
        {"kif block read of -1", kxsim::kZorvanKifName, on(Transfer64(false, -1)), Fails(EINVAL)},
        {"kif block write of -1", kxsim::kZorvanKifName, on(Transfer64(true, -1)), Fails(EINVAL)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        EXPECT_EQ(Try([&] { return row.call(mf.get(), *sim.chip); }), row.want);
        EXPECT_EQ(Show(sim.chip->Traffic()), "");
    }
    EXPECT_EQ(kset_i2c_slave(nullptr, 0x50), 0xFF);
}

TEST(Kxcr, DevicesListing) {
    DriverChip sim;
    char buf[1024];
    const int all = kdevices(buf, sizeof buf, KDEVS_ALL);
    std::set<std::string> listed;
    int length = 0;
    for (int i = 0; i < all; ++i) length += listed.insert(buf + length).first->size() + 1;
    EXPECT_EQ(listed, (std::set<std::string>{kxsim::kZorvanPciName, kxsim::kZorvanPciconfName, kxsim::kZorvanCalbrName,
                                             kxsim::kZorvanKifName, kxsim::kZorvanPpcName, kxsim::kDevI2cName,
                                             kxsim::kZorvanI2cmName, kxsim::kKxusbName, kxsim::kDimaxName,
                                             kxsim::kUnknownUsbName}));
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

// The flags each name gives, and where find_zorvan finds a model number in
// it: the first model of the list, wherever the models stand in the name.
TEST(Kxcr, DeviceFlagsAndModelNumber) {
    // zorvan_at -1: none
    const struct Row { const char* name; int flags; std::ptrdiff_t zorvan_at; } rows[] = {
        {"/dev/kdt/kx31001_pci_cr0", KDEVS_ZORVAN_CR, 11},
        {"/dev/kdt/kx31022_pci_ddr0", KDEVS_ZORVAN_DDR, 11},
        {"/dev/kdt/kx31010_pci_uar0", KDEVS_ZORVAN_UAR, 11},
        // The window flags need a model number; the extra token is not one.
        {"/dev/kdt/kx61000_pci_cr0", 0, -1},
        {"/dev/kdt/kx52100_pci_cr0", KDEVS_DUVRA, -1},
        {"/dev/kdt/kx52100_pciconf0", KDEVS_DUVRA | KDEVS_ZORVAN_CR, -1},
        {"/dev/kdt/kx31001_calbr0", KDEVS_I2CM, 11},
        {"/dev/kdt/calibre0", KDEVS_I2CM, -1},
        {"/dev/kdt/kxusb0", KDEVS_I2CM, -1},
        {"/dev/kdt/kx31001_pci_cr0_i2cm", KDEVS_ZORVAN_CR | KDEVS_I2CM, 11},
        {"/dev/kdt/kx31001_kif0", KDEVS_IF, 11},
        {"/dev/kdt/kx31001_ppc0", KDEVS_PPC, 11},
        {"/dev/kdt/vtop0", KDEVS_MEM, -1},
        {"/dev/kdt/kx31001_dev-i2c0", KDEVS_DEV_I2C, 11},
        {"host:5000,@dev@kdt@kx31001_pci_cr0", KDEVS_REM | KDEVS_ZORVAN_CR, 21},
        {"lid-12", KDEVS_IB, -1},
        {"lid-0x1f,2", KDEVS_IB, -1},
        {"lid-ab", 0, -1},
        {"lid-", 0, -1},
        {"lid-,3", 0, -1},
        {"/dev/kdt/other0", 0, -1},
        // 31003 comes before 31022 in the list.
        {"kx31022_kx31003", 0, 10},
        {"3100", 0, -1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(get_device_flags(row.name), row.flags) << row.name;
        const char* found = find_zorvan(row.name);
        EXPECT_EQ(found ? found - row.name : -1, row.zorvan_at) << row.name;
    }
    EXPECT_EQ(get_device_flags(nullptr), 0);
    EXPECT_EQ(find_zorvan(nullptr), nullptr);
}

TEST(Kxcr, AddressPhase) {
    // The address's last bytes, most significant first, then the data: 4, 2, 1 or no address bytes.
    const unsigned char data[] = {0xAA, 0xBB}, all[] = {0x12, 0x34, 0x56, 0x78, 0xAA, 0xBB};
    for (auto [dtype, address_len] : {std::pair{KDT_ZORVAN, 4}, {KDT_DUVRA, 2}, {KDT_DIMM, 1}, {KDT_NOADDR, 0}}) {
        unsigned char buf[8] = {};
        const int length = prepare_i2c_data(buf, dtype, 0x12345678, data, 2);
        EXPECT_EQ(std::vector<unsigned char>(buf, buf + length),
                  std::vector<unsigned char>(all + 4 - address_len, all + 6));
        EXPECT_EQ(prepare_i2c_buf(buf, dtype, 0x12345678), address_len) << "dtype " << dtype;
    }
}

TEST(Kxcr, TraceSwitch) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(plog("off %d\n", 1), 0);
    logset(1);
    EXPECT_EQ(plog("on %d\n", 2), 5);
    logset(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "on 2\n");
}

}  // namespace
