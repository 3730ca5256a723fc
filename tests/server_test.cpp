// kxcr-server against the simulated chip: the exact replies to well-formed
// and bad requests, the refusals that keep it safe, and its lifecycle.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
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
#include <set>
#include <sstream>
#include <string>

#include "server_helpers.h"
#include "sim_helpers.h"

namespace {

using namespace std::string_literals;
using testsrv::Eventually;

const char kDb[] = "top.a GW_simple 40000 24 4 0 16 15 40010 4\n";
const std::string kOpen = "O 0x00000001 /dev/kdt/kx31001_pciconf0";
// A CR word outside every gateway.
constexpr uint32_t kPlainWord = 0x50000;

// Waits up to five seconds for the socket to become readable.
bool Readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

// Sends one request (its NUL added) and returns the reply without its NUL;
// "<closed>" when the server closed the connection instead.
std::string Ask(int fd, const std::string& request) {
    std::string bytes = request + '\0';
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) return "<closed>";
    std::string reply;
    char c;
    while (Readable(fd) && recv(fd, &c, 1, 0) == 1) {
        if (c == '\0') return reply;
        reply += c;
    }
    return "<closed>";
}

// True when the server closes the connection without a byte. Closing with
// unread bytes in the socket makes the kernel reset the connection.
bool ClosedByServer(int fd) {
    if (!Readable(fd)) return false;
    char c;
    ssize_t n = recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// The kernel's queues of one end of a loopback connection, from its table of
// sockets: bytes sent and not acknowledged, and bytes received and not read.
bool Queues(int local_port, int remote_port, unsigned* tx, unsigned* rx) {
    char key[64];
    snprintf(key, sizeof key, " 0100007F:%04X 0100007F:%04X ", local_port, remote_port);
    const std::string table = testsrv::ReadFile("/proc/net/tcp");
    const size_t at = table.find(key);
    unsigned state = 0;
    return at != std::string::npos &&
           sscanf(table.c_str() + at + strlen(key), "%x %x:%x", &state, tx, rx) == 3;
}

// Waits until the server has read every byte sent on fd.
bool ServerHasRead(int fd, int server_port) {
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
    const int port = ntohs(me.sin_port);
    return Eventually([&] {
        unsigned tx = 1, rx = 1, ignored = 0;
        return Queues(port, server_port, &tx, &ignored) && Queues(server_port, port, &ignored, &rx) &&
               tx == 0 && rx == 0;
    });
}

// A connection with the device opened on it, or -1 with the test failed.
int OpenSession(const testsrv::Server& server) {
    int fd = testsrv::Connect(server.port());
    EXPECT_EQ(fd < 0 ? "" : Ask(fd, kOpen), "O");
    return fd;
}

// Waits for the server to open a new session (one that
// is ending may still hold its place).
bool OpensAgain(const testsrv::Server& server) {
    return Eventually([&] {
        int fd = testsrv::Connect(server.port());
        const bool opened = fd >= 0 && Ask(fd, kOpen) == "O";
        close(fd);
        return opened;
    });
}

class ServerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(server = testsrv::StartOrFail({kDb}), nullptr); }
    std::unique_ptr<testsrv::Server> server;
};

