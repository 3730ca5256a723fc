// The server's request handling: one session over a socket pair, serving a
// fresh simulated chip. Bit 0 of the first byte makes the session
// read-only; bits 1 to 7, when not 0, cut the stream after that many bytes,
// and the session receives the first part on its own. The rest of the input
// is what the client sends before it stops sending.
// Every reply ends in NUL and fits the client's limit for the request it
// answers (read 20 bytes, write 40, anything else 10); a read-only session
// never accepts a write, and no write reaches its chip; a stream that starts
// like an HTTP request gets no reply at all.
#include <linux/sockios.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "session.h"

namespace {

// Requests the session can make of the driver: one per request at most.
constexpr size_t kRequests = 100000;
constexpr size_t kMaxInput = 8192;

size_t Limit(const std::string& request) {
    if (request.empty()) return 10;
    return request[0] == 'R' ? 20 : request[0] == 'W' ? 40 : 10;
}

bool LooksLikeHttp(const std::string& stream) {
    for (const char* start : {"GET ", "POST ", "Host:"}) {
        if (stream.rfind(start, 0) == 0) return true;
    }
    return false;
}

// The client's side: the stream in one or two parts, the second sent once
// the session has taken the first; then it stops sending.
void Send(int fd, const std::string& stream, size_t cut) {
    size_t sent = 0;
    if (cut > 0 && cut < stream.size()) {
        sent = static_cast<size_t>(std::max<ssize_t>(0, send(fd, stream.data(), cut, MSG_NOSIGNAL)));
        int queued = 0;
        while (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) sched_yield();
    }
    if (sent < stream.size()) send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
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
    const std::string sent(reinterpret_cast<const char*>(data) + 1, size - 1);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) fuzz::Fail("socketpair failed");

    fuzz::FencedChip sim(kRequests);
    std::thread writer([&] { Send(fds[1], sent, data[0] >> 1); });
    std::string stream;
    std::thread reader([&] { stream = ReadAll(fds[1]); });
    serve_client(fds[0], read_only);  // closes fds[0]
    writer.join();
    reader.join();
    close(fds[1]);

    if (!stream.empty() && stream.back() != '\0') fuzz::Fail("a reply without its NUL");
    if (!stream.empty() && LooksLikeHttp(sent)) fuzz::Fail("an HTTP request got a reply");
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
