// The Dimax U2C adapter's firmware: a command on bulk endpoint 2, its
// response on endpoint 0x84. Commands, S the slave byte in 8-bit form:
//   read:  01 n S <n address bytes> S|1 size   (n > 0)
//          01 00 S|1 size
//   write: 02 n S <n address bytes> size <size data bytes>   (S even)
// The command runs as one conversation with the chip's slave; the response
// (a read's data bytes, then the status byte; a write's status byte) waits
// in the adapter until collected.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "usb_adapter.h"

namespace kxsim {
namespace detail {
namespace {

constexpr unsigned kCommandEp = 2;
constexpr unsigned kResponseEp = 0x84;
constexpr int kCommandMax = 80;
constexpr uint8_t kNoAcknowledge = 2;

struct Command {
    bool write = false;
    uint8_t slave = 0;  // 7-bit
    const uint8_t* address = nullptr;
    int address_len = 0;
    const uint8_t* data = nullptr;  // a write's
    int size = 0;
};

// False for anything but a whole command of one of the forms above.
bool Parse(const uint8_t* in, int n, Command* c) {
    if (n < 4 || n > kCommandMax || (in[0] != 1 && in[0] != 2)) return false;
    c->write = in[0] == 2;
    c->address_len = in[1];
    c->address = in + 3;
    c->slave = in[2] >> 1;
    const bool for_reading = in[2] & 1;
    if (!c->write && c->address_len == 0) {
        c->size = in[3];
        return n == 4 && for_reading;
    }
    const int after = 3 + c->address_len;  // past the address bytes
    if (for_reading) return false;
    if (!c->write) {
        if (n != after + 2) return false;
        c->size = in[after + 1];
        return in[after] == (in[2] | 1);
    }
    if (n <= after) return false;
    c->size = in[after];
    c->data = in + after + 1;
    return n == after + 1 + c->size;
}

// Runs the command; returns the response's length. Read bytes the slave
// did not drive read as FF.
int Run(Chip& chip, const Command& c, uint8_t* response) {
    uint8_t out[kCommandMax];
    std::memcpy(out, c.address, c.address_len);
    int out_len = c.address_len;
    if (c.write) {
        std::memcpy(out + out_len, c.data, c.size);
        out_len += c.size;
    }
    const int in_len = c.write ? 0 : c.size;
    std::memset(response, 0xFF, in_len);
    int written = 0, read = 0;
    const bool whole = chip.I2cTransaction(c.slave, out, out_len, response, in_len, &written, &read) &&
                       written == out_len && read == in_len;
    response[in_len] = whole ? 0 : kNoAcknowledge;
    return in_len + 1;
}

}  // namespace

int DimaxBulk(OpenDevice& dev, unsigned ep, uint8_t* data, int length) {
    if (ep == kCommandEp) {
        uint8_t response[sizeof UsbAdapters::response];
        Command c;
        // A command it cannot parse is dropped: nothing to answer.
        const int response_len = Parse(data, length, &c) ? Run(dev.chip, c, response) : 0;
        UsbState state(dev.chip);
        if (response_len && state.usb.dimax_status) response[response_len - 1] = uint8_t(state.usb.dimax_status);
        // A new command drops a response not collected.
        std::memcpy(state.usb.response, response, response_len);
        state.usb.response_len = response_len;
        return length;
    }
    if (ep == kResponseEp) {
        UsbState state(dev.chip);
        if (state.usb.response_len == 0) return Fail(ETIMEDOUT);
        const int n = std::min(length, int(state.usb.response_len));
        std::memcpy(data, state.usb.response, n);
        state.usb.response_len = 0;
        return n;
    }
    return Fail(ENOENT);
}

}  // namespace detail
}  // namespace kxsim
