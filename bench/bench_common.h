// What the benchmarks share: timing, the spread of interleaved repetitions,
// the result line that `make bench` gathers into its table, and a
// kxcr-server on a simulated chip.
#ifndef BENCH_COMMON_H
#define BENCH_COMMON_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

inline double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Processor time of the calling thread, user and system: on a machine shared
// with other work it counts what the measured code costs, not its waits.
inline double CpuNow() {
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Median and range of the ratios of interleaved repetitions.
struct Spread {
    double median = 0, low = 0, high = 0;
};

inline Spread SpreadOf(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.low = values.front();
    s.high = values.back();
    return s;
}

// One row of the final table: "RESULT|figure|value|goal|spread|verdict".
// Goals are "<= x", ">= x", or "-" for a figure without one.
inline void Result(const std::string& figure, const Spread& s, const char* goal) {
    const char* verdict = "-";
    if (goal[0] != '-') {
        double bound = std::atof(goal + 3);
        bool met = goal[0] == '<' ? s.median <= bound : s.median >= bound;
        verdict = met ? "met" : "MISSED";
    }
    printf("RESULT|%s|%.3f|%s|%.3f..%.3f|%s\n", figure.c_str(), s.median, goal, s.low, s.high,
           verdict);
    fflush(stdout);
}

inline std::string BesideThisProgram(const std::string& name) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return name;
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

inline std::string TempDir(const char* stem) {
    std::string pattern = std::string("/tmp/") + stem + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
}

inline void RemoveTree(const std::string& dir) {
    if (dir.empty()) return;
    std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir.c_str());
}

// Starts argv[0] (argv ends with a null) with its standard error on
// /dev/null and returns the first bytes it writes to standard output, ""
// when it could not start or wrote nothing. Its process id goes to *pid.
inline std::string SpawnAndRead(const std::vector<const char*>& argv, pid_t* pid) {
    int out[2];
    if (pipe(out) != 0) return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawn(pid, argv[0], &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char text[128] = {};
    ssize_t n = rc == 0 ? read(out[0], text, sizeof text - 1) : -1;
    close(out[0]);
    if (rc != 0) *pid = -1;
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

// A kxcr-server serving the simulated chip `image` with the gateways of
// `db` (none when empty); its port, or -1. Its log goes to /dev/null.
inline int StartServer(const std::string& image, const std::string& db, pid_t* pid) {
    const std::string server = BesideThisProgram("kxcr-server");
    std::vector<const char*> argv = {server.c_str(), "--sim", image.c_str(), "--port", "0"};
    if (!db.empty()) argv.insert(argv.end(), {"--db", db.c_str()});
    argv.push_back(nullptr);
    int port = -1;
    const std::string line = SpawnAndRead(argv, pid);
    if (sscanf(line.c_str(), "listening on 127.0.0.1:%d", &port) != 1) return -1;
    return port;
}

inline void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

}  // namespace bench

#endif  // BENCH_COMMON_H
