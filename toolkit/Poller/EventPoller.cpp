#include "Poller/EventPoller.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <sys/epoll.h>
#include <unistd.h>

#include "Network/sockutil.h"
#include "Poller/EventPollerPool.h"
#include "Util/logger.h"
#include "Util/uv_errno.h"

namespace toolkit {

namespace {

constexpr int kEpollSize = 1024;
constexpr size_t kSharedBufferSize = 256 * 1024 + 1;
constexpr uint64_t kMaxWaitMs = 0x7fffffff;

thread_local std::weak_ptr<EventPoller> s_current_poller;

uint32_t toEpoll(int event) {
    uint32_t ret = 0;
    if (event & EventPoller::Event_Read) {
        ret |= EPOLLIN;
    }
    if (event & EventPoller::Event_Write) {
        ret |= EPOLLOUT;
    }
    if (event & EventPoller::Event_Error) {
        ret |= EPOLLERR | EPOLLHUP;
    }
    if (!(event & EventPoller::Event_LT)) {
        ret |= EPOLLET;
    }
    return ret;
}

int toPoller(uint32_t epoll_events) {
    int ret = 0;
    if (epoll_events & EPOLLIN) {
        ret |= EventPoller::Event_Read;
    }
    if (epoll_events & EPOLLOUT) {
        ret |= EventPoller::Event_Write;
    }
    if (epoll_events & (EPOLLERR | EPOLLHUP)) {
        ret |= EventPoller::Event_Error;
    }
    return ret;
}

} // namespace

EventPoller::EventPoller(std::string name, ThreadPool::Priority priority)
    : TaskExecutor(32, 2 * 1000 * 1000), _name(std::move(name)), _priority(priority) {
    SockUtil::setNoBlocked(_pipe.readFD(), true);
    SockUtil::setNoBlocked(_pipe.writeFD(), true);

    _epoll_fd = epoll_create(kEpollSize);
    if (_epoll_fd == -1) {
        throw std::runtime_error(std::string("Create epoll fd failed: ") + get_uv_errmsg());
    }
    SockUtil::setCloExec(_epoll_fd);

    // Keeps the logger alive for the poller's last log lines (when the logger
    // lives in a shared pointer at all).
    _logger = Logger::Instance().weak_from_this().lock();
    // Until the loop runs, the constructing thread is the poller's own, so the
    // pipe is registered at once.
    _loop_thread_id = std::this_thread::get_id();
    if (addEvent(_pipe.readFD(), Event_Read, [this](int) { onPipeEvent(); }) == -1) {
        close(_epoll_fd);
        _epoll_fd = -1;
        throw std::runtime_error("Add pipe fd to poller failed");
    }
}

EventPoller::~EventPoller() {
    shutdown();
    // Also waits for a loop running on a thread this poller does not own.
    { std::lock_guard<std::mutex> lck(_mtx_running); }
    if (_epoll_fd != -1) {
        close(_epoll_fd);
        _epoll_fd = -1;
    }
    // Tasks still queued run here, on the destroying thread.
    _loop_thread_id = std::this_thread::get_id();
    onPipeEvent();
    InfoL << "Destroy poller: " << _name << " " << this;
}

EventPoller& EventPoller::Instance() {
    return *EventPollerPool::Instance().getFirstPoller();
}

EventPoller::Ptr EventPoller::getCurrentPoller() {
    return s_current_poller.lock();
}

bool EventPoller::isCurrentThread() {
    return _loop_thread_id.load() == std::this_thread::get_id();
}

int EventPoller::addEvent(int fd, int event, PollEventCB cb) {
    if (!cb) {
        WarnL << "PollEventCB is empty";
        return -1;
    }
    if (isCurrentThread()) {
        return addEvent_l(fd, event, std::move(cb));
    }
    async([this, fd, event, cb]() mutable {
        if (addEvent_l(fd, event, std::move(cb)) == -1) {
            WarnL << "Add fd " << fd << " to poller " << _name << " failed: " << get_uv_errmsg();
        }
    });
    return 0;
}

int EventPoller::addEvent_l(int fd, int event, PollEventCB cb) {
    epoll_event ev = {};
    ev.events = toEpoll(event);
    if (event & Event_Exclusive) {
        ev.events |= EPOLLEXCLUSIVE;
    }
    ev.data.fd = fd;
    int ret = epoll_ctl(_epoll_fd, EPOLL_CTL_ADD, fd, &ev);
    if (ret != -1) {
        // The kernel accepted fd, so any entry left under its number belongs to
        // a descriptor closed without delEvent: the new callback replaces it.
        _event_map[fd] = std::make_shared<PollEventCB>(std::move(cb));
    }
    return ret;
}

int EventPoller::delEvent(int fd, PollDelCB cb) {
    if (!cb) {
        cb = [](bool) {};
    }
    if (isCurrentThread()) {
        bool success = epoll_ctl(_epoll_fd, EPOLL_CTL_DEL, fd, nullptr) == 0;
        // Erased whatever epoll said: a closed descriptor has left the set already.
        success = _event_map.erase(fd) > 0 && success;
        cb(success);
        return success ? 0 : -1;
    }
    async([this, fd, cb]() { delEvent(fd, cb); });
    return 0;
}

int EventPoller::modifyEvent(int fd, int event) {
    epoll_event ev = {};
    ev.events = toEpoll(event);
    ev.data.fd = fd;
    int ret = epoll_ctl(_epoll_fd, EPOLL_CTL_MOD, fd, &ev);
    if (ret == -1) {
        WarnL << "Modify event of fd " << fd << " failed: " << get_uv_errmsg();
    }
    return ret;
}

Task::Ptr EventPoller::async(TaskIn task, bool may_sync) {
    return async_l(std::move(task), may_sync, false);
}

Task::Ptr EventPoller::async_first(TaskIn task, bool may_sync) {
    return async_l(std::move(task), may_sync, true);
}

Task::Ptr EventPoller::async_clearable(TaskIn task, bool may_sync) {
    return async_l(std::move(task), may_sync, false, true);
}

Task::Ptr EventPoller::async_l(TaskIn task, bool may_sync, bool first, bool clearable) {
    if (may_sync && isCurrentThread()) {
        task();
        return nullptr;
    }
    auto ret = std::make_shared<Task>(std::move(task));
    bool was_empty;
    {
        std::lock_guard<std::mutex> lck(_mtx_task);
        was_empty = _list_task.empty();
        if (first) {
            _list_task.push_front({ret, clearable});
        } else {
            _list_task.push_back({ret, clearable});
        }
    }
    // Only the first task of a batch needs a wake-up: the loop drains the
    // pipe before it takes the list, so a task added to a list it has not
    // taken yet is taken with it, and one added after finds the list empty.
    // Under load this spares a system call (and a wake-up) per posted task.
    if (was_empty) {
        wakeUp();
    }
    return ret;
}

void EventPoller::wakeUp() {
    // A full pipe already guarantees a wake-up, so the result needs no check.
    uint8_t byte = 0;
    _pipe.write(&byte, 1);
}

void EventPoller::clearTasks() {
    std::list<QueuedTask> dropped;
    {
        std::lock_guard<std::mutex> lck(_mtx_task);
        for (auto it = _list_task.begin(); it != _list_task.end();) {
            auto next = std::next(it);
            if (it->clearable) {
                dropped.splice(dropped.end(), _list_task, it);
            }
            it = next;
        }
    }
    // `dropped` dies here, outside the lock, so a destructor of a dropped task
    // may post to this poller.
    wakeUp();
}

void EventPoller::onPipeEvent() {
    char buf[1024];
    for (;;) {
        int n = _pipe.read(buf, sizeof(buf));
        if (n > 0) {
            continue;
        }
        // Drained (EAGAIN), or end of file / a failure that retrying cannot mend.
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EBADF) {
            break;
        }
    }
    std::list<QueuedTask> tasks;
    {
        std::lock_guard<std::mutex> lck(_mtx_task);
        tasks.swap(_list_task);
    }
    runTasks(tasks);
}

