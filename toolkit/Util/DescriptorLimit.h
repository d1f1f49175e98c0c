#pragma once
#include <cstddef>

namespace toolkit {

// The process's limit of open descriptors (sockets and files alike).

// What one kind of user (a listening port, the file walks side by side)
// takes of the limit at most: 1/kDescriptorShare of it.
constexpr size_t kDescriptorShare = 8;

// Raises the soft limit to the hard one, so that the servers' caps and the
// files the service opens fit under it together. Returns the limit in force
// afterwards (the old one when it cannot be raised).
size_t raiseDescriptorLimit();

// The soft limit in force (a large number when there is none).
size_t descriptorLimit();

} // namespace toolkit
