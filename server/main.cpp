// kxcr-server: serves the local devices of this machine, real or simulated,
// to kxcr clients over TCP, one forked child per client.
#include <getopt.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "session.h"
#include "sim.h"
#include "tcp.h"

namespace {

struct Options {
    std::string image;
    std::string db;
    std::string address = "127.0.0.1";
    int port = 5000;
    bool read_only = false;
};

[[noreturn]] void usage(int status) {
    fprintf(status ? stderr : stdout,
            "usage: kxcr-server [--sim IMAGE [--db DB]] [--port N] [--address A] [--read-only]\n"
            "  --sim IMAGE   serve the simulated chip kept in IMAGE (created when missing)\n"
            "  --db DB       configure the simulated chip's gateways from the database DB\n"
            "  --port N      TCP port (default 5000); 0 picks a free one\n"
            "  --address A   IPv4 address to listen on (default 127.0.0.1); whoever can\n"
            "                connect may write CR space\n"
            "  --read-only   refuse every write request\n"
            "Prints \"listening on ADDRESS:PORT\" once it accepts connections.\n");
    exit(status);
}

int parse_port(const char* text) {
    char* end = nullptr;
    long port = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || port < 0 || port > 65535) usage(1);
    return static_cast<int>(port);
}

Options parse_options(int argc, char** argv) {
    static const option longopts[] = {{"sim", required_argument, nullptr, 's'},
                                      {"db", required_argument, nullptr, 'd'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"address", required_argument, nullptr, 'a'},
                                      {"read-only", no_argument, nullptr, 'r'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    Options o;
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
            case 's': o.image = optarg; break;
            case 'd': o.db = optarg; break;
            case 'p': o.port = parse_port(optarg); break;
            case 'a': o.address = optarg; break;
            case 'r': o.read_only = true; break;
            case 'h': usage(0);
            default: usage(1);
        }
    }
    if (optind != argc || (!o.db.empty() && o.image.empty())) usage(1);
    return o;
}

// Opens the simulated chip and puts its driver behind kxcr, so that the
// children serve it like a real device.
std::unique_ptr<kxsim::Chip> start_simulation(const Options& o) {
    std::string error;
    std::unique_ptr<kxsim::Chip> chip = kxsim::Chip::Open(o.image, kxsim::Family::Zorvan, &error);
    if (chip && !o.db.empty() && !chip->LoadDatabase(o.db, &error)) chip.reset();
    if (!chip) {
        fprintf(stderr, "kxcr-server: %s\n", error.c_str());
        exit(1);
    }
    kxsim::InstallDriver(chip.get());
    return chip;
}

int listen_on(const Options& o) {
    int fd = open_listen_socket(o.address.c_str(), o.port);
    if (fd < 0) {
        fprintf(stderr, "kxcr-server: cannot listen on %s:%d: %s\n", o.address.c_str(), o.port,
                strerror(errno));
        exit(1);
    }
    printf("listening on %s:%d\n", o.address.c_str(), local_port(fd));
    fflush(stdout);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    std::unique_ptr<kxsim::Chip> chip;
    if (!o.image.empty()) chip = start_simulation(o);
    // A client that goes away must end its child through a failed write,
    // not kill it before it closes the device.
    signal(SIGPIPE, SIG_IGN);
    int listenfd = listen_on(o);
    pid_t server = getpid();
    int fd = accept_serv_connection(listenfd);
    if (fd < 0) {
        fprintf(stderr, "kxcr-server: accept failed: %s\n", strerror(errno));
        return 1;
    }
    // Stopping the server ends the sessions it serves.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != server) return 0;
    serve_client(fd, o.read_only);
    return 0;
}
