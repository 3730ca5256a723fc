// ramtrawl: reads and writes a chip's internal arrays through the gateways the
// array database describes. One run performs exactly one operation.
#include "ramtrawl.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "arrlib.h"
#include "utils.h"

const char* arrayDB = "arr_db.txt";

namespace {

// What the command line asked for.
struct CmdLine {
    int a_flag = 0;
    int d_flag = 0;
    int g_flag = 0;
    int r_flag = 0;
    int err_flag = 0;
    u_int32_t GwAddress = 0;
    u_int32_t ArrayIndex = 0;
    std::vector<u_int32_t> writeData;
    const char* ArrayName = nullptr;
};

const option longopts[] = {
    {"gw", required_argument, nullptr, 'G'},
    {"arr", required_argument, nullptr, 'R'},
    {nullptr, 0, nullptr, 0},
};

// The database in the current directory wins; otherwise the one beside the
// program, when the program was started through a path.
std::string ResolveDbFile(const char* argv0)
{
    const std::string DbFile = arrayDB;
    if (FILE* f = std::fopen(DbFile.c_str(), "r")) {
        std::fclose(f);
        return DbFile;
    }
    const std::string ExeDir = argv0 != nullptr ? argv0 : "";
    const size_t slash = ExeDir.rfind('/');
    if (slash == std::string::npos) return DbFile;
    return ExeDir.substr(0, slash + 1) + DbFile;
}

// A gateway address or an index. Bits beyond 32 are refused rather than cut
// off, as a cut-off index would silently reach another entry; a negative
// number keeps its two's complement (-1 is ffffffff).
u_int32_t ParseWord(const char* str)
{
    const long value = str2long(str, 16);
    if (value > 0xFFFFFFFFL || value < -0x80000000L) IllegalValue(str);
    return static_cast<u_int32_t>(value);
}

// Exactly one operation. The device alone reads every array, not every
// gateway: arrays print with their names.
ArrLib::Status Dispatch(ArrLib& lib, const CmdLine& cl)
{
    if (cl.g_flag) {
        if (!cl.a_flag) return lib.ReadByGw(cl.GwAddress);
        if (!cl.d_flag) return lib.ReadByGw(cl.GwAddress, cl.ArrayIndex);
        return lib.WriteByGw(cl.GwAddress, cl.ArrayIndex, cl.writeData);
    }
    if (!cl.r_flag) return lib.ReadByArray();
    if (!cl.a_flag) return lib.ReadByArray(cl.ArrayName);
    if (!cl.d_flag) return lib.ReadByArray(cl.ArrayName, cl.ArrayIndex);
    return lib.WriteByArray(cl.ArrayName, cl.ArrayIndex, cl.writeData);
}

// An array name for a message; only -arr supplies one.
const char* Shown(const char* name)
{
    return name != nullptr ? name : "";
}

// Words the outcome of the operation; returns the exit code.
int Report(ArrLib::Status status, const CmdLine& cl, const std::string& DbFile)
{
    int response = -1;
    switch (status) {
    case ArrLib::Ok:
        std::cout << "Program terminated normally" << '\n';
        response = 0;
        break;
    case ArrLib::GWLocked:
        std::cout << "-E- operation partially done, because gw was locked" << '\n';
        break;
    case ArrLib::GWBusy:
        std::cout << "-E- operation canceled, since gw was busy" << '\n';
        break;
    case ArrLib::AddrTooHigh:
        std::cout << "-E- Address is too high for the specified array/gw " << '\n';
        response = 2;
        break;
    case ArrLib::ArrayNotFound:
        std::cout << "-E- Array " << Shown(cl.ArrayName) << " not found in DataBase " << DbFile
                  << '\n';
        break;
    case ArrLib::GwNotFound:
        std::cout << "-E- GateWay " << std::hex << cl.GwAddress << " not found in DataBase "
                  << DbFile << '\n';
        break;
    case ArrLib::ReadFailed:
    case ArrLib::WriteFailed:
        break;
    case ArrLib::GWReadOnly:
        // The form follows the option given: address 0 is a gateway too.
        if (cl.g_flag)
            std::cout << "-E- GateWay " << std::hex << cl.GwAddress << " is read-only " << '\n';
        else
            std::cout << "-E- Array " << Shown(cl.ArrayName) << " is read-only " << '\n';
        break;
    default:
        std::cout << "-E- Progeam terminated abnormally : " << std::dec << static_cast<int>(status)
                  << '\n';
        break;
    }
    return response;
}

// Access tag of a database line in the listing.
const char* AccessTag(const char* access, const char* gwAddr)
{
    static const std::set<std::string> readWrite = {
        "GW_simple", "GW_gfifo", "GW_clear", "GW_reqsl", "GW_irisc", "GW_serdes", "GW_xtsram",
        "GW_field", "GW_SXP", "GW_be_address", "GW_tag_data", "GW_tag_data2", "GW_simple_special"};
    // Gateway 12160 refuses writes; the listing compares the word as written.
    if (std::strcmp(access, "GW_array_addr") == 0)
        return std::strcmp(gwAddr, "12160") == 0 ? "[r ] " : "[rw] ";
    if (std::strcmp(access, "GW_rx_buffer") == 0) return "[ro] ";
    return readWrite.count(access) != 0 ? "[rw] " : "[NI] ";
}

// Lists one database line; a line without name, kind and address lists nothing.
void PrintDbLine(char* line)
{
    const char* delims = " \t\n";
    const char* arrayName = std::strtok(line, delims);
    const char* access = arrayName != nullptr ? std::strtok(nullptr, delims) : nullptr;
    const char* gwAddr = access != nullptr ? std::strtok(nullptr, delims) : nullptr;
    if (gwAddr == nullptr) return;
    std::cout << AccessTag(access, gwAddr) << arrayName << '\n';
}

}  // namespace

