/*
 * TCP helpers of the remote access protocol, used by the client in kxcr and
 * by the remote-access server.
 */
#ifndef KXCR_TCP_H
#define KXCR_TCP_H

/* Everything declared here is the shared library's interface; the rest of
 * the library is built hidden. */
#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

int open_cli_connection(const char* host, int port);
int open_serv_connection(int port);
int readn(int fd, void* vptr, int nbytes);
int writen(int fd, void* vptr, int nbytes);
int reads(int fd, char* ptr, int maxlen);
int readnl(int fd, char* ptr, int maxlen);
int writes(int fd, char* ptr);
int writenl(int fd, char* ptr);

/* The two halves of open_serv_connection, for a server that chooses its
 * address or needs its port before it accepts (port 0 picks a free one).
 * open_listen_socket: a listening socket bound to the dotted IPv4 address
 * (NULL: any address), or -1. accept_serv_connection: accepts and forks one
 * child per client; in the child returns the client's socket, -1 on failure
 * (the listening socket is closed then). */
int open_listen_socket(const char* address, int port);
int accept_serv_connection(int listenfd);
/* The local port a socket is bound to, or -1. */
int local_port(int fd);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif /* KXCR_TCP_H */
