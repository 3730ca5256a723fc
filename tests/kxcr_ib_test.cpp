// InfiniBand: handles on "lid-" names against the libibmad test double,
// which answers from a simulated chip and logs every call it receives with
// the bytes of its data area. Every failure of the transport ends the
// process with 255, so those rows are death tests.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <set>
#include <sstream>

#include "kxcr_ib.h"
#include "kxcr_os.h"
#include "sim_helpers.h"

namespace {

using simtest::Fails;
using simtest::Try;
using Lines = std::vector<std::string>;

// The library loader as kxcr reaches it: the double found by its names, a
// name or a function that cannot be loaded on request, and what was asked.
struct Loader {
    static inline const kxcr_os_ops* inner;
    static inline std::set<std::string> missing;  // library names and functions
    static inline Lines asked;                    // "name mode" and function names
    static inline std::string error;
    kxcr_os_ops ops;

    Loader() : ops(*kxcr_os()) {
        inner = kxcr_os();
        missing.clear();
        asked.clear();
        ops.dlopen = [](const char* file, int mode) -> void* {
            asked.push_back(std::string(file) + (mode == RTLD_LAZY ? " lazy" : " now"));
            if (missing.count(file)) return error = std::string(file) + ": not here", nullptr;
            return inner->dlopen((std::string(IBMAD_DOUBLE_DIR "/") + file).c_str(), mode);
        };
        ops.dlsym = [](void* handle, const char* name) -> void* {
            asked.push_back(name);
            if (missing.count(name)) return error = std::string("undefined symbol: ") + name, nullptr;
            return inner->dlsym(handle, name);
        };
        ops.dlerror = []() -> char* { return error.data(); };
        kxcr_set_os(&ops);
    }
    ~Loader() { kxcr_set_os(inner); }
};

// A simulated chip (no gateways) the double answers from, with its call log.
class Ib : public testing::Test {
protected:
    void SetUp() override {
        chip_ = dir_.Open(kxsim::Family::Zorvan, "");
        ASSERT_TRUE(chip_);
        setenv("KXSIM_IBMAD_IMAGE", dir_.image().c_str(), 1);
        setenv("KXSIM_IBMAD_LOG", log_.c_str(), 1);
        unsetenv("KXSIM_IBMAD_DB");
        unsetenv("KXSIM_IBMAD_FAULT");
        ibvsmad::verbose = 0;
    }
    void TearDown() override {
        for (const char* name : {"KXSIM_IBMAD_IMAGE", "KXSIM_IBMAD_LOG", "KXSIM_IBMAD_FAULT"})
            unsetenv(name);
        ibvsmad::verbose = 0;
    }
    // The calls the double received since the last look.
    Lines Calls() {
        Lines lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        std::ofstream truncate(log_);
        return lines;
    }

