#pragma once
#include <cstddef>
#include <functional>

#include "FolderTrail.h"

// Copies, moves, deletes and folder sizes walk their trees with a few
// descriptors each. The walks that run side by side share an eighth of the
// process's descriptor limit, as each listening port does, so that however
// many clients walk at once the rest is left to connections and files; a
// walk beyond the share waits for a turn.
namespace walk_turns {

// What one operation holds at most: a copy's two trails (source and
// target), the folders of its two paths, a listing and a file's two ends.
constexpr size_t kDescriptors = 2 * folder_at::Trail::kHeld + 8;

// The walks that may run side by side under the limit in force; at least one.
size_t share();

// Holds a turn while it lives, waiting for one first. A thread that holds a
// turn already takes no second one: an operation never waits for itself.
// Nor does an event poller's thread wait, as it serves other clients: it
// walks at once, one walk at a time, so the pollers add at most their
// number to the share. An operation cancelled while it waits waits no more:
// it goes on without a turn, to find itself cancelled at its first step.
// A cancel is a flag: whoever raises one calls wake() after it.
class Turn {
public:
    explicit Turn(const std::function<bool()>& cancelled = {});
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    bool m_taken;
};

// The waiting walks look at their cancels again (a client's abort, the UI's
// cancel of a job).
void wake();

// Tests: the walks waiting for a turn.
size_t waiting();

} // namespace walk_turns
