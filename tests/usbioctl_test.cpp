// The USB-I2C adapters against their simulated firmware: the kdt USB adapter
// (vendor requests) and the Dimax U2C adapter (bulk command and response
// under the I2C lock), request by request.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "kxcr_helpers.h"
#include "transport.h"
#include "usbioctl.h"

namespace {

using namespace kxcrtest;
using kxsim::Chip;
using kxsim::UsbFault;
using Log = std::vector<std::string>;

// What a request moved, and the bytes sent or received (the first 16).
std::string Moved(int rc, const void* data, int asked, bool in) {
    if (rc < 0) return std::string(" -> ") + strerrorname_np(errno);
    const int moved = in ? rc : asked;
    std::string text = " -> " + std::to_string(rc) + (moved ? ":" : "");
    char byte[4];
    for (int i = 0; i < std::min(moved, 16); ++i)
        text += (std::snprintf(byte, sizeof byte, " %02x", static_cast<const uint8_t*>(data)[i]), byte);
    return text + (moved > 16 ? " ..." : "");
}

// Stands between kxcr and the simulated driver and writes down each
// usbdevfs request and each lock taken or released, one line each:
// "control c0 f2 9000 0000 4 -> 4: ca fe f0 0d", "bulk 02 9 -> 9: 01 04 ...",
// "claim 0", "lock". Refused lock tries are only counted.
struct Recorder {
    static inline const kxcr_os_ops* inner;
    static inline Log log;
    static inline int refused_locks;
    static inline volatile sig_atomic_t in_exchange;  // from a Dimax command to its response
    static inline void (*after_command)();
    kxcr_os_ops ops;

    Recorder() : ops(*kxcr_os()) {
        inner = kxcr_os();
        log.clear(), refused_locks = in_exchange = 0, after_command = nullptr;
        ops.ioctl = Ioctl;
        ops.flock = [](int fd, int operation) {
            const int rc = inner->flock(fd, operation);
            if (rc != 0) ++refused_locks;
            else log.push_back(operation == LOCK_UN ? "unlock" : "lock");
            return rc;
        };
        kxcr_set_os(&ops);
    }
    ~Recorder() { kxcr_set_os(inner); }

