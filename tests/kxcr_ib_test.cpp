// InfiniBand handles against the libibmad test double, which answers from a
// simulated chip and logs each call it receives with the bytes of its data
// area. Every failure of the transport ends the process with 255: those rows
// are death tests.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>

#include "kxcr_ib.h"
#include "kxcr_os.h"
#include "sim_helpers.h"

namespace {

using Lines = std::vector<std::string>;

// The loader as kxcr reaches it: libibmad's names lead to the double, bound
// lazily; the names and functions in `missing` cannot be loaded.
struct Loader {
    static inline const kxcr_os_ops* inner;
    static inline std::set<std::string> missing;
    static inline std::string error;
    kxcr_os_ops ops;

    Loader() : ops(*kxcr_os()) {
        inner = kxcr_os();
        ops.dlopen = [](const char* file, int mode) -> void* {
            if (missing.count(file) || mode != RTLD_LAZY) return error = std::string(file) + ": not here", nullptr;
            return inner->dlopen((IBMAD_DOUBLE_DIR "/" + std::string(file)).c_str(), mode);
        };
        ops.dlsym = [](void* handle, const char* name) -> void* {
            if (missing.count(name)) return error = std::string("undefined symbol: ") + name, nullptr;
            return inner->dlsym(handle, name);
        };
        ops.dlerror = []() -> char* { return error.data(); };
        kxcr_set_os(&ops);
    }
    ~Loader() { kxcr_set_os(inner), missing.clear(); }
};

class Ib : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(chip_);
        setenv("KXSIM_IBMAD_IMAGE", dir_.image().c_str(), 1);
        setenv("KXSIM_IBMAD_LOG", log_.c_str(), 1);
    }
    void TearDown() override {
        for (const char* name : {"KXSIM_IBMAD_IMAGE", "KXSIM_IBMAD_LOG", "KXSIM_IBMAD_FAULT"}) unsetenv(name);
    }
    // The calls the double received since the last look.
    Lines Calls() const {
        Lines lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        std::ofstream truncate(log_);
        return lines;
    }

    simtest::ChipDir dir_;
    std::unique_ptr<kxsim::Chip> chip_ = dir_.Open(kxsim::Family::Zorvan, "");
    std::string log_ = dir_.Write("calls.log", "");
    Loader loader_;
};

// A datagram to LID 5 as the double logs it.
std::string Mad(int mgmt_class, int method, const char* attr_mod, const char* data) {
    return "vendor_call lid 5 class " + std::to_string(mgmt_class) + " method " + std::to_string(method) +
           " attr " + attr_mod + " oui 1405 timeout 0 rmpp 0 data " + data;
}

const char kZeros[] = "00000000 00000000 00000000 00000000";
u_int32_t scratch[2];  // what the fatal rows read

