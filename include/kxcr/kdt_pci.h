/* Kernel-driver interface of the memory-mapped CR window. */
#ifndef KDT_PCI_H
#define KDT_PCI_H

#include <linux/ioctl.h>
#include <stdint.h>

struct kdt_pci_params_st {
    uint64_t bar;  /* physical base of the window */
    uint64_t size; /* length of the window in bytes */
};

/* Fills kdt_pci_params_st; the window is then mapped from offset 0. */
#define KDT_IOC_PCI_PARAMS _IOR(0xD1, 2, struct kdt_pci_params_st)
/* Gives the calling process its write-flush slot number. */
#define KDT_IOC_PELLIK_SLOT _IOR(0xD1, 3, uint32_t)

#endif /* KDT_PCI_H */
