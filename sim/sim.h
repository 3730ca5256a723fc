// The simulated chip: CR space with the chip side of every gateway kind and
// its own I2C master, an I2C slave view of the same space, and a simulated
// kernel driver that stands behind kxcr's OS table in place of the real one.
//
// The image. The chip lives in an image file (created when missing) that
// every process opening it maps shared, so several processes (the tool, a
// second tool, the forking remote server) see one chip, and what is written
// stays for the next run. It holds the CR region (addresses 0..0xFFFFFF, each
// word in the window byte order of the chip's family: big-endian for Zorvan,
// little-endian for Duvra), the entries written behind gateways, the
// per-gateway state (a running operation and its busy countdown) and the
// fault knobs. The file is sparse: about 300 MB long, it costs only the pages
// touched. A process-shared robust mutex in the image serialises bus
// accesses with their side effects, so a lock bit's read-and-set is atomic
// between processes, as on hardware.
//
// Configuration. The gateways come from an arr_db.txt read by each process
// that serves the chip (LoadDatabase); they are not kept in the image. Word
// 2 names the kind: the tool's keywords plus "GW_be_address",
// "GW_simple_special", "GW_tag_data" (word 16 = tag) and "GW_tag_data2". The
// first line of a gateway address decides its kind and layout; lines with
// fewer than ten words or an unknown keyword are skipped.
//
// The bus. Accesses outside the CR region fail with EFAULT, misaligned ones
// with EINVAL. The registers with side effects are those some block of the
// chip serves (the gateways' control and index registers); every other word
// is plain memory. A read of a control register that finds bit 31 (lock) clear
// sets it: the reader owns the gateway until it writes bit 31 clear. A
// control write with bit 30 (busy) set on an idle gateway starts the
// operation decoded from the written word; the chip clears bit 30 when it is
// done, at once or after SetBusyReads further control reads (until then the
// data registers are untouched). While an operation runs the busy bit is the
// chip's: control writes change the other bits only and start nothing. A
// read copies the entry into the data registers (the word at DataAddr least
// significant), a write stores the data registers as the entry. Codes a kind
// does not know complete at once and move no data. Kinds:
//   - "GW_simple", "GW_gfifo", "GW_serdes", "GW_rx_buffer", "GW_array_addr"
//     (entries keyed by the whole index), "GW_simple_special", "GW_field"
//     (the word at control + 0xC is a plain register): command 1 reads, 0
//     writes;
//   - "GW_clear": a read with the clear bit (word 11) set clears the entry
//     to zero after handing it out;
//   - "GW_reqsl": 2 data words ending at 0x60A14, or 4 ending at 0x60A1C
//     when index bit 9 is set;
//   - "GW_xtsram": code 0 reads, 2 writes;
//   - "GW_SXP": control at 0x1DB00 whatever the database says, 13 data words
//     0x1DB0C..0x1DB3C;
//   - "GW_tag_data": tag 0 moves the window up to end at DataAddr + 12 and
//     wires only the low 16 bits of its last word;
//   - "GW_tag_data2": code 2 reads, 0 writes; bit 29 set is no valid start;
//   - "GW_be_address": the control write (bit 27 clear) arms the gateway and
//     the write of the 32-bit index to control + 4 starts it;
//   - "GW_irisc": whole control words (bits 29..24 code, 23..20 way, 19..6
//     entry); read codes 1, 3, 0x11, 0x13, write codes one above; entries
//     keyed by array, way and entry, so code 2 writes what code 1 reads.
// Entries never written read as UnwrittenWord: 0xA, the low 20 bits of the
// gateway index, the word number (0 = most significant): entry 0xC of a
// two-word gateway reads a0000c00 a0000c01.
//
// Knobs (in the image, so a test process can set them for a forked server):
// HoldLock, SetBusyReads (kBusyForever: never done), FailAccess (bus
// accesses to a word fail with an errno, up to 64 words at once),
// SetI2cSlave, SetI2cAnswers, SetI2cBusy and SetI2cMasterBusyReads.
//
// The I2C slave answers at a 7-bit address (default 0x48) with an address
// phase of 4, 2, 1 or 0 bytes (default 4), most significant byte first, and
// keeps a current address. It follows a bus conversation: a start (or
// repeated start) with an address byte, acknowledged when the address is its
// own and it answers; bytes written, first the address phase (which sets the
// current address once complete) then data; bytes read; a stop. Data words
// travel most significant byte first. Reads make one bus read per word
// touched. Writes reach the bus a whole aligned word at a time, at its
// fourth byte: the bytes of a partial word are acknowledged and dropped, and
// the byte completing a word the bus refuses is not acknowledged (the rest
// of the write is ignored until the next start). A transaction of an adapter
// (write part, then read part) is one conversation, whole on the bus; a
// refused write does not stop its read part. A busy slave (SetI2cBusy)
// acknowledges its address, then refuses every byte until the next start.
//
// The I2C master. The chip drives its own I2C bus through three registers:
// control, data and configuration (0xF0180, 0xF0184, 0xF018C on a Zorvan
// chip; 0x3180, 0x3184, 0x318C on a Duvra chip). A control write with a
// command in bits 29-31 (1 read, 2 write, 3 stop; byte count - 1 in bits
// 22-23, 7-bit slave address in bits 0-6) starts a transaction. Control
// reads see the command bits until it is done (at once, or after
// SetI2cMasterBusyReads further control reads), then the word as written
// with the command bits clear and the status in bits 16-18; control writes
// while it runs are ignored. A write sends the count bytes of the data
// register from bit 31 down; a read fills the data register from bit 31
// down (the rest 0). Each begins with a start when the conversation holds no
// slave or another slave or direction, and carries it on otherwise; a stop
// ends it. Statuses: 7 every byte moved; 6 the slave acknowledged its
// address, then took or gave a byte short (busy, or a word the bus refused);
// 4 nobody acknowledged the address; 0 a command the master does not know.
// The data and configuration registers are plain words. The transaction
// runs on the bus when it completes: with the chip's own slave, its bus
// accesses come in the traffic after the access that completed it. In a
// test process the bus may hold a chip on another image instead
// (ConnectI2cMaster); the master's state and knob are in the image, that
// connection is not.
//
// The driver serves the device names of the chip's family below. Requests
// through pciconf, kif and Calibre devices are bus accesses with their side
// effects and knobs; the window ("pci") is a plain mapping of the CR region:
// its loads and stores have no side effects at all. Each device name has an
// advisory lock of its own for flock: locking one device neither locks
// another nor the image.
//
// libibmad stand-in (sim/ibmad, a shared library for the tests only): the
// calls of the InfiniBand transport, with the chip opened by the image path
// its environment names; it answers the chip's vendor datagrams with bus
// accesses and transactions of the I2C slave, and logs what it receives.
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
// Configuration cycles whose accesses kxcr sends through the chip's own I2C
// master.
extern const char* const kZorvanI2cmName;  // "/dev/kdt/kx31001_pciconf0_i2cm"
extern const char* const kDuvraI2cmName;   // "/dev/kdt/kx52100_pciconf0_i2cm"

