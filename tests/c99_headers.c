/* Every public header of kxcr, compiled as C99 with -Wpedantic: C programs
 * include them as they are. */
#include <kxcr/kdt_calbr.h>
#include <kxcr/kdt_pci.h>
#include <kxcr/kdt_pciconf.h>
#include <kxcr/kxcr.h>
#include <kxcr/kxcr_kif.h>
#include <kxcr/kxcr_os.h>
#include <kxcr/tcp.h>

/* The records and tables as a C caller fills them. */
int c99_headers_use(kfile* mf);
int c99_headers_use(kfile* mf)
{
    u_int32_t value = 0;
    kif_param_t request = {KREAD4, KDT_ZORVAN, 0x48, 4, 0, 0, &value};
    struct kdt_trans_st transaction = {0};
    struct kdt_read4_st read4 = {0, 0};
    const struct kxcr_os_ops* os = kxcr_os();
    return kread4(mf, transaction.wr_size + read4.offset, request.buf) + (os == NULL) +
           (int)(KDT_IOC_PCI_PARAMS & 0) + (int)(KDT_IOC_TRANS & 0) + (int)(KDT_IOC_READ4 & 0);
}
