// The kxcr handle: device names, open/close, 32-bit and 64-byte register
// access over the local driver transports, the write-flush workaround of the
// Pellik chip revision, and the small handle helpers. Remote handles are
// handed to the TCP client (tcp.cpp) at the top of each operation.
//
// Every call that reaches a device goes through kxcr_os(), so a simulated
// driver can stand in for the real one.
#include "kxcr.h"

#include <endian.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kdt_calbr.h"
#include "kdt_pci.h"
#include "kdt_pciconf.h"
#include "kxcr_config.h"
#include "kxcr_kif.h"
#include "kxcr_os.h"
#include "tcp.h"

namespace {

constexpr char kDeviceDir[] = "/dev/kdt";
constexpr char kPellikEnv[] = "KXCR_PELLIK_WA";
constexpr unsigned kPellikIdAddr = 0xF0014;
constexpr unsigned kPellikSlotBase = 0xF0384;
constexpr unsigned kPellikSlots = 3;
constexpr unsigned long kPellikPollLimit = 0x1000000;
constexpr int kMaxTransfer = 64;
constexpr size_t kPageSize = 4096;
// Keeps the page-mapping length far from overflowing size_t.
constexpr unsigned kMaxPageOrder = 31;

int trace_switch = 0;

bool has(const char* name, const char* token) { return std::strstr(name, token) != nullptr; }

bool is_remote(const kfile* mf) { return mf->sock != -1; }

void put_be32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t get_be32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// ---- Device names ----

struct token_flag {
    const char* token;
    int flag;
};

// Flags a token gives wherever it appears in a name.
const token_flag plain_flags[] = {
    {":", KDEVS_REM},       {"_pciconf", KDEVS_ZORVAN_CR}, {"kxusb", KDEVS_I2CM},
    {"calbr", KDEVS_I2CM},  {"calibre", KDEVS_I2CM},       {"kif", KDEVS_IF},
    {"ppc", KDEVS_PPC},     {"i2cm", KDEVS_I2CM},          {"vtop", KDEVS_MEM},
    {"dev-i2c", KDEVS_DEV_I2C},
};

// Flags that only a name holding an adapter-family model number gets.
const token_flag zorvan_flags[] = {
    {"pci_ddr", KDEVS_ZORVAN_DDR}, {"pci_uar", KDEVS_ZORVAN_UAR}, {"pci_cr", KDEVS_ZORVAN_CR},
};

struct token_transport {
    const char* token;
    KType tp;
};

// First match wins: "pciconf" must be tested before the "pci" it contains.
const token_transport transports[] = {
    {"pciconf", KDT_PCICONF}, {"pci", KDT_PCI}, {"kxusb", KDT_USB}, {"calbr", KDT_CALBR},
    {"calibre", KDT_CALBR},   {"kif", KDT_IF},  {"ppc", KDT_PPC},
};

bool transport_of(const char* name, KType* tp) {
    for (const token_transport& t : transports) {
        if (has(name, t.token)) {
            *tp = t.tp;
            return true;
        }
    }
    return false;
}

// An InfiniBand destination is a number after "lid-" that ends the name or
// is followed by ','.
bool names_lid(const char* name) {
    const char* lid = std::strstr(name, "lid-");
    if (!lid) return false;
    const char* number = lid + 4;
    const int saved = errno;
    char* end = nullptr;
    std::strtoul(number, &end, 0);
    errno = saved;
    return end != number && (*end == '\0' || *end == ',');
}

// Names of neither family keep the cleared record's value, the switch family.
DType family_of(const char* name) {
    return find_zorvan(name) || has(name, kxcr_config.extra_zorvan_token) ? KDT_ZORVAN : KDT_DUVRA;
}

// ---- Transports not in this build ----
// The USB-I2C adapters ("kxusb"), InfiniBand ("lid-") and the chip's own I2C
// master ("i2cm") are not part of this build. Every open and every access
// that needs one of them ends here; each plugs in at this one place.

bool needs_absent_transport(const kfile* mf) { return mf->tp == KDT_USB || mf->is_i2cm; }

// 32-bit accesses of these kinds travel through the I2C master when the name
// asked for it, even with a mapped window.
bool routes_to_i2c_master(const kfile* mf) {
    return mf->is_i2cm && (mf->tp == KDT_PCI || mf->tp == KDT_PPC || mf->tp == KDT_PCICONF);
}

int absent_transport() {
    errno = ENOSYS;
    return -1;
}

// ---- Memory-mapped window ----

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

int map_window(kfile* mf) {
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
    return pellik_wa_start(mf);
}

void print_pellik_stats(const kfile* mf) {
    std::printf("-D- Pellik WA stats:\n");
    std::printf("-D- : num of write flushes: %8ld\n", static_cast<long>(mf->pellik_wa_num_of_writes));
    std::printf("-D- : num of retry flushes: %8ld\n", static_cast<long>(mf->pellik_wa_num_of_retry_writes));
    std::printf("-D- : max_retries:          %8ld\n", static_cast<long>(mf->pellik_wa_max_retries));
    std::fflush(stdout);
}

// ---- Configuration cycles ----

int pciconf_read4(kfile* mf, unsigned offset, u_int32_t* value) {
    kdt_read4_st request = {offset, 0};
    const int rc = kxcr_os()->ioctl(mf->fd, KDT_IOC_READ4, &request);
    if (rc < 0) return rc;
    *value = request.data;
    return 4;
}

int pciconf_write4(kfile* mf, unsigned offset, u_int32_t value) {
    kdt_write4_st request = {offset, value};
    const int rc = kxcr_os()->ioctl(mf->fd, KDT_IOC_WRITE4, &request);
    return rc < 0 ? rc : 4;
}

// ---- Calibre I2C adapter ----

int address_phase_length(DType dtype) {
    switch (dtype) {
        case KDT_ZORVAN: return 4;
        case KDT_DUVRA: return 2;
        case KDT_DIMM: return 1;
        case KDT_NOADDR: break;
    }
    return 0;
}

// One transaction: the address phase and `out` to the slave, then `in_len`
// bytes back.
int calbr_transaction(kfile* mf, unsigned offset, const uint8_t* out, int out_len, int in_len,
                      kdt_trans_st* trans) {
    *trans = kdt_trans_st{};
    trans->slv_addr = mf->i2c_slave;
    trans->wr_size = prepare_i2c_data(trans->wr_buff, mf->dtype, offset, out, out_len);
    trans->rd_size = in_len;
    return kxcr_os()->ioctl(mf->fd, KDT_IOC_TRANS, trans) < 0 ? -1 : 0;
}

// Returns the bytes read (short when the slave stopped answering), never
// more than asked for whatever the driver reports.
int calbr_read(kfile* mf, unsigned offset, uint8_t* data, int length) {
    kdt_trans_st trans;
    if (calbr_transaction(mf, offset, nullptr, 0, length, &trans) < 0) return -1;
    const int got = static_cast<int>(std::min<uint32_t>(trans.rd_count, length));
    std::memcpy(data, trans.rd_buff, got);
    return got;
}

// Returns the data bytes written: the address phase does not count, so a
// transfer cut short after it is never reported as a complete write.
int calbr_write(kfile* mf, unsigned offset, const uint8_t* data, int length) {
    kdt_trans_st trans;
    if (calbr_transaction(mf, offset, data, length, 0, &trans) < 0) return -1;
    const uint32_t address_len = address_phase_length(mf->dtype);
    const uint32_t written = trans.wr_count > address_len ? trans.wr_count - address_len : 0;
    return static_cast<int>(std::min<uint32_t>(written, length));
}

int calbr_read4(kfile* mf, unsigned offset, u_int32_t* value) {
    uint8_t bytes[4];
    const int got = calbr_read(mf, offset, bytes, 4);
    if (got != 4) return got;
    *value = get_be32(bytes);
    return 4;
}

int calbr_write4(kfile* mf, unsigned offset, u_int32_t value) {
    uint8_t bytes[4];
    put_be32(bytes, value);
    return calbr_write(mf, offset, bytes, 4);
}

// ---- kif device files ----

// The request code of a kif request is the command itself.
int kif_request(kfile* mf, kif_ioctl_cmd_t cmd, unsigned offset, void* buf, int len) {
    kif_param_t param{};
    param.cmd = cmd;
    param.dtype = mf->dtype;
    param.addr = mf->i2c_slave;
    param.len = len;
    param.offset = static_cast<int>(offset);
    param.buf = buf;
    return kxcr_os()->ioctl(mf->fd, cmd, &param);
}

// ---- Dispatch ----

// Checks common to every 32-bit access; nothing is sent when they fail.
bool access_allowed(const kfile* mf, unsigned offset, const void* value) {
    if (!mf || !value || offset % 4 != 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

int block_transfer(kfile* mf, unsigned offset, void* data, int length, bool write) {
    if (!mf || length < 0 || length > kMaxTransfer || (!data && length > 0)) {
        errno = EINVAL;
        return -1;
    }
    // The remote protocol has no block request.
    if (is_remote(mf)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    uint8_t* bytes = static_cast<uint8_t*>(data);
    switch (mf->tp) {
        case KDT_CALBR:
            return write ? calbr_write(mf, offset, bytes, length) : calbr_read(mf, offset, bytes, length);
        case KDT_IF: return kif_request(mf, write ? KWRITE64 : KREAD64, offset, data, length);
        case KDT_PPC: errno = ECANCELED; return -1;
        // The window kinds move bytes one by one through the I2C master.
        case KDT_PCI:
        case KDT_PCICONF:
        case KDT_USB:
        case KDT_USB_DIMAX:
        case KDT_IB: return absent_transport();
    }
    errno = EPERM;
    return -1;
}

// Releases a handle whose open failed, keeping the errno of the call that
// failed.
kfile* open_failed(kfile* mf) {
    const int saved = errno;
    if (mf->ptr) kxcr_os()->munmap(mf->ptr, mf->map_size);
    if (mf->fd >= 0) kxcr_os()->close(mf->fd);
    delete mf;
    errno = saved;
    return nullptr;
}

int open_local(kfile* mf, const char* name, DType dtype) {
    mf->dtype = dtype;
    mf->i2c_slave = dtype == KDT_ZORVAN ? 0x48 : 0x5A;
    mf->is_i2cm = has(name, "i2cm") ? 1 : 0;
    mf->itype = family_of(name);
    if (!transport_of(name, &mf->tp)) {
        errno = ENOENT;
        return -1;
    }
    if (needs_absent_transport(mf)) return absent_transport();
    const int fd = kxcr_os()->open(name, O_RDWR | O_SYNC);
    if (fd < 0) return -1;
    mf->fd = fd;
    mf->flags = get_device_flags(name);
    return mf->tp == KDT_PCI ? map_window(mf) : 0;
}

int close_local(kfile* mf) {
    if (mf->tp == KDT_PCI && mf->ptr) {
        if (mf->pellik_wa_slot && std::getenv(kPellikEnv)) print_pellik_stats(mf);
        kxcr_os()->munmap(mf->ptr, mf->map_size);
    }
    return kxcr_os()->close(mf->fd);
}

bool offers_pages(const kfile* mf) { return mf && !is_remote(mf) && mf->tp == KDT_PPC; }

}  // namespace

// ---- Trace switch ----

void logset(int ena) { trace_switch = ena; }

int plog(const char* fmt, ...) {
    if (!trace_switch) return 0;
    va_list args;
    va_start(args, fmt);
    const int printed = std::vprintf(fmt, args);
    va_end(args);
    std::fflush(stdout);
    return printed;
}

// ---- Names ----

char* find_zorvan(const char* name) {
    if (!name) return nullptr;
    for (size_t i = 0; i < kxcr_config.zorvan_model_count; ++i) {
        if (const char* found = std::strstr(name, kxcr_config.zorvan_models[i])) {
            return const_cast<char*>(found);
        }
    }
    return nullptr;
}

int get_device_flags(const char* name) {
    if (!name) return 0;
    int flags = 0;
    for (const token_flag& t : plain_flags) {
        if (has(name, t.token)) flags |= t.flag;
    }
    if (find_zorvan(name)) {
        for (const token_flag& t : zorvan_flags) {
            if (has(name, t.token)) flags |= t.flag;
        }
    }
    if (has(name, kxcr_config.duvra_token)) flags |= KDEVS_DUVRA;
    if (names_lid(name)) flags |= KDEVS_IB;
    return flags;
}

// ---- Open, close, listing ----

kfile* kopen(const char* name) { return kopend(name, KDT_ZORVAN); }

kfile* kopend(const char* name, DType dtype) {
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    kfile* mf = new (std::nothrow) kfile();
    if (!mf) {
        errno = ENOMEM;
        return nullptr;
    }
    mf->fd = -1;
    // ':' comes before every other test: a remote name may name any device.
    if (has(name, ":")) {
        mf->is_i2cm = 0;
        return remote_open(name, mf, dtype) == 0 ? mf : open_failed(mf);
    }
    mf->sock = -1;
    if (has(name, "lid-")) {
        absent_transport();
        return open_failed(mf);
    }
    return open_local(mf, name, dtype) == 0 ? mf : open_failed(mf);
}

int kclose(kfile* mf) {
    if (!mf) {
        errno = EINVAL;
        return -1;
    }
    const int rc = is_remote(mf) ? remote_close(mf) : close_local(mf);
    delete mf;
    return rc;
}

int kdevices(char* buf, int len, int mask) {
    void* dir = kxcr_os()->opendir(kDeviceDir);
    if (!dir) return 0;
    int count = 0;
    size_t used = 0;
    while (const char* entry = kxcr_os()->readdir(dir)) {
        if (entry[0] == '.' || !(get_device_flags(entry) & mask)) continue;
        // The directory, '/', the entry and its NUL.
        const size_t need = sizeof kDeviceDir + std::strlen(entry) + 1;
        // Checked before writing: the listing stays below len bytes.
        if (len <= 0 || used + need >= static_cast<size_t>(len)) {
            kxcr_os()->closedir(dir);
            return -1;
        }
        std::snprintf(buf + used, need, "%s/%s", kDeviceDir, entry);
        used += need;
        ++count;
    }
    kxcr_os()->closedir(dir);
    return count;
}

// ---- Register access ----

int kread4(kfile* mf, unsigned int offset, u_int32_t* value) {
    if (!access_allowed(mf, offset, value)) return -1;
    if (is_remote(mf)) return remote_read4(mf, offset, value);
    if (routes_to_i2c_master(mf)) return absent_transport();
    switch (mf->tp) {
        case KDT_PCI:
        case KDT_PPC: return window_read4(mf, offset, value);
        case KDT_PCICONF: return pciconf_read4(mf, offset, value);
        case KDT_CALBR: return calbr_read4(mf, offset, value);
        case KDT_IF: return kif_request(mf, KREAD4, offset, value, 4);
        case KDT_USB:
        case KDT_USB_DIMAX:
        case KDT_IB: break;
    }
    return absent_transport();
}

int kwrite4(kfile* mf, unsigned int offset, u_int32_t value) {
    if (!access_allowed(mf, offset, &value)) return -1;
    if (is_remote(mf)) return remote_write4(mf, offset, value);
    if (routes_to_i2c_master(mf)) return absent_transport();
    switch (mf->tp) {
        case KDT_PCI:
        case KDT_PPC: return window_write4(mf, offset, value);
        case KDT_PCICONF: return pciconf_write4(mf, offset, value);
        case KDT_CALBR: return calbr_write4(mf, offset, value);
        case KDT_IF: return kif_request(mf, KWRITE4, offset, &value, 4);
        case KDT_USB:
        case KDT_USB_DIMAX:
        case KDT_IB: break;
    }
    return absent_transport();
}

int kread64(kfile* mf, unsigned int offset, void* data, int length) {
    return block_transfer(mf, offset, data, length, false);
}

int kwrite64(kfile* mf, unsigned int offset, void* data, int length) {
    return block_transfer(mf, offset, data, length, true);
}

// ---- I2C address phase ----

int prepare_i2c_buf(unsigned char* buf, DType dtype, unsigned int offset) {
    const int length = address_phase_length(dtype);
    for (int i = 0; i < length; ++i) buf[i] = static_cast<unsigned char>(offset >> (8 * (length - 1 - i)));
    return length;
}

int prepare_i2c_data(unsigned char* buf, DType dtype, unsigned int offset, const unsigned char* data,
                     int data_length) {
    const int address_len = prepare_i2c_buf(buf, dtype, offset);
    if (data_length > 0) std::memcpy(buf + address_len, data, data_length);
    return address_len + std::max(data_length, 0);
}

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

// ---- Handle helpers ----

int ksw_reset(kfile* mf) {
    if (mf && !is_remote(mf) && mf->tp == KDT_IB) return absent_transport();
    errno = EPERM;
    return -1;
}

void kaccelerate(kfile* mf) {
    if (mf && mf->is_i2cm) absent_transport();
}

void krestore(kfile* mf) {
    if (mf && mf->is_i2cm) absent_transport();
}

unsigned char kset_i2c_slave(kfile* mf, unsigned char new_i2c_slave) {
    if (!mf) return 0xFF;
    const unsigned char previous = mf->i2c_slave;
    mf->i2c_slave = new_i2c_slave;
    return previous;
}

void* kget_free_pages(kfile* mf, unsigned int order) {
    if (!offers_pages(mf)) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    if (order > kMaxPageOrder) {
        errno = EINVAL;
        return nullptr;
    }
    void* pages = kxcr_os()->mmap(nullptr, kPageSize << order, PROT_READ | PROT_WRITE, MAP_SHARED, mf->fd,
                                  kPageSize);
    return pages == MAP_FAILED ? nullptr : pages;
}

int kfree_pages(kfile* mf, void* addr, unsigned int order) {
    if (!offers_pages(mf)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (order > kMaxPageOrder) {
        errno = EINVAL;
        return -1;
    }
    return kxcr_os()->munmap(addr, kPageSize << order);
}

unsigned long kvtop(kfile*, void*) {
    errno = EOPNOTSUPP;
    return 0;
}
