/* Kernel-driver interface of the Calibre I2C adapter: one I2C transaction,
 * a write of wr_size bytes to the 7-bit slave, then a read of rd_size bytes. */
#ifndef KDT_CALBR_H
#define KDT_CALBR_H

#include <linux/ioctl.h>
#include <stdint.h>

struct kdt_trans_st {
    uint8_t slv_addr;
    uint8_t wr_buff[68];
    uint32_t wr_size;
    uint8_t rd_buff[64];
    uint32_t rd_size;
    uint32_t wr_count; /* bytes written, reported by the driver */
    uint32_t rd_count; /* bytes read, reported by the driver */
};

#define KDT_IOC_TRANS _IOWR(0xD3, 3, struct kdt_trans_st)

#endif /* KDT_CALBR_H */
