#include <algorithm>
#include <cerrno>

#include "chip_access.h"
#include "gateways.h"
#include "i2c_master.h"
#include "i2c_slave.h"
#include "image.h"
#include "regmap.h"
#include "sim.h"

namespace kxsim {

using detail::Image;

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

struct Chip::Impl final : detail::CrBus {
    using Sides = std::vector<std::unique_ptr<detail::GatewaySide>>;

    explicit Impl(std::unique_ptr<Image> img)
        : image(std::move(img)), gateways(std::make_unique<detail::GatewayBlock>(*image, Sides{})),
          slave(image->header(), *this), master(*image, slave) {
        master.JoinMap(registers);
    }

    // The bus. Callers hold the bus lock.
    bool Read(uint32_t addr, uint32_t* value) override;
    bool Write(uint32_t addr, uint32_t value) override;
    bool Reachable(uint32_t addr) const;
    void Record(char op, uint32_t addr, uint32_t value);

    std::unique_ptr<Image> image;
    detail::RegisterMap registers;
    std::unique_ptr<detail::GatewayBlock> gateways;
    detail::I2cSlave slave;
    detail::I2cMasterBlock master;
    std::vector<Access> traffic;
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
    detail::RegisterBlock* block = registers.Find(addr);
    *value = block ? block->Read(addr) : image->Word(addr);
    Record('R', addr, *value);
    return true;
}

bool Chip::Impl::Write(uint32_t addr, uint32_t value) {
    if (!Reachable(addr)) return false;
    Record('W', addr, value);
    if (detail::RegisterBlock* block = registers.Find(addr)) block->Write(addr, value);
    else image->SetWord(addr, value);
    return true;
}

std::unique_ptr<Chip> Chip::Open(const std::string& image_path, Family family, std::string* error) {
    std::unique_ptr<Image> image = Image::Open(image_path, family, error);
    if (!image) return nullptr;
    return std::unique_ptr<Chip>(new Chip(std::make_unique<Impl>(std::move(image))));
}

Chip::Chip(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Chip::~Chip() = default;

Family Chip::family() const { return impl_->image->family(); }

bool Chip::LoadDatabase(const std::string& db_path, std::string* error) {
    Impl::Sides sides;
    std::string ignored;
    if (!error) error = &ignored;
    if (!detail::ParseDatabase(db_path, &sides, error)) return false;
    Image::BusLock lock(*impl_->image);
    auto gateways = std::make_unique<detail::GatewayBlock>(*impl_->image, std::move(sides));
    if (!gateways->ClaimState()) {
        *error = db_path + ": too many gateways for the chip's state table";
        return false;
    }
    impl_->registers.Leave(impl_->gateways.get());
    impl_->gateways = std::move(gateways);
    impl_->gateways->JoinMap(impl_->registers);
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
    return impl_->gateways->Entry(gw_addr, index);
}

void Chip::SetEntry(uint32_t gw_addr, uint32_t index, const std::vector<uint32_t>& words) {
    Image::BusLock lock(*impl_->image);
    impl_->gateways->SetEntry(gw_addr, index, words);
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
    impl_->gateways->HoldLock(gw_addr, held);
}

void Chip::SetBusyReads(uint32_t gw_addr, uint32_t n) {
    Image::BusLock lock(*impl_->image);
    impl_->gateways->SetBusyReads(gw_addr, n);
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

void Chip::SetI2cBusy(uint32_t starts) {
    Image::BusLock lock(*impl_->image);
    impl_->image->header().i2c_busy_starts = starts;
}

void Chip::SetI2cMasterBusyReads(uint32_t n) {
    Image::BusLock lock(*impl_->image);
    detail::I2cMasterState& st = impl_->image->header().i2c_master;
    st.busy_reads = n;
    if (st.running) st.remaining = n;
}

// A chip on its own image only: the master holds this chip's bus lock while
// it drives the device, which takes the device's.
void Chip::ConnectI2cMaster(Chip* device) {
    Image::BusLock lock(*impl_->image);
    const bool other = device && device->impl_->image->path() != impl_->image->path();
    impl_->master.Connect(other ? device : nullptr);
}

bool Chip::I2cStart(I2cConversation& c, uint8_t address_byte) {
    Image::BusLock lock(*impl_->image);
    return impl_->slave.Start(c, address_byte);
}

bool Chip::I2cWrite(I2cConversation& c, uint8_t byte) {
    Image::BusLock lock(*impl_->image);
    return impl_->slave.Write(c, byte);
}

bool Chip::I2cRead(I2cConversation& c, uint8_t* byte) {
    Image::BusLock lock(*impl_->image);
    return impl_->slave.Read(c, byte);
}

void Chip::I2cStop(I2cConversation& c) {
    Image::BusLock lock(*impl_->image);
    impl_->slave.Stop(c);
}

// The adapter's transaction as one conversation, whole on the bus: start,
// the write part, a repeated start for the read part, stop. A byte the
// slave refuses ends the write part; the read part is still attempted.
bool Chip::I2cTransaction(uint8_t slave, const uint8_t* wr, int wr_len, uint8_t* rd, int rd_len,
                          int* wr_count, int* rd_count) {
    *wr_count = 0;
    *rd_count = 0;
    Image::BusLock lock(*impl_->image);
    detail::I2cSlave& s = impl_->slave;
    I2cConversation c;
    bool read_only = wr_len == 0 && rd_len > 0;
    bool answered = slave <= 0x7F && s.Start(c, uint8_t(slave << 1 | read_only));
    if (answered) {
        while (*wr_count < wr_len && s.Write(c, wr[*wr_count])) ++*wr_count;
        if (rd_len > 0 && !read_only) s.Start(c, uint8_t(slave << 1 | 1));
        while (*rd_count < rd_len && s.Read(c, &rd[*rd_count])) ++*rd_count;
    }
    s.Stop(c);
    return answered;
}

const std::vector<Access>& Chip::Traffic() const { return impl_->traffic; }
void Chip::ClearTraffic() { impl_->traffic.clear(); }

detail::Image& ChipAccess::image(Chip& chip) { return *chip.impl_->image; }

}  // namespace kxsim
