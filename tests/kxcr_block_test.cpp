// Block transfers: runs of words in chunks that suit each transport, on the
// simulated chip and against a remote peer.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "kdt_calbr.h"
#include "kdt_pciconf.h"
#include "kxcr_helpers.h"
#include "kxcr_kif.h"
#include "tcp.h"

namespace {

using namespace kxcrtest;

// The driver requests kxcr makes, one note each: "r" and "w" a word read or
// written, "t<written>/<read> " a Calibre transaction, "R<len> " and
// "W<len> " a kif block.
struct Requests {
    static inline const kxcr_os_ops* inner;
    static inline std::string log;
    kxcr_os_ops ops;

    Requests() : ops(*kxcr_os()) {
        inner = kxcr_os();
        log.clear();
        ops.ioctl = [](int fd, unsigned long request, void* arg) {
            log += Note(request, arg);
            return inner->ioctl(fd, request, arg);
        };
        kxcr_set_os(&ops);
    }
    ~Requests() { kxcr_set_os(inner); }

    static std::string Note(unsigned long request, const void* arg) {
        if (request == KDT_IOC_READ4 || request == KREAD4) return "r";
        if (request == KDT_IOC_WRITE4 || request == KWRITE4) return "w";
        if (request == KDT_IOC_TRANS) {
            const auto* t = static_cast<const kdt_trans_st*>(arg);
            return "t" + std::to_string(t->wr_size) + "/" + std::to_string(t->rd_size) + " ";
        }
        const auto* p = static_cast<const kif_param_st*>(arg);
        return (request == KREAD64 ? "R" : "W") + std::to_string(p->len) + " ";
    }
};

std::vector<u_int32_t> Words(int n, u_int32_t first) {
    std::vector<u_int32_t> words;
    for (int i = 0; i < n; ++i) words.push_back(first + 0x01010101u * i);
    return words;
}

TEST(Block, ChunkSizes) {
    DriverChip sim;
    const std::pair<const char*, int> rows[] = {
        {kxsim::kZorvanPciName, 256}, {kxsim::kZorvanPciconfName, 4}, {kxsim::kZorvanCalbrName, 64},
        {kxsim::kZorvanKifName, 64},  {kxsim::kZorvanPpcName, 4},     {kxsim::kZorvanI2cmName, 4},
    };
    for (const auto& [name, size] : rows) {
        Handle mf = OpenHandle(name);
        ASSERT_TRUE(mf) << name;
        EXPECT_EQ(get_chunk_size(mf.get()), size) << name;
    }
    EXPECT_EQ(Try([] { return get_chunk_size(nullptr); }), Fails(EINVAL));
}

// Words written land in the chip in host order and read back alike, in
// chunks of the path's size; the caller's buffer stays as it was.
TEST(Block, WriteAndReadBackOnEveryLocalPath) {
    struct Row {
        const char* name;
        int byte_len;
        std::string writes, reads;
    };
    const Row rows[] = {
        {kxsim::kZorvanPciconfName, 12, "www", "rrr"},
        {kxsim::kZorvanPciconfName, 100, std::string(25, 'w'), std::string(25, 'r')},
        {kxsim::kZorvanPciName, 12, "", ""},
        {kxsim::kZorvanPciName, 100, "", ""},
        {kxsim::kZorvanCalbrName, 100, "t68/0 t40/0 ", "t4/64 t4/36 "},
        {kxsim::kZorvanKifName, 100, std::string(25, 'w'), "R64 R36 "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.byte_len));
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        const int n = row.byte_len / 4;
        std::vector<u_int32_t> out = Words(n, 0x10203040), kept = out;
        Requests requests;
        EXPECT_EQ(kwrite4_block(mf.get(), 0x400, out.data(), row.byte_len), row.byte_len);
        EXPECT_EQ(requests.log, row.writes);
        EXPECT_EQ(out, kept);
        for (int i = 0; i < n; ++i) EXPECT_EQ(sim.chip->Peek(0x400 + 4 * i), out[i]) << i;
        std::vector<u_int32_t> in(n);
        requests.log.clear();
        EXPECT_EQ(kread4_block(mf.get(), 0x400, in.data(), row.byte_len), row.byte_len);
        EXPECT_EQ(requests.log, row.reads);
        EXPECT_EQ(in, out);
    }
}

