// The real ramtrawl against the real kxcr-server serving an "i2cm" name of
// the simulated chip: every register access of the tool travels through the
// chip's own I2C master to the chip's I2C slave.
#include <gtest/gtest.h>

#include "server_helpers.h"

namespace {

const char kDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 3     40008 2\n";

constexpr uint32_t kMasterControl = 0xF0180;

using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::Unwritten;

class I2cmRun : public testsrv::RemoteFixture {
protected:
    I2cmRun() : RemoteFixture(kDb) {}
    void SetUp() override {
        RemoteFixture::SetUp();
        if (server_) device_ = server_->RemoteName(kxsim::kZorvanI2cmName);
    }
};

// Each row runs after the rows above it. The master's control register
// shows its last command, a stop, done.
TEST_F(I2cmRun, DumpsReadsAndWritesThroughTheMaster) {
    std::string dump;
    for (uint32_t i = 0; i < 4; ++i) dump += EntryLine(0x40000, "top.a", i, Unwritten(0x40000, i, 2));
    struct Row {
        testsrv::Args args;
        std::string want_out;
    };
    const Row rows[] = {
        {{}, dump + kDone},
        {{"-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kDone},
        {{"-arr", "top.a", "-a", "3"}, EntryLine(0x40000, "top.a", 3, {0x11223344, 0x55667788}) + kDone},
        {{"-gw", "40000", "-a", "2", "-d", "abc"}, kDone},
        {{"-gw", "40000", "-a", "2"}, EntryLine(0x40000, "", 2, {0, 0xabc}) + kDone},
    };
    ASSERT_EQ(chip_->Peek(kMasterControl), 0u);
    for (const Row& row : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(row.args));
        testsrv::RunResult r = Ramtrawl(row.args);
        testsrv::ExpectRun(r, row.want_out);
    }
    EXPECT_EQ(chip_->Entry(0x40000, 3), (std::vector<uint32_t>{0x11223344, 0x55667788}));
    EXPECT_EQ(chip_->Entry(0x40000, 2), (std::vector<uint32_t>{0, 0xabc}));
    EXPECT_EQ(chip_->Peek(kMasterControl), 0x00070048u);
}

}  // namespace
