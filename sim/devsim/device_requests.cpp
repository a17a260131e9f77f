#include "sim/devsim/device.h"

#include <algorithm>
#include <string_view>

// The requests a device acts on: new settings, factory settings, reboot,
// firmware upgrade, status and the connection notice.
namespace sim::devsim {
namespace {

// Request layouts (identification requests, Upgrade, ConnectNotice).
constexpr std::size_t kRequestNameOffset = 10;
constexpr std::size_t kRequestMacOffset = 26;
constexpr std::size_t kIdentificationSize = 32; // up to the end of the MAC
constexpr std::size_t kUpgradeServerOffset = 32;
constexpr std::size_t kUpgradeFileOffset = 36;
constexpr std::size_t kNoticeAddressOffset = 10;
constexpr std::size_t kNoticePortOffset = 14;
// StatusReply layout.
constexpr std::size_t kStatusModemOffset = 9;
constexpr std::size_t kStatusVersionOffset = 10;
constexpr std::size_t kStatusVersionSize = 12;
constexpr std::size_t kStatusTxOffset = 22;
constexpr std::size_t kStatusRxOffset = 26;

// An address a device cannot take as its own.
bool unusableAddress(platform::Ipv4 address) { return address == 0 || address == 0xFFFFFFFF || (address >> 28) == 0xE; }

} // namespace

void Device::onSetConfig(std::span<const std::uint8_t> request, const platform::Endpoint& from)
{
    auto decoded = decodeDeviceConfig(request);
    if (!decoded.ok()) {
        ignore("SetConfig", decoded.error().message);
        return;
    }
    DeviceConfig next = std::move(*decoded);
    next.mac = m_settings.mac; // the MAC is the device's own, not a setting
    // Taking 0.0.0.0, a broadcast or a multicast address would make the
    // device answer for every other one (or for no one); keep the old one.
    if (unusableAddress(next.currentAddress)) {
        m_log.event(label() + ": SetConfig asks for address " + platform::formatIpv4(next.currentAddress)
            + ", which a device cannot use; keeping " + label());
        next.currentAddress = m_settings.currentAddress;
    }
    const std::string before = label();
    m_settings = std::move(next);
    // The reply still leaves from the old address: the new one is taken at
    // the restart.
    sendRecord(opcode::kSetConfigReply, from);
    restart("new settings (" + before + " -> " + label() + ")");
}

void Device::onRestore(std::span<const std::uint8_t> request, const platform::Endpoint& from)
{
    if (request.size() < kIdentificationSize) {
        ignore("Restore", "too short");
        return;
    }
    if (!isAddressedToMe(request, false)) {
        ignore("Restore", "for another device");
        return;
    }
    const std::string before = label();
    m_settings = m_factory;
    sendRecord(opcode::kRestoreReply, from);
    restart("factory settings (" + before + " -> " + label() + ")");
}

void Device::onReboot(std::span<const std::uint8_t> request, const platform::Endpoint& from)
{
    if (request.size() < kIdentificationSize) {
        ignore("Reboot", "too short");
        return;
    }
    if (!isAddressedToMe(request, true)) {
        ignore("Reboot", "for another device");
        return;
    }
    if (m_options.rebootReply)
        sendRecord(opcode::kRebootReply, from);
    restart("reboot requested");
}

void Device::onUpgrade(std::span<const std::uint8_t> request, const platform::Endpoint& from)
{
    if (request.size() < kUpgradeSize) {
        ignore("Upgrade", "too short");
        return;
    }
    if (!isAddressedToMe(request, true)) {
        ignore("Upgrade", "for another device");
        return;
    }
    if (m_upgrade) {
        ignore("Upgrade", "an upgrade is already running");
        return;
    }
    const platform::Ipv4 server = getUint32(request, kUpgradeServerOffset);
    const std::string file = getText(request, kUpgradeFileOffset, kFileNameSize);
    if (unusableAddress(server) || file.empty()) {
        ignore("Upgrade", "no usable server address or file name");
        return;
    }
    TftpClient::Options options;
    options.localAddress = m_boundAddress;
    options.server = { server, m_options.tftpPort };
    options.fileName = file;
    options.timeout = m_options.tftpTimeout;
    options.retries = m_options.tftpRetries;
    m_upgrade = std::make_unique<TftpClient>(
        m_loop, options, [this](platform::Result<std::vector<std::uint8_t>> result) { onUpgradeDone(result); });
    auto started = m_upgrade->start();
    if (!started.ok()) {
        m_upgrade.reset();
        m_log.event(label() + ": upgrade cannot start: " + started.error().message);
        return;
    }
    m_log.event(label() + ": upgrade requested by " + from.text() + ": fetching \"" + file + "\" from "
        + options.server.text());
}

void Device::onUpgradeDone(platform::Result<std::vector<std::uint8_t>> result)
{
    m_upgrade.reset();
    if (!result.ok()) {
        // The old firmware keeps running; the utility sees the unchanged
        // version in its next search.
        m_log.event(label() + ": upgrade failed: " + result.error().message);
        return;
    }
    // A device does not flash an empty image: it keeps the firmware it runs.
    if (result->empty()) {
        m_log.event(
            label() + ": upgrade failed: the firmware file is empty; keeping version " + m_status.firmwareVersion);
        return;
    }
    m_firmwareImage = std::move(*result);
    m_status.firmwareVersion = versionFromFirmware(m_firmwareImage);
    m_log.event(label() + ": loaded " + std::to_string(m_firmwareImage.size()) + " bytes of firmware, version "
        + m_status.firmwareVersion);
    restart("firmware upgrade");
}

void Device::onStatusQuery(const platform::Endpoint& from)
{
    std::vector<std::uint8_t> reply(kStatusReplySize, 0);
    std::copy(kSignature.begin(), kSignature.end(), reply.begin());
    reply[8] = opcode::kStatusReply;
    reply[kStatusModemOffset] = m_status.modemStatus;
    putText(reply, kStatusVersionOffset, kStatusVersionSize, m_status.firmwareVersion);
    putUint32(reply, kStatusTxOffset, m_status.serialTxCount);
    putUint32(reply, kStatusRxOffset, m_status.serialRxCount);
    sendReply(std::move(reply), from);
}

void Device::onConnectNotice(std::span<const std::uint8_t> request, const platform::Endpoint& from)
{
    if (request.size() < kConnectNoticeSize) {
        ignore("ConnectNotice", "too short");
        return;
    }
    ++m_connectNotices;
    const platform::Endpoint host { getUint32(request, kNoticeAddressOffset), getUint16(request, kNoticePortOffset) };
    m_log.datagram(label() + ": ConnectNotice from " + from.text() + " for host " + host.text() + " ("
        + std::to_string(m_connectNotices) + " so far), no answer");
}

namespace {

// "ZIR" followed by a row number (1..256), as the utility names a device
// that reports none.
bool isRowName(const std::string& name)
{
    constexpr std::string_view kPrefix = "ZIR";
    if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0 || name[kPrefix.size()] == '0')
        return false;
    return std::all_of(name.begin() + kPrefix.size(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool Device::isAddressedToMe(std::span<const std::uint8_t> request, bool checkName) const
{
    if (!std::equal(m_settings.mac.begin(), m_settings.mac.end(), request.begin() + kRequestMacOffset))
        return false;
    if (!checkName)
        return true;
    // The utility shows (and sends back) the name without 0xCC bytes, and a
    // device without a name as "ZIR" and its list row number, which the
    // device cannot know: any such name is this device's.
    std::string shown = m_settings.name;
    std::erase(shown, static_cast<char>(0xCC));
    const std::string sent = getText(request, kRequestNameOffset, kNameSize);
    if (shown.empty())
        return sent.empty() || isRowName(sent);
    return sent == shown;
}

} // namespace sim::devsim
