/* Kernel-driver interface of PCI configuration cycles. */
#ifndef KDT_PCICONF_H
#define KDT_PCICONF_H

#include <linux/ioctl.h>
#include <stdint.h>

struct kdt_read4_st {
    uint32_t offset;
    uint32_t data; /* filled by the driver */
};

struct kdt_write4_st {
    uint32_t offset;
    uint32_t data;
};

#define KDT_IOC_READ4 _IOR(0xD2, 1, struct kdt_read4_st)
#define KDT_IOC_WRITE4 _IOW(0xD2, 2, struct kdt_write4_st)

#endif /* KDT_PCICONF_H */
