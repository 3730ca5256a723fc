// libibmad, loaded at run time: the management channel, the two vendor
// classes the chip answers and the datagrams of CR access, I2C access and
// reset.
#include <dlfcn.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "kxcr_ib.h"
#include "kxcr_os.h"

namespace {

// The development package alone installs the unversioned name; a user's
// machine usually has only the versioned one.
const char* const kLibraryNames[] = {"libibmad.so", "libibmad.so.5"};

constexpr unsigned kCrAccessClass = 0x9;
constexpr unsigned kCrAccessAttr = 0x50;
constexpr unsigned kI2cClass = 0xA;
constexpr unsigned kI2cAttr = 0x13;
constexpr unsigned kI2cMod = 2;
constexpr unsigned kResetAttr = 0x12;
constexpr uint32_t kVendorOui = 0x1405;
// One CR access carries at most this many dwords.
constexpr unsigned kMaxDwords = 0x12;
// The attribute modifier holds CR address bits 0-23 only.
constexpr uint32_t kMaxCrAddress = 0xFFFFFF;

// Data area of one datagram: what libibmad carries for a class of the first
// vendor range, whole, both ways.
using mad_area = std::array<uint8_t, IB_VENDOR_RANGE1_DATA_SIZE>;

// Layout of the data area.
constexpr size_t kCrData = 8;   // the CR word, most significant byte first
constexpr size_t kCrMask = 12;  // the write mask
constexpr size_t kI2cSize = 11;
constexpr size_t kI2cDevice = 15;
constexpr size_t kI2cAddress = 16;  // most significant byte first
constexpr size_t kI2cData = 20;
static_assert(IB_VENDOR_RANGE1_DATA_SIZE - kI2cData <= 0xFF, "any I2C size that fits the area fits its byte");

void put_be32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t get_be32(const uint8_t* at) {
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

ib_vendor_call_t vendor_call(int method, unsigned mgmt_class, unsigned attrid, unsigned mod) {
    ib_vendor_call_t call{};  // timeout 0: libibmad's default; RMPP header zeroed
    call.method = method;
    call.mgmt_class = mgmt_class;
    call.attrid = attrid;
    call.mod = mod;
    call.oui = kVendorOui;
    return call;
}

// One datagram: true when a reply came back into `area`.
bool send(ibvs_mad* h, mad_area& area, ib_vendor_call_t call) {
    return h->ib_vendor_call(area.data(), &h->portid, &call) != nullptr;
}

// The first of the names that loads, or null with every loader text,
// each naming what was tried, in *error.
void* load_library(std::string* error) {
    for (const char* name : kLibraryNames) {
        if (void* handle = kxcr_os()->dlopen(name, RTLD_LAZY)) return handle;
        const char* text = kxcr_os()->dlerror();
        std::string why = text ? text : "cannot be loaded";
        // The loader names the file it could not open, not the library
        // whose dependency failed to load.
        if (why.find(name) == std::string::npos) why = std::string(name) + ": " + why;
        *error += (error->empty() ? "" : "; ") + why;
    }
    return nullptr;
}

template <class Fn>
void look_up(ibvs_mad* h, const char* name, Fn* fn) {
    *fn = reinterpret_cast<Fn>(kxcr_os()->dlsym(h->dl_handle, name));
    if (*fn) return;
    const char* text = kxcr_os()->dlerror();
    iberror(1, "kib_open", "%s", text ? text : name);
}

}  // namespace

ibvs_mad* ibvsmad_open(const char* dest, const char* ca, int ca_port) {
    ibvs_mad* h = new (std::nothrow) ibvs_mad{};
    if (!h) iberror(1, "kib_open", "can't allocate ibvsmad_kfile");
    std::string error;
    h->dl_handle = load_library(&error);
    if (!h->dl_handle) iberror(1, "kib_open", "%s", error.c_str());
    look_up(h, "madrpc_init", &h->madrpc_init);
    look_up(h, "ib_vendor_call", &h->ib_vendor_call);
    look_up(h, "mad_register_client", &h->mad_register_client);
    look_up(h, "ib_resolve_portid_str", &h->ib_resolve_portid_str);
    look_up(h, "portid2str", &h->portid2str);

    int classes[] = {IB_SMI_CLASS, IB_SMI_DIRECT_CLASS, IB_SA_CLASS};
    // libibmad takes the CA name as char* and only reads it.
    h->madrpc_init(const_cast<char*>(ca), ca_port, classes, 3);
    for (int mgmt_class : {kI2cClass, kCrAccessClass}) {
        if (h->mad_register_client(mgmt_class, 0) < 0) {
            iberror(1, "kib_open", "can't register vsmad class %d on this port", mgmt_class);
        }
    }
    std::string lid(dest);
    if (h->ib_resolve_portid_str(&h->portid, lid.data(), IB_DEST_LID, nullptr) < 0) {
        iberror(1, "kib_open", "can't resolve destination port %s", lid.c_str());
    }
    return h;
}

int ibvsmad_reply(unsigned attrid, const uint8_t* reply, size_t reply_len, void* out, size_t size) {
    const size_t at = attrid == kCrAccessAttr ? kCrData : kI2cData;
    if (!reply || !out || at > reply_len || size > reply_len - at) return -1;
    if (attrid != kCrAccessAttr) {
        std::memcpy(out, reply + at, size);
        return 0;
    }
    if (size != sizeof(uint32_t)) return -1;
    const uint32_t word = get_be32(reply + at);
    std::memcpy(out, &word, sizeof word);
    return 0;
}

int ibvsmad_craccess_rw(ibvs_mad* h, u_int32_t memory_address, int method, u_int8_t num_of_dwords,
                        u_int32_t* data) {
    if (num_of_dwords > kMaxDwords) {
        iberror(1, "ibvsmad_craccess_rw", "size is too big, maximum num of dwords is 0x12");
    }
    // Bits 0-15 of the address, the dword count, then bits 16-23.
    const unsigned mod = (memory_address & 0xFFFF) | unsigned{num_of_dwords} << 16 |
                         (memory_address >> 16 & 0xFF) << 24;
    if (ibvsmad::verbose) {
        iberror(0, "ibvsmad_craccess_rw", "attrmod = %08x\n", mod);
        iberror(0, "ibvsmad_craccess_rw", "memory_address = 0x%08x\n", memory_address);
    }
    // An address the modifier cannot hold would reach another word.
    if (!data || memory_address > kMaxCrAddress) return -1;
    mad_area area{};
    if (method == IB_MAD_METHOD_SET) {
        put_be32(&area[kCrData], data[0]);
        put_be32(&area[kCrMask], 0xFFFFFFFF);
    }
    if (!send(h, area, vendor_call(method, kCrAccessClass, kCrAccessAttr, mod))) return -1;
    return ibvsmad_reply(kCrAccessAttr, area.data(), area.size(), data, sizeof *data);
}

int ibvsmad_i2c_rw(ibvs_mad* h, u_int i2c_device_id, u_int32_t memory_address, u_int size, int method,
                   char* data) {
    // The data follows the header in the area (and the size fits its byte).
    if (!data || size > sizeof(mad_area) - kI2cData) return -1;
    mad_area area{};
    area[kI2cSize] = static_cast<uint8_t>(size);
    area[kI2cDevice] = static_cast<uint8_t>(i2c_device_id);
    put_be32(&area[kI2cAddress], memory_address);
    if (method == IB_MAD_METHOD_SET) std::memcpy(&area[kI2cData], data, size);
    if (!send(h, area, vendor_call(method, kI2cClass, kI2cAttr, kI2cMod))) return -1;
    return ibvsmad_reply(kI2cAttr, area.data(), area.size(), data, size);
}

int ibvsmad_swreset(ibvs_mad* h) {
    mad_area area{};
    if (send(h, area, vendor_call(IB_MAD_METHOD_SET, kI2cClass, kResetAttr, 0))) return 0;
    errno = EIO;
    return -1;
}
