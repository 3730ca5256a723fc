// Request handling of the remote-access server.
//
// Requests: "O 0x<dtype> <device>", "R 0x<addr>", "W 0x<addr> 0x<value>" and
// "C", each ending in NUL. Replies: "O" (open, write), "O 0x<value>" (read),
// or an error "E <reason>" where the reason is a word or the errno number of
// the failed call. Every error reply fits the smallest reply limit of the
// client (10 bytes with the NUL), whatever the request was: a longer one
// would leave bytes in the stream that the client takes for its next reply.
#include "session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "kxcr.h"
#include "tcp.h"

namespace {

// The longest request: "O 0x%08x " and a device name of up to 1022
// characters, with its NUL.
constexpr size_t kMaxRequest = 13 + 1022 + 1;

// Device files live in the driver's directory, one level deep.
constexpr std::string_view kDeviceDir = "/dev/kdt/";

struct Session {
    int fd;
    const SessionRules& rules;
    std::string peer;
    kfile* dev = nullptr;
};

enum class Got { Request, TooLong, End };

// The request as the log shows it: printable, and short.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 64)) out += isprint(static_cast<unsigned char>(c)) ? c : '?';
    return text.size() > 64 ? out + "..." : out;
}

void log_line(const Session& s, const std::string& what) { log_peer(s.peer, what); }

bool reply(const Session& s, const char* text) {
    return writes(s.fd, const_cast<char*>(text)) >= 0;
}

// Refuses a request with `word` as the reason, and logs why.
bool refuse(const Session& s, const char* request, const char* word, const std::string& why) {
    log_line(s, "refused \"" + printable(request) + "\": " + why);
    return reply(s, (std::string("E ") + word).c_str());
}

bool refuse_errno(const Session& s, const char* request, const char* call) {
    int err = errno;
    std::string code = std::to_string(err);
    return refuse(s, request, code.c_str(), std::string(call) + ": " + strerror(err));
}

// A browser can be made to send a request to a port on the loopback; such a
// request must never reach a device. Every request of a client starts with
// its letter and a blank or its NUL, while every HTTP request starts with a
// method of three letters or more: two bytes tell them apart.
constexpr size_t kStartBytes = 2;
bool starts_like_a_request(std::string_view start) {
    return start.size() >= kStartBytes && strchr("ORWC", start[0]) != nullptr &&
           start[0] != '\0' && (start[1] == ' ' || start[1] == '\0');
}

// Only device files of the driver's directory: no other file, however its
// name reads, and no path that climbs out. Names that kxcr would send
// elsewhere (another server, InfiniBand) are not local devices either.
bool local_device_name(std::string_view name) {
    if (name.substr(0, kDeviceDir.size()) != kDeviceDir) return false;
    std::string_view entry = name.substr(kDeviceDir.size());
    return !entry.empty() && entry[0] != '.' && entry.find('/') == std::string_view::npos &&
           name.find(':') == std::string_view::npos && name.find("lid-") == std::string_view::npos;
}

// Requests as the client sends them, back to back. The reader owns the
// socket, so it reads whatever has arrived and splits it at the NULs: one
// system call per request, not one per byte.
class RequestReader {
public:
    explicit RequestReader(int fd) : fd_(fd) {}

    // Waits until n bytes have arrived; false when the connection ends first.
    bool Await(size_t n) {
        while (end_ - begin_ < n) {
            if (!Fill()) return false;
        }
        return true;
    }
    std::string_view Buffered() const { return std::string_view(buf_ + begin_, end_ - begin_); }

