#pragma once

#include "driver/host/host.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace driver {

// Takes a port's arriving bytes straight from the network thread, before they
// reach the receive buffer, so a front end that forwards them somewhere can
// skip the wait-and-read round. Offered bytes are only ever the next ones in
// order: the tap is asked only while the receive buffer is empty.
class ReceiveTap {
public:
    virtual ~ReceiveTap() = default;
    // Called with the port's data lock held on the network thread; must not
    // block. Returns how many of the leading bytes it took; the rest go to the
    // receive buffer as usual.
    virtual std::size_t offer(std::span<const std::uint8_t> bytes) = 0;
    // Told of every arrival, before it is offered or buffered; same thread
    // and lock as offer().
    virtual void arriving() { }
};

// Sets (or with nullptr removes) the tap of the port behind an open handle;
// false when the handle is not one of this driver's ports. Once it returns,
// a removed tap is not called any more.
bool setReceiveTap(host::FileHandle& handle, ReceiveTap* tap);

// Tells whether a program is on its way to a closed port: it opened the
// front end's side, and the front end has not opened the port for it yet.
class ProgramProbe {
public:
    virtual ~ProgramProbe() = default;
    // Called with the port's data lock held on the network thread; must not
    // block.
    virtual bool programWaiting() const = 0;
};

// Gives the port behind an open handle a probe that stays after the handle
// closes, for as long as its owner keeps it. While nobody has the port open
// and the probe says a program waits, the stream is held back by a full
// receive buffer, as for an open port, instead of keeping only the newest
// bytes: what arrives between the program's open and the port's is its own.
bool setProgramProbe(host::FileHandle& handle, std::weak_ptr<const ProgramProbe> probe);

// Whether the port behind an open handle holds writes to its baud rate (true
// when the handle is not one of this driver's ports).
bool writesPaced(host::FileHandle& handle);

// Whether the port behind an open handle has a connection a write can use
// now, without connecting first.
bool portConnected(host::FileHandle& handle);

} // namespace driver
