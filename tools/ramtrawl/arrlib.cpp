// The facade of the array library and the loader of the array database.
#include "arrlib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "progress.h"
#include "utils.h"

namespace {

// Only this many words of a database line are looked at.
constexpr size_t kMaxWords = 16;
// The walk over all arrays never reads this one; it can still be read by name.
const char* const kSkippedByWalk = "sxp.pb_context";

struct Keyword {
    const char* word;
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

const Keyword* FindKeyword(const std::string& word) {
    for (const Keyword& k : kKeywords)
        if (word == k.word) return &k;
    return nullptr;
}

// One database line split into its words (word 1 is element 0).
class DbLine {
public:
    explicit DbLine(const std::string& text) : _text(text) {
        static const char* const kDelimiters = " \t\n";
        size_t pos = text.find_first_not_of(kDelimiters);
        while (pos != std::string::npos && _words.size() < kMaxWords) {
            size_t end = text.find_first_of(kDelimiters, pos);
            _words.push_back(text.substr(pos, end - pos));
            pos = text.find_first_not_of(kDelimiters, end);
        }
    }
    size_t Count() const { return _words.size(); }
    const std::string& Word(size_t n) const { return _words[n - 1]; }
    u_int32_t Hex(size_t n) const { return static_cast<u_int32_t>(str2long(Word(n).c_str(), 16)); }
    u_int32_t Dec(size_t n) const { return static_cast<u_int32_t>(str2long(Word(n).c_str(), 10)); }
    int Int(size_t n) const { return static_cast<int>(Dec(n)); }
    std::string Text() const { return _text.substr(0, _text.find_last_not_of("\r\n") + 1); }

private:
    std::string _text;
    std::vector<std::string> _words;
};

// Words 3 to 10: the register layout every gateway kind takes.
struct Layout {
    explicit Layout(const DbLine& l)
        : address(l.Hex(3)),
          cOffset(l.Int(4)),
          cSize(l.Int(5)),
          iOffset(l.Int(6)),
          iSize(l.Int(7)),
          max(l.Dec(8)),
          dataAddr(l.Hex(9)),
          dSize(l.Int(10)) {}
    u_int32_t address;
    int cOffset, cSize, iOffset, iSize;
    u_int32_t max;
    u_int32_t dataAddr;
    int dSize;
};

// Words 11 to 15 of the array-addressed kinds.
struct Numbering {
    explicit Numbering(const DbLine& l)
        : aOffset(l.Int(11)),
          aSize(l.Int(12)),
          index(l.Dec(13)),
          maxAIndex(l.Dec(14)),
          maxIndexArr(l.Dec(15)) {}
    int aOffset, aSize;
    u_int32_t index, maxAIndex, maxIndexArr;
};

// The line's gateway: the registered one, else a new one of kind G built
// from the layout and the kind's extra values.
template <class G, class... Extra>
ArrLib::Gateway* Share(ArrLib::Gateway* gw, const Layout& g, Extra... extra) {
    if (gw) return gw;
    return new G(g.address, g.cOffset, g.cSize, g.iOffset, g.iSize, g.max, g.dataAddr, g.dSize,
                 extra...);
}

// An array-addressed line: gateway G and array A with the numbering words.
template <class G, class A>
ArrLib::Array* Numbered(const DbLine& l, const Layout& g, ArrLib::Gateway*& gw) {
    Numbering n(l);
    gw = Share<G>(gw, g, n.aOffset, n.aSize, n.maxAIndex, n.maxIndexArr);
    // The line number takes the index bits below the array number.
    return new A(l.Word(1).c_str(), gw, n.index, g.iSize - n.aSize);
}

// Builds the array of one line and, when gw is null, its gateway; the
// kind-specific words are parsed in word order whether or not the gateway exists.
ArrLib::Array* BuildArray(ArrLib::AccessType kind, const DbLine& l, const Layout& g,
                          ArrLib::Gateway*& gw) {
    const char* name = l.Word(1).c_str();
    switch (kind) {
        case ArrLib::gfifo: gw = Share<ArrLib::GW_gfifo>(gw, g); break;
        case ArrLib::clear: gw = Share<ArrLib::GW_clear>(gw, g, l.Int(11)); break;
        case ArrLib::serdes: gw = Share<ArrLib::GW_serdes>(gw, g); break;
        case ArrLib::field: gw = Share<ArrLib::GW_field>(gw, g); break;
        case ArrLib::rxbuffer: {
            u_int32_t index = l.Dec(11);
            gw = Share<ArrLib::Gateway>(gw, g);
            return new ArrLib::Array_rx_buffer(name, gw, index);
        }
        case ArrLib::irisc: {
            int type = l.Int(11), ways = l.Int(12), tag = l.Int(13);
            // The Max word doubles as the code size.
            gw = Share<ArrLib::GW_irisc>(gw, g, ways, g.max);
            return new ArrLib::Array_irisc(name, gw, tag, static_cast<int>(g.max), type, ways);
        }
        case ArrLib::array_addr:
            return Numbered<ArrLib::GW_array_addr, ArrLib::Array_addr>(l, g, gw);
        case ArrLib::reqsl: return Numbered<ArrLib::GW_reqsl, ArrLib::Array_reqsl>(l, g, gw);
        case ArrLib::xtsram: return Numbered<ArrLib::GW_xtsram, ArrLib::Array_xtsram>(l, g, gw);
        case ArrLib::sxp: return Numbered<ArrLib::GW_sxp, ArrLib::Array_sxp>(l, g, gw);
        default: gw = Share<ArrLib::Gateway>(gw, g); break;
    }
    return new ArrLib::Array(name, gw);
}

// Reads one whole line, however long, so that no part of a long line is
// ever taken for a line of its own. False at the end of the file.
bool ReadLine(FILE* file, std::string& line) {
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = getline(&buffer, &capacity, file);
    if (length >= 0) line.assign(buffer, static_cast<size_t>(length));
    free(buffer);
    return length >= 0;
}

[[noreturn]] void LoadError(const char* what, const char* name) {
    std::cout << "-E- " << what << " : " << name << std::endl;
    exit(1);
}

}  // namespace

// --------------------------------------------------------------------- loader

ArrLib::ArrLib(const char* db_file, const char* device) {
    FILE* file = fopen(db_file, "rb");
    if (file == nullptr) LoadError("Cannot open DataBase file", db_file);
    std::string text;
    for (unsigned lineNo = 1; ReadLine(file, text); ++lineNo) {
        DbLine line(text);
        if (line.Count() < 2) continue;
        const Keyword* keyword = FindKeyword(line.Word(2));
        if (keyword == nullptr) continue;
        if (line.Count() < keyword->words) {
            std::cout << "-E- Too few words for " << keyword->word << " in DataBase file "
                      << db_file << " line " << std::dec << lineNo << " : " << line.Text()
                      << std::endl;
            exit(1);
        }
        Layout layout(line);
        Gateway* gw = GwExist(layout.address);
        bool newGw = gw == nullptr;
        Array* array = BuildArray(keyword->kind, line, layout, gw);
        if (newGw) _gws[layout.address] = gw;
        // A name given twice: the later line wins.
        Array*& slot = _arrays[line.Word(1)];
        delete slot;
        slot = array;
    }
    bool readError = ferror(file);
    fclose(file);
    if (readError) LoadError("Error reading DataBase file", db_file);
    kfile* kf = kopen(device);
    if (kf == nullptr) LoadError("Cannot open kdt device", device);
    Gateway::SetKf(kf);
}

// --------------------------------------------------------------------- facade

ArrLib::~ArrLib() {
    // Arrays first: they point into the gateways.
    for (auto& entry : _arrays) delete entry.second;
    // A gateway still holding its lock releases it here.
    for (auto& entry : _gws) delete entry.second;
    kclose(Gateway::GetKf());
    Gateway::SetKf(nullptr);
}

ArrLib::Gateway* ArrLib::GwExist(u_int32_t gwAddress) const {
    auto found = _gws.find(gwAddress);
    return found == _gws.end() ? nullptr : found->second;
}

ArrLib::Array* ArrLib::ArrayExist(const char* name) const {
    auto found = _arrays.find(name);
    return found == _arrays.end() ? nullptr : found->second;
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
    Progress progress("array", _arrays.size());
    size_t k = 0;
    for (auto& entry : _arrays) {
        progress.Step(++k);
        if (entry.first == kSkippedByWalk) continue;
        Status status = entry.second->Read();
        if (status == GWLocked) {
            std::cout << "-E- array " << entry.first << " was not read, because its gw was locked"
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
