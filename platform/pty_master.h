#pragma once

#include "platform/result.h"
#include "platform/serial_port.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace platform {

// The master side of a pseudo-terminal for an event loop: non-blocking reads
// and writes and an fd to watch. A program opens slavePath() as its serial
// port. The master keeps a descriptor of the slave open itself, so it never
// sees a hang-up while that program closes and reopens the port.
class PtyMaster {
public:
    static Result<std::unique_ptr<PtyMaster>> open();
    ~PtyMaster();
    PtyMaster(const PtyMaster&) = delete;
    PtyMaster& operator=(const PtyMaster&) = delete;

    const std::string& slavePath() const { return m_slavePath; }
    int fd() const { return m_master; }

    // What the program wrote, as much as is there; EAGAIN when nothing is.
    Result<std::size_t> read(std::span<std::uint8_t> buffer);
    // Writes what the terminal takes now (possibly less); EAGAIN when full.
    Result<std::size_t> write(std::span<const std::uint8_t> data);

    // Shows line settings on the slave side, as a program reading its port's
    // settings would see them. Raw mode and the other flags are kept.
    Result<void> setLineSettings(const SerialSettings& settings);

private:
    PtyMaster(int master, int slave, std::string slavePath);
    int m_master;
    int m_slave;
    std::string m_slavePath;
};

} // namespace platform
