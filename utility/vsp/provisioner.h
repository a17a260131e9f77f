#pragma once

#include "utility/vsp/port_access.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class ChildProcess;
}

namespace utility::vsp {

inline constexpr std::string_view kFriendlyNameFormat = "ZORV Virtual Serial Port (COM%d)";

// "COM%d" or "COM%d (in used)" for COM1..COM256.
std::vector<std::string> comChoiceTexts(const std::vector<std::uint8_t>& usage);
// Index of the first free number (0 when none is free).
int firstFreeCom(const std::vector<std::uint8_t>& usage);

// The devcon installed beside the running program; the bare name (found on
// PATH) when there is none. The window and `qelta vsp` both remove with it.
std::string devconBesideProgram();

// What a provisioning step ended with: empty when it went through, else the
// text the user is shown.
struct Outcome {
    std::string failure;
    bool ok() const { return failure.empty(); }
};

// Creating, removing and renaming ports on the driver host: the device
// installer's part of Add, "devcon remove" for Remove, and the bookkeeping of
// a COM number change.
class Provisioner {
public:
    Provisioner(PortAccess& access, std::string runtimeDir, std::string devcon);
    ~Provisioner();
    Provisioner(const Provisioner&) = delete;
    Provisioner& operator=(const Provisioner&) = delete;

    // Installs a node from the INF `infName` named COM`number`.
    Outcome install(const std::string& infName, int number);

    // Starts "devcon remove" for the port; the removal then runs until
    // finishRemoval collects it.
    Outcome startRemoval(std::size_t portId);
    bool removing() const { return m_removal != nullptr; }
    // Waits for the tool (at most `limit`); true when it removed the port.
    bool finishRemoval(std::chrono::milliseconds limit);

    // Moves the port `portId` (named `oldName`) to COM`number`: claims the
    // number, writes PortName, releases the old number, moves the DOS link,
    // writes the SERIALCOMM value and the FriendlyName. All or nothing: a
    // failing step undoes the ones before it and its text says which failed.
    // `lastPortId` is the Port ID of the list's last row (the device map's
    // value name is derived from it when the driver's own value cannot be
    // found). `renamed` tells whether the port has the new name now.
    Outcome changeComNumber(
        std::size_t portId, std::size_t lastPortId, const std::string& oldName, int number, bool& renamed);

    // Makes the named step ("claim", "PortName", "release", "SET_DOS_NAME",
    // "SERIALCOMM", "FriendlyName") fail as if the host had refused it; for
    // tests of the undo, which the host's own failures cannot all reach.
    void setStepFailure(std::function<bool(const std::string&)> fails) { m_failStep = std::move(fails); }

private:
    bool stepFails(const char* step) const;
    common::Win32Error setDosName(std::size_t portId, int number);

    PortAccess& m_access;
    std::string m_runtimeDir;
    std::string m_devcon;
    std::unique_ptr<platform::ChildProcess> m_removal;
    std::function<bool(const std::string&)> m_failStep;
};

} // namespace utility::vsp
