/*
 * TCP helpers of the remote access protocol, used by the client in kxcr and
 * by the remote-access server, and the client side of the protocol.
 */
#ifndef KXCR_TCP_H
#define KXCR_TCP_H

#include <sys/types.h>

#include "kxcr.h"

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

/* Client side: the open request, and the remote branches of kread4, kwrite4
 * and kclose. */
int remote_open(const char* name, kfile* mf, DType dtype);
int remote_read4(kfile* mf, unsigned int offset, u_int32_t* value);
int remote_write4(kfile* mf, unsigned int offset, u_int32_t value);
int remote_close(kfile* mf);
void sig_pipe(int signo);

#ifdef __cplusplus
}
#endif

#endif /* KXCR_TCP_H */
