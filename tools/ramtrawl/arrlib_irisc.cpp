// The embedded processor's cache gateway and the cache arrays behind it. The
// caller composes whole control words: command (29..24, bit 24 = read),
// way (23..20) and entry (19..6).
#include <algorithm>
#include <iostream>
#include <vector>

#include "arrlib.h"

using std::vector;

namespace {

constexpr u_int32_t kStartBits = 0xC0000000u;
constexpr u_int32_t kReadBit = 0x01000000u;

u_int32_t IriscCtrl(u_int32_t cmd, u_int32_t way, u_int32_t entry) {
    return ((cmd & 0x3Fu) << 24) | ((way & 0xFu) << 20) | ((entry & 0x3FFFu) << 6);
}

// Calls visit(way, entry) for every entry of `ways` ways of `entries`
// entries, ways in the outer loop or in the inner one; stops at the first
// status other than Ok and returns it.
template <typename Visit>
ArrLib::Status ForEachEntry(u_int64_t ways, u_int64_t entries, bool wayOuter, Visit visit) {
    u_int64_t outer = wayOuter ? ways : entries;
    u_int64_t inner = wayOuter ? entries : ways;
    for (u_int64_t o = 0; o < outer; ++o)
        for (u_int64_t i = 0; i < inner; ++i) {
            ArrLib::Status status = wayOuter ? visit(o, i) : visit(i, o);
            if (status != ArrLib::Ok) return status;
        }
    return ArrLib::Ok;
}

}  // namespace

// ------------------------------------------------------------------ GW_irisc

ArrLib::GW_irisc::GW_irisc(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize,
                           u_int32_t Max, u_int32_t dAddr, int dSize, int ways,
                           u_int32_t codeSize)
    : Gateway(Address, cOffset, cSize, iOffset, iSize, Max, dAddr, dSize),
      _ways(ways),
      _codeSize(codeSize) {}

// Every bit but lock and busy comes from the caller's control word.
void ArrLib::GW_irisc::Activate(u_int32_t ctrl) const { CrWrite(_gwAddr, ctrl | kStartBits); }

// One transaction in the direction bit 24 of ctrl names. Takes and releases
// the lock only when the caller does not hold it already (a dump does).
ArrLib::Status ArrLib::GW_irisc::Access(u_int32_t ctrl, vector<u_int32_t>& data) {
    bool toLock = !_locked;
    if (toLock && Lock() != Ok) return GWLocked;
    if (PollBusy(0) != Ok) {
        std::cout << "-E- GW " << std::hex << _gwAddr << " is busy before read attempt"
                  << '\n';
        return GWBusy;
    }
    bool read = (ctrl & kReadBit) != 0;
    if (!read) WriteData(data);
    Activate(ctrl);
    if (PollBusy(0) != Ok) {
        std::cout << "-E- GW " << std::hex << _gwAddr << " is busy, waited for the read to end "
                  << "1000" << " attempts" << '\n';
        return GWBusy;
    }
    if (read) ReadData(data);
    if (toLock) UnLock();
    return Ok;
}

// A control word from the command line goes to the chip as given, apart from
// the direction bit.
ArrLib::Status ArrLib::GW_irisc::Read(u_int32_t index) {
    u_int32_t readIndex = index | kReadBit;
    vector<u_int32_t> data;
    Status readStatus = Access(readIndex, data);
    if (readStatus == Ok) PrintData(readIndex, data);
    return readStatus;
}

ArrLib::Status ArrLib::GW_irisc::Write(u_int32_t index, const vector<u_int32_t>& data) {
    vector<u_int32_t> writeData(data);
    return Access(index & ~kReadBit, writeData);
}

// Dumps the four arrays, one locked transaction per entry: the small ones way
// by way, the large ones entry by entry across the ways.
ArrLib::Status ArrLib::GW_irisc::Read() {
    struct Pass {
        u_int32_t cmd;
        u_int64_t ways;
        u_int64_t entries;
        bool wayOuter;
    };
    u_int64_t ways = std::max(_ways, 0);
    const Pass passes[] = {{0x01, 4, _codeSize, true},
                           {0x11, ways, 64, true},
                           {0x03, 4, 16ull * _codeSize, false},
                           {0x13, ways, 1024, false}};
    for (const Pass& pass : passes) {
        Status status = ForEachEntry(pass.ways, pass.entries, pass.wayOuter,
                                     [&](u_int64_t way, u_int64_t entry) {
                                         return Read(IriscCtrl(pass.cmd, way, entry));
                                     });
        if (status != Ok) return status;
    }
    return Ok;
}

