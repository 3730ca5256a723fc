// Gateways whose index carries an array number as well as a line number.
#include <iostream>

#include "arrlib.h"

namespace {

// The only array-addressed gateway that must never be written.
constexpr u_int32_t kReadOnlyGw = 0x12160;

// reqsl: bit 9 of the index selects one of two data windows.
constexpr u_int32_t kReqslSelect = 0x200;
constexpr u_int32_t kReqslNarrowEnd = 0x60A14;
constexpr int kReqslNarrowWords = 2;
constexpr u_int32_t kReqslWideEnd = 0x60A1C;
constexpr int kReqslWideWords = 4;

// sxp: fixed control register and data window; index fields
// gw_select[20:18], xlation[17:16] (always 2), va[15:5] (row), addr_lsb[4:0].
constexpr u_int32_t kSxpCtrl = 0x1DB00;
constexpr u_int32_t kSxpDataEnd = 0x1DB3C;
constexpr int kSxpDataWords = 13;
constexpr u_int32_t kSxpXlation = 2;
constexpr u_int32_t kSxpMaxSelect = 4;
// gw_select 2 is the only one with columns: 64 rows of 32 columns, shared
// four rows each by the arrays 5 to 20.
constexpr u_int32_t kSxpColumnSelect = 2;

u_int32_t SxpIndex(u_int32_t gwSelect, u_int32_t va, u_int32_t addrLsb) {
    return (gwSelect << 18) + (kSxpXlation << 16) + (va << 5) + addrLsb;
}

u_int32_t SxpMaxRow(u_int32_t gwSelect) { return gwSelect == 0 ? 0x7F : 0x3F; }

// tag/data cache: tag entries from 0x800, data entries at (way << 6) + set.
constexpr u_int32_t kTagBase = 0x800;
constexpr u_int32_t kMaxTagLine = 0x7FF;
constexpr u_int32_t kMaxSet = 0x3F;
constexpr u_int32_t kWaysPerHalf = 16;

}  // namespace

// ------------------------------------------------------------- GW_array_addr

ArrLib::GW_array_addr::GW_array_addr(u_int32_t Address, int cOffset, int cSize, int iOffset,
                                     int iSize, u_int32_t Max, u_int32_t dAddr, int dSize,
                                     int aOffset, int aSize, u_int32_t maxAIndex,
                                     u_int32_t maxIndexArr)
    : Gateway(Address, cOffset, cSize, iOffset, iSize, Max, dAddr, dSize),
      _arrayIndexOffset(aOffset),
      _arrayIndexSize(aSize),
      _arrayMaxIndex(maxAIndex),
      _maxIndexInArray(maxIndexArr) {}

long long ArrLib::GW_array_addr::LineBits() const {
    // The array number sits right above the line number, at the top of the index field.
    return static_cast<long long>(_indexSize) - _arrayIndexSize;
}

int ArrLib::GW_array_addr::BadIndex(u_int32_t index) const {
    long long lineBits = LineBits();
    u_int32_t arrayNum =
        _arrayIndexSize == 32 ? index : Shr(index, lineBits) & Mask(_arrayIndexSize);
    u_int32_t arrIndex = lineBits == 32 ? index : index & Mask(lineBits);
    if (arrayNum <= _arrayMaxIndex && arrIndex <= _maxIndexInArray) return 0;
    std::cout << "-E- array/maximal " << arrayNum << "/" << _arrayMaxIndex << " address/maximal "
              << std::hex << arrIndex << "/" << _maxIndexInArray << '\n';
    return 1;
}

ArrLib::Status ArrLib::GW_array_addr::Read() {
    long long lineBits = LineBits();
    return LockedDump([this, lineBits] {
        return ForEachUpTo(_arrayMaxIndex, [this, lineBits](u_int32_t arr) {
            return ForEachUpTo(_maxIndexInArray, [this, lineBits, arr](u_int32_t line) {
                return DumpEntry(Shl(arr, lineBits) + line);
            });
        });
    });
}

