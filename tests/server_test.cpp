// kxcr-server against the simulated chip: the exact replies to well-formed
// and bad requests, the refusals that keep it safe, and its lifecycle.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include "server_helpers.h"
#include "tcp.h"

namespace {

using testsrv::Eventually;
using Replies = std::vector<std::pair<std::string, std::string>>;  // request, reply

const char kDb[] = "top.a GW_simple 40000 24 4 0 16 15 40010 4\n";
const std::string kOpen = "O 0x00000001 /dev/kdt/kx31001_pciconf0";
constexpr uint32_t kPlainWord = 0x50000;  // a CR word outside every gateway

// Waits up to five seconds for the socket to become readable.
bool Readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

// Sends one request (its NUL added) and returns the reply without its NUL;
// "<closed>" when the server closed the connection instead. Closing with
// unread bytes in the socket makes the kernel reset the connection.
std::string Ask(int fd, const std::string& request) {
    const std::string bytes = request + '\0';
    std::string reply;
    char c;
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) return "<closed>";
    while (Readable(fd) && recv(fd, &c, 1, 0) == 1) {
        if (c == '\0') return reply;
        reply += c;
    }
    return "<closed>";
}

// True when the server closes the connection without a byte.
bool ClosedByServer(int fd) {
    char c;
    ssize_t n = Readable(fd) ? recv(fd, &c, 1, 0) : 1;
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

void ExpectReplies(int fd, const Replies& rows) {
    for (const auto& [request, want] : rows) {
        SCOPED_TRACE("request \"" + request.substr(0, 40) + "\"");
        const std::string reply = Ask(fd, request);
        EXPECT_EQ(reply, want);
        // The smallest reply limit of the client holds every error reply.
        EXPECT_TRUE(reply[0] != 'E' || reply.size() + 1 <= 10u);
    }
}

// Waits until the server has read every byte sent on fd: in the kernel's
// table of sockets, the client's end holds no bytes sent and not
// acknowledged, and the server's none received and not read.
bool ServerHasRead(int fd, int server_port) {
    const int port = local_port(fd);
    const auto queue = [](const std::string& table, int from, int to, bool received) {
        char key[64];
        unsigned queues[2] = {1, 1};
        snprintf(key, sizeof key, " 0100007F:%04X 0100007F:%04X ", from, to);
        const size_t at = table.find(key);
        const bool found = at != std::string::npos &&
                           sscanf(table.c_str() + at + strlen(key), "%*x %x:%x", &queues[0], &queues[1]) == 2;
        return found ? queues[received] : 1u;
    };
    return Eventually([&] {
        const std::string table = testsrv::ReadFile("/proc/net/tcp");
        return queue(table, port, server_port, false) == 0 && queue(table, server_port, port, true) == 0;
    });
}

// A connection with the device opened on it, or -1 with the test failed.
int OpenSession(const testsrv::Server& server) {
    int fd = open_cli_connection("127.0.0.1", server.port());
    EXPECT_EQ(fd < 0 ? "" : Ask(fd, kOpen), "O");
    return fd;
}

class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server = testsrv::StartOrFail({kDb}), nullptr);
        ASSERT_NE(chip = testsrv::OpenChip(*server), nullptr);
        chip->Poke(kPlainWord, 0xCAFEF00D);
    }
    std::unique_ptr<testsrv::Server> server;
    std::unique_ptr<kxsim::Chip> chip;
};

