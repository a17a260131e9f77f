#include "common/serial_ioctl.h"
#include "tests/driver/port_harness.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace common;
using namespace driver_testing;
using driver::host::HostOp;
using driver::host::PnpMinor;

namespace {

const std::string kParameters
    = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000\\Device Parameters";
const std::string kSerialComm = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kInterfacePath = "\\\\?\\root#ports#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

std::uint32_t dword(driver::host::Host& host, const std::string& key, const std::string& name)
{
    std::uint32_t value = 0xDEADBEEF;
    (void)host.registry().queryDword(key, name, value);
    return value;
}

} // namespace

TEST(PortLifecycle, FirstPortIsSerial11AndIsNamedFromPortName)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    EXPECT_EQ(harness.driver().portCounter(), 11u);
    ASSERT_NE(harness.port(11), nullptr);
    auto& names = harness.host().names();
    EXPECT_EQ(names.linkTarget("\\DosDevices\\COM5").value_or(""), "\\Device\\Serial11");
    std::string mapped;
    EXPECT_EQ(harness.host().registry().queryString(kSerialComm, "\\Device\\Serial11", mapped), kStatusSuccess);
    EXPECT_EQ(mapped, "COM5");
    EXPECT_EQ(
        harness.host().interfacePaths(driver::kComPortInterfaceGuid), std::vector<std::string> { kInterfacePath });

    // Opened by its COM name and by its interface path alike.
    auto byName = harness.open("\\\\.\\COM5");
    ASSERT_NE(byName, nullptr);
    byName->close();
    EXPECT_NE(harness.open(kInterfacePath), nullptr);
}

TEST(PortLifecycle, PortWithoutPortNameStartsUnnamedButListed)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort(""), kStatusSuccess);
    EXPECT_TRUE(harness.host().names().links().size() == 1); // the interface link only
    EXPECT_TRUE(harness.host().registry().valueNames(kSerialComm).empty());
    EXPECT_EQ(harness.host().interfacePaths(driver::kComPortInterfaceGuid).size(), 1u);
    EXPECT_NE(harness.open(kInterfacePath), nullptr);
}

struct CreationFault {
    const char* step;
    HostOp op;
    int nth;
    NtStatus injected;
    NtStatus expected;
};

class PortCreationFailure : public testing::TestWithParam<CreationFault> { };

TEST_P(PortCreationFailure, LeavesNothingBehindAndConsumesItsNumber)
{
    const CreationFault& fault = GetParam();
    PortHarness harness;
    harness.host().faults().failNth(fault.op, fault.nth, fault.injected);
    EXPECT_EQ(harness.addPort("COM5"), fault.expected) << fault.step;
    EXPECT_EQ(harness.port(11), nullptr);
    EXPECT_TRUE(harness.host().names().links().empty());
    EXPECT_TRUE(harness.host().interfacePaths(driver::kComPortInterfaceGuid).empty());

    harness.host().faults().reset();
    ASSERT_EQ(harness.addPort("COM6"), kStatusSuccess);
    EXPECT_EQ(harness.driver().portCounter(), 12u);
    EXPECT_NE(harness.port(12), nullptr);
    EXPECT_EQ(harness.host().names().linkTarget("\\DosDevices\\COM6").value_or(""), "\\Device\\Serial12");
}

INSTANTIATE_TEST_SUITE_P(EveryStep, PortCreationFailure,
    testing::Values(CreationFault { "create device", HostOp::CreateDevice, 1, kStatusInsufficientResources,
                        kStatusInsufficientResources },
        CreationFault { "attach", HostOp::AttachDevice, 1, kStatusUnsuccessful, kStatusUnsuccessful },
        CreationFault { "buffers", HostOp::Allocate, 1, kStatusInsufficientResources, kStatusInsufficientResources },
        CreationFault { "fourth work item", HostOp::AllocateWorkItem, 4, kStatusInsufficientResources,
            kStatusInsufficientResources },
        CreationFault {
            "remainder buffer", HostOp::Allocate, 2, kStatusInsufficientResources, kStatusInsufficientResources },
        CreationFault {
            "interface", HostOp::RegisterInterface, 1, kStatusObjectNameCollision, kStatusObjectNameCollision },
        CreationFault { "lower start", HostOp::LowerStart, 1, kStatusUnsuccessful, kStatusUnsuccessful }),
    [](const testing::TestParamInfo<CreationFault>& info) {
        std::string name = info.param.step;
        std::erase(name, ' ');
        return name;
    });

