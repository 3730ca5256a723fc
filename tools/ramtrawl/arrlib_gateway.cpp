// The gateway protocol shared by every gateway kind: lock, busy wait, data
// registers, control word, release; the dumps and the printed form of entries.
//
// Lines end in '\n' without a flush of their own: standard output is line
// buffered on a terminal and block buffered otherwise (a dump into a pipe or
// a file costs no write per line). The one writer to standard error flushes
// standard output first.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>

#include "arrlib.h"

namespace {

constexpr u_int32_t kLockBit = 0x80000000u;
constexpr u_int32_t kBusyBit = 0x40000000u;
// Lock and busy polling give up after this many extra reads (1002 in all).
constexpr int kPollLimit = 1000;
// What a data word holds until its register has been read.
constexpr u_int32_t kUnreadWord = 0xEEEEEEEEu;

}  // namespace

std::ostream& operator<<(std::ostream& os, const std::vector<u_int32_t>& words) {
    os << std::hex << std::setfill('0');
    for (u_int32_t word : words) os << std::setw(8) << word << ' ';
    return os;
}

kfile* ArrLib::Gateway::_kf = nullptr;

ArrLib::Gateway::Gateway(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize,
                         u_int32_t Max, u_int32_t DataAddr, int dSize)
    : _gwAddr(Address),
      _cmdOffset(cOffset),
      _cmdSize(cSize),
      _indexOffset(iOffset),
      _indexSize(iSize),
      _maxIndex(Max),
      _dataAddr(DataAddr),
      _dataSize(dSize),
      _ctrlLine(0),
      _locked(false) {}

ArrLib::Gateway::~Gateway() {
    // A failed dump or transaction leaves the lock held; give it back.
    if (_locked) Gateway::UnLock();
}

kfile* ArrLib::Gateway::GetKf() { return _kf; }

void ArrLib::Gateway::SetKf(kfile* kf) { _kf = kf; }

u_int32_t ArrLib::Gateway::Shl(u_int32_t value, long long bits) {
    return bits < 0 || bits > 31 ? 0 : value << bits;
}

u_int32_t ArrLib::Gateway::Shr(u_int32_t value, long long bits) {
    return bits < 0 || bits > 31 ? 0 : value >> bits;
}

u_int32_t ArrLib::Gateway::Mask(long long bits) {
    if (bits <= 0) return 0;
    return bits == 32 ? 0xFFFFFFFFu : Shr(0xFFFFFFFFu, 32 - bits);
}

u_int32_t ArrLib::Gateway::MergeField(u_int32_t word, u_int32_t value, int offset, int size) {
    if (size == 32) return value;
    u_int32_t field = Shl(Mask(size), offset);
    return (Shl(value, offset) & field) | (word & ~field);
}

u_int32_t ArrLib::Gateway::CrRead(u_int32_t addr) const {
    u_int32_t value = kUnreadWord;
    if (kread4(_kf, addr, &value) != 4) {
        int err = errno;
        // Standard output may hold data lines still: they come first.
        std::cout.flush();
        fprintf(stderr, "-E- Cr read (0x%08x) failed: %s(%d)\n", addr, strerror(err), err);
        exit(2);
    }
    return value;
}

void ArrLib::Gateway::CrWrite(u_int32_t addr, u_int32_t value) const {
    if (kwrite4(_kf, addr, value) != 4) {
        int err = errno;
        std::cout.flush();
        fprintf(stderr, "-E- Cr write (0x%08x, 0x%08x) failed: %s(%d)\n", addr, value,
                strerror(err), err);
        exit(2);
    }
}

ArrLib::Status ArrLib::Gateway::Lock() {
    for (int timeOut = 0;; ++timeOut) {
        u_int32_t ctrl = CrRead(_gwAddr);
        // The read that finds the lock bit clear is the one the chip grants.
        if (!(ctrl & kLockBit)) {
            _locked = true;
            _ctrlLine = ctrl;
            return Ok;
        }
        if (timeOut > kPollLimit) {
            std::cout << "-E- TimeOut lock GW " << std::hex << _gwAddr << '\n';
            return GWLocked;
        }
    }
}

ArrLib::Status ArrLib::Gateway::PollBusy(u_int32_t expected) const {
    for (int timeOut = 0;; ++timeOut) {
        if (((CrRead(_gwAddr) & kBusyBit) != 0) == (expected != 0)) return Ok;
        if (timeOut > kPollLimit) {
            std::cout << "-E- TimeOut Busy" << '\n';
            return GWBusy;
        }
    }
}

void ArrLib::Gateway::Activate(int command, u_int32_t index) const {
    u_int32_t ctrl = _ctrlLine | kLockBit | kBusyBit;
    ctrl = MergeField(ctrl, static_cast<u_int32_t>(command), _cmdOffset, _cmdSize);
    ctrl = MergeField(ctrl, index, _indexOffset, _indexSize);
    CrWrite(_gwAddr, ctrl);
}

void ArrLib::Gateway::UnLock() {
    CrWrite(_gwAddr, _ctrlLine & ~(kLockBit | kBusyBit));
    _locked = false;
}

