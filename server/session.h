// One client connection of the remote-access server.
#ifndef KXCR_SERVER_SESSION_H
#define KXCR_SERVER_SESSION_H

#include <cstdint>
#include <set>
#include <string>

struct SessionRules {
    // Refuse every write request.
    bool read_only = false;
    // Control registers of the gateways the server knows. A read of one takes
    // the gateway's lock and only a write releases it, so a read-only client
    // must not read them: it would wedge the gateway for every other user.
    std::set<uint32_t> control_regs;
};

// Answers the requests of the client on `fd` until it sends "C" or goes
// away, then closes its device and the connection.
void serve_client(int fd, const SessionRules& rules);

// "ADDRESS:PORT" of the peer of a connected socket, as the log shows it.
std::string peer_name(int fd);

// One line "kxcr-server: <peer>: <what>" on standard error.
void log_peer(const std::string& peer, const std::string& what);

#endif  // KXCR_SERVER_SESSION_H
