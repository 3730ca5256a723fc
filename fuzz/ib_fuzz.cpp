// The InfiniBand transport's reply handling. A stand-in for the five
// libibmad calls, reached through the OS table's dlopen and dlsym, answers
// each vendor datagram with the next reply of the input. The input is a run
// of operations, each an operation byte (bits 0-2 the kind, bits 3-7 `p`)
// then what it needs:
//   0, 1  CR access Get, Set (the value 0x1000 + p) of the word at 4p
//   2, 3  I2C access Get, Set of slave p: a size byte, then on a Set the data
//         of the size, from a buffer of exactly that size
//   4     the reset datagram
//   5     CR access Get of the address in the next four bytes (low first)
//   6, 7  ibvsmad_reply itself, attribute 0x50 (6) or the next byte (7):
//         a byte for the data area's length, a byte for the size asked,
//         then the area's bytes; each buffer fits its length exactly
// Each datagram takes the next reply from the input: a count byte, 0xFF for
// no reply, else that many bytes of the data area (at most its 232 bytes,
// fewer when the input ends), the rest of the area zero. Each datagram's
// area is filled whole, as libibmad does, so a smaller one shows under the
// address sanitizer.
// An access succeeds exactly when its datagram was answered, and then hands
// back what the reply holds: a CR word from bytes 8-11, most significant
// first; I2C data from byte 20. An address beyond 24 bits or an I2C size
// beyond the area sends no datagram. ibvsmad_reply hands back the same, or
// -1 when the area does not hold what is asked.
#include <infiniband/mad.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kxcr_ib.h"
#include "kxcr_os.h"

namespace {

constexpr size_t kArea = IB_VENDOR_RANGE1_DATA_SIZE;
constexpr size_t kCrData = 8;
constexpr size_t kI2cData = 20;
constexpr unsigned kCrAttr = 0x50;
constexpr uint8_t kNoReply = 0xFF;
constexpr size_t kMaxInput = 4096;

struct Input {
    const uint8_t* at;
    size_t left;
    uint8_t Byte() {
        if (left == 0) return 0;
        --left;
        return *at++;
    }
    bool Ended() const { return left == 0; }
};

Input g_input;
// The replies to the current operation's datagrams; no reply is an empty one.
std::vector<std::vector<uint8_t>> g_replies;

// ---- The stand-in for libibmad ----

void MadrpcInit(char*, int, int*, int) {}
int RegisterClient(int mgmt, uint8_t) { return mgmt; }
int ResolvePortid(ib_portid_t* portid, char*, enum MAD_DEST, ib_portid_t*) {
    *portid = ib_portid_t{};
    portid->lid = 1;
    return 0;
}
char* PortidText(ib_portid_t*) {
    static char text[] = "Lid 1";
    return text;
}

uint8_t* VendorCall(void* data, ib_portid_t*, ib_vendor_call_t*) {
    const uint8_t count = g_input.Ended() ? kNoReply : g_input.Byte();
    if (count == kNoReply) {
        g_replies.emplace_back();
        return nullptr;
    }
    std::vector<uint8_t> reply(kArea, 0);
    const size_t given = std::min({size_t{count}, kArea, g_input.left});
    std::copy(g_input.at, g_input.at + given, reply.begin());
    g_input.at += given;
    g_input.left -= given;
    std::memcpy(data, reply.data(), kArea);
    g_replies.push_back(std::move(reply));
    return static_cast<uint8_t*>(data);
}

char g_library;  // the stand-in's handle

void* Dlopen(const char*, int) { return &g_library; }
void* Dlsym(void*, const char* name) {
    const std::pair<const char*, void*> calls[] = {
        {"madrpc_init", reinterpret_cast<void*>(MadrpcInit)},
        {"ib_vendor_call", reinterpret_cast<void*>(VendorCall)},
        {"mad_register_client", reinterpret_cast<void*>(RegisterClient)},
        {"ib_resolve_portid_str", reinterpret_cast<void*>(ResolvePortid)},
        {"portid2str", reinterpret_cast<void*>(PortidText)},
    };
    for (const auto& call : calls) {
        if (std::strcmp(call.first, name) == 0) return call.second;
    }
    return nullptr;
}
int Dlclose(void*) { return 0; }
char* Dlerror() { return nullptr; }

ibvs_mad* Handle() {
    static ibvs_mad* h = [] {
        static kxcr_os_ops os = *kxcr_os();
        os.dlopen = Dlopen;
        os.dlsym = Dlsym;
        os.dlclose = Dlclose;
        os.dlerror = Dlerror;
        kxcr_set_os(&os);
        return ibvsmad_open("1", nullptr, 0);
    }();
    return h;
}

// ---- Checks ----

uint32_t Be32(const uint8_t* at) { return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3]; }

