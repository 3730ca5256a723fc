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
using kxsim::UsbFault;
using Log = std::vector<std::string>;

std::string Hex(const void* data, int length) {
    std::string text;
    char byte[4];
    for (int i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, " %02x", static_cast<const uint8_t*>(data)[i]);
        text += byte;
    }
    return text;
}

// What a request gave: the bytes moved and, when any, the bytes themselves
// (what was sent, or what came back); long transfers show their first 16.
std::string Moved(int rc, const void* data, int asked, bool in) {
    if (rc < 0) return std::string(" -> ") + strerrorname_np(errno);
    const int bytes = in ? rc : asked;
    const int shown = std::min(bytes, 16);
    return " -> " + std::to_string(rc) + (shown ? ":" : "") + Hex(data, shown) + (shown < bytes ? " ..." : "");
}

// Stands between kxcr and the simulated driver and writes down each
// usbdevfs request and each lock taken or released, one line each:
// "control c0 f2 9000 0000 4 -> 4: ca fe f0 0d", "bulk 02 9 -> 9: 01 04 ...",
// "claim 0", "lock", "unlock". Refused lock tries are only counted.
struct Recorder {
    static inline const kxcr_os_ops* inner;
    static inline Log log;
    static inline int refused_locks;
    // Set from a Dimax command sent until its response has come.
    static inline volatile sig_atomic_t in_exchange;
    // Called once a Dimax command has gone out.
    static inline void (*after_command)();
    kxcr_os_ops ops;

    Recorder() : ops(*kxcr_os()) {
        inner = kxcr_os();
        log.clear();
        refused_locks = 0;
        in_exchange = 0;
        after_command = nullptr;
        ops.ioctl = Ioctl;
        ops.flock = [](int fd, int operation) {
            const int rc = inner->flock(fd, operation);
            if (rc != 0 && operation != LOCK_UN) ++refused_locks;
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
            const bool claim = request == USBDEVFS_CLAIMINTERFACE;
            log.push_back((claim ? "claim " : "release ") + std::to_string(*static_cast<unsigned*>(arg)) +
                          (rc < 0 ? std::string(" -> ") + strerrorname_np(errno) : ""));
        }
        return rc;
    }
};

// "KXCR_I2C_SEM" for the life of the object; null unsets it.
struct LockSetting {
    explicit LockSetting(const char* value) {
        if (value) setenv("KXCR_I2C_SEM", value, 1);
        else unsetenv("KXCR_I2C_SEM");
    }
    ~LockSetting() { unsetenv("KXCR_I2C_SEM"); }
};

// The requests that carry a command or an address to the adapter.
Log Sent(const Log& log) {
    Log sent;
    for (const std::string& line : log) {
        if (line.rfind("bulk 02", 0) == 0 || line.rfind("control 40", 0) == 0) sent.push_back(line);
    }
    return sent;
}

const Log kDimaxRead4 = {"lock",
                         "claim 0",
                         "bulk 02 9 -> 9: 01 04 90 00 00 00 10 91 04",
                         "bulk 84 5 -> 5: ca fe f0 0d 00",
                         "release 0",
                         "unlock"};

TEST(Usb, OpenAccessClose) {
    // The lock flag is the handle's pointer; with the lock off it is null as
    // the lifecycle expects of a handle without a window.
    LockSetting off("0");
    OpenAccessClose(
        {Family::Zorvan, kxsim::kKxusbName, KDT_ZORVAN, KDT_USB, KDT_ZORVAN, 0x48, KDEVS_I2CM, Path::kBus});
    OpenAccessClose(
        {Family::Zorvan, kxsim::kDimaxName, KDT_ZORVAN, KDT_USB_DIMAX, KDT_ZORVAN, 0x48, KDEVS_I2CM, Path::kBus});
    WriteAndReadBack64(kxsim::kKxusbName);
    WriteAndReadBack64(kxsim::kDimaxName);
}

