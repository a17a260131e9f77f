#pragma once

#include "platform/result.h"

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Byte access to I/O port addresses, for UARTs driven register by register.
class PortIo {
public:
    virtual ~PortIo() = default;
    virtual std::uint8_t Inp32(std::uint16_t address) = 0;
    virtual void Out32(std::uint16_t address, std::uint8_t value) = 0;
};

// The entry points of a port-I/O module (a shared object loaded at run time):
//   short Inp32(short address);            required
//   void Out32(short address, short data); required
//   int PortIo_Ready(void);                optional; 0 means the module cannot
//                                          reach the ports (no privilege)
using Inp32Function = short (*)(short);
using Out32Function = void (*)(short, short);
using PortIoReadyFunction = int (*)();

// A loaded port-I/O module. Unloaded when destroyed.
class PortIoModule final : public PortIo {
public:
    // Loads the module; fails when the file is missing, lacks an entry point
    // or reports that it is not ready.
    static Result<std::unique_ptr<PortIoModule>> load(const std::string& path);
    ~PortIoModule() override;
    PortIoModule(const PortIoModule&) = delete;
    PortIoModule& operator=(const PortIoModule&) = delete;

    std::uint8_t Inp32(std::uint16_t address) override;
    void Out32(std::uint16_t address, std::uint8_t value) override;
    // Another entry point of the module, or null.
    void* symbol(const char* name) const;
    const std::string& path() const { return m_path; }

private:
    PortIoModule(void* handle, std::string path, Inp32Function in, Out32Function out);
    void* m_handle;
    std::string m_path;
    Inp32Function m_in;
    Out32Function m_out;
};

// Where the port-I/O module is looked for: $PORTIO_MODULE when set, else
// "portio.so" in the directory of the running program.
std::string defaultPortIoModulePath();
// The directory of the running program, with a trailing separator.
std::string programDirectory();

} // namespace platform
