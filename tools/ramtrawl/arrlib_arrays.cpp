// Arrays: a named memory behind a gateway; each kind turns its line numbers
// into gateway indexes.
#include <iostream>

#include "arrlib.h"

namespace {

constexpr u_int32_t kXtsramMaxLine = 0xFF;
constexpr u_int32_t kTagWriteBase = 0x800;
constexpr u_int32_t kWaysPerHalf = 16;

// Receive buffer: entries of a flags word and eight lane words; bit 11 of
// the gateway index selects the half.
constexpr u_int32_t kRxMaxLine = 0xFFF;
constexpr u_int32_t kRxLastDumpLine = 0x7FF;
constexpr u_int32_t kRxHalfBit = 0x800;
constexpr size_t kRxEntryWords = 9;

}  // namespace

// ---------------------------------------------------------------------- Array

ArrLib::Array::Array(std::string_view name, Gateway* gw) : _name(name), _associatedGateway(gw) {}

ArrLib::Array::~Array() = default;

ArrLib::Status ArrLib::Array::ReadLine(u_int32_t gwIndex, u_int32_t line) const {
    std::vector<u_int32_t> currRead;
    Status status = _associatedGateway->Read(gwIndex, currRead);
    if (status == Ok) _associatedGateway->PrintData(std::string(_name), line, currRead);
    return status;
}

ArrLib::Status ArrLib::Array::DumpNumbered(u_int32_t arrNum) const {
    // A database may put a numbered array behind an address first built as
    // a gateway without array numbers; such a gateway cannot dump one array.
    auto* gw = dynamic_cast<GW_array_addr*>(_associatedGateway);
    if (gw == nullptr) {
        std::cout << "-E- GW " << std::hex << _associatedGateway->Address() << " of array " << _name
                  << " has no array numbers" << '\n';
        return AccessError;
    }
    return gw->Read(std::string(_name), arrNum);
}

int ArrLib::Array::LineBeyond(u_int32_t line, u_int32_t limit) {
    if (line <= limit) return 0;
    std::cout << "-E- address/limit(bits) " << std::hex << line << "/" << limit << '\n';
    return 1;
}

ArrLib::Status ArrLib::Array::Read() { return _associatedGateway->Read(std::string(_name)); }

ArrLib::Status ArrLib::Array::Read(u_int32_t index) { return ReadLine(index, index); }

ArrLib::Status ArrLib::Array::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    return _associatedGateway->Write(index, data);
}

// ----------------------------------------------------------------- Array_addr

ArrLib::Array_addr::Array_addr(std::string_view Name, Gateway* Gw, u_int32_t index, int size)
    : Array(Name, Gw), _index(index), _size(size) {}

int ArrLib::Array_addr::BadIndex(u_int32_t index) const {
    // A width of 32 bits or more accepts every line number.
    return LineBeyond(index, Gateway::Shl(1, _size) - 1);
}

ArrLib::Status ArrLib::Array_addr::Read() { return DumpNumbered(_index); }

ArrLib::Status ArrLib::Array_addr::Read(u_int32_t index) {
    if (BadIndex(index)) return AddrTooHigh;
    return ReadLine(Gateway::Shl(_index, _size) + index, index);
}

ArrLib::Status ArrLib::Array_addr::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    if (BadIndex(index)) return AddrTooHigh;
    return _associatedGateway->Write(Gateway::Shl(_index, _size) + index, data);
}

// --------------------------------------------------------------- Array_xtsram

int ArrLib::Array_xtsram::BadIndex(u_int32_t index) const {
    return LineBeyond(index, kXtsramMaxLine);
}

ArrLib::Status ArrLib::Array_xtsram::Read(u_int32_t index) {
    if (BadIndex(index)) return AddrTooHigh;
    return ReadLine(_index * 256 + index, index);
}

ArrLib::Status ArrLib::Array_xtsram::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    if (BadIndex(index)) return AddrTooHigh;
    u_int32_t writeIndex = _index * 256 + index;
    std::cout << std::hex << writeIndex << '\n';
    return _associatedGateway->Write(writeIndex, data);
}

// ------------------------------------------------------------------ Array_sxp

int ArrLib::Array_sxp::BadIndex(u_int32_t index) const {
    u_int32_t limit;
    if (!GW_sxp::LineLimit(_index, &limit)) return 1;
    return LineBeyond(index, limit);
}

ArrLib::Status ArrLib::Array_sxp::Read(u_int32_t index) {
    u_int32_t gwIndex;
    if (BadIndex(index) || !GW_sxp::GwIndex(_index, index, &gwIndex)) return AddrTooHigh;
    return ReadLine(gwIndex, index);
}

