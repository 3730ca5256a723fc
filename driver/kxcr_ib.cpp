// InfiniBand: names with "lid-" reach the chip in band, each CR word by one
// vendor-specific management datagram, I2C devices behind the chip by
// another. Every failure of this transport is fatal: iberror prints the
// reason and ends the process with status 255.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kxcr_ib.h"
#include "transport.h"

namespace ibvsmad {
int verbose = 0;
}  // namespace ibvsmad

namespace {

// "LID[,CA[,PORT]]": an absent or empty CA name means the default CA, an
// absent port the default port (0).
struct destination {
    std::string lid;
    std::string ca;
    int ca_port = 0;
};

destination parse_destination(const char* name) {
    destination d;
    const char* ca = std::strchr(name, ',');
    d.lid.assign(name, ca ? ca - name : std::strlen(name));
    if (!ca) return d;
    const char* port = std::strchr(++ca, ',');
    d.ca.assign(ca, port ? port - ca : std::strlen(ca));
    if (!port) return d;
    ++port;
    const int saved = errno;
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(port, &end, 0);
    if (*end != '\0' || errno != 0 || number < INT_MIN || number > INT_MAX) {
        iberror(1, "kib_open", "Bad port number format (%s)", port);
    }
    errno = saved;
    d.ca_port = static_cast<int>(number);
    return d;
}

ibvs_mad* record(const kfile* mf) { return static_cast<ibvs_mad*>(mf->ptr); }

const char* destination_text(ibvs_mad* h) { return h->portid2str(&h->portid); }

// kopend hands the whole name; the destination follows "lid-".
int ib_open(const char* name, kfile* mf, DType) { return kib_open(std::strstr(name, "lid-") + 4, mf); }

}  // namespace

int iberror(int is_error, const char* fn, const char* msg, ...) {
    char text[512];
    va_list args;
    va_start(args, msg);
    std::vsnprintf(text, sizeof text, msg, args);
    va_end(args);
    const char* kind = is_error ? "iberror" : "ibwarning";
    const int printed = ibvsmad::verbose
                            ? std::printf("%s: %s: [pid %d] %s: failed: %s\n", "ibvsmad", kind, getpid(), fn, text)
                            : std::printf("%s: %s: failed: %s\n", "ibvsmad", kind, text);
    std::fflush(stdout);
    if (is_error) std::exit(-1);
    return printed;
}

int kib_open(const char* name, kfile* mf) {
    const destination d = parse_destination(name);
    mf->ptr = ibvsmad_open(d.lid.c_str(), d.ca.empty() ? nullptr : d.ca.c_str(), d.ca_port);
    return 0;
}

int kib_close(kfile* mf) {
    delete record(mf);
    mf->ptr = nullptr;
    return 0;
}

int kib_read4(kfile* mf, u_int32_t memory_address, u_int32_t* data) {
    if (ibvsmad::verbose) iberror(0, "kib_read4", "kread4 of 0x%08x\n", memory_address);
    ibvs_mad* h = record(mf);
    if (ibvsmad_craccess_rw(h, memory_address, IB_MAD_METHOD_GET, 1, data) != 0) {
        iberror(1, "kib_read4", "cr access read to %s failed", destination_text(h));
    }
    return 4;
}

int kib_write4(kfile* mf, u_int32_t memory_address, u_int32_t data) {
    if (ibvsmad::verbose) iberror(0, "kib_write4", "kwrite4 of 0x%08x\n", memory_address);
    ibvs_mad* h = record(mf);
    if (ibvsmad_craccess_rw(h, memory_address, IB_MAD_METHOD_SET, 1, &data) != 0) {
        iberror(1, "kib_write4", "cr access write to %s failed", destination_text(h));
    }
    return 4;
}

int kib_read64(kfile* mf, unsigned int offset, void* data, int length) {
    if (length % 4 != 0) iberror(1, "kib_read64", "Size must be 4 aligned, got %d\n", length);
    ibvs_mad* h = record(mf);
    if (ibvsmad_i2c_rw(h, mf->i2c_slave, offset, length, IB_MAD_METHOD_GET, static_cast<char*>(data)) != 0) {
        iberror(1, "kib_read64", "i2c_read to %s failed", destination_text(h));
    }
    return length;
}

int kib_write64(kfile* mf, unsigned int offset, void* data, int length) {
    if (length % 4 != 0) iberror(1, "kib_write64", "Size must be 4 aligned, got %d\n", length);
    ibvs_mad* h = record(mf);
    if (ibvsmad_i2c_rw(h, mf->i2c_slave, offset, length, IB_MAD_METHOD_SET, static_cast<char*>(data)) != 0) {
        iberror(1, "kib_write64", "i2c_write to %s failed", destination_text(h));
    }
    return length;
}

int kib_swreset(kfile* mf) { return ibvsmad_swreset(record(mf)); }

// Words go one datagram each, blocks too.
const kxcr_transport ib_transport = {
    .open = ib_open,
    .close = kib_close,
    .read4 = kib_read4,
    .write4 = kib_write4,
    .read64 = kib_read64,
    .write64 = kib_write64,
    .sw_reset = kib_swreset,
};
