// The memory-mapped CR window of "pci" device files, the write-flush
// workaround of the Pellik chip revision, and "ppc" device files: accessed
// like a window (though none is mapped for them at open) and the only files
// that offer driver memory pages.
#include <endian.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kdt_pci.h"
#include "kxcr_config.h"
#include "kxcr_os.h"
#include "transport.h"

static_assert(sizeof(kdt_pci_params_st) == 16, "the kernel driver copies 16 bytes");

namespace {

constexpr char kPellikEnv[] = "KXCR_PELLIK_WA";
constexpr unsigned kPellikIdAddr = 0xF0014;
constexpr unsigned kPellikSlotBase = 0xF0384;
constexpr unsigned kPellikSlots = 3;
constexpr unsigned long kPellikPollLimit = 0x1000000;
constexpr size_t kPageSize = 4096;
// Keeps the page-mapping length far from overflowing size_t.
constexpr unsigned kMaxPageOrder = 31;

// The word at `offset`, or null with EFAULT when no window covers it.
volatile uint32_t* window_word(const kfile* mf, unsigned offset) {
    if (!mf->ptr || mf->map_size < 4 || offset > mf->map_size - 4) {
        errno = EFAULT;
        return nullptr;
    }
    return reinterpret_cast<volatile uint32_t*>(static_cast<char*>(mf->ptr) + offset);
}

// The adapter family keeps CR words big-endian in the window, the others
// little-endian.
uint32_t load_word(const kfile* mf, const volatile uint32_t* word) {
    const uint32_t raw = *word;
    return mf->itype == KDT_ZORVAN ? be32toh(raw) : le32toh(raw);
}

void store_word(const kfile* mf, volatile uint32_t* word, uint32_t value) {
    *word = mf->itype == KDT_ZORVAN ? htobe32(value) : htole32(value);
}

// Stores `stamp` into the slot and polls until the chip shows it back, which
// proves that every earlier posted write has reached the chip.
int pellik_confirm(kfile* mf, unsigned addr, uint32_t stamp) {
    volatile uint32_t* slot = mf->pellik_wa_slot ? window_word(mf, mf->pellik_wa_slot) : nullptr;
    if (!slot) {
        errno = EINVAL;
        return 0;
    }
    mf->pellik_wa_num_of_writes++;
    store_word(mf, slot, stamp);
    for (unsigned long polls = 0; polls < kPellikPollLimit; ++polls) {
        if (load_word(mf, slot) == stamp) {
            if (polls > 0) {
                mf->pellik_wa_num_of_retry_writes++;
                mf->pellik_wa_max_retries = std::max<unsigned long long>(mf->pellik_wa_max_retries, polls);
            }
            return 4;
        }
    }
    std::printf("-D- Pellik WA addr %06x failed after %ld retries\n", addr,
                static_cast<long>(kPellikPollLimit));
    std::fflush(stdout);
    errno = ETIMEDOUT;
    return 0;
}

int window_read4(kfile* mf, unsigned offset, u_int32_t* value) {
    volatile uint32_t* word = window_word(mf, offset);
    if (!word) return -1;
    // Only the adapter family posts writes that the workaround must flush.
    if (mf->itype == KDT_ZORVAN && mf->pellik_wa_slot && mf->pellik_wa_last_op_write) {
        if (pellik_wa_write_confirm_sem(mf, offset) != 4) return -1;
        mf->pellik_wa_last_op_write = 0;
    }
    *value = load_word(mf, word);
    return 4;
}

int window_write4(kfile* mf, unsigned offset, u_int32_t value) {
    volatile uint32_t* word = window_word(mf, offset);
    if (!word) return -1;
    store_word(mf, word, value);
    if (mf->itype == KDT_ZORVAN) mf->pellik_wa_last_op_write = 1;
    return 4;
}

bool pellik_wa_disabled() {
    const char* setting = std::getenv(kPellikEnv);
    return setting && std::strcmp(setting, "0") == 0;
}

// Gives a Pellik chip's handle this process's flush slot; other chips keep
// the workaround off. Fails only when the driver fails or names no slot.
int pellik_wa_start(kfile* mf) {
    if (!(mf->flags & KDEVS_ZORVAN_CR) || pellik_wa_disabled()) return 0;
    u_int32_t id = 0;
    if (kread4(mf, kPellikIdAddr, &id) != 4 || id != kxcr_config.pellik_id) return 0;
    uint32_t slot = 0;
    if (kxcr_os()->ioctl(mf->fd, KDT_IOC_PELLIK_SLOT, &slot) < 0) return -1;
    // A slot outside the chip's three would make every confirmation
    // overwrite an unrelated register.
    const unsigned slot_addr = kPellikSlotBase + 4 * slot;
    if (slot >= kPellikSlots || !window_word(mf, slot_addr)) {
        errno = ERANGE;
        return -1;
    }
    mf->pellik_wa_slot = slot_addr;
    mf->pellik_wa_max_retries = 0;
    mf->pellik_wa_num_of_writes = 0;
    mf->pellik_wa_num_of_retry_writes = 0;
    pellik_wa_write_confirm_sem(mf, slot_addr);
    return 0;
}

int unmap_window(kfile* mf) {
    const int rc = kxcr_os()->munmap(mf->ptr, mf->map_size);
    mf->ptr = nullptr;
    return rc;
}

int open_window(const char*, kfile* mf, DType) {
    kdt_pci_params_st params{};
    if (kxcr_os()->ioctl(mf->fd, KDT_IOC_PCI_PARAMS, &params) < 0) return -1;
    // map_size holds 32 bits; a longer window could not be unmapped whole.
    if (params.size == 0 || params.size > UINT32_MAX) {
        errno = EINVAL;
        return -1;
    }
    void* base = kxcr_os()->mmap(nullptr, params.size, PROT_READ | PROT_WRITE, MAP_SHARED, mf->fd, 0);
    if (base == MAP_FAILED) return -1;
    mf->ptr = base;
    mf->map_size = static_cast<unsigned>(params.size);
    mf->pellik_wa_slot = 0;
    if (pellik_wa_start(mf) == 0) return 0;
    const int saved = errno;
    unmap_window(mf);
    errno = saved;
    return -1;
}

void print_pellik_stats(const kfile* mf) {
    std::printf("-D- Pellik WA stats:\n");
    std::printf("-D- : num of write flushes: %8ld\n", static_cast<long>(mf->pellik_wa_num_of_writes));
    std::printf("-D- : num of retry flushes: %8ld\n", static_cast<long>(mf->pellik_wa_num_of_retry_writes));
    std::printf("-D- : max_retries:          %8ld\n", static_cast<long>(mf->pellik_wa_max_retries));
    std::fflush(stdout);
}

int close_window(kfile* mf) {
    if (!mf->ptr) return 0;
    if (mf->pellik_wa_slot && std::getenv(kPellikEnv)) print_pellik_stats(mf);
    return unmap_window(mf);
}

// ppc files take no 64-byte transfers.
int ppc_transfer64(kfile*, unsigned, void*, int) {
    errno = ECANCELED;
    return -1;
}

void* ppc_get_pages(kfile* mf, unsigned order) {
    if (order > kMaxPageOrder) {
        errno = EINVAL;
        return nullptr;
    }
    void* pages = kxcr_os()->mmap(nullptr, kPageSize << order, PROT_READ | PROT_WRITE, MAP_SHARED, mf->fd,
                                  kPageSize);
    return pages == MAP_FAILED ? nullptr : pages;
}

int ppc_free_pages(kfile*, void* addr, unsigned order) {
    if (order > kMaxPageOrder) {
        errno = EINVAL;
        return -1;
    }
    return kxcr_os()->munmap(addr, kPageSize << order);
}

}  // namespace

