/*
 * kxcr_read: reads one 32-bit word of a chip's configuration-register space
 * through kxcr and prints it in hexadecimal.
 *
 *   kxcr_read DEVICE ADDRESS      (ADDRESS in hexadecimal, a multiple of 4)
 *
 * Build it against the installed library:
 *   cc -o kxcr_read kxcr_read.c $(pkg-config --cflags --libs kxcr)
 */
#include <kxcr/kxcr.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    char* end = NULL;
    unsigned long addr;
    u_int32_t value = 0;
    kfile* mf;
    int rc;
    int err;

    if (argc != 3) {
        fprintf(stderr, "usage: kxcr_read DEVICE ADDRESS\n");
        return 1;
    }
    errno = 0;
    addr = strtoul(argv[2], &end, 16);
    if (argv[2][0] == '\0' || *end != '\0' || errno != 0 || addr > 0xFFFFFFFFUL) {
        fprintf(stderr, "kxcr_read: not a 32-bit hexadecimal address: %s\n", argv[2]);
        return 1;
    }
    mf = kopen(argv[1]);
    if (mf == NULL) {
        fprintf(stderr, "kxcr_read: cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    rc = kread4(mf, (unsigned int)addr, &value);
    err = errno;
    kclose(mf);
    if (rc != 4) {
        fprintf(stderr, "kxcr_read: reading %08lx failed: %s\n", addr,
                rc < 0 ? strerror(err) : "short transfer");
        return 2;
    }
    printf("%08x\n", (unsigned int)value);
    return 0;
}