ArrLib::Status ArrLib::GW_array_addr::Read(const std::string& arrName, u_int32_t arrIndex) {
    u_int32_t first = Shl(arrIndex, LineBits());
    return LockedDump([this, &arrName, first] {
        return ForEachUpTo(_maxIndexInArray, [this, &arrName, first](u_int32_t line) {
            return DumpEntry(first + line, arrName, line);
        });
    });
}

ArrLib::Status ArrLib::GW_array_addr::Read(u_int32_t index, std::vector<u_int32_t>& result) {
    return Gateway::Read(index, result);
}

ArrLib::Status ArrLib::GW_array_addr::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    if (_gwAddr == kReadOnlyGw) return GWReadOnly;
    return Gateway::Write(index, data);
}

// ------------------------------------------------------------------ GW_reqsl

void ArrLib::GW_reqsl::SelectWindow(u_int32_t index) {
    bool wide = index & kReqslSelect;
    _dataSize = wide ? kReqslWideWords : kReqslNarrowWords;
    _dataAddr = wide ? kReqslWideEnd : kReqslNarrowEnd;
}

ArrLib::Status ArrLib::GW_reqsl::Read(u_int32_t index, std::vector<u_int32_t>& result) {
    SelectWindow(index);
    return Gateway::Read(index, result);
}

ArrLib::Status ArrLib::GW_reqsl::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    SelectWindow(index);
    return GW_array_addr::Write(index, data);
}

ArrLib::Status ArrLib::GW_reqsl::Read(const std::string& arrName, u_int32_t arrIndex) {
    return GW_array_addr::Read(arrName, arrIndex);
}

// ----------------------------------------------------------------- GW_xtsram

void ArrLib::GW_xtsram::Activate(int command, u_int32_t index) const {
    // This gateway reads with command code 0 and writes with code 2.
    Gateway::Activate((1 - command) * 2, index);
}

int ArrLib::GW_xtsram::BadIndex(u_int32_t index) const {
    u_int32_t arrayNum = (index >> 8) & 0xFF;
    u_int32_t arrIndex = index & 0xFF;
    bool oneHot = arrayNum != 0 && (arrayNum & (arrayNum - 1)) == 0;
    if (oneHot && arrIndex <= _maxIndexInArray) return 0;
    std::cout << "-E- arrayNum " << arrayNum << "  "
              << "one and only one bit must be 1, max Value=128" << '\n';
    std::cout << " address/maximal " << std::hex << arrIndex << "/" << _maxIndexInArray
              << '\n';
    return 1;
}

ArrLib::Status ArrLib::GW_xtsram::Read() {
    return LockedDump([this] {
        for (int bit = 0; bit < 8; ++bit) {
            u_int32_t first = (1u << bit) << 8;
            Status status = ForEachUpTo(_maxIndexInArray, [this, first](u_int32_t line) {
                return DumpEntry(first + line);
            });
            if (status != Ok) return status;
        }
        return Ok;
    });
}

ArrLib::Status ArrLib::GW_xtsram::Read(const std::string& arrName, u_int32_t arrIndex) {
    // Lines are labelled with the gateway index, not the line number.
    u_int32_t first = arrIndex * 256;
    return LockedDump([this, &arrName, first] {
        return ForEachUpTo(_maxIndexInArray, [this, &arrName, first](u_int32_t line) {
            return DumpEntry(first + line, arrName, first + line);
        });
    });
}

// -------------------------------------------------------------------- GW_sxp

ArrLib::GW_sxp::GW_sxp(u_int32_t, int cOffset, int cSize, int iOffset, int iSize, u_int32_t Max,
                       u_int32_t dAddr, int dSize, int aOffset, int aSize, u_int32_t maxAIndex,
                       u_int32_t maxIndexArr)
    : GW_array_addr(kSxpCtrl, cOffset, cSize, iOffset, iSize, Max, dAddr, dSize, aOffset, aSize,
                    maxAIndex, maxIndexArr) {}