const kxcr_transport pci_transport = {
    .open = open_window,
    .close = close_window,
    .read4 = window_read4,
    .write4 = window_write4,
    .chunk_size = 256,
    .owns_device_file = true,
    .i2cm_words = true,
};

const kxcr_transport ppc_transport = {
    .read4 = window_read4,
    .write4 = window_write4,
    .read64 = ppc_transfer64,
    .write64 = ppc_transfer64,
    .get_pages = ppc_get_pages,
    .free_pages = ppc_free_pages,
    .owns_device_file = true,
    .i2cm_words = true,
};

// ---- Write-flush workaround ----

int pellik_wa_write_confirm_sem(kfile* mf, unsigned int addr) { return pellik_confirm(mf, addr, 0); }

int pellik_wa_write_confirm(kfile* mf, unsigned int addr) {
    mf->pellik_wa_stat ^= 0x80000000u;
    return pellik_confirm(mf, addr, mf->pellik_wa_stat);
}

unsigned int pellik_wa_find_slot(kfile* mf) {
    for (unsigned i = 0; i < kPellikSlots; ++i) {
        const unsigned addr = kPellikSlotBase + 4 * i;
        u_int32_t owner = 0;
        if (kread4(mf, addr, &owner) != 4) return 0;
        if (owner == 0) return addr;
    }
    std::printf("-DE- Pellik WA: No empty slot found. Base = %06x, %d slots\n", kPellikSlotBase,
                static_cast<int>(kPellikSlots));
    std::fflush(stdout);
    return 0;
}

// Frees the slots whose owner process (bits 0 to 30) no longer exists.
void pellik_wa_clear_stots(kfile* mf) {
    for (unsigned i = 0; i < kPellikSlots; ++i) {
        const unsigned addr = kPellikSlotBase + 4 * i;
        u_int32_t owner = 0;
        if (kread4(mf, addr, &owner) != 4) return;
        const pid_t pid = static_cast<pid_t>(owner & 0x7FFFFFFFu);
        if (pid != 0 && kill(pid, 0) != 0 && errno == ESRCH) {
            if (volatile uint32_t* word = window_word(mf, addr)) store_word(mf, word, 0);
        }
    }
}