void ExplainUsage()
{
    static const char* const lines[] = {
        "\n-E- Usage : trawlram [-l] <device> [ -gw <GW-addr:Add-idx> | -arr <arr-path> [ -a "
        "<addr-in-array> [ -d <data-to-write> ] ] ]",
        "\nExample 1: to read all data from all gateways use:",
        "./ramtrawl <device>",
        "\nExample 2: to read all data in gateway 0x82580 use:",
        "./ramtrawl <device> -gw 82580",
        "\nExample 3: to read data from index 0x0000C at gateway 0x82580 use:",
        "./ramtrawl <device> -gw 82580 -a c",
        "\nExample 4: to write 0x123b to index 0x00000C at gateway 0x82580 use:",
        "./ramtrawl <device> -gw 82580 -a c -d 123b",
        "\nExample 5: to read all data in array 'top.dut.hca.tpt.trc_core.wrapper_rw128x128u' use:",
        "./ramtrawl <device> -arr top.dut.hca.tpt.trc_core.wrapper_rw128x128u",
        "\nExample 6: to read data from index 0x0000C at array "
        "'top.dut.hca.tpt.trc_core.wrapper_rw128x128u' use:",
        "./ramtrawl <device> -arr top.dut.hca.tpt.trc_core.wrapper_rw128x128u -a c",
        "\nExample 7: to write 0x1234 to index (line #) 0x0000C at array "
        "'top.dut.hca.tpt.trc_core.wrapper_rw128x128u' use:",
        "./ramtrawl <device> -arr top.dut.hca.tpt.trc_core.wrapper_rw128x128u -a c -d 1234",
        "\nPlease note that 'index' in a gateway is not the same as 'index' in an array.\n",
    };
    for (const char* line : lines) std::cout << line << '\n';
    std::exit(1);
}

int CheckFlags(int a, int d, int g, int r, int e)
{
    return e || (r && g) || (d && !a) || (a && !r && !g);
}

int CheckArgs(int num, int a, int d, int g, int r)
{
    if (num <= 1) return 1;
    if (!g && !r) return num > 2;
    // The device, each option and each option's argument as separate words.
    const int maxWords = !a ? 4 : !d ? 6 : 8;
    return num > maxWords;
}

void DataParse(const char* str, std::vector<u_int32_t>& res)
{
    res.clear();
    // Words are cut from the right end, least significant word first.
    for (long i = static_cast<long>(std::strlen(str)) - 1; i >= 0; i -= 8) {
        char dword[9];
        for (long idx = 0; idx < 8; ++idx) dword[idx] = i + idx < 7 ? '0' : str[i + idx - 7];
        dword[8] = '\0';
        // str2long would accept a sign, a blank or a carriage return inside a
        // group, negating the word or shifting the digits of every later one.
        if (std::strspn(dword, "0123456789abcdefABCDEF") != 8) IllegalValue(dword);
        res.push_back(static_cast<u_int32_t>(str2long(dword, 16)));
    }
}

void PrintDB(const char* db_file)
{
    FILE* f = OpenFileRead(db_file);
    // Whole lines, however long, so that each database line lists once.
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, f) != -1) PrintDbLine(line);
    std::free(line);
    const bool failed = std::ferror(f) != 0;
    CloseFile(f);
    if (failed) {
        std::cout << "-E- Error reading DataBase file : " << db_file << '\n';
        std::exit(1);
    }
}

int main(int argc, char** argv)
{
    CmdLine cl;
    // The device is the first word after the program name, whatever it looks like.
    const char* DeviceName = argc > 1 ? argv[1] : nullptr;
    const std::string DbFile = ResolveDbFile(argc > 0 ? argv[0] : nullptr);

    int c;
    while ((c = getopt_long_only(argc, argv, "a:d:l", longopts, nullptr)) != -1) {
        switch (c) {
        case 'G':
            cl.GwAddress = ParseWord(optarg);
            cl.g_flag = 1;
            break;
        case 'R':
            cl.ArrayName = optarg;
            cl.r_flag = 1;
            break;
        case 'a':
            cl.ArrayIndex = ParseWord(optarg);
            cl.a_flag = 1;
            break;
        case 'd':
            DataParse(optarg, cl.writeData);
            cl.d_flag = 1;
            break;
        case 'l':
            PrintDB(DbFile.c_str());
            return 0;
        default:
            cl.err_flag = 1;
            break;
        }
    }
    if (CheckFlags(cl.a_flag, cl.d_flag, cl.g_flag, cl.r_flag, cl.err_flag) ||
        CheckArgs(argc, cl.a_flag, cl.d_flag, cl.g_flag, cl.r_flag))
        ExplainUsage();

    auto lib = std::make_unique<ArrLib>(DbFile.c_str(), DeviceName);
    const int response = Report(Dispatch(*lib, cl), cl, DbFile);
    lib.reset();
    return response;
}
