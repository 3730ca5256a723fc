// The accepting side of the remote-access server: one forked child per
// client, at most a fixed number at once.
#ifndef KXCR_SERVER_ACCEPTOR_H
#define KXCR_SERVER_ACCEPTOR_H

#include <deque>
#include <string>

class Acceptor {
public:
    // Takes over the listening socket `listenfd`.
    Acceptor(int listenfd, int max_sessions);
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    // Accepts clients for ever; returns only in a forked child, with the
    // client's socket and every descriptor of the acceptor closed. A client
    // that cannot be served (the session cap is reached, or accept or fork
    // fails) is dropped, with an error reply to its open when possible, and
    // logged; the server goes on with the next.
    int Next();

private:
    void ReapSessions();
    void Refuse(int fd, const char* word, const std::string& why);
    void SweepRefused();
    void AcceptFailed(int err);
    void CloseAll();

    int _listenfd;
    int _maxSessions;
    int _sessions = 0;
    // Held open so that a full descriptor table still lets one connection be
    // accepted and closed instead of staying in the backlog for ever.
    int _spare;
    // Refused connections, their error reply sent, kept open until the client
    // closes: closing first would reset the connection under a client still
    // sending its open request, and it would never read the reply.
    std::deque<int> _refused;
};

#endif  // KXCR_SERVER_ACCEPTOR_H
