#include "utility/vsp/provisioner.h"

#include "common/inf_file.h"
#include "platform/child_process.h"
#include "platform/port_io.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
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

std::string devconBesideProgram()
{
    const std::filesystem::path beside = platform::programDirectory() + "devcon";
    std::error_code error;
    const auto status = std::filesystem::status(beside, error);
    const auto execute
        = std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec | std::filesystem::perms::others_exec;
    if (!error && std::filesystem::is_regular_file(status)
        && (status.permissions() & execute) != std::filesystem::perms::none)
        return beside.string();
    return "devcon";
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

namespace {

// The steps done so far, undone in reverse order when a later one fails.
class Undo {
public:
    ~Undo()
    {
        for (auto step = m_steps.rbegin(); step != m_steps.rend(); ++step)
            (*step)();
    }
    void add(std::function<void()> step) { m_steps.push_back(std::move(step)); }
    void commit() { m_steps.clear(); }

private:
    std::vector<std::function<void()>> m_steps;
};

} // namespace

bool Provisioner::stepFails(const char* step) const { return m_failStep && m_failStep(step); }

Win32Error Provisioner::setDosName(std::size_t portId, int number)
{
    std::uint32_t handle = 0;
    const Win32Error opened = m_access.open(portId, handle);
    if (opened != kErrorSuccess)
        return opened;
    std::uint8_t input[4];
    storeLe32(input, 0, static_cast<std::uint32_t>(number));
    const Win32Error error = m_access.control(handle, kIoctlSetDosName, input, 0);
    m_access.close(handle);
    return error;
}

// All or nothing: each step that went through is undone when a later one
// fails, so a refused number leaves every name where it was.
Outcome Provisioner::changeComNumber(
    std::size_t portId, std::size_t lastPortId, const std::string& oldName, int number, bool& renamed)
{
    renamed = false;
    auto* client = m_access.connected() ? m_access.client() : nullptr;
    const int oldNumber = comNumber(oldName);
    const std::string newName = "COM" + std::to_string(number);
    const std::string id = m_access.instanceId(portId);
    if (!client || id.empty())
        return { "Open COM DB Failed" };
    const std::string nodeKey = std::string(kPortsKey) + id.substr(id.rfind('\\') + 1);
    const std::string parameters = nodeKey + "\\Device Parameters";
    const auto nameValue = regString(newName);
    Undo undo;
    auto readValue = [&](const std::string& key, const std::string& name) {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (!ntSuccess(client->regQueryValue(key, name, type, data)))
            data.clear();
        return data;
    };
    auto restoreValue = [client](const std::string& key, const std::string& name, std::vector<std::uint8_t> old) {
        if (old.empty())
            (void)client->regDeleteValue(key, name);
        else
            (void)client->regSetValue(key, name, kRegSz, old);
    };

    bool forced = false;
    if (stepFails("claim") || !ntSuccess(client->comDbClaim(static_cast<std::uint32_t>(number), false, forced)))
        return { "Claim COM PORT Failed" };
    undo.add([client, number] { (void)client->comDbRelease(static_cast<std::uint32_t>(number)); });

    const auto oldPortName = readValue(parameters, "PortName");
    if (stepFails("PortName") || !ntSuccess(client->regSetValue(parameters, "PortName", kRegSz, nameValue)))
        return { "Write PortName Failed" };
    undo.add([=] { restoreValue(parameters, "PortName", oldPortName); });

    if (stepFails("release") || !ntSuccess(client->comDbRelease(static_cast<std::uint32_t>(oldNumber))))
        return { "Release COM PORT Failed" };
    undo.add([client, oldNumber] {
        bool again = false;
        (void)client->comDbClaim(static_cast<std::uint32_t>(oldNumber), true, again);
    });

    const Win32Error moved = stepFails("SET_DOS_NAME") ? kErrorBadCommand : setDosName(portId, number);
    if (moved != kErrorSuccess)
        return { moved == kErrorBadCommand ? openFailureText(moved)
                                           : errorText("IOCTL_SET_DOS_NAME Failed (0x%x)\n", moved) };
    undo.add([this, portId, oldNumber] { (void)setDosName(portId, oldNumber); });

    // The SERIALCOMM value the driver created for this port is the one that
    // still names its old COM number (the driver leaves it as it is).
    std::vector<std::string> values;
    std::string valueName;
    if (ntSuccess(client->regEnumValues(std::string(kSerialCommKey), values))) {
        for (const auto& value : values) {
            if (fromRegString(readValue(std::string(kSerialCommKey), value)) == oldName)
                valueName = value;
        }
    }
    if (valueName.empty()) {
        const long k = static_cast<long>(lastPortId) - static_cast<long>(portId) + 11;
        valueName = "\\Device\\Serial" + std::to_string(k);
    }
    const auto oldMapValue = readValue(std::string(kSerialCommKey), valueName);
    if (stepFails("SERIALCOMM")
        || !ntSuccess(client->regSetValue(std::string(kSerialCommKey), valueName, kRegSz, nameValue)))
        return { "Write SERIALCOMM Failed" };
    undo.add([=] { restoreValue(std::string(kSerialCommKey), valueName, oldMapValue); });

    // vorpild's registry keeps no access lists; its control socket lets the
    // user who owns it write the node's keys, so only the value is written.
    const auto friendly = regString(format(kFriendlyNameFormat.data(), number));
    if (stepFails("FriendlyName") || !ntSuccess(client->regSetValue(nodeKey, "FriendlyName", kRegSz, friendly)))
        return { "Write FriendlyName Failed" };
    undo.commit();
    renamed = true;
    return {};
}

} // namespace utility::vsp