// The one reply of an access that should send one datagram, or null when it
// went unanswered; fails when the access's result does not match it.
const std::vector<uint8_t>* Answer(const std::string& what, int rc, bool sends) {
    if (!sends) {
        if (!g_replies.empty()) fuzz::Fail(what + " sent a datagram");
        if (rc != -1) fuzz::Fail(what + " succeeded without a datagram");
        return nullptr;
    }
    if (g_replies.size() != 1) fuzz::Fail(what + " sent " + std::to_string(g_replies.size()) + " datagrams");
    const bool answered = !g_replies[0].empty();
    if (rc != (answered ? 0 : -1)) fuzz::Fail(what + " gave " + std::to_string(rc) + (answered ? " on a reply" : " on no reply"));
    return answered ? &g_replies[0] : nullptr;
}

void CrAccess(int method, uint32_t address, uint32_t value) {
    const std::string what = "CR access " + std::to_string(method) + " of " + std::to_string(address);
    u_int32_t data = value;
    const int rc = ibvsmad_craccess_rw(Handle(), address, method, 1, &data);
    const auto* reply = Answer(what, rc, address <= 0xFFFFFF);
    if (reply && data != Be32(reply->data() + kCrData)) fuzz::Fail(what + " handed back a word not in the reply");
}

void I2cAccess(int method, unsigned slave) {
    const size_t size = g_input.Byte();
    const std::string what = "I2C access " + std::to_string(method) + " of " + std::to_string(size) + " bytes";
    std::unique_ptr<char[]> data(new char[size]);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(method == IB_MAD_METHOD_SET ? g_input.Byte() : 0);
    const int rc = ibvsmad_i2c_rw(Handle(), slave, 0x40, static_cast<u_int>(size), method, data.get());
    const auto* reply = Answer(what, rc, size <= kArea - kI2cData);
    if (reply && std::memcmp(data.get(), reply->data() + kI2cData, size) != 0) {
        fuzz::Fail(what + " handed back data not in the reply");
    }
}

void Reset() {
    errno = 0;
    const int rc = ibvsmad_swreset(Handle());
    Answer("the reset", rc, true);
    if (rc != 0 && errno != EIO) fuzz::Fail("the reset failed without EIO");
}

void DirectReply(unsigned attrid) {
    const size_t reply_len = g_input.Byte();
    const size_t size = g_input.Byte();
    // Each exactly as long as said: a byte beyond shows.
    std::unique_ptr<uint8_t[]> reply(new uint8_t[reply_len]);
    for (size_t i = 0; i < reply_len; ++i) reply[i] = g_input.Byte();
    std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
    const int rc = ibvsmad_reply(attrid, reply.get(), reply_len, out.get(), size);
    const size_t at = attrid == kCrAttr ? kCrData : kI2cData;
    const bool holds = at <= reply_len && size <= reply_len - at && (attrid != kCrAttr || size == 4);
    const std::string what = "ibvsmad_reply(" + std::to_string(attrid) + ", " + std::to_string(reply_len) + " bytes, size " +
                             std::to_string(size) + ")";
    if (rc != (holds ? 0 : -1)) fuzz::Fail(what + " gave " + std::to_string(rc));
    if (!holds) return;
    if (attrid == kCrAttr) {
        uint32_t word;
        std::memcpy(&word, out.get(), 4);
        if (word != Be32(reply.get() + kCrData)) fuzz::Fail(what + " handed back a word not in the reply");
    } else if (std::memcmp(out.get(), reply.get() + kI2cData, size) != 0) {
        fuzz::Fail(what + " handed back data not in the reply");
    }
}

void RunOperation(uint8_t op) {
    g_replies.clear();
    const unsigned p = op >> 3;
    switch (op & 7) {
        case 0: CrAccess(IB_MAD_METHOD_GET, 4 * p, 0); break;
        case 1: CrAccess(IB_MAD_METHOD_SET, 4 * p, 0x1000 + p); break;
        case 2: I2cAccess(IB_MAD_METHOD_GET, p); break;
        case 3: I2cAccess(IB_MAD_METHOD_SET, p); break;
        case 4: Reset(); break;
        case 5: {
            uint32_t address = 0;
            for (int i = 0; i < 4; ++i) address |= uint32_t{g_input.Byte()} << 8 * i;
            CrAccess(IB_MAD_METHOD_GET, address, 0);
            break;
        }
        case 6: DirectReply(kCrAttr); break;
        default: DirectReply(g_input.Byte()); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return -1;
    Handle();
    g_input = {data, size};
    while (!g_input.Ended()) RunOperation(g_input.Byte());
    return 0;
}
