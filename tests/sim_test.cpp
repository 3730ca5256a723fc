// The simulated chip on its bus (lock and busy bits, fault knobs, image,
// database), behind its simulated kernel driver, and shared by processes.
// Each gateway kind's chip side is checked access by access by the gateway
// suites, its I2C slave's conversations by the I2C transports' traffic.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kdt_pci.h"
#include "kdt_pciconf.h"
#include "kxcr_os.h"
#include "sim_helpers.h"

namespace {

using kxsim::Chip;
using kxsim::Family;
using simtest::Fails;
using simtest::Show;
using simtest::Try;

constexpr uint32_t kLock = 0x80000000u;
constexpr uint32_t kBusy = 0x40000000u;
const char kDb[] = "base GW_simple 40000 24 4 0 16 255 40010 2\n";

const kxcr_os_ops* os() { return kxcr_os(); }

uint32_t Rd(Chip& chip, uint32_t addr) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_TRUE(chip.Read(addr, &v)) << std::hex << addr;
    return v;
}

// The read that finds the lock bit clear takes it, a write releases it;
// HoldLock shows it taken without changing the register. (The busy knob is
// checked poll by poll by the gateway suites.)
TEST(SimChip, LockBit) {
    simtest::ChipDir dir;
    auto chip = dir.Open(Family::Zorvan, kDb);
    ASSERT_TRUE(chip);
    chip->HoldLock(0x40000, true);
    EXPECT_EQ(Rd(*chip, 0x40000), kLock);
    EXPECT_EQ(chip->Peek(0x40000), 0u);
    chip->HoldLock(0x40000, false);
    chip->ClearTraffic();
    for (uint32_t want : {0u, kLock, kLock}) EXPECT_EQ(Rd(*chip, 0x40000), want);
    chip->Write(0x40000, 0x00000123);
    for (uint32_t want : {0x123u, kLock | 0x123}) EXPECT_EQ(Rd(*chip, 0x40000), want);
    EXPECT_EQ(Show(chip->Traffic()), Show({{'R', 0x40000, 0}, {'R', 0x40000, kLock}, {'R', 0x40000, kLock},
                                           {'W', 0x40000, 0x123}, {'R', 0x40000, 0x123},
                                           {'R', 0x40000, kLock | 0x123}}));
}

TEST(SimChip, FailedAccessesReportTheirErrnoAndLeaveNoTrace) {
    simtest::ChipDir dir;
    auto chip = dir.Open(Family::Zorvan, kDb);
    ASSERT_TRUE(chip);
    chip->FailAccess(0x40000, EIO);
    chip->ClearTraffic();
    for (auto [addr, err] : {std::pair{0x40000u, EIO}, {0x40002u, EINVAL}, {0x1000000u, EFAULT}}) {
        uint32_t v;
        EXPECT_EQ(Try([&, addr = addr] { return chip->Read(addr, &v) ? 0 : -1; }), Fails(err)) << std::hex << addr;
        EXPECT_EQ(Try([&, addr = addr] { return chip->Write(addr, kLock | kBusy | 0x01000000) ? 0 : -1; }), Fails(err));
    }
    EXPECT_TRUE(chip->Traffic().empty());
    EXPECT_EQ(chip->Peek(0x40000), 0u);
    chip->FailAccess(0x40000, 0);
    EXPECT_EQ(Rd(*chip, 0x40000), 0u);
}

// Contents and knobs live in the image; the family is checked at open.
TEST(SimChip, ImagePersistsAndKeepsItsFamily) {
    simtest::ChipDir dir;
    {
        auto chip = dir.Open(Family::Duvra, kDb);
        ASSERT_TRUE(chip);
        chip->Poke(0x40010, 0xABCD);
        chip->Write(0x40000, 0xC0000004);
        chip->SetBusyReads(0x40000, 2);
    }
    auto chip = dir.Open(Family::Duvra, kDb);
    ASSERT_TRUE(chip);
    EXPECT_EQ(chip->Entry(0x40000, 4), (std::vector<uint32_t>{0, 0xABCD}));
    chip->Write(0x40000, 0xC1000004);
    EXPECT_EQ(chip->Peek(0x40000) & kBusy, kBusy);
    std::string error;
    EXPECT_FALSE(Chip::Open(dir.image(), Family::Zorvan, &error));
    EXPECT_NE(error.find("holds a Duvra chip"), std::string::npos) << error;
}

