#include "acceptor.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "session.h"

namespace {

// Refused connections waiting for their client to close; past this many the
// oldest is closed, so that idle clients cannot pile them up.
constexpr size_t kMaxRefused = 16;
// Pause after an accept failure that an immediate retry would meet again.
constexpr int kBackoffMs = 100;

int open_spare() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

// Requests are small and strictly alternate with replies: Nagle's delay
// would cost every one of them a round trip.
void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

Acceptor::Acceptor(int listenfd, int max_sessions)
    : _listenfd(listenfd), _maxSessions(max_sessions), _spare(open_spare()) {}

int Acceptor::Next() {
    for (;;) {
        int fd = accept4(_listenfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            AcceptFailed(errno);
            continue;
        }
        SweepRefused();
        ReapSessions();
        if (_sessions >= _maxSessions) {
            Refuse(fd, "busy", "refused: " + std::to_string(_sessions) + " sessions already");
            continue;
        }
        pid_t pid = fork();
        if (pid < 0) {
            int err = errno;
            Refuse(fd, std::to_string(err).c_str(), std::string("refused: fork: ") + strerror(err));
            continue;
        }
        if (pid == 0) {
            CloseAll();
            set_nodelay(fd);
            return fd;
        }
        ++_sessions;
        close(fd);
    }
}

void Acceptor::ReapSessions() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) --_sessions;
}

void Acceptor::Refuse(int fd, const char* word, const std::string& why) {
    log_peer(peer_name(fd), why);
    std::string reply = std::string("E ") + word;
    send(fd, reply.c_str(), reply.size() + 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_WR);
    _refused.push_back(fd);
    if (_refused.size() > kMaxRefused) {
        close(_refused.front());
        _refused.pop_front();
    }
}

// Closes the refused connections whose client has closed; what the others
// sent is dropped, a few buffers at a time.
void Acceptor::SweepRefused() {
    for (auto it = _refused.begin(); it != _refused.end();) {
        char discard[4096];
        ssize_t n = 1;
        for (int i = 0; i < 4 && n > 0; ++i) n = recv(*it, discard, sizeof discard, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            close(*it);
            it = _refused.erase(it);
        } else {
            ++it;
        }
    }
}

void Acceptor::AcceptFailed(int err) {
    if (err == EINTR) return;
    if ((err == EMFILE || err == ENFILE) && _spare >= 0) {
        // The spare descriptor makes room for the one connection to drop.
        close(_spare);
        int fd = accept(_listenfd, nullptr, nullptr);
        if (fd >= 0) {
            log_peer(peer_name(fd), std::string("dropped: accept: ") + strerror(err));
            close(fd);
        }
        _spare = open_spare();
        return;
    }
    fprintf(stderr, "kxcr-server: accept: %s\n", strerror(err));
    // Errors of a connection that is gone already: the next one may be fine.
    if (err == ECONNABORTED || err == EPROTO || err == ENETDOWN || err == ENETUNREACH ||
        err == EHOSTDOWN || err == EHOSTUNREACH || err == ENONET || err == ENOPROTOOPT ||
        err == EOPNOTSUPP) {
        return;
    }
    poll(nullptr, 0, kBackoffMs);
}

void Acceptor::CloseAll() {
    close(_listenfd);
    if (_spare >= 0) close(_spare);
    for (int fd : _refused) close(fd);
}