// One connection, request after request: bad requests get an error reply
// and leave the connection usable.
TEST_F(ServerTest, RequestsAndReplies) {
    int fd = open_cli_connection("127.0.0.1", server->port());
    ASSERT_GE(fd, 0);
    simtest::ChipDir temp;
    const std::string stray = temp.Write("x_ppc", std::string(64, '\0'));  // a file named with a transport token
    ExpectReplies(fd, {
        // Names it must not open: no relaying to another server, no
        // InfiniBand, nothing outside the driver's directory.
        {"O 0x00000001 127.0.0.1:1,@dev@kdt@kx31001_pciconf0", "E refused"},
        {"O 0x00000001 /dev/kdt/lid-3", "E refused"},
        {"O 0x00000001 " + stray, "E refused"},
        {"O 0x00000001 /dev/kdt/../.." + stray, "E refused"},
        {"O 0x00000001 /dev/kdt/nothing", "E 2"},                // no transport token
        {"O 0x00000004 /dev/kdt/kx31001_pciconf0", "E syntax"},  // address type out of range
        {"O 0x00000001 ", "E syntax"}, {"O /dev/kdt/kx31001_pciconf0", "E syntax"},
        {"R 0x00050000", "E notopen"}, {"W 0x00050000 0x1", "E notopen"},
        {kOpen, "O"}, {kOpen, "E already"},
        {"R 0x00050002", "E 22"}, {"W 0x00050001 0x1", "E 22"},
        {"R", "E syntax"}, {"R ", "E syntax"}, {"R 0x", "E syntax"}, {"R 0x00050000 ", "E syntax"},
        {"R  0x00050000", "E syntax"}, {"R -4", "E syntax"}, {"R 0x100000000", "E syntax"},
        {"W 0x00050000", "E syntax"}, {"W 0x00050000 zz", "E syntax"}, {"Rx", "E syntax"}, {"C now", "E syntax"},
        {"X 1", "E unknown"}, {"", "E unknown"}, {"\x01\xff", "E unknown"},
        {"R " + std::string(5000, '1'), "E toolong"},
        {"R 0x00050000", "O 0xcafef00d"},
        {"W 0x00050004 0x12345678", "O"},
        {"W 327688 01234", "O"},  // decimal and octal numbers are numbers too
    });
    EXPECT_EQ(chip->Peek(kPlainWord + 4), 0x12345678u);
    EXPECT_EQ(chip->Peek(kPlainWord + 8), 01234u);
    // A close has no reply: the server closes the connection at once.
    ASSERT_EQ(send(fd, "C", 2, MSG_NOSIGNAL), 2);
    EXPECT_TRUE(ClosedByServer(fd));
    close(fd);
    EXPECT_NE(server->Log().find("refused \"X 1\": unknown request"), std::string::npos) << server->Log();
}

// A read of a control register takes the gateway's lock, which a read-only
// client could never release.
TEST(ServerReadOnly, RefusesWritesAndReadsThatTakeALock) {
    auto server = testsrv::StartOrFail({kDb, true});
    ASSERT_NE(server, nullptr);
    testsrv::OpenChip(*server)->Poke(kPlainWord, 7);
    int fd = open_cli_connection("127.0.0.1", server->port());
    ExpectReplies(fd, {{kOpen, "O"},
                       {"W 0x00050000 0x00000001", "E rdonly"},
                       {"R 0x00040000", "E rdonly"},
                       {"R 0x00040010", "O 0x00000000"},  // a data register
                       {"R 0x00050000", "O 0x00000007"}});
    EXPECT_EQ(testsrv::OpenChip(*server)->Peek(0x40000), 0u) << "the gateway is locked";
    close(fd);
}