// One connection, request after request: bad requests get an error reply
// and leave the connection usable.
TEST_F(ServerTest, RequestsAndReplies) {
    auto chip = testsrv::OpenChip(*server);
    chip->Poke(kPlainWord, 0xCAFEF00D);
    int fd = testsrv::Connect(server->port());
    ASSERT_GE(fd, 0);
    // A regular file whose name holds a transport token.
    simtest::ChipDir temp;
    const std::string stray = temp.Write("x_ppc", std::string(64, '\0'));
    struct Row {
        std::string request;
        std::string want;
    };
    const Row rows[] = {
        // Names it must not open: no relaying to another server, no InfiniBand,
        // nothing outside the driver's directory.
        {"O 0x00000001 127.0.0.1:1,@dev@kdt@kx31001_pciconf0", "E refused"},
        {"O 0x00000001 /dev/kdt/lid-3", "E refused"},
        {"O 0x00000001 " + stray, "E refused"},
        {"O 0x00000001 /dev/kdt/../.." + stray, "E refused"},
        {"O 0x00000001 /dev/kdt/nothing", "E 2"},  // no transport token
        {"O 0x00000004 /dev/kdt/kx31001_pciconf0", "E syntax"},  // address type out of range
        {"O 0x00000001 ", "E syntax"},
        {"O /dev/kdt/kx31001_pciconf0", "E syntax"},
        {"R 0x00050000", "E notopen"},
        {"W 0x00050000 0x1", "E notopen"},
        {kOpen, "O"},
        {kOpen, "E already"},
        {"R 0x00050002", "E 22"},
        {"W 0x00050001 0x1", "E 22"},
        {"R", "E syntax"},
        {"R ", "E syntax"},
        {"R 0x", "E syntax"},
        {"R 0x00050000 ", "E syntax"},
        {"R  0x00050000", "E syntax"},
        {"R -4", "E syntax"},
        {"R 0x100000000", "E syntax"},
        {"W 0x00050000", "E syntax"},
        {"W 0x00050000 zz", "E syntax"},
        {"Rx", "E syntax"},
        {"C now", "E syntax"},
        {"X 1", "E unknown"},
        {"", "E unknown"},
        {"\x01\xff", "E unknown"},
        {"R " + std::string(5000, '1'), "E toolong"},
        {"R 0x00050000", "O 0xcafef00d"},
        {"W 0x00050004 0x12345678", "O"},
        {"W 327688 01234", "O"},  // decimal and octal numbers are numbers too
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("request \"" + row.request.substr(0, 40) + "\"");
        std::string reply = Ask(fd, row.request);
        EXPECT_EQ(reply, row.want);
        // The smallest reply limit of the client holds every error reply.
        EXPECT_TRUE(reply[0] != 'E' || reply.size() + 1 <= 10u);
    }
    EXPECT_EQ(chip->Peek(kPlainWord + 4), 0x12345678u);
    EXPECT_EQ(chip->Peek(kPlainWord + 8), 01234u);
    // A close has no reply: the server closes the connection at once.
    ASSERT_EQ(send(fd, "C", 2, MSG_NOSIGNAL), 2);
    EXPECT_TRUE(ClosedByServer(fd));
    close(fd);
    EXPECT_NE(server->Log().find("refused \"X 1\": unknown request"), std::string::npos) << server->Log();
}

// The longest request is 1035 bytes and its NUL; one byte more is refused,
// the NUL arriving after the server has read the rest.
TEST_F(ServerTest, LongestRequest) {
    int fd = testsrv::Connect(server->port());
    ASSERT_GE(fd, 0);
    for (const auto& [length, want] : {std::pair<size_t, std::string>{1035, "E notopen"}, {1036, "E toolong"}}) {
        const std::string text = "R " + std::string(length - 2, '0');
        ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
        ASSERT_TRUE(ServerHasRead(fd, server->port()));
        EXPECT_EQ(Ask(fd, ""), want) << length;
    }
    close(fd);
}

// Each row is sent segment after segment, the server having read each before
// the next is sent.
TEST_F(ServerTest, DropsConnectionsThatLookLikeHttp) {
    const std::string requests = '\0' + kOpen + '\0' + "W 0x00050000 0x00000001" + '\0';
    const std::vector<std::string> rows[] = {
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
        {"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
        {"Host: 127.0.0.1\r\n"},
        {"PO", "ST /api HTTP/1.1\r\nContent-Length: 60\r\n\r\n" + requests},
        {"P", "OST /api HTTP/1.1\r\n\r\n" + requests},
    };
    for (const std::vector<std::string>& row : rows) {
        SCOPED_TRACE(row[0] + "|" + row.back().substr(0, row.back().find('\r')));
        int fd = testsrv::Connect(server->port());
        ASSERT_GE(fd, 0);
        for (const std::string& segment : row) {
            ASSERT_EQ(send(fd, segment.data(), segment.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(segment.size()));
            ASSERT_TRUE(&segment == &row.back() || ServerHasRead(fd, server->port()));
        }
        EXPECT_TRUE(ClosedByServer(fd));
        close(fd);
    }
    EXPECT_EQ(testsrv::OpenChip(*server)->Peek(kPlainWord), 0u);
    EXPECT_NE(server->Log().find("dropped: not a request (HTTP?)"), std::string::npos);
}

// A read of a control register takes the gateway's lock, which a read-only
// client could never release.
TEST_F(ServerTest, ReadOnlyRefusesWritesAndReadsThatTakeALock) {
    ASSERT_NE(server = testsrv::StartOrFail({kDb, true}), nullptr);
    auto chip = testsrv::OpenChip(*server);
    chip->Poke(kPlainWord, 7);
    int fd = OpenSession(*server);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, "W 0x00050000 0x00000001"), "E rdonly");
    EXPECT_EQ(Ask(fd, "R 0x00040000"), "E rdonly");
    EXPECT_EQ(Ask(fd, "R 0x00050000"), "O 0x00000007");
    EXPECT_EQ(Ask(fd, "R 0x00040010"), "O 0x00000000");  // a data register
    EXPECT_EQ(chip->Peek(kPlainWord), 7u);
    EXPECT_EQ(chip->Peek(0x40000), 0u) << "the gateway is locked";
    close(fd);
}

