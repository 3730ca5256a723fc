// The simulated chip on its bus: lock and busy bits, the chip side of each
// gateway kind, the unwritten pattern, the fault knobs and the image.
#include <gtest/gtest.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "sim.h"
#include "sim_helpers.h"

namespace {

using kxsim::Chip;
using kxsim::Family;
using Words = std::vector<uint32_t>;
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

constexpr uint32_t kLock = 0x80000000u;
constexpr uint32_t kBusy = 0x40000000u;

// Command field at bits 27..24, index at 15..0 unless stated.
const char kDb[] =
    "base   GW_simple     40000 24 4 0 16 255 40010 2\n"
    "clr    GW_clear      41000 24 4 0 16 255 41010 1 20\n"
    "reqsl  GW_reqsl      42000 24 4 0 16 1023 0 0 12 4 0 15 511\n"
    "xts    GW_xtsram     43000 24 4 0 16 65535 43010 1 8 8 1 255 255\n"
    "tag0   GW_tag_data   44000 24 4 0 16 4095 44010 2 0 0 0 0 0 0\n"
    "tag1   GW_tag_data   45000 24 4 0 16 4095 45010 2 0 0 0 0 0 1\n"
    "td2    GW_tag_data2  46000 24 4 0 16 255 46010 1\n"
    "be     GW_be_address 47000 24 4 0 0 2047 47010 1\n"
    "ir     GW_irisc      48000 0 0 0 0 8 48010 2 1 2 0\n"
    "fld    GW_field      49000 24 4 0 16 255 49010 1\n"
    "sxp    GW_SXP        90000 24 4 0 21 2097151 0 0 16 5 0 21 127\n"
    "short  GW_simple     4a000 24 4 0 16 255 4a010\n"
    "other  GW_unknown    4b000 24 4 0 16 255 4b010 1\n";

class SimChipTest : public ::testing::Test {
protected:
    void SetUp() override {
        chip = dir.Open(Family::Zorvan, kDb);
        ASSERT_TRUE(chip);
    }
    uint32_t Rd(uint32_t addr) {
        uint32_t v = 0xDEADBEEF;
        EXPECT_TRUE(chip->Read(addr, &v)) << std::hex << addr;
        return v;
    }
    void Wr(const Writes& writes) {
        for (auto [addr, value] : writes) EXPECT_TRUE(chip->Write(addr, value)) << std::hex << addr;
    }
    Words Registers(uint32_t last, uint32_t n) {
        Words w;
        for (uint32_t k = 0; k < n; ++k) w.push_back(chip->Peek(last - 4 * (n - 1 - k)));
        return w;
    }

    simtest::ChipDir dir;
    std::unique_ptr<Chip> chip;
};

// HoldLock shows the lock taken without changing the register.
TEST_F(SimChipTest, LockBitIsTakenByTheReadThatFindsItClearAndReleasedByAWrite) {
    chip->HoldLock(0x40000, true);
    EXPECT_EQ(Rd(0x40000), kLock);
    EXPECT_EQ(chip->Peek(0x40000), 0u);
    chip->HoldLock(0x40000, false);
    chip->ClearTraffic();
    EXPECT_EQ(Rd(0x40000), 0u);
    EXPECT_EQ(Rd(0x40000), kLock);
    EXPECT_EQ(Rd(0x40000), kLock);
    chip->Write(0x40000, 0x00000123);
    EXPECT_EQ(Rd(0x40000), 0x123u);
    EXPECT_EQ(Rd(0x40000), kLock | 0x123);
    EXPECT_EQ(simtest::Show(chip->Traffic()),
              simtest::Show({{'R', 0x40000, 0}, {'R', 0x40000, kLock}, {'R', 0x40000, kLock},
                             {'W', 0x40000, 0x123}, {'R', 0x40000, 0x123}, {'R', 0x40000, kLock | 0x123}}));
}

TEST_F(SimChipTest, LinesTooShortOrOfUnknownKindLeavePlainRegisters) {
    for (uint32_t addr : {0x4a000u, 0x4b000u}) {
        EXPECT_EQ(Rd(addr), 0u);
        EXPECT_EQ(Rd(addr), 0u) << std::hex << addr << " acted as a gateway";
    }
}

// A busy countdown, then a gateway busy for ever until the knob heals it.
TEST_F(SimChipTest, BusyClearsAfterTheConfiguredControlReadsOrWhenTheKnobHeals) {
    chip->SetEntry(0x40000, 7, {1, 2});
    chip->SetBusyReads(0x40000, 3);
    chip->Write(0x40000, 0xC1000007);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Rd(0x40000) & kBusy, kBusy) << "read " << i;
        EXPECT_EQ(Registers(0x40010, 2), (Words{0, 0})) << "data before completion, read " << i;
    }
    EXPECT_EQ(Rd(0x40000) & kBusy, 0u);
    EXPECT_EQ(Registers(0x40010, 2), (Words{1, 2}));
    chip->Poke(0x40010, 0);
    chip->SetBusyReads(0x40000, kxsim::kBusyForever);
    chip->Write(0x40000, 0xC1000007);
    for (int i = 0; i < 1002; ++i) ASSERT_EQ(Rd(0x40000) & kBusy, kBusy) << "read " << i;
    chip->Write(0x40000, 0xC2000008);  // neither releases busy nor starts anew
    EXPECT_EQ(chip->Peek(0x40000), 0xC2000008u);
    chip->Write(0x40000, 0);
    EXPECT_EQ(chip->Peek(0x40000), kBusy);
    chip->SetBusyReads(0x40000, 0);
    EXPECT_EQ(chip->Peek(0x40000), 0u);
    EXPECT_EQ(Registers(0x40010, 2), (Words{1, 2}));
}

