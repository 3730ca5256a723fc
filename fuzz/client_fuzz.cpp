// The remote client's reply handling: a remote kopen, then reads and
// writes, each request answered by a peer over a socket pair with the next
// reply of the input. After the first byte the input is the replies, each
// ended by a NUL; after the last one the peer stops sending, or drops the
// connection at once when that reply lacks its NUL. The first reply answers the open request; operation k
// (k = 1, 2, ...) is a write of address 4k when bit (k-1)%8 of the first
// byte is set, else a read of it. What the client accepts must be the reply
// to that very request, within its limit (open 10 bytes, read 20, write
// 40), starting with 'O', and a value read must be the one in that reply.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "kxcr.h"

namespace {

// The client's end of this input's socket pair.
int g_client_end = -1;

struct Peer {
    int fd;
    const std::vector<std::string>& replies;
    bool last_ended;  // the last reply has its NUL
    std::map<uint32_t, size_t> answered;  // request address (open: 0) -> reply

    bool ReadRequest(std::string* request) {
        request->clear();
        char c;
        while (read(fd, &c, 1) == 1) {
            if (c == '\0') return true;
            *request += c;
        }
        return false;
    }

    void Serve() {
        size_t next = 0;
        std::string request;
        while (ReadRequest(&request) && request != "C") {
            if (next == replies.size()) {
                shutdown(fd, SHUT_WR);
                continue;
            }
            uint32_t address = request[0] == 'O'    ? 0
                               : request.size() > 2 ? std::strtoul(request.c_str() + 2, nullptr, 16)
                                                    : UINT32_MAX;
            answered[address] = next;
            const bool ended = next + 1 < replies.size() || last_ended;
            std::string bytes = replies[next++];
            if (ended) bytes += '\0';
            // A reply without its NUL is the last thing a peer that drops the
            // connection sends.
            if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0 || !ended) break;
        }
        close(fd);
    }

    // The reply that answered the request at `address`, which the client
    // accepted: it must be one that may be accepted.
    const std::string& Accepted(uint32_t address, size_t limit) const {
        const std::string request = "request " + std::to_string(address / 4);
        auto it = answered.find(address);
        if (it == answered.end()) fuzz::Fail(request + " succeeded, but the peer never answered it");
        const std::string& reply = replies[it->second];
        const bool ended = it->second + 1 < replies.size() || last_ended;
        if (!ended || reply.size() + 1 > limit || reply[0] != 'O') {
            fuzz::Fail(request + " succeeded on the reply \"" + reply + "\"" +
                       (ended ? "" : " without NUL"));
        }
        return reply;
    }
};

struct Op {
    bool write;
    int rc;
    u_int32_t value;
};

}  // namespace

// The remote open connects to this input's socket pair: nothing leaves the process.
extern "C" int connect(int fd, const struct sockaddr*, socklen_t) {
    if (g_client_end < 0) {
        errno = ECONNREFUSED;
        return -1;
    }
    return dup2(g_client_end, fd) < 0 ? -1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    std::vector<std::string> replies = fuzz::SplitAtNul(data + 1, size - 1);
    const bool last_ended = replies.back().empty();
    if (last_ended) replies.pop_back();

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) fuzz::Fail("socketpair failed");
    Peer peer{fds[1], replies, last_ended, {}};
    std::thread serving([&peer] { peer.Serve(); });
    g_client_end = fds[0];
    kfile* mf = kopen("127.0.0.1:5000,@dev@kdt@kx31001_pci_cr0");
    g_client_end = -1;
    close(fds[0]);

    std::vector<Op> ops;
    for (size_t k = 1; mf && k <= replies.size(); ++k) {
        Op op{((data[0] >> ((k - 1) % 8)) & 1) != 0, 0, 0};
        op.rc = op.write ? kwrite4(mf, 4 * k, 0x1000 + k) : kread4(mf, 4 * k, &op.value);
        ops.push_back(op);
    }
    if (mf) kclose(mf);
    serving.join();  // the peer closes its end

    if (mf) peer.Accepted(0, 10);
    for (size_t k = 1; k <= ops.size(); ++k) {
        const Op& op = ops[k - 1];
        if (op.rc != 4) continue;
        const std::string& reply = peer.Accepted(4 * k, op.write ? 40 : 20);
        if (op.write) continue;
        const char* text = reply.size() > 2 ? reply.c_str() + 2 : "";
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 0);
        if (end == text || value > UINT32_MAX || value != op.value) {
            fuzz::Fail("request " + std::to_string(k) + " read " + std::to_string(op.value) +
                       " from the reply \"" + reply + "\"");
        }
    }
    return 0;
}
