// A stand-in for libibmad, built for the tests as libibmad.so.5 (and
// libibmad.so) and never installed: the five calls of the InfiniBand
// transport, with the fabric and the chip's management agent behind them
// played by the simulated chip. It answers the chip's vendor datagrams:
//   - class 9, attribute 0x50 (CR access): modifier bits 0-15 and 24-31 are
//     CR address bits 0-15 and 16-23, bits 16-23 the dword count (1 to 18;
//     the first dword alone travels); data bytes 8-11 the word and 12-15 the
//     write mask, most significant byte first. A Get reads the word on the
//     chip's bus into bytes 8-11, a Set writes the masked bits.
//   - class 10, attribute 0x13, modifier 2 (I2C): byte 11 the size, byte 15
//     the slave, bytes 16-19 the address phase (4 bytes), data from byte 20;
//     one transaction with the chip's I2C slave.
//   - class 10, attribute 0x12 (reset), a Set: answered, the chip unchanged.
// Anything else, an access the chip refuses or an I2C transfer cut short
// gets no reply. A reply fills the whole data area of a class of the first
// vendor range, IB_VENDOR_RANGE1_DATA_SIZE bytes as the library's header
// has it: a caller's smaller buffer shows under the address sanitizer.
//
// Set up by the environment, read at each call:
//   KXSIM_IBMAD_IMAGE  the chip's image (a Zorvan chip; created when missing)
//   KXSIM_IBMAD_DB     the arr_db.txt configuring the chip's gateways
//   KXSIM_IBMAD_LOG    a file each call is appended to, one line each
//   KXSIM_IBMAD_FAULT  "unknown-destination", "no-class-9", "no-class-10"
//                      or "no-reply" (no datagram is answered)
#include <infiniband/mad.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "sim.h"

