// The chip's register map: the CR addresses whose bus accesses have side
// effects, each served by the block of the chip that owns it. Every other
// address is a plain word of the image. The gateways configured from the
// database form one block; a new chip-side block joins the map with the
// addresses of its registers.
#ifndef KXSIM_REGMAP_H
#define KXSIM_REGMAP_H

#include <cstdint>
#include <iterator>
#include <unordered_map>

namespace kxsim {
namespace detail {

// A group of registers with side effects. Called with the bus lock held,
// after the access has passed the bus's own checks.
class RegisterBlock {
public:
    virtual ~RegisterBlock() = default;
    virtual uint32_t Read(uint32_t addr) = 0;
    virtual void Write(uint32_t addr, uint32_t value) = 0;
};

class RegisterMap {
public:
    // An address already joined keeps its block.
    void Join(uint32_t addr, RegisterBlock* block) { _blocks.emplace(addr, block); }
    // Removes every address of `block`.
    void Leave(const RegisterBlock* block) {
        for (auto it = _blocks.begin(); it != _blocks.end();) {
            it = it->second == block ? _blocks.erase(it) : std::next(it);
        }
    }
    RegisterBlock* Find(uint32_t addr) const {
        auto it = _blocks.find(addr);
        return it != _blocks.end() ? it->second : nullptr;
    }

private:
    std::unordered_map<uint32_t, RegisterBlock*> _blocks;
};

}  // namespace detail
}  // namespace kxsim

#endif  // KXSIM_REGMAP_H
