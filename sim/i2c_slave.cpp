#include "i2c_slave.h"

namespace kxsim {
namespace detail {

bool I2cSlave::Answers(uint8_t address_byte) const {
    return _header.i2c_answers && (address_byte >> 1) == _header.i2c_address;
}

// A busy slave acknowledges its address but takes no byte and gives none:
// its master is expected to try again.
bool I2cSlave::Start(I2cConversation& c, uint8_t address_byte) {
    c = I2cConversation{};
    c.selected = Answers(address_byte);
    c.reading = address_byte & 1;
    if (c.selected && _header.i2c_busy_starts > 0) {
        --_header.i2c_busy_starts;
        c.refused = true;
    }
    return c.selected;
}

// The address phase sets the current address once complete; a write that
// stops short of it leaves the address as it was. Data bytes fill the word
// at the current address: only a word whose four bytes all came reaches the
// bus, since the chip has no byte writes; the bytes of a partial word are
// acknowledged and dropped. A word the bus refuses is not acknowledged and
// the address stays at its start.
bool I2cSlave::Write(I2cConversation& c, uint8_t byte) {
    if (!c.selected || c.reading || c.refused) return false;
    uint32_t& pointer = _header.i2c_pointer;
    if (c.address_seen < _header.i2c_address_bytes) {
        c.address = c.address << 8 | byte;
        if (++c.address_seen == _header.i2c_address_bytes) pointer = c.address;
        return true;
    }
    uint32_t off = pointer & 3;
    if (off == 0) c.word_fill = 0;
    c.word = (c.word & ~(0xFFu << 8 * (3 - off))) | uint32_t(byte) << 8 * (3 - off);
    ++c.word_fill;
    if (off == 3 && c.word_fill == 4 && !_bus.Write(pointer - 3, c.word)) {
        pointer -= 3;
        c.refused = true;
        return false;
    }
    ++pointer;
    return true;
}

// Data leave most significant byte first, one bus read per word touched.
bool I2cSlave::Read(I2cConversation& c, uint8_t* byte) {
    if (!c.selected || !c.reading || c.refused) return false;
    uint32_t& pointer = _header.i2c_pointer;
    uint32_t off = pointer & 3;
    if (!c.word_held || c.word_addr != pointer - off) {
        if (!_bus.Read(pointer - off, &c.word)) return false;
        c.word_held = true;
        c.word_addr = pointer - off;
    }
    *byte = uint8_t(c.word >> 8 * (3 - off));
    ++pointer;
    return true;
}

void I2cSlave::Stop(I2cConversation& c) { c = I2cConversation{}; }

}  // namespace detail
}  // namespace kxsim
