#include "gateways.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace kxsim {
namespace detail {

uint32_t GatewaySide::Field(uint32_t word, uint32_t offset, uint32_t size) {
    if (size >= 32) return word;  // a field of 32 bits is the whole word
    if (size == 0 || offset >= 32) return 0;
    return (word >> offset) & (0xFFFFFFFFu >> (32 - size));
}

Operation GatewaySide::ByCode(uint32_t code, uint32_t read_code, uint32_t write_code,
                              uint32_t index) {
    // A code the gateway does not know completes without moving data.
    Action action = code == read_code ? Action::Read
                    : code == write_code ? Action::Write
                                         : Action::None;
    return Operation{action, index, false};
}

Operation GatewaySide::Decode(uint32_t ctrl) const { return ByCode(Command(ctrl), 1, 0, Index(ctrl)); }

DataWindow GatewaySide::Window(uint32_t) const { return DataWindow{_line.data_addr, _line.d_size}; }

namespace {

// "GW_clear": word 11 names the clear bit. A read started with that bit set
// hands out the entry and then clears it to zero (clear-on-read, as counters
// do); the host that writes the bit 0 reads without clearing.
class Side_clear : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    Operation Decode(uint32_t ctrl) const override {
        Operation op = GatewaySide::Decode(ctrl);
        uint32_t bit = _line.extra[0];
        op.clear_after = op.action == Action::Read && bit < 32 && (ctrl >> bit) & 1;
        return op;
    }
};

// "GW_reqsl": bit 9 of the index selects one of two fixed data windows.
class Side_reqsl : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    DataWindow Window(uint32_t index) const override {
        return (index >> 9) & 1 ? DataWindow{0x60A1C, 4} : DataWindow{0x60A14, 2};
    }
};

// "GW_xtsram": command code 0 reads, 2 writes; the index carries a one-hot
// array byte (bits 15..8) and the line (bits 7..0) and keys the entry whole.
class Side_xtsram : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    Operation Decode(uint32_t ctrl) const override { return ByCode(Command(ctrl), 0, 2, Index(ctrl)); }
};

// "GW_SXP": one gateway of the chip at a fixed place, whatever the database
// says: control at 0x1DB00, thirteen data words 0x1DB0C..0x1DB3C.
class Side_sxp : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    uint32_t control_addr() const override { return 0x1DB00; }
    DataWindow Window(uint32_t) const override { return DataWindow{0x1DB3C, 13}; }
};

// "GW_tag_data": word 16 (tag) 0 moves the data window up by three words,
// and in that window only the low half of the last word is wired.
class Side_tag_data : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    DataWindow Window(uint32_t) const override {
        return DataWindow{shifted() ? _line.data_addr + 12 : _line.data_addr, _line.d_size};
    }
    void Present(std::vector<uint32_t>& words) const override {
        if (shifted() && !words.empty()) words.back() &= 0xFFFF;
    }

private:
    // Any tag other than 0 keeps the database's window.
    bool shifted() const { return _line.extra[5] == 0; }
};

// "GW_tag_data2": the command travels one bit up (2 reads, 0 writes); a
// control word with bit 29 set is not a valid start and moves nothing.
class Side_tag_data2 : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    Operation Decode(uint32_t ctrl) const override {
        if (ctrl & 0x20000000u) return Operation{Action::None, 0, false};
        return ByCode(Command(ctrl), 2, 0, Index(ctrl));
    }
};

// "GW_be_address": the control write (command in its field, bit 27 0) arms
// the gateway; the write of the whole 32-bit index to control + 4 starts it.
// With bit 27 set the control word is not a valid start.
class Side_be_address : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    bool HasIndexRegister() const override { return true; }
    Operation Decode(uint32_t ctrl) const override {
        if (ctrl & 0x08000000u) return Operation{Action::None, 0, false};
        return ByCode(Command(ctrl), 1, 0, 0);
    }
};

// "GW_irisc": the host writes whole control words: bits 29..24 command,
// 23..20 way, 19..6 entry. Four arrays, each with a read code (1, 3, 0x11,
// 0x13) and a write code one above it; any other code moves nothing.
class Side_irisc : public GatewaySide {
public:
    using GatewaySide::GatewaySide;
    Operation Decode(uint32_t ctrl) const override {
        uint32_t code = (ctrl >> 24) & 0x3F;
        uint32_t array = ArrayOf(code);
        if (!array) return Operation{Action::None, 0, false};
        return Operation{code == array ? Action::Read : Action::Write, ctrl, false};
    }
    // Entries are keyed by array (its read code), way and entry, so that a
    // write with code 2 is read back by code 1.
    uint32_t EntryKey(uint32_t ctrl) const override {
        uint32_t code = (ctrl >> 24) & 0x3F;
        uint32_t array = ArrayOf(code);
        return ((array ? array : code) << 24) | (ctrl & 0x00FFFFC0u);
    }

private:
    static uint32_t ArrayOf(uint32_t code) {
        for (uint32_t read_code : {0x01u, 0x03u, 0x11u, 0x13u}) {
            if (code == read_code || code == read_code + 1) return read_code;
        }
        return 0;
    }
};

