// The in-chip I2C master: "i2cm" handles drive the master's registers, the
// simulated master runs the conversation on the chip's I2C bus.
#include <algorithm>

#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

constexpr uint32_t kCtrl = 0xF0180;
constexpr uint32_t kData = 0xF0184;

// A command, the slave's bus accesses while it runs, `busy` polls that find
// it running, the poll that finds it done; a write transaction fills the
// data register first.
Traffic Command(uint32_t control, const Traffic& bus = {}, int busy = 0) {
    Traffic t = {{'W', kCtrl, control}};
    t.insert(t.end(), bus.begin(), bus.end());
    t.insert(t.end(), busy, {'R', kCtrl, control});
    t.push_back({'R', kCtrl, (control & 0x1FFFFFFF) | 0x70000});
    return t;
}
Traffic Send(uint32_t data, uint32_t control, const Traffic& bus = {}, int busy = 0) {
    Traffic t = Command(control, bus, busy);
    t.insert(t.begin(), {'W', kData, data});
    return t;
}
Traffic operator+(Traffic a, const Traffic& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

size_t CountOf(const Traffic& traffic, std::function<bool(const Access&)> match) {
    return std::count_if(traffic.begin(), traffic.end(), match);
}

// With a chip on another image on the master's bus, the master's chip shows
// the master's registers only. Each command waits for bits 29-31 to clear:
// one busy poll here.
TEST(I2cMaster, WriteOfOneWord) {
    DriverChip sim;
    ASSERT_TRUE(sim.chip);
    simtest::ChipDir device_dir;
    std::unique_ptr<kxsim::Chip> device = device_dir.Open(Family::Zorvan, "");
    ASSERT_TRUE(sim.chip && device);
    sim.chip->ConnectI2cMaster(device.get());
    sim.chip->SetI2cMasterBusyReads(1);
    Handle mf = OpenHandle(kxsim::kZorvanI2cmName);
    ASSERT_TRUE(mf && mf->is_i2cm == 1);
    sim.chip->ClearTraffic();
    EXPECT_EQ(kwrite4(mf.get(), 0x10, 0x11223344), 4);
    EXPECT_EQ(Show(sim.chip->Traffic()), Show(Send(0x10, 0x40C00048, {}, 1) + Send(0x11223344, 0x40C00048, {}, 1) +
                                              Command(0x60000048, {}, 1)));
    EXPECT_EQ(Show(device->Traffic()), Show({{'W', 0x10, 0x11223344}}));
}

// The address phase by dtype, then the data, of 1 to 4 bytes; kread64 moves
// bytes through the master. The chip's own slave answers (and drops a
// partial word).
TEST(I2cMaster, AddressPhaseAndLengths) {
    struct Row { const char* what; DType dtype; std::function<long(kfile*)> call; Outcome want; Traffic traffic; };
    u_int32_t value = 0;
    uint8_t bytes[4] = {};
    const auto write = [](kfile* mf) { return kwrite4(mf, 0x1234, 0x11223344); };
    const Traffic stop = Command(0x60000048), stop5a = Command(0x6000005A), word = {{'R', 0x1234, 0x11223344}};
    const Row rows[] = {
        {"read", KDT_ZORVAN, [&](kfile* mf) { return kread4(mf, 0x1234, &value); }, {4, 0},
         Send(0x1234, 0x40C00048) + Command(0x20C00048, word) + Traffic{{'R', kData, 0x11223344}} + stop},
        {"2 address bytes", KDT_DUVRA, write, {4, 0},
         Send(0x12340000, 0x4040005A) + Send(0x11223344, 0x40C0005A, {{'W', 0x1234, 0x11223344}}) + stop5a},
        {"no address phase", KDT_NOADDR, write, {4, 0}, Send(0x11223344, 0x40C0005A, {{'W', 0, 0x11223344}}) + stop5a},
        {"write of 2 bytes", KDT_ZORVAN, [](kfile* mf) { return i2c_master_write_cr(mf, 0xABCD1234, 0x1234, 2); },
         {2, 0}, Send(0x1234, 0x40C00048) + Send(0x12340000, 0x40400048) + stop},
        {"read of 3 bytes", KDT_ZORVAN, [&](kfile* mf) { return i2c_master_read(mf, bytes, 0x1234, 3); }, {3, 0},
         Send(0x1234, 0x40C00048) + Command(0x20800048, word) + Traffic{{'R', kData, 0x11223300}} + stop},
        {"kread64 of a byte", KDT_ZORVAN, [&](kfile* mf) { return kread64(mf, 0x1235, bytes + 3, 1); }, {1, 0},
         Send(0x1235, 0x40C00048) + Command(0x20000048, word) + Traffic{{'R', kData, 0x22000000}} + stop},
        {"read_cr of 3 bytes", KDT_ZORVAN, [&](kfile* mf) { return i2c_master_read_cr(mf, bytes, 0x1234, 3); },
         Fails(EINVAL), {}},
        {"w_trans of 0 bytes", KDT_ZORVAN, [&](kfile* mf) { return w_trans(mf, bytes, 0); }, Fails(EINVAL), {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        ASSERT_TRUE(sim.chip);
        const int address_bytes[] = {2, 4, 1, 0};  // by DType
        sim.chip->SetI2cSlave(row.dtype == KDT_ZORVAN ? 0x48 : 0x5A, address_bytes[row.dtype]);
        sim.chip->Poke(0x1234, 0x11223344);
        Handle mf = OpenHandle(kxsim::kZorvanI2cmName, row.dtype);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        EXPECT_EQ(Try([&] { return row.call(mf.get()); }), row.want);
        EXPECT_EQ(Show(sim.chip->Traffic()), Show(row.traffic));
    }
    EXPECT_EQ(value, 0x11223344u);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x22}));
}

