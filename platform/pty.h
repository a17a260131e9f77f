#pragma once

#include "platform/clock.h"
#include "platform/result.h"
#include "platform/serial_port.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A pseudo-terminal pair seen from the master side: a simulated device sits
// here, and a program opens slavePath() as if it were a serial port. The pair
// keeps a slave descriptor of its own open, so the master never sees a hang-up
// while the program closes and reopens the port.
class Pty {
public:
    static Result<std::unique_ptr<Pty>> open();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return m_slavePath; }

    // Waits up to `timeout` (real time) for bytes written on the slave side and
    // reads what is there; 0 bytes on time-out.
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t size, Duration timeout);
    // Writes every byte towards the slave side.
    Result<void> write(const std::uint8_t* data, std::size_t size);
    // The line settings the program last set on its side.
    Result<SerialSettings> peerSettings() const;

private:
    Pty(int master, int slave, std::string slavePath);
    int m_master;
    int m_slave;
    std::string m_slavePath;
};

} // namespace platform
