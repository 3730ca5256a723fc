// The Dimax adapter's responses. A Dimax handle of the simulated chip runs
// operations whose responses (the bulk-in transfers) come from the input;
// the commands go nowhere. The input is a run of operations, each an
// operation byte, then what it needs:
//   bits 0-1 = 0  kread4 of address 4k (operation k = 0, 1, ...)
//              1  kwrite4 of 0x1000 + k to address 4k
//              2  kread_chunk of 4 * (bits 2-7) + 4 bytes at address 0x100
//              3  dimax_response itself: `asked` and `moved`, two signed
//                 16-bit numbers (low byte first), then the `asked` bytes of
//                 the response, which is allocated to fit them exactly
// Each bulk-in transfer takes the next response from the input: a count
// byte, 0xFF for a transfer that times out, else the bytes it moved, which
// follow (fewer when the input ends); once the input is spent, transfers
// time out. The stand-in fills the whole buffer the driver offers before it
// copies them in, so a transfer larger than the record shows under the
// address sanitizer.
// An operation succeeds exactly when each of its responses moved the count
// asked for (a read's data bytes and the status byte) and ended in status 0;
// a read hands back the data bytes of its responses, each word most
// significant byte first. dimax_response gives EINVAL for an `asked` outside
// 1..256, the transfer's errno for a failed one, EIO for another count, else
// 0 or 200 + the status byte.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kxcr.h"
#include "kxcr_os.h"
#include "usbioctl.h"

namespace {

constexpr unsigned kBulkIn = 0x84;
constexpr uint8_t kTimesOut = 0xFF;
constexpr int kMaxAsked = 256;
constexpr size_t kMaxInput = 4096;

// The rest of the input.
struct Input {
    const uint8_t* at;
    size_t left;
    bool Take(uint8_t* byte) {
        if (left == 0) return false;
        *byte = *at++;
        --left;
        return true;
    }
    int16_t TakeInt16() {
        uint8_t low = 0, high = 0;
        Take(&low);
        Take(&high);
        return static_cast<int16_t>(low | high << 8);
    }
};

// One bulk-in transfer: its buffer's size, what it moved (-1: timed out),
// and the bytes it brought.
struct Response {
    int asked;
    int moved;
    std::vector<uint8_t> bytes;
    bool Good() const { return moved == asked && !bytes.empty() && bytes.back() == 0; }
};

Input g_input;
std::vector<Response> g_responses;  // of the current operation
const kxcr_os_ops* g_chip_os = nullptr;
kxcr_os_ops g_adapter_os;

int BulkIn(usbdevfs_bulktransfer* bulk) {
    Response r{static_cast<int>(bulk->len), -1, {}};
    uint8_t count = kTimesOut;
    if (!g_input.Take(&count) || count == kTimesOut) {
        g_responses.push_back(r);
        errno = ETIMEDOUT;
        return -1;
    }
    r.moved = static_cast<int>(std::min<size_t>(count, g_input.left));
    auto* data = static_cast<uint8_t*>(bulk->data);
    std::memset(data, 0xA5, bulk->len);
    const size_t copied = std::min<size_t>(r.moved, bulk->len);
    r.bytes.assign(g_input.at, g_input.at + copied);
    std::memcpy(data, g_input.at, copied);
    g_input.at += r.moved;
    g_input.left -= r.moved;
    g_responses.push_back(r);
    return r.moved;
}

// The adapter: bulk-in transfers answer from the input, commands are taken
// as sent, everything else goes to the simulated driver.
int AdapterIoctl(int fd, unsigned long request, void* arg) {
    if (request != USBDEVFS_BULK) return g_chip_os->ioctl(fd, request, arg);
    auto* bulk = static_cast<usbdevfs_bulktransfer*>(arg);
    return bulk->ep == kBulkIn ? BulkIn(bulk) : static_cast<int>(bulk->len);
}

kfile* OpenAdapter() {
    static fuzz::FencedChip* sim = new fuzz::FencedChip(SIZE_MAX);
    (void)sim;
    static const bool installed = [] {
        g_chip_os = kxcr_os();
        g_adapter_os = *g_chip_os;
        g_adapter_os.ioctl = AdapterIoctl;
        kxcr_set_os(&g_adapter_os);
        return true;
    }();
    (void)installed;
    kfile* mf = kopen("/dev/kdt/kx31001_kxusb_dimax0");
    if (!mf || mf->tp != KDT_USB_DIMAX) fuzz::Fail("cannot open the Dimax adapter");
    return mf;
}

uint32_t Be32(const uint8_t* at) { return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3]; }