// What one conversation with the I2C slave has in flight, kept by its master
// so that conversations of different masters do not mix.
struct I2cConversation {
    bool selected = false;  // the last start was acknowledged
    bool reading = false;
    bool refused = false;  // a byte was not acknowledged
    int address_seen = 0;  // bytes of the address phase received
    uint32_t address = 0;
    uint32_t word = 0;  // the word being written or read out
    int word_fill = 0;  // bytes of a written word received
    bool word_held = false;  // `word` holds the word read at word_addr
    uint32_t word_addr = 0;
};

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

    // Configures the chip side of every gateway an arr_db.txt describes,
    // replacing what an earlier call configured; on failure (a bad number,
    // a kind's missing word, a control register outside CR space, more than
    // 64 data words) the configuration is unchanged.
    bool LoadDatabase(const std::string& db_path, std::string* error);

    // The bus: one CR access with the chip's side effects, recorded in the
    // traffic log. False with errno set when a fault knob fails the access.
    bool Read(uint32_t addr, uint32_t* value);
    bool Write(uint32_t addr, uint32_t value);

    // Raw CR words: no side effect, not recorded. Outside the CR region
    // Peek gives 0 and Poke does nothing.
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
    // The next `starts` starts addressed to the slave find it busy: it
    // acknowledges its address, then takes and gives no byte.
    void SetI2cBusy(uint32_t starts);
    // The chip's own I2C master: control reads that see a started command
    // still running before it is done (kBusyForever: never; a command
    // running takes the new count), and the device on its bus: the slave of
    // `device`, a chip on another image, or this chip's own slave when null.
    void SetI2cMasterBusyReads(uint32_t n);
    void ConnectI2cMaster(Chip* device);
    // The slave one bus event at a time, for a master that keeps `c` from
    // its start to its stop. Start takes the address byte (address << 1, | 1
    // to read); Start and Write return the acknowledge; Read gives false when
    // the slave does not drive the bus.
    bool I2cStart(I2cConversation& c, uint8_t address_byte);
    bool I2cWrite(I2cConversation& c, uint8_t byte);
    bool I2cRead(I2cConversation& c, uint8_t* byte);
    void I2cStop(I2cConversation& c);
    // One adapter transaction addressed to `slave`: write wr_len bytes, then
    // read rd_len bytes. Returns false when nobody acknowledged; the counts
    // of bytes moved go to *wr_count and *rd_count.
    bool I2cTransaction(uint8_t slave, const uint8_t* wr, int wr_len, uint8_t* rd, int rd_len,
                        int* wr_count, int* rd_count);

    // Successful bus accesses of this process, oldest first (the newest
    // million are kept).
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