// An "i2cm" handle reads each word through the master whatever its kind,
// and writes it as kwrite4 does. On the window, a plain mapping in the
// simulated chip, the master never answers: the read went to it.
TEST(Block, ThroughTheI2cMaster) {
    DriverChip sim;
    Handle mf = OpenHandle(kxsim::kZorvanI2cmName);
    ASSERT_TRUE(mf);
    std::vector<u_int32_t> out = Words(3, 0xA0B0C0D0), in(3);
    sim.chip->ClearTraffic();
    EXPECT_EQ(kwrite4_block(mf.get(), 0x400, out.data(), 12), 12);
    EXPECT_EQ(kread4_block(mf.get(), 0x400, in.data(), 12), 12);
    EXPECT_EQ(in, out);
    const Traffic& traffic = sim.chip->Traffic();
    EXPECT_EQ(std::count(traffic.begin(), traffic.end(), Access{'W', 0xF0180, 0x20C00048}), 3);
    EXPECT_EQ(std::count(traffic.begin(), traffic.end(), Access{'W', 0xF0184, out[2]}), 1);

    Handle window = OpenHandle(kxsim::kZorvanPciName);
    ASSERT_TRUE(window);
    window->is_i2cm = 1;
    sim.chip->ClearTraffic();
    EXPECT_EQ(Try([&] { return kread4_block(window.get(), 0x400, in.data(), 12); }), (simtest::Outcome{0, EBUSY}));
    EXPECT_EQ(sim.chip->Peek(0xF0184), 0x400u);
    EXPECT_EQ(sim.chip->Peek(0xF0180), 0x40C00048u);
    EXPECT_EQ(Show(sim.chip->Traffic()), "");
}

