// Memory-mapped access: kread4 through the simulated chip's window against a
// plain load of the same word (interleaved), and the system calls made over
// a loop of kread4, counted by tracing a child. Goal: no system call per
// access.
#include <sys/ptrace.h>
#include <sys/syscall.h>

#include <cmath>
#include <cstring>

#include "bench_common.h"
#include "kxcr.h"
#include "sim.h"

namespace {

constexpr unsigned kReads = 10000000;
constexpr u_int32_t kWord = 0x50000;

double TimeKread4(kfile* kf) {
    u_int32_t value = 0, sum = 0;
    double start = bench::Now();
    for (unsigned i = 0; i < kReads; ++i) {
        kread4(kf, kWord + (i & 0xFF) * 4, &value);
        sum += value;
    }
    double elapsed = bench::Now() - start;
    volatile u_int32_t keep = sum;
    (void)keep;
    return elapsed / kReads;
}

// The least a mapped read costs: a load and the family's byte swap.
double TimePlainLoad(kfile* kf) {
    const volatile u_int32_t* window = static_cast<const volatile u_int32_t*>(kf->ptr);
    u_int32_t sum = 0;
    double start = bench::Now();
    for (unsigned i = 0; i < kReads; ++i)
        sum += __builtin_bswap32(window[(kWord >> 2) + (i & 0xFF)]);
    double elapsed = bench::Now() - start;
    volatile u_int32_t keep = sum;
    (void)keep;
    return elapsed / kReads;
}

// System calls a child makes between two marker calls around `reads`
// kread4; -1 when it cannot be traced.
long SystemCallsOver(kfile* kf, unsigned reads) {
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        syscall(SYS_getppid);
        u_int32_t value;
        for (unsigned i = 0; i < reads; ++i) kread4(kf, kWord, &value);
        syscall(SYS_getppid);
        _exit(0);
    }
    int status;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return -1;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int markers = 0;
    long calls = 0;
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr) != 0) break;
        if (waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (!WIFSTOPPED(status) || WSTOPSIG(status) != (SIGTRAP | 0x80)) continue;
        __ptrace_syscall_info info {};
        ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
        if (info.entry.nr == SYS_getppid)
            ++markers;
        else if (markers == 1)
            ++calls;
    }
    waitpid(pid, &status, WNOHANG);
    return markers == 2 ? calls : -1;
}

}  // namespace

int main() {
    std::string dir = bench::TempDir("mapped_bench");
    std::string error;
    auto chip = kxsim::Chip::Open(dir + "/chip.img", kxsim::Family::Zorvan, &error);
    if (!chip) {
        fprintf(stderr, "mapped_bench: %s\n", error.c_str());
        return 1;
    }
    kxsim::InstallDriver(chip.get());
    kfile* kf = kopen(kxsim::kZorvanPciName);
    if (kf == nullptr || kf->ptr == nullptr) {
        fprintf(stderr, "mapped_bench: cannot open the window\n");
        return 1;
    }
    std::vector<double> ratios, kread, plain;
    for (int rep = 0; rep < 7; ++rep) {
        double k = TimeKread4(kf);
        double p = TimePlainLoad(kf);
        kread.push_back(k * 1e9);
        plain.push_back(p * 1e9);
        ratios.push_back(k / p);
    }
    constexpr unsigned kTraced = 100000;
    long calls = SystemCallsOver(kf, kTraced);
    kclose(kf);
    kxsim::UninstallDriver();
    chip.reset();
    bench::RemoveTree(dir);
    printf("kread4 %.2f ns, plain load %.2f ns; %ld system calls over %u kread4\n",
           bench::SpreadOf(kread).median, bench::SpreadOf(plain).median, calls, kTraced);
    bench::Result("mapped kread4 / plain load", bench::SpreadOf(ratios), "-");
    bench::Spread perAccess;
    perAccess.median = perAccess.low = perAccess.high =
        calls < 0 ? std::nan("") : static_cast<double>(calls) / kTraced;
    bench::Result("mapped system calls per kread4", perAccess, "<= 0");
    return 0;
}