    static int Ioctl(int fd, unsigned long request, void* arg) {
        const int rc = inner->ioctl(fd, request, arg);
        char line[64];
        if (request == USBDEVFS_CONTROL) {
            const auto& c = *static_cast<usbdevfs_ctrltransfer*>(arg);
            std::snprintf(line, sizeof line, "control %02x %02x %04x %04x %d", c.bRequestType, c.bRequest, c.wValue,
                          c.wIndex, c.wLength);
            log.push_back(line + Moved(rc, c.data, c.wLength, c.bRequestType & 0x80));
        } else if (request == USBDEVFS_BULK) {
            const auto& b = *static_cast<usbdevfs_bulktransfer*>(arg);
            std::snprintf(line, sizeof line, "bulk %02x %u", b.ep, b.len);
            log.push_back(line + Moved(rc, b.data, b.len, b.ep & 0x80));
            in_exchange = b.ep == 2 && rc > 0;
            if (in_exchange && after_command) after_command();
        } else {
            log.push_back(request == USBDEVFS_CLAIMINTERFACE ? "claim" : "release");
        }
        return rc;
    }
};

// The requests that carry a command or an address to the adapter.
Log Sent(const Log& log) {
    Log sent;
    for (const std::string& line : log)
        if (line.rfind("bulk 02", 0) == 0 || line.rfind("control 40", 0) == 0) sent.push_back(line);
    return sent;
}

long Read4(kfile* mf) { u_int32_t value; return kread4(mf, 0x10, &value); }

long Write4(kfile* mf) { return kwrite4(mf, 0x10, 0x11223344); }

// An open, or one call on a fresh handle, and every request it makes.
TEST(Usb, Conversations) {
    static I2C_TRANS tr;
    const char *dimax = kxsim::kDimaxName, *kdt = kxsim::kKxusbName;
    // A null call: the open alone.
    const struct Row { const char *what, *name; DType dtype; long (*call)(kfile*); long want; Log log; } rows[] = {
        {"open", dimax, KDT_ZORVAN, nullptr, 0,
         {"control 80 06 0100 0000 18 -> 18: 12 01 00 02 ff 00 00 40 bf 0a 70 33 00 01 00 00 ..."}},
        {"Dimax word read", dimax, KDT_ZORVAN, Read4, 4, {"lock", "claim",
         "bulk 02 9 -> 9: 01 04 90 00 00 00 10 91 04", "bulk 84 5 -> 5: ca fe f0 0d 00", "release", "unlock"}},
        {"Dimax word write, no address phase", dimax, KDT_NOADDR, Write4, 4,
         {"lock", "claim", "bulk 02 8 -> 8: 02 00 90 04 11 22 33 44", "bulk 84 1 -> 1: 00", "release", "unlock"}},
        {"kdt word read", kdt, KDT_ZORVAN, Read4, 4,
         {"control 40 f2 9000 0000 4 -> 4: 00 00 00 10", "control c0 f2 9000 0000 4 -> 4: ca fe f0 0d"}},
        {"kdt word write", kdt, KDT_ZORVAN, Write4, 4, {"control 40 f2 9000 0000 8 -> 8: 00 00 00 10 11 22 33 44"}},
        {"kdt word read, no address phase", kdt, KDT_NOADDR, Read4, 4, {"control c0 f2 9000 0000 4 -> 4: ca fe f0 0d"}},
        {"kdt I/O ports and debug text", kdt, KDT_ZORVAN, [](kfile* mf) {
             tr = I2C_TRANS{{}, {}, {}, 5, {1, 2, 3, 4, 5, 6, 7, 8}};
             return long{kdt_WriteIoPorts(mf->fd, &tr) + kdt_ReadIoPorts(mf->fd, &tr) + kdt_Debug(mf->fd, &tr)};
         }, 8 + 4 + 5,
         {"control 40 f1 0000 0000 8 -> 8: 01 02 03 04 05 06 07 08", "control c0 f1 0000 0000 4 -> 4: 01 02 03 04",
          "control c0 ff 0000 0000 5 -> 5: 6b 78 73 69 6d"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        for (uint32_t addr : {0x0, 0x10}) sim.chip->Poke(addr, 0xCAFEF00D);  // without address phase: from 0
        sim.chip->SetI2cSlave(0x48, row.dtype == KDT_NOADDR ? 0 : 4);
        Recorder recorder;
        Handle mf = OpenHandle(row.name, row.dtype);
        ASSERT_TRUE(mf);
        kset_i2c_slave(mf.get(), 0x48);
        if (row.call) Recorder::log.clear();
        EXPECT_EQ(row.call ? row.call(mf.get()) : 0, row.want);
        EXPECT_EQ(Recorder::log, row.log);
    }
}

// Adapters that answer wrong, at open and after. The kdt adapter tries a
// word again while it moves nothing; any other count than asked is EIO.
TEST(Usb, Failures) {
    const auto fault = [](UsbFault f) { return [f](Chip& c) { c.SetUsbFault(f); }; };
    // A null call: the open.
    const struct Row { const char *what, *name; std::function<void(Chip&)> knob; std::function<long(kfile*)> call;
        int err; size_t requests; } rows[] = {
        {"unknown adapter", kxsim::kUnknownUsbName, [](Chip&) {}, nullptr, ENOTTY, 1},
        {"short descriptor", kxsim::kKxusbName, fault(UsbFault::Short), nullptr, EIO, 1},
        {"descriptor timing out", kxsim::kDimaxName, fault(UsbFault::TimeOut), nullptr, ETIMEDOUT, 1},
        {"kdt silent", kxsim::kKxusbName, fault(UsbFault::Silent), Read4, EPIPE, 10},
        {"kdt slave not answering", kxsim::kKxusbName, [](Chip& c) { c.SetI2cAnswers(false); }, Read4, EPIPE, 10},
        {"kdt short", kxsim::kKxusbName, fault(UsbFault::Short), Read4, EIO, 1},
        {"kdt block moving nothing", kxsim::kKxusbName, fault(UsbFault::Silent), Transfer64(false, 8), EIO, 1},
        {"Dimax status", kxsim::kDimaxName, [](Chip& c) { c.SetDimaxStatus(3); }, Read4, EIO, 6},
        {"Dimax short", kxsim::kDimaxName, fault(UsbFault::Short), Transfer64(true, 8), EIO, 5},
        {"Dimax timing out", kxsim::kDimaxName, fault(UsbFault::TimeOut), Read4, EIO, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        Handle mf = row.call ? OpenHandle(row.name) : Handle(nullptr, kclose);
        row.knob(*sim.chip);
        Tracker tracker;
        Recorder recorder;
        EXPECT_EQ(Try([&] { return row.call ? row.call(mf.get()) : kopen(row.name) ? 0 : -1; }), Fails(row.err));
        EXPECT_EQ(Recorder::log.size(), row.requests) << testing::PrintToString(Recorder::log);
        EXPECT_EQ(Tracker::fds, 0);
    }
}

// The exchange's own results, below the word accesses, and the response
// alone as the adapter may send any bytes.
TEST(Usb, DimaxResults) {
    const struct Row { const char* what; void (*knob)(Chip&); int address_len, size; bool write; int want; } rows[] = {
        {"status 3", [](Chip& c) { c.SetDimaxStatus(3); }, 4, 4, true, 203},
        {"a byte short", [](Chip& c) { c.SetUsbFault(UsbFault::Short); }, 4, 4, false, EIO},
        {"interface taken", [](Chip&) {
             Tracker::fail_request = USBDEVFS_CLAIMINTERFACE, Tracker::fail_errno = EBUSY; }, 4, 4, false, EBUSY},
        {"255 bytes", [](Chip&) {}, 4, 255, false, 0},
        {"256 bytes", [](Chip&) {}, 4, 256, false, EINVAL},
        {"13-byte read command", [](Chip&) {}, 8, 4, false, EINVAL},
        {"81-byte write command", [](Chip&) {}, 4, 73, true, EINVAL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        Handle mf = OpenHandle(kxsim::kDimaxName);
        ASSERT_TRUE(mf);
        Tracker tracker;
        row.knob(*sim.chip);
        I2C_TRANS tr{0, 0x90, 0, row.address_len, {}};
        EXPECT_EQ(row.write ? dimax_WriteI2c(mf->fd, &tr, row.size) : dimax_ReadI2c(mf->fd, &tr, row.size), row.want);
    }
    const uint8_t response[256] = {0x00, 0x07};
    // Asked, moved, result.
    const int cases[][3] = {{2, 2, 207}, {256, 256, 0}, {1, 2, EIO}, {2, 0, EIO}, {257, 257, EINVAL}};
    for (const auto& [asked, moved, result] : cases) EXPECT_EQ(dimax_response(response, asked, moved), result);
}

// While a second process holds the Dimax adapter's lock, an exchange tries
// 500,000 times back to back and gives up without a request; the kdt
// adapter and a handle with the lock off go on.
TEST(Usb, LockHeldByAnotherProcess) {
    DriverChip sim;
    int held[2], release[2];
    ASSERT_EQ(pipe(held) | pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        close(release[1]);
        Handle mf = OpenHandle(kxsim::kDimaxName);
        char taken = mf && i2c_sem_wait(mf.get()) == 0;
        if (write(held[1], &taken, 1) == 1) (void)!read(release[0], &taken, 1);
        _exit(0);
    }
    close(held[1]), close(release[0]);
    char taken = 0;
    ASSERT_TRUE(read(held[0], &taken, 1) == 1 && taken);
    // setting "1": any setting but "0" keeps the lock on
    const struct Row { const char *name, *setting; simtest::Outcome want; int refused; } rows[] = {
        {kxsim::kDimaxName, "1", Fails(EWOULDBLOCK), 500000},
        {kxsim::kDimaxName, "0", {4, 0}, 0},
        {kxsim::kKxusbName, nullptr, {4, 0}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + std::string(row.setting ? row.setting : ""));
        row.setting ? setenv("KXCR_I2C_SEM", row.setting, 1) : unsetenv("KXCR_I2C_SEM");
        Handle mf = OpenHandle(row.name);
        Recorder recorder;
        EXPECT_EQ(Try([&] { return Read4(mf.get()); }), row.want);
        EXPECT_EQ(Recorder::refused_locks, row.refused);
        EXPECT_EQ(Recorder::log.empty(), row.refused > 0) << "no request when refused";
    }
    unsetenv("KXCR_I2C_SEM");
    close(release[1]);
    ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    Handle mf = OpenHandle(kxsim::kDimaxName);
    Recorder recorder;
    EXPECT_EQ(i2c_sem_wait(mf.get()), 0);
    EXPECT_EQ(i2c_sem_post(mf.get()), 0);
}

volatile sig_atomic_t delivered, cut;

// A signal sent between a Dimax command and its response waits for the end
// of the exchange, and the caller's own signal mask comes back.
TEST(Usb, SignalsWaitForTheEndOfAnExchange) {
    DriverChip sim;
    Handle mf = OpenHandle(kxsim::kDimaxName);
    struct sigaction action {}, previous;
    action.sa_handler = [](int) { ++delivered, cut += Recorder::in_exchange; };
    sigaction(SIGUSR1, &action, &previous);
    sigset_t usr2, before, after;
    sigemptyset(&usr2), sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, nullptr), pthread_sigmask(SIG_BLOCK, nullptr, &before);
    delivered = cut = 0;
    Recorder recorder;
    Recorder::after_command = [] { kill(getpid(), SIGUSR1); };
    for (int i = 0; i < 20; ++i) EXPECT_EQ(i % 2 ? Read4(mf.get()) : Write4(mf.get()), 4);
    pthread_sigmask(SIG_UNBLOCK, &usr2, &after);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(std::make_pair(int(delivered), int(cut)), std::make_pair(20, 0));
    for (int sig = 1; sig < SIGRTMAX; ++sig) EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
}

// Block chunks hold host-order words, each most significant byte first on
// the wire. A Dimax exchange reads at most 252 bytes and writes 64; the
// caller's words stay as they were.
TEST(Usb, BlockChunks) {
    const struct Row { const char* name; int chunk; Log reads; size_t writes; } rows[] = {
        {kxsim::kDimaxName, 256,
         {"bulk 02 9 -> 9: 01 04 90 00 00 05 00 91 fc", "bulk 02 9 -> 9: 01 04 90 00 00 05 fc 91 04"}, 4},
        {kxsim::kKxusbName, 64, {"control 40 f2 9000 0000 4 -> 4: 00 00 05 00"}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        const kxcr_transport* t = transport_for(mf.get());
        ASSERT_EQ(t->chunk_size, row.chunk);
        std::vector<uint32_t> words(row.chunk / 4), read(row.chunk / 4);
        for (size_t i = 0; i < words.size(); ++i) words[i] = 0x01020304u * (i + 1);
        const std::vector<uint32_t> written = words;
        Recorder recorder;
        EXPECT_EQ(t->write_chunk(mf.get(), 0x500, words.data(), row.chunk), row.chunk);
        EXPECT_EQ(words, written);
        EXPECT_EQ(Sent(Recorder::log).size(), row.writes);
        EXPECT_EQ(sim.chip->Peek(0x500 + row.chunk - 4), written.back());
        Recorder::log.clear();
        EXPECT_EQ(t->read_chunk(mf.get(), 0x500, read.data(), row.chunk), row.chunk);
        EXPECT_EQ(read, written);
        EXPECT_EQ(Sent(Recorder::log), row.reads);
    }
}

}  // namespace
