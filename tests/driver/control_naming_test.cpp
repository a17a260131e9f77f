// The driver's naming requests: a port's DOS name, its links and the
// SERIALCOMM map.
#include "common/vorpil_ioctl.h"
#include "common/win32_error.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

using namespace common;
using namespace driver_testing;
using driver::host::Reply;

namespace {

const std::string kParameters
    = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000\\Device Parameters";
const std::string kSerialComm = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

Reply control(driver::host::FileHandle& handle, std::uint32_t code, std::vector<std::uint8_t> input = {},
    std::size_t outputLength = 0)
{
    return handle.deviceIoControl(code, input, outputLength);
}

} // namespace

TEST(ControlRequests, SetDosNameMovesTheLinkButNotSerialComm)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(control(*handle, kIoctlSetDosName, le32({ 7 })).status, kStatusSuccess);

    auto& names = harness.host().names();
    EXPECT_EQ(names.linkTarget("\\DosDevices\\COM7").value_or(""), "\\Device\\Serial11");
    EXPECT_FALSE(names.linkTarget("\\DosDevices\\COM5").has_value());
    std::string mapped;
    ASSERT_EQ(harness.host().registry().queryString(kSerialComm, "\\Device\\Serial11", mapped), kStatusSuccess);
    EXPECT_EQ(mapped, "COM5");
    std::string portName;
    ASSERT_EQ(harness.host().registry().queryString(kParameters, "PortName", portName), kStatusSuccess);
    EXPECT_EQ(portName, "COM5");

    const Reply name = control(*handle, kIoctlGetDosName, {}, kDosNameOutSize);
    EXPECT_EQ(name.status, kStatusSuccess);
    EXPECT_EQ(decodeDosName(name.output), "COM7");

    // Removal deletes the moved link and the value under the device's name.
    handle->close();
    ASSERT_EQ(harness.host().removeNode("ROOT\\PORTS\\0000"), kStatusSuccess);
    EXPECT_FALSE(names.linkTarget("\\DosDevices\\COM7").has_value());
    EXPECT_TRUE(harness.host().registry().valueNames(kSerialComm).empty());
}

TEST(ControlRequests, SetDosNameToAnotherPortsNameKeepsTheOldLink)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    ASSERT_EQ(harness.addPort("COM6"), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);
    const Reply reply = control(*handle, kIoctlSetDosName, le32({ 6 }));
    EXPECT_EQ(reply.status, kStatusObjectNameCollision);
    EXPECT_EQ(win32ErrorFromStatus(reply.status), kErrorAlreadyExists);
    auto& names = harness.host().names();
    EXPECT_EQ(names.linkTarget("\\DosDevices\\COM5").value_or(""), "\\Device\\Serial11");
    EXPECT_EQ(names.linkTarget("\\DosDevices\\COM6").value_or(""), "\\Device\\Serial12");
    EXPECT_EQ(decodeDosName(control(*handle, kIoctlGetDosName, {}, 12).output), "COM5");
}

TEST(ControlRequests, GetDosNameGivesSixCharacters)
{
    for (const std::string name : { "COM12", "COM123", "COM1234" }) {
        PortHarness harness;
        ASSERT_EQ(harness.addPort(name), kStatusSuccess);
        auto handle = harness.open(name);
        ASSERT_NE(handle, nullptr) << name;
        const Reply reply = control(*handle, kIoctlGetDosName, {}, 16);
        EXPECT_EQ(reply.status, kStatusSuccess);
        ASSERT_EQ(reply.information, kDosNameOutSize);
        std::vector<std::uint8_t> expected(12, 0);
        for (std::size_t i = 0; i < name.size() && i < 6; ++i)
            expected[i] = static_cast<std::uint8_t>(name[i]);
        EXPECT_EQ(std::vector<std::uint8_t>(reply.output.begin(), reply.output.begin() + 12), expected) << name;
    }
}

TEST(ControlRequests, NamingRequestsOnAnUnnamedPort)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort(""), kStatusSuccess);
    const std::string path = "\\\\?\\root#ports#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    auto handle = harness.open(path);
    ASSERT_NE(handle, nullptr);
    auto& names = harness.host().names();
    auto& registry = harness.host().registry();

    // No name buffers yet: the rename has nothing to move.
    EXPECT_EQ(control(*handle, kIoctlSetDosName, le32({ 7 })).status, kStatusInvalidDeviceState);
    EXPECT_FALSE(names.linkTarget("\\DosDevices\\COM7").has_value());
    EXPECT_EQ(decodeDosName(control(*handle, kIoctlGetDosName, {}, 12).output), "");

    for (std::uint32_t bad : { 0u, 256u, 0xFFFFFFFFu })
        EXPECT_EQ(control(*handle, kIoctlCreateDosName, le32({ bad })).status, kStatusInvalidParameter) << bad;
    ASSERT_EQ(control(*handle, kIoctlCreateDosName, le32({ 9 })).status, kStatusSuccess);
    EXPECT_EQ(names.linkTarget("\\DosDevices\\COM9").value_or(""), "\\Device\\Serial11");
    std::string mapped;
    EXPECT_EQ(registry.queryString(kSerialComm, "\\Device\\Serial11", mapped), kStatusSuccess);
    EXPECT_EQ(mapped, "COM9");
    EXPECT_EQ(control(*handle, kIoctlCreateDosName, le32({ 10 })).status, kStatusUnsuccessful);

    EXPECT_EQ(control(*handle, kIoctlDeleteDosName).status, kStatusSuccess);
    EXPECT_FALSE(names.linkTarget("\\DosDevices\\COM9").has_value());
    EXPECT_TRUE(registry.valueNames(kSerialComm).empty());
    EXPECT_EQ(control(*handle, kIoctlDeleteDosName).status, kStatusSuccess); // nothing left to delete
    EXPECT_EQ(control(*handle, kIoctlSetDosName, le32({ 7 })).status, kStatusInvalidDeviceState);
}