void ArrLib::Gateway::ReadWindow(u_int32_t last, std::vector<u_int32_t>& result) const {
    // Counting down from the size itself: size - 1 would overflow for the smallest int.
    for (int i = _dataSize; i > 0; --i) result.push_back(CrRead(last - 4u * (i - 1)));
}

void ArrLib::Gateway::WriteWindow(u_int32_t last, const std::vector<u_int32_t>& data) const {
    for (int i = _dataSize; i > 0; --i) {
        size_t word = static_cast<size_t>(i - 1);
        CrWrite(last - 4u * (i - 1), word < data.size() ? data[word] : 0);
    }
}

void ArrLib::Gateway::ReadData(std::vector<u_int32_t>& result) const {
    ReadWindow(_dataAddr, result);
}

void ArrLib::Gateway::WriteData(const std::vector<u_int32_t>& data) const {
    WriteWindow(_dataAddr, data);
}

ArrLib::Status ArrLib::Gateway::WaitIdle(const char* message) const {
    if (PollBusy(0) == Ok) return Ok;
    std::cout << "-E- GW " << std::hex << _gwAddr << message << '\n';
    return GWBusy;
}

ArrLib::Status ArrLib::Gateway::Read(u_int32_t index, std::vector<u_int32_t>& result) {
    bool toLock = !_locked;
    if (BadIndex(index)) return AddrTooHigh;
    if (toLock && Lock() != Ok) return GWLocked;
    if (WaitIdle(" is busy before read attempt") != Ok) return GWBusy;
    Activate(1, index);
    if (WaitIdle(" is busy, waited for the read to end 1000 attempts") != Ok) return GWBusy;
    ReadData(result);
    if (toLock) UnLock();
    return Ok;
}

ArrLib::Status ArrLib::Gateway::Write(u_int32_t index, const std::vector<u_int32_t>& data) {
    bool toLock = !_locked;
    if (BadIndex(index)) return AddrTooHigh;
    if (toLock && Lock() != Ok) return GWLocked;
    if (WaitIdle(" is busy before write attempt") != Ok) return GWBusy;
    // The data registers are filled before the operation starts.
    WriteData(data);
    Activate(0, index);
    if (WaitIdle(" is busy, waited for the write to end 1000 attempts") != Ok) return GWBusy;
    if (toLock) UnLock();
    return Ok;
}

ArrLib::Status ArrLib::Gateway::LockedDump(const std::function<Status()>& entries) {
    if (Lock() != Ok) return GWLocked;
    Status status = entries();
    if (status != Ok) return status;
    UnLock();
    return Ok;
}

ArrLib::Status ArrLib::Gateway::ForEachUpTo(u_int32_t last,
                                            const std::function<Status(u_int32_t)>& visit) {
    // Counting up to and including last must not wrap when last is 0xFFFFFFFF.
    for (u_int32_t i = 0;; ++i) {
        Status status = visit(i);
        if (status != Ok || i == last) return status;
    }
}

ArrLib::Status ArrLib::Gateway::DumpEntry(u_int32_t index) {
    std::vector<u_int32_t> currRead;
    Status status = Read(index, currRead);
    if (status == Ok) PrintData(index, currRead);
    return status;
}

ArrLib::Status ArrLib::Gateway::DumpEntry(u_int32_t index, const std::string& name,
                                          u_int32_t line) {
    std::vector<u_int32_t> currRead;
    Status status = Read(index, currRead);
    if (status == Ok) PrintData(name, line, currRead);
    return status;
}

ArrLib::Status ArrLib::Gateway::Read() {
    return LockedDump(
        [this] { return ForEachUpTo(_maxIndex, [this](u_int32_t i) { return DumpEntry(i); }); });
}

ArrLib::Status ArrLib::Gateway::Read(const std::string& arrName) {
    return LockedDump([this, &arrName] {
        return ForEachUpTo(_maxIndex,
                           [this, &arrName](u_int32_t i) { return DumpEntry(i, arrName, i); });
    });
}

ArrLib::Status ArrLib::Gateway::Read(u_int32_t index) {
    if (Lock() != Ok) return GWLocked;
    std::vector<u_int32_t> currRead;
    Status status = Read(index, currRead);
    if (status != Ok) return status;
    PrintData(index, currRead);
    UnLock();
    return Ok;
}

int ArrLib::Gateway::BadIndex(u_int32_t index) const {
    if (index <= _maxIndex) return 0;
    std::cout << "-E- address/maximal " << std::hex << index << "/" << _maxIndex << '\n';
    return 1;
}

void ArrLib::Gateway::PrintData(u_int32_t index, const std::vector<u_int32_t>& data) const {
    std::cout << std::hex << _gwAddr << " : " << std::setfill(' ') << std::setw(3) << index << " : "
              << data << '\n';
}

void ArrLib::Gateway::PrintData(const std::string& name, u_int32_t index,
                                const std::vector<u_int32_t>& data) const {
    std::cout << std::hex << _gwAddr << " : " << name << " : " << std::setfill(' ') << std::setw(3)
              << index << " : " << data << '\n';
}
