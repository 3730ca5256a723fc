#include "i2c_master.h"

namespace kxsim {
namespace detail {
namespace {

constexpr uint32_t kZorvanControl = 0xF0180;
constexpr uint32_t kDuvraControl = 0x3180;

// Control word: command in bits 29-31, byte count - 1 in 22-23, 7-bit slave
// in 0-6; the status lands in bits 16-18 when the command bits clear.
constexpr uint32_t kCommandBits = 0xE0000000u;
constexpr uint32_t kStatusBits = 0x00070000u;
enum Command : uint32_t { kRead = 1, kWrite = 2, kStop = 3 };

// Statuses: every byte moved; the addressed slave took or gave a byte short
// (try again); nobody acknowledged the address; a command the master does not
// know.
constexpr int kDone = 7;
constexpr int kTryAgain = 6;
constexpr int kNoAnswer = 4;
constexpr int kUnknown = 0;

}  // namespace

I2cMasterBlock::I2cMasterBlock(Image& image, I2cSlave& own_slave)
    : _image(image),
      _own(own_slave),
      _control(image.family() == Family::Zorvan ? kZorvanControl : kDuvraControl),
      _data(_control + 4) {}

void I2cMasterBlock::JoinMap(RegisterMap& map) { map.Join(_control, this); }

// The first `busy_reads` control reads after a start see the command still
// running; the next one finds it done.
uint32_t I2cMasterBlock::Read(uint32_t) {
    I2cMasterState& st = _image.header().i2c_master;
    if (st.running && !_on_bus && st.remaining != kBusyForever) {
        if (st.remaining == 0) Complete(st);
        else --st.remaining;
    }
    return _image.Word(_control);
}

// A running master takes no new command; it ignores the write, as it
// ignores one the slave would make through the master's own bus.
void I2cMasterBlock::Write(uint32_t, uint32_t value) {
    I2cMasterState& st = _image.header().i2c_master;
    if (st.running) return;
    _image.SetWord(_control, value);
    if (!(value & kCommandBits)) return;
    st.running = 1;
    st.remaining = st.busy_reads;
    if (st.remaining == 0) Complete(st);
}

void I2cMasterBlock::Complete(I2cMasterState& st) {
    const uint32_t control = _image.Word(_control);
    _on_bus = true;
    const int status = Transact(st, control);
    _on_bus = false;
    st.running = 0;
    _image.SetWord(_control, (control & ~(kCommandBits | kStatusBits)) | uint32_t(status) << 16);
}

// Keeps the conversation with the same slave in the same direction; anything
// else is a start (a repeated start within a conversation).
bool I2cMasterBlock::Address(I2cMasterState& st, uint8_t address_byte) {
    I2cConversation& c = st.conversation;
    if (c.selected && st.address_byte == address_byte) return true;
    st.address_byte = address_byte;
    return _device ? _device->I2cStart(c, address_byte) : _own.Start(c, address_byte);
}

bool I2cMasterBlock::Send(I2cConversation& c, uint8_t byte) {
    return _device ? _device->I2cWrite(c, byte) : _own.Write(c, byte);
}

bool I2cMasterBlock::Receive(I2cConversation& c, uint8_t* byte) {
    return _device ? _device->I2cRead(c, byte) : _own.Read(c, byte);
}

void I2cMasterBlock::Stop(I2cConversation& c) {
    if (_device) _device->I2cStop(c);
    else _own.Stop(c);
}

// Data bytes travel from bit 31 of the data register downward.
int I2cMasterBlock::Transact(I2cMasterState& st, uint32_t control) {
    I2cConversation& c = st.conversation;
    const uint8_t slave = control & 0x7F;
    const int count = int((control >> 22) & 3) + 1;
    switch (control >> 29) {
    case kStop:
        Stop(c);
        return kDone;
    case kWrite: {
        if (!Address(st, uint8_t(slave << 1))) return kNoAnswer;
        const uint32_t data = _image.Word(_data);
        for (int i = 0; i < count; ++i) {
            if (!Send(c, uint8_t(data >> (24 - 8 * i)))) return kTryAgain;
        }
        return kDone;
    }
    case kRead: {
        if (!Address(st, uint8_t(slave << 1 | 1))) return kNoAnswer;
        uint32_t data = 0;
        for (int i = 0; i < count; ++i) {
            uint8_t byte = 0;
            if (!Receive(c, &byte)) return kTryAgain;
            data |= uint32_t(byte) << (24 - 8 * i);
        }
        _image.SetWord(_data, data);
        return kDone;
    }
    default:
        return kUnknown;
    }
}

}  // namespace detail
}  // namespace kxsim
