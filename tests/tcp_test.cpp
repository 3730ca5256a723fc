// The TCP helpers over socket pairs.
#include "tcp.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "server_helpers.h"

namespace {

using namespace std::string_literals;

// A connected pair: the test writes on `fds[0]`, the helpers read `fds[1]`.
struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
    ~SocketPair() {
        CloseWriter();
        close(fds[1]);
    }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(write(fds[0], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void CloseWriter() { close(std::exchange(fds[0], -1)); }
    // Whatever is still unread on the reading side.
    std::string Rest() const {
        std::string rest;
        char buf[256];
        for (ssize_t n; (n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) rest.append(buf, n);
        return rest;
    }
};

// reads stops after the NUL, readnl after the newline and adds a NUL; both
// leave the rest unread and store nothing past what they return.
TEST(TcpHelpers, ReadsAndReadnlStopAtTheirEndAndLeaveTheRest) {
    const struct {
        const char* name;
        int (*read_fn)(int, char*, int);
        std::string input;
        bool close_after;
        int maxlen, want_rc;
        std::string want_stored, want_rest;
    } rows[] = {
        {"reads: one message of two", reads, "abc\0def\0"s, false, 20, 3, "abc\0"s, "def\0"s},
        {"reads: empty message", reads, "\0x"s, false, 20, 0, "\0"s, "x"},
        {"reads: no NUL within maxlen", reads, "abcdef", false, 4, 4, "abcd", "ef"},
        {"reads: NUL exactly at maxlen", reads, "abc\0z"s, false, 4, 3, "abc\0"s, "z"},
        {"reads: peer closed without NUL", reads, "ab", true, 20, 2, "ab", ""},
        {"reads: peer closed at once", reads, "", true, 20, 0, "", ""},
        {"readnl: one line of two", readnl, "line\nrest", true, 20, 4, "line\n\0"s, "rest"},
        {"readnl: empty line", readnl, "\nx", true, 20, 0, "\n\0"s, "x"},
        {"readnl: cut to maxlen with its NUL", readnl, "abcdef\n", true, 3, 2, "ab\0"s, "cdef\n"},
        {"readnl: stream ends without newline", readnl, "abc", true, 20, 3, "abc\0"s, ""},
        {"readnl: no room for the NUL", readnl, "x\n", true, 0, -1, "", "x\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SocketPair p;
        p.Send(row.input);
        if (row.close_after) p.CloseWriter();
        std::string buf(64, '#');
        EXPECT_EQ(row.read_fn(p.fds[1], buf.data(), row.maxlen), row.want_rc);
        EXPECT_EQ(buf.substr(0, row.want_stored.size() + 1), row.want_stored + '#');
        EXPECT_EQ(p.Rest(), row.want_rest);
    }
}

TEST(TcpHelpers, ReadsWaitsForAMessageSplitAcrossWrites) {
    SocketPair p;
    p.Send("R 0x0");
    char buf[32];
    int rc = 0;
    std::thread reader([&] { rc = reads(p.fds[1], buf, sizeof buf); });
    // The rest is sent once the reader has taken the first part.
    EXPECT_TRUE(testsrv::Eventually([&] {
        int unread = -1;
        return ioctl(p.fds[1], FIONREAD, &unread) == 0 && unread == 0;
    }));
    p.Send("0000010\0next"s);
    reader.join();
    EXPECT_EQ(rc, 12);
    EXPECT_STREQ(buf, "R 0x00000010");
    EXPECT_EQ(p.Rest(), "next");
}

// writes adds the NUL; writenl sends up to the first newline, and nothing
// without one.
TEST(TcpHelpers, WritesAndWritenlSendExactlyTheirText) {
    const std::tuple<int (*)(int, char*), std::string, int, std::string> rows[] = {
        {writes, "xy", 3, "xy\0"s},
        {writes, "", 1, "\0"s},
        {writenl, "ab\ncd\n", 3, "ab\n"},
        {writenl, "abc", 0, ""},
    };
    for (auto [write_fn, text, want_rc, want_sent] : rows) {
        SCOPED_TRACE(text);
        SocketPair p;
        EXPECT_EQ(write_fn(p.fds[0], text.data()), want_rc);
        p.CloseWriter();
        EXPECT_EQ(p.Rest(), want_sent);
    }
    // A read or write that fails fails the call, with its errno.
    char text[] = "xy";
    EXPECT_EQ(simtest::Try([&] { return writes(-1, text); }), simtest::Fails(EBADF));
    EXPECT_EQ(simtest::Try([&] { return readn(-1, text, 2); }), simtest::Fails(EBADF));
}

TEST(TcpHelpers, ListenSocketRefusesABadPortOrAddress) {
    for (const auto& [address, port] : {std::pair<const char*, int>{nullptr, 65536}, {nullptr, -1}, {"nowhere", 0}}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(simtest::Try([&] { return open_listen_socket(address, port); }), simtest::Fails(EINVAL));
    }
    // A port another socket listens on: the bind fails and nothing is left open.
    const int taken = open_listen_socket("127.0.0.1", 0);
    EXPECT_EQ(simtest::Try([&] { return open_listen_socket("127.0.0.1", local_port(taken)); }),
              simtest::Fails(EADDRINUSE));
    close(taken);
}

}  // namespace
