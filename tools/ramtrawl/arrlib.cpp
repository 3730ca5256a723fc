// The facade of the array library and the loader of the array database.
#include "arrlib.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "progress.h"
#include "utils.h"

namespace {

// Only this many words of a database line are looked at.
constexpr size_t kMaxWords = 16;
// The walk over all arrays never reads this one; it can still be read by name.
const char* const kSkippedByWalk = "sxp.pb_context";
// The database is read in blocks of this size; a longer line grows the block.
constexpr size_t kReadBlock = 1 << 20;
// The size of a huge page; the first block of each store is one, so that
// every block is whole huge pages.
constexpr size_t kHugePage = 2 << 20;
// No line of a known kind is shorter: ten words of at least one character,
// their separators and the line feed.
constexpr size_t kShortestLine = 20;

struct Keyword {
    std::string_view word;
    ArrLib::AccessType kind;
    size_t words;  // words a line of this kind must carry
};

// The kinds a database line can select. The kinds without a keyword
// (be_address, simple_special, tag_data, tag_data2) are deliberately absent:
// stored databases rely on such lines being ignored.
const Keyword kKeywords[] = {
    {"GW_simple", ArrLib::simple, 10}, {"GW_gfifo", ArrLib::gfifo, 10},
    {"GW_clear", ArrLib::clear, 11},   {"GW_array_addr", ArrLib::array_addr, 15},
    {"GW_reqsl", ArrLib::reqsl, 15},   {"GW_rx_buffer", ArrLib::rxbuffer, 11},
    {"GW_irisc", ArrLib::irisc, 13},   {"GW_serdes", ArrLib::serdes, 10},
    {"GW_xtsram", ArrLib::xtsram, 15}, {"GW_field", ArrLib::field, 10},
    {"GW_SXP", ArrLib::sxp, 15},
};

const Keyword* FindKeyword(std::string_view word) {
    for (const Keyword& k : kKeywords)
        if (word == k.word) return &k;
    return nullptr;
}

bool IsDelimiter(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// One database line split into its words (word 1 is element 0), as views
// into the line.
class DbLine {
public:
    explicit DbLine(std::string_view text) : _text(text) {
        const char* p = text.data();
        const char* end = p + text.size();
        while (_count < kMaxWords) {
            while (p != end && IsDelimiter(*p)) ++p;
            if (p == end) break;
            const char* word = p;
            while (p != end && !IsDelimiter(*p)) ++p;
            _words[_count++] = {word, static_cast<size_t>(p - word)};
        }
    }
    size_t Count() const { return _count; }
    std::string_view Word(size_t n) const { return {_words[n - 1].start, _words[n - 1].size}; }
    // The line as written, without its line end.
    std::string_view Text() const {
        size_t last = _text.find_last_not_of("\r\n");
        return _text.substr(0, last == std::string_view::npos ? 0 : last + 1);
    }

private:
    // Plain pointers and sizes: the table is not cleared for each line.
    struct Span {
        const char* start;
        size_t size;
    };
    std::string_view _text;
    Span _words[kMaxWords];  // the first _count are set
    size_t _count = 0;
};

// The numbers of a line of a known kind, by word number: words 3 to 10 and
// the kind's own words after them, parsed in word order. Words 3 and 9 are
// addresses (hexadecimal), the others decimal.
class Numbers {
public:
    void Parse(const DbLine& line, size_t words) {
        for (size_t n = 3; n <= words; ++n)
            _value[n] = str2long(line.Word(n), n == 3 || n == 9 ? 16 : 10);
    }
    long Value(size_t n) const { return _value[n]; }
    u_int32_t Word(size_t n) const { return static_cast<u_int32_t>(_value[n]); }
    int Int(size_t n) const { return static_cast<int>(Word(n)); }

private:
    long _value[kMaxWords + 1];  // words 3 to the kind's last are set
};

// Word numbers of the layout every gateway kind takes, and of the
// array-addressed kinds' own words.
enum : size_t {
    kAddress = 3, kCOffset, kCSize, kIOffset, kISize, kMax, kDataAddr, kDSize,
    kAOffset = 11, kASize, kIndex, kMaxAIndex, kMaxIndexArr,
};

// The values a word may take.
struct Range {
    size_t word;
    const char* name;
    long low, high;
};

// Checks the widths and sizes of a line before anything is built from it, so
// that no layout arithmetic can overflow and no typo reaches another array.
// The first range a value lies outside goes to *bad.
bool LayoutFits(const Numbers& n, ArrLib::AccessType kind, size_t words, Range* bad) {
    const Range common[] = {{kCOffset, "cOffset", 0, 32}, {kCSize, "cSize", 0, 32},
                            {kIOffset, "iOffset", 0, 32}, {kISize, "iSize", 0, 32},
                            // The data registers end at DataAddr and must not run below 0.
                            {kDSize, "dSize", 1, n.Word(kDataAddr) / 4 + 1}};
    const Range clearBit = {11, "corOffset", 0, 31};
    // The array number takes the top bits of the index field.
    const Range numbering[] = {{kAOffset, "aOffset", 0, 32}, {kASize, "aSize", 0, n.Value(kISize)}};
    auto within = [&n, bad](const Range& r) {
        long v = n.Value(r.word);
        if (v >= r.low && v <= r.high) return true;
        *bad = r;
        return false;
    };
    if (!std::all_of(std::begin(common), std::end(common), within)) return false;
    if (kind == ArrLib::clear && !within(clearBit)) return false;
    return words != kMaxIndexArr || std::all_of(std::begin(numbering), std::end(numbering), within);
}

// "cOffset 33 outside 0..32"
std::string Outside(const Range& r, const Numbers& n) {
    return std::string(r.name) + " " + std::to_string(n.Value(r.word)) + " outside " +
           std::to_string(r.low) + ".." + std::to_string(r.high);
}

// Calls line(text) for each line of the file, its line feed included, in
// blocks read whole into memory from `memory`. A long line stays one line.
// False on a read error.
template <class Visit>
bool ForEachLine(FILE* file, std::pmr::memory_resource* memory, Visit&& line) {
    std::pmr::vector<char> block(kReadBlock, memory);
    size_t filled = 0;
    for (;;) {
        size_t wanted = block.size() - filled;
        size_t got = fread(block.data() + filled, 1, wanted, file);
        filled += got;
        const char* start = block.data();
        const char* end = start + filled;
        while (const void* feed = memchr(start, '\n', static_cast<size_t>(end - start))) {
            const char* next = static_cast<const char*>(feed) + 1;
            line(std::string_view(start, static_cast<size_t>(next - start)));
            start = next;
        }
        if (got < wanted) {
            if (start != end) line(std::string_view(start, static_cast<size_t>(end - start)));
            return !ferror(file);
        }
        // Keep the unfinished line for the next block.
        filled = static_cast<size_t>(end - start);
        memmove(block.data(), start, filled);
        if (filled == block.size()) block.resize(2 * block.size());
    }
}

[[noreturn]] void LoadError(const char* what, const char* name) {
    std::cout << "-E- " << what << " : " << name << '\n';
    exit(1);
}

}  // namespace

// --------------------------------------------------------------------- loader

// Builds the registries line by line. Each line is parsed and checked at
// once, but registered only after the next line has been parsed: the index
// slots it needs are fetched from memory in the meantime.
class ArrLib::Loader {
public:
    Loader(ArrLib& lib, const char* dbFile) : _lib(lib), _dbFile(dbFile) {}

