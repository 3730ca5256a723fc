// The facade: lookups, the walks over all arrays and all gateways, and the
// destructor's release of locks that failed operations left held.
#include <gtest/gtest.h>

#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "arrlib.h"
#include "arrlib_helpers.h"

namespace {

using arrtest::CaptureStdout;
using arrtest::DiffTraffic;
using arrtest::W;
using Access = kxsim::Access;
using Words = std::vector<u_int32_t>;

// File order differs from name order on purpose.
const char* const kDb =
    "c.mem          GW_simple 40200 24 4 0 16 1 40208 1\n"
    "a.mem          GW_simple 40000 24 4 0 16 1 40008 1\n"
    "sxp.pb_context GW_simple 40300 24 4 0 16 1 40308 1\n"
    "b.mem          GW_simple 40100 24 4 0 16 1 40108 1\n";

class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        sim_ = arrtest::SimChip::Create(kDb, &error);
        ASSERT_TRUE(sim_) << error;
        for (u_int32_t gw : {0x40000u, 0x40100u, 0x40200u, 0x40300u})
            for (u_int32_t i = 0; i < 2; ++i) sim_->chip().SetEntry(gw, i, {(gw >> 8) + i});
        lib_ = std::make_unique<ArrLib>(sim_->db_path().c_str(), arrtest::kDevice);
        sim_->ClearTraffic();
    }
    void TearDown() override { lib_.reset(); }
    bool Touched(u_int32_t gw) const {
        for (const Access& a : sim_->Traffic())
            if (a.addr == gw) return true;
        return false;
    }
    static std::string Lines(const char* name, u_int32_t gw) {
        std::ostringstream s;
        s << std::hex << gw << " : " << name << " :   0 : " << std::setw(8) << std::setfill('0')
          << (gw >> 8) << " \n"
          << gw << " : " << name << " :   1 : " << std::setw(8) << (gw >> 8) + 1 << " \n";
        return s.str();
    }
    std::unique_ptr<arrtest::SimChip> sim_;
    std::unique_ptr<ArrLib> lib_;
};

TEST_F(FacadeTest, WalkOverArraysInNameOrderSkipsPbContext) {
    CaptureStdout out;
    EXPECT_EQ(lib_->ReadByArray(), ArrLib::Ok);
    EXPECT_EQ(out.Text(),
              Lines("a.mem", 0x40000) + Lines("b.mem", 0x40100) + Lines("c.mem", 0x40200));
    EXPECT_FALSE(Touched(0x40300));
    EXPECT_EQ(lib_->ReadByArray("sxp.pb_context"), ArrLib::Ok);
    EXPECT_TRUE(Touched(0x40300));
}

TEST_F(FacadeTest, WalkReportsLockedGatewayAndGoesOn) {
    sim_->chip().HoldLock(0x40100, true);
    CaptureStdout out;
    EXPECT_EQ(lib_->ReadByArray(), ArrLib::GWLocked);
    EXPECT_EQ(out.Text(), Lines("a.mem", 0x40000) +
                              "-E- TimeOut lock GW 40100\n"
                              "-E- array b.mem was not read, because its gw was locked\n" +
                              Lines("c.mem", 0x40200));
}

TEST_F(FacadeTest, WalkStopsAtFirstOtherFailure) {
    sim_->chip().HoldLock(0x40000, true);
    sim_->chip().SetBusyReads(0x40100, kxsim::kBusyForever);
    CaptureStdout out;
    EXPECT_EQ(lib_->ReadByArray(), ArrLib::GWBusy);
    EXPECT_EQ(out.Text(),
              "-E- TimeOut lock GW 40000\n"
              "-E- array a.mem was not read, because its gw was locked\n"
              "-E- TimeOut Busy\n"
              "-E- GW 40100 is busy, waited for the read to end 1000 attempts\n");
    EXPECT_FALSE(Touched(0x40200));
    // The busy dump kept b's lock; freeing the library releases it with one
    // control write. a's lock belongs to someone else and is left alone.
    sim_->ClearTraffic();
    lib_.reset();
    EXPECT_EQ(DiffTraffic({W(0x40100, 0)}, sim_->Traffic()), "");
}

TEST_F(FacadeTest, WalkOverGateways) {
    sim_->chip().HoldLock(0x40200, true);
    CaptureStdout out;
    EXPECT_EQ(lib_->ReadByGw(), ArrLib::GWLocked);
    EXPECT_EQ(out.Text(),
              "40000 :   0 : 00000400 \n40000 :   1 : 00000401 \n"
              "40100 :   0 : 00000401 \n40100 :   1 : 00000402 \n"
              "-E- TimeOut lock GW 40200\n"
              "-E- GW 40200 was not read, because it was locked\n"
              "40300 :   0 : 00000403 \n40300 :   1 : 00000404 \n");
}

TEST_F(FacadeTest, LookupsAndSingleOperations) {
    CaptureStdout out;
    EXPECT_EQ(lib_->ReadByArray("A.mem"), ArrLib::ArrayNotFound);
    EXPECT_EQ(lib_->ReadByArray("a.me"), ArrLib::ArrayNotFound);
    EXPECT_EQ(lib_->ReadByArray("a.mem", 0), ArrLib::Ok);
    EXPECT_EQ(lib_->ReadByArray("x", 0), ArrLib::ArrayNotFound);
    EXPECT_EQ(lib_->WriteByArray("x", 0, Words{1}), ArrLib::ArrayNotFound);
    EXPECT_EQ(lib_->ReadByGw(0x40004), ArrLib::GwNotFound);
    EXPECT_EQ(lib_->ReadByGw(0x40004, 0), ArrLib::GwNotFound);
    EXPECT_EQ(lib_->WriteByGw(0x40004, 0, Words{1}), ArrLib::GwNotFound);
    EXPECT_EQ(lib_->WriteByGw(0x40100, 1, Words{0x77}), ArrLib::Ok);
    EXPECT_EQ(lib_->WriteByArray("c.mem", 0, Words{0x88}), ArrLib::Ok);
    EXPECT_EQ(lib_->ReadByGw(0x40100, 1), ArrLib::Ok);
    EXPECT_EQ(lib_->ReadByGw(0x40200), ArrLib::Ok);
    EXPECT_EQ(lib_->ReadByGw(0x40200, 2), ArrLib::AddrTooHigh);
    EXPECT_EQ(out.Text(),
              "40000 : a.mem :   0 : 00000400 \n"
              "40100 :   1 : 00000077 \n"
              "40200 :   0 : 00000088 \n40200 :   1 : 00000403 \n"
              "-E- address/maximal 2/1\n");
    // The refused index left the lock held until the library is freed.
    sim_->ClearTraffic();
    lib_.reset();
    EXPECT_EQ(DiffTraffic({W(0x40200, 0)}, sim_->Traffic()), "");
}

TEST(FacadeEmpty, WalksOfAnEmptyDatabase) {
    std::string error;
    auto sim = arrtest::SimChip::Create("", &error);
    ASSERT_TRUE(sim) << error;
    ArrLib lib(sim->db_path().c_str(), arrtest::kDevice);
    CaptureStdout out;
    EXPECT_EQ(lib.ReadByArray(), ArrLib::Ok);
    EXPECT_EQ(lib.ReadByGw(), ArrLib::Ok);
    EXPECT_EQ(out.Text(), "");
}

}  // namespace
