// The chip's own I2C master: a control, a data and a configuration register
// through which CR accesses drive a conversation on the chip's I2C bus.
#ifndef KXSIM_I2C_MASTER_H
#define KXSIM_I2C_MASTER_H

#include <cstdint>

#include "i2c_slave.h"
#include "image.h"
#include "regmap.h"
#include "sim.h"

namespace kxsim {
namespace detail {

// Only the control register has side effects: the data and configuration
// registers are plain words the master reads and fills. Callers hold the bus
// lock.
class I2cMasterBlock : public RegisterBlock {
public:
    I2cMasterBlock(Image& image, I2cSlave& own_slave);

    void JoinMap(RegisterMap& map);
    // The device on the bus: the slave of `device`, or this chip's own slave
    // when null.
    void Connect(Chip* device) { _device = device; }
    uint32_t Read(uint32_t addr) override;
    void Write(uint32_t addr, uint32_t value) override;

private:
    void Complete(I2cMasterState& st);
    int Transact(I2cMasterState& st, uint32_t control);
    // The bus, to the device connected.
    bool Address(I2cMasterState& st, uint8_t address_byte);
    bool Send(I2cConversation& c, uint8_t byte);
    bool Receive(I2cConversation& c, uint8_t* byte);
    void Stop(I2cConversation& c);

    Image& _image;
    I2cSlave& _own;
    Chip* _device = nullptr;
    uint32_t _control;
    uint32_t _data;
    bool _on_bus = false;  // a transaction is moving bytes now
};

}  // namespace detail
}  // namespace kxsim

#endif  // KXSIM_I2C_MASTER_H
