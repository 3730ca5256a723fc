#include "fuzz_support.h"

#include <sanitizer/allocator_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>

#include "kxcr_os.h"

// The coverage counters of the whole program (inline 8-bit counters).
extern "C" uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern "C" uint8_t __stop___sancov_cntrs[] __attribute__((weak));

// A small quarantine of freed memory: every fork copies the page tables of
// what the fuzzer holds, and the default quarantine grows to 256 MB.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

namespace fuzz {
namespace {

// What the child hands back through shared memory: how it ended, followed
// by its coverage counters.
struct Shared {
    std::atomic<int> ending;  // -1 until the child ends as it may
    uint8_t* counters() { return reinterpret_cast<uint8_t*>(this + 1); }
};

size_t CounterBytes() { return size_t(__stop___sancov_cntrs - __start___sancov_cntrs); }

Shared* TheShared() {
    static Shared* shared = [] {
        void* p = mmap(nullptr, sizeof(Shared) + CounterBytes(), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) Fail("cannot map the shared memory");
        return new (p) Shared{};
    }();
    return shared;
}

// Standard error as the program started, before the fuzzer closes it for
// -close_fd_mask=2: a child reports there. A sanitizer reopens the report
// file the fuzzer gave it when the process id changes, so the child names
// it anew.
const int g_report_fd = dup(STDERR_FILENO);

// Allocations of the child's body; a body that returns with more
// allocations than frees is checked for leaks.
std::atomic<size_t> g_allocs{0};
std::atomic<size_t> g_frees{0};
void CountAlloc(const volatile void*, size_t) { ++g_allocs; }
void CountFree(const volatile void*) { ++g_frees; }

[[noreturn]] void EndChild(Ending ending) {
    std::cout.flush();
    std::fflush(nullptr);
    Shared* shared = TheShared();
    std::memcpy(shared->counters(), __start___sancov_cntrs, CounterBytes());
    shared->ending = static_cast<int>(ending);
    _exit(0);
}

// Runs first among the exit handlers (it is registered last) and leaves
// before the others: the fuzzer's own handler would take the exit for a
// fault, and leak checking makes no sense for a process that ends.
void ExitedChild() { EndChild(Ending::Exited); }

[[noreturn]] void RunChild(const std::function<void()>& body, pid_t parent) {
    // A child left behind by a fuzzer stopped on a timeout dies with it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(g_report_fd)));
    std::atexit(ExitedChild);
    g_allocs = 0;
    g_frees = 0;
    body();
    if (g_allocs != g_frees && __lsan_do_recoverable_leak_check() != 0) {
        __sanitizer_report_error_summary("fuzz: the input leaks memory");
        _exit(1);
    }
    EndChild(Ending::Returned);
}

// The simulated driver's table, and the fenced copy of it in force.
const kxcr_os_ops* g_chip_os = nullptr;
kxcr_os_ops g_fenced_os;
size_t g_requests_left = 0;

bool InDeviceDir(const char* path) {
    return std::strncmp(path, "/dev/kdt/", 9) == 0 && std::strstr(path, "/..") == nullptr;
}

int FencedOpen(const char* path, int flags) {
    if (!InDeviceDir(path)) {
        errno = ENOENT;
        return -1;
    }
    return g_chip_os->open(path, flags);
}

int FencedIoctl(int fd, unsigned long request, void* arg) {
    if (g_requests_left == 0) {
        errno = EIO;
        return -1;
    }
    --g_requests_left;
    return g_chip_os->ioctl(fd, request, arg);
}

void* FencedOpendir(const char* path) {
    if (std::strcmp(path, "/dev/kdt") != 0) {
        errno = ENOENT;
        return nullptr;
    }
    return g_chip_os->opendir(path);
}

}  // namespace

Ending RunIsolated(const std::function<void()>& body) {
    static const bool ready = [] {
        // Standard output's buffer, allocated by the first output otherwise,
        // would outlive every child that prints.
        static char out_buffer[BUFSIZ];
        std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
        return __sanitizer_install_malloc_and_free_hooks(CountAlloc, CountFree) != 0;
    }();
    (void)ready;
    Shared* shared = TheShared();
    shared->ending = -1;
    // Output still buffered here would be written twice.
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) Fail("fork failed");
    if (child == 0) RunChild(body, parent);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) Fail("waitpid failed");
    }
    const int ending = shared->ending;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || ending < 0) {
        Fail(WIFSIGNALED(status) ? "the child died of signal " + std::to_string(WTERMSIG(status))
                                 : "the child failed with status " + std::to_string(WEXITSTATUS(status)));
    }
    std::memcpy(__start___sancov_cntrs, shared->counters(), CounterBytes());
    return static_cast<Ending>(ending);
}

void Fail(const std::string& what) {
    // Where sanitizer reports go: standard error may be closed for the run.
    __sanitizer_report_error_summary(("fuzz: " + what).c_str());
    std::abort();
}

const std::string& ScratchDir() {
    // Never destroyed: the exit handler that removes it needs it.
    static const std::string* dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        auto* made = new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-XXXXXX");
        if (!mkdtemp(made->data())) Fail("cannot make a scratch directory");
        static const pid_t owner = getpid();
        std::atexit([] {
            std::error_code ignored;
            if (getpid() == owner) std::filesystem::remove_all(ScratchDir(), ignored);
        });
        return made;
    }();
    return *dir;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        Fail("cannot write " + path);
    }
}

std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) pieces.emplace_back();
        else pieces.back() += static_cast<char>(data[i]);
    }
    return pieces;
}

FencedChip::FencedChip(size_t requests) {
    const std::string image = ScratchDir() + "/chip.img";
    unlink(image.c_str());
    std::string error;
    chip_ = kxsim::Chip::Open(image, kxsim::Family::Zorvan, &error);
    if (!chip_) Fail("cannot open the simulated chip: " + error);
    kxsim::InstallDriver(chip_.get());
    // Calls on what was opened go to the driver as they are.
    g_chip_os = kxcr_os();
    g_fenced_os = *g_chip_os;
    g_fenced_os.open = FencedOpen;
    g_fenced_os.ioctl = FencedIoctl;
    g_fenced_os.opendir = FencedOpendir;
    g_requests_left = requests;
    kxcr_set_os(&g_fenced_os);
}

void FencedChip::MakeLogRoom(size_t accesses) {
    uint32_t ignored;
    for (size_t i = 0; i < accesses; ++i) chip_->Read(0, &ignored);
    chip_->ClearTraffic();
}

FencedChip::~FencedChip() {
    kxsim::UninstallDriver();
    chip_.reset();
    unlink((ScratchDir() + "/chip.img").c_str());
}

}  // namespace fuzz