// A failing chunk ends the block; the count says how many bytes of whole
// chunks went through, errno why the next did not (EIO for a short one).
TEST(Block, FailingChunks) {
    struct Row {
        const char* what;
        const char* name;
        uint32_t failing;
        bool write;
        int byte_len;
        simtest::Outcome want;
    };
    const Row rows[] = {
        {"third word of words", kxsim::kZorvanPciconfName, 0x408, false, 16, {8, ENXIO}},
        {"second Calibre chunk", kxsim::kZorvanCalbrName, 0x444, false, 100, {64, EIO}},
        {"first Calibre chunk", kxsim::kZorvanCalbrName, 0x404, true, 100, {0, EIO}},
        {"first kif chunk", kxsim::kZorvanKifName, 0x404, false, 100, {0, EIO}},
        {"second word through the master", kxsim::kZorvanI2cmName, 0x404, false, 8, {4, EIO}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        sim.chip->FailAccess(row.failing, ENXIO);
        std::vector<u_int32_t> words(row.byte_len / 4);
        EXPECT_EQ(Try([&] {
                      return row.write ? kwrite4_block(mf.get(), 0x400, words.data(), row.byte_len)
                                       : kread4_block(mf.get(), 0x400, words.data(), row.byte_len);
                  }),
                  row.want);
    }
}

// Offsets and lengths of whole words only, refused before anything moves.
TEST(Block, RefusedCalls) {
    DriverChip sim;
    static u_int32_t words[4];
    const char* pciconf = kxsim::kZorvanPciconfName;
    ExpectRefusals(sim, {
        {"block read at offset 2", pciconf, [](kfile* mf) { return kread4_block(mf, 2, words, 8); }, EINVAL},
        {"block write of 6 bytes", pciconf, [](kfile* mf) { return kwrite4_block(mf, 0x400, words, 6); }, EINVAL},
        {"block read of -4 bytes", pciconf, [](kfile* mf) { return kread4_block(mf, 0x400, words, -4); }, EINVAL},
        {"chunk of 6 bytes", pciconf, [](kfile* mf) { return kread_chunk(mf, 0x400, words, 6); }, EINVAL},
        {"Calibre chunk of 6 bytes", kxsim::kZorvanCalbrName,
         [](kfile* mf) { return kwrite_chunk(mf, 0x400, words, 6); }, EINVAL},
        {"words chunk of 2 bytes", pciconf,
         [](kfile* mf) { return kwrite_chunk_as_multi_kwrite4(mf, 0x400, words, 2); }, EINVAL},
        {"kind that does not exist", pciconf,
         [](kfile* mf) {
             mf->tp = static_cast<KType>(9);
             const int rc = kread_chunk(mf, 0x400, words, 4);
             mf->tp = KDT_PCICONF;
             return rc;
         },
         EPERM},
    });
}

TEST(Block, BuffCpu2beTurnsWholeWords) {
    unsigned char bytes[6];
    const u_int32_t word = 0x11223344;
    std::memcpy(bytes, &word, 4);
    bytes[4] = 0x55;
    bytes[5] = 0x66;
    buff_cpu2be(bytes, 6);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 6),
              (std::vector<unsigned char>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
}

// A remote peer that answers every request at once (a read with the address
// it was asked for) and notes each request on a line.
class AnsweringPeer {
public:
    AnsweringPeer() : listen_fd_(open_listen_socket("127.0.0.1", 0)), thread_([this] { Serve(); }) {}
    ~AnsweringPeer() { Join(); }
    std::string Name(const std::string& device) const {
        return "127.0.0.1:" + std::to_string(local_port(listen_fd_)) + "," + device;
    }
    // Once the client has closed.
    const std::string& Requests() {
        Join();
        return requests_;
    }

private:
    void Join() {
        if (listen_fd_ < 0) return;
        shutdown(listen_fd_, SHUT_RDWR);  // wakes an accept still waiting
        thread_.join();
        close(listen_fd_);
        listen_fd_ = -1;
    }
    void Serve() {
        const int fd = accept(listen_fd_, nullptr, nullptr);
        std::string request;
        char c;
        while (fd >= 0 && read(fd, &c, 1) == 1) {
            if (c != '\0') {
                request += c;
                continue;
            }
            requests_ += request + "\n";
            const std::string reply = request[0] == 'R' ? "O " + request.substr(2) : "O";
            if (request[0] == 'C' || write(fd, reply.c_str(), reply.size() + 1) < 0) break;
            request.clear();
        }
        if (fd >= 0) close(fd);
    }

    int listen_fd_;
    std::string requests_;
    std::thread thread_;
};

TEST(Block, RemoteCostsOneRequestPerWord) {
    AnsweringPeer peer;
    kfile* mf = kopen(peer.Name("@dev@kdt@kx31001_pciconf0").c_str());
    ASSERT_NE(mf, nullptr) << strerror(errno);
    EXPECT_EQ(get_chunk_size(mf), 4);
    std::vector<u_int32_t> words(3);
    EXPECT_EQ(kread4_block(mf, 0x10, words.data(), 12), 12);
    EXPECT_EQ(words, (std::vector<u_int32_t>{0x10, 0x14, 0x18}));
    EXPECT_EQ(kwrite4_block(mf, 0x20, words.data(), 8), 8);
    EXPECT_EQ(kclose(mf), 0);
    EXPECT_EQ(peer.Requests(),
              "O 0x00000001 /dev/kdt/kx31001_pciconf0\n"
              "R 0x00000010\nR 0x00000014\nR 0x00000018\n"
              "W 0x00000020 0x00000010\nW 0x00000024 0x00000014\n"
              "C\n");
}

}  // namespace