TEST(Usb, FailedOpens) {
    const struct Row {
        const char* name;
        UsbFault fault;
        int err;
    } rows[] = {
        {kxsim::kUnknownUsbName, UsbFault::None, ENOTTY},
        {kxsim::kKxusbName, UsbFault::Short, EIO},  // 17 bytes of descriptor
        {kxsim::kDimaxName, UsbFault::TimeOut, ETIMEDOUT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DriverChip sim;
        sim.chip->SetUsbFault(row.fault);
        Tracker tracker;
        Recorder recorder;
        EXPECT_EQ(Try([&] { return kopen(row.name); }), Fails(row.err));
        EXPECT_EQ(Tracker::fds, 0);
        EXPECT_EQ(Recorder::log.size(), 1u);
    }
    DriverChip sim;
    Recorder recorder;
    Handle mf = OpenHandle(kxsim::kDimaxName);
    EXPECT_EQ(Recorder::log,
              Log{"control 80 06 0100 0000 18 -> 18: 12 01 00 02 ff 00 00 40 bf 0a 70 33 00 01 00 00 ..."});
}

// Each call, alone on a fresh handle, and the requests it makes.
TEST(Usb, Conversations) {
    static I2C_TRANS tr;
    const struct Row {
        const char* what;
        const char* name;
        DType dtype;
        std::function<long(kfile*)> call;
        long want;
        Log log;
    } rows[] = {
        {"Dimax word read", kxsim::kDimaxName, KDT_ZORVAN,
         [](kfile* mf) {
             u_int32_t v = 0;
             return kread4(mf, 0x10, &v) == 4 ? v : -1;
         },
         0xCAFEF00D, kDimaxRead4},
        {"Dimax word write without address phase", kxsim::kDimaxName, KDT_NOADDR,
         [](kfile* mf) { return kwrite4(mf, 0x10, 0x11223344); }, 4,
         {"lock", "claim 0", "bulk 02 8 -> 8: 02 00 90 04 11 22 33 44", "bulk 84 1 -> 1: 00", "release 0",
          "unlock"}},
        {"kdt word read", kxsim::kKxusbName, KDT_ZORVAN,
         [](kfile* mf) {
             u_int32_t v = 0;
             return kread4(mf, 0x10, &v) == 4 ? v : -1;
         },
         0xCAFEF00D, {"control 40 f2 9000 0000 4 -> 4: 00 00 00 10", "control c0 f2 9000 0000 4 -> 4: ca fe f0 0d"}},
        {"kdt word write", kxsim::kKxusbName, KDT_ZORVAN, [](kfile* mf) { return kwrite4(mf, 0x10, 0x11223344); },
         4, {"control 40 f2 9000 0000 8 -> 8: 00 00 00 10 11 22 33 44"}},
        {"kdt read without address phase", kxsim::kKxusbName, KDT_NOADDR,
         [](kfile* mf) {
             uint8_t bytes[2];
             return kread64(mf, 0, bytes, 2);
         },
         2, {"control c0 f2 9000 0000 2 -> 2: ca fe"}},
        {"kdt I/O ports and debug text", kxsim::kKxusbName, KDT_ZORVAN,
         [](kfile* mf) {
             tr = I2C_TRANS{};
             for (int i = 0; i < 8; ++i) tr.Data[i] = static_cast<uint8_t>(i + 1);
             tr.wCount = 5;
             return kdt_WriteIoPorts(mf->fd, &tr) + kdt_ReadIoPorts(mf->fd, &tr) + kdt_Debug(mf->fd, &tr);
         },
         17,
         {"control 40 f1 0000 0000 8 -> 8: 01 02 03 04 05 06 07 08", "control c0 f1 0000 0000 4 -> 4: 01 02 03 04",
          "control c0 ff 0000 0000 5 -> 5: 6b 78 73 69 6d"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        // Without address phase the slave starts at address 0.
        sim.chip->Poke(0x0, 0xCAFEF00D);
        sim.chip->Poke(0x10, 0xCAFEF00D);
        Handle mf = OpenHandle(row.name, row.dtype);
        ASSERT_TRUE(mf);
        if (row.dtype == KDT_NOADDR) {
            kset_i2c_slave(mf.get(), 0x48);
            sim.chip->SetI2cSlave(0x48, 0);
        }
        Recorder recorder;
        EXPECT_EQ(row.call(mf.get()), row.want);
        EXPECT_EQ(Recorder::log, row.log);
    }
    EXPECT_EQ(tr.Data[0], 'k');
}

std::function<long(kfile*)> Read4() {
    return [](kfile* mf) {
        u_int32_t v;
        return kread4(mf, 0x10, &v);
    };
}

std::function<long(kfile*)> Write4() {
    return [](kfile* mf) { return kwrite4(mf, 0x10, 1); };
}

// Adapters that answer wrong. The kdt adapter tries a word again while it
// moves nothing; any count that is not the one asked is EIO.
TEST(Usb, Failures) {
    const struct Row {
        const char* what;
        const char* name;
        void (*knob)(kxsim::Chip&);
        std::function<long(kfile*)> call;
        int err;
        size_t requests;
    } rows[] = {
        {"kdt silent", kxsim::kKxusbName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::Silent); }, Read4(), EPIPE, 10},
        {"kdt timing out", kxsim::kKxusbName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::TimeOut); }, Write4(),
         EPIPE, 10},
        {"kdt slave not answering", kxsim::kKxusbName, [](kxsim::Chip& c) { c.SetI2cAnswers(false); }, Read4(), EPIPE,
         10},
        {"kdt short read", kxsim::kKxusbName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::Short); }, Read4(), EIO, 1},
        {"kdt short write", kxsim::kKxusbName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::Short); }, Write4(), EIO,
         1},
        {"kdt block read moving nothing", kxsim::kKxusbName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::Silent); },
         Transfer64(false, 8), EIO, 1},
        {"kdt block write timing out", kxsim::kKxusbName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::TimeOut); },
         Transfer64(true, 8), ETIMEDOUT, 1},
        {"Dimax status", kxsim::kDimaxName, [](kxsim::Chip& c) { c.SetDimaxStatus(3); }, Read4(), EIO, 6},
        {"Dimax slave not answering", kxsim::kDimaxName, [](kxsim::Chip& c) { c.SetI2cAnswers(false); }, Write4(),
         EIO, 6},
        {"Dimax short", kxsim::kDimaxName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::Short); }, Read4(), EIO, 5},
        {"Dimax silent", kxsim::kDimaxName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::Silent); }, Transfer64(true, 8),
         EIO, 5},
        {"Dimax timing out", kxsim::kDimaxName, [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::TimeOut); },
         Transfer64(false, 8), EIO, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        row.knob(*sim.chip);
        Recorder recorder;
        EXPECT_EQ(Try([&] { return row.call(mf.get()); }), Fails(row.err));
        EXPECT_EQ(Recorder::log.size(), row.requests) << testing::PrintToString(Recorder::log);
    }
}

