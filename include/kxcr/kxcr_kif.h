/* Requests of kif device files: the request code is the command itself. */
#ifndef KXCR_KIF_H
#define KXCR_KIF_H

#include <sys/types.h>

#include "kxcr.h"

typedef enum kif_ioctl_cmd_t {
    KACCELERATE = 0,
    KRESTORE = 1,
    KREAD4 = 2,
    KWRITE4 = 3,
    KREAD64 = 4,
    KWRITE64 = 5
} kif_ioctl_cmd_t;

typedef struct kif_param_st {
    kif_ioctl_cmd_t cmd;
    DType dtype;
    u_int8_t addr; /* I2C slave */
    int len;
    int imm;
    int offset;
    void* buf;
} kif_param_t;

#endif /* KXCR_KIF_H */
