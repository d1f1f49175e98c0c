#pragma once
#include "Util/util.h"

namespace toolkit {

// A pipe whose two ends close with the object; the event poller's wake-up line.
class PipeWrap : public noncopyable {
public:
    // Throws std::runtime_error when the pipe cannot be made.
    PipeWrap();
    ~PipeWrap();

    // What write(2)/read(2) return, retried while interrupted.
    int write(const void* buf, int n);
    int read(void* buf, int n);

    int readFD() const { return _pipe_fd[0]; }
    int writeFD() const { return _pipe_fd[1]; }

private:
    void clearFD();

    int _pipe_fd[2] = {-1, -1};
};

} // namespace toolkit