    simtest::ChipDir dir_;
    std::string log_ = dir_.Write("calls.log", "");
    std::unique_ptr<kxsim::Chip> chip_;
    Loader loader_;
};

std::string Cr(int method, const char* mod, const char* data) {
    return std::string("vendor_call lid 5 class 9 method ") + std::to_string(method) + " attr 50 mod " + mod +
           " oui 1405 timeout 0 rmpp 0 data " + data;
}

std::string Class10(int method, const char* attr_mod, const char* data) {
    return std::string("vendor_call lid 5 class 10 method ") + std::to_string(method) + " attr " + attr_mod +
           " oui 1405 timeout 0 rmpp 0 data " + data;
}

const char kZeroCr[] = "00000000 00000000 00000000 00000000";

// The destination picks the CA and port; the five functions are looked up
// in order from the first name that loads; a word is one datagram each way.
TEST_F(Ib, OpenAccessClose) {
    const Lines registration = {"register_client 10 rmpp 0", "register_client 9 rmpp 0"};
    struct Row {
        const char* name;
        std::string init;
        std::string resolve;
    } rows[] = {
        {"lid-5", "madrpc_init (null) 0 classes 1 81 3", "resolve 5 dest 0 sm (null)"},
        {"lid-5,ca0,2", "madrpc_init ca0 2 classes 1 81 3", "resolve 5 dest 0 sm (null)"},
        {"lid-0x5,ca1", "madrpc_init ca1 0 classes 1 81 3", "resolve 0x5 dest 0 sm (null)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        kfile* mf = kopen(row.name);
        ASSERT_TRUE(mf) << strerror(errno);
        EXPECT_EQ(mf->tp, KDT_IB);
        EXPECT_EQ(mf->sock, -1);
        EXPECT_EQ(Calls(), (Lines{row.init, registration[0], registration[1], row.resolve}));

        u_int32_t value = 0xAAAA;
        EXPECT_EQ(Try([&] { return kread4(mf, 0x302, &value); }), Fails(EINVAL));
        EXPECT_EQ(kwrite4(mf, 0x00123458, 0xCAFE0001), 4);
        EXPECT_EQ(chip_->Peek(0x00123458), 0xCAFE0001u);
        chip_->Poke(0x00123458, 0x12345678);
        EXPECT_EQ(kread4(mf, 0x00123458, &value), 4);
        EXPECT_EQ(value, 0x12345678u);
        EXPECT_EQ(Calls(), (Lines{Cr(2, "12013458", "00000000 00000000 cafe0001 ffffffff"),
                                  Cr(1, "12013458", kZeroCr)}));
        EXPECT_EQ(kclose(mf), 0);
    }
    EXPECT_EQ(Loader::asked[0], "libibmad.so lazy");
    EXPECT_EQ(Lines(Loader::asked.begin() + 1, Loader::asked.begin() + 6),
              (Lines{"madrpc_init", "ib_vendor_call", "mad_register_client", "ib_resolve_portid_str", "portid2str"}));
}

TEST_F(Ib, OnlyTheVersionedNameLoads) {
    Loader::missing = {"libibmad.so"};
    kfile* mf = kopen("lid-5");
    ASSERT_TRUE(mf);
    EXPECT_EQ(Lines(Loader::asked.begin(), Loader::asked.begin() + 2), (Lines{"libibmad.so lazy", "libibmad.so.5 lazy"}));
    EXPECT_EQ(kclose(mf), 0);
}

// 64-byte transfers reach the I2C device the handle names; a reset is one
// datagram; CR accesses the datagram cannot carry are refused unsent.
TEST_F(Ib, I2cResetAndLimits) {
    kfile* mf = kopen("lid-5");
    ASSERT_TRUE(mf);
    EXPECT_EQ(kset_i2c_slave(mf, 0x48), 0);
    uint8_t out[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    uint8_t in[8] = {};
    Calls();
    EXPECT_EQ(kwrite64(mf, 0x500, out, 8), 8);
    EXPECT_EQ(chip_->Peek(0x504), 0x04050607u);
    EXPECT_EQ(kread64(mf, 0x500, in, 8), 8);
    EXPECT_EQ(memcmp(in, out, 8), 0);
    EXPECT_EQ(ksw_reset(mf), 0);
    auto* h = static_cast<ibvs_mad*>(mf->ptr);
    u_int32_t word = 0;
    EXPECT_EQ(ibvsmad_craccess_rw(h, 0x10, IB_MAD_METHOD_GET, 18, &word), 0);
    EXPECT_EQ(ibvsmad_craccess_rw(h, 0x1000000, IB_MAD_METHOD_GET, 1, &word), -1);
    EXPECT_EQ(ibvsmad_craccess_rw(h, 0x10, IB_MAD_METHOD_SET, 1, nullptr), -1);
    EXPECT_EQ(ibvsmad_i2c_rw(h, 0x48, 0x500, 256, IB_MAD_METHOD_GET, reinterpret_cast<char*>(in)), -1);
    setenv("KXSIM_IBMAD_FAULT", "no-reply", 1);
    EXPECT_EQ(Try([&] { return ksw_reset(mf); }), Fails(EIO));
    EXPECT_EQ(Calls(), (Lines{
                           Class10(2, "13 mod 00000002", "00000000 00000000 00000008 00000048 00000500 00010203 04050607"),
                           Class10(1, "13 mod 00000002", "00000000 00000000 00000008 00000048 00000500"),
                           Class10(2, "12 mod 00000000", kZeroCr),
                           Cr(1, "00120010", kZeroCr),
                           Class10(2, "12 mod 00000000", kZeroCr),
                       }));
    EXPECT_EQ(kclose(mf), 0);
}

// The exact standard output of a run that ends with status 255, and the
// verbose form of both kinds of message.
TEST_F(Ib, FatalErrors) {
    const auto open_and = [](void (*access)(kfile*)) {
        return [access] { access(kopen("lid-5")); };
    };
    struct Row {
        const char* what;
        const char* fault;
        std::set<std::string> missing;
        std::function<void()> run;
        std::string out;
    } rows[] = {
        {"port with a letter", "", {}, [] { kopen("lid-5,ca0,2x"); },
         "ibvsmad: iberror: failed: Bad port number format (2x)\n"},
        {"no library", "", {"libibmad.so", "libibmad.so.5"}, [] { kopen("lid-5"); },
         "ibvsmad: iberror: failed: libibmad.so: not here; libibmad.so.5: not here\n"},
        {"a function missing", "", {"ib_vendor_call"}, [] { kopen("lid-5"); },
         "ibvsmad: iberror: failed: undefined symbol: ib_vendor_call\n"},
        {"class 10 refused", "no-class-10", {}, [] { kopen("lid-5"); },
         "ibvsmad: iberror: failed: can't register vsmad class 10 on this port\n"},
        {"class 9 refused", "no-class-9", {}, [] { kopen("lid-5"); },
         "ibvsmad: iberror: failed: can't register vsmad class 9 on this port\n"},
        {"unknown LID", "unknown-destination", {}, [] { kopen("lid-5,ca0"); },
         "ibvsmad: iberror: failed: can't resolve destination port 5\n"},
        {"read unanswered", "no-reply", {}, open_and([](kfile* mf) { u_int32_t v; kread4(mf, 0x10, &v); }),
         "ibvsmad: iberror: failed: cr access read to Lid 5 failed\n"},
        {"write unanswered", "no-reply", {}, open_and([](kfile* mf) { kwrite4(mf, 0x10, 1); }),
         "ibvsmad: iberror: failed: cr access write to Lid 5 failed\n"},
        {"I2C read unanswered", "no-reply", {}, open_and([](kfile* mf) { char b[4]; kread64(mf, 0x10, b, 4); }),
         "ibvsmad: iberror: failed: i2c_read to Lid 5 failed\n"},
        {"I2C write unanswered", "no-reply", {}, open_and([](kfile* mf) { char b[4]{}; kwrite64(mf, 0x10, b, 4); }),
         "ibvsmad: iberror: failed: i2c_write to Lid 5 failed\n"},
        {"I2C read of 6", "", {}, open_and([](kfile* mf) { char b[6]; kread64(mf, 0x10, b, 6); }),
         "ibvsmad: iberror: failed: Size must be 4 aligned, got 6\n\n"},
        {"19 dwords", "", {},
         open_and([](kfile* mf) {
             u_int32_t v;
             ibvsmad_craccess_rw(static_cast<ibvs_mad*>(mf->ptr), 0x10, IB_MAD_METHOD_GET, 19, &v);
         }),
         "ibvsmad: iberror: failed: size is too big, maximum num of dwords is 0x12\n"},
        {"verbose", "no-reply", {}, open_and([](kfile* mf) {
             ibvsmad::verbose = 1;
             u_int32_t v;
             kread4(mf, 0x10, &v);
         }),
         "ibvsmad: ibwarning: [pid #] kib_read4: failed: kread4 of 0x00000010\n\n"
         "ibvsmad: ibwarning: [pid #] ibvsmad_craccess_rw: failed: attrmod = 00010010\n\n"
         "ibvsmad: ibwarning: [pid #] ibvsmad_craccess_rw: failed: memory_address = 0x00000010\n\n"
         "ibvsmad: iberror: [pid #] kib_read4: failed: cr access read to Lid 5 failed\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        setenv("KXSIM_IBMAD_FAULT", row.fault, 1);
        Loader::missing = row.missing;
        // The message goes to standard output: the death test sees standard
        // error. A process id is written #.
        std::string pattern = "^";
        for (char c : row.out) {
            if (c == '#') pattern += "[0-9]+";
            else if (std::strchr("[]().*+?^$|\\{}", c)) pattern += std::string("\\") + c;
            else pattern += c;
        }
        EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), row.run()), testing::ExitedWithCode(255), pattern + "$");
    }
}

// What a reply hands back, from the data area alone.
TEST(IbReply, TakesTheWordOrTheBytes) {
    uint8_t area[32] = {};
    for (int i = 0; i < 32; ++i) area[i] = static_cast<uint8_t>(0x80 + i);
    u_int32_t word = 0;
    EXPECT_EQ(ibvsmad_reply(0x50, area, sizeof area, &word, 4), 0);
    EXPECT_EQ(word, 0x88898A8Bu);
    uint8_t bytes[8] = {};
    EXPECT_EQ(ibvsmad_reply(0x13, area, sizeof area, bytes, 8), 0);
    EXPECT_EQ(bytes[0], 0x94);
    EXPECT_EQ(bytes[7], 0x9B);
    EXPECT_EQ(ibvsmad_reply(0x13, area, sizeof area, bytes, 13), -1);
    EXPECT_EQ(ibvsmad_reply(0x50, area, 11, &word, 4), -1);
    EXPECT_EQ(ibvsmad_reply(0x50, area, sizeof area, &word, 2), -1);
}

}  // namespace
