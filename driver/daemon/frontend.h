#pragma once

#include "common/ntstatus.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace driver::daemon {

// Why a program's write did not reach the device server, as status and logs say it.
inline std::string writeFailureText(common::NtStatus status)
{
    const std::string code = " (" + common::statusText(status) + ")";
    switch (status) {
    case common::kStatusCancelled:
        return "send timed out: the device server took nothing within the send limit" + code;
    case common::kStatusIoTimeout:
        return "send timed out: the device server held the port (FLOWCONTROL-SUSPEND) past the send limit" + code;
    case common::kStatusInvalidDeviceState:
    case common::kStatusConnectionDisconnected:
    case common::kStatusConnectionReset:
    case common::kStatusConnectionAborted:
    case common::kStatusConnectionRefused:
    case common::kStatusNetworkUnreachable:
    case common::kStatusHostUnreachable:
        return "not connected" + code;
    default:
        return "write failed" + code;
    }
}

// What `devcon status` shows of a port's front end.
struct FrontEndStatus {
    std::string kind; // "pty" or "cuse"
    bool attached = false; // a program has the port open through the front end
    std::uint64_t bytesToPort = 0; // written by programs and taken by the port
    std::uint64_t bytesNotSent = 0; // written by programs but refused by the port
    std::uint64_t bytesToProgram = 0;
    std::string lastError; // why bytes were last refused; empty when none were
};

// What an orderly stop did with the bytes programs had handed over.
struct DrainReport {
    std::uint64_t sent = 0; // reached the device server while the daemon stopped
    std::uint64_t notSent = 0; // given up: no connection, or the stop's time ran out
};

// How programs reach a port: a pseudo-terminal (PortFrontEnd) or a serial
// character device (CuseFrontEnd).
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // What programs open (the directory entry leads there).
    virtual const std::string& terminalPath() const = 0;
    virtual FrontEndStatus status() const = 0;
    // Brings the port up to date with what programs did: a port a program
    // has let go is free once this is done. requestSettle() asks and returns
    // at once; waitSettled() waits for that ticket until `deadline`, false
    // when the front end did not get to it in time.
    virtual std::uint64_t requestSettle() = 0;
    virtual bool waitSettled(std::uint64_t ticket, std::chrono::steady_clock::time_point deadline) = 0;

    // An orderly stop waits for a port's output, as a serial port's close
    // does: from requestDrain() on no new bytes are taken from programs, and
    // what the front end holds (what a program had written to its terminal
    // already among it) goes to the device server. waitDrained() waits for
    // that until `deadline`, false when bytes are still held; a port without
    // a connection is done at once. stop() ends the front end, counting
    // what it still held as not sent.
    virtual void requestDrain() { }
    virtual bool waitDrained(std::chrono::steady_clock::time_point) { return true; }
    virtual DrainReport stop() { return {}; }
};

} // namespace driver::daemon
