// The memory-mapped window of "pci" files with the write-flush workaround,
// and "ppc" files with their driver pages.
#include <cstdlib>

#include "kdt_pci.h"
#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

constexpr uint32_t kPellikId = 0x00B10017;

TEST(Window, OpenAccessClose) {
    OpenAccessClose({Family::Zorvan, kxsim::kZorvanPciName, KDT_ZORVAN, KDT_PCI, KDT_ZORVAN, 0x48,
                     KDEVS_ZORVAN_CR, Path::kWindow});
    OpenAccessClose({Family::Duvra, kxsim::kDuvraPciName, KDT_ZORVAN, KDT_PCI, KDT_DUVRA, 0x48, KDEVS_DUVRA,
                     Path::kWindow});
    // No window is mapped for ppc files.
    OpenAccessClose({Family::Zorvan, kxsim::kZorvanPpcName, KDT_NOADDR, KDT_PPC, KDT_ZORVAN, 0x5A, KDEVS_PPC,
                     Path::kNone});
}

TEST(Window, FailedOpens) {
    const std::string pci = kxsim::kZorvanPciName;
    ExpectFailedOpens({
                          {pci, KDT_IOC_PCI_PARAMS, false, EIO},
                          {pci, 0, true, ENOMEM},
                          {pci, KDT_IOC_PELLIK_SLOT, false, EBUSY},  // after the mapping
                      },
                      kPellikId);
}

TEST(Window, RefusedCalls) {
    DriverChip sim;
    u_int32_t value = 0;
    ExpectRefusals(sim, {
        {"ppc files have no window", kxsim::kZorvanPpcName, [&](kfile* mf) { return kread4(mf, 0x100, &value); },
         EFAULT},
        {"past the window", kxsim::kZorvanPciName, [](kfile* mf) { return kwrite4(mf, mf->map_size, 1); }, EFAULT},
        {"ppc block read", kxsim::kZorvanPpcName, Transfer64(false, 4), ECANCELED},
        {"ppc block write", kxsim::kZorvanPpcName, Transfer64(true, 4), ECANCELED},
        {"driver pages of a window file", kxsim::kZorvanPciName,
         [](kfile* mf) { return kget_free_pages(mf, 0) ? 0 : -1; }, EOPNOTSUPP},
        {"driver pages of order 32", kxsim::kZorvanPpcName,
         [](kfile* mf) { return kget_free_pages(mf, 32) ? 0 : -1; }, EINVAL},
    });
}

TEST(Window, DriverPages) {
    DriverChip sim;
    Handle ppc = OpenHandle(kxsim::kZorvanPpcName);
    auto* pages = static_cast<uint32_t*>(kget_free_pages(ppc.get(), 1));
    ASSERT_NE(pages, nullptr);
    pages[8191 / 4] = 0x5A5A5A5A;  // the whole 8 KiB is there
    EXPECT_EQ(kfree_pages(ppc.get(), pages, 1), 0);
}

// Three writes then two reads make one confirmation (one more than the one
// made at open); the statistics are printed only when the variable is set.
TEST(Window, PellikWorkaround) {
    struct Row {
        const char* what;
        Family family;
        uint32_t id;
        const char* env;
        bool active;
    };
    const Row rows[] = {
        {"unset", Family::Zorvan, kPellikId, nullptr, true},
        {"set to 1", Family::Zorvan, kPellikId, "1", true},
        {"set to 0", Family::Zorvan, kPellikId, "0", false},
        {"other chip", Family::Zorvan, kPellikId + 1, "1", false},
        {"switch family", Family::Duvra, kPellikId, "1", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.env ? setenv("KXCR_PELLIK_WA", row.env, 1) : unsetenv("KXCR_PELLIK_WA");
        DriverChip sim(row.family);
        ASSERT_TRUE(sim.chip);
        sim.chip->Poke(0xF0014, row.id);
        Handle mf = OpenHandle(row.family == Family::Zorvan ? kxsim::kZorvanPciName : kxsim::kDuvraPciName);
        ASSERT_TRUE(mf);
        EXPECT_EQ(mf->pellik_wa_slot, row.active ? 0xF0384u : 0u);
        u_int32_t value = 0;
        for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(kwrite4(mf.get(), 0x600 + 4 * i, i), 4);
        EXPECT_EQ(mf->pellik_wa_num_of_writes, row.active ? 1u : 0u);
        for (unsigned i = 0; i < 2; ++i) EXPECT_EQ(kread4(mf.get(), 0x600 + 4 * i, &value), 4);
        EXPECT_EQ(mf->pellik_wa_num_of_writes, row.active ? 2u : 0u);
        EXPECT_EQ(sim.chip->Peek(0xF0384), 0u);
        testing::internal::CaptureStdout();
        mf.reset();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  row.active && row.env ? "-D- Pellik WA stats:\n"
                                          "-D- : num of write flushes:        2\n"
                                          "-D- : num of retry flushes:        0\n"
                                          "-D- : max_retries:                 0\n"
                                        : "");
    }
    unsetenv("KXCR_PELLIK_WA");
}

}  // namespace
