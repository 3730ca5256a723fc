// Array access library: the chip's internal arrays, reached through register
// gateways in CR space. ArrLib owns every gateway and array of one database
// and runs one operation on them; the gateway and array kinds are nested in it.
#ifndef ARRLIB_H
#define ARRLIB_H

#include <sys/types.h>

#include <functional>
#include <memory_resource>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kxcr.h"

// A word list: each word as at least 8 lower-case hexadecimal digits and one
// blank. Leaves the stream in hexadecimal mode with '0' as fill character.
std::ostream& operator<<(std::ostream& os, const std::vector<u_int32_t>& words);

class ArrLib {
public:
    enum Status {
        Ok = 0,
        GWLocked = 1,
        GWBusy = 2,
        AddrTooHigh = 3,
        ArrayNotFound = 4,
        GwNotFound = 5,
        ReadFailed = 6,
        WriteFailed = 7,
        GWReadOnly = 8,
        AccessError = 9
    };

    enum AccessType {
        simple = 0,
        gfifo = 1,
        clear = 2,
        array_addr = 3,
        reqsl = 4,
        rxbuffer = 5,
        irisc = 6,
        be_address = 7,
        serdes = 8,
        xtsram = 9,
        simple_special = 10,
        tag_data = 11,
        field = 12,
        tag_data2 = 13,
        sxp = 14,
        other = 15
    };

    // ---------------------------------------------------------------- gateways

    class Gateway {
    public:
        Gateway(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize, u_int32_t Max,
                u_int32_t DataAddr, int dSize);
        virtual ~Gateway();

        virtual Status Read();
        virtual Status Read(const std::string& arrName);
        virtual Status Read(u_int32_t index);
        virtual Status Read(u_int32_t index, std::vector<u_int32_t>& result);
        virtual Status Write(u_int32_t index, const std::vector<u_int32_t>& data);
        virtual Status Lock();
        virtual void Activate(int command, u_int32_t index) const;
        virtual Status PollBusy(u_int32_t expected) const;
        virtual void ReadData(std::vector<u_int32_t>& result) const;
        virtual void WriteData(const std::vector<u_int32_t>& data) const;
        virtual void UnLock();
        virtual void PrintData(u_int32_t index, const std::vector<u_int32_t>& data) const;
        virtual void PrintData(const std::string& name, u_int32_t index,
                               const std::vector<u_int32_t>& data) const;
        virtual int BadIndex(u_int32_t index) const;

        static kfile* GetKf();
        static void SetKf(kfile* kf);

        u_int32_t Address() const { return _gwAddr; }
        bool Locked() const { return _locked; }

        // 32-bit shifts and masks where a shift outside 0..31 gives 0. The
        // count is wide, so that a difference of two int widths never overflows.
        static u_int32_t Shl(u_int32_t value, long long bits);
        static u_int32_t Shr(u_int32_t value, long long bits);
        static u_int32_t Mask(long long bits);

    protected:
        // Puts value into the field (offset, size) of word.
        static u_int32_t MergeField(u_int32_t word, u_int32_t value, int offset, int size);

        // The common shape of every dump: one lock around all entries; the
        // first failing entry ends the dump with its status, lock still held.
        Status LockedDump(const std::function<Status()>& entries);
        // Visits 0..last once each; also ends when last is the largest value.
        static Status ForEachUpTo(u_int32_t last, const std::function<Status(u_int32_t)>& visit);
        // One dump entry read at index and printed with the index, or with
        // the name and a line number.
        Status DumpEntry(u_int32_t index);
        Status DumpEntry(u_int32_t index, const std::string& name, u_int32_t line);

        // Busy poll of a transaction; GWBusy after printing the message.
        Status WaitIdle(const char* message) const;

        // The data registers ending at last, in ascending address order.
        void ReadWindow(u_int32_t last, std::vector<u_int32_t>& result) const;
        void WriteWindow(u_int32_t last, const std::vector<u_int32_t>& data) const;