template <class Side>
std::unique_ptr<GatewaySide> Make(const GatewayLine& line) {
    return std::make_unique<Side>(line);
}

struct Kind {
    const char* keyword;
    size_t words;  // words the line must have for this kind
    std::unique_ptr<GatewaySide> (*make)(const GatewayLine&);
};

// Plain base gateways on the chip side: the packing of "GW_simple_special",
// the pre-read byte of "GW_field" (a plain register at control + 0xC) and
// the receive-buffer lanes of "GW_rx_buffer" are the host's business.
const Kind kKinds[] = {
    {"GW_simple", 10, Make<GatewaySide>},      {"GW_gfifo", 10, Make<GatewaySide>},
    {"GW_serdes", 10, Make<GatewaySide>},      {"GW_rx_buffer", 10, Make<GatewaySide>},
    {"GW_array_addr", 10, Make<GatewaySide>},  {"GW_simple_special", 10, Make<GatewaySide>},
    {"GW_field", 10, Make<GatewaySide>},       {"GW_clear", 11, Make<Side_clear>},
    {"GW_reqsl", 10, Make<Side_reqsl>},         {"GW_xtsram", 10, Make<Side_xtsram>},
    {"GW_SXP", 10, Make<Side_sxp>},             {"GW_tag_data", 16, Make<Side_tag_data>},
    {"GW_tag_data2", 10, Make<Side_tag_data2>},  {"GW_be_address", 10, Make<Side_be_address>},
    {"GW_irisc", 10, Make<Side_irisc>},
};

const Kind* FindKind(const std::string& keyword) {
    for (const Kind& kind : kKinds) {
        if (keyword == kind.keyword) return &kind;
    }
    return nullptr;
}

// A number word; negative decimals wrap to 32 bits as the host's parser does.
bool ParseNumber(const std::string& word, int base, uint32_t* value) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(word.c_str(), &end, base);
    if (errno || end == word.c_str() || *end) return false;
    *value = uint32_t(v);
    return true;
}

bool ParseLine(const std::vector<std::string>& words, GatewayLine* line, std::string* bad) {
    uint32_t* targets[] = {&line->addr,   &line->c_offset, &line->c_size,    &line->i_offset,
                           &line->i_size, &line->max,      &line->data_addr, &line->d_size};
    for (size_t i = 0; i < words.size() - 2; ++i) {
        int base = (i == 0 || i == 6) ? 16 : 10;  // words 3 and 9 are hexadecimal
        uint32_t value;
        if (!ParseNumber(words[i + 2], base, &value)) {
            *bad = words[i + 2];
            return false;
        }
        if (i < 8) *targets[i] = value;
        else line->extra.push_back(value);
    }
    return true;
}

bool Fail(std::string* error, const std::string& what) {
    *error = what;
    return false;
}

std::string Where(const std::string& path, int line_number) {
    return path + ":" + std::to_string(line_number) + ": ";
}

// A control register off the word grid or outside CR space, or an entry
// wider than the store holds, would make the chip side meaningless.
bool Check(const GatewaySide& side, const GatewayLine& line, const std::string& where,
           std::string* error) {
    uint32_t ctrl = side.control_addr();
    if (ctrl % 4 || ctrl > kCrBytes - 8) return Fail(error, where + "control register outside CR space");
    if (line.d_size > kMaxEntryWords) {
        return Fail(error, where + "more than " + std::to_string(kMaxEntryWords) + " data words");
    }
    return true;
}

}  // namespace

bool ParseDatabase(const std::string& path, std::vector<std::unique_ptr<GatewaySide>>* sides,
                   std::string* error) {
    std::ifstream in(path);
    if (!in) return Fail(error, "cannot open " + path + ": " + std::strerror(errno));
    std::set<uint32_t> seen;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::istringstream split(text);
        std::vector<std::string> words;
        for (std::string w; split >> w;) words.push_back(w);
        const Kind* kind = words.size() >= 10 ? FindKind(words[1]) : nullptr;
        if (!kind) continue;
        std::string where = Where(path, number), bad;
        if (words.size() < kind->words) {
            return Fail(error, where + words[1] + " needs " + std::to_string(kind->words) + " words");
        }
        GatewayLine line{};
        if (!ParseLine(words, &line, &bad)) return Fail(error, where + "bad number " + bad);
        if (!seen.insert(line.addr).second) continue;  // the first line of an address wins
        sides->push_back(kind->make(line));
        if (!Check(*sides->back(), line, where, error)) return false;
    }
    if (in.bad()) return Fail(error, "cannot read " + path);
    return true;
}

}  // namespace detail
}  // namespace kxsim