    // Room in the registries for as many lines as a file of this size can
    // hold: only what is used is ever touched, and nothing is copied as
    // they grow.
    void Reserve(off_t fileSize) {
        size_t lines = static_cast<size_t>(fileSize) / kShortestLine + 1;
        _lib._arrays.reserve(lines);
        _lib._gws.reserve(lines);
    }

    void Add(std::string_view text) {
        ++_lineNo;
        DbLine line(text);
        if (line.Count() < 2) return;
        const Keyword* keyword = FindKeyword(line.Word(2));
        if (keyword == nullptr) return;
        if (line.Count() < keyword->words) LineError("Too few words", *keyword, line);
        // The slot the pending line does not use.
        Parsed& next = _parsed[_pending == &_parsed[0] ? 1 : 0];
        next.kind = keyword->kind;
        next.numbers.Parse(line, keyword->words);
        Range bad;
        if (!LayoutFits(next.numbers, keyword->kind, keyword->words, &bad))
            LineError(Outside(bad, next.numbers).c_str(), *keyword, line);
        next.name = Name(line.Word(1));
        _lib._gwIndex.Prefetch(next.numbers.Word(kAddress));
        Finish();
        _pending = &next;
    }

    // Registers the last line parsed.
    void Finish() {
        if (_pending) Register(*_pending);
        _pending = nullptr;
    }

private:
    // A line of a known kind, parsed and checked.
    struct Parsed {
        AccessType kind;
        Numbers numbers;
        std::string_view name;
    };

    // Builds the line's array, and its gateway when the address is new.
    void Register(const Parsed& p) {
        u_int32_t address = p.numbers.Word(kAddress);
        auto& gws = _lib._gws;
        std::optional<u_int32_t> gwAt = _lib._gwIndex.Find(address);
        Gateway* gw = gwAt ? gws[*gwAt].second : nullptr;
        _lib._arrays.push_back(Build(p.kind, p.name, p.numbers, gw));
        if (!gwAt) {
            _lib._gwIndex.Insert(address, static_cast<u_int32_t>(gws.size()));
            gws.emplace_back(address, gw);
        }
    }

    [[noreturn]] void LineError(const char* what, const Keyword& keyword, const DbLine& line) {
        std::cout << "-E- " << what << " for " << keyword.word << " in DataBase file " << _dbFile
                  << " line " << std::dec << _lineNo << " : " << line.Text() << '\n';
        exit(1);
    }

    // A copy of the name in the store.
    std::string_view Name(std::string_view name) {
        char* copy = static_cast<char*>(_lib._names.allocate(name.size(), 1));
        memcpy(copy, name.data(), name.size());
        return {copy, name.size()};
    }

    template <class T, class... Args>
    T* Make(Args... args) {
        return new (_lib._store.allocate(sizeof(T), alignof(T))) T(args...);
    }

    // The line's gateway: the registered one, else a new one of kind G built
    // from words 3 to 10 and the kind's extra values.
    template <class G, class... Extra>
    Gateway* Share(Gateway* gw, const Numbers& n, Extra... extra) {
        if (gw) return gw;
        return Make<G>(n.Word(kAddress), n.Int(kCOffset), n.Int(kCSize), n.Int(kIOffset),
                       n.Int(kISize), n.Word(kMax), n.Word(kDataAddr), n.Int(kDSize), extra...);
    }

    // An array-addressed line: gateway G and array A with the numbering words.
    template <class G, class A>
    Array* Numbered(std::string_view name, const Numbers& n, Gateway*& gw) {
        gw = Share<G>(gw, n, n.Int(kAOffset), n.Int(kASize), n.Word(kMaxAIndex),
                      n.Word(kMaxIndexArr));
        // The line number takes the index bits below the array number.
        return Make<A>(name, gw, n.Word(kIndex), n.Int(kISize) - n.Int(kASize));
    }

    // Builds the array of one line and, when gw is null, its gateway.
    Array* Build(AccessType kind, std::string_view name, const Numbers& n, Gateway*& gw) {
        switch (kind) {
            case gfifo: gw = Share<GW_gfifo>(gw, n); break;
            case clear: gw = Share<GW_clear>(gw, n, n.Int(11)); break;
            case serdes: gw = Share<GW_serdes>(gw, n); break;
            case field: gw = Share<GW_field>(gw, n); break;
            case rxbuffer:
                gw = Share<Gateway>(gw, n);
                return Make<Array_rx_buffer>(name, gw, n.Word(11));
            case irisc:
                // The Max word doubles as the code size.
                gw = Share<GW_irisc>(gw, n, n.Int(12), n.Word(kMax));
                return Make<Array_irisc>(name, gw, n.Int(13), n.Int(kMax), n.Int(11), n.Int(12));
            case array_addr: return Numbered<GW_array_addr, Array_addr>(name, n, gw);
            case reqsl: return Numbered<GW_reqsl, Array_reqsl>(name, n, gw);
            case xtsram: return Numbered<GW_xtsram, Array_xtsram>(name, n, gw);
            case sxp: return Numbered<GW_sxp, Array_sxp>(name, n, gw);
            default: gw = Share<Gateway>(gw, n); break;
        }
        return Make<Array>(name, gw);
    }

    ArrLib& _lib;
    const char* _dbFile;
    unsigned _lineNo = 0;
    Parsed _parsed[2];
    Parsed* _pending = nullptr;
};

ArrLib::ArrLib(const char* db_file, const char* device)
    : _store(kHugePage, Bulk()), _names(kHugePage, Bulk()) {
    FILE* file = fopen(db_file, "rb");
    if (file == nullptr) LoadError("Cannot open DataBase file", db_file);
    Loader loader(*this, db_file);
    struct stat st {};
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) loader.Reserve(st.st_size);
    bool read = ForEachLine(file, Bulk(), [&loader](std::string_view line) { loader.Add(line); });
    fclose(file);
    if (!read) LoadError("Error reading DataBase file", db_file);
    loader.Finish();
    kfile* kf = kopen(device);
    if (kf == nullptr) LoadError("Cannot open kdt device", device);
    Gateway::SetKf(kf);
}

// ----------------------------------------------------------------- bulk memory

namespace {

// Requests of at least this size get a region of their own, in whole huge
// pages on huge-page boundaries: one fault then maps 2 MB, where 4 kB pages
// would each cost a fault of their own. Smaller ones come from the heap.
constexpr size_t kOwnRegion = 128 << 10;

size_t HugeRounded(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

class BulkMemory : public std::pmr::memory_resource {
    void* do_allocate(size_t bytes, size_t align) override {
        if (bytes < kOwnRegion) return std::pmr::new_delete_resource()->allocate(bytes, align);
        const size_t size = HugeRounded(bytes);
        // A huge page more than needed, so that the region can start on a boundary.
        void* p = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        char* raw = static_cast<char*>(p);
        const size_t head = HugeRounded(reinterpret_cast<uintptr_t>(raw)) -
                            reinterpret_cast<uintptr_t>(raw);
        if (head != 0) munmap(raw, head);
        if (head != kHugePage) munmap(raw + head + size, kHugePage - head);
        // Only advice: without huge pages the memory is as good.
        madvise(raw + head, size, MADV_HUGEPAGE);
        return raw + head;
    }
    void do_deallocate(void* p, size_t bytes, size_t align) override {
        if (bytes < kOwnRegion)
            return std::pmr::new_delete_resource()->deallocate(p, bytes, align);
        munmap(p, HugeRounded(bytes));
    }
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }
};

}  // namespace

std::pmr::memory_resource* ArrLib::Bulk() {
    static BulkMemory bulk;
    return &bulk;
}

// ---------------------------------------------------------------------- index

std::optional<u_int32_t> ArrLib::AddressIndex::Find(u_int32_t address) const {
    if (_slots.empty()) return std::nullopt;
    u_int32_t hash = Hash(address);
    for (size_t s = Home(hash);; s = (s + 1) & (_slots.size() - 1)) {
        const Slot& slot = _slots[s];
        if (slot.position == 0) return std::nullopt;
        if (slot.hash == hash) return slot.position - 1;
    }
}

void ArrLib::AddressIndex::Insert(u_int32_t address, u_int32_t position) {
    if (2 * (_used + 1) > _slots.size()) {
        std::pmr::vector<Slot> old(size_t{1} << (_bits = std::max(_bits + 1, 10u)), Bulk());
        old.swap(_slots);
        for (const Slot& slot : old)
            if (slot.position != 0) Place(slot);
    }
    Place({Hash(address), position + 1});
    ++_used;
}

void ArrLib::AddressIndex::Prefetch(u_int32_t address) const {
    if (!_slots.empty()) __builtin_prefetch(&_slots[Home(Hash(address))]);
}

void ArrLib::AddressIndex::Place(const Slot& slot) {
    size_t s = Home(slot.hash);
    while (_slots[s].position != 0) s = (s + 1) & (_slots.size() - 1);
    _slots[s] = slot;
}

// --------------------------------------------------------------------- facade

