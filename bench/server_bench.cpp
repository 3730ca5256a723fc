// Throughput of kxcr-server at 1, 2, 4 and 8 clients, each a process with
// its own connection reading one word after another through kread4, against
// a trivial forking echo server answering the same message sizes (13-byte
// request, 13-byte reply). The two alternate. Goal: the server within 1.15
// times the echo server's time per round trip, i.e. at least 0.87 of its
// throughput.
#include <signal.h>
#include <sys/socket.h>

#include <cstring>

#include "bench_common.h"
#include "kxcr.h"
#include "tcp.h"

namespace {

constexpr int kMessage = 13;  // "R 0x00050000" and "O 0x00000000", each with its NUL
constexpr double kSeconds = 0.5;

// Forks a server per connection and echoes 13-byte messages; its port.
int StartEcho(pid_t* pid) {
    int listenfd = open_listen_socket("127.0.0.1", 0);
    if (listenfd < 0) return -1;
    int port = local_port(listenfd);
    *pid = fork();
    if (*pid == 0) {
        signal(SIGCHLD, SIG_IGN);
        for (;;) {
            int fd = accept(listenfd, nullptr, nullptr);
            if (fd < 0) continue;
            if (fork() == 0) {
                char reply[kMessage] = "O 0x00000000";
                char request[kMessage];
                while (readn(fd, request, kMessage) == kMessage &&
                       writen(fd, reply, kMessage) == kMessage) {
                }
                _exit(0);
            }
            close(fd);
        }
    }
    close(listenfd);
    return port;
}

// One client: round trips until the deadline; the count.
long Client(bool echo, int port, double deadline) {
    long count = 0;
    if (echo) {
        int fd = open_cli_connection("127.0.0.1", port);
        char request[kMessage] = "R 0x00050000";
        char reply[kMessage];
        while (fd >= 0 && bench::Now() < deadline && writen(fd, request, kMessage) == kMessage &&
               readn(fd, reply, kMessage) == kMessage)
            ++count;
        if (fd >= 0) close(fd);
        return count;
    }
    std::string name = "127.0.0.1:" + std::to_string(port) + ",@dev@kdt@kx31001_pci_cr0";
    kfile* kf = kopen(name.c_str());
    u_int32_t value;
    while (kf && bench::Now() < deadline && kread4(kf, 0x50000, &value) == 4) ++count;
    if (kf) kclose(kf);
    return count;
}

// Round trips per second of `clients` processes together.
double Throughput(bool echo, int port, int clients) {
    int counts[2];
    if (pipe(counts) != 0) return 0;
    double start = bench::Now();
    double deadline = start + kSeconds;
    std::vector<pid_t> pids;
    for (int c = 0; c < clients; ++c) {
        pid_t pid = fork();
        if (pid == 0) {
            long n = Client(echo, port, deadline);
            _exit(write(counts[1], &n, sizeof n) == sizeof n ? 0 : 1);
        }
        pids.push_back(pid);
    }
    close(counts[1]);
    long total = 0;
    for (long n; read(counts[0], &n, sizeof n) == sizeof n;) total += n;
    close(counts[0]);
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    return static_cast<double>(total) / (bench::Now() - start);
}

}  // namespace

int main() {
    std::string dir = bench::TempDir("server_bench");
    std::string db = dir + "/arr_db.txt";
    FILE* f = fopen(db.c_str(), "w");
    if (f) fclose(f);
    pid_t server = -1, echo = -1;
    int serverPort = bench::StartServer(dir + "/chip.img", db, &server);
    int echoPort = StartEcho(&echo);
    if (serverPort < 0 || echoPort < 0) {
        fprintf(stderr, "server_bench: cannot start the servers\n");
        bench::Stop(server);
        bench::Stop(echo);
        bench::RemoveTree(dir);
        return 1;
    }
    for (int clients : {1, 2, 4, 8}) {
        std::vector<double> ratios, served, echoed;
        for (int rep = 0; rep < 6; ++rep) {
            double e = Throughput(true, echoPort, clients);
            double s = Throughput(false, serverPort, clients);
            echoed.push_back(e);
            served.push_back(s);
            ratios.push_back(e > 0 ? s / e : 0);
        }
        printf("%d clients: kxcr-server %.0f, echo server %.0f round trips/s\n", clients,
               bench::SpreadOf(served).median, bench::SpreadOf(echoed).median);
        bench::Result("server / echo throughput, " + std::to_string(clients) + " clients",
                      bench::SpreadOf(ratios), ">= 0.87");
    }
    bench::Stop(server);
    bench::Stop(echo);
    bench::RemoveTree(dir);
    return 0;
}
