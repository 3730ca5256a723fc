// The in-chip I2C master: "i2cm" handles drive the master's registers, the
// simulated master runs the conversation on the chip's I2C bus.
#include <algorithm>

#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

constexpr uint32_t kCtrl = 0xF0180;
constexpr uint32_t kData = 0xF0184;

// A command written to the control register and the poll that finds it
// done with `status`.
Traffic Command(uint32_t control, uint32_t status = 7, uint32_t ctrl = kCtrl) {
    return {{'W', ctrl, control}, {'R', ctrl, (control & 0x1FFFFFFFu) | status << 16}};
}

// A write transaction: the data register, then the command.
Traffic Send(uint32_t data, uint32_t control, uint32_t ctrl = kCtrl) {
    Traffic t = {{'W', ctrl + 4, data}};
    for (const Access& a : Command(control, 7, ctrl)) t.push_back(a);
    return t;
}

Traffic operator+(Traffic a, const Traffic& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

size_t CountOf(const Traffic& traffic, const Access& access) {
    return std::count(traffic.begin(), traffic.end(), access);
}

// A second chip on the master's bus, so the master's chip shows the
// master's registers only and the device shows the slave's accesses.
struct TwoChips {
    explicit TwoChips(Family family = Family::Zorvan) : sim(family), device(device_dir.Open(Family::Zorvan, "")) {
        if (sim.chip && device) sim.chip->ConnectI2cMaster(device.get());
    }
    DriverChip sim;
    simtest::ChipDir device_dir;
    std::unique_ptr<kxsim::Chip> device;
};

TEST(I2cMaster, OpenAccessClose) {
    DriverChip sim;
    Handle mf = OpenHandle(kxsim::kZorvanI2cmName);
    ASSERT_TRUE(mf) << strerror(errno);
    EXPECT_EQ(mf->tp, KDT_PCICONF);
    EXPECT_EQ(mf->is_i2cm, 1);
    EXPECT_EQ(mf->flags, KDEVS_ZORVAN_CR | KDEVS_I2CM);
    // The chip's own slave answers: the word lands in the same chip.
    EXPECT_EQ(kwrite4(mf.get(), 0x300, 0x11223344), 4);
    EXPECT_EQ(sim.chip->Peek(0x300), 0x11223344u);
    sim.chip->Poke(0x304, 0xCAFEF00D);
    u_int32_t value = 0;
    EXPECT_EQ(kread4(mf.get(), 0x304, &value), 4);
    EXPECT_EQ(value, 0xCAFEF00Du);
    EXPECT_EQ(kclose(mf.release()), 0);
}

// Every command waits for bits 29-31 to clear (one busy poll here).
TEST(I2cMaster, WriteOfOneWordIsTheExactConversation) {
    TwoChips chips;
    ASSERT_TRUE(chips.device);
    chips.sim.chip->SetI2cMasterBusyReads(1);
    Handle mf = OpenHandle(kxsim::kZorvanI2cmName);
    ASSERT_TRUE(mf);
    chips.sim.chip->ClearTraffic();
    EXPECT_EQ(kwrite4(mf.get(), 0x10, 0x11223344), 4);
    EXPECT_EQ(Show(chips.sim.chip->Traffic()), Show({
                                                   {'W', 0xF0184, 0x00000010},
                                                   {'W', 0xF0180, 0x40C00048},
                                                   {'R', 0xF0180, 0x40C00048},
                                                   {'R', 0xF0180, 0x00C70048},
                                                   {'W', 0xF0184, 0x11223344},
                                                   {'W', 0xF0180, 0x40C00048},
                                                   {'R', 0xF0180, 0x40C00048},
                                                   {'R', 0xF0180, 0x00C70048},
                                                   {'W', 0xF0180, 0x60000048},
                                                   {'R', 0xF0180, 0x60000048},
                                                   {'R', 0xF0180, 0x00070048},
                                               }));
    EXPECT_EQ(Show(chips.device->Traffic()), Show({{'W', 0x10, 0x11223344}}));
    EXPECT_EQ(chips.sim.chip->Peek(0x10), 0u);
}

// The address phase by dtype, then the data; the device's slave takes the
// same address phase.
TEST(I2cMaster, AddressPhaseAndLengths) {
    struct Row {
        const char* what;
        DType dtype;
        int address_bytes;
        std::function<long(kfile*)> call;
        long want;
        Traffic traffic;  // on the master's chip
        Traffic device;
    };
    u_int32_t value = 0;
    uint8_t bytes[4] = {};
    const auto write = [](kfile* mf) { return kwrite4(mf, 0x1234, 0x11223344); };
    const auto read = [&](kfile* mf) { return kread4(mf, 0x1234, &value); };
    const Traffic stop48 = Command(0x60000048), stop5a = Command(0x6000005A);
    const Row rows[] = {
        {"write, 4 address bytes", KDT_ZORVAN, 4, write, 4,
         Send(0x1234, 0x40C00048) + Send(0x11223344, 0x40C00048) + stop48, {{'W', 0x1234, 0x11223344}}},
        {"read, 4 address bytes", KDT_ZORVAN, 4, read, 4,
         Send(0x1234, 0x40C00048) + Command(0x20C00048) + Traffic{{'R', kData, 0xA5A5A5A5}} + stop48,
         {{'R', 0x1234, 0xA5A5A5A5}}},
        {"write, 2 address bytes", KDT_DUVRA, 2, write, 4,
         Send(0x12340000, 0x4040005A) + Send(0x11223344, 0x40C0005A) + stop5a, {{'W', 0x1234, 0x11223344}}},
        {"write, 1 address byte", KDT_DIMM, 1, write, 4,
         Send(0x34000000, 0x4000005A) + Send(0x11223344, 0x40C0005A) + stop5a, {{'W', 0x34, 0x11223344}}},
        // The slave's address stays where it was: 0.
        {"write, no address phase", KDT_NOADDR, 0, write, 4, Send(0x11223344, 0x40C0005A) + stop5a,
         {{'W', 0, 0x11223344}}},
        // The value's low 16 bits in bits 16-31; the slave drops a partial word.
        {"write of 2 bytes", KDT_ZORVAN, 4, [](kfile* mf) { return i2c_master_write_cr(mf, 0xABCD1234, 0x1234, 2); },
         2, Send(0x1234, 0x40C00048) + Send(0x12340000, 0x40400048) + stop48, {}},
        {"read of 3 bytes", KDT_ZORVAN, 4, [&](kfile* mf) { return i2c_master_read(mf, bytes, 0x1234, 3); }, 3,
         Send(0x1234, 0x40C00048) + Command(0x20800048) + Traffic{{'R', kData, 0xA5A5A500}} + stop48,
         {{'R', 0x1234, 0xA5A5A5A5}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TwoChips chips;
        ASSERT_TRUE(chips.device);
        chips.device->SetI2cSlave(row.dtype == KDT_ZORVAN ? 0x48 : 0x5A, row.address_bytes);
        chips.device->Poke(0x1234, 0xA5A5A5A5);
        Handle mf = OpenHandle(kxsim::kZorvanI2cmName, row.dtype);
        ASSERT_TRUE(mf);
        chips.sim.chip->ClearTraffic();
        EXPECT_EQ(Try([&] { return row.call(mf.get()); }), (simtest::Outcome{row.want, 0}));
        EXPECT_EQ(Show(chips.sim.chip->Traffic()), Show(row.traffic));
        EXPECT_EQ(Show(chips.device->Traffic()), Show(row.device));
    }
    EXPECT_EQ(value, 0xA5A5A5A5u);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{0xA5, 0xA5, 0xA5, 0}));
}

TEST(I2cMaster, RefusedCalls) {
    DriverChip sim;
    uint8_t bytes[4] = {};
    const char* name = kxsim::kZorvanI2cmName;
    ExpectRefusals(sim, {
        {"i2c_master_read_cr of 3", name, [&](kfile* mf) { return i2c_master_read_cr(mf, bytes, 0x10, 3); }, EINVAL},
        {"i2c_master_write_cr of 3", name, [](kfile* mf) { return i2c_master_write_cr(mf, 1, 0x10, 3); }, EINVAL},
        {"i2c_master_read of 5", name, [&](kfile* mf) { return i2c_master_read(mf, bytes, 0x10, 5); }, EINVAL},
        {"w_trans of 0", name, [&](kfile* mf) { return w_trans(mf, bytes, 0); }, EINVAL},
        {"r_trans of 5", name, [&](kfile* mf) { return r_trans(mf, bytes, 5); }, EINVAL},
        {"misaligned read", name, [&](kfile* mf) { return kread4(mf, 0x12, reinterpret_cast<u_int32_t*>(bytes)); },
         EINVAL},
    });
}

// A busy slave (status 6) is tried again, up to 100 attempts each closed by
// a stop; a slave that does not answer (status 4) ends a read at once, but
// a write is tried again whatever the status. A master whose registers
// cannot be reached fails with that access's errno.
TEST(I2cMaster, RetriesAndGivingUp) {
    struct Row {
        const char* what;
        std::function<void(kxsim::Chip&)> knob;
        bool write;
        simtest::Outcome want;
        size_t stops;
    };
    const auto busy = [](uint32_t n) { return [n](kxsim::Chip& chip) { chip.SetI2cBusy(n); }; };
    const auto silent = [](kxsim::Chip& chip) { chip.SetI2cAnswers(false); };
    const auto fail = [](uint32_t addr, int err) { return [=](kxsim::Chip& chip) { chip.FailAccess(addr, err); }; };
    const Row rows[] = {
        {"read, busy 3 times", busy(3), false, {4, 0}, 4},
        {"read, busy 99 times", busy(99), false, {4, 0}, 100},
        {"read, busy 100 times", busy(100), false, Fails(EIO), 100},
        {"write, busy 5 times", busy(5), true, {4, 0}, 6},
        {"write, busy 100 times", busy(100), true, Fails(EIO), 100},
        {"read, no answer", silent, false, Fails(EIO), 1},
        {"write, no answer", silent, true, Fails(EIO), 100},
        {"data register fails", fail(kData, ENXIO), true, Fails(ENXIO), 0},
        {"control register fails", fail(kCtrl, EACCES), false, Fails(EACCES), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        ASSERT_TRUE(sim.chip);
        sim.chip->Poke(0x20, 0x0BADCAFE);
        Handle mf = OpenHandle(kxsim::kZorvanI2cmName);
        ASSERT_TRUE(mf);
        row.knob(*sim.chip);
        sim.chip->ClearTraffic();
        u_int32_t value = 0;
        EXPECT_EQ(Try([&] { return row.write ? kwrite4(mf.get(), 0x20, 0x12345678) : kread4(mf.get(), 0x20, &value); }),
                  row.want);
        EXPECT_EQ(CountOf(sim.chip->Traffic(), {'W', kCtrl, 0x60000048}), row.stops);
        if (row.want.rc == 4) {
            EXPECT_EQ(row.write ? sim.chip->Peek(0x20) : value, row.write ? 0x12345678u : 0x0BADCAFEu);
        }
    }
}

// The first 5001 polls come at once, the later ones after a pause; the
// 5012th poll that finds the command running gives EBUSY, and nothing more
// is sent.
TEST(I2cMaster, WaitGivesUpAfterThe5012thPoll) {
    struct Row {
        uint32_t busy_reads;
        simtest::Outcome want;
    };
    const Row rows[] = {{5011, {4, 0}}, {5012, Fails(EBUSY)}, {kxsim::kBusyForever, Fails(EBUSY)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.busy_reads);
        DriverChip sim;
        ASSERT_TRUE(sim.chip);
        Handle mf = OpenHandle(kxsim::kZorvanI2cmName);
        ASSERT_TRUE(mf);
        sim.chip->SetI2cMasterBusyReads(row.busy_reads);
        sim.chip->ClearTraffic();
        EXPECT_EQ(Try([&] { return kwrite4(mf.get(), 0x20, 1); }), row.want);
        const Traffic& traffic = sim.chip->Traffic();
        const size_t running_polls = CountOf(traffic, {'R', kCtrl, 0x40C00048});
        if (row.want.rc == 4) {
            EXPECT_EQ(running_polls, 2 * 5011u);
            EXPECT_EQ(sim.chip->Peek(0x20), 1u);
        } else {
            EXPECT_EQ(running_polls, 5012u);
            EXPECT_EQ(traffic.size(), 2 + 5012u);
        }
    }
}

// kread64 and kwrite64 of window and configuration-cycle handles move one
// byte per transaction through the master, "i2cm" or not.
TEST(I2cMaster, BytesOfTransfers) {
    DriverChip sim;
    Handle mf = OpenHandle(kxsim::kZorvanPciconfName);
    ASSERT_TRUE(mf);
    sim.chip->Poke(0x20, 0x11223344);
    sim.chip->Poke(0x24, 0x55667788);
    uint8_t bytes[5] = {};
    sim.chip->ClearTraffic();
    EXPECT_EQ(kread64(mf.get(), 0x21, bytes, 5), 5);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 5), (std::vector<uint8_t>{0x22, 0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(CountOf(sim.chip->Traffic(), {'W', kCtrl, 0x20000048}), 5u);
    EXPECT_EQ(CountOf(sim.chip->Traffic(), {'W', kData, 0x00000025}), 1u);
    sim.chip->ClearTraffic();
    EXPECT_EQ(kwrite64(mf.get(), 0x30, bytes, 2), 2);
    EXPECT_EQ(CountOf(sim.chip->Traffic(), {'W', kData, 0x33000000}), 1u);
    EXPECT_EQ(CountOf(sim.chip->Traffic(), {'W', kCtrl, 0x40000048}), 2u);
}

// kaccelerate: the switch family saves its master's configuration word and
// sets the low half to 0x0100; an adapter-family address form clears the bus
// with 9 stops, a read of 0xF0014 and 9 stops, the others read 0x2800.
// krestore writes the saved word back. Handles without "i2cm" are left alone.
TEST(I2cMaster, AccelerateAndRestore) {
    struct Row {
        const char* what;
        Family family;
        const char* name;
        DType dtype;
        uint32_t ctrl;
        uint32_t read_at;
        size_t stops;
        uint32_t config_fast;
    };
    const uint32_t config = 0xABCD1234;
    const Row rows[] = {
        {"adapter family", Family::Zorvan, kxsim::kZorvanI2cmName, KDT_ZORVAN, kCtrl, 0xF0014, 19, config},
        {"switch family", Family::Duvra, kxsim::kDuvraI2cmName, KDT_ZORVAN, 0x3180, 0xF0014, 19, 0xABCD0100},
        {"switch family, 2 address bytes", Family::Duvra, kxsim::kDuvraI2cmName, KDT_DUVRA, 0x3180, 0x2800, 1,
         0xABCD0100},
        {"no i2cm", Family::Zorvan, kxsim::kZorvanPciconfName, KDT_ZORVAN, kCtrl, 0, 0, config},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim(row.family);
        ASSERT_TRUE(sim.chip);
        sim.chip->SetI2cSlave(row.dtype == KDT_ZORVAN ? 0x48 : 0x5A, row.dtype == KDT_ZORVAN ? 4 : 2);
        const uint32_t config_reg = row.ctrl + 0xC;
        sim.chip->Poke(config_reg, config);
        Handle mf = OpenHandle(row.name, row.dtype);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        kaccelerate(mf.get());
        const uint32_t stop = 0x60000000u | mf->i2c_slave;
        EXPECT_EQ(CountOf(sim.chip->Traffic(), {'W', row.ctrl, stop}), row.stops);
        EXPECT_EQ(sim.chip->Peek(config_reg), row.config_fast);
        if (row.read_at) {
            const uint32_t address_word = row.dtype == KDT_ZORVAN ? row.read_at : row.read_at << 16;
            EXPECT_EQ(CountOf(sim.chip->Traffic(), {'W', row.ctrl + 4, address_word}), 1u);
        } else {
            EXPECT_EQ(Show(sim.chip->Traffic()), "");
        }
        krestore(mf.get());
        EXPECT_EQ(sim.chip->Peek(config_reg), config);
    }
}

// The chip side: what each command leaves in the control register.
TEST(I2cMaster, ChipStatuses) {
    struct Row {
        const char* what;
        std::function<void(kxsim::Chip&)> knob;
        uint32_t control;
        uint32_t done;
    };
    const Row rows[] = {
        {"stop on an idle bus", nullptr, 0x60000048, 0x00070048},
        {"write to an address nobody answers", nullptr, 0x40C00050, 0x00C40050},
        {"read from a busy slave", [](kxsim::Chip& chip) { chip.SetI2cBusy(1); }, 0x20C00048, 0x00C60048},
        {"a command the master does not know", nullptr, 0xE0000048, 0x00000048},
        {"a write while a command runs", [](kxsim::Chip& chip) {
             chip.SetI2cMasterBusyReads(kxsim::kBusyForever);
             chip.Write(kCtrl, 0x60000048);
         }, 0x40C00048, 0x60000048},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        ASSERT_TRUE(sim.chip);
        if (row.knob) row.knob(*sim.chip);
        ASSERT_TRUE(sim.chip->Write(kCtrl, row.control));
        uint32_t control = 0;
        ASSERT_TRUE(sim.chip->Read(kCtrl, &control));
        EXPECT_EQ(control, row.done);
    }
}

}  // namespace
