/*
 * kxcr: access to a chip's configuration-register (CR) space through one
 * handle type, whatever the path: a memory-mapped PCI window, PCI
 * configuration cycles, a Calibre I2C adapter, kif and ppc device files of
 * the kernel driver, the chip's own I2C master, two USB-I2C adapters,
 * InfiniBand management datagrams, or a remote server reached over TCP.
 *
 * The contract of every access routine: a byte count, or -1 with errno set
 * by the call that failed.
 */
#ifndef KXCR_H
#define KXCR_H

#include <stdint.h>
#include <sys/types.h>

/* Everything declared here is the shared library's interface; the rest of
 * the library is built hidden. */
#pragma GCC visibility push(default)

#ifdef __cplusplus
extern "C" {
#endif

typedef enum KType_t {
    KDT_PCI = 0,       /* memory-mapped CR window through the kernel driver */
    KDT_PCICONF = 1,   /* PCI configuration cycles through the kernel driver */
    KDT_CALBR = 2,     /* Calibre I2C adapter through the kernel driver */
    KDT_USB = 3,       /* the maker's own USB-I2C adapter */
    KDT_IB = 4,        /* InfiniBand vendor-specific MADs */
    KDT_IF = 5,        /* kif device file (kif_param_st requests) */
    KDT_PPC = 6,       /* ppc device file (driver memory pages) */
    KDT_USB_DIMAX = 7  /* Dimax U2C USB-I2C adapter */
} KType;

typedef enum DType_t {
    KDT_DUVRA = 0,   /* switch family: 2 address bytes on I2C */
    KDT_ZORVAN = 1,  /* adapter family: 4 address bytes */
    KDT_DIMM = 2,    /* 1 address byte */
    KDT_NOADDR = 3   /* no address phase */
} DType;

typedef enum Kdevs_t {
    KDEVS_DUVRA = 0x1,
    KDEVS_I2CM = 0x2,
    KDEVS_MEM = 0x4,
    KDEVS_ZORVAN_DDR = 0x8,
    KDEVS_ZORVAN_UAR = 0x10,
    KDEVS_ZORVAN_CR = 0x20,
    KDEVS_IF = 0x40,
    KDEVS_REM = 0x80,
    KDEVS_PPC = 0x100,
    KDEVS_DEV_I2C = 0x200,
    KDEVS_IB = 0x400,
    KDEVS_ZORVAN = 0x38,
    KDEVS_ALL = (int)0xFFFFFFFF
} Kdevs;

typedef struct KIB_Private {
    int dummy;
} KIB_Private;

typedef struct kfile_t {
    KType tp;
    DType dtype;
    DType itype;
    int is_i2cm;
    unsigned char i2c_slave;
    int fd;
    int sock;
    void* ptr;
    unsigned int map_size;
    KIB_Private kib;
    unsigned int i2c_RESERVED;
    int flags; /* Kdevs bits */
    unsigned int pellik_wa_slot;
    int pellik_wa_last_op_write;
    unsigned int pellik_wa_stat;
    unsigned long long pellik_wa_max_retries;
    unsigned long long pellik_wa_num_of_writes;
    unsigned long long pellik_wa_num_of_retry_writes;
} kfile;

/* Handle, names, open/close. */
kfile* kopen(const char* name);
kfile* kopend(const char* name, DType dtype);
int kclose(kfile* mf);
int kdevices(char* buf, int len, int mask);
int get_device_flags(const char* name);
char* find_zorvan(const char* name);
void logset(int ena);
int plog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/* Register access. */
int kread4(kfile* mf, unsigned int offset, u_int32_t* value);
int kwrite4(kfile* mf, unsigned int offset, u_int32_t value);
int kread64(kfile* mf, unsigned int offset, void* data, int length);
int kwrite64(kfile* mf, unsigned int offset, void* data, int length);
int ksw_reset(kfile* mf);
void kaccelerate(kfile* mf);
void krestore(kfile* mf);
unsigned char kset_i2c_slave(kfile* mf, unsigned char new_i2c_slave);
void* kget_free_pages(kfile* mf, unsigned int order);
int kfree_pages(kfile* mf, void* addr, unsigned int order);
unsigned long kvtop(kfile* mf, void* va);

/* I2C address phase: returns its length; prepare_i2c_data appends the data. */
int prepare_i2c_buf(unsigned char* buf, DType dtype, unsigned int offset);
int prepare_i2c_data(unsigned char* buf, DType dtype, unsigned int offset,
                     const unsigned char* data, int data_length);

/* The in-chip I2C master. kread4_ and kwrite4_ reach its own registers (the
 * "i2cm" redirection off for the call); the transactions return the
 * master's status (7 done, 6 try again) or -1. i2c_master_read_cr and
 * i2c_master_read give a 4-byte read as a word in host order and shorter
 * reads as bytes in bus order. */
int kread4_(kfile* mf, unsigned int offset, unsigned int* value);
int kwrite4_(kfile* mf, unsigned int offset, unsigned int value);
int wait_trans(kfile* mf);
int w_trans(kfile* mf, void* data, int len);
int r_trans(kfile* mf, void* data, int len);
int end_trans(kfile* mf);
int i2c_master_write_cr(kfile* mf, unsigned int value, unsigned int offset, int len);
int i2c_master_read_cr(kfile* mf, void* value, unsigned int offset, int len);
int i2c_master_read(kfile* mf, void* value, unsigned int offset, int len);
int i2c_master_set(kfile* mf);
void i2c_master_restore(kfile* mf);

/* Block transfers of 32-bit words in host order, in chunks that suit the
 * handle's transport. Offsets and lengths are multiples of 4 (else EINVAL
 * before anything moves). The block calls return the bytes of the chunks
 * that went through, byte_len when all did; the chunk calls the chunk's
 * length, or -1 with errno. */
int kread4_block(kfile* mf, unsigned int offset, u_int32_t* data, int byte_len);
int kwrite4_block(kfile* mf, unsigned int offset, u_int32_t* data, int byte_len);
int kread_chunk(kfile* mf, unsigned int offset, void* data, int length);
int kwrite_chunk(kfile* mf, unsigned int offset, void* data, int length);
int kread_chunk_as_multi_kread4(kfile* mf, unsigned int offset, void* data, int length);
int kwrite_chunk_as_multi_kwrite4(kfile* mf, unsigned int offset, void* data, int length);
int get_chunk_size(kfile* mf);
void buff_cpu2be(void* buff, int byte_len);

/* Write-flush workaround of the Pellik chip revision. */
int pellik_wa_write_confirm_sem(kfile* mf, unsigned int addr);
int pellik_wa_write_confirm(kfile* mf, unsigned int addr);
unsigned int pellik_wa_find_slot(kfile* mf);
void pellik_wa_clear_stots(kfile* mf);

/* InfiniBand vendor-specific MADs, for names with "lid-" followed by
 * LID[,CA[,PORT]]; libibmad is loaded at run time. Every failure of kib_open
 * and of the kib_ accesses prints an "ibvsmad: iberror: ..." line and ends
 * the process with status 255; ksw_reset and the ibvsmad_ calls return -1. */
typedef struct __ibvsmad_hndl_t ibvs_mad;
int kib_open(const char* name, kfile* mf);
int kib_close(kfile* mf);
int kib_read4(kfile* mf, u_int32_t memory_address, u_int32_t* data);
int kib_write4(kfile* mf, u_int32_t memory_address, u_int32_t data);
int kib_read64(kfile* mf, unsigned int offset, void* data, int length);
int kib_write64(kfile* mf, unsigned int offset, void* data, int length);
int kib_swreset(kfile* mf);
/* method: 1 reads (Get), 2 writes (Set); 0 on success, -1 on failure. */
int ibvsmad_craccess_rw(ibvs_mad* h, u_int32_t memory_address, int method, u_int8_t num_of_dwords,
                        u_int32_t* data);
int ibvsmad_i2c_rw(ibvs_mad* h, unsigned int i2c_device_id, u_int32_t memory_address,
                   unsigned int size, int method, char* data);
/* Prints "ibvsmad: iberror: failed: ..." (is_error) or "ibvsmad: ibwarning:
 * ..." to standard output; with is_error the process then ends with 255. */
int iberror(int is_error, const char* fn, const char* msg, ...) __attribute__((format(printf, 3, 4)));

/* USB-I2C adapters over Linux usbdevfs: the kdt USB adapter (vendor
 * requests) and the Dimax U2C adapter (bulk command and response). */

/* One I2C transfer. The slave travels in 8-bit form (the 7-bit address
 * shifted left by one). For the kdt adapter wCount is the number of Data
 * bytes to send or receive; for Dimax it is the length of the address phase
 * at the start of Data, and a read leaves the data and then the status byte
 * in Data. */
typedef struct _I2C_TRANS {
    unsigned char byTransType; /* always 0 */
    unsigned char bySlvDevAddr;
    unsigned int wMemoryAddr; /* kdt adapter's memory-address field: 0 */
    int wCount;
    unsigned char Data[256];
} I2C_TRANS, *PI2C_TRANS;

struct usb_device_descriptor; /* <linux/usb/ch9.h> */

/* usb_control_msg: 0 on success (the count moved is not passed on), -1 with
 * errno. usb_get_descriptor: the bytes the device gave, or -1.
 * usb_get_device_descriptor: 0 once all 18 bytes came (EIO when fewer), with
 * idVendor and idProduct in host order. */
int usb_control_msg(int fd, int requesttype, int request, int value, int index, char* bytes, int size,
                    int timeout);
int usb_get_descriptor(int fd, unsigned char type, unsigned char index, void* buf, int size);
int usb_get_device_descriptor(int fd, struct usb_device_descriptor* buf);

/* The kdt adapter's requests: the bytes moved, or -1 with errno. */
int kdt_WriteI2c(int fd, PI2C_TRANS tr);
int kdt_ReadI2c(int fd, PI2C_TRANS tr);
int kdt_ReadIoPorts(int fd, PI2C_TRANS tr);
int kdt_WriteIoPorts(int fd, PI2C_TRANS tr);
int kdt_Debug(int fd, PI2C_TRANS tr);

/* One Dimax exchange of `size` data bytes (at most 255) with signals held
 * back: 0; 200 + the adapter's status byte; or an errno value (EIO when a
 * transfer moved another count than asked). */
int dimax_ReadI2c(int fd, PI2C_TRANS tr, int size);
int dimax_WriteI2c(int fd, PI2C_TRANS tr, int size);

/* The I2C lock: an advisory lock on the adapter's device file around every
 * Dimax exchange, on unless "KXCR_I2C_SEM" is "0". i2c_sem_wait gives 0, -1
 * with errno, or -2 when the lock stayed taken for 500,000 tries. The _sem
 * exchanges return the lock's result without exchanging when it is not 0,
 * else the exchange's, or the release's when the exchange succeeded. */
int i2c_sem_open(kfile* mf, const char* name);
int i2c_sem_close(kfile* mf);
int i2c_sem_wait(kfile* mf);
int i2c_sem_post(kfile* mf);
int dimax_ReadI2c_sem(kfile* mf, int fd, PI2C_TRANS tr, int size);
int dimax_WriteI2c_sem(kfile* mf, int fd, PI2C_TRANS tr, int size);

#ifdef __cplusplus
}
#endif

#pragma GCC visibility pop

#endif /* KXCR_H */
