// The real ramtrawl through the real kxcr-server to the simulated chip
// behind each simulated USB-I2C adapter: arrays dumped, read and written over
// I2C, and what a user sees when the adapter fails.
#include <gtest/gtest.h>

#include "server_helpers.h"

namespace {

const char kDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 7    40008 2\n"
    "top.mem_b  GW_array_addr 41000 24 4 0 16 65535 41008 2 12 4 1 1 3\n";

using testsrv::EntryLine;
using testsrv::kDone;
using testsrv::Unwritten;

class UsbRun : public testsrv::RemoteFixture, public testing::WithParamInterface<const char*> {
protected:
    UsbRun() : RemoteFixture(kDb) {}
    void SetUp() override {
        RemoteFixture::SetUp();
        if (server_) device_ = server_->RemoteName(GetParam());
    }
};

// Each row runs after the rows above it.
TEST_P(UsbRun, ArraysReadWrittenAndDumped) {
    std::string dump;
    for (uint32_t i = 0; i <= 7; ++i) {
        dump += EntryLine(0x40000, "top.a", i,
                          i == 3 ? std::vector<uint32_t>{0x11223344, 0x55667788} : Unwritten(0x40000, i, 2));
    }
    const struct Row {
        testsrv::Args args;
        std::string want_out;
    } rows[] = {
        {{"-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, kDone},
        {{"-arr", "top.a", "-a", "3"}, EntryLine(0x40000, "top.a", 3, {0x11223344, 0x55667788}) + kDone},
        {{"-arr", "top.a"}, dump + kDone},
        // Line 2 of the second array behind the shared gateway: index 0x1002.
        {{"-arr", "top.mem_b", "-a", "2", "-d", "deadbeef"}, kDone},
        {{"-gw", "41000", "-a", "1002"}, EntryLine(0x41000, "", 0x1002, {0, 0xdeadbeef}) + kDone},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(row.args));
        testsrv::RunResult r = Ramtrawl(row.args);
        EXPECT_EQ(r.out, row.want_out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(chip_->Entry(0x40000, 3), (std::vector<uint32_t>{0x11223344, 0x55667788}));
}

// An adapter that moves nothing cannot even be opened; a slave that does not
// answer fails the first register access.
TEST_P(UsbRun, Failures) {
    const struct Row {
        const char* what;
        void (*knob)(kxsim::Chip&, bool on);
        std::string want_out;
        std::string want_err;
        int want_status;
    } rows[] = {
        {"adapter silent",
         [](kxsim::Chip& c, bool on) { c.SetUsbFault(on ? kxsim::UsbFault::Silent : kxsim::UsbFault::None); },
         "-E- Cannot open kdt device : " + device_ + "\n", "", 1},
        {"slave not answering", [](kxsim::Chip& c, bool on) { c.SetI2cAnswers(!on); }, "",
         "-E- Cr read (0x00040000) failed: Input/output error(5)\n", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.knob(*chip_, true);
        testsrv::RunResult r = Ramtrawl({"-arr", "top.a", "-a", "3"});
        row.knob(*chip_, false);
        EXPECT_EQ(r.out, row.want_out);
        EXPECT_EQ(r.err, row.want_err);
        EXPECT_EQ(r.status, row.want_status);
    }
}

INSTANTIATE_TEST_SUITE_P(Adapters, UsbRun, testing::Values(kxsim::kKxusbName, kxsim::kDimaxName),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return info.index == 0 ? std::string("Kdt") : std::string("Dimax");
                         });

TEST(UsbOpen, UnknownAdapterIsRefused) {
    std::unique_ptr<testsrv::Server> server = testsrv::StartOrFail(kDb);
    ASSERT_NE(server, nullptr);
    testsrv::RunResult r = testsrv::RunProgram(
        {RAMTRAWL_BIN, server->RemoteName(kxsim::kUnknownUsbName), "-arr", "top.a", "-a", "0"}, server->dir());
    EXPECT_EQ(r.out, "-E- Cannot open kdt device : " + server->RemoteName(kxsim::kUnknownUsbName) + "\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace
