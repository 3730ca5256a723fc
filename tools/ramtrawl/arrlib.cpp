// The facade of the array library and the loader of the array database.
#include "arrlib.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "utils.h"

namespace {

// Only this many words of a database line are looked at.
constexpr size_t kMaxWords = 16;
// The walk over all arrays never reads this one; it can still be read by name.
const char* const kSkippedByWalk = "sxp.pb_context";
// The database is read in blocks of this size; a longer line grows the block.
constexpr size_t kReadBlock = 1 << 20;

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
            _words[_count++] = std::string_view(word, static_cast<size_t>(p - word));
        }
    }
    size_t Count() const { return _count; }
    std::string_view Word(size_t n) const { return _words[n - 1]; }
    // The line as written, without its line end.
    std::string_view Text() const {
        size_t last = _text.find_last_not_of("\r\n");
        return _text.substr(0, last == std::string_view::npos ? 0 : last + 1);
    }

private:
    std::string_view _text;
    std::string_view _words[kMaxWords];
    size_t _count = 0;
};

// The numbers of a line of a known kind, by word number: words 3 to 10 and
// the kind's own words after them, parsed in word order. Words 3 and 9 are
// addresses (hexadecimal), the others decimal.
class Numbers {
public:
    Numbers(const DbLine& line, size_t words) {
        for (size_t n = 3; n <= words; ++n)
            _value[n] = str2long(line.Word(n), n == 3 || n == 9 ? 16 : 10);
    }
    long Value(size_t n) const { return _value[n]; }
    u_int32_t Word(size_t n) const { return static_cast<u_int32_t>(_value[n]); }
    int Int(size_t n) const { return static_cast<int>(Word(n)); }

private:
    long _value[kMaxWords + 1] = {};
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
// The first value out of range is described in *bad.
bool LayoutFits(const Numbers& n, ArrLib::AccessType kind, size_t words, std::string* bad) {
    // The data registers end at DataAddr and must not run below address 0.
    const long maxData = n.Word(kDataAddr) / 4 + 1;
    Range ranges[8] = {{kCOffset, "cOffset", 0, 32}, {kCSize, "cSize", 0, 32},
                       {kIOffset, "iOffset", 0, 32}, {kISize, "iSize", 0, 32},
                       {kDSize, "dSize", 1, maxData}};
    size_t count = 5;
    if (kind == ArrLib::clear) ranges[count++] = {11, "corOffset", 0, 31};
    if (words == kMaxIndexArr) {
        // The array number takes the top bits of the index field.
        ranges[count++] = {kAOffset, "aOffset", 0, 32};
        ranges[count++] = {kASize, "aSize", 0, n.Value(kISize)};
    }
    for (const Range* r = ranges; r != ranges + count; ++r) {
        long v = n.Value(r->word);
        if (v >= r->low && v <= r->high) continue;
        *bad = std::string(r->name) + " " + std::to_string(v) + " outside " +
               std::to_string(r->low) + ".." + std::to_string(r->high);
        return false;
    }
    return true;
}

// Finds a gateway by address while the gateway list is still in file order:
// open addressing over positions in the list, kept at most half full.
class AddressIndex {
public:
    using List = std::vector<std::pair<u_int32_t, ArrLib::Gateway*>>;
    explicit AddressIndex(const List& gws) : _gws(gws), _slots(size_t{1} << _bits) {}

    ArrLib::Gateway* Find(u_int32_t address) const {
        for (size_t s = Home(address);; s = (s + 1) & (_slots.size() - 1)) {
            u_int32_t entry = _slots[s];
            if (entry == 0) return nullptr;
            if (_gws[entry - 1].first == address) return _gws[entry - 1].second;
        }
    }
    // Indexes the last gateway of the list.
    void AddLast() {
        if (2 * _gws.size() > _slots.size()) Grow();
        Insert(static_cast<u_int32_t>(_gws.size()));
    }

private:
    size_t Home(u_int32_t address) const {
        return static_cast<size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - _bits));
    }
    void Insert(u_int32_t entry) {
        size_t s = Home(_gws[entry - 1].first);
        while (_slots[s] != 0) s = (s + 1) & (_slots.size() - 1);
        _slots[s] = entry;
    }
    void Grow() {
        ++_bits;
        _slots.assign(size_t{1} << _bits, 0);
        for (u_int32_t entry = 1; entry < _gws.size(); ++entry) Insert(entry);
    }

    const List& _gws;
    unsigned _bits = 10;
    std::vector<u_int32_t> _slots;  // position in the list + 1; 0 is free
};

// Calls line(text) for each line of the file, its line feed included, in
// blocks read whole. A long line stays one line. False on a read error.
template <class Visit>
bool ForEachLine(FILE* file, Visit&& line) {
    std::vector<char> block(kReadBlock);
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
    std::cout << "-E- " << what << " : " << name << std::endl;
    exit(1);
}

}  // namespace

// --------------------------------------------------------------------- loader

// Builds the registries line by line; Finish puts them in order.
class ArrLib::Loader {
public:
    Loader(ArrLib& lib, const char* dbFile) : _lib(lib), _dbFile(dbFile), _index(lib._gws) {}

