// The image file that holds one simulated chip: a header with the fault
// knobs and the bus mutex, the per-gateway chip state, the CR region and the
// entry store. Every process that opens the image maps all of it shared, so
// what one process does to the chip the others see at once.
#ifndef KXSIM_IMAGE_H
#define KXSIM_IMAGE_H

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sim.h"

namespace kxsim {
namespace detail {

constexpr uint32_t kCrBytes = 16u << 20;  // CR addresses 0 .. 0xFFFFFF
constexpr size_t kMaxEntryWords = 64;
constexpr size_t kMaxFaults = 64;
constexpr size_t kFlushSlots = 3;

// Where a started operation stands.
enum class Phase : uint32_t {
    Idle = 0,
    Armed = 1,    // started, waiting for its index register to be written
    Running = 2,  // busy until `remaining` further control reads have been made
};

enum class Action : uint32_t { None = 0, Read = 1, Write = 2 };

// Chip state of one gateway, keyed by its control-register address.
struct GatewayState {
    uint32_t used;
    uint32_t ctrl_addr;
    uint32_t busy_reads;  // knob: control reads before a started operation completes
    uint32_t hold_lock;   // knob: the lock bit reads as taken by someone else
    uint32_t remaining;
    Phase phase;
    Action action;
    uint32_t clear_after;  // the read also clears the entry
    uint32_t index;
};

struct StoredEntry {
    uint32_t used;
    uint32_t ctrl_addr;
    uint32_t key;
    uint32_t count;
    uint32_t words[kMaxEntryWords];  // most significant first
};

struct Fault {
    uint32_t addr;
    int32_t err;  // 0: free slot
};

// The chip's own I2C master (i2c_master.h): its knob, the transaction it
// runs and the bus conversation it holds from a start to its stop.
struct I2cMasterState {
    uint32_t busy_reads;  // knob: control reads before a started transaction is done
    uint32_t running;
    uint32_t remaining;
    uint32_t address_byte;  // of the conversation's last start
    I2cConversation conversation;
};

struct Header {
    uint64_t magic;
    uint32_t version;
    uint32_t family;
    pthread_mutex_t bus;  // process-shared, robust: one bus access at a time
    uint32_t i2c_address;
    int32_t i2c_address_bytes;
    uint32_t i2c_answers;
    uint32_t i2c_pointer;  // the slave's current byte address
    Fault faults[kMaxFaults];
    int32_t flush_slot_pids[kFlushSlots];
    uint32_t i2c_busy_starts;  // knob: starts the slave answers busy
    I2cMasterState i2c_master;
};

class Image {
public:
    // Byte offset of the CR region in the file; the window maps it directly.
    static constexpr off_t kCrOffset = 1 << 20;

    static std::unique_ptr<Image> Open(const std::string& path, Family family,
                                       std::string* error);
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    const std::string& path() const { return _path; }
    Family family() const { return _family; }
    Header& header() const { return *_header; }

    // Holds the bus mutex for its lifetime.
    class BusLock {
    public:
        explicit BusLock(const Image& image);
        ~BusLock();
        BusLock(const BusLock&) = delete;
        BusLock& operator=(const BusLock&) = delete;

    private:
        pthread_mutex_t* _mutex;
    };

    // CR words in host order; addr must be aligned and inside the region.
    uint32_t Word(uint32_t addr) const;
    void SetWord(uint32_t addr, uint32_t value);

    // The state of the gateway at ctrl_addr; null when it has none and
    // `create` is false, or when the table is full.
    GatewayState* Gateway(uint32_t ctrl_addr, bool create) const;

    const StoredEntry* FindEntry(uint32_t ctrl_addr, uint32_t key) const;
    // The slot of an entry, claimed when new; null when the store is full.
    StoredEntry* ClaimEntry(uint32_t ctrl_addr, uint32_t key);

private:
    Image(std::string path, Family family, void* base);
    StoredEntry* Probe(uint32_t ctrl_addr, uint32_t key, bool claim) const;

    std::string _path;
    Family _family;
    void* _base;
    Header* _header;
    GatewayState* _gateways;
    uint32_t* _cr;
    StoredEntry* _entries;
};

}  // namespace detail
}  // namespace kxsim

#endif  // KXSIM_IMAGE_H
