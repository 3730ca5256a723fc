// The client side of the remote access protocol: every device name with a
// ':' names a device of a remote-access server, reached over TCP with short
// text requests, each answered before the next is sent.
#include "remote.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tcp.h"
#include "transport.h"

namespace {

// Longest remote name part that remote_open parses.
constexpr size_t kMaxRemoteName = 1022;
// Reply limits of the open, read and write requests, NUL included.
constexpr int kOpenReplyMax = 10;
constexpr int kReadReplyMax = 20;
constexpr int kWriteReplyMax = 40;
// How far the client reads on for the NUL of a reply longer than its limit,
// so that the next reply starts in step. A peer that sends more without a
// NUL has lost the framing.
constexpr int kReplyBound = 4096;
// What a write to a dropped connection prints.
constexpr char kPipeMessage[] = "Got SIGPIPE...\n";

// The sockets of handles whose peer went out of step (bytes that answer no
// request, or no NUL within kReplyBound): what comes next may answer an
// earlier request, so every later access fails unsent. The state lives here,
// keyed by socket until kclose, because the handle's layout is public; the
// lock is for handles used by different threads.
class OutOfStep {
public:
    bool Has(int sock) {
        std::lock_guard<std::mutex> hold(mutex_);
        return std::find(socks_.begin(), socks_.end(), sock) != socks_.end();
    }
    void Add(int sock) {
        std::lock_guard<std::mutex> hold(mutex_);
        socks_.push_back(sock);
    }
    void Remove(int sock) {
        std::lock_guard<std::mutex> hold(mutex_);
        socks_.erase(std::remove(socks_.begin(), socks_.end(), sock), socks_.end());
    }

private:
    std::mutex mutex_;
    std::vector<int> socks_;
};

OutOfStep out_of_step;

// Sends the text and its NUL in one call, so that a request costs one
// system call.
int send_text(int sock, const char* text, int flags) {
    const size_t len = strlen(text) + 1;
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(sock, text + done, len - done, flags);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        done += n;
    }
    return 0;
}

// Receives one reply and copies it with its NUL into `reply`, which has room
// for `limit` bytes: its length, or -1 with errno. What arrives is taken in
// one call in the common case. A reply longer than its limit is read on to
// its NUL and fails with EIO, leaving the stream in step. The peer sends
// nothing between a reply and the next request, so bytes after the NUL
// answer no request: *in_step is cleared for them, as for a reply without a
// NUL within kReplyBound bytes.
int receive_reply(int sock, char* reply, int limit, bool* in_step) {
    char in[kReplyBound];
    int got = 0;
    const char* nul = nullptr;
    while (!nul) {
        if (got == kReplyBound) {
            *in_step = false;
            errno = EIO;
            return -1;
        }
        ssize_t n = recv(sock, in + got, kReplyBound - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The peer closed before the reply ended.
            if (n == 0) errno = EIO;
            return -1;
        }
        nul = static_cast<const char*>(memchr(in + got, '\0', n));
        got += n;
    }
    const int len = static_cast<int>(nul - in);
    if (len + 1 < got) *in_step = false;
    if (len + 1 < got || len + 1 > limit) {
        errno = EIO;
        return -1;
    }
    memcpy(reply, in, len + 1);
    return len;
}

// Sends a request on an open handle. The send itself never raises SIGPIPE:
// a connection the server has dropped is reported here, through standard
// output's buffer, so that the message comes after the data lines printed
// before it rather than ahead of them from inside a signal handler.
int send_request(int sock, const char* text) {
    if (send_text(sock, text, MSG_NOSIGNAL) == 0) return 0;
    if (errno == EPIPE) fputs(kPipeMessage, stdout);
    return -1;
}

// One access request and its reply, which replaces the request in buf: the
// reply's length, or -1 with EIO when the exchange failed. A handle whose
// peer went out of step sends nothing.
int exchange(int sock, char* buf, int reply_max) {
    bool in_step = true;
    int len = -1;
    if (!out_of_step.Has(sock) && send_request(sock, buf) == 0) {
        len = receive_reply(sock, buf, reply_max, &in_step);
    }
    if (!in_step) out_of_step.Add(sock);
    if (len < 0) errno = EIO;
    return len;
}

