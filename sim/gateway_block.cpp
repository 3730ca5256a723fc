#include <algorithm>
#include <cstdio>

#include "gateways.h"

namespace kxsim {
namespace detail {
namespace {

bool InCr(uint32_t addr) { return addr % 4 == 0 && addr < kCrBytes; }

}  // namespace

GatewayBlock::GatewayBlock(Image& image, std::vector<std::unique_ptr<GatewaySide>> sides)
    : _image(image), _sides(std::move(sides)) {
    // The first gateway of a control register keeps it.
    for (const auto& side : _sides) {
        _by_db_addr.emplace(side->db_addr(), side.get());
        _by_control.emplace(side->control_addr(), side.get());
        if (side->HasIndexRegister()) _by_index_register.emplace(side->control_addr() + 4, side.get());
    }
}

bool GatewayBlock::ClaimState() const {
    for (const auto& side : _sides) {
        if (!_image.Gateway(side->control_addr(), true)) return false;
    }
    return true;
}

void GatewayBlock::JoinMap(RegisterMap& map) {
    for (const auto& [addr, side] : _by_control) map.Join(addr, this);
    for (const auto& [addr, side] : _by_index_register) map.Join(addr, this);
}

// An index register reads back as a plain word.
uint32_t GatewayBlock::Read(uint32_t addr) {
    auto gw = _by_control.find(addr);
    return gw != _by_control.end() ? ControlRead(*gw->second) : _image.Word(addr);
}

// A control register that is also another gateway's index register is a
// control register.
void GatewayBlock::Write(uint32_t addr, uint32_t value) {
    if (auto gw = _by_control.find(addr); gw != _by_control.end()) {
        ControlWrite(*gw->second, value);
    } else if (auto ix = _by_index_register.find(addr); ix != _by_index_register.end()) {
        IndexWrite(*ix->second, value);
    }
}

// A control read counts down a running operation and hands out the lock: a
// read that finds bit 31 clear sets it, so the reader owns the gateway.
uint32_t GatewayBlock::ControlRead(GatewaySide& gw) {
    uint32_t ctrl = gw.control_addr();
    GatewayState* st = _image.Gateway(ctrl, true);
    if (!st) return _image.Word(ctrl);
    // The first `busy_reads` control reads after the start see busy and no
    // data; the next one finds the operation done.
    if (st->phase == Phase::Running && st->remaining != kBusyForever) {
        if (st->remaining == 0) Complete(gw, *st);
        else --st->remaining;
    }
    uint32_t value = _image.Word(ctrl);
    if (st->hold_lock) return value | kLockBit;
    if (!(value & kLockBit)) _image.SetWord(ctrl, _image.Word(ctrl) | kLockBit);
    return value;
}

// A control write stores the word; with bit 30 set on an idle gateway it
// starts an operation. While one runs, the busy bit is the chip's: writes
// change the other bits only (a lock release included) and start nothing.
void GatewayBlock::ControlWrite(GatewaySide& gw, uint32_t value) {
    uint32_t ctrl = gw.control_addr();
    GatewayState* st = _image.Gateway(ctrl, true);
    if (st && st->phase != Phase::Idle) value |= kBusyBit;
    _image.SetWord(ctrl, value);
    if (!st || st->phase != Phase::Idle || !(value & kBusyBit)) return;
    Operation op = gw.Decode(value);
    if (gw.HasIndexRegister() && op.action != Action::None) {
        st->phase = Phase::Armed;
        st->action = op.action;
        st->clear_after = op.clear_after;
        return;
    }
    Begin(gw, *st, op);
}

void GatewayBlock::IndexWrite(GatewaySide& gw, uint32_t value) {
    uint32_t ctrl = gw.control_addr();
    _image.SetWord(ctrl + 4, value);
    GatewayState* st = _image.Gateway(ctrl, true);
    if (st && st->phase == Phase::Armed) Begin(gw, *st, Operation{st->action, value, st->clear_after != 0});
}

void GatewayBlock::Begin(GatewaySide& gw, GatewayState& st, const Operation& op) {
    st.phase = Phase::Running;
    st.action = op.action;
    st.index = op.index;
    st.clear_after = op.clear_after;
    st.remaining = st.busy_reads;
    if (st.remaining == 0) Complete(gw, st);
}

void GatewayBlock::Complete(const GatewaySide& gw, GatewayState& st) {
    Perform(gw, st);
    st.phase = Phase::Idle;
    uint32_t ctrl = gw.control_addr();
    _image.SetWord(ctrl, _image.Word(ctrl) & ~kBusyBit);
}

// Moves one entry between the store and the data registers. Registers
// outside CR space are not wired: they read 0 and drop what they get.
void GatewayBlock::Perform(const GatewaySide& gw, const GatewayState& st) {
    if (st.action == Action::None) return;
    DataWindow w = gw.Window(st.index);
    uint32_t ctrl = gw.control_addr();
    uint32_t key = gw.EntryKey(st.index);
    auto reg = [&](size_t k) { return w.last - 4 * uint32_t(w.words - 1 - k); };
    if (st.action == Action::Read) {
        std::vector<uint32_t> words = EntryWords(ctrl, key, w.words);
        gw.Present(words);
        for (size_t k = 0; k < words.size(); ++k) {
            if (InCr(reg(k))) _image.SetWord(reg(k), words[k]);
        }
        if (st.clear_after) Store(ctrl, key, std::vector<uint32_t>(w.words, 0));
        return;
    }
    std::vector<uint32_t> words(w.words, 0);
    for (size_t k = 0; k < words.size(); ++k) {
        if (InCr(reg(k))) words[k] = _image.Word(reg(k));
    }
    Store(ctrl, key, words);
}

std::vector<uint32_t> GatewayBlock::EntryWords(uint32_t ctrl, uint32_t key, size_t n) const {
    const StoredEntry* e = _image.FindEntry(ctrl, key);
    std::vector<uint32_t> words(n, 0);
    if (!e) {
        for (size_t k = 0; k < n; ++k) words[k] = Chip::UnwrittenWord(ctrl, key, unsigned(k));
        return words;
    }
    // Aligned at the least significant end: a window that grew since the
    // entry was written shows zeros above it.
    size_t m = std::min<size_t>(n, e->count);
    std::copy(e->words + e->count - m, e->words + e->count, words.end() - m);
    return words;
}

void GatewayBlock::Store(uint32_t ctrl, uint32_t key, const std::vector<uint32_t>& words) {
    StoredEntry* e = _image.ClaimEntry(ctrl, key);
    if (!e) {
        std::fprintf(stderr, "kxsim: entry store full, entry %x of gateway %x dropped\n", key, ctrl);
        return;
    }
    size_t m = std::min(words.size(), kMaxEntryWords);
    std::copy(words.end() - m, words.end(), e->words);
    e->count = uint32_t(m);
}

const GatewaySide* GatewayBlock::Find(uint32_t gw_addr) const {
    if (auto it = _by_db_addr.find(gw_addr); it != _by_db_addr.end()) return it->second;
    auto it = _by_control.find(gw_addr);
    return it != _by_control.end() ? it->second : nullptr;
}

uint32_t GatewayBlock::ControlOf(uint32_t gw_addr) const {
    const GatewaySide* side = Find(gw_addr);
    return side ? side->control_addr() : gw_addr;
}

// An address no gateway is configured at keeps entries under the address
// itself, as many words as were stored.
std::vector<uint32_t> GatewayBlock::Entry(uint32_t gw_addr, uint32_t index) const {
    const GatewaySide* side = Find(gw_addr);
    if (!side) {
        const StoredEntry* e = _image.FindEntry(gw_addr, index);
        return EntryWords(gw_addr, index, e ? e->count : 0);
    }
    std::vector<uint32_t> words = EntryWords(side->control_addr(), side->EntryKey(index), side->Window(index).words);
    side->Present(words);
    return words;
}

void GatewayBlock::SetEntry(uint32_t gw_addr, uint32_t index, const std::vector<uint32_t>& words) {
    const GatewaySide* side = Find(gw_addr);
    if (!side) return Store(gw_addr, index, words);
    // Sized like the gateway's window, aligned at the least significant end.
    std::vector<uint32_t> sized(side->Window(index).words, 0);
    size_t m = std::min(sized.size(), words.size());
    std::copy(words.end() - m, words.end(), sized.end() - m);
    Store(side->control_addr(), side->EntryKey(index), sized);
}

void GatewayBlock::HoldLock(uint32_t gw_addr, bool held) {
    if (GatewayState* st = _image.Gateway(ControlOf(gw_addr), true)) st->hold_lock = held;
}

// Also applies to an operation already running: a stuck gateway is healed by
// setting 0.
void GatewayBlock::SetBusyReads(uint32_t gw_addr, uint32_t n) {
    GatewayState* st = _image.Gateway(ControlOf(gw_addr), true);
    if (!st) return;
    st->busy_reads = n;
    if (st->phase != Phase::Running) return;
    st->remaining = n;
    const GatewaySide* side = Find(gw_addr);
    if (n == 0 && side) Complete(*side, *st);
}

}  // namespace detail
}  // namespace kxsim