ArrLib::Status ArrLib::Array_sxp::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    u_int32_t gwIndex;
    if (BadIndex(index) || !GW_sxp::GwIndex(_index, index, &gwIndex)) return AddrTooHigh;
    return _associatedGateway->Write(gwIndex, data);
}

// ------------------------------------------------------------- Array_tag_data

ArrLib::Array_tag_data::Array_tag_data(std::string_view Name, Gateway* Gw, u_int32_t index,
                                       int size)
    : Array(Name, Gw), _index(index), _size(size) {}

int ArrLib::Array_tag_data::BadIndex(u_int32_t index) const {
    return LineBeyond(index, Gateway::Shl(1, _size) - 1);
}

ArrLib::Status ArrLib::Array_tag_data::Read() { return DumpNumbered(_index); }

ArrLib::Status ArrLib::Array_tag_data::Read(u_int32_t index) {
    if (BadIndex(index) || !GW_tag_data::KnownArray(_index)) return AddrTooHigh;
    // The tag array sits right above the line numbers.
    if (_index == 0) return ReadLine(Gateway::Shl(1, _size) + index, index);
    // A data line is one set across the 16 ways of its half, first way first.
    std::vector<u_int32_t> currRead;
    u_int32_t minWay = GW_tag_data::FirstWay(_index);
    for (u_int32_t way = minWay; way < minWay + kWaysPerHalf; ++way) {
        Status status = _associatedGateway->Read((way << 6) + index, currRead);
        if (status != Ok) return status;
    }
    _associatedGateway->PrintData(std::string(_name), index, currRead);
    return Ok;
}

ArrLib::Status ArrLib::Array_tag_data::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    if (BadIndex(index) || !GW_tag_data::KnownArray(_index)) return AddrTooHigh;
    if (_index == 0) return _associatedGateway->Write(kTagWriteBase + index, data);
    // Two words per way, least significant first; missing words are 0.
    u_int32_t minWay = GW_tag_data::FirstWay(_index);
    for (u_int32_t way = 0; way < kWaysPerHalf; ++way) {
        std::vector<u_int32_t> pair(2, 0);
        for (size_t k = 0; k < pair.size(); ++k) {
            size_t word = 2 * way + k;
            if (word < data.size()) pair[k] = data[word];
        }
        Status status = _associatedGateway->Write(((minWay + way) << 6) + index, pair);
        if (status != Ok) return status;
    }
    return Ok;
}

// ------------------------------------------------------------ Array_rx_buffer

ArrLib::Array_rx_buffer::Array_rx_buffer(std::string_view Name, Gateway* Gw, u_int32_t index)
    : Array(Name, Gw), _index(index) {}

int ArrLib::Array_rx_buffer::BadIndex(u_int32_t index) const {
    if (index <= kRxMaxLine) return 0;
    std::cout << "-E- address/maximal " << std::hex << index << "/FFFF" << '\n';
    return 1;
}

ArrLib::Status ArrLib::Array_rx_buffer::Read(u_int32_t index) {
    if (BadIndex(index)) return AddrTooHigh;
    // Bit 3 of the array's index picks the half, bits 2..0 the lane.
    u_int32_t readIndex = (index & ~kRxHalfBit) | (((_index >> 3) & 1) << 11);
    std::vector<u_int32_t> result;
    Status status = _associatedGateway->Read(readIndex, result);
    if (status != Ok) return status;
    if (result.size() < kRxEntryWords) {
        std::cout << "-E- GW " << std::hex << _associatedGateway->Address() << " of array " << _name
                  << " delivers " << std::dec << result.size() << " words, a receive buffer needs "
                  << kRxEntryWords << std::hex << '\n';
        return AccessError;
    }
    u_int32_t msbs = result[0];
    u_int32_t lane = _index & 7;
    // Lane 0 is the entry's least significant word; the flags word holds a
    // start bit per lane in byte 0 and an end bit per lane in byte 1.
    u_int32_t word = result[8 - lane];
    u_int32_t start = (msbs >> lane) & 1;
    u_int32_t end = (msbs >> (8 + lane)) & 1;
    result = {word, (end << 1) | start};
    _associatedGateway->PrintData(std::string(_name), index, result);
    return Ok;
}

ArrLib::Status ArrLib::Array_rx_buffer::Read() {
    // Every line takes and releases the lock on its own.
    for (u_int32_t line = 0; line <= kRxLastDumpLine; ++line) {
        Status status = Read(line);
        if (status != Ok) return status;
    }
    return Ok;
}

ArrLib::Status ArrLib::Array_rx_buffer::Write(u_int32_t, const std::vector<u_int32_t>&) {
    return GWReadOnly;
}
