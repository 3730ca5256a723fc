// The private table of operations per transport. Each transport fills one
// row in its own file; kxcr.cpp holds the table and picks the row for a
// handle, so no other code asks which transport a handle uses. A null slot
// means the transport has no such operation; the entry point answers for it.
#ifndef KXCR_TRANSPORT_H
#define KXCR_TRANSPORT_H

#include "kxcr.h"

struct kxcr_transport {
    // Completes the open once kopend has filled the handle from the name and,
    // for a row that owns a device file, opened it; remote and InfiniBand
    // rows open everything themselves. 0, or -1 with errno after releasing
    // what it took.
    int (*open)(const char* name, kfile* mf, DType dtype) = nullptr;
    // Releases what open took; kclose then closes the device file.
    int (*close)(kfile* mf) = nullptr;
    // Aligned 32-bit accesses, which every row has: 4, a short count, or -1
    // with errno.
    int (*read4)(kfile* mf, unsigned offset, u_int32_t* value) = nullptr;
    int (*write4)(kfile* mf, unsigned offset, u_int32_t value) = nullptr;
    // Transfers of 0 to 64 bytes, checked by the caller. Null: the bytes
    // travel one by one through the in-chip I2C master.
    int (*read64)(kfile* mf, unsigned offset, void* data, int length) = nullptr;
    int (*write64)(kfile* mf, unsigned offset, void* data, int length) = nullptr;
    // Null: the handle has no software reset.
    int (*sw_reset)(kfile* mf) = nullptr;
    // One chunk of a block transfer, and the chunk length that suits the
    // transport. Null: the chunk moves as single 32-bit accesses.
    int (*read_chunk)(kfile* mf, unsigned offset, void* data, int length) = nullptr;
    int (*write_chunk)(kfile* mf, unsigned offset, void* data, int length) = nullptr;
    int chunk_size = 4;
    // Speed the in-chip I2C master up for a series of accesses, and restore it.
    void (*accelerate)(kfile* mf) = nullptr;
    void (*restore)(kfile* mf) = nullptr;
    // Driver memory pages. Null: the handle offers none.
    void* (*get_pages)(kfile* mf, unsigned order) = nullptr;
    int (*free_pages)(kfile* mf, void* addr, unsigned order) = nullptr;
    // kopend opens the name as a device file before open, kclose closes it
    // after close.
    bool owns_device_file = false;
    // An "i2cm" handle of this kind sends its 32-bit accesses through the
    // in-chip I2C master instead.
    bool i2cm_words = false;
};

// The rows, each defined in its transport's file.
extern const kxcr_transport pci_transport;      // window.cpp
extern const kxcr_transport ppc_transport;      // window.cpp
extern const kxcr_transport pciconf_transport;  // pciconf.cpp
extern const kxcr_transport calibre_transport;  // calibre.cpp
extern const kxcr_transport kif_transport;      // kif.cpp
extern const kxcr_transport remote_transport;   // remote.cpp
extern const kxcr_transport ib_transport;       // kxcr_ib.cpp
extern const kxcr_transport i2c_master_row;     // kxcr_i2c.cpp

// Chunk slots a row may fill (kxcr_block.cpp). move_in_pieces moves a chunk
// as pieces of at most `piece` bytes with `move`, for a path that carries
// less than a chunk: the chunk's length, or -1 with errno (EIO for a piece
// cut short). The other two move a chunk through the handle's transfers of
// up to 64 bytes, each word most significant byte first on the wire.
int move_in_pieces(kfile* mf, unsigned offset, void* data, int length, int piece,
                   int (*move)(kfile* mf, unsigned offset, void* data, int length));
int read_chunk_by_kread64(kfile* mf, unsigned offset, void* data, int length);
int write_chunk_by_kwrite64(kfile* mf, unsigned offset, void* data, int length);

// The row serving a handle: the remote client when `sock` is not -1, else
// the row of its kind. Null with errno ENOSYS for a transport not in this
// build, EPERM for a kind that does not exist.
const kxcr_transport* transport_for(const kfile* mf);
// The row carrying the handle's 32-bit accesses: transport_for, except that
// an "i2cm" handle of a kind that allows it goes through the I2C master.
const kxcr_transport* word_transport_for(const kfile* mf);
// The in-chip I2C master's row.
const kxcr_transport* i2c_master_transport();

#endif  // KXCR_TRANSPORT_H
