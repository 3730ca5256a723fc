// The I2C lock: processes sharing a Dimax adapter take an advisory lock on
// its device file around each exchange, so that none reads the response to
// another's command.
#include <sys/file.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kxcr.h"
#include "kxcr_os.h"

namespace {

// Tries made back to back before giving up: a holder keeps the lock for one
// exchange only.
constexpr int kLockTries = 500000;

// The handle's lock flag is its pointer: any non-null value means on.
char lock_on;

template <class Exchange>
int under_lock(kfile* mf, Exchange exchange) {
    const int taken = i2c_sem_wait(mf);
    if (taken != 0) return taken;
    const int result = exchange();
    const int saved = errno;
    const int released = i2c_sem_post(mf);
    if (result == 0) return released;
    errno = saved;
    return result;
}

}  // namespace

int i2c_sem_open(kfile* mf, const char*) {
    const char* setting = std::getenv("KXCR_I2C_SEM");
    mf->ptr = setting && std::strcmp(setting, "0") == 0 ? nullptr : &lock_on;
    return 0;
}

int i2c_sem_close(kfile*) { return 0; }

int i2c_sem_wait(kfile* mf) {
    if (!mf->ptr) return 0;
    for (int i = 0; i < kLockTries; ++i) {
        if (kxcr_os()->flock(mf->fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK) return -1;
    }
    return -2;
}

int i2c_sem_post(kfile* mf) {
    if (!mf->ptr) return 0;
    return kxcr_os()->flock(mf->fd, LOCK_UN) == 0 ? 0 : -1;
}

int dimax_ReadI2c_sem(kfile* mf, int fd, PI2C_TRANS tr, int size) {
    return under_lock(mf, [&] { return dimax_ReadI2c(fd, tr, size); });
}

int dimax_WriteI2c_sem(kfile* mf, int fd, PI2C_TRANS tr, int size) {
    return under_lock(mf, [&] { return dimax_WriteI2c(fd, tr, size); });
}
