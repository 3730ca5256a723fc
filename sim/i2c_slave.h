// The chip's I2C slave: a view of CR space that follows a bus conversation
// one condition or byte at a time. Its settings and its current address live
// in the image; what a conversation has in flight is the master's
// I2cConversation.
#ifndef KXSIM_I2C_SLAVE_H
#define KXSIM_I2C_SLAVE_H

#include <cstdint>

#include "image.h"
#include "sim.h"

namespace kxsim {
namespace detail {

// CR space as the slave reaches it: accesses with their side effects.
class CrBus {
public:
    virtual bool Read(uint32_t addr, uint32_t* value) = 0;
    virtual bool Write(uint32_t addr, uint32_t value) = 0;

protected:
    ~CrBus() = default;
};

// Callers hold the bus lock for each call.
class I2cSlave {
public:
    I2cSlave(Header& header, CrBus& bus) : _header(header), _bus(bus) {}

    // A start or repeated start and the address byte (7-bit address << 1 |
    // 1 for a read). True when the slave acknowledges.
    bool Start(I2cConversation& c, uint8_t address_byte);
    // A byte from the master: the address phase, then data. True when
    // acknowledged.
    bool Write(I2cConversation& c, uint8_t byte);
    // A byte from the slave; false when it does not drive the bus (not
    // addressed for a read, or the word could not be read).
    bool Read(I2cConversation& c, uint8_t* byte);
    void Stop(I2cConversation& c);

private:
    bool Answers(uint8_t address_byte) const;

    Header& _header;
    CrBus& _bus;
};

}  // namespace detail
}  // namespace kxsim

#endif  // KXSIM_I2C_SLAVE_H
