// The simulated kernel driver behind kxcr's OS table, the chip's I2C slave,
// and one chip shared by several processes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "kdt_calbr.h"
#include "kdt_pci.h"
#include "kdt_pciconf.h"
#include "kxcr.h"
#include "kxcr_kif.h"
#include "kxcr_os.h"
#include "sim.h"
#include "sim_helpers.h"

namespace {

using kxsim::Chip;
using kxsim::Family;
using simtest::Fails;
using simtest::Try;
using Bytes = std::vector<uint8_t>;

const char kDb[] = "base GW_simple 40000 24 4 0 16 255 40010 2\n";

const kxcr_os_ops* os() { return kxcr_os(); }

class SimDriverTest : public ::testing::Test {
protected:
    void SetUp() override { Start(Family::Zorvan); }
    void TearDown() override {
        for (int fd : fds) os()->close(fd);
        fds.clear();
    }
    // A fresh chip of the family behind the driver, in place of the last.
    void Start(Family family) {
        TearDown();
        sim.reset();
        sim = std::make_unique<simtest::DriverChip>(family, kDb);
        chip = sim->chip.get();
        ASSERT_TRUE(chip);
    }
    int Open(const char* name) {
        int fd = os()->open(name, O_RDWR | O_SYNC);
        EXPECT_GE(fd, 0) << name << ": " << std::strerror(errno);
        if (fd >= 0) fds.push_back(fd);
        return fd;
    }
    std::vector<std::string> Listing() {
        std::vector<std::string> names;
        void* d = os()->opendir("/dev/kdt");
        EXPECT_NE(d, nullptr);
        while (const char* n = os()->readdir(d)) names.push_back(n);
        EXPECT_EQ(os()->closedir(d), 0);
        return names;
    }

