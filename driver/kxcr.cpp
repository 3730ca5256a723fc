// The kxcr handle: device names, open/close, the device listing, and the
// public entry points, which check their arguments once and call the row of
// the handle's transport (transport.h). Each transport lives in its own file.
//
// Every call that reaches a device goes through kxcr_os(), so a simulated
// driver can stand in for the real one.
#include "kxcr.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "kxcr_config.h"
#include "kxcr_os.h"
#include "transport.h"

namespace {

constexpr char kDeviceDir[] = "/dev/kdt";
constexpr int kMaxTransfer = 64;

int trace_switch = 0;

// KXCR_TRACE, set to anything but "0" when a device is opened, traces every
// CR access to standard error: never to standard output, whose lines scripts
// read.
bool cr_trace = false;

bool cr_trace_requested() {
    const char* value = std::getenv("KXCR_TRACE");
    return value && *value && std::strcmp(value, "0") != 0;
}

// One trace line: the call, the address, what moved, and the result with the
// text of errno on a failure. errno is kept for the caller.
int traced(int rc, const char* call, unsigned offset, const char* moved) {
    const int saved = errno;
    if (rc < 0) {
        std::fprintf(stderr, "-D- %s %08x%s -> %d (%s)\n", call, offset, moved, rc,
                     std::strerror(saved));
    } else {
        std::fprintf(stderr, "-D- %s %08x%s -> %d\n", call, offset, moved, rc);
    }
    errno = saved;
    return rc;
}

// A word access shows the word: the one written, or the one read when the
// read succeeded.
int traced_word(int rc, const char* call, unsigned offset, const u_int32_t* value) {
    if (!cr_trace) return rc;
    char moved[16] = "";
    if (value) std::snprintf(moved, sizeof moved, " : %08x", *value);
    return traced(rc, call, offset, moved);
}

int traced_block(int rc, const char* call, unsigned offset, int length) {
    if (!cr_trace) return rc;
    char moved[24];
    std::snprintf(moved, sizeof moved, " len %d", length);
    return traced(rc, call, offset, moved);
}

bool has(const char* name, const char* token) { return std::strstr(name, token) != nullptr; }

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
const token_transport kinds[] = {
    {"pciconf", KDT_PCICONF}, {"pci", KDT_PCI}, {"kxusb", KDT_USB}, {"calbr", KDT_CALBR},
    {"calibre", KDT_CALBR},   {"kif", KDT_IF},  {"ppc", KDT_PPC},
};

bool kind_named(const char* name, KType* tp) {
    for (const token_transport& t : kinds) {
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

// ---- The table ----

// The row of each kind, indexed by KType.
const kxcr_transport* const kind_rows[] = {
    &pci_transport,      // KDT_PCI
    &pciconf_transport,  // KDT_PCICONF
    &calibre_transport,  // KDT_CALBR
    &kdt_usb_transport,  // KDT_USB
    &ib_transport,       // KDT_IB
    &kif_transport,      // KDT_IF
    &ppc_transport,      // KDT_PPC
    &dimax_transport,    // KDT_USB_DIMAX
};
static_assert(std::size(kind_rows) == KDT_USB_DIMAX + 1, "one row per KType");

// The in-chip I2C master (kxcr_i2c.cpp).
const kxcr_transport* const i2c_master = &i2c_master_row;

// ---- Open ----

// Fills the handle from what the name tells and returns the row that opens
// it, or null with errno.
const kxcr_transport* transport_named(kfile* mf, const char* name, DType dtype) {
    // ':' comes before every other test: a remote name may name any device.
    if (has(name, ":")) {
        mf->is_i2cm = 0;
        return &remote_transport;
    }
    mf->sock = -1;
    if (has(name, "lid-")) {
        mf->tp = KDT_IB;
        return transport_for(mf);
    }
    mf->dtype = dtype;
    mf->i2c_slave = dtype == KDT_ZORVAN ? 0x48 : 0x5A;
    mf->is_i2cm = has(name, "i2cm") ? 1 : 0;
    mf->itype = family_of(name);
    if (!kind_named(name, &mf->tp)) {
        errno = ENOENT;
        return nullptr;
    }
    return transport_for(mf);
}

// Releases a handle whose open failed, keeping the errno of the call that
// failed; the row's open has released what it took.
kfile* open_failed(kfile* mf) {
    const int saved = errno;
    if (mf->fd >= 0) kxcr_os()->close(mf->fd);
    delete mf;
    errno = saved;
    return nullptr;
}

int close_with(const kxcr_transport* t, kfile* mf) {
    int rc = t->close ? t->close(mf) : 0;
    if (t->owns_device_file && kxcr_os()->close(mf->fd) != 0) rc = -1;
    return rc;
}

// ---- Access ----

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
    const auto transfer = write ? &kxcr_transport::write64 : &kxcr_transport::read64;
    const kxcr_transport* t = transport_for(mf);
    // A kind without transfers of its own moves the bytes one by one through
    // the in-chip I2C master.
    if (t && !(t->*transfer)) t = i2c_master;
    return t ? (t->*transfer)(mf, offset, data, length) : -1;
}

// The row of a handle that offers driver memory pages, or null with
// EOPNOTSUPP.
const kxcr_transport* pages_transport(const kfile* mf) {
    const kxcr_transport* t = mf ? transport_for(mf) : nullptr;
    if (t && t->get_pages) return t;
    errno = EOPNOTSUPP;
    return nullptr;
}

}  // namespace

const kxcr_transport* transport_for(const kfile* mf) {
    if (mf->sock != -1) return &remote_transport;
    if (static_cast<unsigned>(mf->tp) >= std::size(kind_rows)) {
        errno = EPERM;
        return nullptr;
    }
    return kind_rows[mf->tp];
}

const kxcr_transport* word_transport_for(const kfile* mf) {
    const kxcr_transport* t = transport_for(mf);
    return t && mf->is_i2cm && t->i2cm_words ? i2c_master_transport() : t;
}

const kxcr_transport* i2c_master_transport() { return i2c_master; }

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
    cr_trace = cr_trace_requested();
    const kxcr_transport* t = transport_named(mf, name, dtype);
    if (!t) return open_failed(mf);
    if (t->owns_device_file) {
        mf->fd = kxcr_os()->open(name, O_RDWR | O_SYNC);
        if (mf->fd < 0) return open_failed(mf);
        mf->flags = get_device_flags(name);
    }
    if (t->open && t->open(name, mf, dtype) != 0) return open_failed(mf);
    return mf;
}