bool ArrLib::GW_sxp::LineLimit(u_int32_t arrNum, u_int32_t* limit) {
    if (arrNum == 0 || arrNum == 4 || arrNum == 21) {
        *limit = 0x3F;
    } else if (arrNum == 3 || (arrNum >= 5 && arrNum <= 20)) {
        *limit = 0x7F;
    } else {
        std::cout << "-E- sxp array number " << std::hex << arrNum << " has no rows" << '\n';
        return false;
    }
    return true;
}

bool ArrLib::GW_sxp::GwIndex(u_int32_t arrNum, u_int32_t line, u_int32_t* index) {
    switch (arrNum) {
        case 0: *index = SxpIndex(3, line, 0); return true;
        case 3: *index = SxpIndex(0, line, 0); return true;
        case 4: *index = SxpIndex(1, line, 0); return true;
        case 21: *index = SxpIndex(4, line, 0); return true;
        default: break;
    }
    u_int32_t limit;
    if (!LineLimit(arrNum, &limit)) return false;
    // Arrays 5 to 20 own four rows each, array 20 the first four.
    u_int32_t va = (20 - arrNum) * 4 + (line >> 5);
    *index = SxpIndex(kSxpColumnSelect, va, line & 0x1F);
    return true;
}

void ArrLib::GW_sxp::SelectWindow(u_int32_t index) {
    if (((index >> 18) & 7) > kSxpMaxSelect) return;
    _dataSize = kSxpDataWords;
    _dataAddr = kSxpDataEnd;
}

ArrLib::Status ArrLib::GW_sxp::Read(u_int32_t index, std::vector<u_int32_t>& result) {
    SelectWindow(index);
    return Gateway::Read(index, result);
}

ArrLib::Status ArrLib::GW_sxp::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    SelectWindow(index);
    return GW_array_addr::Write(index, data);
}

int ArrLib::GW_sxp::BadIndex(u_int32_t index) const {
    u_int32_t xlation = (index >> 16) & 3;
    u_int32_t gwSel = (index >> 18) & 7;
    u_int32_t addrLsb = index & 0x1F;
    u_int32_t va = (index >> 5) & 0x7FF;
    u_int32_t maxVa = SxpMaxRow(gwSel);
    int bad = 0;
    if (index > _maxIndex) {
        std::cout << "-E- address/maximal " << std::hex << index << "/" << _maxIndex << '\n';
        bad = 1;
    }
    if (xlation != kSxpXlation) {
        std::cout << "-E- xlation (index[17:16]) value must be 2" << '\n';
        bad = 1;
    }
    if (gwSel > kSxpMaxSelect) {
        std::cout << "-E- gw_select (index[20:18]) can be 0,1,2 or 3" << '\n';
        bad = 1;
    }
    if (gwSel != kSxpColumnSelect && addrLsb != 0) {
        std::cout << "-E- with gw_select (index[20:18]) other than 2, addr_lsb (index[4:0]) must "
                     "be 0"
                  << '\n';
        bad = 1;
    }
    if (va > maxVa) {
        std::cout << "-E- va/max" << std::hex << va << "/" << maxVa << '\n';
        bad = 1;
    }
    return bad;
}

ArrLib::Status ArrLib::GW_sxp::Read() {
    return LockedDump([this] {
        for (u_int32_t gwSel = 0; gwSel <= kSxpMaxSelect; ++gwSel) {
            u_int32_t lastColumn = gwSel == kSxpColumnSelect ? 0x1F : 0;
            for (u_int32_t va = 0; va <= SxpMaxRow(gwSel); ++va) {
                for (u_int32_t column = 0; column <= lastColumn; ++column) {
                    Status status = DumpEntry(SxpIndex(gwSel, va, column));
                    if (status != Ok) return status;
                }
            }
        }
        return Ok;
    });
}

