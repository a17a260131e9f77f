#pragma once

#include "platform/result.h"

namespace platform {

// Detaches the process from its terminal and session and carries on in a
// child (the parent exits 0); standard input reads /dev/null, standard
// output and error stay as they were. Call before any thread is started.
Result<void> runInBackground();

} // namespace platform

namespace platform {

// Raises the soft limit on open descriptors to the hard limit: a daemon that
// keeps a terminal and a connection per port needs more than the usual 1024
// for a few hundred ports. Returns the limit now in force.
unsigned long raiseDescriptorLimit();

} // namespace platform
