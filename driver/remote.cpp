// The client side of the remote access protocol: every device name with a
// ':' names a device of a remote-access server, reached over TCP with short
// text requests, each answered before the next is sent.
#include "remote.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tcp.h"
#include "transport.h"

namespace {

// Longest remote name part that remote_open parses.
constexpr size_t kMaxRemoteName = 1022;
// Reply limits of the open, read and write requests, NUL included.
constexpr int kOpenReplyMax = 10;
constexpr int kReadReplyMax = 20;
constexpr int kWriteReplyMax = 40;

// One request and its reply, which replaces the request in buf. Returns the
// reply's length, or -1 when the exchange failed or the reply did not end
// within its limit (parsing it would run past the buffer).
int exchange(int sock, char* buf, int reply_max) {
    int terminated = 0;
    if (writes(sock, buf) < 0) return -1;
    int len = reads_term(sock, buf, reply_max, &terminated);
    return terminated ? len : -1;
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

int open_request(int sock, const char* device, DType dtype) {
    char header[16];
    snprintf(header, sizeof header, "O 0x%08x ", static_cast<unsigned>(dtype));
    char reply[kOpenReplyMax];
    int terminated = 0;
    if (writen(sock, header, 13) < 0 || writes(sock, const_cast<char*>(device)) < 0 ||
        reads_term(sock, reply, sizeof reply, &terminated) < 0) {
        return -1;
    }
    if (!terminated) {
        errno = EIO;
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
    static const char msg[] = "Got SIGPIPE...\n";
    int saved_errno = errno;
    if (write(STDOUT_FILENO, msg, sizeof msg - 1) < 0 && errno == EPIPE) {
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
    // The value starts at the third character; a shorter reply carries none,
    // and what lies beyond its NUL is the old request.
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
    char close_request[] = "C";
    writes(mf->sock, close_request);
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
