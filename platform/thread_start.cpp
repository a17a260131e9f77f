#include "platform/thread_start.h"

#include <system_error>

namespace platform {

bool startThread(std::thread& thread, std::function<void()> body)
{
    // std::thread reports a failed start only by throwing; it stops here.
    try {
        thread = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

} // namespace platform
