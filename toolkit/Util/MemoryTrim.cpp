#include "Util/MemoryTrim.h"

#include <malloc.h>

#include <atomic>
#include <cstdint>

#include "Poller/EventPollerPool.h"

namespace toolkit {

namespace {
// Long enough for hundreds of sessions closed together to free their part first.
constexpr uint64_t kSettleMs = 200;
std::atomic<bool> g_trimDue{false};
} // namespace

void trimFreedMemory() {
    if (g_trimDue.exchange(true)) {
        return;
    }
    EventPollerPool::Instance().getFirstPoller()->doDelayTask(kSettleMs, []() -> uint64_t {
        g_trimDue = false;
        malloc_trim(0);
        return 0;
    });
}

} // namespace toolkit