// The operation succeeded exactly when all its responses were good.
void CheckOutcome(const std::string& what, bool succeeded) {
    const bool good = !g_responses.empty() &&
                      std::all_of(g_responses.begin(), g_responses.end(), [](const Response& r) { return r.Good(); });
    if (succeeded != good) fuzz::Fail(what + (succeeded ? " succeeded on a bad response" : " failed on good responses"));
}

// A read succeeded: it must hand back the data bytes of its responses.
void CheckRead(const std::string& what, const uint32_t* words, size_t count) {
    std::vector<uint8_t> data;
    for (const Response& r : g_responses) data.insert(data.end(), r.bytes.begin(), r.bytes.end() - 1);
    if (data.size() != 4 * count) fuzz::Fail(what + ": the responses carried another count of bytes");
    for (size_t i = 0; i < count; ++i) {
        if (words[i] != Be32(&data[4 * i])) fuzz::Fail(what + ": word " + std::to_string(i) + " is not the response's");
    }
}

void DirectResponse() {
    const int asked = g_input.TakeInt16();
    const int moved = g_input.TakeInt16();
    const bool fits = asked >= 1 && asked <= kMaxAsked;
    // Exactly the bytes asked for: a read past them shows.
    std::unique_ptr<unsigned char[]> response(new unsigned char[fits ? asked : 0]);
    for (int i = 0; fits && i < asked; ++i) {
        response[i] = 0;
        g_input.Take(&response[i]);
    }
    errno = ETIMEDOUT;
    const int got = dimax_response(response.get(), asked, moved);
    const int want = !fits            ? EINVAL
                     : moved < 0      ? ETIMEDOUT
                     : moved != asked ? EIO
                     : response[asked - 1] ? 200 + response[asked - 1]
                                           : 0;
    if (got != want) {
        fuzz::Fail("dimax_response(asked " + std::to_string(asked) + ", moved " + std::to_string(moved) + ") gave " +
                   std::to_string(got) + ", not " + std::to_string(want));
    }
}

void RunOperation(kfile* mf, uint8_t op, unsigned k) {
    g_responses.clear();
    const std::string what = "operation " + std::to_string(k);
    switch (op & 3) {
        case 0: {
            u_int32_t value = 0;
            const bool ok = kread4(mf, 4 * k, &value) == 4;
            CheckOutcome(what + " (kread4)", ok);
            if (ok) CheckRead(what + " (kread4)", &value, 1);
            break;
        }
        case 1:
            CheckOutcome(what + " (kwrite4)", kwrite4(mf, 4 * k, 0x1000 + k) == 4);
            break;
        case 2: {
            const int length = 4 * (op >> 2) + 4;
            std::vector<uint32_t> words(length / 4);
            const bool ok = kread_chunk(mf, 0x100, words.data(), length) == length;
            CheckOutcome(what + " (kread_chunk)", ok);
            if (ok) CheckRead(what + " (kread_chunk)", words.data(), words.size());
            break;
        }
        default:
            DirectResponse();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return -1;
    kfile* mf = OpenAdapter();
    g_input = {data, size};
    uint8_t op;
    for (unsigned k = 0; g_input.Take(&op); ++k) RunOperation(mf, op, k);
    kclose(mf);
    return 0;
}