TEST(PortConfiguration, DefaultsAreWrittenToANodeWithoutValues)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto& host = harness.host();
    EXPECT_EQ(dword(host, kParameters, "RemoteHostIP"), 0x0200A8C0u);
    EXPECT_EQ(dword(host, kParameters, "RemoteHostPort"), 0x8813u);
    EXPECT_EQ(dword(host, kParameters, "Protocol"), 0u);
    EXPECT_EQ(dword(host, kParameters, "ConnectAtWinStart"), 0u);
    EXPECT_EQ(dword(host, kParameters, "ConnType"), 1u);
    EXPECT_EQ(dword(host, kParameters, "CmdByte"), 1u);
    EXPECT_EQ(dword(host, kParameters, "MaxPacketLen"), 450u);
    EXPECT_EQ(dword(host, kParameters, "LocalPort"), 0x7117u);
    const auto& config = harness.port(11)->config;
    EXPECT_EQ(config.remoteHostIp, 0x0200A8C0u);
    EXPECT_EQ(config.remoteHostPort, 0x8813);
    EXPECT_EQ(config.localPort, 0x7117);
    EXPECT_EQ(config.bindAddress, 0u);
}

TEST(PortConfiguration, StoredValuesAreTakenAndOneMissingValueRestoresAllDefaults)
{
    PortHarness harness;
    std::string id;
    auto& host = harness.host();
    ASSERT_EQ(host.createNode(driver::kHardwareId, id), kStatusSuccess);
    const char* names[] = { "RemoteHostIP", "RemoteHostPort", "Protocol", "ConnectAtWinStart", "ConnType", "CmdByte",
        "MaxPacketLen", "LocalPort" };
    const std::uint32_t values[] = { 0x0A00A8C0, 0x11223344, 0x101, 0, 0, 0, 1024, 0x8917 };
    for (int i = 0; i < 8; ++i)
        host.registry().setDword(kParameters, names[i], values[i]);
    ASSERT_EQ(host.bringUpNode(id), kStatusSuccess);
    const auto& config = harness.port(11)->config;
    EXPECT_EQ(config.remoteHostIp, 0x0A00A8C0u);
    EXPECT_EQ(config.remoteHostPort, 0x3344); // low 16 bits
    EXPECT_EQ(config.protocol, 1); // low 8 bits
    EXPECT_EQ(config.connType, 0u);
    EXPECT_EQ(config.maxPacketLen, 1024u);
    EXPECT_EQ(dword(host, kParameters, "RemoteHostPort"), 0x11223344u); // not rewritten

    // A second node with one value missing gets all eight defaults.
    std::string second;
    ASSERT_EQ(host.createNode(driver::kHardwareId, second), kStatusSuccess);
    const std::string key = host.findNode(second)->hardwareKeyPath();
    host.registry().setDword(key, "RemoteHostIP", 0x0A00A8C0);
    host.registry().setDword(key, "MaxPacketLen", 1024);
    ASSERT_EQ(host.bringUpNode(second), kStatusSuccess);
    EXPECT_EQ(harness.port(12)->config.remoteHostIp, 0x0200A8C0u);
    EXPECT_EQ(dword(host, key, "MaxPacketLen"), 450u);
}

TEST(PortConfiguration, ValuesAndByteOrdersSurviveAHostRestart)
{
    testing_support::TempDir dir;
    const std::string file = dir.file("system.reg");
    {
        PortHarness harness(PortHarness::Options { nullptr, file, false });
        ASSERT_EQ(harness.addPort("COM7"), kStatusSuccess);
        harness.host().registry().setDword(kParameters, "RemoteHostPort", 0x0F27); // port 9999
    }
    const std::string text = dir.read("system.reg");
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(text.find("\"RemoteHostIP\"=dword:0200a8c0\n"), std::string::npos);
    EXPECT_NE(text.find("\"LocalPort\"=dword:00007117\n"), std::string::npos);
    EXPECT_NE(text.find("\"PortName\"=\"COM7\"\n"), std::string::npos);
    EXPECT_EQ(text.find("SERIALCOMM"), std::string::npos); // the device map is not kept

    PortHarness restarted(PortHarness::Options { nullptr, file, false });
    auto* port = restarted.port(11);
    ASSERT_NE(port, nullptr) << "the node is brought up again from the registry";
    EXPECT_EQ(port->config.remoteHostIp, 0x0200A8C0u);
    EXPECT_EQ(port->config.remoteHostPort, 0x0F27);
    EXPECT_EQ(port->config.localPort, 0x7117);
    EXPECT_EQ(restarted.host().names().linkTarget("\\DosDevices\\COM7").value_or(""), "\\Device\\Serial11");
    EXPECT_EQ(restarted.host().registry().valueNames(kSerialComm).size(), 1u);
}

