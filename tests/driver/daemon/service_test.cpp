// The control service in-process: what it lets a client touch, the COM name
// database and installations that fail half way.
#include "common/control_protocol.h"
#include "common/win32_error.h"
#include "driver/daemon/com_db.h"
#include "driver/daemon/control_service.h"
#include "driver/daemon/port_directory.h"
#include "driver/vorpil_driver.h"

#include <gtest/gtest.h>

using namespace common;
using driver::daemon::ComDb;
using driver::daemon::ControlService;
using driver::daemon::ControlSession;

namespace {

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest()
    {
        m_host.registerDriver(driver::kHardwareId, m_driver);
        (void)m_host.start();
    }

    ControlResponse call(ControlOp operation, const ControlWriter& payload)
    {
        ControlResponse response;
        EXPECT_TRUE(decodeResponse(m_service.handle(m_session, encodeRequest(operation, payload.payload())), response));
        return response;
    }

    NtStatus setValue(const std::string& key, const std::string& name)
    {
        ControlWriter in;
        in.text(key);
        in.text(name);
        in.u32(4);
        in.bytes(std::vector<std::uint8_t> { 1, 0, 0, 0 });
        return call(ControlOp::RegSetValue, in).status;
    }

    driver::VorpilDriver m_driver;
    driver::host::Host m_host;
    ControlService m_service { m_host, nullptr };
    ControlSession m_session;
};

} // namespace

TEST_F(ServiceTest, RegistryWritesStayInThePortsKeys)
{
    ControlWriter install;
    install.text("ZORV\\Rure");
    install.text("COM5");
    ASSERT_EQ(call(ControlOp::InstallNode, install).status, kStatusSuccess);

    const std::string node = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000";
    EXPECT_EQ(setValue(node + "\\Device Parameters", "MaxPacketLen"), kStatusSuccess);
    EXPECT_EQ(setValue("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\Ports\\0000", "Extra"), kStatusSuccess);
    EXPECT_EQ(setValue("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\Serial11"), kStatusSuccess);
    // Not a port's key, or a port that does not exist.
    EXPECT_EQ(
        setValue("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vorpil", "Start"), kStatusAccessDenied);
    EXPECT_EQ(
        setValue("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0001", "X"), kStatusAccessDenied);
    EXPECT_EQ(setValue("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS", "X"), kStatusAccessDenied);
    EXPECT_FALSE(m_host.registry().keyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0001"));

    ControlWriter deleteNode;
    deleteNode.text(node);
    EXPECT_EQ(call(ControlOp::RegDeleteKey, deleteNode).status, kStatusAccessDenied);
    EXPECT_TRUE(m_host.registry().keyExists(node));

    ControlWriter query;
    query.text(node + "\\Device Parameters");
    query.text("PortName");
    const ControlResponse portName = call(ControlOp::RegQueryValue, query);
    ASSERT_EQ(portName.status, kStatusSuccess);
    ControlReader reader(portName.payload);
    EXPECT_EQ(reader.u32(), 1u); // REG_SZ
    EXPECT_EQ(reader.bytes(), (std::vector<std::uint8_t> { 'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0 }));
}

TEST_F(ServiceTest, InstallWithoutADriverLeavesNothingBehind)
{
    ControlWriter install;
    install.text("ZORV\\Unknown");
    install.text("COM7");
    EXPECT_EQ(call(ControlOp::InstallNode, install).status, kStatusNoSuchDevice);
    EXPECT_TRUE(m_host.nodeIds().empty());
    EXPECT_TRUE(
        m_host.registry().subkeyNames("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS").empty());
    ComDb comDb(m_host.registry());
    std::vector<std::uint8_t> usage;
    ASSERT_EQ(comDb.usage(256, usage), kStatusSuccess);
    EXPECT_EQ(usage[6], 0);
}

TEST_F(ServiceTest, ComDbClaimsAndReleases)
{
    ComDb comDb(m_host.registry());
    bool forced = true;
    EXPECT_EQ(comDb.claim(5, false, forced), kStatusSuccess);
    EXPECT_FALSE(forced);
    EXPECT_EQ(comDb.claim(5, false, forced), kStatusSharingViolation);
    EXPECT_EQ(win32ErrorFromStatus(kStatusSharingViolation), kErrorSharingViolation);
    EXPECT_EQ(comDb.claim(5, true, forced), kStatusSuccess);
    EXPECT_TRUE(forced);
    EXPECT_EQ(comDb.claim(300, false, forced), kStatusSuccess); // the database grows
    for (std::uint32_t bad : { 0u, 4097u })
        EXPECT_EQ(comDb.claim(bad, false, forced), kStatusInvalidParameter);
    std::vector<std::uint8_t> usage;
    ASSERT_EQ(comDb.usage(512, usage), kStatusSuccess);
    EXPECT_EQ(usage[4], 1);
    EXPECT_EQ(usage[299], 1);
    EXPECT_EQ(usage[5], 0);
    EXPECT_EQ(comDb.release(5), kStatusSuccess);
    ASSERT_EQ(comDb.usage(256, usage), kStatusSuccess);
    EXPECT_EQ(usage[4], 0);
    EXPECT_EQ(usage.size(), 256u);
}

TEST(PortDirectory, OnlyPlainDosNamesGetEntries)
{
    using driver::daemon::PortDirectory;
    EXPECT_EQ(PortDirectory::portNameOfLink("\\DosDevices\\COM5"), "COM5");
    EXPECT_EQ(PortDirectory::portNameOfLink("\\??\\COM12"), "COM12");
    EXPECT_EQ(PortDirectory::portNameOfLink("\\??\\ROOT#PORTS#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"), "");
    EXPECT_EQ(PortDirectory::portNameOfLink("\\DosDevices\\..\\x"), "");
    EXPECT_EQ(PortDirectory::portNameOfLink("\\DosDevices\\.hidden"), "");
    EXPECT_EQ(PortDirectory::portNameOfLink("\\Device\\Serial11"), "");
}
