// The write-flush workaround on the memory-mapped window of "pci" files.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>
#include <tuple>

#include "kdt_pci.h"
#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

constexpr uint32_t kPellikId = 0x00B10017;

// The statistics a handle prints at close.
std::string Stats(int writes, int retried, int max_retries) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "-D- Pellik WA stats:\n-D- : num of write flushes: %8d\n-D- : num of retry flushes: %8d\n"
                  "-D- : max_retries:          %8d\n",
                  writes, retried, max_retries);
    return text;
}

// Three writes then two reads make one confirmation (one more than the one
// made at open); the statistics are printed only when the variable is set.
TEST(Window, PellikWorkaround) {
    const struct Row { const char* what; Family family; uint32_t id; const char* env; bool active; } rows[] = {
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
        for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(kwrite4(mf.get(), 0x600 + 4 * i, i), 4);
        EXPECT_EQ(mf->pellik_wa_num_of_writes, row.active ? 1u : 0u);
        for (u_int32_t i = 0, value; i < 2; ++i) EXPECT_EQ(kread4(mf.get(), 0x600 + 4 * i, &value), 4);
        EXPECT_EQ(mf->pellik_wa_num_of_writes, row.active ? 2u : 0u);
        EXPECT_EQ(sim.chip->Peek(0xF0384), 0u);
        testing::internal::CaptureStdout();
        mf.reset();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.active && row.env ? Stats(2, 0, 0) : "");
    }
    unsetenv("KXCR_PELLIK_WA");
}

// The slot helpers: slots of processes that no longer exist are freed (the
// owner in bits 0 to 30), the first free slot is found, none when all three
// are owned; a confirmation with a stamp flips bit 31 each time, and needs a
// slot.
TEST(Window, PellikSlotHelpers) {
    DriverChip sim;
    ASSERT_TRUE(sim.chip);
    sim.chip->Poke(0xF0014, kPellikId);
    Handle mf = OpenHandle(kxsim::kZorvanPciName);
    ASSERT_TRUE(mf);
    const uint32_t me = static_cast<uint32_t>(getpid());
    // No process has the number 0x7FFFFFFF.
    for (auto [slot, owner] : {std::pair{0xF0384u, me}, {0xF0388u, 0xFFFFFFFFu}, {0xF038Cu, 0x80000000u | me}})
        sim.chip->Poke(slot, owner);
    pellik_wa_clear_stots(mf.get());
    EXPECT_EQ(std::make_pair(sim.chip->Peek(0xF0388), sim.chip->Peek(0xF038C)), std::make_pair(0u, 0x80000000u | me));
    EXPECT_EQ(pellik_wa_find_slot(mf.get()), 0xF0388u);
    sim.chip->Poke(0xF0388, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pellik_wa_find_slot(mf.get()), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-DE- Pellik WA: No empty slot found. Base = 0f0384, 3 slots\n");
    EXPECT_EQ(sim.chip->Peek(0xF0388), 1u);
    const auto writes = mf->pellik_wa_num_of_writes;
    for (uint32_t stamp : {0x80000000u, 0u}) {
        EXPECT_EQ(pellik_wa_write_confirm(mf.get(), 0x600), 4);
        EXPECT_EQ(sim.chip->Peek(0xF0384), stamp);
    }
    EXPECT_EQ(mf->pellik_wa_num_of_writes, writes + 2);
    mf->pellik_wa_slot = 0;
    EXPECT_EQ(Try([&] { return pellik_wa_write_confirm(mf.get(), 0x600); }), (simtest::Outcome{0, EINVAL}));
}

#if defined(__x86_64__)
// The chip's side of a flush slot slow to confirm, as when earlier writes
// are still on their way. The window page of the slot is kept unreachable:
// each access to it faults, is let through alone (single-stepped), then the
// chip acts through its own mapping: after the store the word shows another
// value for `stale_reads` reads (for ever when negative), then the stamp.
struct SlowSlot {
    SlowSlot(kxsim::Chip& chip, const kfile* mf, int stale_reads) {
        std::tie(chip_, addr_, stale_, accesses_) = std::make_tuple(&chip, mf->pellik_wa_slot, stale_reads, 0);
        page_ = static_cast<char*>(mf->ptr) + (addr_ & ~0xFFFu);
        struct sigaction action {};
        action.sa_flags = SA_SIGINFO;
        action.sa_sigaction = [](int, siginfo_t*, void* context) { Step(context, true); };
        sigaction(SIGSEGV, &action, &previous_[0]);
        action.sa_sigaction = [](int, siginfo_t*, void* context) { Step(context, false); };
        sigaction(SIGTRAP, &action, &previous_[1]);
        mprotect(page_, 4096, PROT_NONE);
    }
    ~SlowSlot() {
        mprotect(page_, 4096, PROT_READ | PROT_WRITE);
        sigaction(SIGSEGV, &previous_[0], nullptr);
        sigaction(SIGTRAP, &previous_[1], nullptr);
    }

    static void Step(void* context, bool before) {
        greg_t& flags = static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL];
        constexpr greg_t kTrapFlag = 0x100;
        flags = before ? flags | kTrapFlag : flags & ~kTrapFlag;
        if (before) return (void)mprotect(page_, 4096, PROT_READ | PROT_WRITE);
        const int reads = accesses_++;
        if (reads == 0) stamp_ = chip_->Peek(addr_);
        if (reads == 0 || reads == stale_) chip_->Poke(addr_, reads == 0 ? ~stamp_ : stamp_);
        if (stale_ >= 0 && reads < stale_) mprotect(page_, 4096, PROT_NONE);
    }

    static inline kxsim::Chip* chip_;
    static inline char* page_;
    static inline uint32_t addr_, stamp_;
    static inline int stale_, accesses_;
    struct sigaction previous_[2] {};
};

// A slot the chip confirms late: the read after a write polls it until it
// shows the stamp, and the statistics count the retries; a slot it never
// confirms fails the read after 0x1000000 polls.
TEST(Window, PellikSlowConfirmation) {
    const struct Row { int stale_reads; simtest::Outcome want; std::string out; } rows[] = {
        {3, {4, 0}, Stats(2, 1, 3)},
        {-1, Fails(ETIMEDOUT), "-D- Pellik WA addr 000604 failed after 16777216 retries\n" + Stats(2, 0, 0)},
    };
    setenv("KXCR_PELLIK_WA", "1", 1);
    for (const Row& row : rows) {
        DriverChip sim;
        ASSERT_TRUE(sim.chip);
        sim.chip->Poke(0xF0014, kPellikId);
        Handle mf = OpenHandle(kxsim::kZorvanPciName);
        ASSERT_TRUE(mf);
        EXPECT_EQ(kwrite4(mf.get(), 0x600, 7), 4);
        testing::internal::CaptureStdout();
        {
            SlowSlot slot(*sim.chip, mf.get(), row.stale_reads);
            EXPECT_EQ(Try([&] { u_int32_t value; return kread4(mf.get(), 0x604, &value); }), row.want);
        }
        mf.reset();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.out);
    }
    unsetenv("KXCR_PELLIK_WA");
}
#endif

}  // namespace
