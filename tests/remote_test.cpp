// The remote client through kxcr against a scripted peer that records every
// byte it receives.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kxcr.h"
#include "tcp.h"

namespace {

using namespace std::string_literals;

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

enum class Op { Open, Read, Write, Read64, Write64 };

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
        // The protocol has no block request.
        {"block read", "PEER,@dev@x", {kOpenOk}, Op::Read64, 0x40, -1, EOPNOTSUPP, 7},
        {"block write", "PEER,@dev@x", {kOpenOk}, Op::Write64, 0x40, -1, EOPNOTSUPP, 7},
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
        if (mf && row.op == Op::Read64) rc = kread64(mf, row.offset, &value, 4);
        if (mf && row.op == Op::Write64) rc = kwrite64(mf, row.offset, &value, 4);
        int err = errno;
        if (mf) kclose(mf);
        EXPECT_EQ(rc, row.want_rc);
        EXPECT_EQ(err, row.want_errno) << strerror(err);
        if (row.op == Op::Read) {
            EXPECT_EQ(value, row.want_value);
        }
        // A refused access sends nothing.
        if ((row.want_errno == EINVAL || row.want_errno == EOPNOTSUPP) && mf) {
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
