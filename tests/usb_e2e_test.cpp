// The real ramtrawl through the real kxcr-server to the simulated chip
// behind each simulated USB-I2C adapter: arrays written, read and dumped over
// I2C, and what a user sees when the adapter or the slave fails.
#include <gtest/gtest.h>

#include "server_helpers.h"

namespace {

const char kDb[] =
    "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n"
    "top.a      GW_simple     40000 24 4 0 16 7    40008 2\n";

using testsrv::EntryLine;
using testsrv::kDone;

class UsbRun : public testsrv::RemoteFixture, public testing::WithParamInterface<const char*> {
protected:
    UsbRun() : RemoteFixture(kDb) {}
    void SetUp() override {
        RemoteFixture::SetUp();
        if (server_) device_ = server_->RemoteName(GetParam());
    }
};

// Each row runs after the rows above it, with its knob on.
TEST_P(UsbRun, Arrays) {
    std::string dump;
    for (uint32_t i = 0; i <= 7; ++i) {
        dump += EntryLine(0x40000, "top.a", i,
                          i == 3 ? std::vector<uint32_t>{0x11223344, 0x55667788} : testsrv::Unwritten(0x40000, i, 2));
    }
    const struct Row {
        testsrv::Args args;
        void (*knob)(kxsim::Chip&, bool on);
        std::string want_out;
        std::string want_err;
        int want_status;
    } rows[] = {
        {{"-arr", "top.a", "-a", "3", "-d", "1122334455667788"}, nullptr, kDone, "", 0},
        {{"-arr", "top.a", "-a", "3"}, nullptr, EntryLine(0x40000, "top.a", 3, {0x11223344, 0x55667788}) + kDone, "",
         0},
        {{"-arr", "top.a"}, nullptr, dump + kDone, "", 0},
        {{"-gw", "40000", "-a", "5", "-d", "deadbeef"}, nullptr, kDone, "", 0},
        {{"-gw", "40000", "-a", "5"}, nullptr, EntryLine(0x40000, "", 5, {0, 0xdeadbeef}) + kDone, "", 0},
        // An adapter that moves nothing cannot even be opened.
        {{"-gw", "40000"},
         [](kxsim::Chip& c, bool on) { c.SetUsbFault(on ? kxsim::UsbFault::Silent : kxsim::UsbFault::None); },
         "-E- Cannot open kdt device : " + device_ + "\n", "", 1},
        {{"-arr", "top.a", "-a", "3"}, [](kxsim::Chip& c, bool on) { c.SetI2cAnswers(!on); }, "",
         "-E- Cr read (0x00040000) failed: Input/output error(5)\n", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("args " + testsrv::Bracketed(row.args));
        if (row.knob) row.knob(*chip_, true);
        testsrv::RunResult r = Ramtrawl(row.args);
        if (row.knob) row.knob(*chip_, false);
        EXPECT_EQ(r.out, row.want_out);
        EXPECT_EQ(r.err, row.want_err);
        EXPECT_EQ(r.status, row.want_status);
    }
}

INSTANTIATE_TEST_SUITE_P(Adapters, UsbRun, testing::Values(kxsim::kKxusbName, kxsim::kDimaxName),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index ? "Dimax" : "Kdt");
                         });

}  // namespace
