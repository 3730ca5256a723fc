// The TCP helpers over socket pairs, and the remote client through kxcr
// against a scripted peer that records every byte it receives.
#include "tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "kxcr.h"

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
    std::thread late([&p] {
        usleep(20000);
        p.Send("0000010\0next"s);
    });
    char buf[32];
    int rc = reads(p.b, buf, sizeof buf);
    late.join();
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
}

// A peer on a free loopback port: for each scripted reply it reads one
// NUL-terminated request and answers with the reply's exact bytes (an empty
// reply: it hangs up instead); then it records whatever else arrives until
// the client closes.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::vector<std::string> replies) : replies_(std::move(replies)) {
        listen_fd_ = open_listen_socket("127.0.0.1", 0);
        port_ = local_port(listen_fd_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedPeer() { Join(); }
    int port() const { return port_; }
    std::string Name(const std::string& device) const {
        return "127.0.0.1:" + std::to_string(port_) + "," + device;
    }
    // Everything the client sent, once it has closed the connection.
    const std::string& Received() {
        Join();
        return received_;
    }

private:
    void Join() {
        // Wakes an accept still waiting for a client that never came.
        if (listen_fd_ >= 0) shutdown(listen_fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (listen_fd_ >= 0) close(listen_fd_);
        listen_fd_ = -1;
    }
    bool ReadRequest(int fd) {
        char c;
        do {
            if (read(fd, &c, 1) != 1) return false;
            received_ += c;
        } while (c != '\0');
        return true;
    }
    void Serve() {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        for (const std::string& reply : replies_) {
            if (!ReadRequest(fd)) break;
            if (reply.empty()) {
                hang_up_ = true;
                break;
            }
            if (write(fd, reply.data(), reply.size()) < 0) break;
        }
        char buf[256];
        ssize_t n;
        while (!hang_up_ && (n = read(fd, buf, sizeof buf)) > 0) received_.append(buf, n);
        close(fd);
    }

    std::vector<std::string> replies_;
    bool hang_up_ = false;
    int listen_fd_ = -1;
    int port_ = -1;
    std::string received_;
    std::thread thread_;
};

const std::string kOpenOk = "O\0"s;
const std::string kOpenRequest = "O 0x00000001 /dev/kdt/kx31001_pci_cr0\0"s;

TEST(RemoteClient, OpenReadWriteCloseSendExactlyTheRequests) {
    ScriptedPeer peer({kOpenOk, "O 0x12345678\0"s, "O\0"s});
    kfile* mf = kopen(("/any/path/" + peer.Name("@dev@kdt@kx31001_pci_cr0")).c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    // Set by the remote open as for a local handle of that name.
    EXPECT_EQ(mf->dtype, KDT_ZORVAN);
    EXPECT_EQ(mf->flags, KDEVS_REM | KDEVS_ZORVAN_CR);
    u_int32_t value = 0;
    EXPECT_EQ(kread4(mf, 0x10, &value), 4);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(kwrite4(mf, 0xF0014, 0xDEADBEEF), 4);
    EXPECT_EQ(kclose(mf), 0);
    EXPECT_EQ(peer.Received(),
              kOpenRequest + "R 0x00000010\0"s + "W 0x000f0014 0xdeadbeef\0"s + "C\0"s);
}

enum class Op { Open, Read, Write };

// Each row: open the remote name (PEER stands for the peer's host:port),
// then one access; the peer answers with the scripted replies.
TEST(RemoteClient, RequestsAndReplies) {
    struct Row {
        const char* name;
        std::string remote;
        std::vector<std::string> replies;
        Op op;
        unsigned offset;
        int want_rc;
        int want_errno;
        u_int32_t want_value;
    };
    const std::string long_name = "host/PEER,@dev@" + std::string(1100, 'a');
    const Row rows[] = {
        {"no comma", "PEER", {}, Op::Open, 0, -1, EINVAL, 0},
        {"no colon after the last slash", "PEER/dev,x", {}, Op::Open, 0, -1, EINVAL, 0},
        {"refused open", "PEER,@dev@x", {"E 2\0"s}, Op::Open, 0, -1, ENOENT, 0},
        {"open reply without NUL within 10 bytes", "PEER,@dev@x", {"OOOOOOOOOOOOOO"}, Op::Open,
         0, -1, EIO, 0},
        {"name over 1022 characters", long_name, {kOpenOk}, Op::Open, 0, 0, 0, 0},
        {"hexadecimal value", "PEER,@dev@x", {kOpenOk, "O 0x89abcdef\0"s}, Op::Read, 0x40, 4, 0,
         0x89abcdef},
        {"decimal value", "PEER,@dev@x", {kOpenOk, "O 255\0"s}, Op::Read, 0x40, 4, 0, 255},
        {"refused read", "PEER,@dev@x", {kOpenOk, "E 5\0"s}, Op::Read, 0x40, -1, EIO, 7},
        {"read reply without a value: the old request must not be parsed", "PEER,@dev@x",
         {kOpenOk, "O\0"s}, Op::Read, 0x40, -1, EIO, 7},
        {"value above 32 bits", "PEER,@dev@x", {kOpenOk, "O 0x123456789\0"s}, Op::Read, 0x40,
         -1, EIO, 7},
        {"read reply without NUL within 20 bytes", "PEER,@dev@x",
         {kOpenOk, "O 0x0000000000000000000001"}, Op::Read, 0x40, -1, EIO, 7},
        {"connection closed before the read reply", "PEER,@dev@x", {kOpenOk, ""}, Op::Read, 0x40,
         -1, EIO, 7},
        {"misaligned read", "PEER,@dev@x", {kOpenOk}, Op::Read, 2, -1, EINVAL, 7},
        {"write done", "PEER,@dev@x", {kOpenOk, "O\0"s}, Op::Write, 0x40, 4, 0, 0},
        {"refused write", "PEER,@dev@x", {kOpenOk, "E rdonly\0"s}, Op::Write, 0x40, -1, EIO, 0},
        {"write reply without NUL within 40 bytes", "PEER,@dev@x", {kOpenOk, std::string(45, 'O')},
         Op::Write, 0x40, -1, EIO, 0},
        {"misaligned write", "PEER,@dev@x", {kOpenOk}, Op::Write, 0x41, -1, EINVAL, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer(row.replies);
        std::string name = row.remote;
        name.replace(name.find("PEER"), 4, "127.0.0.1:" + std::to_string(peer.port()));
        errno = 0;
        kfile* mf = kopen(name.c_str());
        int rc = mf ? 0 : -1;
        u_int32_t value = 7;
        if (mf && row.op == Op::Read) rc = kread4(mf, row.offset, &value);
        if (mf && row.op == Op::Write) rc = kwrite4(mf, row.offset, 1);
        int err = errno;
        if (mf) kclose(mf);
        EXPECT_EQ(rc, row.want_rc);
        EXPECT_EQ(err, row.want_errno) << strerror(err);
        if (row.op == Op::Read) {
            EXPECT_EQ(value, row.want_value);
        }
        // A misaligned access sends nothing.
        if (row.want_errno == EINVAL && mf) {
            EXPECT_EQ(peer.Received(), "O 0x00000001 /dev/x\0C\0"s);
        }
        if (row.remote == long_name) {
            const std::string cut = name.substr(name.find('/') + 1, 1022);
            EXPECT_EQ(peer.Received(),
                      "O 0x00000001 /dev/" + cut.substr(cut.find(',') + 6) + "\0C\0"s);
        }
    }
}

}  // namespace
