// Provisional: replaced by the remote-access implementation.
#include "tcp.h"

#include <cerrno>

int remote_open(const char*, kfile*, DType) { errno = ENOSYS; return -1; }
int remote_read4(kfile*, unsigned int, u_int32_t*) { errno = ENOSYS; return -1; }
int remote_write4(kfile*, unsigned int, u_int32_t) { errno = ENOSYS; return -1; }
int remote_close(kfile*) { errno = ENOSYS; return -1; }