        // One CR access; a failed access ends the process with status 2.
        u_int32_t CrRead(u_int32_t addr) const;
        void CrWrite(u_int32_t addr, u_int32_t value) const;

        u_int32_t _gwAddr;
        int _cmdOffset;
        int _cmdSize;
        int _indexOffset;
        int _indexSize;
        u_int32_t _maxIndex;
        u_int32_t _dataAddr;
        int _dataSize;
        u_int32_t _ctrlLine;
        bool _locked;

        static kfile* _kf;
    };

    // Control-variant gateways: the base protocol with one or two steps replaced.

    class GW_gfifo : public Gateway {
    public:
        using Gateway::Gateway;
        void PrintData(u_int32_t index, const std::vector<u_int32_t>& data) const override;
        void PrintData(const std::string& name, u_int32_t index,
                       const std::vector<u_int32_t>& data) const override;
    };

    class GW_clear : public Gateway {
    public:
        GW_clear(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize, u_int32_t Max,
                 u_int32_t dAddr, int dSize, int corOffset);
        void Activate(int command, u_int32_t index) const override;

    private:
        int _corOffset;
    };

    class GW_be_address : public Gateway {
    public:
        using Gateway::Gateway;
        using Gateway::Read;
        Status Read(const std::string& arrName) override;
        void Activate(int command, u_int32_t index) const override;
        using Gateway::PrintData;
        void PrintData(const std::string& name, u_int32_t portid, u_int32_t index,
                       const std::vector<u_int32_t>& data) const;
    };

    class GW_serdes : public Gateway {
    public:
        using Gateway::Gateway;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
    };

    class GW_simple_special : public Gateway {
    public:
        GW_simple_special(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize,
                          u_int32_t Max, u_int32_t dAddr, int dSize, int special1);
        void ReadData(std::vector<u_int32_t>& result) const override;
        void WriteData(const std::vector<u_int32_t>& data) const override;

    private:
        int _special1;
    };

    class GW_field : public Gateway {
    public:
        using Gateway::Gateway;
        void Activate(int command, u_int32_t index) const override;
    };

    class GW_tag_data2 : public Gateway {
    public:
        using Gateway::Gateway;
        void Activate(int command, u_int32_t index) const override;
    };

    // Embedded-processor cache gateway: the caller gives whole control words.
    class GW_irisc : public Gateway {
    public:
        GW_irisc(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize, u_int32_t Max,
                 u_int32_t dAddr, int dSize, int ways, u_int32_t codeSize);
        using Gateway::Read;
        Status Read() override;
        Status Read(u_int32_t index) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        int BadIndex(u_int32_t ctrl) const override;
        using Gateway::Activate;
        void Activate(u_int32_t ctrl) const;
        Status Access(u_int32_t ctrl, std::vector<u_int32_t>& data);

    private:
        int _ways;
        u_int32_t _codeSize;
    };

    // Array-addressed gateways: the index carries an array number and a line.

    class GW_array_addr : public Gateway {
    public:
        GW_array_addr(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize,
                      u_int32_t Max, u_int32_t dAddr, int dSize, int aOffset, int aSize,
                      u_int32_t maxAIndex, u_int32_t maxIndexArr);
        using Gateway::Read;
        Status Read() override;
        Status Read(u_int32_t index, std::vector<u_int32_t>& result) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        int BadIndex(u_int32_t index) const override;
        virtual Status Read(const std::string& arrName, u_int32_t arrIndex);

    protected:
        // Width of the line number: the index bits below the array number.
        long long LineBits() const;

        int _arrayIndexOffset;
        int _arrayIndexSize;
        u_int32_t _arrayMaxIndex;
        u_int32_t _maxIndexInArray;
    };

    class GW_reqsl : public GW_array_addr {
    public:
        using GW_array_addr::GW_array_addr;
        using GW_array_addr::Read;
        Status Read(u_int32_t index, std::vector<u_int32_t>& result) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        Status Read(const std::string& arrName, u_int32_t arrIndex) override;

    private:
        void SelectWindow(u_int32_t index);
    };