// Each row on a connection of its own, its segments sent one after the
// other, the server having read each before the next is sent; the last one
// goes with a NUL. The longest request is 1035 bytes and its NUL, and one
// byte more is refused; connections that look like HTTP are dropped.
TEST_F(ServerTest, SegmentedRequests) {
    const std::string requests = '\0' + kOpen + '\0' + "W 0x00050000 0x00000001";
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"R " + std::string(1033, '0'), ""}, "E notopen"},
        {{"R " + std::string(1034, '0'), ""}, "E toolong"},
        {{"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}, "<closed>"},
        {{"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}, "<closed>"},
        {{"Host: 127.0.0.1\r\n"}, "<closed>"},
        {{"PO", "ST /api HTTP/1.1\r\nContent-Length: 60\r\n\r\n" + requests}, "<closed>"},
        {{"P", "OST /api HTTP/1.1\r\n\r\n" + requests}, "<closed>"},
    };
    for (const auto& [segments, want] : rows) {
        SCOPED_TRACE(segments[0].substr(0, 20));
        int fd = open_cli_connection("127.0.0.1", server->port());
        for (size_t i = 0; i + 1 < segments.size(); ++i) {
            ASSERT_EQ(send(fd, segments[i].data(), segments[i].size(), MSG_NOSIGNAL), ssize_t(segments[i].size()));
            ASSERT_TRUE(ServerHasRead(fd, server->port()));
        }
        EXPECT_EQ(Ask(fd, segments.back()), want);
        close(fd);
    }
    EXPECT_EQ(chip->Peek(kPlainWord), 0xCAFEF00Du);
    EXPECT_NE(server->Log().find("dropped: not a request (HTTP?)"), std::string::npos);
}

// The server listens on the loopback (the kernel's table of sockets: local
// address 127.0.0.1, state LISTEN); its log names a client by its address and
// port, whether it goes away after opening a session or before sending a
// byte; and it serves on, until stopping the listening process ends the
// sessions it serves.
TEST_F(ServerTest, AClientThatGoesAwayEndsItsChildCleanly) {
    char entry[64];
    snprintf(entry, sizeof entry, " 0100007F:%04X 00000000:0000 0A ", server->port());
    EXPECT_NE(testsrv::ReadFile("/proc/net/tcp").find(entry), std::string::npos) << entry;
    for (bool opens : {true, false}) {
        const int fd = opens ? OpenSession(*server) : open_cli_connection("127.0.0.1", server->port());
        const std::string peer = "kxcr-server: 127.0.0.1:" + std::to_string(local_port(fd)) + ": ";
        close(fd);
        EXPECT_TRUE(Eventually([&] { return server->Log().find(peer + "closed\n") != std::string::npos; }));
        const std::string opened = opens ? peer + "opened /dev/kdt/kx31001_pciconf0\n" : "";
        EXPECT_NE(server->Log().find(peer + "connected\n" + opened + peer + "disconnected\n" + peer + "closed\n"),
                  std::string::npos)
            << server->Log();
    }
    const int fd = OpenSession(*server);
    kill(server->pid(), SIGKILL);
    EXPECT_TRUE(ClosedByServer(fd));
    close(fd);
}

// Waits until the server waits in accept and no session is running (one
// that has ended waits there to be reaped).
bool ServerIdle(const testsrv::Server& server) {
    const std::string proc = "/proc/" + std::to_string(server.pid());
    return Eventually([&] {
        bool idle = testsrv::ReadFile(proc + "/syscall").rfind(std::to_string(SYS_accept4) + " ", 0) == 0;
        std::istringstream children(testsrv::ReadFile(proc + "/task/" + std::to_string(server.pid()) + "/children"));
        for (std::string child; idle && children >> child;) {
            const std::string stat = testsrv::ReadFile("/proc/" + child + "/stat");
            idle = stat.empty() || stat.find(") Z ") != std::string::npos;
        }
        return idle;
    });
}

// Sets the soft limit of a resource of process pid to `cur`, or back to the
// test's own when none is given, from a child that takes pid's user: the test
// may lack the privilege to change another user's limits.
bool SetSoftLimit(pid_t pid, decltype(RLIMIT_NOFILE) resource, std::optional<rlim_t> cur = {}) {
    struct stat owner {};
    rlimit limit{};
    if (stat(("/proc/" + std::to_string(pid)).c_str(), &owner) != 0 || getrlimit(resource, &limit) != 0) return false;
    limit.rlim_cur = cur.value_or(limit.rlim_cur);
    const pid_t child = fork();
    if (child == 0) {
        const bool as_owner = getuid() == owner.st_uid || (setgid(owner.st_gid) == 0 && setuid(owner.st_uid) == 0);
        _exit(as_owner && prlimit(pid, resource, &limit, nullptr) == 0 ? 0 : 1);
    }
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child && status == 0;
}

// A client the server cannot take is dropped, with an error reply to its
// open where it can still send one, and the server serves on.
TEST(ServerLimits, AClientThatCannotBeServedIsDroppedAlone) {
    auto server = testsrv::StartOrFail({kDb, false, {"--max-sessions", "1"}, {}, true});
    ASSERT_NE(server, nullptr);
    // The lowest free descriptor number: a limit there leaves no room for one more.
    const auto lowest_free_fd = [&] {
        rlim_t free = 0;
        const std::string fds = "/proc/" + std::to_string(server->pid()) + "/fd/";
        while (std::filesystem::exists(fds + std::to_string(free))) ++free;
        return free;
    };
    const struct {
        int resource;  // -1: the one session the cap allows is taken
        std::string want_reply;
        std::string want_log;
    } rows[] = {
        {-1, "E busy", "refused: 1 sessions already"},
        {RLIMIT_NOFILE, "<closed>", "dropped: accept: Too many open files"},
        {RLIMIT_NPROC, "E 11", "refused: fork: Resource temporarily unavailable"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.want_log);
        ASSERT_TRUE(ServerIdle(*server));
        const auto resource = static_cast<decltype(RLIMIT_NOFILE)>(row.resource);
        if (row.resource >= 0) {
            ASSERT_TRUE(SetSoftLimit(server->pid(), resource, row.resource == RLIMIT_NOFILE ? lowest_free_fd() : 0));
        }
        // The accept the server waits in holds the last free descriptor
        // already: the one after it finds the table full.
        const int holder = row.resource < 0            ? OpenSession(*server)
                           : row.resource == RLIMIT_NOFILE ? open_cli_connection("127.0.0.1", server->port())
                                                           : -1;
        int fd = open_cli_connection("127.0.0.1", server->port());
        EXPECT_EQ(Ask(fd, kOpen), row.want_reply);
        EXPECT_TRUE(row.want_reply == "<closed>" || ClosedByServer(fd));
        close(fd);
        close(holder);
        EXPECT_TRUE(row.resource < 0 || SetSoftLimit(server->pid(), resource));
        // The server opens a new session (one that is ending may still hold its place).
        EXPECT_TRUE(Eventually([&] {
            int again = open_cli_connection("127.0.0.1", server->port());
            const bool opened = again >= 0 && Ask(again, kOpen) == "O";
            close(again);
            return opened;
        }));
        EXPECT_NE(server->Log().find(row.want_log), std::string::npos) << server->Log();
    }
}

// The name of a client is looked up only for the trace, which a server does
// not turn on: a lookup that waits for a slow name server would stall every
// connection. The dynamic linker reports the first call of each function;
// the lines "kxcr-server [0] to" are the calls of the server's own code.
TEST(ServerLimits, NoNameLookupOfTheClient) {
    simtest::ChipDir trace_dir;
    auto server =
        testsrv::StartOrFail({kDb, false, {}, {"LD_DEBUG=bindings", "LD_DEBUG_OUTPUT=" + trace_dir.path() + "/ld"}});
    ASSERT_NE(server, nullptr);
    close(OpenSession(*server));
    std::string called;
    for (const auto& file : std::filesystem::directory_iterator(trace_dir.path())) {
        std::istringstream lines(testsrv::ReadFile(file.path()));
        for (std::string line; std::getline(lines, line);)
            if (line.find("kxcr-server [0] to ") != std::string::npos) called += line + "\n";
    }
    EXPECT_NE(called.find("`fork'"), std::string::npos) << "no trace of calls";
    for (const char* lookup : {"`getnameinfo'", "`gethostbyaddr"})
        EXPECT_EQ(called.find(lookup), std::string::npos) << lookup;
}

TEST(ServerCommandLine, UsageAndExitStatus) {
    simtest::ChipDir temp;
    const std::string bad_db = temp.Write("bad_db.txt", "top.a GW_simple 1000000000 24 4 0 16 15 40010 4\n");
    const std::string no_digits = temp.Write("no_digits.txt", "top.a GW_simple 0x 24 4 0 16 15 40010 4\n");
    const struct {
        testsrv::Args argv;
        int want_status;
        bool want_usage;
    } rows[] = {
        {{SERVER_BIN, "--help"}, 0, true}, {{SERVER_BIN, "--bogus"}, 1, true},
        // An unreadable database, a gateway address wider than 32 bits, "0x"
        // without digits.
        {{SERVER_BIN, "--db", temp.path() + "/none", "--port", "0"}, 1, false},
        {{SERVER_BIN, "--db", bad_db, "--port", "0"}, 1, false},
        {{SERVER_BIN, "--db", no_digits, "--port", "0"}, 1, false},
        {{SERVER_BIN, "--port", "70000"}, 1, true}, {{SERVER_BIN, "--max-sessions", "0"}, 1, true},
        {{SERVER_BIN, "--address", "nowhere", "--port", "0"}, 1, false},
        // The image cannot be created.
        {{SERVER_BIN, "--sim", "/nonexistent/dir/img", "--port", "0"}, 1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.argv));
        const testsrv::RunResult r = testsrv::RunProgram(row.argv);
        EXPECT_EQ(r.status, row.want_status) << r.err;
        EXPECT_EQ((r.out + r.err).find("usage: kxcr-server") != std::string::npos, row.want_usage);
    }
}

}  // namespace