// The exchange's own results, below the word accesses.
TEST(Usb, DimaxResults) {
    const struct Row {
        const char* what;
        void (*knob)(kxsim::Chip&);
        unsigned long fail_request;
        int address_len;
        int size;
        bool write;
        int want;
    } rows[] = {
        {"status 3", [](kxsim::Chip& c) { c.SetDimaxStatus(3); }, 0, 4, 4, false, 203},
        {"status 255", [](kxsim::Chip& c) { c.SetDimaxStatus(255); }, 0, 4, 4, true, 455},
        {"a byte short", [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::Short); }, 0, 4, 4, false, EIO},
        {"timing out", [](kxsim::Chip& c) { c.SetUsbFault(UsbFault::TimeOut); }, 0, 4, 4, true, ETIMEDOUT},
        {"interface taken", [](kxsim::Chip&) {}, USBDEVFS_CLAIMINTERFACE, 4, 4, false, EBUSY},
        {"255 bytes", [](kxsim::Chip&) {}, 0, 4, 255, false, 0},
        {"256 bytes", [](kxsim::Chip&) {}, 0, 4, 256, false, EINVAL},
        {"12-byte read command", [](kxsim::Chip&) {}, 0, 7, 4, false, 0},
        {"13-byte read command", [](kxsim::Chip&) {}, 0, 8, 4, false, EINVAL},
        {"80-byte write command", [](kxsim::Chip&) {}, 0, 4, 72, true, 0},
        {"81-byte write command", [](kxsim::Chip&) {}, 0, 4, 73, true, EINVAL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        sim.chip->SetI2cSlave(0x48, row.address_len);
        Handle mf = OpenHandle(kxsim::kDimaxName);
        ASSERT_TRUE(mf);
        row.knob(*sim.chip);
        Tracker tracker;
        Tracker::fail_request = row.fail_request;
        Tracker::fail_errno = EBUSY;
        I2C_TRANS tr{};
        tr.bySlvDevAddr = 0x90;
        tr.wCount = row.address_len;
        EXPECT_EQ(row.write ? dimax_WriteI2c(mf->fd, &tr, row.size) : dimax_ReadI2c(mf->fd, &tr, row.size),
                  row.want);
    }
    // The response alone, as the adapter may send any bytes: only the
    // count and the last byte asked matter.
    const uint8_t response[256] = {0x00, 0x07};
    EXPECT_EQ(dimax_response(response, 2, 2), 207);
    EXPECT_EQ(dimax_response(response, 1, 1), 0);
    EXPECT_EQ(dimax_response(response, 1, 2), EIO);
    EXPECT_EQ(dimax_response(response, 2, 0), EIO);
    EXPECT_EQ(dimax_response(response, 256, 256), 0);
    EXPECT_EQ(dimax_response(response, 0, 0), EINVAL);
    EXPECT_EQ(dimax_response(response, 257, 257), EINVAL);
}

