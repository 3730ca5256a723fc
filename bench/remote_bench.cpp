// Latency of a remote kread4 against a raw loopback ping-pong of the same
// message sizes (13-byte request, 13-byte reply), in one run. The server
// serves the simulated chip's memory-mapped window, so a read there is a
// plain load and the difference is the cost of the protocol. Target: the
// remote read within 1.15 times the raw round trip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "kxcr.h"
#include "tcp.h"

extern char** environ;

namespace {

constexpr int kMessage = 13;  // "R 0x00050000" and "O 0x00000000", each with its NUL
constexpr unsigned kWord = 0x50000;

pid_t g_server = -1;
pid_t g_echo = -1;
kfile* g_remote = nullptr;
int g_raw = -1;

std::string BesideThisProgram(const char* name) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return name;
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

// Starts kxcr-server on a fresh simulated chip; returns its port or -1.
int StartServer(const std::string& image) {
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // Its connection log would interleave with the results.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string server = BesideThisProgram("kxcr-server");
    const char* argv[] = {server.c_str(), "--sim", image.c_str(), "--port", "0", nullptr};
    int rc = posix_spawn(&g_server, server.c_str(), &actions, nullptr, const_cast<char**>(argv),
                         environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char line[128] = {};
    ssize_t n = rc == 0 ? read(out[0], line, sizeof line - 1) : -1;
    close(out[0]);
    int port = -1;
    if (n <= 0 || sscanf(line, "listening on 127.0.0.1:%d", &port) != 1) return -1;
    return port;
}

// The raw peer: reads each 13-byte request whole and answers 13 bytes.
int StartEcho() {
    int listenfd = open_listen_socket("127.0.0.1", 0);
    if (listenfd < 0) return -1;
    int port = local_port(listenfd);
    g_echo = fork();
    if (g_echo == 0) {
        int fd = accept(listenfd, nullptr, nullptr);
        char reply[kMessage] = "O 0x00000000";
        char request[kMessage];
        while (fd >= 0 && readn(fd, request, kMessage) == kMessage &&
               writen(fd, reply, kMessage) == kMessage) {
        }
        _exit(0);
    }
    close(listenfd);
    return port;
}

void BM_RawRoundTrip(benchmark::State& state) {
    char request[kMessage] = "R 0x00050000";
    char reply[kMessage];
    for (auto _ : state) {
        if (writen(g_raw, request, kMessage) != kMessage || readn(g_raw, reply, kMessage) != kMessage) {
            state.SkipWithError("raw round trip failed");
            break;
        }
    }
}
BENCHMARK(BM_RawRoundTrip)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);

void BM_RemoteKread4(benchmark::State& state) {
    u_int32_t value = 0;
    for (auto _ : state) {
        if (kread4(g_remote, kWord, &value) != 4) {
            state.SkipWithError("remote kread4 failed");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_RemoteKread4)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);

// Prints as usual and keeps each benchmark's median time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Time(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> times_;
};

bool SetUp(const std::string& dir) {
    int server_port = StartServer(dir + "/chip.img");
    int echo_port = StartEcho();
    if (server_port < 0 || echo_port < 0) return false;
    g_raw = open_cli_connection("127.0.0.1", echo_port);
    std::string name = "127.0.0.1:" + std::to_string(server_port) + ",@dev@kdt@kx31001_pci_cr0";
    g_remote = kopen(name.c_str());
    return g_raw >= 0 && g_remote != nullptr;
}

void TearDown(const std::string& dir) {
    if (g_remote) kclose(g_remote);
    if (g_raw >= 0) close(g_raw);
    for (pid_t pid : {g_server, g_echo}) {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    std::string image = dir + "/chip.img";
    unlink(image.c_str());
    rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Repetitions of the two benchmarks alternate, so that a change in the
    // machine's load weighs on both sides of the ratio alike.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    char dir[] = "/tmp/remote_benchXXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    if (!SetUp(dir)) {
        fprintf(stderr, "remote_bench: cannot start the server or the raw peer\n");
        TearDown(dir);
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    TearDown(dir);
    double raw = reporter.Time("BM_RawRoundTrip");
    double remote = reporter.Time("BM_RemoteKread4");
    if (raw > 0 && remote > 0) {
        printf("remote kread4 / raw round trip: %.3f (target <= 1.15)\n", remote / raw);
    }
    return 0;
}
