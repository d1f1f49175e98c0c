#pragma once

namespace toolkit {

// Stateless helpers over raw socket descriptors. Option setters return the
// last system call's result; a failure is logged at trace level and otherwise
// ignored, since no caller can do better than carry on.
class SockUtil {
public:
    // Non-blocking (FIONBIO) on or off.
    static int setNoBlocked(int fd, bool noblock = true);
    // Close-on-exec on or off, keeping the descriptor's other flags.
    static int setCloExec(int fd, bool on = true);
};

} // namespace toolkit
