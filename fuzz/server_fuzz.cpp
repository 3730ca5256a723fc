// The server's request handling: one session over a socket pair, serving a
// fresh simulated chip. Bit 0 of the first byte makes the session
// read-only; the rest is what the client sends before it stops sending.
// Every reply ends in NUL and fits the client's limit for the request it
// answers (read 20 bytes, write 40, anything else 10); a read-only session
// never accepts a write, and no write reaches its chip.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "session.h"

namespace {

// Requests the session can make of the driver: one per request at most.
constexpr size_t kRequests = 100000;
// Replies stay within the socket's buffer, which nobody reads during the session.
constexpr size_t kMaxInput = 8192;

size_t Limit(const std::string& request) {
    if (request.empty()) return 10;
    return request[0] == 'R' ? 20 : request[0] == 'W' ? 40 : 10;
}

std::string ReadAll(int fd) {
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxInput) return -1;
    const bool read_only = data[0] & 1;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) fuzz::Fail("socketpair failed");
    if (send(fds[1], data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) {
        fuzz::Fail("cannot send the requests");
    }
    shutdown(fds[1], SHUT_WR);

    fuzz::FencedChip sim(kRequests);
    serve_client(fds[0], read_only);  // closes fds[0]
    const std::string stream = ReadAll(fds[1]);
    close(fds[1]);

    if (!stream.empty() && stream.back() != '\0') fuzz::Fail("a reply without its NUL");
    std::vector<std::string> requests = fuzz::SplitAtNul(data + 1, size - 1);
    requests.pop_back();  // not ended by a NUL: no request
    std::vector<std::string> replies =
        fuzz::SplitAtNul(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    replies.pop_back();
    if (replies.size() > requests.size()) fuzz::Fail("more replies than requests");
    for (size_t i = 0; i < replies.size(); ++i) {
        if (replies[i].size() + 1 > Limit(requests[i])) {
            fuzz::Fail("reply \"" + replies[i] + "\" beyond the client's limit");
        }
        if (read_only && requests[i][0] == 'W' && replies[i][0] == 'O') {
            fuzz::Fail("a read-only session accepted \"" + requests[i] + "\"");
        }
    }
    if (read_only) {
        for (const kxsim::Access& a : sim.chip().Traffic()) {
            if (a.op == 'W') fuzz::Fail("a read-only session wrote to the chip");
        }
    }
    return 0;
}