int kclose(kfile* mf) {
    if (!mf) {
        errno = EINVAL;
        return -1;
    }
    const kxcr_transport* t = transport_for(mf);
    const int rc = t ? close_with(t, mf) : -1;
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
    if (!access_allowed(mf, offset, value)) return traced_word(-1, "kread4", offset, nullptr);
    const kxcr_transport* t = word_transport_for(mf);
    const int rc = t ? t->read4(mf, offset, value) : -1;
    return traced_word(rc, "kread4", offset, rc == 4 ? value : nullptr);
}

int kwrite4(kfile* mf, unsigned int offset, u_int32_t value) {
    if (!access_allowed(mf, offset, &value)) return traced_word(-1, "kwrite4", offset, &value);
    const kxcr_transport* t = word_transport_for(mf);
    return traced_word(t ? t->write4(mf, offset, value) : -1, "kwrite4", offset, &value);
}

int kread64(kfile* mf, unsigned int offset, void* data, int length) {
    return traced_block(block_transfer(mf, offset, data, length, false), "kread64", offset, length);
}

int kwrite64(kfile* mf, unsigned int offset, void* data, int length) {
    return traced_block(block_transfer(mf, offset, data, length, true), "kwrite64", offset, length);
}

// ---- I2C address phase ----

namespace {

int address_phase_length(DType dtype) {
    switch (dtype) {
        case KDT_ZORVAN: return 4;
        case KDT_DUVRA: return 2;
        case KDT_DIMM: return 1;
        case KDT_NOADDR: break;
    }
    return 0;
}

}  // namespace

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

// ---- Handle helpers ----

int ksw_reset(kfile* mf) {
    const kxcr_transport* t = mf ? transport_for(mf) : nullptr;
    if (t && t->sw_reset) return t->sw_reset(mf);
    errno = EPERM;
    return -1;
}

void kaccelerate(kfile* mf) {
    if (mf && mf->is_i2cm) i2c_master->accelerate(mf);
}

void krestore(kfile* mf) {
    if (mf && mf->is_i2cm) i2c_master->restore(mf);
}

unsigned char kset_i2c_slave(kfile* mf, unsigned char new_i2c_slave) {
    if (!mf) return 0xFF;
    const unsigned char previous = mf->i2c_slave;
    mf->i2c_slave = new_i2c_slave;
    return previous;
}

void* kget_free_pages(kfile* mf, unsigned int order) {
    const kxcr_transport* t = pages_transport(mf);
    return t ? t->get_pages(mf, order) : nullptr;
}

int kfree_pages(kfile* mf, void* addr, unsigned int order) {
    const kxcr_transport* t = pages_transport(mf);
    return t ? t->free_pages(mf, addr, order) : -1;
}

unsigned long kvtop(kfile*, void*) {
    errno = EOPNOTSUPP;
    return 0;
}
