// The chip side of each gateway kind: how a started operation is decoded
// from the control word, where its data registers lie and how its entries
// are keyed; and the block of registers that runs the logic shared by all
// kinds (lock bit, busy bit, moving an entry between the store and the data
// registers).
#ifndef KXSIM_GATEWAYS_H
#define KXSIM_GATEWAYS_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "image.h"
#include "regmap.h"

namespace kxsim {
namespace detail {

constexpr uint32_t kLockBit = 0x80000000u;
constexpr uint32_t kBusyBit = 0x40000000u;

// The numbers of one database line: words 3 to 10, then words 11 on.
struct GatewayLine {
    uint32_t addr;
    uint32_t c_offset, c_size, i_offset, i_size;
    uint32_t max;
    uint32_t data_addr;
    uint32_t d_size;
    std::vector<uint32_t> extra;
};

// What a control write with the busy bit set asks for.
struct Operation {
    Action action;
    uint32_t index;
    bool clear_after;
};

// Data registers: `words` consecutive words ending at `last`, which holds the
// entry's least significant word.
struct DataWindow {
    uint32_t last;
    uint32_t words;
};

class GatewaySide {
public:
    explicit GatewaySide(const GatewayLine& line) : _line(line) {}
    virtual ~GatewaySide() = default;

    uint32_t db_addr() const { return _line.addr; }
    virtual uint32_t control_addr() const { return _line.addr; }
    // True when the control write only arms the operation and the write of
    // the index register (control + 4) starts it with the written index.
    virtual bool HasIndexRegister() const { return false; }
    virtual Operation Decode(uint32_t ctrl) const;
    virtual DataWindow Window(uint32_t index) const;
    // The key under which the entry an index names is stored.
    virtual uint32_t EntryKey(uint32_t index) const { return index; }
    // What the data registers show of an entry's words on a read.
    virtual void Present(std::vector<uint32_t>&) const {}

protected:
    static uint32_t Field(uint32_t word, uint32_t offset, uint32_t size);
    static Operation ByCode(uint32_t code, uint32_t read_code, uint32_t write_code,
                            uint32_t index);
    uint32_t Command(uint32_t ctrl) const { return Field(ctrl, _line.c_offset, _line.c_size); }
    uint32_t Index(uint32_t ctrl) const { return Field(ctrl, _line.i_offset, _line.i_size); }

    const GatewayLine _line;
};

// Reads an arr_db.txt: one side per gateway address (the first line with an
// address decides its kind and layout), in file order. Lines with fewer than
// ten words or an unknown keyword are skipped.
bool ParseDatabase(const std::string& path, std::vector<std::unique_ptr<GatewaySide>>* sides,
                   std::string* error);

// The control registers (and index registers) of every configured gateway,
// with the gateways' state in the image. Gateway addresses are those of the
// database; "GW_SXP" is also found at its fixed control register. Callers
// hold the bus lock.
class GatewayBlock : public RegisterBlock {
public:
    GatewayBlock(Image& image, std::vector<std::unique_ptr<GatewaySide>> sides);

    // False when the image's state table has no room for every gateway.
    bool ClaimState() const;
    void JoinMap(RegisterMap& map);
    uint32_t Read(uint32_t addr) override;
    void Write(uint32_t addr, uint32_t value) override;

    std::vector<uint32_t> Entry(uint32_t gw_addr, uint32_t index) const;
    void SetEntry(uint32_t gw_addr, uint32_t index, const std::vector<uint32_t>& words);
    void HoldLock(uint32_t gw_addr, bool held);
    void SetBusyReads(uint32_t gw_addr, uint32_t n);

private:
    uint32_t ControlRead(GatewaySide& gw);
    void ControlWrite(GatewaySide& gw, uint32_t value);
    void IndexWrite(GatewaySide& gw, uint32_t value);
    void Begin(GatewaySide& gw, GatewayState& st, const Operation& op);
    void Complete(const GatewaySide& gw, GatewayState& st);
    void Perform(const GatewaySide& gw, const GatewayState& st);
    std::vector<uint32_t> EntryWords(uint32_t ctrl, uint32_t key, size_t n) const;
    void Store(uint32_t ctrl, uint32_t key, const std::vector<uint32_t>& words);
    const GatewaySide* Find(uint32_t gw_addr) const;
    uint32_t ControlOf(uint32_t gw_addr) const;

    Image& _image;
    std::vector<std::unique_ptr<GatewaySide>> _sides;
    std::unordered_map<uint32_t, GatewaySide*> _by_control;
    std::unordered_map<uint32_t, GatewaySide*> _by_index_register;
    std::unordered_map<uint32_t, GatewaySide*> _by_db_addr;
};

}  // namespace detail
}  // namespace kxsim

#endif  // KXSIM_GATEWAYS_H
