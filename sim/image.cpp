#include "image.h"

#include <endian.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kxsim {
namespace detail {
namespace {

constexpr uint64_t kMagic = 0x6B78736D43686970ull;  // "kxsmChip"
constexpr uint32_t kVersion = 1;

// File layout. The file is sparse: pages never touched cost nothing.
constexpr off_t kGatewaysOffset = 4096;
constexpr size_t kGatewaySlots = 8192;
constexpr off_t kEntriesOffset = Image::kCrOffset + kCrBytes;
constexpr size_t kEntrySlots = size_t(1) << 20;
constexpr off_t kFileSize = kEntriesOffset + off_t(kEntrySlots * sizeof(StoredEntry));
// A probe sequence this long means the store is practically full.
constexpr size_t kMaxProbes = 4096;

static_assert(sizeof(Header) <= size_t(kGatewaysOffset), "header overlaps the gateway table");
static_assert(kGatewaysOffset + off_t(kGatewaySlots * sizeof(GatewayState)) <= Image::kCrOffset,
              "gateway table overlaps the CR region");

uint32_t Mix(uint32_t a, uint32_t b) {
    uint64_t x = (uint64_t(a) << 32) | b;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return uint32_t(x);
}

std::nullptr_t Fail(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return nullptr;
}

void InitHeader(Header* header, Family family) {
    header->version = kVersion;
    header->family = uint32_t(family);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    // A process killed in the middle of an access must not wedge the chip.
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&header->bus, &attr);
    pthread_mutexattr_destroy(&attr);
    header->i2c_address = 0x48;
    header->i2c_address_bytes = 4;
    header->i2c_answers = 1;
    // Written last: a half-initialised image is never taken for a chip.
    header->magic = kMagic;
}

const char* FamilyName(uint32_t family) {
    return family == uint32_t(Family::Zorvan) ? "Zorvan" : "Duvra";
}

// Maps the image behind an open descriptor, creating its contents when the
// file is new. The caller holds an exclusive flock so that two processes
// never initialise one image twice.
void* MapImage(int fd, const std::string& path, Family family, std::string* error) {
    struct stat st;
    if (fstat(fd, &st) != 0) return Fail(error, "stat " + path);
    bool fresh = st.st_size == 0;
    if (fresh && ftruncate(fd, kFileSize) != 0) return Fail(error, "size " + path);
    if (!fresh && st.st_size != kFileSize) {
        errno = EINVAL;
        if (error) *error = path + " is not a chip image";
        return nullptr;
    }
    void* base = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return Fail(error, "map " + path);
    auto* header = static_cast<Header*>(base);
    if (fresh) InitHeader(header, family);
    std::string problem;
    if (header->magic != kMagic || header->version != kVersion) problem = " is not a chip image";
    else if (header->family != uint32_t(family)) problem = std::string(" holds a ") + FamilyName(header->family) + " chip";
    if (problem.empty()) return base;
    munmap(base, kFileSize);
    if (error) *error = path + problem;
    errno = EINVAL;
    return nullptr;
}

}  // namespace

std::unique_ptr<Image> Image::Open(const std::string& path, Family family, std::string* error) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(error, "open " + path);
    if (flock(fd, LOCK_EX) != 0) {
        Fail(error, "lock " + path);
        close(fd);
        return nullptr;
    }
    void* base = MapImage(fd, path, family, error);
    int saved = errno;
    // Unlocked explicitly: the mapping keeps the open file, and with it the
    // flock, alive after close.
    flock(fd, LOCK_UN);
    close(fd);
    errno = saved;
    if (!base) return nullptr;
    return std::unique_ptr<Image>(new Image(path, family, base));
}

Image::Image(std::string path, Family family, void* base)
    : _path(std::move(path)),
      _family(family),
      _base(base),
      _header(static_cast<Header*>(base)),
      _gateways(reinterpret_cast<GatewayState*>(static_cast<char*>(base) + kGatewaysOffset)),
      _cr(reinterpret_cast<uint32_t*>(static_cast<char*>(base) + kCrOffset)),
      _entries(reinterpret_cast<StoredEntry*>(static_cast<char*>(base) + kEntriesOffset)) {}

Image::~Image() { munmap(_base, kFileSize); }

Image::BusLock::BusLock(const Image& image) : _mutex(&image.header().bus) {
    // The previous holder died during an access: the words it touched are
    // whole (each store is one aligned word), so the chip stays usable.
    if (pthread_mutex_lock(_mutex) == EOWNERDEAD) pthread_mutex_consistent(_mutex);
}

Image::BusLock::~BusLock() { pthread_mutex_unlock(_mutex); }

uint32_t Image::Word(uint32_t addr) const {
    uint32_t raw = _cr[addr >> 2];
    return _family == Family::Zorvan ? be32toh(raw) : le32toh(raw);
}

void Image::SetWord(uint32_t addr, uint32_t value) {
    _cr[addr >> 2] = _family == Family::Zorvan ? htobe32(value) : htole32(value);
}

GatewayState* Image::Gateway(uint32_t ctrl_addr, bool create) const {
    size_t slot = Mix(ctrl_addr, 0x6A7E) % kGatewaySlots;
    for (size_t n = 0; n < kGatewaySlots; ++n, slot = (slot + 1) % kGatewaySlots) {
        GatewayState* st = &_gateways[slot];
        if (st->used && st->ctrl_addr == ctrl_addr) return st;
        if (st->used) continue;
        if (!create) return nullptr;
        *st = GatewayState{};
        st->used = 1;
        st->ctrl_addr = ctrl_addr;
        return st;
    }
    return nullptr;
}

StoredEntry* Image::Probe(uint32_t ctrl_addr, uint32_t key, bool claim) const {
    size_t slot = Mix(ctrl_addr, key) % kEntrySlots;
    for (size_t n = 0; n < kMaxProbes; ++n, slot = (slot + 1) % kEntrySlots) {
        StoredEntry* e = &_entries[slot];
        if (e->used && e->ctrl_addr == ctrl_addr && e->key == key) return e;
        if (e->used) continue;
        if (!claim) return nullptr;
        e->used = 1;
        e->ctrl_addr = ctrl_addr;
        e->key = key;
        e->count = 0;
        return e;
    }
    return nullptr;
}

const StoredEntry* Image::FindEntry(uint32_t ctrl_addr, uint32_t key) const {
    return Probe(ctrl_addr, key, false);
}

StoredEntry* Image::ClaimEntry(uint32_t ctrl_addr, uint32_t key) { return Probe(ctrl_addr, key, true); }

}  // namespace detail
}  // namespace kxsim