TEST_F(ServerTest, ListensOnTheLoopbackByDefault) {
    // The kernel's table of sockets: local address 127.0.0.1, state LISTEN.
    char entry[64];
    snprintf(entry, sizeof entry, " 0100007F:%04X 00000000:0000 0A ", server->port());
    EXPECT_NE(testsrv::ReadFile("/proc/net/tcp").find(entry), std::string::npos) << entry;
}

// The log names the client by its address and port.
TEST_F(ServerTest, AClientThatGoesAwayEndsItsChildCleanly) {
    int fd = OpenSession(*server);
    ASSERT_GE(fd, 0);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
    const std::string peer = "kxcr-server: 127.0.0.1:" + std::to_string(ntohs(me.sin_port)) + ": ";
    close(fd);
    EXPECT_TRUE(Eventually([&] { return server->Log().find(peer + "closed\n") != std::string::npos; }))
        << server->Log();
    EXPECT_NE(server->Log().find(peer + "connected\n"), std::string::npos) << server->Log();
    EXPECT_NE(server->Log().find("disconnected\n"), std::string::npos) << server->Log();
    // The server still serves.
    close(OpenSession(*server));
}

// Waits until the server waits in accept and no session
// is running (one that has ended waits there to be reaped).
bool ServerIdle(const testsrv::Server& server) {
    const std::string pid = std::to_string(server.pid());
    const std::string accepting = std::to_string(SYS_accept4) + " ";
    return Eventually([&] {
        bool idle = testsrv::ReadFile("/proc/" + pid + "/syscall").rfind(accepting, 0) == 0;
        std::istringstream children(testsrv::ReadFile("/proc/" + pid + "/task/" + pid + "/children"));
        for (std::string child; idle && children >> child;) {
            const std::string stat = testsrv::ReadFile("/proc/" + child + "/stat");
            idle = stat.empty() || stat.find(") Z ") != std::string::npos;
        }
        return idle;
    });
}

using Resource = decltype(RLIMIT_NOFILE);