TEST(PortNaming, AFailedNamingStepIsUndone)
{
    for (HostOp op : { HostOp::CreateLink, HostOp::WriteDeviceMap }) {
        PortHarness harness;
        harness.host().faults().failNth(op, 1, kStatusInsufficientResources);
        ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess) << "a naming failure leaves the port started";
        EXPECT_FALSE(harness.host().names().linkTarget("\\DosDevices\\COM5").has_value());
        EXPECT_TRUE(harness.host().registry().valueNames(kSerialComm).empty());
        EXPECT_NE(harness.open(kInterfacePath), nullptr);
    }
}

TEST(PortOpen, ASecondOpenFailsUntilTheFirstHandleCloses)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    NtStatus status = 0;
    auto first = harness.open("COM5", &status);
    ASSERT_EQ(status, kStatusSuccess);
    EXPECT_EQ(harness.open("COM5", &status), nullptr);
    EXPECT_EQ(status, 0xC0000184u);
    EXPECT_EQ(first->close(), kStatusSuccess);
    EXPECT_NE(harness.open("COM5", &status), nullptr);
    EXPECT_EQ(status, kStatusSuccess);
}

TEST(PortOpen, OpenResetsModemLinesAndCloseDropsCtsAndDsr)
{
    PortHarness harness({ nullptr, "", false });
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    handle->deviceIoControl(kIoctlSerialSetDtr, {}, 0);
    handle->deviceIoControl(kIoctlSerialSetRts, {}, 0);
    const std::uint8_t report[] = { 0x33, 0x00, 0x02, 0xA3, 0xF0 };
    driver::reportModemStatus(*harness.port(11), report); // CTS DSR RI DCD
    handle->close();
    auto* port = harness.port(11);
    EXPECT_EQ(port->serial.modemStatus, 0xC0u);
    EXPECT_EQ(port->serial.modemControl, 3u);
    handle = harness.open("COM5");
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetModemStatus, {}, 4).output), 0u);
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetDtrRts, {}, 4).output), 0u);
}

TEST(PortOpen, OnlyTheFirstOpenAfterAStartConnectsAPortSetToConnect)
{
    PortHarness harness({ nullptr, "", false });
    std::string id;
    auto& host = harness.host();
    ASSERT_EQ(host.createNode(driver::kHardwareId, id), kStatusSuccess);
    host.registry().setString(kParameters, "PortName", "COM5");
    const char* names[] = { "RemoteHostIP", "RemoteHostPort", "Protocol", "ConnectAtWinStart", "ConnType", "CmdByte",
        "MaxPacketLen", "LocalPort" };
    const std::uint32_t values[] = { 0x0200A8C0, 0x8813, 0, 1, 1, 1, 450, 0x7217 };
    for (int i = 0; i < 8; ++i)
        host.registry().setDword(kParameters, names[i], values[i]);
    ASSERT_EQ(host.bringUpNode(id), kStatusSuccess);
    harness.settle();
    auto& transport = harness.transports().at(0);

    harness.open("COM5")->close();
    EXPECT_EQ(transport.connects(), 1);
    EXPECT_EQ(harness.port(11)->config.savedLocalPort, 0x7217);
    transport.setConnected(false); // the link dropped
    harness.open("COM5")->close();
    EXPECT_EQ(transport.connects(), 1) << "the start flag was consumed";

    ASSERT_EQ(host.stopNode(id), kStatusSuccess);
    ASSERT_EQ(host.restartNode(id), kStatusSuccess);
    harness.open("COM5")->close();
    EXPECT_EQ(transport.connects(), 2);
}

TEST(PortPnp, QueryRemoveWithAnOpenHandleIsBusyAfterTwoSeconds)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    const auto start = harness.clock().now();
    EXPECT_EQ(harness.host().removeNode("ROOT\\PORTS\\0000"), 0x80000011u);
    EXPECT_GE(harness.clock().now() - start, std::chrono::seconds(2));
    EXPECT_EQ(harness.port(11)->state, driver::PortState::Started);
    EXPECT_EQ(harness.host().names().linkTarget("\\DosDevices\\COM5").value_or(""), "\\Device\\Serial11");
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialGetBaudRate, {}, 4).status, kStatusSuccess);

    handle->close();
    EXPECT_EQ(harness.host().removeNode("ROOT\\PORTS\\0000"), kStatusSuccess);
    EXPECT_EQ(harness.port(11), nullptr);
    EXPECT_FALSE(harness.host().names().linkTarget("\\DosDevices\\COM5").has_value());
    EXPECT_TRUE(harness.host().registry().valueNames(kSerialComm).empty());
    EXPECT_TRUE(harness.host().interfacePaths(driver::kComPortInterfaceGuid).empty());
    EXPECT_EQ(harness.transports().at(0).removals(), 1);
}

