#pragma once

#include "common/control_protocol.h"
#include "common/ntstatus.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {
class SeqPacketSocket;
}

namespace common {

// The answer to a device-control request: its status, the information count
// and the output (its first `information` bytes are the answer).
struct ControlReply {
    NtStatus status = kStatusPending;
    std::uint32_t information = 0;
    std::vector<std::uint8_t> output;
};

// A connection to the driver host's control socket: what an application gets
// from the device installer, the COM name database, the registry and the
// device I/O calls. Every call returns the status the host answered with, or
// kStatusPipeDisconnected when the host cannot be reached. One call at a time.
// The host closes a session that has asked nothing for a while; a client
// that holds no handle then connects again by itself.
class ControlClient {
public:
    // Connects to <runtime dir>/control; an empty directory means the default
    // (VORPIL_RUNTIME_DIR, else the user's runtime directory).
    static NtStatus connect(const std::string& runtimeDir, std::unique_ptr<ControlClient>& client);
    static std::string socketPath(const std::string& runtimeDir);
    ~ControlClient();

    NtStatus enumerateInterfaces(const std::string& guid, std::vector<std::string>& paths);
    NtStatus open(const std::string& path, std::uint32_t& handle);
    NtStatus deviceIoControl(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
        std::uint32_t outputLength, ControlReply& reply);
    NtStatus close(std::uint32_t handle);

    // On failure `reason`, when given, says why if the host told.
    NtStatus installNode(const std::string& hardwareId, const std::string& portName, std::string& instanceId,
        std::string* reason = nullptr);
    NtStatus removeNode(const std::string& instanceId);
    NtStatus listNodes(std::vector<NodeInfo>& nodes);
    NtStatus terminals(std::vector<std::string>& lines);

    NtStatus regQueryValue(
        const std::string& key, const std::string& name, std::uint32_t& type, std::vector<std::uint8_t>& data);
    NtStatus regSetValue(
        const std::string& key, const std::string& name, std::uint32_t type, std::span<const std::uint8_t> data);
    NtStatus regDeleteValue(const std::string& key, const std::string& name);
    NtStatus regDeleteKey(const std::string& key);
    NtStatus regEnumValues(const std::string& key, std::vector<std::string>& names);
    NtStatus regEnumKeys(const std::string& key, std::vector<std::string>& names);

    // One byte per COM number 1..highest, non-zero when in use.
    NtStatus comDbUsage(std::uint32_t highest, std::vector<std::uint8_t>& usage);
    NtStatus comDbClaim(std::uint32_t number, bool force, bool& forced);
    NtStatus comDbRelease(std::uint32_t number);

    // Sends one raw datagram and returns the raw answer (tests use it).
    NtStatus exchange(std::span<const std::uint8_t> datagram, std::vector<std::uint8_t>& answer);
    // How often a closed session was begun again: the host may have been
    // restarted in between.
    std::uint32_t reconnections() const { return m_reconnections; }

private:
    ControlClient(std::unique_ptr<platform::SeqPacketSocket> socket, std::string path);
    NtStatus exchangeOnce(std::span<const std::uint8_t> datagram, std::vector<std::uint8_t>& answer);
    NtStatus call(ControlOp operation, const ControlWriter& request, std::vector<std::uint8_t>& payload);
    NtStatus readTexts(ControlOp operation, const ControlWriter& request, std::vector<std::string>& texts);

    std::unique_ptr<platform::SeqPacketSocket> m_socket;
    std::string m_path;
    std::size_t m_handles = 0; // open handles, which a new session would not have
    std::uint32_t m_reconnections = 0; // sessions begun again by exchange()
};

} // namespace common
