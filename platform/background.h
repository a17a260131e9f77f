#pragma once

#include "platform/result.h"

namespace platform {

// Detaches the process from its terminal and session and carries on in a
// child (the parent exits 0); standard input reads /dev/null, standard
// output and error stay as they were. Call before any thread is started.
Result<void> runInBackground();

} // namespace platform