void EventPoller::runTasks(std::list<QueuedTask>& tasks) {
    for (auto& entry : tasks) {
        try {
            (*entry.task)();
        } catch (ExitException&) {
            _exit_flag = true;
        } catch (std::exception& ex) {
            ErrorL << "Exception occurred when do async task: " << ex.what();
        }
    }
}

EventPoller::DelayTask::Ptr EventPoller::doDelayTask(uint64_t delay_ms, std::function<uint64_t()> task) {
    auto ret = std::make_shared<DelayTask>(std::move(task));
    DelayKey key(getCurrentMillisecond() + delay_ms, _delay_seq++);
    async_first([this, key, ret]() { _delay_task_map.emplace(key, ret); });
    return ret;
}

void EventPoller::insertDelayTask(uint64_t due, DelayTask::Ptr task) {
    _delay_task_map.emplace(DelayKey(due, _delay_seq++), std::move(task));
}

int EventPoller::getMinDelay() {
    if (_delay_task_map.empty()) {
        return -1;
    }
    auto now = getCurrentMillisecond();
    auto due = _delay_task_map.begin()->first.first;
    if (due > now) {
        return static_cast<int>(std::min(due - now, kMaxWaitMs));
    }
    return flushDelayTask(now);
}

int EventPoller::flushDelayTask(uint64_t now) {
    decltype(_delay_task_map) taken;
    taken.swap(_delay_task_map);
    for (auto it = taken.begin(); it != taken.end() && it->first.first <= now; it = taken.erase(it)) {
        try {
            auto next = (*it->second)();
            if (next) {
                // The next run counts from this pass, not from the end of the run.
                insertDelayTask(now + next, it->second);
            }
        } catch (std::exception& ex) {
            ErrorL << "Exception occurred when do delay task: " << ex.what();
        }
    }
    // Re-armed tasks and tasks scheduled by the ones that ran join the rest.
    taken.insert(_delay_task_map.begin(), _delay_task_map.end());
    taken.swap(_delay_task_map);
    if (_delay_task_map.empty()) {
        return -1;
    }
    auto due = _delay_task_map.begin()->first.first;
    // A task scheduled for now by a task that just ran: poll without waiting.
    return due > now ? static_cast<int>(std::min(due - now, kMaxWaitMs)) : 0;
}