// A busy slave (status 6) is tried again, up to 100 attempts each closed by
// a stop; a slave that does not answer (status 4) ends a read at once, a
// write is tried again whatever the status. The 5012th poll that finds a
// command running gives EBUSY; a master register that cannot be reached,
// that access's errno.
TEST(I2cMaster, RetriesWaitsAndGivingUp) {
    // op: 'r' kread4, 'w' kwrite4, 'b' kread64 and 'B' kwrite64 of two bytes
    struct Row { const char* what; std::function<void(kxsim::Chip&)> knob; char op; Outcome want;
        size_t stops, busy_polls; };
    const auto busy = [](uint32_t n) { return [n](kxsim::Chip& chip) { chip.SetI2cBusy(n); }; };
    const auto slow = [](uint32_t n) { return [n](kxsim::Chip& chip) { chip.SetI2cMasterBusyReads(n); }; };
    const auto silent = [](kxsim::Chip& chip) { chip.SetI2cAnswers(false); };
    const Row rows[] = {
        {"read, busy 3 times", busy(3), 'r', {4, 0}, 4, 0},
        {"read, busy 99 times", busy(99), 'r', {4, 0}, 100, 0},
        {"read, busy 100 times", busy(100), 'r', Fails(EIO), 100, 0},
        {"write, busy 100 times", busy(100), 'w', Fails(EIO), 100, 0},
        {"read, no answer", silent, 'r', Fails(EIO), 1, 0},
        {"write, no answer", silent, 'w', Fails(EIO), 100, 0},
        {"byte read, no answer", silent, 'b', Fails(EIO), 1, 0},
        {"byte write, no answer", silent, 'B', Fails(EIO), 100, 0},
        {"done at the 5012th poll", slow(5011), 'r', {4, 0}, 1, 3 * 5011},
        {"running at the 5012th poll", slow(5012), 'w', Fails(EBUSY), 0, 5012},
        {"data register fails", [](kxsim::Chip& chip) { chip.FailAccess(kData, ENXIO); }, 'w', Fails(ENXIO), 0, 0},
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
        EXPECT_EQ(Try([&] {
                      return row.op == 'r'   ? kread4(mf.get(), 0x20, &value)
                             : row.op == 'w' ? kwrite4(mf.get(), 0x20, 1)
                             : row.op == 'b' ? kread64(mf.get(), 0x20, &value, 2)
                                             : kwrite64(mf.get(), 0x20, &value, 2);
                  }),
                  row.want);
        const Traffic& traffic = sim.chip->Traffic();
        EXPECT_EQ(CountOf(traffic, [](const Access& a) { return a.op == 'W' && a.value == 0x60000048; }), row.stops);
        EXPECT_EQ(CountOf(traffic, [](const Access& a) { return a.op == 'R' && a.addr == kCtrl && a.value >> 29; }),
                  row.busy_polls);
        EXPECT_EQ(value, row.want.rc == 4 && row.op == 'r' ? 0x0BADCAFEu : 0u);
    }
}

// kaccelerate: the switch family saves its master's configuration word and
// sets its low half to 0x0100; then 9 stops, a read of 0xF0014 and 9 stops
// for the adapter family's address form, a read of 0x2800 for the others.
// krestore puts the word back. A handle without "i2cm" is left alone.
TEST(I2cMaster, AccelerateAndRestore) {
    const struct Row { Family family; const char* name; DType dtype; uint32_t ctrl, address_word; size_t stops;
        uint32_t config_fast; } rows[] = {
        {Family::Zorvan, kxsim::kZorvanI2cmName, KDT_ZORVAN, kCtrl, 0xF0014, 19, 0xABCD1234},
        {Family::Duvra, kxsim::kDuvraI2cmName, KDT_DUVRA, 0x3180, 0x28000000, 1, 0xABCD0100},
        {Family::Zorvan, kxsim::kZorvanPciconfName, KDT_ZORVAN, kCtrl, 0, 0, 0xABCD1234},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DriverChip sim(row.family);
        ASSERT_TRUE(sim.chip);
        sim.chip->SetI2cSlave(row.dtype == KDT_ZORVAN ? 0x48 : 0x5A, row.dtype == KDT_ZORVAN ? 4 : 2);
        sim.chip->Poke(row.ctrl + 0xC, 0xABCD1234);
        Handle mf = OpenHandle(row.name, row.dtype);
        ASSERT_TRUE(mf);
        sim.chip->ClearTraffic();
        kaccelerate(mf.get());
        const Traffic& traffic = sim.chip->Traffic();
        const uint32_t stop = 0x60000000u | mf->i2c_slave;
        EXPECT_EQ(CountOf(traffic, [&](const Access& a) { return a.op == 'W' && a.value == stop; }), row.stops);
        EXPECT_EQ(CountOf(traffic, [&](const Access& a) { return a == Access{'W', row.ctrl + 4, row.address_word}; }),
                  row.address_word ? 1u : 0u);
        EXPECT_EQ(sim.chip->Peek(row.ctrl + 0xC), row.config_fast);
        krestore(mf.get());
        EXPECT_EQ(sim.chip->Peek(row.ctrl + 0xC), 0xABCD1234u);
    }
}

}  // namespace
