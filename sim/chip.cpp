#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "chip_access.h"
#include "gateways.h"
#include "image.h"
#include "sim.h"

namespace kxsim {

using detail::Action;
using detail::GatewaySide;
using detail::GatewayState;
using detail::Image;
using detail::kBusyBit;
using detail::kLockBit;
using detail::Operation;
using detail::Phase;

namespace {

// The log keeps the newest accesses: a chip served for hours must not grow
// without bound. Tests look at far fewer accesses than this.
constexpr size_t kTrafficCap = size_t(1) << 20;

bool InCr(uint32_t addr) { return addr % 4 == 0 && addr < detail::kCrBytes; }

bool Refuse(int err) {
    errno = err;
    return false;
}

}  // namespace

struct Chip::Impl {
    std::unique_ptr<Image> image;
    std::vector<std::unique_ptr<GatewaySide>> sides;
    std::unordered_map<uint32_t, GatewaySide*> by_control;
    std::unordered_map<uint32_t, GatewaySide*> by_index_register;
    std::unordered_map<uint32_t, GatewaySide*> by_db_addr;
    std::vector<Access> traffic;

    // The bus. Callers hold the bus lock.
    bool Read(uint32_t addr, uint32_t* value);
    bool Write(uint32_t addr, uint32_t value);
    bool Reachable(uint32_t addr) const;
    void Record(char op, uint32_t addr, uint32_t value);

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