    void Add(std::string_view text) {
        ++_lineNo;
        DbLine line(text);
        if (line.Count() < 2) return;
        const Keyword* keyword = FindKeyword(line.Word(2));
        if (keyword == nullptr) return;
        if (line.Count() < keyword->words) LineError("Too few words", *keyword, line);
        Numbers numbers(line, keyword->words);
        std::string bad;
        if (!LayoutFits(numbers, keyword->kind, keyword->words, &bad))
            LineError(bad.c_str(), *keyword, line);
        u_int32_t address = numbers.Word(kAddress);
        Gateway* gw = _index.Find(address);
        bool newGw = gw == nullptr;
        _lib._arrays.push_back(Build(keyword->kind, Name(line.Word(1)), numbers, gw));
        if (newGw) {
            _lib._gws.emplace_back(address, gw);
            _index.AddLast();
        }
    }

    // Sorts both registries; of two arrays with one name the later line wins.
    void Finish() {
        auto& gws = _lib._gws;
        if (!std::is_sorted(gws.begin(), gws.end()))
            std::sort(gws.begin(), gws.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
        auto& arrays = _lib._arrays;
        auto byName = [](const Array* a, const Array* b) { return a->Name() < b->Name(); };
        if (!std::is_sorted(arrays.begin(), arrays.end(), byName))
            std::stable_sort(arrays.begin(), arrays.end(), byName);
        auto kept = arrays.begin();
        for (auto it = arrays.begin(); it != arrays.end(); ++it) {
            if (it + 1 != arrays.end() && (*it)->Name() == it[1]->Name()) {
                (*it)->~Array();
                continue;
            }
            *kept++ = *it;
        }
        arrays.erase(kept, arrays.end());
    }

private:
    [[noreturn]] void LineError(const char* what, const Keyword& keyword, const DbLine& line) {
        std::cout << "-E- " << what << " for " << keyword.word << " in DataBase file " << _dbFile
                  << " line " << std::dec << _lineNo << " : " << line.Text() << std::endl;
        exit(1);
    }

    // A copy of the name in the store, ended by a NUL.
    const char* Name(std::string_view name) {
        char* copy = static_cast<char*>(_lib._store.allocate(name.size() + 1, 1));
        memcpy(copy, name.data(), name.size());
        copy[name.size()] = '\0';
        return copy;
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
    Array* Numbered(const char* name, const Numbers& n, Gateway*& gw) {
        gw = Share<G>(gw, n, n.Int(kAOffset), n.Int(kASize), n.Word(kMaxAIndex),
                      n.Word(kMaxIndexArr));
        // The line number takes the index bits below the array number.
        return Make<A>(name, gw, n.Word(kIndex), n.Int(kISize) - n.Int(kASize));
    }

    // Builds the array of one line and, when gw is null, its gateway.
    Array* Build(AccessType kind, const char* name, const Numbers& n, Gateway*& gw) {
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
    AddressIndex _index;
    unsigned _lineNo = 0;
};

ArrLib::ArrLib(const char* db_file, const char* device) {
    FILE* file = fopen(db_file, "rb");
    if (file == nullptr) LoadError("Cannot open DataBase file", db_file);
    Loader loader(*this, db_file);
    bool read = ForEachLine(file, [&loader](std::string_view line) { loader.Add(line); });
    fclose(file);
    if (!read) LoadError("Error reading DataBase file", db_file);
    loader.Finish();
    kfile* kf = kopen(device);
    if (kf == nullptr) LoadError("Cannot open kdt device", device);
    Gateway::SetKf(kf);
}

// --------------------------------------------------------------------- facade

ArrLib::~ArrLib() {
    // Arrays first: they point into the gateways. The store frees the memory.
    for (Array* array : _arrays) array->~Array();
    // A gateway still holding its lock releases it here.
    for (auto& entry : _gws) entry.second->~Gateway();
    kclose(Gateway::GetKf());
    Gateway::SetKf(nullptr);
}

ArrLib::Gateway* ArrLib::GwExist(u_int32_t gwAddress) const {
    auto found = std::lower_bound(_gws.begin(), _gws.end(), gwAddress,
                                  [](const auto& entry, u_int32_t a) { return entry.first < a; });
    return found != _gws.end() && found->first == gwAddress ? found->second : nullptr;
}

ArrLib::Array* ArrLib::ArrayExist(const char* name) const {
    std::string_view wanted(name);
    auto found = std::lower_bound(_arrays.begin(), _arrays.end(), wanted,
                                  [](const Array* a, std::string_view n) { return a->Name() < n; });
    return found != _arrays.end() && (*found)->Name() == wanted ? *found : nullptr;
}

ArrLib::Status ArrLib::ReadByGw() {
    Status lockStatus = Ok;
    for (auto& entry : _gws) {
        Status status = entry.second->Read();
        if (status == GWLocked) {
            // The address comes out in the base the dumps left the stream in.
            std::cout << "-E- GW " << entry.first << " was not read, because it was locked"
                      << std::endl;
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
    for (Array* array : _arrays) {
        if (array->Name() == kSkippedByWalk) continue;
        Status status = array->Read();
        if (status == GWLocked) {
            std::cout << "-E- array " << array->Name() << " was not read, because its gw was locked"
                      << std::endl;
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