    std::unique_ptr<simtest::DriverChip> sim;
    Chip* chip = nullptr;
    std::vector<int> fds;
};

TEST_F(SimDriverTest, ServesTheNamesOfTheChipsFamilyOnly) {
    struct Row {
        Family family;
        std::vector<std::string> listed;
        const char* foreign;
    } rows[] = {{Family::Zorvan,
                 {"kx31001_pci_cr0", "kx31001_pciconf0", "kx31001_calbr0", "kx31001_kif0", "kx31001_ppc0",
                  "kx31001_dev-i2c0", "kx31001_pciconf0_i2cm"},
                 kxsim::kDuvraPciName},
                {Family::Duvra, {"kx52100_pci_cr0", "kx52100_pciconf0", "kx52100_pciconf0_i2cm"},
                 kxsim::kZorvanPciName}};
    for (const Row& row : rows) {
        Start(row.family);
        EXPECT_EQ(Listing(), row.listed);
        for (const char* name : {row.foreign, "/dev/kdt/kx31001_pci_cr1"}) {
            EXPECT_EQ(Try([&] { return os()->open(name, O_RDWR); }), Fails(ENOENT)) << name;
        }
    }
    int fd = os()->open("/dev/null", O_RDWR);  // not ours: libc
    ASSERT_GE(fd, 0);
    kdt_read4_st r{0x40000, 0};
    EXPECT_EQ(Try([&] { return os()->ioctl(fd, KDT_IOC_READ4, &r); }), Fails(ENOTTY));
    os()->close(fd);
}

TEST_F(SimDriverTest, WindowIsAPlainMappingInTheFamilysByteOrder) {
    struct Row {
        Family family;
        const char* name;
        uint8_t bytes[4];
    } rows[] = {{Family::Zorvan, kxsim::kZorvanPciName, {0x12, 0x34, 0x56, 0x78}},
                {Family::Duvra, kxsim::kDuvraPciName, {0x78, 0x56, 0x34, 0x12}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Start(row.family);
        int fd = Open(row.name);
        kdt_pci_params_st params{};
        ASSERT_EQ(os()->ioctl(fd, KDT_IOC_PCI_PARAMS, &params), 0);
        ASSERT_EQ(params.size, 16u << 20);
        void* p = os()->mmap(nullptr, params.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ASSERT_NE(p, MAP_FAILED);
        auto* window = static_cast<uint8_t*>(p);
        chip->Poke(0x100, 0x12345678);
        EXPECT_EQ(std::memcmp(window + 0x100, row.bytes, 4), 0);
        std::memcpy(window + 0x204, row.bytes, 4);
        EXPECT_EQ(chip->Peek(0x204), 0x12345678u);
        volatile uint32_t load = *reinterpret_cast<uint32_t*>(window + 0x40000);
        (void)load;
        EXPECT_EQ(chip->Peek(0x40000), 0u) << "a window load takes no lock";
        EXPECT_TRUE(chip->Traffic().empty());
        EXPECT_EQ(os()->munmap(p, params.size), 0);
    }
}

TEST_F(SimDriverTest, FlushSlotsGoOnePerProcess) {
    int fd = Open(kxsim::kZorvanPciName);
    uint32_t mine = 9, again = 9;
    ASSERT_EQ(os()->ioctl(fd, KDT_IOC_PELLIK_SLOT, &mine), 0);
    ASSERT_EQ(os()->ioctl(fd, KDT_IOC_PELLIK_SLOT, &again), 0);
    EXPECT_LT(mine, 3u);
    EXPECT_EQ(again, mine);
    pid_t child = fork();
    if (child == 0) {  // reports its slot through its exit status
        uint32_t slot = 9;
        _exit(os()->ioctl(fd, KDT_IOC_PELLIK_SLOT, &slot) == 0 ? int(slot) : 9);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_LT(WEXITSTATUS(status), 3);
    EXPECT_NE(uint32_t(WEXITSTATUS(status)), mine);
}

// Driver pages come from offset 4096 only: the window has none.
TEST_F(SimDriverTest, PpcPagesComeFromOffset4096) {
    int fd = Open(kxsim::kZorvanPpcName);
    void* p = os()->mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 4096);
    ASSERT_NE(p, MAP_FAILED);
    EXPECT_EQ(os()->munmap(p, 8192), 0);
    EXPECT_EQ(Try([&] { return os()->mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0); }), Fails(EINVAL));
}

// The slave answers at its address with the configured address phase; data
// travels most significant byte first.
TEST_F(SimDriverTest, I2cSlaveHonoursEachAddressWidth) {
    chip->Poke(0x40, 0x11223344);
    chip->Poke(0x44, 0x55667788);
    struct Row {
        int bytes;
        Bytes addr_phase;
    } rows[] = {{4, {0, 0, 0, 0x40}}, {2, {0, 0x40}}, {1, {0x40}}, {0, {}}};
    int wr = -1, rd = -1;
    // Without an address phase the slave goes on from where the last
    // transaction left it: aim it with a one-byte phase first.
    auto aim = [&](const Bytes& phase) {
        if (!phase.empty()) return;
        uint8_t a = 0x40;
        chip->SetI2cSlave(0x50, 1);
        ASSERT_TRUE(chip->I2cTransaction(0x50, &a, 1, nullptr, 0, &wr, &rd));
        chip->SetI2cSlave(0x50, 0);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        chip->SetI2cSlave(0x50, row.bytes);
        aim(row.addr_phase);
        uint8_t got[6] = {};
        ASSERT_TRUE(chip->I2cTransaction(0x50, row.addr_phase.data(), row.bytes, got, 6, &wr, &rd));
        EXPECT_EQ(wr, row.bytes);
        EXPECT_EQ(rd, 6);
        EXPECT_EQ(Bytes(got, got + 6), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
        aim(row.addr_phase);
        Bytes write = row.addr_phase;
        write.insert(write.end(), {0xCA, 0xFE, 0xBA, 0xBE, 0x99});
        ASSERT_TRUE(chip->I2cTransaction(0x50, write.data(), int(write.size()), nullptr, 0, &wr, &rd));
        EXPECT_EQ(wr, int(write.size()));
        EXPECT_EQ(chip->Peek(0x40), 0xCAFEBABEu);
        EXPECT_EQ(chip->Peek(0x44), 0x55667788u) << "a partial word is dropped";
        chip->Poke(0x40, 0x11223344);
    }
    EXPECT_FALSE(chip->I2cTransaction(0x48, nullptr, 0, nullptr, 0, &wr, &rd)) << "old address";
}

// One conversation with the slave, event by event: a repeated start turns
// the write of the address phase into a read, a wrong address is not
// acknowledged, the current address outlives the stop, a write reaches the
// bus at the fourth byte of a word, and the byte completing a word the bus
// refuses is not acknowledged, nor is anything after it.
TEST_F(SimDriverTest, I2cSlaveFollowsAConversation) {
    chip->Poke(0x40, 0x11223344);
    chip->Poke(0x44, 0x55667788);
    chip->FailAccess(0x48, EIO);
    chip->SetI2cSlave(0x50, 2);
    chip->ClearTraffic();
    struct Step {
        char event;    // S start, W write, R read, P stop
        uint8_t byte;  // address byte, byte written or byte expected
        bool ok;       // acknowledged, or read driven by the slave
    } steps[] = {
        {'S', 0xA0, true}, {'W', 0x00, true},  {'W', 0x40, true}, {'S', 0xA1, true},  {'R', 0x11, true},
        {'R', 0x22, true}, {'P', 0, true},     {'S', 0xA2, false}, {'W', 0x00, false}, {'R', 0, false},
        {'S', 0xA1, true}, {'R', 0x33, true},  {'R', 0x44, true}, {'R', 0x55, true},  {'P', 0, true},
        {'S', 0xA0, true}, {'W', 0x00, true},  {'W', 0x44, true}, {'W', 0xCA, true},  {'W', 0xFE, true},
        {'W', 0xBA, true}, {'W', 0xBE, true},  {'W', 0x01, true}, {'W', 0x02, true},  {'W', 0x03, true},
        {'W', 0x04, false}, {'W', 0x05, false}, {'S', 0xA1, true}, {'R', 0, false},    {'P', 0, true},
    };
    kxsim::I2cConversation c;
    int n = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << n++ << " " << step.event);
        uint8_t got = 0;
        switch (step.event) {
        case 'S': EXPECT_EQ(chip->I2cStart(c, step.byte), step.ok); break;
        case 'W': EXPECT_EQ(chip->I2cWrite(c, step.byte), step.ok); break;
        case 'P': chip->I2cStop(c); break;
        case 'R':
            EXPECT_EQ(chip->I2cRead(c, &got), step.ok);
            EXPECT_EQ(got, step.byte);
            break;
        }
    }
    EXPECT_EQ(simtest::Show(chip->Traffic()),
              simtest::Show({{'R', 0x40, 0x11223344}, {'R', 0x40, 0x11223344}, {'R', 0x44, 0x55667788},
                             {'W', 0x44, 0xCAFEBABE}}));
}

// A transaction that finds no slave still succeeds: the counts tell (the
// answered ones are checked through kxcr).
TEST_F(SimDriverTest, CalibreTransactionsReportCounts) {
    int fd = Open(kxsim::kZorvanCalbrName);
    kdt_trans_st t{};
    t.wr_size = 4;
    t.rd_size = 4;
    for (bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "other slave address" : "slave not answering");
        chip->SetI2cAnswers(answers);
        t.slv_addr = answers ? 0x49 : 0x48;
        ASSERT_EQ(os()->ioctl(fd, KDT_IOC_TRANS, &t), 0);
        EXPECT_EQ(t.wr_count, 0u);
        EXPECT_EQ(t.rd_count, 0u);
    }
    t.wr_size = 69;
    EXPECT_EQ(Try([&] { return os()->ioctl(fd, KDT_IOC_TRANS, &t); }), Fails(EINVAL));
}

