// kxcr-server against the simulated chip: the exact replies to well-formed
// and bad requests, the refusals that keep it safe, and its lifecycle.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "server_helpers.h"

namespace {

using namespace std::string_literals;

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

// A connection with the device opened on it, or -1 with the test failed.
int OpenSession(const testsrv::Server& server) {
    int fd = testsrv::Connect(server.port());
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
        EXPECT_EQ(Ask(fd, kOpen), "O");
    }
    return fd;
}

// Every test's server must end with a clean log: a sanitizer report of a
// finished session would otherwise go unnoticed.
class ServerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(server = testsrv::StartOrFail(kDb), nullptr); }
    void TearDown() override {
        if (server) testsrv::ExpectCleanLog(*server);
    }
    std::unique_ptr<testsrv::Server> server;
};

TEST_F(ServerTest, OpenReadWriteReachTheChip) {
    auto chip = testsrv::OpenChip(*server);
    chip->Poke(kPlainWord, 0xCAFEF00D);
    int fd = OpenSession(*server);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, "R 0x00050000"), "O 0xcafef00d");
    EXPECT_EQ(Ask(fd, "W 0x00050004 0x12345678"), "O");
    EXPECT_EQ(chip->Peek(kPlainWord + 4), 0x12345678u);
    // Decimal and octal numbers are numbers too.
    EXPECT_EQ(Ask(fd, "W 327688 01234"), "O");
    EXPECT_EQ(chip->Peek(kPlainWord + 8), 01234u);
    EXPECT_EQ(Ask(fd, "C"), "<closed>");
    close(fd);
}

TEST_F(ServerTest, BadRequestsGetAnErrorReplyAndTheConnectionStaysUsable) {
    int fd = testsrv::Connect(server->port());
    ASSERT_GE(fd, 0);
    struct Row {
        std::string request;
        std::string want;
    };
    const Row rows[] = {
        // Names it must not open: no relaying to another server, no InfiniBand.
        {"O 0x00000001 127.0.0.1:1,@dev@kdt@kx31001_pciconf0", "E refused"},
        {"O 0x00000001 lid-3", "E refused"},
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
        {"R 0x00050000", "O 0x00000000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("request \"" + row.request.substr(0, 40) + "\"");
        std::string reply = Ask(fd, row.request);
        EXPECT_EQ(reply, row.want);
        // The smallest reply limit of the client holds every error reply.
        if (reply[0] == 'E') {
            EXPECT_LE(reply.size() + 1, 10u);
        }
    }
    close(fd);
    EXPECT_NE(server->Log().find("refused \"X 1\": unknown request"), std::string::npos)
        << server->Log();
}

TEST_F(ServerTest, DropsConnectionsThatLookLikeHttp) {
    const std::string rows[] = {
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        "POST /api HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
        "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        "Host: 127.0.0.1\r\n",
    };
    for (const std::string& row : rows) {
        SCOPED_TRACE(row.substr(0, row.find('\r')));
        int fd = testsrv::Connect(server->port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, row.data(), row.size(), MSG_NOSIGNAL), static_cast<ssize_t>(row.size()));
        EXPECT_TRUE(ClosedByServer(fd));
        close(fd);
    }
    EXPECT_NE(server->Log().find("dropped: looks like HTTP"), std::string::npos);
}

TEST_F(ServerTest, ReadOnlyRefusesEveryWrite) {
    ASSERT_NE(server = testsrv::StartOrFail(kDb, true), nullptr);
    auto chip = testsrv::OpenChip(*server);
    chip->Poke(kPlainWord, 7);
    int fd = OpenSession(*server);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, "W 0x00050000 0x00000001"), "E rdonly");
    EXPECT_EQ(Ask(fd, "R 0x00050000"), "O 0x00000007");
    EXPECT_EQ(chip->Peek(kPlainWord), 7u);
    close(fd);
}

TEST_F(ServerTest, ListensOnTheLoopbackByDefault) {
    // The kernel's table of sockets: local address 127.0.0.1, state LISTEN.
    char entry[64];
    snprintf(entry, sizeof entry, " 0100007F:%04X 00000000:0000 0A ", server->port());
    EXPECT_NE(testsrv::ReadFile("/proc/net/tcp").find(entry), std::string::npos) << entry;
}

TEST_F(ServerTest, AClientThatGoesAwayEndsItsChildCleanly) {
    int fd = OpenSession(*server);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string log;
    for (int i = 0; i < 100 && log.find("closed") == std::string::npos; ++i) {
        usleep(20000);
        log = server->Log();
    }
    EXPECT_NE(log.find("disconnected\n"), std::string::npos) << log;
    EXPECT_NE(log.find("closed\n"), std::string::npos) << log;
    // The server still serves.
    close(OpenSession(*server));
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
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int want_status;
        bool want_usage;
    };
    const Row rows[] = {
        {"help", {"--help"}, 0, true},
        {"unknown option", {"--bogus"}, 1, true},
        {"database without a chip", {"--db", "x"}, 1, true},
        {"port out of range", {"--port", "70000"}, 1, true},
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
