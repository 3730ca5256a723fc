// Latency of a remote kread4 against a raw loopback ping-pong of the same
// message sizes (13-byte request, 13-byte reply). The server serves the
// simulated chip's memory-mapped window, so a read there is a plain load and
// the difference is the cost of the protocol. Goal: the remote read within
// 1.05 times the raw round trip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_common.h"
#include "kxcr.h"
#include "tcp.h"

extern char** environ;

namespace {

constexpr int kMessage = 13;  // "R 0x00050000" and "O 0x00000000", each with its NUL
constexpr unsigned kWord = 0x50000;
const char* const kGoal = "<= 1.05";
constexpr int kPairs = 5000;  // per repetition
constexpr int kRepetitions = 20;

pid_t g_server = -1;
pid_t g_echo = -1;
kfile* g_remote = nullptr;
int g_raw = -1;

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

bool RawRoundTrip() {
    char request[kMessage] = "R 0x00050000";
    char reply[kMessage];
    return writen(g_raw, request, kMessage) == kMessage && readn(g_raw, reply, kMessage) == kMessage;
}

bool RemoteRead() {
    u_int32_t value = 0;
    return kread4(g_remote, kWord, &value) == 4;
}

// The call's time in nanoseconds, or -1 when it failed.
template <class Call>
double Nanoseconds(Call call) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = call();
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    return ok ? took.count() : -1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One raw round trip and one remote kread4 per iteration, each timed alone:
// the machine's other work weighs on both alike, and the medians leave out
// the round trips it interrupted. Counters of each repetition: the medians
// in nanoseconds and their ratio.
void BM_RemoteOverRaw(benchmark::State& state) {
    std::vector<double> raw;
    std::vector<double> remote;
    for (auto _ : state) {
        raw.push_back(Nanoseconds(RawRoundTrip));
        remote.push_back(Nanoseconds(RemoteRead));
        if (raw.back() < 0 || remote.back() < 0) {
            state.SkipWithError("round trip failed");
            return;
        }
    }
    const double raw_ns = Median(raw);
    const double remote_ns = Median(remote);
    state.counters["raw_ns"] = raw_ns;
    state.counters["remote_ns"] = remote_ns;
    state.counters["ratio"] = remote_ns / raw_ns;
}

double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double Greatest(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

BENCHMARK(BM_RemoteOverRaw)
    ->Iterations(kPairs)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", Least)
    ->ComputeStatistics("max", Greatest);

// Prints as usual and keeps the statistics of the ratio over the
// repetitions, by name ("median", "min", "max").
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto ratio = run.counters.find("ratio");
            if (run.run_type == Run::RT_Aggregate && ratio != run.counters.end()) {
                ratio_[run.aggregate_name] = ratio->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Ratio(const std::string& statistic) const {
        auto it = ratio_.find(statistic);
        return it == ratio_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> ratio_;
};

// Pins the calling process (and the children it starts from now on) to one
// processor. The peers run on one processor and the client on the other, so
// that the raw and the remote round trips cross the same path between them
// rather than whatever the scheduler picks for each.
void PinTo(int cpu) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

bool SetUp(const std::string& dir) {
    PinTo(1);
    int server_port = bench::StartServer(dir + "/chip.img", "", &g_server);
    int echo_port = StartEcho();
    PinTo(0);
    if (server_port < 0 || echo_port < 0) return false;
    g_raw = open_cli_connection("127.0.0.1", echo_port);
    std::string name = "127.0.0.1:" + std::to_string(server_port) + ",@dev@kdt@kx31001_pci_cr0";
    g_remote = kopen(name.c_str());
    return g_raw >= 0 && g_remote != nullptr;
}

void TearDown(const std::string& dir) {
    if (g_remote) kclose(g_remote);
    if (g_raw >= 0) close(g_raw);
    bench::Stop(g_server);
    bench::Stop(g_echo);
    std::string image = dir + "/chip.img";
    unlink(image.c_str());
    rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
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
    if (reporter.Ratio("median") > 0) {
        printf("remote kread4 / raw round trip: median of %d repetitions of %d interleaved pairs\n",
               kRepetitions, kPairs);
        bench::Result("remote kread4 / raw round trip",
                      {reporter.Ratio("median"), reporter.Ratio("min"), reporter.Ratio("max")},
                      kGoal);
    }
    return 0;
}