BufferRaw::Ptr EventPoller::getSharedBuffer() {
    auto ret = _shared_buffer.lock();
    if (!ret) {
        ret = BufferRaw::create();
        ret->setCapacity(kSharedBufferSize);
        _shared_buffer = ret;
    }
    return ret;
}

void EventPoller::runLoop(bool blocked, bool ref_self) {
    if (!blocked) {
        auto thread = std::make_unique<std::thread>([this, ref_self]() { runLoop(true, ref_self); });
        {
            std::lock_guard<std::mutex> lck(_mtx_loop_thread);
            _loop_thread = std::move(thread);
        }
        _sem_run_started.wait();
        return;
    }
    ThreadPool::setPriority(_priority);
    std::lock_guard<std::mutex> lck(_mtx_running);
    _loop_thread_id = std::this_thread::get_id();
    if (ref_self) {
        s_current_poller = shared_from_this();
    }
    _sem_run_started.post();
    _exit_flag = false;

    epoll_event events[kEpollSize];
    while (!_exit_flag) {
        int min_delay = getMinDelay();
        startSleep();
        int ret = epoll_wait(_epoll_fd, events, kEpollSize, min_delay);
        sleepWakeUp();
        for (int i = 0; i < ret; ++i) {
            dispatchEvent(events[i].data.fd, events[i].events);
        }
    }
}

void EventPoller::dispatchEvent(int fd, uint32_t epoll_events) {
    auto it = _event_map.find(fd);
    if (it == _event_map.end()) {
        epoll_ctl(_epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    // Held for the call, so the callback may remove its own registration.
    auto cb = it->second;
    try {
        (*cb)(toPoller(epoll_events));
    } catch (std::exception& ex) {
        ErrorL << "Exception occurred when do event task: " << ex.what();
    }
}

void EventPoller::shutdown() {
    async_l([]() { throw ExitException(); }, false, true);

    std::unique_ptr<std::thread> thread;
    {
        std::lock_guard<std::mutex> lck(_mtx_loop_thread);
        thread = std::move(_loop_thread);
    }
    if (!thread || !thread->joinable()) {
        return;
    }
    if (thread->get_id() == std::this_thread::get_id()) {
        // A thread cannot join itself; the loop ends after the exit task.
        thread->detach();
        return;
    }
    try {
        thread->join();
    } catch (std::exception& ex) {
        WarnL << "Join of poller " << _name << " failed: " << ex.what();
        thread->detach();
    }
}

} // namespace toolkit