    class GW_xtsram : public GW_array_addr {
    public:
        using GW_array_addr::GW_array_addr;
        using GW_array_addr::Read;
        Status Read() override;
        void Activate(int command, u_int32_t index) const override;
        int BadIndex(u_int32_t index) const override;
        Status Read(const std::string& arrName, u_int32_t arrIndex) override;
    };

    class GW_tag_data : public GW_array_addr {
    public:
        GW_tag_data(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize,
                    u_int32_t Max, u_int32_t dAddr, int dSize, int aOffset, int aSize,
                    u_int32_t maxAIndex, u_int32_t maxIndexArr, int tag);
        using GW_array_addr::Read;
        Status Read() override;
        Status Read(u_int32_t index, std::vector<u_int32_t>& result) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        void Activate(int command, u_int32_t index) const override;
        void ReadData(std::vector<u_int32_t>& result) const override;
        void WriteData(const std::vector<u_int32_t>& data) const override;
        int BadIndex(u_int32_t index) const override;
        Status Read(const std::string& arrName, u_int32_t arrIndex) override;

        // Array 0 is the tag array, 1 and 2 the data halves; any other number
        // is reported and refused.
        static bool KnownArray(u_int32_t arrNum);
        // First way of data half 1 (ways 16..31) or 2 (ways 0..15).
        static u_int32_t FirstWay(u_int32_t arrNum);

    private:
        u_int32_t WindowEnd() const;

        int _tag;
    };

    class GW_sxp : public GW_array_addr {
    public:
        GW_sxp(u_int32_t Address, int cOffset, int cSize, int iOffset, int iSize, u_int32_t Max,
               u_int32_t dAddr, int dSize, int aOffset, int aSize, u_int32_t maxAIndex,
               u_int32_t maxIndexArr);
        using GW_array_addr::Read;
        Status Read() override;
        Status Read(u_int32_t index, std::vector<u_int32_t>& result) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        int BadIndex(u_int32_t index) const override;
        Status Read(const std::string& arrName, u_int32_t arrIndex) override;

        // The row table of the sxp arrays: the largest line number of an
        // array, and the gateway index of one of its lines. False (with a
        // message) for an array number outside the table.
        static bool LineLimit(u_int32_t arrNum, u_int32_t* limit);
        static bool GwIndex(u_int32_t arrNum, u_int32_t line, u_int32_t* index);

    private:
        void SelectWindow(u_int32_t index);
    };

    // ------------------------------------------------------------------ arrays

    // An array keeps its name as a view: the name must outlive the array
    // (the loader keeps every name in the library's store).
    class Array {
    public:
        Array(std::string_view name, Gateway* gw);
        virtual ~Array();

        virtual Status Read();
        virtual Status Read(u_int32_t index);
        virtual Status Write(u_int32_t index, const std::vector<u_int32_t>& data);

        std::string_view Name() const { return _name; }

    protected:
        // Reads gateway index gwIndex and prints it as line `line` of this array.
        Status ReadLine(u_int32_t gwIndex, u_int32_t line) const;
        // Dumps array number arrNum of an array-addressed gateway.
        Status DumpNumbered(u_int32_t arrNum) const;
        // Line-number bound with its message; non-zero when line > limit.
        static int LineBeyond(u_int32_t line, u_int32_t limit);

        std::string_view _name;
        Gateway* _associatedGateway;
    };

    class Array_addr : public Array {
    public:
        Array_addr(std::string_view Name, Gateway* Gw, u_int32_t index, int size);
        Status Read() override;
        Status Read(u_int32_t index) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        virtual int BadIndex(u_int32_t index) const;

    protected:
        u_int32_t _index;
        int _size;
    };

    // Everything of Array_addr; its gateway moves the data window.
    class Array_reqsl : public Array_addr {
    public:
        using Array_addr::Array_addr;
    };

    class Array_xtsram : public Array_addr {
    public:
        using Array_addr::Array_addr;
        using Array_addr::Read;
        Status Read(u_int32_t index) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        int BadIndex(u_int32_t index) const override;
    };