    // The next request, valid until the following call. An over-long one is
    // dropped up to its NUL, so that the next request starts where the
    // client thinks it does.
    Got Next(const char** request) {
        bool too_long = false;
        for (;;) {
            char* start = buf_ + begin_;
            auto* nul = static_cast<char*>(memchr(start, '\0', end_ - begin_));
            if (nul) {
                begin_ = nul - buf_ + 1;
                *request = start;
                return too_long ? Got::TooLong : Got::Request;
            }
            if (end_ - begin_ >= kMaxRequest) {
                too_long = true;
                begin_ = end_;
            }
            if (!Fill()) return Got::End;
        }
    }

private:
    bool Fill() {
        memmove(buf_, buf_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        ssize_t n;
        do {
            n = recv(fd_, buf_ + end_, sizeof buf_ - end_, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return false;
        end_ += static_cast<size_t>(n);
        return true;
    }

    int fd_;
    // Room for a whole request of the longest size behind a partial one.
    char buf_[2 * kMaxRequest];
    size_t begin_ = 0;
    size_t end_ = 0;
};

// A 32-bit number with base prefix starting exactly at *p; advances *p.
bool parse_u32(const char** p, uint32_t* out) {
    if (!isdigit(static_cast<unsigned char>(**p))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(*p, &end, 0);
    if (errno != 0 || v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    *p = end;
    return true;
}

// " <number>" at *p.
bool parse_arg(const char** p, uint32_t* out) {
    if (**p != ' ') return false;
    ++*p;
    return parse_u32(p, out);
}

bool handle_open(Session& s, const char* req) {
    const char* p = req + 1;
    uint32_t dtype = 0;
    if (!parse_arg(&p, &dtype) || *p != ' ' || p[1] == '\0' || dtype > KDT_NOADDR) {
        return refuse(s, req, "syntax", "malformed open request");
    }
    const char* name = p + 1;
    if (s.dev) return refuse(s, req, "already", "a device is already open");
    if (!local_device_name(name)) return refuse(s, req, "refused", "not a local device name");
    s.dev = kopend(name, static_cast<DType>(dtype));
    if (!s.dev) return refuse_errno(s, req, "open");
    log_line(s, std::string("opened ") + name);
    return reply(s, "O");
}

bool handle_read(Session& s, const char* req) {
    const char* p = req + 1;
    uint32_t addr = 0;
    if (!parse_arg(&p, &addr) || *p != '\0') return refuse(s, req, "syntax", "malformed read");
    if (s.rules.read_only && s.rules.control_regs.count(addr)) {
        return refuse(s, req, "rdonly", "read-only: this read would take a gateway's lock");
    }
    if (!s.dev) return refuse(s, req, "notopen", "no device open");
    u_int32_t value = 0;
    if (kread4(s.dev, addr, &value) != 4) return refuse_errno(s, req, "read");
    char text[20];
    snprintf(text, sizeof text, "O 0x%08x", value);
    return reply(s, text);
}

bool handle_write(Session& s, const char* req) {
    const char* p = req + 1;
    uint32_t addr = 0;
    uint32_t value = 0;
    if (!parse_arg(&p, &addr) || !parse_arg(&p, &value) || *p != '\0') {
        return refuse(s, req, "syntax", "malformed write");
    }
    if (s.rules.read_only) return refuse(s, req, "rdonly", "the server is read-only");
    if (!s.dev) return refuse(s, req, "notopen", "no device open");
    if (kwrite4(s.dev, addr, value) != 4) return refuse_errno(s, req, "write");
    return reply(s, "O");
}

// Answers one request; false when the session ends.
bool handle(Session& s, const char* req) {
    switch (req[0]) {
        case 'O':
            return handle_open(s, req);
        case 'R':
            return handle_read(s, req);
        case 'W':
            return handle_write(s, req);
        case 'C':
            if (req[1] == '\0') return false;
            return refuse(s, req, "syntax", "malformed close");
        default:
            return refuse(s, req, "unknown", "unknown request");
    }
}

void run(Session& s) {
    RequestReader reader(s.fd);
    if (!reader.Await(kStartBytes)) {
        log_line(s, "disconnected");
        return;
    }
    if (!starts_like_a_request(reader.Buffered())) {
        log_line(s, "dropped: not a request (HTTP?)");
        return;
    }
    for (;;) {
        const char* req = nullptr;
        Got got = reader.Next(&req);
        if (got == Got::End) {
            log_line(s, "disconnected");
            return;
        }
        bool go_on = got == Got::TooLong ? refuse(s, "(too long)", "toolong", "request too long")
                                         : handle(s, req);
        if (!go_on) return;
    }
}

}  // namespace

std::string peer_name(int fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    char dotted[INET_ADDRSTRLEN] = "?";
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
        inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
    }
    return std::string(dotted) + ":" + std::to_string(ntohs(peer.sin_port));
}

void log_peer(const std::string& peer, const std::string& what) {
    fprintf(stderr, "kxcr-server: %s: %s\n", peer.c_str(), what.c_str());
}

void serve_client(int fd, const SessionRules& rules) {
    Session s{fd, rules, peer_name(fd)};
    log_line(s, "connected");
    run(s);
    if (s.dev) kclose(s.dev);
    close(fd);
    log_line(s, "closed");
}
