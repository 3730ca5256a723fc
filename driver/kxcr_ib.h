// The InfiniBand transport's own parts, private to kxcr: kxcr_ib.cpp holds
// the handle's operations, kxcr_ib_ofed.cpp everything that talks to
// libibmad, which is loaded at run time and never linked.
#ifndef KXCR_IB_H
#define KXCR_IB_H

#include <infiniband/mad.h>

#include <cstddef>
#include <cstdint>

#include "kxcr.h"

// libibmad marks its calls on the process-wide default port deprecated; they
// are the ones this module looks up by name.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// The private record of an InfiniBand handle (kfile::ptr).
struct __ibvsmad_hndl_t {
    ib_portid_t portid;  // the resolved destination
    void* dl_handle;     // libibmad, loaded by this handle's open
    decltype(&::madrpc_init) madrpc_init;
    decltype(&::ib_vendor_call) ib_vendor_call;
    decltype(&::mad_register_client) mad_register_client;
    decltype(&::ib_resolve_portid_str) ib_resolve_portid_str;
    decltype(&::portid2str) portid2str;
};
#pragma GCC diagnostic pop

namespace ibvsmad {
// Adds the process id and the function to every message. Off; nothing in
// the library turns it on (a debugger or a test does).
extern int verbose;
}  // namespace ibvsmad

// Loads libibmad, sets up the management channel on CA `ca` (null: the
// default) port `ca_port` (0: the default), registers the two vendor
// classes and resolves the LID `dest`. Returns the record; any failure ends
// the process through iberror.
ibvs_mad* ibvsmad_open(const char* dest, const char* ca, int ca_port);

// The reset datagram: 0 when it was answered, else -1 with EIO.
int ibvsmad_swreset(ibvs_mad* h);

// The one place that reads a reply: takes what the reply in `reply`
// (`reply_len` bytes of data area) hands back for a call of attribute
// `attrid` into `out`: for a CR access the word of bytes 8-11, most
// significant first (`size` 4); for an I2C access `size` bytes from byte
// 20. -1 when the area does not hold them.
int ibvsmad_reply(unsigned attrid, const uint8_t* reply, size_t reply_len, void* out, size_t size);

#endif  // KXCR_IB_H
