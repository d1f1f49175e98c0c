#pragma once
#include "Thread/ThreadPool.h"

// The service's one shared worker pool: five workers named "thread pool 0" to
// "thread pool 4" at the highest priority. Notification deliveries, the
// measurement loop, the trigger waiter and file jobs all run here.
class CThreadPool : public toolkit::ThreadPool {
public:
    // Created with its workers on first use, destroyed at exit.
    static CThreadPool* instance();

    ~CThreadPool() override;

private:
    CThreadPool();
};
