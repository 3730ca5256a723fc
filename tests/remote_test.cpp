// The remote client: its TCP helpers over socket pairs, and the client
// through kxcr against a scripted peer that records every byte it receives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "kxcr.h"
#include "server_helpers.h"
#include "tcp.h"

namespace {

using namespace std::string_literals;
using simtest::Fails;
using simtest::Outcome;
using simtest::Try;

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
// leave the rest unread and store nothing past what they return. `later`:
// bytes sent once the reader has taken the input, which it must wait for.
TEST(TcpHelpers, ReadsAndReadnlStopAtTheirEndAndLeaveTheRest) {
    const struct {
        const char* name;
        int (*read_fn)(int, char*, int);
        std::string input;
        bool close_after;
        int maxlen, want_rc;
        std::string want_stored, want_rest;
        std::string later = "";
    } rows[] = {
        {"reads: one message of two", reads, "abc\0def\0"s, false, 20, 3, "abc\0"s, "def\0"s},
        {"reads: empty message", reads, "\0x"s, false, 20, 0, "\0"s, "x"},
        {"reads: no NUL within maxlen", reads, "abcdef", false, 4, 4, "abcd", "ef"},
        {"reads: NUL exactly at maxlen", reads, "abc\0z"s, false, 4, 3, "abc\0"s, "z"},
        {"reads: peer closed without NUL", reads, "ab", true, 20, 2, "ab", ""},
        {"reads: peer closed at once", reads, "", true, 20, 0, "", ""},
        {"reads: a message split across writes", reads, "R 0x0", false, 32, 12, "R 0x00000010\0"s, "next",
         "0000010\0next"s},
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
        int rc = 0;
        std::thread reader([&] { rc = row.read_fn(p.fds[1], buf.data(), row.maxlen); });
        if (!row.later.empty()) {
            EXPECT_TRUE(testsrv::Eventually([&] {
                int unread = -1;
                return ioctl(p.fds[1], FIONREAD, &unread) == 0 && unread == 0;
            }));
            p.Send(row.later);
        }
        reader.join();
        EXPECT_EQ(rc, row.want_rc);
        EXPECT_EQ(buf.substr(0, row.want_stored.size() + 1), row.want_stored + '#');
        EXPECT_EQ(p.Rest(), row.want_rest);
    }
}

// writes adds the NUL; writenl sends up to the first newline, and nothing
// without one.
TEST(TcpHelpers, WritesAndWritenlSendExactlyTheirText) {
    const std::tuple<int (*)(int, char*), std::string, int, std::string> rows[] = {
        {writes, "xy", 3, "xy\0"s}, {writes, "", 1, "\0"s},
        {writenl, "ab\ncd\n", 3, "ab\n"}, {writenl, "abc", 0, ""},
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
    EXPECT_EQ(Try([&] { return writes(-1, text); }), Fails(EBADF));
    EXPECT_EQ(Try([&] { return readn(-1, text, 2); }), Fails(EBADF));
}

TEST(TcpHelpers, ListenSocketRefusesABadPortOrAddress) {
    for (const auto& [address, port] : {std::pair<const char*, int>{nullptr, 65536}, {nullptr, -1}, {"nowhere", 0}}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(Try([&] { return open_listen_socket(address, port); }), Fails(EINVAL));
    }
    // A port another socket listens on: the bind fails and nothing is left open.
    const int taken = open_listen_socket("127.0.0.1", 0);
    EXPECT_EQ(Try([&] { return open_listen_socket("127.0.0.1", local_port(taken)); }), Fails(EADDRINUSE));
    close(taken);
}

// Runs `client` with the host:port of a peer on a free loopback port, and
// returns every byte the client sent. For each scripted reply the peer reads
// one NUL-terminated request and answers with the reply's exact bytes (an
// empty reply: it hangs up instead, with a reset when `reset`); then it
// records whatever else arrives until the client closes.
std::string Converse(const std::vector<std::string>& replies, bool reset,
                     const std::function<void(const std::string& peer)>& client) {
    const int listen_fd = open_listen_socket("127.0.0.1", 0);
    std::string received;
    std::thread peer([&] {
        const int fd = accept(listen_fd, nullptr, nullptr);
        size_t answered = 0;
        char c;
        while (fd >= 0 && read(fd, &c, 1) == 1) {
            received += c;
            if (c != '\0' || answered == replies.size()) continue;
            const std::string& reply = replies[answered++];
            const linger abort{1, 0};
            if (reply.empty() && reset) setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            if (reply.empty()) break;
            send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);  // the client may have closed already
        }
        close(fd);
    });
    client("127.0.0.1:" + std::to_string(local_port(listen_fd)));
    shutdown(listen_fd, SHUT_RDWR);  // wakes an accept waiting for a client that never came
    peer.join();
    close(listen_fd);
    return received;
}

const std::string kOpenOk = "O\0"s;
const std::string kOpenRequest = "O 0x00000001 /dev/kdt/kx31001_pci_cr0\0"s;

// Each row: open the remote name (PEER stands for the peer's host:port),
// then one access (a write writes 0xdeadbeef), then close; the peer answers
// with the scripted replies. want_value: the value read, 7 when none is.
// want_sent: the requests between the open and the close when the row checks
// them (none for an access refused before it is sent). ReadAfterBadReply: a
// read at 0x40 whose reply fails it with EIO, then the row's read.
enum class Op { Open, Read, Write, Read64, Write64, ReadAfterBadReply };

TEST(RemoteClient, RequestsAndReplies) {
    const std::string r40 = "R 0x00000040\0"s, x = "PEER,@dev@kdt@kx31001_pci_cr0";
    const std::string long_name = "host/PEER,@dev@" + std::string(1100, 'a');
    const struct Row {
        const char* name;
        std::string remote;
        std::vector<std::string> replies;
        Op op;
        unsigned offset;
        int want_rc, want_errno;
        u_int32_t want_value;
        std::optional<std::string> want_sent = {};
    } rows[] = {
        {"no comma", "PEER", {}, Op::Open, 0, -1, EINVAL, 7},
        {"no colon after the last slash", "PEER/dev,x", {}, Op::Open, 0, -1, EINVAL, 7},
        {"host that does not resolve", "nohost.invalid:1,@dev@x", {}, Op::Open, 0, -1, ENXIO, 7},
        {"port not a number", "127.0.0.1:x1,@dev@x", {}, Op::Open, 0, -1, EINVAL, 7},
        {"port 0", "127.0.0.1:0,@dev@x", {}, Op::Open, 0, -1, EINVAL, 7},
        {"port above 65535", "127.0.0.1:65536,@dev@x", {}, Op::Open, 0, -1, EINVAL, 7},
        {"refused open", x, {"E 2\0"s}, Op::Open, 0, -1, ENOENT, 7},
        {"open reply over 10 bytes", x, {"OOOOOOOOOOOOOO\0"s}, Op::Open, 0, -1, EIO, 7},
        {"name over 1022 characters", long_name, {kOpenOk}, Op::Open, 0, 0, 0, 7},
        {"hexadecimal value", "/any/path/" + x, {kOpenOk, "O 0x89abcdef\0"s}, Op::Read, 0x10, 4, 0, 0x89abcdef,
         "R 0x00000010\0"s},
        {"decimal value", x, {kOpenOk, "O 255\0"s}, Op::Read, 0x40, 4, 0, 255},
        {"refused read", x, {kOpenOk, "E 5\0"s}, Op::Read, 0x40, -1, EIO, 7},
        // The old request must not be parsed as the value.
        {"read reply without a value", x, {kOpenOk, "O\0"s}, Op::Read, 0x40, -1, EIO, 7},
        {"value above 32 bits", x, {kOpenOk, "O 0x123456789\0"s}, Op::Read, 0x40, -1, EIO, 7},
        {"read reply over 20 bytes", x, {kOpenOk, "O 0x0000000000000000000001\0"s}, Op::Read, 0x40, -1, EIO, 7},
        {"connection closed before the read reply", x, {kOpenOk, ""}, Op::Read, 0x40, -1, EIO, 7},
        {"misaligned read", x, {kOpenOk}, Op::Read, 2, -1, EINVAL, 7, ""},
        {"write done", x, {kOpenOk, "O\0"s}, Op::Write, 0xf0014, 4, 0, 7, "W 0x000f0014 0xdeadbeef\0"s},
        {"refused write", x, {kOpenOk, "E rdonly\0"s}, Op::Write, 0x40, -1, EIO, 7},
        {"write reply over 40 bytes", x, {kOpenOk, std::string(45, 'O') + '\0'}, Op::Write, 0x40, -1, EIO, 7},
        {"misaligned write", x, {kOpenOk}, Op::Write, 0x41, -1, EINVAL, 7, ""},
        // The stream has no framing but the NULs: a reply taken only up to its
        // limit, or with bytes that answer no request, would hand a later read
        // the value meant for an earlier one. The first reply's tail looks like
        // a reply.
        {"reply over its limit read on to its NUL", x, {kOpenOk, std::string(20, 'x') + "O 0x5\0"s, "O 0x2\0"s},
         Op::ReadAfterBadReply, 0x44, 4, 0, 2, r40 + "R 0x00000044\0"s},
        {"two replies to one request: nothing more is sent", x, {kOpenOk, "O 0x1\0O 0x5\0"s, "O 0x2\0"s},
         Op::ReadAfterBadReply, 0x44, -1, EIO, 7, r40},
        {"no NUL within 4096 bytes: nothing more is sent", x, {kOpenOk, std::string(4096, 'O')},
         Op::ReadAfterBadReply, 0x44, -1, EIO, 7, r40},
        // The protocol has no block request.
        {"block read", x, {kOpenOk}, Op::Read64, 0x40, -1, EOPNOTSUPP, 7, ""},
        {"block write", x, {kOpenOk}, Op::Write64, 0x40, -1, EOPNOTSUPP, 7, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string name = row.remote;
        const std::string received = Converse(row.replies, false, [&](const std::string& peer) {
            const size_t at = name.find("PEER");
            if (at != std::string::npos) name.replace(at, 4, peer);
            errno = 0;
            kfile* mf = kopen(name.c_str());
            Outcome got = {mf ? 0 : -1, errno};
            u_int32_t value = 7;
            if (mf && row.op == Op::ReadAfterBadReply) {
                EXPECT_EQ(Try([&] { return kread4(mf, 0x40, &value); }), Fails(EIO));
            }
            if (mf && (row.op == Op::Read || row.op == Op::ReadAfterBadReply)) {
                got = Try([&] { return kread4(mf, row.offset, &value); });
            }
            if (mf && row.op == Op::Write) got = Try([&] { return kwrite4(mf, row.offset, 0xDEADBEEF); });
            if (mf && row.op == Op::Read64) got = Try([&] { return kread64(mf, row.offset, &value, 4); });
            if (mf && row.op == Op::Write64) got = Try([&] { return kwrite64(mf, row.offset, &value, 4); });
            if (mf) {
                // Set by the remote open as for a local handle of that name.
                EXPECT_EQ(mf->dtype, KDT_ZORVAN);
                EXPECT_EQ(mf->flags, row.remote == long_name ? KDEVS_REM : KDEVS_REM | KDEVS_ZORVAN_CR);
                EXPECT_EQ(kclose(mf), 0);
            }
            EXPECT_EQ(got, (Outcome{row.want_rc, row.want_errno}));
            EXPECT_EQ(value, row.want_value);
        });
        if (row.want_sent) {
            EXPECT_EQ(received, kOpenRequest + *row.want_sent + "C\0"s);
        }
        if (row.remote == long_name) {
            const std::string cut = name.substr(name.find('/') + 1, 1022);
            EXPECT_EQ(received, "O 0x00000001 /dev/" + cut.substr(cut.find(',') + 6) + "\0C\0"s);
        }
    }
}

// A server that drops the connection at once: the open fails with an error
// and raises no SIGPIPE, which would end a client that has no handler yet.
// The drop is a FIN and then a reset, after which a send fails with EPIPE,
// the error that raises the signal; it lands before or after the request
// goes out, so several opens.
TEST(RemoteClient, OpenToAServerThatHangsUpFails) {
    constexpr int kOpens = 20;
    const int listen_fd = open_listen_socket("127.0.0.1", 0);
    ASSERT_GE(listen_fd, 0);
    std::thread server([listen_fd] {
        for (int i = 0; i < kOpens; ++i) {
            int fd = accept(listen_fd, nullptr, nullptr);
            shutdown(fd, SHUT_WR);
            const linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            close(fd);
        }
    });
    sigset_t pipe_signal, old_mask;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
    const std::string name = "127.0.0.1:" + std::to_string(local_port(listen_fd)) + ",@dev@x";
    for (int i = 0; i < kOpens; ++i) {
        errno = 0;
        EXPECT_EQ(kopen(name.c_str()), nullptr);
        EXPECT_NE(errno, 0);
    }
    const timespec now{};
    const bool raised = sigtimedwait(&pipe_signal, nullptr, &now) == SIGPIPE;
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    server.join();
    close(listen_fd);
    EXPECT_FALSE(raised);
}

// A request on an open handle whose peer has reset the connection fails
// with EIO and raises no signal. The first read meets the reset in its
// reply; the second one's send meets EPIPE, reported through standard
// output's buffer after the data printed before it.
TEST(RemoteClient, DroppedConnectionIsReportedAfterThePrintedData) {
    Converse({kOpenOk, ""}, true, [](const std::string& peer) {
        kfile* mf = kopen((peer + ",@dev@x").c_str());
        ASSERT_NE(mf, nullptr);
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO), captured = memfd_create("stdout", MFD_CLOEXEC);
        dup2(captured, STDOUT_FILENO);
        printf("data\n");
        u_int32_t value = 0;
        for (int i = 0; i < 2; ++i) EXPECT_EQ(Try([&] { return kread4(mf, 0x40, &value); }), Fails(EIO));
        fflush(stdout);
        raise(SIGPIPE);  // a stray one is told the same way, and the process goes on
        kclose(mf);  // its close request meets EPIPE too
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        const std::string pipe_message = "Got SIGPIPE...\n";
        EXPECT_EQ(testsrv::ReadFile("/proc/self/fd/" + std::to_string(captured)),
                  "data\n" + pipe_message + pipe_message + pipe_message);
        close(captured);
    });
}

}  // namespace