// A second process holds the Dimax adapter's lock: an exchange waits for it
// 500,000 tries and then gives up without a request; the kdt adapter and a
// handle with the lock off go on.
TEST(Usb, LockHeldByAnotherProcess) {
    DriverChip sim;
    int held[2], release[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        close(held[0]);
        close(release[1]);
        Handle mf = OpenHandle(kxsim::kDimaxName);
        const char taken = mf && i2c_sem_wait(mf.get()) == 0;
        char ignored;
        if (write(held[1], &taken, 1) == 1) (void)!read(release[0], &ignored, 1);
        _exit(0);
    }
    close(held[1]);
    close(release[0]);
    char taken = 0;
    ASSERT_EQ(read(held[0], &taken, 1), 1);
    ASSERT_TRUE(taken);
    {
        // Any setting but "0" keeps the lock on.
        LockSetting on("1");
        Handle mf = OpenHandle(kxsim::kDimaxName);
        EXPECT_EQ(i2c_sem_wait(mf.get()), -2);
    }
    const struct Row {
        const char* what;
        const char* name;
        const char* setting;
        simtest::Outcome want;
        int refused;
    } rows[] = {
        {"Dimax", kxsim::kDimaxName, nullptr, Fails(EWOULDBLOCK), 500000},
        {"Dimax, lock off", kxsim::kDimaxName, "0", {4, 0}, 0},
        {"kdt", kxsim::kKxusbName, nullptr, {4, 0}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LockSetting setting(row.setting);
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        Recorder recorder;
        EXPECT_EQ(Try([&] { return Read4()(mf.get()); }), row.want);
        EXPECT_EQ(Recorder::refused_locks, row.refused);
        if (row.refused) {
            EXPECT_EQ(Recorder::log, Log{});
        }
    }
    close(release[1]);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    Handle mf = OpenHandle(kxsim::kDimaxName);
    sim.chip->Poke(0x10, 0xCAFEF00D);
    Recorder recorder;
    EXPECT_EQ(Read4()(mf.get()), 4);
    EXPECT_EQ(Recorder::log, kDimaxRead4);
}

volatile sig_atomic_t delivered, cut;

// A signal sent between a Dimax command and its response is held back until
// the exchange ends, and the caller's own signal mask comes back.
TEST(Usb, SignalsWaitForTheEndOfAnExchange) {
    DriverChip sim;
    Handle mf = OpenHandle(kxsim::kDimaxName);
    ASSERT_TRUE(mf);
    struct sigaction action {}, previous_action;
    action.sa_handler = [](int) {
        ++delivered;
        cut += Recorder::in_exchange;
    };
    sigaction(SIGUSR1, &action, &previous_action);
    sigset_t blocked, before, after;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    pthread_sigmask(SIG_BLOCK, nullptr, &before);
    delivered = cut = 0;
    Recorder recorder;
    Recorder::after_command = [] {
        kill(getpid(), SIGUSR1);
        sigset_t now;
        sigpending(&now);
        EXPECT_TRUE(sigismember(&now, SIGUSR1)) << "held back";
    };
    constexpr int kExchanges = 20;
    for (int i = 0; i < kExchanges; ++i) {
        EXPECT_EQ(i % 2 ? Read4()(mf.get()) : Write4()(mf.get()), 4);
    }
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    EXPECT_EQ(delivered, kExchanges);
    EXPECT_EQ(cut, 0);
    EXPECT_EQ(sigismember(&after, SIGUSR2), 1);
    for (int sig = 1; sig < SIGRTMAX; ++sig) EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
    sigaction(SIGUSR1, &previous_action, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
}

// Block chunks: host-order words, each most significant byte first on the
// wire. A Dimax read carries at most 252 of them per exchange, a write 64;
// the caller's words are left as they were.
TEST(Usb, BlockChunks) {
    const struct Row {
        const char* name;
        int chunk;
        Log reads;
        size_t writes;
    } rows[] = {
        {kxsim::kDimaxName, 256,
         {"bulk 02 9 -> 9: 01 04 90 00 00 05 00 91 fc", "bulk 02 9 -> 9: 01 04 90 00 00 05 fc 91 04"}, 4},
        {kxsim::kKxusbName, 64, {"control 40 f2 9000 0000 4 -> 4: 00 00 05 00"}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        const kxcr_transport* t = transport_for(mf.get());
        ASSERT_TRUE(t);
        EXPECT_EQ(t->chunk_size, row.chunk);
        std::vector<uint32_t> words(row.chunk / 4);
        for (size_t i = 0; i < words.size(); ++i) words[i] = 0x01020304u * (i + 1);
        const std::vector<uint32_t> written = words;
        Recorder recorder;
        EXPECT_EQ(t->write_chunk(mf.get(), 0x500, words.data(), row.chunk), row.chunk);
        EXPECT_EQ(words, written);
        EXPECT_EQ(Sent(Recorder::log).size(), row.writes);
        for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(sim.chip->Peek(0x500 + 4 * i), written[i]) << i;

        std::vector<uint32_t> read(words.size());
        Recorder::log.clear();
        EXPECT_EQ(t->read_chunk(mf.get(), 0x500, read.data(), row.chunk), row.chunk);
        EXPECT_EQ(read, written);
        EXPECT_EQ(Sent(Recorder::log), row.reads);
    }
}

}  // namespace
