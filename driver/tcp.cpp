// TCP helpers of the remote access protocol: connection set-up for the
// client (remote.cpp) and the remote-access server, and the string reads and
// writes of the protocol.
//
// Every request and reply is text ending in one NUL. The stream has no other
// framing, so a reader must never take bytes past the NUL that ends its
// message: they belong to the next one.
#include "tcp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kxcr.h"

namespace {

// Requests are small and strictly alternate with replies: Nagle's delay
// would cost every one of them a round trip.
void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Stores up to maxlen bytes, stopping after the first `term` byte. It peeks
// at what has arrived and then takes exactly the bytes up to the terminator,
// so the next message stays in the socket, untouched, and a whole message
// costs two system calls instead of one per byte.
int read_until(int fd, char* ptr, int maxlen, char term, int* terminated) {
    int stored = 0;
    *terminated = 0;
    while (stored < maxlen) {
        char seen[512];
        ssize_t n = recv(fd, seen, std::min<size_t>(sizeof seen, maxlen - stored), MSG_PEEK);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        const char* end = static_cast<const char*>(memchr(seen, term, n));
        int take = end ? end - seen + 1 : n;
        if (readn(fd, ptr + stored, take) != take) return -1;
        stored += take;
        if (end) {
            *terminated = 1;
            break;
        }
    }
    return stored;
}

int connect_to(const char* host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0) {
        if (rc != EAI_SYSTEM) errno = ENXIO;
        return -1;
    }
    sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    set_nodelay(fd);
    return fd;
}

}  // namespace

int open_cli_connection(const char* host, int port) {
    plog("open_connection(%s, %d)\n", host, port);
    return connect_to(host, port);
}

int open_listen_socket(const char* address, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (port < 0 || port > 65535 || (address && inet_pton(AF_INET, address, &addr.sin_addr) != 1)) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A restarted server must not wait for the old connections' TIME_WAIT.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int accept_serv_connection(int listenfd) {
    // Finished children are reaped by the system.
    if (signal(SIGCHLD, SIG_IGN) == SIG_ERR) {
        close(listenfd);
        return -1;
    }
    for (;;) {
        plog("Waiting for connection on port %d\n", local_port(listenfd));
        int fd = accept(listenfd, nullptr, nullptr);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) {
            int saved = errno;
            close(listenfd);
            errno = saved;
            return -1;
        }
        pid_t pid = fork();
        if (pid < 0) {
            int saved = errno;
            close(fd);
            close(listenfd);
            errno = saved;
            return -1;
        }
        if (pid > 0) {
            close(fd);
            continue;
        }
        close(listenfd);
        set_nodelay(fd);
        return fd;
    }
}

int local_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

int open_serv_connection(int port) {
    int listenfd = open_listen_socket(nullptr, port);
    return listenfd < 0 ? -1 : accept_serv_connection(listenfd);
}

int readn(int fd, void* vptr, int nbytes) {
    char* ptr = static_cast<char*>(vptr);
    int done = 0;
    while (done < nbytes) {
        ssize_t n = read(fd, ptr + done, nbytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

int writen(int fd, void* vptr, int nbytes) {
    const char* ptr = static_cast<const char*>(vptr);
    int done = 0;
    while (done < nbytes) {
        ssize_t n = write(fd, ptr + done, nbytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        done += n;
    }
    return nbytes;
}

int reads(int fd, char* ptr, int maxlen) {
    int terminated = 0;
    int stored = read_until(fd, ptr, maxlen, '\0', &terminated);
    return stored > 0 && terminated ? stored - 1 : stored;
}

int readnl(int fd, char* ptr, int maxlen) {
    if (maxlen < 1) {
        errno = EINVAL;
        return -1;
    }
    int terminated = 0;
    int stored = read_until(fd, ptr, maxlen - 1, '\n', &terminated);
    if (stored < 0) return -1;
    ptr[stored] = '\0';
    return terminated ? stored - 1 : stored;
}

int writes(int fd, char* ptr) { return writen(fd, ptr, static_cast<int>(strlen(ptr)) + 1); }

int writenl(int fd, char* ptr) {
    const char* nl = strchr(ptr, '\n');
    return nl ? writen(fd, ptr, static_cast<int>(nl - ptr) + 1) : 0;
}

