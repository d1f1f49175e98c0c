#pragma once

namespace toolkit {

// Hands the memory that the allocator keeps after a burst of frees (the
// queues of clients that stopped reading, say) back to the system. Calls in
// one burst share one trim, made shortly after on the first event poller.
void trimFreedMemory();

} // namespace toolkit
