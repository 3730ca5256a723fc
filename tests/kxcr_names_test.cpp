// Device-name grammar and the I2C address phase: what needs no device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kxcr.h"

namespace {

// The flags each name gives, and where find_zorvan finds a model number in
// it: the first model of the list, wherever the models stand in the name.
TEST(KxcrNames, DeviceFlagsAndModelNumber) {
    struct Row {
        const char* name;
        int flags;
        std::ptrdiff_t zorvan_at;  // -1: none
    };
    const Row rows[] = {
        {"/dev/kdt/kx31001_pci_cr0", KDEVS_ZORVAN_CR, 11},
        {"/dev/kdt/kx31022_pci_ddr0", KDEVS_ZORVAN_DDR, 11},
        {"/dev/kdt/kx31010_pci_uar0", KDEVS_ZORVAN_UAR, 11},
        // The window flags need a model number; the extra token is not one.
        {"/dev/kdt/kx61000_pci_cr0", 0, -1},
        {"/dev/kdt/kx52100_pci_cr0", KDEVS_DUVRA, -1},
        {"/dev/kdt/kx52100_pciconf0", KDEVS_DUVRA | KDEVS_ZORVAN_CR, -1},
        {"/dev/kdt/kx31001_calbr0", KDEVS_I2CM, 11},
        {"/dev/kdt/calibre0", KDEVS_I2CM, -1},
        {"/dev/kdt/kxusb0", KDEVS_I2CM, -1},
        {"/dev/kdt/kx31001_pci_cr0_i2cm", KDEVS_ZORVAN_CR | KDEVS_I2CM, 11},
        {"/dev/kdt/kx31001_kif0", KDEVS_IF, 11},
        {"/dev/kdt/kx31001_ppc0", KDEVS_PPC, 11},
        {"/dev/kdt/vtop0", KDEVS_MEM, -1},
        {"/dev/kdt/kx31001_dev-i2c0", KDEVS_DEV_I2C, 11},
        {"host:5000,@dev@kdt@kx31001_pci_cr0", KDEVS_REM | KDEVS_ZORVAN_CR, 21},
        {"lid-12", KDEVS_IB, -1},
        {"lid-0x1f,2", KDEVS_IB, -1},
        {"lid-ab", 0, -1},
        {"lid-", 0, -1},
        {"lid-,3", 0, -1},
        {"/dev/kdt/other0", 0, -1},
        // 31003 comes before 31022 in the list.
        {"kx31022_kx31003", 0, 10},
        {"3100", 0, -1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(get_device_flags(row.name), row.flags) << row.name;
        const char* found = find_zorvan(row.name);
        EXPECT_EQ(found ? found - row.name : -1, row.zorvan_at) << row.name;
    }
    EXPECT_EQ(get_device_flags(nullptr), 0);
    EXPECT_EQ(find_zorvan(nullptr), nullptr);
}

TEST(KxcrNames, AddressPhase) {
    struct Row {
        DType dtype;
        std::vector<unsigned char> bytes;
    };
    const Row rows[] = {
        {KDT_ZORVAN, {0x12, 0x34, 0x56, 0x78, 0xAA, 0xBB}},
        {KDT_DUVRA, {0x56, 0x78, 0xAA, 0xBB}},
        {KDT_DIMM, {0x78, 0xAA, 0xBB}},
        {KDT_NOADDR, {0xAA, 0xBB}},
    };
    const unsigned char data[] = {0xAA, 0xBB};
    for (const Row& row : rows) {
        unsigned char buf[8] = {};
        const int length = prepare_i2c_data(buf, row.dtype, 0x12345678, data, 2);
        EXPECT_EQ(std::vector<unsigned char>(buf, buf + length), row.bytes) << "dtype " << row.dtype;
        EXPECT_EQ(prepare_i2c_buf(buf, row.dtype, 0x12345678), length - 2) << "dtype " << row.dtype;
    }
}

TEST(KxcrNames, TraceSwitch) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(plog("off %d\n", 1), 0);
    logset(1);
    EXPECT_EQ(plog("on %d\n", 2), 5);
    logset(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "on 2\n");
}

}  // namespace
