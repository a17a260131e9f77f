#include "utility/vsp/provisioner.h"

#include "common/inf_file.h"
#include "platform/child_process.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

using namespace common;

namespace utility::vsp {

namespace {

} // namespace

std::vector<std::string> comChoiceTexts(const std::vector<std::uint8_t>& usage)
{
    std::vector<std::string> texts;
    for (std::size_t number = 1; number <= kMaxComNumber; ++number) {
        const bool used = number - 1 < usage.size() && usage[number - 1];
        texts.push_back(format(used ? "COM%d (in used)" : "COM%d", static_cast<int>(number)));
    }
    return texts;
}

int firstFreeCom(const std::vector<std::uint8_t>& usage)
{
    for (std::size_t index = 0; index < kMaxComNumber; ++index) {
        if (index >= usage.size() || !usage[index])
            return static_cast<int>(index);
    }
    return 0;
}

Provisioner::Provisioner(PortAccess& access, std::string runtimeDir, std::string devcon)
    : m_access(access)
    , m_runtimeDir(std::move(runtimeDir))
    , m_devcon(std::move(devcon))
{
}

Provisioner::~Provisioner() = default;

Outcome Provisioner::install(const std::string& infName, int number)
{
    // The device installer's part: the INF names the hardware ID the node
    // gets; vorpild creates the node, writes PortName and starts it.
    std::string infPath = infName;
    infPath.erase(std::remove(infPath.begin(), infPath.end(), '"'), infPath.end());
    std::ifstream in(infPath, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    InfDevice device;
    if (!in.good() && !in.eof())
        return { format("SetupOpenInfFile error, %d\n", static_cast<int>(kErrorFileNotFound)) };
    if (text.empty())
        return { format("SetupOpenInfFile error, %d\n", static_cast<int>(kErrorFileNotFound)) };
    if (parseInf(text, device) != InfResult::Ok)
        return { format("search for specified device error, %d\n", static_cast<int>(kErrorNotSupported)) };
    if (!m_access.connected())
        return { format(
            "SetupDiCallClassInstaller(DIF_REGISTERDEVICE) error, %d\n", static_cast<int>(kErrorPipeNotConnected)) };
    std::string instance;
    const NtStatus status = m_access.client()->installNode(device.hardwareId, "COM" + std::to_string(number), instance);
    if (!ntSuccess(status))
        return { format("SetupDiCallClassInstaller : %d", static_cast<int>(win32ErrorFromStatus(status))) };
    return {};
}

Outcome Provisioner::startRemoval(std::size_t portId)
{
    const Outcome failed { "Failed to remove the virtual serial port driver!" };
    const std::string instance = m_access.instanceId(portId);
    if (instance.empty())
        return failed;
    std::vector<std::string> argv;
    if (!m_runtimeDir.empty())
        argv = { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + m_runtimeDir };
    argv.insert(argv.end(), { m_devcon, "remove", instance });
    auto child = platform::ChildProcess::start(argv, true);
    if (!child.ok())
        return failed;
    m_removal = std::make_unique<platform::ChildProcess>(std::move(*child));
    return {};
}

bool Provisioner::finishRemoval(std::chrono::milliseconds limit)
{
    if (!m_removal)
        return false;
    const int code = m_removal->wait(limit).value_or(-1);
    m_removal.reset();
    return code == 0;
}

Outcome Provisioner::changeComNumber(
    std::size_t portId, std::size_t lastPortId, const std::string& oldName, int number, bool& renamed)
{
    renamed = false;
    auto* client = m_access.client();
    const int oldNumber = comNumber(oldName);
    const std::string newName = "COM" + std::to_string(number);
    const std::string id = m_access.instanceId(portId);
    const std::string instance = id.substr(id.rfind('\\') + 1);
    const std::string nodeKey = std::string(kPortsKey) + instance;
    if (!client || id.empty())
        return {};
    const auto nameValue = regString(newName);
    if (ntSuccess(client->regSetValue(nodeKey + "\\Device Parameters", "PortName", kRegSz, nameValue))) {
        bool forced = false;
        if (!ntSuccess(client->comDbClaim(static_cast<std::uint32_t>(number), false, forced)))
            return { "Claim COM PORT Failed" };
        if (!ntSuccess(client->comDbRelease(static_cast<std::uint32_t>(oldNumber))))
            return { "Release COM PORT Failed" };
        std::uint32_t handle = 0;
        const Win32Error opened = m_access.open(portId, handle);
        if (opened != kErrorSuccess)
            return { openFailureText(opened) };
        std::uint8_t input[4];
        storeLe32(input, 0, static_cast<std::uint32_t>(number));
        const Win32Error error = m_access.control(handle, kIoctlSetDosName, input, 0);
        m_access.close(handle);
        if (error != kErrorSuccess)
            return { format("IOCTL_SET_DOS_NAME Failed (0x%x)\n", static_cast<unsigned>(error)) };
        // The SERIALCOMM value the driver created for this port is the one
        // that still names its old COM number (the driver leaves it as it is).
        std::vector<std::string> values;
        std::string valueName;
        if (ntSuccess(client->regEnumValues(std::string(kSerialCommKey), values))) {
            for (const auto& value : values) {
                std::uint32_t type = 0;
                std::vector<std::uint8_t> data;
                if (!ntSuccess(client->regQueryValue(std::string(kSerialCommKey), value, type, data)))
                    continue;
                if (fromRegString(data) == oldName)
                    valueName = value;
            }
        }
        if (valueName.empty()) {
            const long k = static_cast<long>(lastPortId) - static_cast<long>(portId) + 11;
            valueName = "\\Device\\Serial" + std::to_string(k);
        }
        (void)client->regSetValue(std::string(kSerialCommKey), valueName, kRegSz, nameValue);
        renamed = true;
    }
    // vorpild's registry keeps no access lists; its control socket lets the
    // user who owns it write the node's keys, so only the value is written.
    const auto friendly = regString(format(kFriendlyNameFormat.data(), number));
    (void)client->regSetValue(nodeKey, "FriendlyName", kRegSz, friendly);
    return {};
}

} // namespace utility::vsp