TEST_F(SimChipTest, UnwrittenEntriesReadAsTheDocumentedPattern) {
    chip->Write(0x40000, 0xC100000C);
    EXPECT_EQ(Registers(0x40010, 2), (Words{0xA0000C00, 0xA0000C01}));
    EXPECT_EQ(chip->Entry(0x40000, 0xC), (Words{Chip::UnwrittenWord(0x40000, 0xC, 0),
                                                 Chip::UnwrittenWord(0x40000, 0xC, 1)}));
}

// Starts that the chip does not take as a valid command complete at once
// and move no data.
TEST_F(SimChipTest, InvalidStartsMoveNoData) {
    struct Row {
        const char* name;
        Writes start;
        uint32_t data_last;
    } rows[] = {
        {"base command 3", {{0x40000, 0xC3000001}}, 0x40010},
        {"xtsram command 1", {{0x43000, 0xC1000101}}, 0x43010},
        {"tag_data2 bit 29 set", {{0x46000, 0xE2000001}}, 0x46010},
        {"tag_data2 command 1", {{0x46000, 0xC1000001}}, 0x46010},
        {"be_address bit 27 set", {{0x47000, 0xC9000000}, {0x47004, 1}}, 0x47010},
        {"irisc command 0", {{0x48000, 0xC0300140}}, 0x48010},
        {"busy bit clear", {{0x40000, 0x81000001}}, 0x40010},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        chip->Poke(row.data_last, 0x5555);
        Wr(row.start);
        EXPECT_EQ(chip->Peek(row.data_last), 0x5555u);
        EXPECT_EQ(chip->Peek(row.start.front().first) & kBusy, 0u);
    }
    EXPECT_EQ(chip->Entry(0x48000, 0x01300140), (Words{Chip::UnwrittenWord(0x48000, 0x01300140, 0),
                                                        Chip::UnwrittenWord(0x48000, 0x01300140, 1)}))
        << "irisc command 0 stored nothing";
}

TEST_F(SimChipTest, IriscKeysEntriesByArrayWayAndIndex) {
    chip->Poke(0x48010, 0x11);
    chip->Write(0x48000, 0xC2300140);  // array 1, way 3, entry 5
    chip->Poke(0x48010, 0x33);
    chip->Write(0x48000, 0xC4300140);  // array 3, same way and entry
    chip->Poke(0x48010, 0x12);
    chip->Write(0x48000, 0xC2200140);  // array 1, way 2
    EXPECT_EQ(chip->Entry(0x48000, 0x01300140).back(), 0x11u);
    EXPECT_EQ(chip->Entry(0x48000, 0x02300140).back(), 0x11u) << "write code names the same entry";
    EXPECT_EQ(chip->Entry(0x48000, 0x03300140).back(), 0x33u);
    EXPECT_EQ(chip->Entry(0x48000, 0x01200140).back(), 0x12u);
}

TEST_F(SimChipTest, TagDataTagZeroShowsOnlyTheLowHalfOfItsLastWord) {
    chip->SetEntry(0x44000, 3, {0x11112222, 0x33334444});
    chip->Write(0x44000, 0xC1000003);
    EXPECT_EQ(Registers(0x4401C, 2), (Words{0x11112222, 0x4444}));
    EXPECT_EQ(chip->Entry(0x44000, 3), (Words{0x11112222, 0x4444}));
}

