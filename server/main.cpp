// kxcr-server: serves the local devices of this machine, real or simulated,
// to kxcr clients over TCP, one forked child per client.
#include <getopt.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "acceptor.h"
#include "control_regs.h"
#include "session.h"
#include "sim.h"
#include "tcp.h"

namespace {

struct Options {
    std::string image;
    std::string db;
    std::string address = "127.0.0.1";
    int port = 5000;
    int max_sessions = 16;
    bool read_only = false;
};

[[noreturn]] void usage(int status) {
    fprintf(status ? stderr : stdout,
            "usage: kxcr-server [--sim IMAGE] [--db DB] [--port N] [--address A] [--read-only]\n"
            "                   [--max-sessions N]\n"
            "  --sim IMAGE        serve the simulated chip kept in IMAGE (created when missing)\n"
            "  --db DB            the gateways' database: configures the simulated chip, and\n"
            "                     tells --read-only which control registers to guard\n"
            "  --port N           TCP port (default 5000); 0 picks a free one\n"
            "  --address A        IPv4 address to listen on (default 127.0.0.1); whoever can\n"
            "                     connect may write CR space\n"
            "  --read-only        refuse every write request, and every read of a control\n"
            "                     register of a gateway in DB: that read takes the gateway's\n"
            "                     lock, and only a write releases it. Without --db a client\n"
            "                     can still take a lock it cannot release, and the gateway\n"
            "                     stays locked for every user, the chip's own software too\n"
            "  --max-sessions N   clients served at once (default 16); past it a client's\n"
            "                     open is refused\n"
            "Prints \"listening on ADDRESS:PORT\" once it accepts connections.\n");
    exit(status);
}

// A decimal number from min to max, else the usage.
int parse_number(const char* text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || n < min || n > max) usage(1);
    return static_cast<int>(n);
}

Options parse_options(int argc, char** argv) {
    static const option longopts[] = {{"sim", required_argument, nullptr, 's'},
                                      {"db", required_argument, nullptr, 'd'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"address", required_argument, nullptr, 'a'},
                                      {"read-only", no_argument, nullptr, 'r'},
                                      {"max-sessions", required_argument, nullptr, 'm'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    Options o;
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
            case 's': o.image = optarg; break;
            case 'd': o.db = optarg; break;
            case 'p': o.port = parse_number(optarg, 0, 65535); break;
            case 'a': o.address = optarg; break;
            case 'r': o.read_only = true; break;
            case 'm': o.max_sessions = parse_number(optarg, 1, 4096); break;
            case 'h': usage(0);
            default: usage(1);
        }
    }
    if (optind != argc) usage(1);
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

SessionRules session_rules(const Options& o) {
    SessionRules rules;
    rules.read_only = o.read_only;
    std::string error;
    if (!o.db.empty() && !load_control_regs(o.db, &rules.control_regs, &error)) {
        fprintf(stderr, "kxcr-server: %s\n", error.c_str());
        exit(1);
    }
    if (o.read_only && o.db.empty()) {
        fprintf(stderr,
                "kxcr-server: read-only without --db: a client's read of a gateway's control "
                "register can lock that gateway for good\n");
    }
    return rules;
}

int listen_on(const Options& o) {
    int fd = open_listen_socket(o.address.c_str(), o.port);
    // A deeper backlog than the helper's: clients arriving together must not
    // wait for their connection requests to be sent again.
    if (fd >= 0 && listen(fd, SOMAXCONN) != 0) {
        int err = errno;
        close(fd);
        fd = -1;
        errno = err;
    }
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
    const SessionRules rules = session_rules(o);
    std::unique_ptr<kxsim::Chip> chip;
    if (!o.image.empty()) chip = start_simulation(o);
    // A client that goes away must end its child through a failed write,
    // not kill it before it closes the device.
    signal(SIGPIPE, SIG_IGN);
    // Finished sessions are reaped to count the live ones; an ignored
    // SIGCHLD inherited from our parent would hide them.
    signal(SIGCHLD, SIG_DFL);
    Acceptor acceptor(listen_on(o), o.max_sessions);
    pid_t server = getpid();
    int fd = acceptor.Next();
    // Stopping the server ends the sessions it serves.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != server) return 0;
    serve_client(fd, rules);
    return 0;
}