    class Array_sxp : public Array_addr {
    public:
        using Array_addr::Array_addr;
        using Array_addr::Read;
        Status Read(u_int32_t index) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        int BadIndex(u_int32_t index) const override;
    };

    class Array_tag_data : public Array {
    public:
        Array_tag_data(std::string_view Name, Gateway* Gw, u_int32_t index, int size);
        Status Read() override;
        Status Read(u_int32_t index) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        virtual int BadIndex(u_int32_t index) const;

    private:
        u_int32_t _index;
        int _size;
    };

    class Array_rx_buffer : public Array {
    public:
        Array_rx_buffer(std::string_view Name, Gateway* Gw, u_int32_t index);
        Status Read() override;
        Status Read(u_int32_t index) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        int BadIndex(u_int32_t index) const;

    private:
        u_int32_t _index;
    };

    class Array_irisc : public Array {
    public:
        Array_irisc(std::string_view Name, Gateway* Gw, int tag, int codeSize, int type, int ways);
        Status Read() override;
        Status Read(u_int32_t index) override;
        Status Write(u_int32_t index, const std::vector<u_int32_t>& data) override;
        int BadIndex(u_int32_t index) const;

    private:
        int _tag;
        int _codeSize;
        int _type;
        int _ways;
    };

    // ------------------------------------------------------------------ facade

    ArrLib(const char* db_file, const char* device);
    ~ArrLib();
    ArrLib(const ArrLib&) = delete;
    ArrLib& operator=(const ArrLib&) = delete;

    Status ReadByGw();
    Status ReadByGw(u_int32_t address);
    Status ReadByGw(u_int32_t address, u_int32_t index);
    Status WriteByGw(u_int32_t address, u_int32_t index, const std::vector<u_int32_t>& data);
    Status ReadByArray();
    Status ReadByArray(const char* arrName);
    Status ReadByArray(const char* arrName, u_int32_t index);
    Status WriteByArray(const char* arrName, u_int32_t index, const std::vector<u_int32_t>& data);

    Gateway* GwExist(u_int32_t gwAddress) const;
    Array* ArrayExist(const char* name) const;

private:
    class Loader;

    // Positions in the gateway registry by address: open addressing over a
    // bijective hash of the address, so a slot tells its address without a
    // look into the registry. At most half full.
    class AddressIndex {
    public:
        std::optional<u_int32_t> Find(u_int32_t address) const;
        void Insert(u_int32_t address, u_int32_t position);
        // Starts fetching the slot where a search for address begins.
        void Prefetch(u_int32_t address) const;

    private:
        struct Slot {
            u_int32_t hash;
            u_int32_t position;  // + 1; 0 is a free slot
        };
        static u_int32_t Hash(u_int32_t address) { return address * 0x9E3779B1u; }
        size_t Home(u_int32_t hash) const { return hash >> (32 - _bits); }
        void Place(const Slot& slot);

        unsigned _bits = 0;
        size_t _used = 0;
        std::pmr::vector<Slot> _slots{Bulk()};
    };

    // The registries in name and in address order, for the walks.
    std::vector<Array*> ArraysByName() const;
    std::vector<std::pair<u_int32_t, Gateway*>> GwsByAddress() const;

    // Memory for the bulk of a database: large blocks in huge pages where
    // the kernel offers them, for fewer page faults and address-translation
    // misses.
    static std::pmr::memory_resource* Bulk();

    // Arrays and gateways, and apart from them (no alignment between them)
    // the names, allocated in bulk and freed together.
    std::pmr::monotonic_buffer_resource _store;
    std::pmr::monotonic_buffer_resource _names;
    // Every array, in file order. Of several with one name the last counts:
    // the lookup searches from the end (a run looks up one name), and the
    // walk keeps the last of each name.
    std::pmr::vector<Array*> _arrays{Bulk()};
    // Every gateway under its database address, in file order, and its index.
    std::pmr::vector<std::pair<u_int32_t, Gateway*>> _gws{Bulk()};
    AddressIndex _gwIndex;
};

#endif  // ARRLIB_H