// The remote name as remote_open parses it: the part after the last '/',
// cut to its first 1022 characters, with '@' standing for '/'.
std::string remote_part(const char* name) {
    const char* slash = strrchr(name, '/');
    std::string part(slash ? slash + 1 : name);
    part.resize(std::min(part.size(), kMaxRemoteName));
    for (char& c : part) {
        if (c == '@') c = '/';
    }
    return part;
}

// The port after the host: decimal digits up to the first other character.
int parse_port(const char* text) {
    if (!isdigit(static_cast<unsigned char>(*text))) return -1;
    errno = 0;
    long port = strtol(text, nullptr, 10);
    return errno != 0 || port < 1 || port > 65535 ? -1 : static_cast<int>(port);
}

// The open request goes out before the SIGPIPE handler is installed: a peer
// that has already dropped the connection must fail the open, not end the
// process.
int open_request(int sock, const char* device, DType dtype) {
    char header[16];
    snprintf(header, sizeof header, "O 0x%08x ", static_cast<unsigned>(dtype));
    const std::string request = header + std::string(device);
    char reply[kOpenReplyMax];
    bool in_step = true;
    if (send_text(sock, request.c_str(), MSG_NOSIGNAL) != 0 ||
        receive_reply(sock, reply, sizeof reply, &in_step) < 0) {
        return -1;
    }
    if (reply[0] != 'O') {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

// The protocol has no block request.
int remote_transfer64(kfile*, unsigned, void*, int) {
    errno = EOPNOTSUPP;
    return -1;
}

}  // namespace

void sig_pipe(int) {
    // Only async-signal-safe calls here.
    int saved_errno = errno;
    if (write(STDOUT_FILENO, kPipeMessage, sizeof kPipeMessage - 1) < 0 && errno == EPIPE) {
        // Standard output is itself the broken pipe: the reader of our output
        // has gone (a dump piped into head). Every message would raise the
        // signal again and bring us back here for ever; end as any program
        // in a pipeline does, as a local device would have.
        signal(SIGPIPE, SIG_DFL);
        raise(SIGPIPE);
    }
    errno = saved_errno;
}

int remote_open(const char* name, kfile* mf, DType dtype) {
    std::string part = remote_part(name);
    size_t colon = part.find(':');
    size_t comma = part.find(',');
    if (colon == std::string::npos || comma == std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    int port = parse_port(part.c_str() + colon + 1);
    if (port < 0) {
        errno = EINVAL;
        return -1;
    }
    logset(0);
    int sock = open_cli_connection(part.substr(0, colon).c_str(), port);
    if (sock < 0) return -1;
    if (open_request(sock, part.c_str() + comma + 1, dtype) != 0) {
        int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    struct sigaction sa {};
    sa.sa_handler = sig_pipe;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGPIPE, &sa, nullptr) != 0) {
        printf("Error installing signal handler\n");
        exit(1);
    }
    mf->sock = sock;
    mf->dtype = dtype;
    mf->flags = get_device_flags(name);
    return 0;
}

int remote_read4(kfile* mf, unsigned int offset, u_int32_t* value) {
    char buf[kReadReplyMax];
    snprintf(buf, sizeof buf, "R 0x%08x", offset);
    // The value starts at the third character; a shorter reply carries none.
    if (exchange(mf->sock, buf, sizeof buf) <= 2 || buf[0] != 'O') {
        errno = EIO;
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = strtoul(buf + 2, &end, 0);
    if (end == buf + 2 || errno != 0 || parsed > UINT32_MAX) {
        errno = EIO;
        return -1;
    }
    *value = static_cast<u_int32_t>(parsed);
    return 4;
}

int remote_write4(kfile* mf, unsigned int offset, u_int32_t value) {
    char buf[kWriteReplyMax];
    snprintf(buf, sizeof buf, "W 0x%08x 0x%08x", offset, value);
    if (exchange(mf->sock, buf, sizeof buf) < 1 || buf[0] != 'O') {
        errno = EIO;
        return -1;
    }
    return 4;
}

int remote_close(kfile* mf) {
    out_of_step.Remove(mf->sock);
    send_request(mf->sock, "C");
    int rc = close(mf->sock);
    mf->sock = -1;
    return rc;
}

const kxcr_transport remote_transport = {
    .open = remote_open,
    .close = remote_close,
    .read4 = remote_read4,
    .write4 = remote_write4,
    .read64 = remote_transfer64,
    .write64 = remote_transfer64,
};
