#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <pthread.h>
#include <string>

#include "Thread/TaskExecutor.h"
#include "Thread/TaskQueue.h"
#include "Thread/threadgroup.h"

namespace toolkit {

class Logger;

// A fixed number of named worker threads taking tasks from one queue in order
// (async_first puts a task at the front). Destruction runs every task queued
// before it, then stops the workers; it must not happen on one of them.
class ThreadPool : public TaskExecutor {
public:
    enum Priority {
        PRIORITY_LOWEST = 0,
        PRIORITY_LOW,
        PRIORITY_NORMAL,
        PRIORITY_HIGH,
        PRIORITY_HIGHEST
    };

    explicit ThreadPool(int num = 1, Priority priority = PRIORITY_HIGHEST, bool auto_run = true,
                        bool set_affinity = true, const std::string& pool_name = "thread pool");
    ~ThreadPool() override;

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Starts the missing workers; does nothing when all are running.
    void start();

    // Queues `task`; with may_sync on one of this pool's workers it runs at once
    // and the returned handle is empty.
    Task::Ptr async(TaskIn task, bool may_sync = true) override;
    // As async, but ahead of every task not yet started.
    Task::Ptr async_first(TaskIn task, bool may_sync = true) override;

    // True on one of this pool's workers.
    bool isCurrentThread() const;

    // Sets a thread's priority (0: the calling thread) under the normal
    // scheduling policy. False when it cannot be set; the first refusal is
    // logged once and the thread keeps running at normal priority.
    static bool setPriority(Priority priority, pthread_t thread = 0);

protected:
    // Runs the tasks queued so far, then stops and joins the workers. A
    // subclass that starts the workers from its own constructor calls this from
    // its own destructor, so that no worker runs while the object is only
    // partly built or partly destroyed. Called again it does nothing.
    void shutdown();

private:
    Task::Ptr post(TaskIn task, bool may_sync, bool first);
    void run(size_t index);

    size_t _thread_num;
    std::shared_ptr<Logger> _logger;
    thread_group _thread_group;
    TaskQueue<Task::Ptr> _queue;
    std::function<void(int)> _on_setup;
};

} // namespace toolkit
