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

// A slave that does not answer gives a short count; so does a wrong slave
// address.
TEST(Calibre, ShortCounts) {
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

}  // namespace