TEST_F(SimChipTest, ClearBitClearsTheEntryAfterTheRead) {
    chip->SetEntry(0x41000, 2, {0x99});
    chip->Write(0x41000, 0xC1000002);  // clear bit 20 written 0
    EXPECT_EQ(chip->Entry(0x41000, 2), Words{0x99});
    chip->Write(0x41000, 0xC1100002);
    EXPECT_EQ(chip->Peek(0x41010), 0x99u);
    EXPECT_EQ(chip->Entry(0x41000, 2), Words{0});
}

TEST_F(SimChipTest, FailedAccessesReportTheirErrnoAndLeaveNoTrace) {
    chip->FailAccess(0x40000, EIO);
    chip->ClearTraffic();
    struct Row {
        uint32_t addr;
        int err;
    } rows[] = {{0x40000, EIO}, {0x40002, EINVAL}, {0x1000000, EFAULT}};
    for (const Row& row : rows) {
        uint32_t v;
        errno = 0;
        EXPECT_FALSE(chip->Read(row.addr, &v)) << std::hex << row.addr;
        EXPECT_EQ(errno, row.err) << std::hex << row.addr;
        errno = 0;
        EXPECT_FALSE(chip->Write(row.addr, kLock | kBusy | 0x01000000)) << std::hex << row.addr;
        EXPECT_EQ(errno, row.err) << std::hex << row.addr;
    }
    EXPECT_TRUE(chip->Traffic().empty());
    EXPECT_EQ(chip->Peek(0x40000), 0u);
    chip->FailAccess(0x40000, 0);
    EXPECT_EQ(Rd(0x40000), 0u);
}

TEST(SimImageTest, ContentsPersistAcrossReopenAndTheFamilyIsChecked) {
    simtest::ChipDir dir;
    {
        auto chip = dir.Open(Family::Duvra, kDb);
        ASSERT_TRUE(chip);
        chip->Poke(0xF0014, 0x00B10017);
        chip->Poke(0x40010, 0xABCD);
        chip->Write(0x40000, 0xC0000004);
        chip->SetBusyReads(0x40000, 2);
    }
    auto chip = dir.Open(Family::Duvra, kDb);
    ASSERT_TRUE(chip);
    EXPECT_EQ(chip->Peek(0xF0014), 0x00B10017u);
    EXPECT_EQ(chip->Entry(0x40000, 4), (Words{0, 0xABCD}));
    chip->Write(0x40000, 0xC1000004);
    EXPECT_EQ(chip->Peek(0x40000) & kBusy, kBusy) << "knobs live in the image";
    std::string error;
    EXPECT_FALSE(Chip::Open(dir.image(), Family::Zorvan, &error));
    EXPECT_NE(error.find("holds a Duvra chip"), std::string::npos) << error;
}

TEST(SimDatabaseTest, BadLinesAreReportedWithTheirPlace) {
    struct Row {
        const char* line;
        const char* message;
    } rows[] = {
        {"a GW_simple 4000z 24 4 0 16 255 40010 2\n", "arr_db.txt:1: bad number 4000z"},
        {"a GW_simple 40000 24 4 0 16 x 40010 2\n", "arr_db.txt:1: bad number x"},
        {"a GW_tag_data 40000 24 4 0 16 255 40010 2 0\n", "arr_db.txt:1: GW_tag_data needs 16 words"},
        {"a GW_simple 40000 24 4 0 16 255 40010 65\n", "arr_db.txt:1: more than 64 data words"},
        {"\nb GW_simple 40002 24 4 0 16 255 40010 1\n", "arr_db.txt:2: control register outside CR space"},
        {"a GW_simple 1000000 24 4 0 16 255 40010 1\n", "arr_db.txt:1: control register outside CR space"},
    };
    simtest::ChipDir dir;
    std::string error;
    auto chip = Chip::Open(dir.image(), Family::Zorvan, &error);
    ASSERT_TRUE(chip) << error;
    for (const Row& row : rows) {
        error.clear();
        EXPECT_FALSE(chip->LoadDatabase(dir.Write("arr_db.txt", row.line), &error)) << row.line;
        EXPECT_NE(error.find(row.message), std::string::npos) << row.line << "gave: " << error;
    }
    EXPECT_FALSE(chip->LoadDatabase(dir.Write("x", "") + ".missing", &error));
}

}  // namespace
