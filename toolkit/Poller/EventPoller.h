#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "Network/Buffer.h"
#include "Poller/PipeWrap.h"
#include "Thread/TaskExecutor.h"
#include "Thread/ThreadPool.h"
#include "Thread/semaphore.h"
#include "Util/AnyStorage.h"

namespace toolkit {

class Logger;

// One event loop on one thread: waits on an epoll set and calls the callback of
// each ready descriptor, runs the function objects any thread posts to it, and
// runs delayed tasks when they fall due. Everything registered with a poller is
// touched only on its thread, so the layers above need no locks of their own.
//
// A poller must be destroyed on a thread other than its loop thread: the
// destructor waits for the loop to end.
//
// Callers may attach values of their own to a poller (AnyStorage).
class EventPoller : public TaskExecutor, public AnyStorage, public std::enable_shared_from_this<EventPoller> {
public:
    using Ptr = std::shared_ptr<EventPoller>;
    using PollEventCB = std::function<void(int event)>;
    using PollDelCB = std::function<void(bool success)>;
    // A delayed task returns the milliseconds until its next run, 0 to stop.
    using DelayTask = TaskCancelableImp<uint64_t()>;

    enum {
        Event_Read = 1 << 0,
        Event_Write = 1 << 1,
        Event_Error = 1 << 2,
        // Level-triggered instead of edge-triggered.
        Event_LT = 1 << 3,
        // Registration only (addEvent): wake just one of the pollers that wait
        // on the same descriptor. Meant for a listening socket shared by several
        // pollers; such a registration cannot be changed by modifyEvent.
        Event_Exclusive = 1 << 4,
    };

    // Thrown by the task that shutdown() posts; ends the loop.
    class ExitException : public std::exception {};

    // Builds a poller whose loop is not yet running; the constructing thread
    // counts as its own until runLoop. Throws std::runtime_error when the pipe
    // or the epoll set cannot be made.
    explicit EventPoller(std::string name, ThreadPool::Priority priority = ThreadPool::PRIORITY_HIGHEST);
    ~EventPoller() override;

    // The first poller of the process-wide pool.
    static EventPoller& Instance();
    // The poller whose loop runs on the calling thread (loops started with
    // ref_self), or null.
    static Ptr getCurrentPoller();

    bool isCurrentThread();
    const std::string& getName() const { return _name; }

    // Registers fd. On the poller's thread: 0, or -1 when epoll refuses. From
    // another thread the registration is posted and 0 returned at once.
    int addEvent(int fd, int event, PollEventCB cb);
    // Unregisters fd, then calls cb(success) on the poller's thread.
    int delEvent(int fd, PollDelCB cb = nullptr);
    // Changes the interest of a registered fd (never exclusive); a failure is logged.
    int modifyEvent(int fd, int event);

    Task::Ptr async(TaskIn task, bool may_sync = true) override;
    Task::Ptr async_first(TaskIn task, bool may_sync = true) override;
    // Like async, but clearTasks() may drop the task while it is still queued.
    // For work the caller is prepared to abandon (e.g. queued command lists);
    // never for the toolkit's own bookkeeping.
    Task::Ptr async_clearable(TaskIn task, bool may_sync = true);
    // Drops every queued task posted with async_clearable that the loop has
    // not yet taken. Other tasks, delayed tasks and timers are not affected.
    void clearTasks();

    // Runs `task` about delay_ms from now on the poller's thread, again after
    // each non-zero result. Cancelling the handle stops every future run.
    DelayTask::Ptr doDelayTask(uint64_t delay_ms, std::function<uint64_t()> task);

    // The receive buffer shared by the sockets of this poller (loop thread only).
    BufferRaw::Ptr getSharedBuffer();

    // blocked: run the loop on the calling thread until it exits. Otherwise
    // start a thread for it and return once it runs. ref_self: register the
    // poller as its loop thread's current poller (it must be owned by a
    // shared pointer then).
    void runLoop(bool blocked, bool ref_self);

    // Makes the loop exit ahead of every queued task and waits for its thread.
    // Called from the loop thread itself, the thread is detached instead.
    void shutdown();

private:
    // A queued task and whether clearTasks() may drop it.
    struct QueuedTask {
        Task::Ptr task;
        bool clearable;
    };
    // Due time in monotonic ms, then a sequence number so that tasks due at the
    // same time run in the order they were scheduled, whichever thread did it.
    using DelayKey = std::pair<uint64_t, uint64_t>;

    Task::Ptr async_l(TaskIn task, bool may_sync, bool first, bool clearable = false);
    void wakeUp();
    int addEvent_l(int fd, int event, PollEventCB cb);
    void delEvent_l(int fd, const PollDelCB& cb);
    void onPipeEvent();
    void runTasks(std::list<QueuedTask>& tasks);
    void dispatchEvent(int fd, uint32_t epoll_events);
    // The epoll_wait time-out: -1 with nothing delayed, else ms to the next due task.
    int getMinDelay();
    int flushDelayTask(uint64_t now);
    void insertDelayTask(uint64_t due, DelayTask::Ptr task);

    bool _exit_flag = false;
    std::string _name;
    std::weak_ptr<BufferRaw> _shared_buffer;
    ThreadPool::Priority _priority;
    std::mutex _mtx_running;
    std::mutex _mtx_loop_thread;
    std::unique_ptr<std::thread> _loop_thread;
    std::atomic<std::thread::id> _loop_thread_id;
    semaphore _sem_run_started;
    PipeWrap _pipe;
    std::mutex _mtx_task;
    std::list<QueuedTask> _list_task;
    std::shared_ptr<Logger> _logger;
    int _epoll_fd = -1;
    std::unordered_map<int, std::shared_ptr<PollEventCB>> _event_map;
    std::map<DelayKey, DelayTask::Ptr> _delay_task_map;
    std::atomic<uint64_t> _delay_seq{0};
};

} // namespace toolkit
