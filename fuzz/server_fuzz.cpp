// The server's request handling: one session over a socket pair, serving a
// fresh simulated chip. Bit 0 of the first byte makes the session
// read-only, with the control registers 0x1DB00 and 0x60A00 known to it;
// bits 1 to 7, when not 0, cut the stream after that many bytes, and the
// session receives the first part on its own. The rest of the input is what
// the client sends before it stops sending.
// Every reply ends in NUL and fits the client's limit for the request it
// answers (read 20 bytes, write 40, anything else 10); a read-only session
// never accepts a write, no write reaches its chip and neither does a read
// of a known control register; a stream that does not start with a request
// letter and a blank or NUL (an HTTP request, say) gets no reply at all.
#include <linux/sockios.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
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

const std::set<uint32_t> kControlRegs = {0x1DB00, 0x60A00};

bool StartsLikeRequest(const std::string& stream) {
    return stream.size() >= 2 && stream[0] != '\0' && std::strchr("ORWC", stream[0]) &&
           (stream[1] == ' ' || stream[1] == '\0');
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
    SessionRules rules;
    rules.read_only = data[0] & 1;
    if (rules.read_only) rules.control_regs = kControlRegs;
    const bool read_only = rules.read_only;
    const std::string sent(reinterpret_cast<const char*>(data) + 1, size - 1);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) fuzz::Fail("socketpair failed");

    fuzz::FencedChip sim(kRequests);
    std::thread writer([&] { Send(fds[1], sent, data[0] >> 1); });
    std::string stream;
    std::thread reader([&] { stream = ReadAll(fds[1]); });
    serve_client(fds[0], rules);  // closes fds[0]
    writer.join();
    reader.join();
    close(fds[1]);

    if (!stream.empty() && stream.back() != '\0') fuzz::Fail("a reply without its NUL");
    if (!stream.empty() && !StartsLikeRequest(sent)) fuzz::Fail("a stream that is no request got a reply");
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
            if (kControlRegs.count(a.addr)) fuzz::Fail("a read-only session read a control register");
        }
    }
    return 0;
}
