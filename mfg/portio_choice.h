#pragma once

#include "platform/port_io.h"

#include <memory>
#include <string>

namespace mfg {

// Direct UART access rewrites a legacy UART's registers (interrupts off
// included) at every START, whatever sits behind the COM name: a kernel
// console on that UART would break. So the port-I/O module is loaded only
// when asked for, by `--portio MODULE` or by the Option page (portio.dat).
// $PORTIO_MODULE still decides which file serves a request: "none" refuses
// every request (tests, demonstrations), a path replaces the module asked for.
struct PortIoChoice {
    std::string asked; // the module asked for; empty: none
    std::string askedBy; // "--portio" or "Option page"
    std::string path; // the file tried
    std::unique_ptr<platform::PortIoModule> module;
    std::string problem; // why a module asked for is not loaded

    platform::PortIo* portIo() const { return module.get(); }
    // One line for the Test page and the commands.
    std::string describe() const;
};

// `commandLine`: the --portio argument (empty when not given; "none" turns
// direct access off whatever portio.dat says). `directory`: where portio.dat
// lives. A bare file name is looked for beside the program, then in the
// installed module directory.
std::unique_ptr<PortIoChoice> choosePortIo(const std::string& commandLine, const std::string& directory);

} // namespace mfg