// Commands 1 to 4 address the 4-way arrays of _codeSize entries per way (16
// times as many for 3 and 4); the commands above address the _ways-way arrays
// of 64 or 1024 entries. Prints nothing.
int ArrLib::GW_irisc::BadIndex(u_int32_t ctrl) const {
    u_int32_t cmd = (ctrl >> 24) & 0x3F;
    u_int32_t way = (ctrl >> 20) & 0xF;
    u_int32_t entry = (ctrl >> 6) & 0x3FFF;
    bool large = cmd == 3 || cmd == 4 || cmd == 0x13 || cmd == 0x14;
    bool bad;
    if (cmd <= 10)
        bad = way > 3 || entry >= (large ? 16ull * _codeSize : _codeSize);
    else
        bad = static_cast<long long>(way) >= _ways || entry > (large ? 1023u : 63u);
    return bad ? 1 : 0;
}

// --------------------------------------------------------------- Array_irisc

namespace {

// What one cache array object addresses: a single way (way selector 0 to 3)
// or every way of its memory, and the codes and sizes of that memory.
struct IriscLayout {
    u_int32_t readCode;  // the write code is the next value
    u_int32_t firstWay;
    u_int32_t wayCount;
    u_int64_t entries;
};

// The all-ways command of a memory is its single-way command + 2 and reaches
// 16 entries for each entry of one way.
IriscLayout LayoutOf(int tag, int codeSize, int type, int ways) {
    IriscLayout layout = type == 0
                             ? IriscLayout{0x11, 0, static_cast<u_int32_t>(std::max(ways, 0)), 64}
                             : IriscLayout{0x01, 0, 4, static_cast<u_int32_t>(codeSize)};
    if (tag <= 3) {
        layout.firstWay = static_cast<u_int32_t>(tag);
        layout.wayCount = 1;
    } else {
        layout.readCode += 2;
        layout.entries *= 16;
    }
    return layout;
}

}  // namespace

ArrLib::Array_irisc::Array_irisc(std::string_view Name, Gateway* Gw, int tag, int codeSize,
                                 int type, int ways)
    : Array(Name, Gw), _tag(tag), _codeSize(codeSize), _type(type), _ways(ways) {}

int ArrLib::Array_irisc::BadIndex(u_int32_t index) const {
    return index >= LayoutOf(_tag, _codeSize, _type, _ways).entries ? 1 : 0;
}

// One line: the entry in each way, highest way first, each way its own
// locked transaction.
ArrLib::Status ArrLib::Array_irisc::Read(u_int32_t index) {
    auto* gw = dynamic_cast<GW_irisc*>(_associatedGateway);
    if (gw == nullptr) return AccessError;
    if (BadIndex(index)) return AddrTooHigh;
    IriscLayout layout = LayoutOf(_tag, _codeSize, _type, _ways);
    vector<u_int32_t> data;
    for (u_int32_t k = layout.wayCount; k-- > 0;) {
        Status status = gw->Access(IriscCtrl(layout.readCode, layout.firstWay + k, index), data);
        if (status != Ok) return status;
    }
    gw->PrintData(std::string(_name), index, data);
    return Ok;
}

// Highest way first; each lower way takes the words one position later, and
// once the words run out the lower ways receive 0.
ArrLib::Status ArrLib::Array_irisc::Write(u_int32_t index, const vector<u_int32_t>& data) {
    auto* gw = dynamic_cast<GW_irisc*>(_associatedGateway);
    if (gw == nullptr) return AccessError;
    if (BadIndex(index)) return AddrTooHigh;
    IriscLayout layout = LayoutOf(_tag, _codeSize, _type, _ways);
    vector<u_int32_t> writeData(data);
    writeData.resize(data.size() + 4, 0);
    for (u_int32_t k = layout.wayCount; k-- > 0;) {
        u_int32_t ctrl = IriscCtrl(layout.readCode + 1, layout.firstWay + k, index);
        Status status = gw->Access(ctrl, writeData);
        if (status != Ok) return status;
        if (!writeData.empty()) writeData.erase(writeData.begin());
    }
    return Ok;
}

// The whole memory under one lock, way 0 first in each line. Unlike the other
// dumps it releases the lock when a transaction fails.
ArrLib::Status ArrLib::Array_irisc::Read() {
    auto* gw = dynamic_cast<GW_irisc*>(_associatedGateway);
    if (gw == nullptr) return AccessError;
    if (gw->Lock() != Ok) return GWLocked;
    IriscLayout layout = LayoutOf(_tag, _codeSize, _type, _ways);
    Status readStatus = Ok;
    for (u_int64_t entry = 0; entry < layout.entries && readStatus == Ok; ++entry) {
        vector<u_int32_t> data;
        for (u_int32_t k = 0; k < layout.wayCount && readStatus == Ok; ++k)
            readStatus = gw->Access(IriscCtrl(layout.readCode, layout.firstWay + k, entry), data);
        if (readStatus == Ok) gw->PrintData(std::string(_name), entry, data);
    }
    gw->UnLock();
    return readStatus;
}
