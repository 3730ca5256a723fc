// The TCP helpers over socket pairs.
#include "tcp.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>

#include "server_helpers.h"

namespace {

using namespace std::string_literals;

struct SocketPair {
    int a = -1;
    int b = -1;
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~SocketPair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(write(a, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void CloseWriter() {
        close(a);
        a = -1;
    }
    // Whatever is still unread on the reading side.
    std::string Rest() const {
        std::string rest;
        char buf[256];
        ssize_t n;
        while ((n = recv(b, buf, sizeof buf, MSG_DONTWAIT)) > 0) rest.append(buf, n);
        return rest;
    }
};

// reads stops after the NUL, readnl after the newline and adds a NUL; both
// leave the rest unread and store nothing past what they return.
TEST(TcpHelpers, ReadsAndReadnlStopAtTheirEndAndLeaveTheRest) {
    struct Row {
        const char* name;
        int (*read_fn)(int, char*, int);
        std::string input;
        bool close_after;
        int maxlen;
        int want_rc;
        std::string want_stored;
        std::string want_rest;
    };
    const Row rows[] = {
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
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SocketPair p;
        p.Send(row.input);
        if (row.close_after) p.CloseWriter();
        std::string buf(64, '#');
        EXPECT_EQ(row.read_fn(p.b, buf.data(), row.maxlen), row.want_rc);
        EXPECT_EQ(buf.substr(0, row.want_stored.size() + 1), row.want_stored + '#');
        EXPECT_EQ(p.Rest(), row.want_rest);
    }
}

TEST(TcpHelpers, ReadsWaitsForAMessageSplitAcrossWrites) {
    SocketPair p;
    p.Send("R 0x0");
    char buf[32];
    int rc = 0;
    std::thread reader([&] { rc = reads(p.b, buf, sizeof buf); });
    // The rest is sent once the reader has taken the first part.
    EXPECT_TRUE(testsrv::Eventually([&] {
        int unread = -1;
        return ioctl(p.b, FIONREAD, &unread) == 0 && unread == 0;
    }));
    p.Send("0000010\0next"s);
    reader.join();
    EXPECT_EQ(rc, 12);
    EXPECT_STREQ(buf, "R 0x00000010");
    EXPECT_EQ(p.Rest(), "next");
}

TEST(TcpHelpers, WritesAndWritenlSendExactlyTheirText) {
    struct Row {
        const char* name;
        bool newline_variant;
        std::string text;
        int want_rc;
        std::string want_sent;
    };
    const Row rows[] = {
        {"writes adds the NUL", false, "xy", 3, "xy\0"s},
        {"writes of an empty string", false, "", 1, "\0"s},
        {"writenl up to the first newline", true, "ab\ncd\n", 3, "ab\n"},
        {"writenl without newline sends nothing", true, "abc", 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SocketPair p;
        std::string text = row.text;
        int rc = row.newline_variant ? writenl(p.a, text.data()) : writes(p.a, text.data());
        EXPECT_EQ(rc, row.want_rc);
        p.CloseWriter();
        EXPECT_EQ(p.Rest(), row.want_sent);
    }
    // A read or write that fails fails the call, with its errno.
    char text[] = "xy";
    EXPECT_EQ(simtest::Try([&] { return writes(-1, text); }), simtest::Fails(EBADF));
    EXPECT_EQ(simtest::Try([&] { return readn(-1, text, 2); }), simtest::Fails(EBADF));
}

TEST(TcpHelpers, ListenSocketRefusesABadPortOrAddress) {
    for (const auto& [address, port] : {std::pair<const char*, int>{nullptr, 65536}, {nullptr, -1}, {"nowhere", 0}}) {
        errno = 0;
        EXPECT_EQ(open_listen_socket(address, port), -1) << port;
        EXPECT_EQ(errno, EINVAL) << port;
    }
}

}  // namespace
