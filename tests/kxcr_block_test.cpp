// Block transfers: runs of words in chunks that suit each transport.
#include "kxcr_helpers.h"
#include "server_helpers.h"

namespace {

using namespace kxcrtest;

// Words written land in the chip in host order and read back alike, in
// chunks of the path's size; the caller's buffer stays as it was.
TEST(Block, WriteAndReadBack) {
    const struct Row { const char* name; int chunk, byte_len; std::string writes, reads; } rows[] = {
        {kxsim::kZorvanPciconfName, 4, 12, "444", "444"},
        {kxsim::kZorvanPciName, 256, 12, "", ""},
        {kxsim::kZorvanCalbrName, 64, 100, "t68/0 t40/0 ", "t4/64 t4/36 "},
        {kxsim::kZorvanKifName, 64, 100, std::string(25, '4'), "R64 R36 "},
        {kxsim::kZorvanPpcName, 4, 0, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        EXPECT_EQ(get_chunk_size(mf.get()), row.chunk);
        std::vector<u_int32_t> out(row.byte_len / 4), in(out.size());
        for (size_t i = 0; i < out.size(); ++i) out[i] = 0x10203040 + 0x01010101 * i;
        const std::vector<u_int32_t> kept = out;
        Tracker tracker;
        EXPECT_EQ(kwrite4_block(mf.get(), 0x400, out.data(), row.byte_len), row.byte_len);
        EXPECT_EQ(tracker.log, row.writes);
        EXPECT_EQ(out, kept);
        for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(sim.chip->Peek(0x400 + 4 * i), out[i]) << i;
        tracker.log.clear();
        EXPECT_EQ(kread4_block(mf.get(), 0x400, in.data(), row.byte_len), row.byte_len);
        EXPECT_EQ(tracker.log, row.reads);
        EXPECT_EQ(in, out);
    }
}

// A failing chunk ends the block: the count is the bytes of the whole chunks
// before it, errno why it failed (EIO for a chunk cut short). An "i2cm"
// handle reads through the master whatever its kind: on the window, a plain
// mapping in the simulated chip, the master never answers. Offsets and
// lengths of part words are refused before anything moves.
TEST(Block, FailuresAndRefusals) {
    using W = u_int32_t*;  // the caller's words
    struct Row { const char *what, *name; uint32_t failing; std::function<int(kfile*, W)> block; Outcome want; };
    const auto read100 = [](kfile* f, W w) { return kread4_block(f, 0x400, w, 100); };
    const char *pciconf = kxsim::kZorvanPciconfName, *calbr = kxsim::kZorvanCalbrName, *pci = kxsim::kZorvanPciName;
    const Row rows[] = {
        {"third word", pciconf, 0x408, read100, {8, ENXIO}},
        {"second Calibre chunk", calbr, 0x444, read100, {64, EIO}},
        {"first Calibre chunk", calbr, 0x408, [](kfile* f, W w) { return kwrite4_block(f, 0x3F0, w, 100); }, {0, EIO}},
        {"third word through the master", kxsim::kZorvanI2cmName, 0x408, read100, {8, EIO}},
        {"window via the master", pci, 0, [](kfile* f, W w) { return f->is_i2cm = 1, kread4_block(f, 0x400, w, 100); },
         {0, EBUSY}},
        {"block at offset 2", pciconf, 0, [](kfile* f, W w) { return kread4_block(f, 2, w, 8); }, Fails(EINVAL)},
        {"block of 6 bytes", pciconf, 0, [](kfile* f, W w) { return kwrite4_block(f, 0x400, w, 6); }, Fails(EINVAL)},
        {"Calibre chunk of 6", calbr, 0, [](kfile* f, W w) { return kread_chunk(f, 0x400, w, 6); }, Fails(EINVAL)},
        {"words chunk of 2", pciconf, 0, [](kfile* f, W w) { return kwrite_chunk_as_multi_kwrite4(f, 0x400, w, 2); },
         Fails(EINVAL)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverChip sim;
        Handle mf = OpenHandle(row.name);
        ASSERT_TRUE(mf);
        if (row.failing) sim.chip->FailAccess(row.failing, ENXIO);
        sim.chip->ClearTraffic();
        u_int32_t words[25] = {};
        EXPECT_EQ(Try([&] { return row.block(mf.get(), words); }), row.want);
        EXPECT_EQ(row.want.err == EINVAL ? Show(sim.chip->Traffic()) : "", "");  // refusals move nothing
    }
}

// A remote handle moves a word per request: the read fails at the word the
// server's chip refuses, after the words before it.
TEST(Block, RemoteWordByWord) {
    std::unique_ptr<testsrv::Server> server = testsrv::StartOrFail({""});
    ASSERT_TRUE(server);
    std::unique_ptr<kxsim::Chip> chip = testsrv::OpenChip(*server);
    ASSERT_TRUE(chip);
    chip->Poke(0x14, 0xCAFEF00D);
    chip->FailAccess(0x18, EIO);
    Handle mf = OpenHandle(server->RemoteName(kxsim::kZorvanPciconfName));
    ASSERT_TRUE(mf);
    EXPECT_EQ(get_chunk_size(mf.get()), 4);
    u_int32_t words[3] = {};
    EXPECT_EQ(Try([&] { return kread4_block(mf.get(), 0x10, words, 12); }), (simtest::Outcome{8, EIO}));
    EXPECT_EQ(words[1], 0xCAFEF00Du);
}

}  // namespace
