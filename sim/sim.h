// The simulated chip: CR space with the chip side of every gateway kind, an
// I2C slave view of the same space, and a simulated kernel driver that stands
// behind kxcr's OS table in place of the real one.
//
// The chip's state lives in an image file that every process opening it maps
// shared, so several processes see one chip and contend for its lock bits as
// on hardware; what is written stays there for the next run.
#ifndef KXSIM_SIM_H
#define KXSIM_SIM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kxsim {

// One register access as the chip's bus saw it.
struct Access {
    char op;  // 'R' or 'W'
    uint32_t addr;
    uint32_t value;
    bool operator==(const Access& o) const {
        return op == o.op && addr == o.addr && value == o.value;
    }
};

// Byte order of the memory-mapped window: the adapter family keeps each CR
// word big-endian there, the switch family little-endian.
enum class Family { Zorvan, Duvra };

// Device files served by the simulated driver for a chip of each family.
// Every name reaches the same chip.
extern const char* const kZorvanPciName;      // "/dev/kdt/kx31001_pci_cr0"
extern const char* const kZorvanPciconfName;  // "/dev/kdt/kx31001_pciconf0"
extern const char* const kZorvanCalbrName;    // "/dev/kdt/kx31001_calbr0"
extern const char* const kZorvanKifName;      // "/dev/kdt/kx31001_kif0"
extern const char* const kZorvanPpcName;      // "/dev/kdt/kx31001_ppc0"
extern const char* const kDevI2cName;         // "/dev/kdt/kx31001_dev-i2c0" (listed, no transport)
extern const char* const kDuvraPciName;       // "/dev/kdt/kx52100_pci_cr0"
extern const char* const kDuvraPciconfName;   // "/dev/kdt/kx52100_pciconf0"

// Control reads after which a started operation stays busy for ever.
constexpr uint32_t kBusyForever = 0xFFFFFFFFu;

class Chip {
public:
    // Opens the image at image_path, creating it (every CR word 0, no entry
    // written) when it does not exist. Returns null with a reason on failure.
    static std::unique_ptr<Chip> Open(const std::string& image_path, Family family,
                                      std::string* error);
    ~Chip();
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    Family family() const;

    // Configures the chip side of every gateway an arr_db.txt describes.
    bool LoadDatabase(const std::string& db_path, std::string* error);

    // The bus: one CR access with the chip's side effects, recorded in the
    // traffic log. False with errno set when a fault knob fails the access.
    bool Read(uint32_t addr, uint32_t* value);
    bool Write(uint32_t addr, uint32_t value);

    // Raw CR words: no side effect, not recorded.
    uint32_t Peek(uint32_t addr) const;
    void Poke(uint32_t addr, uint32_t value);

    // The entry a gateway holds at a gateway index, as its data registers show
    // it: most significant word (lowest register address) first.
    std::vector<uint32_t> Entry(uint32_t gw_addr, uint32_t index) const;
    void SetEntry(uint32_t gw_addr, uint32_t index, const std::vector<uint32_t>& words);
    // What word `word` (0 = most significant) of an entry never written holds.
    static uint32_t UnwrittenWord(uint32_t gw_addr, uint32_t index, unsigned word);

    // Fault knobs.
    void HoldLock(uint32_t gw_addr, bool held);       // someone else holds the lock bit
    void SetBusyReads(uint32_t gw_addr, uint32_t n);  // control reads before busy clears
    void FailAccess(uint32_t addr, int err);          // accesses fail with errno err; 0 heals

    // The I2C slave view of CR space: 7-bit address and address-phase length
    // (4, 2, 1 or 0 bytes, most significant first).
    void SetI2cSlave(uint8_t address7, int address_bytes);
    void SetI2cAnswers(bool answers);  // false: the slave does not acknowledge
    // One I2C transaction addressed to `slave`: write wr_len bytes, then read
    // rd_len bytes. Returns false when nobody acknowledged; the counts of
    // bytes moved go to *wr_count and *rd_count.
    bool I2cTransaction(uint8_t slave, const uint8_t* wr, int wr_len, uint8_t* rd, int rd_len,
                        int* wr_count, int* rd_count);

    // Bus accesses of this process, oldest first.
    const std::vector<Access>& Traffic() const;
    void ClearTraffic();

private:
    friend struct ChipAccess;
    struct Impl;
    explicit Chip(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Installs the simulated kernel driver for `chip` behind kxcr's OS table;
// names under "/dev/kdt" reach the chip, every other path reaches libc.
void InstallDriver(Chip* chip);
// Restores libc behind the table.
void UninstallDriver();

}  // namespace kxsim

#endif  // KXSIM_SIM_H