namespace {

constexpr size_t kArea = IB_VENDOR_RANGE1_DATA_SIZE;
constexpr unsigned kVendorOui = 0x1405;

std::unique_ptr<kxsim::Chip> chip;
std::set<int> registered;
int resolved_lid = -1;

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool fault(const std::string& which) { return which == env("KXSIM_IBMAD_FAULT"); }

__attribute__((format(printf, 1, 2))) void log_call(const char* fmt, ...) {
    FILE* f = *env("KXSIM_IBMAD_LOG") ? std::fopen(env("KXSIM_IBMAD_LOG"), "a") : nullptr;
    if (!f) return;
    va_list args;
    va_start(args, fmt);
    std::vfprintf(f, fmt, args);
    va_end(args);
    std::fputc('\n', f);
    std::fclose(f);
}

// The data area in groups of four bytes, through its last nonzero byte but
// at least the 16 bytes of a CR access.
std::string area_text(const uint8_t* area) {
    size_t end = kArea;
    while (end > 16 && area[end - 1] == 0) --end;
    end = (end + 3) / 4 * 4;
    std::string text;
    char byte[3];
    for (size_t i = 0; i < end; ++i) {
        if (i && i % 4 == 0) text += ' ';
        std::snprintf(byte, sizeof byte, "%02x", area[i]);
        text += byte;
    }
    return text;
}

uint32_t be32(const uint8_t* at) {
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

void put_be32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

bool cr_access(unsigned method, unsigned mod, uint8_t* area) {
    const unsigned dwords = mod >> 16 & 0xFF;
    const uint32_t addr = (mod & 0xFFFF) | (mod >> 24) << 16;
    if (dwords < 1 || dwords > 0x12) return false;
    if (method == IB_MAD_METHOD_GET) {
        uint32_t word;
        if (!chip->Read(addr, &word)) return false;
        put_be32(area + 8, word);
        return true;
    }
    const uint32_t mask = be32(area + 12);
    return chip->Write(addr, (chip->Peek(addr) & ~mask) | (be32(area + 8) & mask));
}

bool i2c_access(unsigned method, uint8_t* area) {
    const int size = area[11];
    if (20 + size > static_cast<int>(kArea)) return false;
    uint8_t out[4 + kArea];
    std::memcpy(out, area + 16, 4);  // the address phase
    int wr = 0;
    int rd = 0;
    if (method == IB_MAD_METHOD_GET) {
        return chip->I2cTransaction(area[15], out, 4, area + 20, size, &wr, &rd) && wr == 4 && rd == size;
    }
    std::memcpy(out + 4, area + 20, size);
    return chip->I2cTransaction(area[15], out, 4 + size, nullptr, 0, &wr, &rd) && wr == 4 + size;
}

bool answer(const ib_vendor_call_t& call, uint8_t* area) {
    if (call.oui != kVendorOui || !registered.count(call.mgmt_class)) return false;
    if (call.method != IB_MAD_METHOD_GET && call.method != IB_MAD_METHOD_SET) return false;
    if (call.mgmt_class == 0x9 && call.attrid == 0x50) return cr_access(call.method, call.mod, area);
    if (call.mgmt_class == 0xA && call.attrid == 0x13 && call.mod == 2) return i2c_access(call.method, area);
    return call.mgmt_class == 0xA && call.attrid == 0x12 && call.method == IB_MAD_METHOD_SET;
}

}  // namespace

void madrpc_init(char* dev_name, int dev_port, int* mgmt_classes, int num_classes) {
    std::string classes;
    char one[16];
    for (int i = 0; i < num_classes; ++i) {
        std::snprintf(one, sizeof one, " %x", mgmt_classes[i]);
        classes += one;
    }
    log_call("madrpc_init %s %d classes%s", dev_name ? dev_name : "(null)", dev_port, classes.c_str());
    std::string error;
    chip = kxsim::Chip::Open(env("KXSIM_IBMAD_IMAGE"), kxsim::Family::Zorvan, &error);
    if (chip && *env("KXSIM_IBMAD_DB") && !chip->LoadDatabase(env("KXSIM_IBMAD_DB"), &error)) chip.reset();
    if (!chip) {
        // A test set up without a chip: nothing could answer.
        std::fprintf(stderr, "ibmad double: madrpc_init: %s\n", error.c_str());
        std::exit(1);
    }
    registered.clear();
    resolved_lid = -1;
}

int mad_register_client(int mgmt, uint8_t rmpp_version) {
    log_call("register_client %d rmpp %d", mgmt, rmpp_version);
    if (!chip || fault("no-class-" + std::to_string(mgmt))) return -1;
    registered.insert(mgmt);
    return mgmt;
}

int ib_resolve_portid_str(ib_portid_t* portid, char* addr_str, enum MAD_DEST dest, ib_portid_t* sm_id) {
    log_call("resolve %s dest %d sm %s", addr_str, dest, sm_id ? "given" : "(null)");
    char* end = nullptr;
    const long lid = std::strtol(addr_str, &end, 0);
    if (!chip || fault("unknown-destination") || dest != IB_DEST_LID || end == addr_str || *end || lid < 1 ||
        lid > IB_MAX_UCAST_LID) {
        return -1;
    }
    *portid = ib_portid_t{};
    portid->lid = resolved_lid = static_cast<int>(lid);
    return 0;
}

uint8_t* ib_vendor_call(void* data, ib_portid_t* portid, ib_vendor_call_t* call) {
    auto* area = static_cast<uint8_t*>(data);
    const ib_rmpp_hdr_t no_rmpp{};
    log_call("vendor_call lid %d class %u method %u attr %x mod %08x oui %x timeout %u rmpp %s data %s",
             portid->lid, call->mgmt_class, call->method, call->attrid, call->mod, call->oui, call->timeout,
             std::memcmp(&call->rmpp, &no_rmpp, sizeof no_rmpp) ? "set" : "0", area_text(area).c_str());
    uint8_t reply[kArea];
    std::memcpy(reply, area, kArea);
    if (!chip || fault("no-reply") || portid->lid != resolved_lid || !answer(*call, reply)) return nullptr;
    std::memcpy(area, reply, kArea);
    return area;
}

char* portid2str(ib_portid_t* portid) {
    static char text[32];
    std::snprintf(text, sizeof text, "Lid %d", portid->lid);
    return text;
}