// Sets the soft limit of a resource of process pid, from a child that takes
// pid's user: the test may lack the privilege to change another user's limits.
bool SetSoftLimit(pid_t pid, Resource resource, rlim_t cur) {
    struct stat owner {};
    rlimit limit{};
    if (stat(("/proc/" + std::to_string(pid)).c_str(), &owner) != 0 || getrlimit(resource, &limit) != 0)
        return false;
    limit.rlim_cur = cur;
    const pid_t child = fork();
    if (child == 0) {
        const bool as_owner = getuid() == owner.st_uid ||
                              (setgid(owner.st_gid) == 0 && setuid(owner.st_uid) == 0);
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
        std::set<rlim_t> open;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(server->pid()) + "/fd"))
            open.insert(std::stoul(fd.path().filename()));
        rlim_t free = 0;
        while (open.count(free)) ++free;
        return free;
    };
    struct Row {
        const char* name;
        std::optional<Resource> resource;  // none: the one session the cap allows is taken
        std::string want_reply;
        std::string want_log;
    };
    const Row rows[] = {
        {"session cap", {}, "E busy", "refused: 1 sessions already"},
        {"descriptor table full", RLIMIT_NOFILE, "<closed>", "dropped: accept: Too many open files"},
        {"no process left", RLIMIT_NPROC, "E 11", "refused: fork: Resource temporarily unavailable"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(ServerIdle(*server));
        int holder = -1;
        rlimit old{};
        if (!row.resource) {
            holder = OpenSession(*server);
        } else {
            const rlim_t low = row.resource == RLIMIT_NOFILE ? lowest_free_fd() : 0;
            ASSERT_EQ(getrlimit(*row.resource, &old), 0);
            ASSERT_TRUE(SetSoftLimit(server->pid(), *row.resource, low));
            // The accept the server waits in holds that descriptor already:
            // the one after it finds the table full.
            if (row.resource == RLIMIT_NOFILE) holder = testsrv::Connect(server->port());
        }
        int fd = testsrv::Connect(server->port());
        EXPECT_EQ(Ask(fd, kOpen), row.want_reply);
        EXPECT_TRUE(row.want_reply == "<closed>" || ClosedByServer(fd));
        close(fd);
        if (holder >= 0) close(holder);
        EXPECT_TRUE(!row.resource || SetSoftLimit(server->pid(), *row.resource, old.rlim_cur));
        EXPECT_TRUE(OpensAgain(*server));
        EXPECT_NE(server->Log().find(row.want_log), std::string::npos) << server->Log();
    }
}

// The name of a client is looked up only for the trace, which a server does
// not turn on: a lookup that waits for a slow name server would stall every
// connection. The dynamic linker reports the first call of each function.
TEST(ServerLimits, NoNameLookupOfTheClient) {
    simtest::ChipDir trace_dir;
    auto server = testsrv::StartOrFail(
        {kDb, false, {}, {"LD_DEBUG=bindings", "LD_DEBUG_OUTPUT=" + trace_dir.path() + "/ld"}});
    ASSERT_NE(server, nullptr);
    close(OpenSession(*server));
    // The functions the server's own code has called.
    std::string called;
    for (const auto& file : std::filesystem::directory_iterator(trace_dir.path())) {
        std::istringstream lines(testsrv::ReadFile(file.path()));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("kxcr-server [0] to ") != std::string::npos) called += line + "\n";
        }
    }
    EXPECT_NE(called.find("`fork'"), std::string::npos) << "no trace of calls";
    for (const char* lookup : {"`getnameinfo'", "`gethostbyaddr"})
        EXPECT_EQ(called.find(lookup), std::string::npos) << lookup;
}

TEST_F(ServerTest, StoppingTheServerEndsTheSessionsItServes) {
    int fd = OpenSession(*server);
    ASSERT_GE(fd, 0);
    // Only the listening process: its children must follow it.
    kill(server->pid(), SIGKILL);
    EXPECT_TRUE(ClosedByServer(fd));
    close(fd);
}

TEST(ServerCommandLine, UsageAndExitStatus) {
    simtest::ChipDir temp;
    const std::string& dir = temp.path();
    temp.Write("bad_db.txt", "top.a GW_simple 1000000000 24 4 0 16 15 40010 4\n");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int want_status;
        bool want_usage;
    };
    const Row rows[] = {
        {"help", {"--help"}, 0, true},
        {"unknown option", {"--bogus"}, 1, true},
        {"unreadable database", {"--db", dir + "/none", "--port", "0"}, 1, false},
        {"gateway address wider than 32 bits", {"--db", dir + "/bad_db.txt", "--port", "0"}, 1, false},
        {"port out of range", {"--port", "70000"}, 1, true},
        {"no session allowed", {"--max-sessions", "0"}, 1, true},
        {"bad address", {"--address", "nowhere", "--port", "0"}, 1, false},
        {"image cannot be created", {"--sim", "/nonexistent/dir/img", "--port", "0"}, 1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> argv = {SERVER_BIN};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        testsrv::RunResult r = testsrv::RunProgram(argv);
        EXPECT_EQ(r.status, row.want_status) << r.err;
        EXPECT_EQ((r.out + r.err).find("usage: kxcr-server") != std::string::npos, row.want_usage);
    }
}

}  // namespace
