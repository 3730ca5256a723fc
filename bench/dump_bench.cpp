// A whole ramtrawl run that dumps every array over the remote transport,
// against the same dump inside one process (the library's ReadByArray with
// the database loaded and the device open beforehand), both printing into a
// pipe that this program drains. The two alternate. Goal: the whole run at
// most 1.15 times the in-process dump per round trip.
#include <sys/stat.h>

#include <cstring>
#include <iostream>
#include <string>

#include "arrlib.h"
#include "bench_common.h"

namespace {

// 500 arrays of 16 two-word entries, each behind its own gateway.
constexpr unsigned kArrays = 500;
constexpr unsigned kEntries = 16;
constexpr unsigned kWords = 2;
// A dump under one lock: the lock read, per entry a busy poll, the control
// word, a busy poll and the data words, then the unlock write.
constexpr unsigned kRoundTrips = kArrays * (2 + kEntries * (3 + kWords));

std::string Database() {
    std::string db = "Array_name Type Address cOffset cSize iOffset iSize Max DataAddr dSize\n";
    for (unsigned i = 0; i < kArrays; ++i) {
        char line[160];
        unsigned gw = 0x40000 + i * 0x40;
        snprintf(line, sizeof line, "top.dut.blk%u.mem_rw%ux64 GW_simple %x 24 4 0 16 %u %x %u\n",
                 i / 10, i, gw, kEntries - 1, gw + 0x10, kWords);
        db += line;
    }
    return db;
}

// Runs argv in dir with standard output into a pipe drained here; standard
// error is collected. Returns the wall time, or -1 when it failed.
double Run(const std::string& dir, const std::vector<std::string>& args, size_t* outBytes,
           std::string* err) {
    int out[2], errPipe[2];
    if (pipe(out) != 0 || pipe(errPipe) != 0) return -1;
    double start = bench::Now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (chdir(dir.c_str()) == 0) execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(errPipe[1]);
    char buffer[1 << 16];
    *outBytes = 0;
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        *outBytes += static_cast<size_t>(n);
    for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) > 0;)
        err->append(buffer, static_cast<size_t>(n));
    close(out[0]);
    close(errPipe[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    double elapsed = bench::Now() - start;
    return status == 0 ? elapsed : -1;
}

// The child of the in-process measurement: loads, then times the dump alone
// and reports the seconds on standard error.
int InProcess(const char* device) {
    ArrLib lib("arr_db.txt", device);
    double start = bench::Now();
    ArrLib::Status status = lib.ReadByArray();
    std::cout.flush();
    double elapsed = bench::Now() - start;
    fprintf(stderr, "%.9f\n", elapsed);
    return status == ArrLib::Ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--in-process") == 0) return InProcess(argv[2]);
    std::string dir = bench::TempDir("dump_bench");
    if (dir.empty()) return 1;
    std::string db = dir + "/arr_db.txt";
    FILE* f = fopen(db.c_str(), "w");
    fputs(Database().c_str(), f);
    fclose(f);
    pid_t server = -1;
    int port = bench::StartServer(dir + "/chip.img", db, &server);
    if (port < 0) {
        fprintf(stderr, "dump_bench: cannot start kxcr-server\n");
        bench::RemoveTree(dir);
        return 1;
    }
    std::string device = "127.0.0.1:" + std::to_string(port) + ",@dev@kdt@kx31001_pciconf0";
    std::vector<std::string> whole = {bench::BesideThisProgram("ramtrawl"), device};
    std::vector<std::string> inProcess = {bench::BesideThisProgram("dump_bench"), "--in-process",
                                          device};
    std::vector<double> ratios, wholeTimes, inTimes;
    for (int rep = 0; rep < 8; ++rep) {
        size_t bytesWhole = 0, bytesIn = 0;
        std::string errWhole, errIn;
        double tWhole = Run(dir, whole, &bytesWhole, &errWhole);
        double tIn = Run(dir, inProcess, &bytesIn, &errIn) < 0 ? -1 : atof(errIn.c_str());
        if (tWhole <= 0 || tIn <= 0) {
            fprintf(stderr, "dump_bench: a run failed: %s%s\n", errWhole.c_str(), errIn.c_str());
            break;
        }
        if (rep == 0) continue;  // warm-up
        wholeTimes.push_back(tWhole);
        inTimes.push_back(tIn);
        ratios.push_back(tWhole / tIn);
    }
    bench::Stop(server);
    bench::RemoveTree(dir);
    if (ratios.empty()) return 1;
    printf("%u round trips per dump: whole run %.2f us, in-process dump %.2f us per round trip\n",
           kRoundTrips, bench::SpreadOf(wholeTimes).median / kRoundTrips * 1e6,
           bench::SpreadOf(inTimes).median / kRoundTrips * 1e6);
    bench::Result("whole-process dump / in-process dump", bench::SpreadOf(ratios), "<= 1.15");
    return 0;
}
