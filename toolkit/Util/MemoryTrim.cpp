#include "Util/MemoryTrim.h"

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "Poller/EventPollerPool.h"

namespace toolkit {

namespace {
// Long enough for hundreds of sessions closed together to free their part first.
constexpr uint64_t kSettleMs = 200;
// What a burst leaves is not all freed at once: records still on their way to
// the log, buffers of sockets the pollers let go of later. A few more trims a
// second apart hand those back too; each costs little on a heap at rest.
constexpr uint64_t kLaterMs = 1000;
constexpr int kLaterTrims = 5;
std::atomic<bool> g_trimDue{false};
} // namespace

void trimFreedMemory() {
    if (g_trimDue.exchange(true)) {
        return;
    }
    auto left = std::make_shared<int>(kLaterTrims);
    EventPollerPool::Instance().getFirstPoller()->doDelayTask(kSettleMs, [left]() -> uint64_t {
        // A burst that comes meanwhile starts a series of its own.
        g_trimDue = false;
        malloc_trim(0);
        return (*left)-- > 0 ? kLaterMs : 0;
    });
}

} // namespace toolkit
