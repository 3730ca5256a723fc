// One client connection of the remote-access server.
#ifndef KXCR_SERVER_SESSION_H
#define KXCR_SERVER_SESSION_H

// Answers the requests of the client on `fd` until it sends "C" or goes
// away, then closes its device and the connection. With `read_only` every
// write request is refused.
void serve_client(int fd, bool read_only);

#endif  // KXCR_SERVER_SESSION_H
