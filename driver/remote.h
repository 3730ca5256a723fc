// The client side of the remote access protocol, private to kxcr: the open
// request and the remote branches of kread4, kwrite4 and kclose.
#ifndef KXCR_REMOTE_H
#define KXCR_REMOTE_H

#include "kxcr.h"

int remote_open(const char* name, kfile* mf, DType dtype);
int remote_read4(kfile* mf, unsigned int offset, u_int32_t* value);
int remote_write4(kfile* mf, unsigned int offset, u_int32_t value);
int remote_close(kfile* mf);
void sig_pipe(int signo);

#endif  // KXCR_REMOTE_H