// Word requests are bus accesses (their traffic is checked through kxcr);
// block requests go through the I2C slave.
TEST_F(SimDriverTest, KifRequestsReachTheBusAndTheSlave) {
    int fd = Open(kxsim::kZorvanKifName);
    uint32_t value = 0;
    kif_param_st p{KREAD4, KDT_ZORVAN, 0x48, 4, 0, 0x40000, &value};
    chip->FailAccess(0x40000, EACCES);
    EXPECT_EQ(Try([&] { return os()->ioctl(fd, KREAD4, &p); }), Fails(EACCES));

    chip->SetI2cSlave(0x48, 2);
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    p = kif_param_st{KWRITE64, KDT_DUVRA, 0x48, 8, 0, 0x80, bytes};
    EXPECT_EQ(os()->ioctl(fd, KWRITE64, &p), 8);
    EXPECT_EQ(chip->Peek(0x84), 0x05060708u);
    uint8_t back[6] = {};
    p = kif_param_st{KREAD64, KDT_DUVRA, 0x48, 6, 0, 0x82, back};
    EXPECT_EQ(os()->ioctl(fd, KREAD64, &p), 6);
    EXPECT_EQ(Bytes(back, back + 6), (Bytes{3, 4, 5, 6, 7, 8}));
    chip->SetI2cAnswers(false);
    EXPECT_EQ(Try([&] { return os()->ioctl(fd, KREAD64, &p); }), Fails(ENXIO));
    p.len = 65;
    EXPECT_EQ(Try([&] { return os()->ioctl(fd, KREAD64, &p); }), Fails(EINVAL));
    EXPECT_EQ(Try([&] { return os()->ioctl(fd, 77, &p); }), Fails(ENOTTY));
}

