// The Calibre I2C adapter: one I2C transaction per access.
#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

TEST(Calibre, OpenAccessClose) {
    OpenAccessClose({Family::Zorvan, kxsim::kZorvanCalbrName, KDT_ZORVAN, KDT_CALBR, KDT_ZORVAN, 0x48, KDEVS_I2CM,
                     Path::kBus});
    WriteAndReadBack64(kxsim::kZorvanCalbrName);
}

TEST(Calibre, RefusedCalls) {
    DriverChip sim;
    ExpectRefusals(sim, {
        {"block read of 65", kxsim::kZorvanCalbrName, Transfer64(false, 65), EINVAL},
        {"block write of 65", kxsim::kZorvanCalbrName, Transfer64(true, 65), EINVAL},
    });
}

// A slave that does not answer gives a short count with EIO; so does a
// wrong slave address.
TEST(Calibre, ShortCounts) {
    DriverChip sim;
    Handle calbr = OpenHandle(kxsim::kZorvanCalbrName);
    ASSERT_TRUE(calbr);
    u_int32_t value = 0xAAAA;
    uint8_t bytes[8];
    const simtest::Outcome nothing_moved{0, EIO};
    sim.chip->SetI2cAnswers(false);
    EXPECT_EQ(Try([&] { return kread4(calbr.get(), 0x300, &value); }), nothing_moved);
    EXPECT_EQ(Try([&] { return kwrite4(calbr.get(), 0x300, 1); }), nothing_moved);
    EXPECT_EQ(Try([&] { return kread64(calbr.get(), 0x300, bytes, 8); }), nothing_moved);
    EXPECT_EQ(Try([&] { return kwrite64(calbr.get(), 0x300, bytes, 8); }), nothing_moved);
    sim.chip->SetI2cAnswers(true);
    EXPECT_EQ(kset_i2c_slave(calbr.get(), 0x50), 0x48);
    EXPECT_EQ(Try([&] { return kread4(calbr.get(), 0x300, &value); }), nothing_moved);
    EXPECT_EQ(value, 0xAAAAu);
    EXPECT_EQ(sim.chip->Peek(0x300), 0u);
    EXPECT_EQ(kset_i2c_slave(nullptr, 0x50), 0xFF);
}

}  // namespace