ArrLib::~ArrLib() {
    // Arrays first: they point into the gateways. The store frees the memory.
    for (Array* array : _arrays) array->~Array();
    // A gateway still holding its lock releases it here, in address order;
    // the others touch no register.
    std::vector<std::pair<u_int32_t, Gateway*>> locked;
    for (auto& entry : _gws) {
        if (entry.second->Locked())
            locked.push_back(entry);
        else
            entry.second->~Gateway();
    }
    std::sort(locked.begin(), locked.end());
    for (auto& entry : locked) entry.second->~Gateway();
    kclose(Gateway::GetKf());
    Gateway::SetKf(nullptr);
}

std::vector<ArrLib::Array*> ArrLib::ArraysByName() const {
    std::vector<Array*> sorted(_arrays.begin(), _arrays.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Array* a, const Array* b) { return a->Name() < b->Name(); });
    // Of several arrays with one name, the last line's counts.
    auto kept = sorted.begin();
    for (auto it = sorted.begin(); it != sorted.end(); ++it)
        if (it + 1 == sorted.end() || (*it)->Name() != it[1]->Name()) *kept++ = *it;
    sorted.erase(kept, sorted.end());
    return sorted;
}

std::vector<std::pair<u_int32_t, ArrLib::Gateway*>> ArrLib::GwsByAddress() const {
    std::vector<std::pair<u_int32_t, Gateway*>> sorted(_gws.begin(), _gws.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return sorted;
}

ArrLib::Gateway* ArrLib::GwExist(u_int32_t gwAddress) const {
    std::optional<u_int32_t> at = _gwIndex.Find(gwAddress);
    return at ? _gws[*at].second : nullptr;
}

ArrLib::Array* ArrLib::ArrayExist(const char* name) const {
    std::string_view wanted(name);
    // From the end: of two lines with one name the later wins.
    auto found = std::find_if(_arrays.rbegin(), _arrays.rend(),
                              [wanted](const Array* a) { return a->Name() == wanted; });
    return found == _arrays.rend() ? nullptr : *found;
}

ArrLib::Status ArrLib::ReadByGw() {
    Status lockStatus = Ok;
    for (auto& entry : GwsByAddress()) {
        Status status = entry.second->Read();
        if (status == GWLocked) {
            // The address comes out in the base the dumps left the stream in.
            std::cout << "-E- GW " << entry.first << " was not read, because it was locked"
                      << '\n';
            lockStatus = GWLocked;
        } else if (status != Ok) {
            return status;
        }
    }
    return lockStatus;
}

ArrLib::Status ArrLib::ReadByGw(u_int32_t address) {
    Gateway* gw = GwExist(address);
    return gw ? gw->Read() : GwNotFound;
}

ArrLib::Status ArrLib::ReadByGw(u_int32_t address, u_int32_t index) {
    Gateway* gw = GwExist(address);
    return gw ? gw->Read(index) : GwNotFound;
}

ArrLib::Status ArrLib::WriteByGw(u_int32_t address, u_int32_t index,
                                 const std::vector<u_int32_t>& data) {
    Gateway* gw = GwExist(address);
    return gw ? gw->Write(index, data) : GwNotFound;
}

ArrLib::Status ArrLib::ReadByArray() {
    Status lockStatus = Ok;
    const std::vector<Array*> arrays = ArraysByName();
    Progress progress("array", arrays.size());
    size_t k = 0;
    for (Array* array : arrays) {
        progress.Step(++k);
        if (array->Name() == kSkippedByWalk) continue;
        Status status = array->Read();
        if (status == GWLocked) {
            std::cout << "-E- array " << array->Name() << " was not read, because its gw was locked"
                      << '\n';
            lockStatus = GWLocked;
        } else if (status != Ok) {
            return status;
        }
    }
    return lockStatus;
}

ArrLib::Status ArrLib::ReadByArray(const char* arrName) {
    Array* array = ArrayExist(arrName);
    return array ? array->Read() : ArrayNotFound;
}

ArrLib::Status ArrLib::ReadByArray(const char* arrName, u_int32_t index) {
    Array* array = ArrayExist(arrName);
    return array ? array->Read(index) : ArrayNotFound;
}

ArrLib::Status ArrLib::WriteByArray(const char* arrName, u_int32_t index,
                                    const std::vector<u_int32_t>& data) {
    Array* array = ArrayExist(arrName);
    return array ? array->Write(index, data) : ArrayNotFound;
}
