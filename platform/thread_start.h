#pragma once

#include <functional>
#include <thread>

namespace platform {

// Starts `body` on a new thread in `thread`. False when the system has no
// thread to give (too many threads, no memory for a stack): a server turns a
// client away then instead of ending.
bool startThread(std::thread& thread, std::function<void()> body);

} // namespace platform
