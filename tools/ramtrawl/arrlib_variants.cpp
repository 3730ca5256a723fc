// Control-variant gateways: the base protocol with one or two of its steps
// replaced (how the control register is written, how the data words are
// packed, how an entry is printed, a warning before a write).
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "arrlib.h"

using std::string;
using std::vector;

namespace {

// Lock and busy bits, always set by an activation.
constexpr u_int32_t kStartBits = 0xC0000000u;

// The line `print` sends to standard output, ended with the suffix that
// flags a FIFO's last entry when `last` is set. The line keeps the format of
// the base print; only its end of line moves after the suffix.
template <typename Print>
void PrintFlagged(Print print, bool last) {
    std::ostringstream line;
    std::streambuf* saved = std::cout.rdbuf(line.rdbuf());
    print();
    std::cout.rdbuf(saved);
    string text = line.str();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::cout << text << (last ? " g_fifo extra line" : "") << '\n';
}

}  // namespace

// ------------------------------------------------------------------ GW_gfifo

void ArrLib::GW_gfifo::PrintData(u_int32_t index, const vector<u_int32_t>& data) const {
    PrintFlagged([&] { Gateway::PrintData(index, data); }, index == _maxIndex);
}

void ArrLib::GW_gfifo::PrintData(const string& name, u_int32_t index,
                                 const vector<u_int32_t>& data) const {
    PrintFlagged([&] { Gateway::PrintData(name, index, data); }, index == _maxIndex);
}

// ------------------------------------------------------------------ GW_clear

ArrLib::GW_clear::GW_clear(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize,
                           u_int32_t Max, u_int32_t dAddr, int dSize, int corOffset)
    : Gateway(Address, cOffset, cSize, iOffset, iSize, Max, dAddr, dSize), _corOffset(corOffset) {}

// The clear-on-read bit is written as 0 on every activation. It is cleared
// after the command merge and before the index merge: inside the command
// field it is forced to 0, inside the index field the index decides it.
void ArrLib::GW_clear::Activate(int command, u_int32_t index) const {
    u_int32_t ctrl = MergeField(_ctrlLine | kStartBits, command, _cmdOffset, _cmdSize);
    ctrl &= ~Shl(1, _corOffset);
    ctrl = MergeField(ctrl, index, _indexOffset, _indexSize);
    CrWrite(_gwAddr, ctrl);
}

// ------------------------------------------------------------- GW_be_address

// The index does not travel in the control word but in its own register; the
// chip starts the operation when that register is written, so it comes last.
void ArrLib::GW_be_address::Activate(int command, u_int32_t index) const {
    u_int32_t ctrl = MergeField(_ctrlLine | kStartBits, command, _cmdOffset, _cmdSize);
    CrWrite(_gwAddr, ctrl & 0xF7FFFFFFu);
    CrWrite(_gwAddr + 4, index);
}

// Dump by array name: bit 10 of the index selects the port, bits 9..0 the
// entry within the port.
ArrLib::Status ArrLib::GW_be_address::Read(const string& arrName) {
    return LockedDump([this, &arrName] {
        return ForEachUpTo(_maxIndex, [this, &arrName](u_int32_t index) {
            vector<u_int32_t> currRead;
            Status readStatus = Gateway::Read(index, currRead);
            if (readStatus == Ok) PrintData(arrName, (index >> 10) & 1, index & 0x3FF, currRead);
            return readStatus;
        });
    });
}

void ArrLib::GW_be_address::PrintData(const string& name, u_int32_t portid, u_int32_t index,
                                      const vector<u_int32_t>& data) const {
    std::cout << std::hex << _gwAddr << " : " << name << " : " << std::setfill(' ')
              << std::setw(3) << portid << " : " << index << " : " << data << '\n';
}

// ----------------------------------------------------------------- GW_serdes

namespace {

// Lines of parameter types 2, 5 and 8 whose two lowest index bits are both
// set are reserved by the chip.
bool ReservedSerdesLine(u_int32_t index) {
    u_int32_t paramType = index >> 5;
    return (paramType == 2 || paramType == 5 || paramType == 8) && (index & 3) == 3;
}

}  // namespace

// The warning does not stop the write. An index out of range is refused
// first, without the warning.
ArrLib::Status ArrLib::GW_serdes::Write(u_int32_t index, const vector<u_int32_t>& data) {
    if (BadIndex(index)) return AddrTooHigh;
    if (ReservedSerdesLine(index))
        std::cout << "This line is reserved. index[1:0] should not be 11 if param_type is 0x2, "
                     "0x5 or 0x8"
                  << '\n';
    return Gateway::Write(index, data);
}

// --------------------------------------------------------- GW_simple_special

ArrLib::GW_simple_special::GW_simple_special(u_int32_t Address, int cOffset, int cSize,
                                             int iOffset, int iSize, u_int32_t Max,
                                             u_int32_t dAddr, int dSize, int special1)
    : Gateway(Address, cOffset, cSize, iOffset, iSize, Max, dAddr, dSize), _special1(special1) {}

// With packing 0 the least significant register holds only 25 valid bits.
void ArrLib::GW_simple_special::ReadData(vector<u_int32_t>& result) const {
    size_t before = result.size();
    Gateway::ReadData(result);
    if (_special1 == 0 && result.size() > before) result.back() &= 0x01FFFFFFu;
}

// Repacks the value into 25-bit (packing 0) or 29-bit (packing 1) register
// words. Words the caller did not give count as 0, as in every data write.
void ArrLib::GW_simple_special::WriteData(const vector<u_int32_t>& data) const {
    auto word = [&data](size_t i) { return i < data.size() ? data[i] : 0u; };
    if (_special1 == 0) {
        u_int32_t data0 = word(0) & 0x01FFFFFFu;
        u_int32_t data1 = (word(1) << 7) + (word(0) >> 25);
        std::cout << std::hex << word(0) << '\n' << word(1) << '\n';
        std::cout << data0 << '\n' << data1 << '\n';
        Gateway::WriteData({data0, data1});
    } else if (_special1 == 1) {
        u_int32_t data0 = word(0) & 0x1FFFFFFFu;
        u_int32_t data1 = ((word(1) & 0x03FFFFFFu) << 3) + (word(0) >> 29);
        u_int32_t data2 = (word(2) << 6) + (word(1) >> 26);
        Gateway::WriteData({data0, data1, data2});
    } else {
        Gateway::WriteData(data);
    }
}

// ------------------------------------------------------------------ GW_field

// Before a read the byte at _gwAddr + 0xE must hold 1. CR accesses are whole
// aligned words, so the byte is set by a read-modify-write of the word at
// _gwAddr + 0xC, where it is bits 15..8 (CR words are most significant byte
// first); the other three bytes keep their values.
void ArrLib::GW_field::Activate(int command, u_int32_t index) const {
    if (command == 1) {
        u_int32_t word = CrRead(_gwAddr + 0xC);
        CrWrite(_gwAddr + 0xC, (word & ~0x0000FF00u) | 0x00000100u);
    }
    Gateway::Activate(command, index);
}

// -------------------------------------------------------------- GW_tag_data2

// This gateway takes the command one bit higher (read 2, write 0) and needs
// bit 29 clear on every activation.
void ArrLib::GW_tag_data2::Activate(int command, u_int32_t index) const {
    u_int32_t ctrl = (_ctrlLine & 0xDFFFFFFFu) | kStartBits;
    ctrl = MergeField(ctrl, Shl(command, 1), _cmdOffset, _cmdSize);
    ctrl = MergeField(ctrl, index, _indexOffset, _indexSize);
    CrWrite(_gwAddr, ctrl);
}