ArrLib::Status ArrLib::GW_sxp::Read(const std::string& arrName, u_int32_t arrIndex) {
    u_int32_t limit;
    if (!LineLimit(arrIndex, &limit)) return AddrTooHigh;
    return LockedDump([this, &arrName, arrIndex, limit] {
        return ForEachUpTo(limit, [this, &arrName, arrIndex](u_int32_t line) {
            // arrIndex passed LineLimit above, so GwIndex always composes it.
            u_int32_t index = 0;
            GwIndex(arrIndex, line, &index);
            return DumpEntry(index, arrName, line);
        });
    });
}

// --------------------------------------------------------------- GW_tag_data

ArrLib::GW_tag_data::GW_tag_data(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize,
                                 u_int32_t Max, u_int32_t dAddr, int dSize, int aOffset, int aSize,
                                 u_int32_t maxAIndex, u_int32_t maxIndexArr, int tag)
    : GW_array_addr(Address, cOffset, cSize, iOffset, iSize, Max, dAddr, dSize, aOffset, aSize,
                    maxAIndex, maxIndexArr),
      _tag(tag) {}

bool ArrLib::GW_tag_data::KnownArray(u_int32_t arrNum) {
    if (arrNum <= 2) return true;
    std::cout << "-E- tag/data array number " << std::hex << arrNum << " is not 0, 1 or 2"
              << '\n';
    return false;
}

u_int32_t ArrLib::GW_tag_data::FirstWay(u_int32_t arrNum) { return arrNum == 1 ? 16 : 0; }

u_int32_t ArrLib::GW_tag_data::WindowEnd() const {
    // Variant 0 ends its window three registers higher; any other value
    // uses the window of variant 1.
    return _tag == 0 ? _dataAddr + 12 : _dataAddr;
}

void ArrLib::GW_tag_data::ReadData(std::vector<u_int32_t>& result) const {
    size_t first = result.size();
    ReadWindow(WindowEnd(), result);
    // Variant 0 holds only 16 valid bits in its last register.
    if (_tag == 0 && result.size() > first) result.back() &= 0xFFFF;
}

void ArrLib::GW_tag_data::WriteData(const std::vector<u_int32_t>& data) const {
    WriteWindow(WindowEnd(), data);
}

void ArrLib::GW_tag_data::Activate(int command, u_int32_t index) const {
    Gateway::Activate(command, index);
}

int ArrLib::GW_tag_data::BadIndex(u_int32_t index) const {
    if (index <= _maxIndex) return 0;
    std::cout << " -E- address/maximal " << std::hex << index << "/" << _maxIndex << '\n';
    return 1;
}

ArrLib::Status ArrLib::GW_tag_data::Read() { return Gateway::Read(); }

ArrLib::Status ArrLib::GW_tag_data::Read(u_int32_t index, std::vector<u_int32_t>& result) {
    return Gateway::Read(index, result);
}

ArrLib::Status ArrLib::GW_tag_data::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    return Gateway::Write(index, data);
}

ArrLib::Status ArrLib::GW_tag_data::Read(const std::string& arrName, u_int32_t arrIndex) {
    if (!KnownArray(arrIndex)) return AddrTooHigh;
    if (arrIndex == 0) {
        return LockedDump([this, &arrName] {
            return ForEachUpTo(kMaxTagLine, [this, &arrName](u_int32_t line) {
                return DumpEntry(kTagBase + line, arrName, line);
            });
        });
    }
    u_int32_t minWay = FirstWay(arrIndex);
    return LockedDump([this, &arrName, minWay] {
        return ForEachUpTo(kMaxSet, [this, &arrName, minWay](u_int32_t set) {
            // One printed line carries the words of all 16 ways, first way first.
            std::vector<u_int32_t> currRead;
            for (u_int32_t way = minWay; way < minWay + kWaysPerHalf; ++way) {
                Status status = Read((way << 6) + set, currRead);
                if (status != Ok) return status;
            }
            PrintData(arrName, set, currRead);
            return Ok;
        });
    });
}
