// The facade: lookups, the walks over all arrays and all gateways, and the
// destructor's release of locks that failed operations left held.
#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

#include "arrlib.h"
#include "arrlib_helpers.h"

namespace {

using namespace arrtest;

// File order differs from name order on purpose.
const char* const kDb =
    "c.mem          GW_simple 40200 24 4 0 16 1 40208 1\n"
    "a.mem          GW_simple 40000 24 4 0 16 1 40008 1\n"
    "sxp.pb_context GW_simple 40300 24 4 0 16 1 40308 1\n"
    "b.mem          GW_simple 40100 24 4 0 16 1 40108 1\n";

class FacadeTest : public ChipTest {
protected:
    FacadeTest() : ChipTest(kDb, false) {}
    void SetUp() override {
        ChipTest::SetUp();
        for (u_int32_t gw : {0x40000u, 0x40100u, 0x40200u, 0x40300u})
            for (u_int32_t i = 0; i < 2; ++i) chip().SetEntry(gw, i, {(gw >> 8) + i});
        lib_ = std::make_unique<ArrLib>(sim_->db_path().c_str(), kDevice);
        sim_->ClearTraffic();
    }
    void TearDown() override { lib_.reset(); }
    static std::string Lines(const char* name, u_int32_t gw) {
        std::ostringstream s;
        s << std::hex << gw << " : " << name << " :   0 : " << std::setw(8) << std::setfill('0')
          << (gw >> 8) << " \n"
          << gw << " : " << name << " :   1 : " << std::setw(8) << (gw >> 8) + 1 << " \n";
        return s.str();
    }
    std::unique_ptr<ArrLib> lib_;
};

// A walk reports a locked gateway and goes on; the array walk goes in name
// order and skips sxp.pb_context, the gateway walk visits every gateway.
TEST_F(FacadeTest, Walks) {
    struct Row {
        const char* name;
        u_int32_t locked;
        bool byGw;
        ArrLib::Status status;
        std::string out;
    };
    const Row rows[] = {
        {"arrays", 0, false, ArrLib::Ok,
         Lines("a.mem", 0x40000) + Lines("b.mem", 0x40100) + Lines("c.mem", 0x40200)},
        {"arrays, b locked", 0x40100, false, ArrLib::GWLocked,
         Lines("a.mem", 0x40000) + "-E- TimeOut lock GW 40100\n"
         "-E- array b.mem was not read, because its gw was locked\n" + Lines("c.mem", 0x40200)},
        {"gateways, c locked", 0x40200, true, ArrLib::GWLocked,
         "40000 :   0 : 00000400 \n40000 :   1 : 00000401 \n"
         "40100 :   0 : 00000401 \n40100 :   1 : 00000402 \n"
         "-E- TimeOut lock GW 40200\n-E- GW 40200 was not read, because it was locked\n"
         "40300 :   0 : 00000403 \n40300 :   1 : 00000404 \n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.locked) chip().HoldLock(row.locked, true);
        sim_->ClearTraffic();
        EXPECT_PRINTS(row.byGw ? lib_->ReadByGw() : lib_->ReadByArray(), row.status, row.out);
        EXPECT_EQ(Touched(0x40300), row.byGw);
        if (row.locked) chip().HoldLock(row.locked, false);
    }
}

TEST_F(FacadeTest, WalkStopsAtFirstOtherFailure) {
    chip().HoldLock(0x40000, true);
    chip().SetBusyReads(0x40100, kxsim::kBusyForever);
    EXPECT_PRINTS(lib_->ReadByArray(), ArrLib::GWBusy,
                  "-E- TimeOut lock GW 40000\n"
                  "-E- array a.mem was not read, because its gw was locked\n"
                  "-E- TimeOut Busy\n"
                  "-E- GW 40100 is busy, waited for the read to end 1000 attempts\n");
    EXPECT_FALSE(Touched(0x40200));
    // The busy dump kept b's lock; freeing the library releases it with one
    // control write. a's lock belongs to someone else and is left alone.
    sim_->ClearTraffic();
    lib_.reset();
    EXPECT_EQ(Diff({W(0x40100, 0)}), "");
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
    EXPECT_FALSE(Touched(0x40300));
    EXPECT_EQ(lib_->ReadByArray("sxp.pb_context"), ArrLib::Ok);  // named, it is read
    EXPECT_TRUE(Touched(0x40300));
    EXPECT_EQ(out.Text(),
              "40000 : a.mem :   0 : 00000400 \n"
              "40100 :   1 : 00000077 \n"
              "40200 :   0 : 00000088 \n40200 :   1 : 00000403 \n"
              "-E- address/maximal 2/1\n"
              "40300 : sxp.pb_context :   0 : 00000403 \n"
              "40300 : sxp.pb_context :   1 : 00000404 \n");
    // The refused index left the lock held until the library is freed.
    sim_->ClearTraffic();
    lib_.reset();
    EXPECT_EQ(Diff({W(0x40200, 0)}), "");
}

TEST(FacadeEmpty, WalksOfAnEmptyDatabase) {
    auto sim = OpenChip("", false);
    ASSERT_TRUE(sim);
    ArrLib lib(sim->db_path().c_str(), kDevice);
    EXPECT_PRINTS(lib.ReadByArray(), ArrLib::Ok, "");
    EXPECT_PRINTS(lib.ReadByGw(), ArrLib::Ok, "");
}

}  // namespace
