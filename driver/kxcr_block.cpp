// Block transfers: runs of 32-bit CR words between the chip and a buffer of
// words in host order, in chunks whose size suits the handle's transport.
// Each row says how it moves a chunk (transport.h); a row that says nothing
// moves it word by word. A path that carries less than a chunk moves it in
// pieces it accepts.
#include <endian.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "transport.h"

namespace {

using chunk_fn = int (*)(kfile*, unsigned, void*, int);

constexpr int kMaxTransfer = 64;

// Words only: a partial word would reach the chip as a torn write, or come
// back with bytes of the next word on paths that move bytes.
bool words_allowed(const kfile* mf, unsigned offset, const void* data, int length) {
    if (!mf || length < 0 || length % 4 != 0 || offset % 4 != 0 || (!data && length > 0)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// The row that moves an "i2cm" handle's chunks is the master's: it reads
// through the master whatever the kind, and writes word by word, each word
// as kwrite4 sends it.
const kxcr_transport* chunk_transport_for(const kfile* mf) {
    return mf->is_i2cm ? i2c_master_transport() : transport_for(mf);
}

// Bytes moved short of what was asked say EIO.
int whole_or_failed(int rc, int wanted) {
    if (rc == wanted || rc < 0) return rc;
    errno = EIO;
    return -1;
}

int block(kfile* mf, unsigned offset, void* data, int byte_len, chunk_fn move) {
    if (!words_allowed(mf, offset, data, byte_len)) return -1;
    const int chunk = get_chunk_size(mf);
    if (chunk <= 0) return -1;
    auto* bytes = static_cast<char*>(data);
    for (int done = 0, n = 0; done < byte_len; done += n) {
        n = std::min(chunk, byte_len - done);
        // The count says how many bytes of whole chunks went through.
        if (move(mf, offset + done, bytes + done, n) != n) return done;
    }
    return byte_len;
}

}  // namespace

int move_in_pieces(kfile* mf, unsigned offset, void* data, int length, int piece, chunk_fn move) {
    auto* bytes = static_cast<char*>(data);
    for (int done = 0, n = 0; done < length; done += n) {
        n = std::min(piece, length - done);
        if (whole_or_failed(move(mf, offset + done, bytes + done, n), n) < 0) return -1;
    }
    return length;
}

// The chip sends each word most significant byte first; the buffer holds
// them in host order.
int read_chunk_by_kread64(kfile* mf, unsigned offset, void* data, int length) {
    if (move_in_pieces(mf, offset, data, length, kMaxTransfer, kread64) < 0) return -1;
    buff_cpu2be(data, length);
    return length;
}

// The caller's words are turned into the chip's byte order in a copy: the
// buffer is the caller's and stays as it was.
int write_chunk_by_kwrite64(kfile* mf, unsigned offset, void* data, int length) {
    for (int done = 0, n = 0; done < length; done += n) {
        n = std::min(kMaxTransfer, length - done);
        unsigned char piece[kMaxTransfer];
        std::memcpy(piece, static_cast<const char*>(data) + done, n);
        buff_cpu2be(piece, n);
        if (whole_or_failed(kwrite64(mf, offset + done, piece, n), n) < 0) return -1;
    }
    return length;
}

int get_chunk_size(kfile* mf) {
    if (!mf) {
        errno = EINVAL;
        return -1;
    }
    const kxcr_transport* t = transport_for(mf);
    return t ? t->chunk_size : -1;
}

void buff_cpu2be(void* buff, int byte_len) {
    auto* bytes = static_cast<char*>(buff);
    for (int i = 0; i + 4 <= byte_len; i += 4) {
        uint32_t word;
        std::memcpy(&word, bytes + i, 4);
        word = htobe32(word);
        std::memcpy(bytes + i, &word, 4);
    }
}

int kread_chunk_as_multi_kread4(kfile* mf, unsigned int offset, void* data, int length) {
    if (!words_allowed(mf, offset, data, length)) return -1;
    auto* bytes = static_cast<char*>(data);
    for (int i = 0; i < length; i += 4) {
        u_int32_t word = 0;
        if (whole_or_failed(kread4(mf, offset + i, &word), 4) < 0) return -1;
        std::memcpy(bytes + i, &word, 4);
    }
    return length;
}

int kwrite_chunk_as_multi_kwrite4(kfile* mf, unsigned int offset, void* data, int length) {
    if (!words_allowed(mf, offset, data, length)) return -1;
    const auto* bytes = static_cast<const char*>(data);
    for (int i = 0; i < length; i += 4) {
        u_int32_t word;
        std::memcpy(&word, bytes + i, 4);
        if (whole_or_failed(kwrite4(mf, offset + i, word), 4) < 0) return -1;
    }
    return length;
}

int kread_chunk(kfile* mf, unsigned int offset, void* data, int length) {
    if (!words_allowed(mf, offset, data, length)) return -1;
    const kxcr_transport* t = chunk_transport_for(mf);
    if (!t) return -1;
    return t->read_chunk ? t->read_chunk(mf, offset, data, length)
                         : kread_chunk_as_multi_kread4(mf, offset, data, length);
}

int kwrite_chunk(kfile* mf, unsigned int offset, void* data, int length) {
    if (!words_allowed(mf, offset, data, length)) return -1;
    const kxcr_transport* t = chunk_transport_for(mf);
    if (!t) return -1;
    return t->write_chunk ? t->write_chunk(mf, offset, data, length)
                          : kwrite_chunk_as_multi_kwrite4(mf, offset, data, length);
}

int kread4_block(kfile* mf, unsigned int offset, u_int32_t* data, int byte_len) {
    return block(mf, offset, data, byte_len, kread_chunk);
}

int kwrite4_block(kfile* mf, unsigned int offset, u_int32_t* data, int byte_len) {
    return block(mf, offset, data, byte_len, kwrite_chunk);
}