// Each device has a lock of its own: a second open of the device is refused
// while the first holds it, another device and the image are not locked,
// and the last close releases it.
TEST_F(SimDriverTest, FlockLocksTheDeviceOnly) {
    int pci = Open(kxsim::kZorvanPciName), again = Open(kxsim::kZorvanPciName);
    int calbr = Open(kxsim::kZorvanCalbrName);
    ASSERT_EQ(os()->flock(pci, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Try([&] { return os()->flock(again, LOCK_EX | LOCK_NB); }), Fails(EWOULDBLOCK));
    EXPECT_EQ(os()->flock(calbr, LOCK_EX | LOCK_NB), 0);
    int image = open(sim->dir.image().c_str(), O_RDWR);
    EXPECT_EQ(flock(image, LOCK_EX | LOCK_NB), 0);
    close(image);
    os()->close(pci);
    fds.erase(fds.begin());
    EXPECT_EQ(os()->flock(again, LOCK_EX | LOCK_NB), 0);
}

// Two processes on one image: what one writes the other reads, and the lock
// bit's read-and-set is atomic between them.
TEST(SimSharedTest, ProcessesShareOneChipAndOneLockBit) {
    simtest::ChipDir dir;
    auto chip = dir.Open(Family::Zorvan, kDb);
    ASSERT_TRUE(chip);
    const std::string db = dir.Write("arr_db.txt", kDb);
    constexpr int kChildren = 3, kRounds = 3000;
    constexpr uint32_t kCounter = 0x50000;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        if (pid == 0) {
            std::string error;
            auto mine = Chip::Open(dir.image(), Family::Zorvan, &error);
            if (!mine || !mine->LoadDatabase(db, &error)) _exit(3);
            for (int done = 0; done < kRounds;) {
                uint32_t v;
                if (!mine->Read(0x40000, &v)) _exit(4);
                if (v & 0x80000000u) continue;
                uint32_t n;  // not atomic by itself: only the lock keeps it whole
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
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    uint32_t n = 0, w = 0;
    EXPECT_TRUE(chip->Read(kCounter, &n));
    EXPECT_EQ(n, uint32_t(kChildren * kRounds));
    EXPECT_TRUE(chip->Read(0x40010, &w));
    EXPECT_EQ(w, 0xC0FFEEu);
}

}  // namespace
