#pragma once

#include "common/control_protocol.h"
#include "driver/daemon/com_db.h"
#include "driver/host/host.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace driver::daemon {

class PortDirectory;

// What one client of the control socket holds: its open handles, closed
// when it goes away, however it goes.
struct ControlSession {
    ~ControlSession();
    std::map<std::uint32_t, std::unique_ptr<host::FileHandle>> handles;
    std::uint32_t nextHandle = 1;
};

// Answers the control socket's requests against the driver host: what the
// device installer, the COM name database, the registry and device I/O give
// the utility on the original system. Every datagram gets an answer; a
// malformed one gets STATUS_INVALID_PARAMETER.
class ControlService {
public:
    static constexpr std::size_t kMaxHandlesPerSession = 64;
    // The highest COM number a port may be installed as: the utility keeps 256 ports.
    static constexpr std::uint32_t kHighestComNumber = 256;

    ControlService(host::Host& host, PortDirectory* directory);

    std::vector<std::uint8_t> handle(ControlSession& session, std::span<const std::uint8_t> datagram);

    // "ROOT\PORTS\0000" from "@root\ports\0000" (the form the console tool takes).
    static std::string instanceIdOf(std::string_view text);

private:
    common::NtStatus dispatch(
        ControlSession& session, common::ControlOp operation, common::ControlReader& in, common::ControlWriter& out);
    common::NtStatus installNode(
        const std::string& hardwareId, const std::string& portName, std::string& instanceId, std::string& reason);
    common::NtStatus removeNode(const std::string& instanceId);
    // The instance ID of the node that has `portName`; empty when none has.
    std::string nodeNamed(const std::string& portName);
    void listNodes(common::ControlWriter& out);
    // What each connected RFC 2217 port's server said to COM-PORT-OPTION, by upper-case COM name.
    std::map<std::string, std::string> comPortOptions();

    host::Host& m_host;
    PortDirectory* m_directory;
    ComDb m_comDb;
    std::mutex m_nodesMutex; // serialises installing, removing and listing nodes
    std::mutex m_comDbMutex; // serialises the database's read-modify-write
};

} // namespace driver::daemon