TEST(SimChip, BadDatabaseLinesAreReportedWithTheirPlace) {
    const std::pair<const char*, const char*> rows[] = {
        {"a GW_simple 4000z 24 4 0 16 255 40010 2\n", "arr_db.txt:1: bad number 4000z"},
        {"a GW_simple 40000 24 4 0 16 x 40010 2\n", "arr_db.txt:1: bad number x"},
        {"a GW_tag_data 40000 24 4 0 16 255 40010 2 0\n", "arr_db.txt:1: GW_tag_data needs 16 words"},
        {"a GW_simple 40000 24 4 0 16 255 40010 65\n", "arr_db.txt:1: more than 64 data words"},
        {"\nb GW_simple 40002 24 4 0 16 255 40010 1\n", "arr_db.txt:2: control register outside CR space"},
        {"a GW_simple 1000000 24 4 0 16 255 40010 1\n", "arr_db.txt:1: control register outside CR space"},
    };
    simtest::ChipDir dir;
    std::string error;
    auto chip = Chip::Open(dir.image(), Family::Zorvan, &error);
    ASSERT_TRUE(chip) << error;
    for (auto [line, message] : rows) {
        error.clear();
        EXPECT_FALSE(chip->LoadDatabase(dir.Write("arr_db.txt", line), &error)) << line;
        EXPECT_NE(error.find(message), std::string::npos) << line << "gave: " << error;
    }
    EXPECT_FALSE(chip->LoadDatabase(dir.Write("x", "") + ".missing", &error));
}

// The driver serves the names of its chip's family only (the other family's
// are checked through kxcr's listing), and leaves other files to libc. Its
// window (a plain mapping of the chip's words) is checked through kxcr.
TEST(SimDriver, ServesItsFamilysNamesOnly) {
    simtest::DriverChip sim(Family::Duvra);
    std::vector<std::string> names;
    void* d = os()->opendir("/dev/kdt");
    ASSERT_NE(d, nullptr);
    while (const char* n = os()->readdir(d)) names.push_back(n);
    EXPECT_EQ(os()->closedir(d), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"kx52100_pci_cr0", "kx52100_pciconf0", "kx52100_pciconf0_i2cm"}));
    for (const char* name : {kxsim::kZorvanPciName, "/dev/kdt/kx52100_pci_cr1"})
        EXPECT_EQ(Try([&] { return os()->open(name, O_RDWR); }), Fails(ENOENT)) << name;
    const int fd = os()->open("/dev/null", O_RDWR);
    kdt_read4_st r{0x40000, 0};
    EXPECT_EQ(Try([&] { return os()->ioctl(fd, KDT_IOC_READ4, &r); }), Fails(ENOTTY));
    os()->close(fd);
}

// Each process gets a flush slot of its own, the same one each time it asks.
// (Device locks between processes are checked through the USB adapter's.)
TEST(SimDriver, FlushSlotsGoOnePerProcess) {
    simtest::DriverChip sim;
    const int pci = os()->open(kxsim::kZorvanPciName, O_RDWR), again = os()->open(kxsim::kZorvanPciName, O_RDWR);
    uint32_t mine = 9, same = 9;
    ASSERT_EQ(os()->ioctl(pci, KDT_IOC_PELLIK_SLOT, &mine) | os()->ioctl(again, KDT_IOC_PELLIK_SLOT, &same), 0);
    EXPECT_LT(mine, 3u);
    EXPECT_EQ(same, mine);
    const pid_t child = fork();
    if (child == 0) {  // reports its slot through its exit status
        uint32_t slot = 9;
        _exit(os()->ioctl(pci, KDT_IOC_PELLIK_SLOT, &slot) == 0 ? int(slot) : 9);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_LT(WEXITSTATUS(status), 3);
    EXPECT_NE(uint32_t(WEXITSTATUS(status)), mine);
    os()->close(pci), os()->close(again);
}

// Two processes on one image: what one writes the other reads, and the lock
// bit's read-and-set is atomic between them.
TEST(SimShared, ProcessesShareOneChipAndOneLockBit) {
    simtest::ChipDir dir;
    auto chip = dir.Open(Family::Zorvan, kDb);
    ASSERT_TRUE(chip);
    const std::string db = dir.Write("arr_db.txt", kDb);
    constexpr int kChildren = 3, kRounds = 3000;
    constexpr uint32_t kCounter = 0x50000;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::string error;
            auto mine = Chip::Open(dir.image(), Family::Zorvan, &error);
            if (!mine || !mine->LoadDatabase(db, &error)) _exit(3);
            for (int done = 0; done < kRounds;) {
                uint32_t v, n;  // n is not atomic by itself: only the lock keeps it whole
                if (!mine->Read(0x40000, &v)) _exit(4);
                if (v & kLock) continue;
                mine->Read(kCounter, &n);
                mine->Write(kCounter, n + 1);
                mine->Write(0x40000, 0);
                ++done;
            }
            mine->Write(0x40010, 0xC0FFEE);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0) == pid ? status : -1, 0);
    }
    EXPECT_EQ(Rd(*chip, kCounter), uint32_t(kChildren * kRounds));
    EXPECT_EQ(Rd(*chip, 0x40010), 0xC0FFEEu);
}

}  // namespace
