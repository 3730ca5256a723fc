// The kxcr handle against the simulated driver: names that open no
// transport, and the device listing. Each transport has its own suite.
#include <set>

#include "kxcr_helpers.h"

namespace {

using namespace kxcrtest;

TEST(Kxcr, NamesThatOpenNoTransport) {
    ExpectFailedOpens({
        {"/dev/kdt/kx31001_other0", 0, false, ENOENT},  // no transport token
        {kxsim::kDevI2cName, 0, false, ENOENT},
        {"/dev/kdt/kx31001_pci_cr7", 0, false, ENOENT},  // no such device file
        // Transports not in this build.
        {"/dev/kdt/kx31001_kxusb0", 0, false, ENOSYS},
    });
}

TEST(Kxcr, DevicesListing) {
    DriverChip sim;
    char buf[1024];
    const int all = kdevices(buf, sizeof buf, KDEVS_ALL);
    std::set<std::string> listed;
    int length = 0;
    for (int i = 0; i < all; ++i) length += listed.insert(buf + length).first->size() + 1;
    EXPECT_EQ(listed, (std::set<std::string>{kxsim::kZorvanPciName, kxsim::kZorvanPciconfName,
                                             kxsim::kZorvanCalbrName, kxsim::kZorvanKifName,
                                             kxsim::kZorvanPpcName, kxsim::kDevI2cName,
                                             kxsim::kZorvanI2cmName}));
    EXPECT_EQ(kdevices(buf, sizeof buf, 0), 0);
    ASSERT_EQ(kdevices(buf, sizeof buf, KDEVS_PPC), 1);
    EXPECT_STREQ(buf, kxsim::kZorvanPpcName);
    // The listing must stay below len: a buffer exactly as long is too small,
    // and nothing is written at or past len.
    std::vector<char> exact(length + 4, '#');
    EXPECT_EQ(kdevices(exact.data(), length, KDEVS_ALL), -1);
    EXPECT_EQ(std::string(exact.data() + length, 4), "####");
    EXPECT_EQ(kdevices(exact.data(), length + 1, KDEVS_ALL), all);
}

}  // namespace
