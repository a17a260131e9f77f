#include "platform/faults.h"

#include <array>
#include <atomic>

namespace platform::faults {
namespace {
// 0 = not armed; otherwise calls left until the failing one.
std::array<std::atomic<int>, static_cast<int>(Op::Count)> g_countdown {};
} // namespace

void failNth(Op op, int nth) { g_countdown[static_cast<int>(op)] = nth > 0 ? nth : 0; }

void reset()
{
    for (auto& countdown : g_countdown)
        countdown = 0;
}

bool shouldFail(Op op)
{
    auto& countdown = g_countdown[static_cast<int>(op)];
    int current = countdown.load();
    while (current > 0) {
        if (countdown.compare_exchange_weak(current, current - 1))
            return current == 1;
    }
    return false;
}

} // namespace platform::faults
