#pragma once

#include "platform/event_loop.h"

namespace platform {

// Makes SIGINT, SIGTERM and SIGHUP quit the loop (code 0) instead of killing the
// process, so a daemon or simulator can close its sockets and exit cleanly.
// The signal only wakes the loop; the quit runs on the loop's own thread.
// Returns false if the handlers could not be installed.
bool quitOnTerminationSignals(EventLoop& loop);

} // namespace platform