    // I2C slave data phases, from the slave's current address on.
    int I2cWrite(const uint8_t* data, int len);
    int I2cRead(uint8_t* data, int len);
};

bool Chip::Impl::Reachable(uint32_t addr) const {
    if (addr % 4) return Refuse(EINVAL);
    if (addr >= detail::kCrBytes) return Refuse(EFAULT);
    for (const detail::Fault& f : image->header().faults) {
        if (f.err && f.addr == addr) return Refuse(f.err);
    }
    return true;
}

void Chip::Impl::Record(char op, uint32_t addr, uint32_t value) {
    if (traffic.size() == kTrafficCap) traffic.erase(traffic.begin(), traffic.begin() + kTrafficCap / 2);
    traffic.push_back(Access{op, addr, value});
}

bool Chip::Impl::Read(uint32_t addr, uint32_t* value) {
    if (!Reachable(addr)) return false;
    auto gw = by_control.find(addr);
    *value = gw != by_control.end() ? ControlRead(*gw->second) : image->Word(addr);
    Record('R', addr, *value);
    return true;
}

bool Chip::Impl::Write(uint32_t addr, uint32_t value) {
    if (!Reachable(addr)) return false;
    Record('W', addr, value);
    if (auto gw = by_control.find(addr); gw != by_control.end()) {
        ControlWrite(*gw->second, value);
    } else if (auto ix = by_index_register.find(addr); ix != by_index_register.end()) {
        IndexWrite(*ix->second, value);
    } else {
        image->SetWord(addr, value);
    }
    return true;
}

// A control read counts down a running operation and hands out the lock: a
// read that finds bit 31 clear sets it, so the reader owns the gateway.
uint32_t Chip::Impl::ControlRead(GatewaySide& gw) {
    uint32_t ctrl = gw.control_addr();
    GatewayState* st = image->Gateway(ctrl, true);
    if (!st) return image->Word(ctrl);
    // The first `busy_reads` control reads after the start see busy and no
    // data; the next one finds the operation done.
    if (st->phase == Phase::Running && st->remaining != kBusyForever) {
        if (st->remaining == 0) Complete(gw, *st);
        else --st->remaining;
    }
    uint32_t value = image->Word(ctrl);
    if (st->hold_lock) return value | kLockBit;
    if (!(value & kLockBit)) image->SetWord(ctrl, image->Word(ctrl) | kLockBit);
    return value;
}

// A control write stores the word; with bit 30 set on an idle gateway it
// starts an operation. While one runs, the busy bit is the chip's: writes
// change the other bits only (a lock release included) and start nothing.
void Chip::Impl::ControlWrite(GatewaySide& gw, uint32_t value) {
    uint32_t ctrl = gw.control_addr();
    GatewayState* st = image->Gateway(ctrl, true);
    if (st && st->phase != Phase::Idle) value |= kBusyBit;
    image->SetWord(ctrl, value);
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

void Chip::Impl::IndexWrite(GatewaySide& gw, uint32_t value) {
    uint32_t ctrl = gw.control_addr();
    image->SetWord(ctrl + 4, value);
    GatewayState* st = image->Gateway(ctrl, true);
    if (st && st->phase == Phase::Armed) Begin(gw, *st, Operation{st->action, value, st->clear_after != 0});
}

void Chip::Impl::Begin(GatewaySide& gw, GatewayState& st, const Operation& op) {
    st.phase = Phase::Running;
    st.action = op.action;
    st.index = op.index;
    st.clear_after = op.clear_after;
    st.remaining = st.busy_reads;
    if (st.remaining == 0) Complete(gw, st);
}

void Chip::Impl::Complete(const GatewaySide& gw, GatewayState& st) {
    Perform(gw, st);
    st.phase = Phase::Idle;
    uint32_t ctrl = gw.control_addr();
    image->SetWord(ctrl, image->Word(ctrl) & ~kBusyBit);
}

// Moves one entry between the store and the data registers. Registers
// outside CR space are not wired: they read 0 and drop what they get.
void Chip::Impl::Perform(const GatewaySide& gw, const GatewayState& st) {
    if (st.action == Action::None) return;
    detail::DataWindow w = gw.Window(st.index);
    uint32_t ctrl = gw.control_addr();
    uint32_t key = gw.EntryKey(st.index);
    auto reg = [&](size_t k) { return w.last - 4 * uint32_t(w.words - 1 - k); };
    if (st.action == Action::Read) {
        std::vector<uint32_t> words = EntryWords(ctrl, key, w.words);
        gw.Present(words);
        for (size_t k = 0; k < words.size(); ++k) {
            if (InCr(reg(k))) image->SetWord(reg(k), words[k]);
        }
        if (st.clear_after) Store(ctrl, key, std::vector<uint32_t>(w.words, 0));
        return;
    }
    std::vector<uint32_t> words(w.words, 0);
    for (size_t k = 0; k < words.size(); ++k) {
        if (InCr(reg(k))) words[k] = image->Word(reg(k));
    }
    Store(ctrl, key, words);
}

std::vector<uint32_t> Chip::Impl::EntryWords(uint32_t ctrl, uint32_t key, size_t n) const {
    const detail::StoredEntry* e = image->FindEntry(ctrl, key);
    std::vector<uint32_t> words(n, 0);
    if (!e) {
        for (size_t k = 0; k < n; ++k) words[k] = UnwrittenWord(ctrl, key, unsigned(k));
        return words;
    }
    // Aligned at the least significant end: a window that grew since the
    // entry was written shows zeros above it.
    size_t m = std::min<size_t>(n, e->count);
    std::copy(e->words + e->count - m, e->words + e->count, words.end() - m);
    return words;
}

void Chip::Impl::Store(uint32_t ctrl, uint32_t key, const std::vector<uint32_t>& words) {
    detail::StoredEntry* e = image->ClaimEntry(ctrl, key);
    if (!e) {
        std::fprintf(stderr, "kxsim: entry store full, entry %x of gateway %x dropped\n", key, ctrl);
        return;
    }
    size_t m = std::min(words.size(), detail::kMaxEntryWords);
    std::copy(words.end() - m, words.end(), e->words);
    e->count = uint32_t(m);
}

const GatewaySide* Chip::Impl::Find(uint32_t gw_addr) const {
    if (auto it = by_db_addr.find(gw_addr); it != by_db_addr.end()) return it->second;
    auto it = by_control.find(gw_addr);
    return it != by_control.end() ? it->second : nullptr;
}

uint32_t Chip::Impl::ControlOf(uint32_t gw_addr) const {
    const GatewaySide* side = Find(gw_addr);
    return side ? side->control_addr() : gw_addr;
}

int Chip::Impl::I2cWrite(const uint8_t* data, int len) {
    uint32_t& pointer = image->header().i2c_pointer;
    int done = 0;
    while (done < len) {
        uint32_t off = pointer & 3;
        int take = std::min(int(4 - off), len - done);
        // Only whole words reach the bus; bytes of a partial word are
        // acknowledged and dropped, since the chip has no byte writes.
        if (take == 4) {
            const uint8_t* b = data + done;
            uint32_t v = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
            if (!Write(pointer, v)) break;
        }
        pointer += take;
        done += take;
    }
    return done;
}

int Chip::Impl::I2cRead(uint8_t* data, int len) {
    uint32_t& pointer = image->header().i2c_pointer;
    int done = 0;
    while (done < len) {
        uint32_t off = pointer & 3;
        uint32_t v;
        if (!Read(pointer - off, &v)) break;
        int take = std::min(int(4 - off), len - done);
        for (int j = 0; j < take; ++j) data[done + j] = uint8_t(v >> (8 * (3 - off - j)));
        pointer += take;
        done += take;
    }
    return done;
}

const char* const kZorvanPciName = "/dev/kdt/kx31001_pci_cr0";
const char* const kZorvanPciconfName = "/dev/kdt/kx31001_pciconf0";
const char* const kZorvanCalbrName = "/dev/kdt/kx31001_calbr0";
const char* const kZorvanKifName = "/dev/kdt/kx31001_kif0";
const char* const kZorvanPpcName = "/dev/kdt/kx31001_ppc0";
const char* const kDevI2cName = "/dev/kdt/kx31001_dev-i2c0";
const char* const kDuvraPciName = "/dev/kdt/kx52100_pci_cr0";
const char* const kDuvraPciconfName = "/dev/kdt/kx52100_pciconf0";

std::unique_ptr<Chip> Chip::Open(const std::string& image_path, Family family, std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->image = Image::Open(image_path, family, error);
    if (!impl->image) return nullptr;
    return std::unique_ptr<Chip>(new Chip(std::move(impl)));
}

Chip::Chip(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Chip::~Chip() = default;

Family Chip::family() const { return impl_->image->family(); }

bool Chip::LoadDatabase(const std::string& db_path, std::string* error) {
    std::vector<std::unique_ptr<GatewaySide>> sides;
    std::string ignored;
    if (!error) error = &ignored;
    if (!detail::ParseDatabase(db_path, &sides, error)) return false;
    Image::BusLock lock(*impl_->image);
    for (const auto& side : sides) {
        if (!impl_->image->Gateway(side->control_addr(), true)) {
            *error = db_path + ": too many gateways for the chip's state table";
            return false;
        }
    }
    impl_->by_control.clear();
    impl_->by_index_register.clear();
    impl_->by_db_addr.clear();
    impl_->sides = std::move(sides);
    for (const auto& side : impl_->sides) {
        impl_->by_db_addr.emplace(side->db_addr(), side.get());
        impl_->by_control.emplace(side->control_addr(), side.get());
        if (side->HasIndexRegister()) impl_->by_index_register.emplace(side->control_addr() + 4, side.get());
    }
    return true;
}

bool Chip::Read(uint32_t addr, uint32_t* value) {
    Image::BusLock lock(*impl_->image);
    return impl_->Read(addr, value);
}

bool Chip::Write(uint32_t addr, uint32_t value) {
    Image::BusLock lock(*impl_->image);
    return impl_->Write(addr, value);
}

uint32_t Chip::Peek(uint32_t addr) const {
    Image::BusLock lock(*impl_->image);
    return InCr(addr) ? impl_->image->Word(addr) : 0;
}

void Chip::Poke(uint32_t addr, uint32_t value) {
    Image::BusLock lock(*impl_->image);
    if (InCr(addr)) impl_->image->SetWord(addr, value);
}

std::vector<uint32_t> Chip::Entry(uint32_t gw_addr, uint32_t index) const {
    Image::BusLock lock(*impl_->image);
    const GatewaySide* side = impl_->Find(gw_addr);
    if (!side) {
        const detail::StoredEntry* e = impl_->image->FindEntry(gw_addr, index);
        return impl_->EntryWords(gw_addr, index, e ? e->count : 0);
    }
    std::vector<uint32_t> words =
        impl_->EntryWords(side->control_addr(), side->EntryKey(index), side->Window(index).words);
    side->Present(words);
    return words;
}

void Chip::SetEntry(uint32_t gw_addr, uint32_t index, const std::vector<uint32_t>& words) {
    Image::BusLock lock(*impl_->image);
    const GatewaySide* side = impl_->Find(gw_addr);
    if (!side) return impl_->Store(gw_addr, index, words);
    // Sized like the gateway's window, aligned at the least significant end.
    std::vector<uint32_t> sized(side->Window(index).words, 0);
    size_t m = std::min(sized.size(), words.size());
    std::copy(words.end() - m, words.end(), sized.end() - m);
    impl_->Store(side->control_addr(), side->EntryKey(index), sized);
}

// Unwritten entries read as 0xA, the low 20 bits of the key (the gateway
// index; for "GW_irisc" the control word with its read code), and the word
// number (0 = most significant): entry 0xC of a two-word gateway reads
// a0000c00 a0000c01.
uint32_t Chip::UnwrittenWord(uint32_t, uint32_t index, unsigned word) {
    return 0xA0000000u | (index & 0xFFFFFu) << 8 | (word & 0xFFu);
}

void Chip::HoldLock(uint32_t gw_addr, bool held) {
    Image::BusLock lock(*impl_->image);
    if (GatewayState* st = impl_->image->Gateway(impl_->ControlOf(gw_addr), true)) st->hold_lock = held;
}

// Also applies to an operation already running: a stuck gateway is healed by
// setting 0.
void Chip::SetBusyReads(uint32_t gw_addr, uint32_t n) {
    Image::BusLock lock(*impl_->image);
    GatewayState* st = impl_->image->Gateway(impl_->ControlOf(gw_addr), true);
    if (!st) return;
    st->busy_reads = n;
    if (st->phase != Phase::Running) return;
    st->remaining = n;
    const GatewaySide* side = impl_->Find(gw_addr);
    if (n == 0 && side) impl_->Complete(*side, *st);
}

void Chip::FailAccess(uint32_t addr, int err) {
    Image::BusLock lock(*impl_->image);
    detail::Fault* slot = nullptr;
    for (detail::Fault& f : impl_->image->header().faults) {
        if (f.err && f.addr == addr) slot = &f;
        else if (!f.err && !slot) slot = &f;
    }
    if (slot) *slot = detail::Fault{addr, err};
}

void Chip::SetI2cSlave(uint8_t address7, int address_bytes) {
    Image::BusLock lock(*impl_->image);
    detail::Header& h = impl_->image->header();
    h.i2c_address = address7 & 0x7F;
    if (address_bytes == 0 || address_bytes == 1 || address_bytes == 2 || address_bytes == 4) {
        h.i2c_address_bytes = address_bytes;
    }
}

void Chip::SetI2cAnswers(bool answers) {
    Image::BusLock lock(*impl_->image);
    impl_->image->header().i2c_answers = answers;
}

bool Chip::I2cTransaction(uint8_t slave, const uint8_t* wr, int wr_len, uint8_t* rd, int rd_len,
                          int* wr_count, int* rd_count) {
    *wr_count = 0;
    *rd_count = 0;
    Image::BusLock lock(*impl_->image);
    detail::Header& h = impl_->image->header();
    if (!h.i2c_answers || slave != h.i2c_address) return false;
    // The address phase sets the slave's address; a write part shorter than
    // the phase is acknowledged and leaves the address as it was.
    int phase = std::min(h.i2c_address_bytes, wr_len);
    if (phase == h.i2c_address_bytes && phase > 0) {
        uint32_t addr = 0;
        for (int i = 0; i < phase; ++i) addr = addr << 8 | wr[i];
        h.i2c_pointer = addr;
    }
    *wr_count = phase + impl_->I2cWrite(wr + phase, wr_len - phase);
    *rd_count = impl_->I2cRead(rd, rd_len);
    return true;
}

const std::vector<Access>& Chip::Traffic() const { return impl_->traffic; }
void Chip::ClearTraffic() { impl_->traffic.clear(); }

detail::Image& ChipAccess::image(Chip& chip) { return *chip.impl_->image; }

}  // namespace kxsim