TEST(PortPnp, QueryStopWithAnOpenHandleIsBusyAndCancelStopRestoresStarted)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    EXPECT_EQ(harness.host().stopNode("ROOT\\PORTS\\0000"), kStatusDeviceBusy);
    EXPECT_EQ(harness.port(11)->state, driver::PortState::Started);
    handle->close();

    ASSERT_EQ(harness.host().stopNode("ROOT\\PORTS\\0000"), kStatusSuccess);
    NtStatus status = 0;
    EXPECT_EQ(harness.open("COM5", &status), nullptr);
    EXPECT_EQ(status, kStatusInvalidDeviceState);
    ASSERT_EQ(harness.host().restartNode("ROOT\\PORTS\\0000"), kStatusSuccess);
    EXPECT_NE(harness.open("COM5"), nullptr);
}

TEST(PortPnp, SurpriseRemovalDropsTheNameAtOnceAndRemovesAfterTheLastClose)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    handle->deviceIoControl(kIoctlSerialSetWaitMask, le32({ kSerialEvCts }), 0);
    auto wait = driver::host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    ASSERT_EQ(handle->submit(wait), kStatusPending);

    ASSERT_EQ(harness.host().surpriseRemoveNode("ROOT\\PORTS\\0000"), kStatusSuccess);
    EXPECT_FALSE(harness.host().names().linkTarget("\\DosDevices\\COM5").has_value());
    EXPECT_TRUE(harness.host().registry().valueNames(kSerialComm).empty());
    EXPECT_TRUE(harness.host().interfacePaths(driver::kComPortInterfaceGuid).empty());
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialGetBaudRate, {}, 4).status, kStatusInvalidDeviceState);
    EXPECT_NE(harness.port(11), nullptr) << "removal waits for the handle";

    handle->close();
    EXPECT_TRUE(wait->finished());
    EXPECT_EQ(wait->status(), kStatusSuccess);
    EXPECT_EQ(harness.port(11), nullptr);
}

TEST(PortPnp, QueryCapabilitiesClearsSurpriseRemovalOk)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto request = driver::host::Request::makePnp(PnpMinor::QueryCapabilities);
    auto* device = harness.port(11)->self;
    harness.host().callDriver(*device, request);
    EXPECT_EQ(request->wait(), kStatusSuccess);
    EXPECT_FALSE(request->capabilities().surpriseRemovalOk);
    EXPECT_TRUE(request->capabilities().silentInstall); // the bus's answer passes through
}

TEST(PortPnp, RequestsAfterRemovalCompleteWithoutTouchingThePort)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto device = harness.host().names().resolve("\\Device\\Serial11");
    ASSERT_EQ(harness.host().removeNode("ROOT\\PORTS\\0000"), kStatusSuccess);
    auto pnp = driver::host::Request::makePnp(PnpMinor::QueryDeviceRelations);
    EXPECT_EQ(harness.host().callDriver(*device, pnp), kStatusDeletePending);
    auto control = driver::host::Request::makeDeviceControl(kIoctlSerialGetBaudRate, {}, 4);
    EXPECT_EQ(harness.host().callDriver(*device, control), kStatusInvalidDeviceState);
    auto wmi = driver::host::Request::make(driver::host::MajorFunction::SystemControl);
    EXPECT_EQ(harness.host().callDriver(*device, wmi), kStatusDeletePending);
}

TEST(PortFileInformation, StandardAndPositionAnswerZerosOthersAreRefused)
{
    using driver::host::FileInformationClass;
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    struct Case {
        FileInformationClass infoClass;
        std::size_t length;
        NtStatus status;
        std::size_t information;
    };
    for (const Case& c : { Case { FileInformationClass::Standard, 24, kStatusSuccess, 24 },
             Case { FileInformationClass::Position, 8, kStatusSuccess, 8 },
             Case { FileInformationClass::Standard, 23, kStatusBufferTooSmall, 0 },
             Case { FileInformationClass::Basic, 40, kStatusInvalidParameter, 0 } }) {
        auto reply = handle->queryInformation(c.infoClass, c.length);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.information, c.information);
    }
    EXPECT_EQ(handle->setInformation(FileInformationClass::EndOfFile, {}).status, kStatusSuccess);
    EXPECT_EQ(handle->setInformation(FileInformationClass::Allocation, {}).status, kStatusSuccess);
    EXPECT_EQ(handle->setInformation(FileInformationClass::Position, {}).status, kStatusInvalidParameter);
    auto internal = driver::host::Request::make(driver::host::MajorFunction::InternalDeviceControl);
    EXPECT_EQ(handle->submit(internal), kStatusInvalidDeviceRequest);
}