// The destination picks the CA and port; without "libibmad.so" the
// versioned name loads; a word is one datagram each way.
TEST_F(Ib, OpenAccessClose) {
    struct Row { const char* name; std::set<std::string> missing; std::string init, resolve; } rows[] = {
        {"lid-5", {}, "madrpc_init (null) 0 classes 1 81 3", "resolve 5 dest 0 sm (null)"},
        {"lid-5,ca0,2", {"libibmad.so"}, "madrpc_init ca0 2 classes 1 81 3", "resolve 5 dest 0 sm (null)"},
        {"lid-0x5,ca1", {}, "madrpc_init ca1 0 classes 1 81 3", "resolve 0x5 dest 0 sm (null)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Loader::missing = row.missing;
        kfile* mf = kopen(row.name);
        ASSERT_TRUE(mf && mf->tp == KDT_IB);
        EXPECT_EQ(Calls(), (Lines{row.init, "register_client 10 rmpp 0", "register_client 9 rmpp 0", row.resolve}));

        u_int32_t value = 0;
        EXPECT_EQ(kread4(mf, 0x302, &value), -1);
        EXPECT_EQ(kwrite4(mf, 0x00123458, 0xCAFE0001), 4);
        EXPECT_EQ(chip_->Peek(0x00123458), 0xCAFE0001u);
        chip_->Poke(0x00123458, 0x12345678);
        EXPECT_EQ(kread4(mf, 0x00123458, &value), 4);
        EXPECT_EQ(value, 0x12345678u);
        EXPECT_EQ(Calls(), (Lines{Mad(9, 2, "50 mod 12013458", "00000000 00000000 cafe0001 ffffffff"),
                                  Mad(9, 1, "50 mod 12013458", kZeros)}));
        EXPECT_EQ(kclose(mf), 0);
    }
}

// 64-byte transfers reach the I2C device the handle names; a reset is one
// datagram; CR accesses the datagram cannot carry are not sent.
TEST_F(Ib, I2cResetAndLimits) {
    kfile* mf = kopen("lid-5");
    ASSERT_TRUE(mf);
    auto* h = static_cast<ibvs_mad*>(mf->ptr);
    kset_i2c_slave(mf, 0x48);
    uint8_t out[8] = {0, 1, 2, 3, 4, 5, 6, 7}, in[8] = {};
    u_int32_t word = 0;
    Calls();  // the open's
    EXPECT_EQ(kwrite64(mf, 0x500, out, 8), 8);
    EXPECT_EQ(chip_->Peek(0x504), 0x04050607u);
    EXPECT_EQ(kread64(mf, 0x500, in, 8), 8);
    EXPECT_EQ(memcmp(in, out, 8), 0);
    EXPECT_EQ(ksw_reset(mf), 0);
    EXPECT_EQ(ibvsmad_craccess_rw(h, 0x10, IB_MAD_METHOD_GET, 18, &word), 0);
    EXPECT_EQ(ibvsmad_craccess_rw(h, 0x1000000, IB_MAD_METHOD_GET, 1, &word), -1);
    EXPECT_EQ(ibvsmad_craccess_rw(h, 0x10, IB_MAD_METHOD_SET, 1, nullptr), -1);
    setenv("KXSIM_IBMAD_FAULT", "no-reply", 1);
    EXPECT_EQ(simtest::Try([&] { return ksw_reset(mf); }), simtest::Fails(EIO));
    EXPECT_EQ(Calls(), (Lines{Mad(10, 2, "13 mod 00000002", "00000000 00000000 00000008 00000048 00000500 00010203 04050607"),
                              Mad(10, 1, "13 mod 00000002", "00000000 00000000 00000008 00000048 00000500"),
                              Mad(10, 2, "12 mod 00000000", kZeros), Mad(9, 1, "50 mod 00120010", kZeros),
                              Mad(10, 2, "12 mod 00000000", kZeros)}));
    EXPECT_EQ(kclose(mf), 0);
}

// Standard output of each fatal error, exactly (a process id written #).
TEST_F(Ib, FatalErrors) {
    using Access = void (*)(kfile*);
    // A run that opens "lid-5" and accesses the handle.
    const auto with = [](Access access) { return [access] { access(kopen("lid-5")); }; };
    const auto just_open = [](const char* name) { return [name] { kopen(name); }; };
    const std::string failed = "iberror: failed: ";
    struct Row { const char* fault; std::set<std::string> missing; std::function<void()> run; std::string out;
    } rows[] = {
        {"", {}, just_open("lid-5,ca0,2x"), failed + "Bad port number format (2x)\n"},
        {"", {"libibmad.so", "libibmad.so.5"}, just_open("lid-5"),
         failed + "libibmad.so: not here; libibmad.so.5: not here\n"},
        {"", {"ib_vendor_call"}, just_open("lid-5"), failed + "undefined symbol: ib_vendor_call\n"},
        {"no-class-9", {}, just_open("lid-5"), failed + "can't register vsmad class 9 on this port\n"},
        {"unknown-destination", {}, just_open("lid-5,ca0"), failed + "can't resolve destination port 5\n"},
        {"no-reply", {}, with([](kfile* f) { kread4(f, 0x10, scratch); }), failed + "cr access read to Lid 5 failed\n"},
        {"no-reply", {}, with([](kfile* f) { kwrite4(f, 0x10, 1); }), failed + "cr access write to Lid 5 failed\n"},
        {"no-reply", {}, with([](kfile* f) { kread64(f, 0x10, scratch, 4); }), failed + "i2c_read to Lid 5 failed\n"},
        {"", {}, with([](kfile* f) { kread64(f, 0x10, scratch, 6); }), failed + "Size must be 4 aligned, got 6\n\n"},
        {"", {}, with([](kfile* f) {
             ibvsmad_craccess_rw(static_cast<ibvs_mad*>(f->ptr), 0x10, IB_MAD_METHOD_GET, 19, scratch);
         }), failed + "size is too big, maximum num of dwords is 0x12\n"},
        {"no-reply", {}, with([](kfile* f) { ibvsmad::verbose = 1, kread4(f, 0x10, scratch); }),
         "ibwarning: [pid #] kib_read4: failed: kread4 of 0x00000010\n\n"
         "ibvsmad: ibwarning: [pid #] ibvsmad_craccess_rw: failed: attrmod = 00010010\n\n"
         "ibvsmad: ibwarning: [pid #] ibvsmad_craccess_rw: failed: memory_address = 0x00000010\n\n"
         "ibvsmad: iberror: [pid #] kib_read4: failed: cr access read to Lid 5 failed\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.out);
        setenv("KXSIM_IBMAD_FAULT", row.fault, 1);
        Loader::missing = row.missing;
        std::string pattern = "^ibvsmad: ";
        for (char c : row.out) {
            if (c == '#') pattern += "[0-9]+";
            else if (std::strchr("[]().*+?^$|\\{}", c)) pattern += std::string("\\") + c;
            else pattern += c;
        }
        // The death test sees standard error only.
        EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), row.run()), testing::ExitedWithCode(255), pattern + "$");
    }
}

}  // namespace
