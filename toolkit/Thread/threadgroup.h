#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_map>

namespace toolkit {

// Owns a set of worker threads. Threads are added and joined only by the
// thread that owns the group (the pool's constructor and destructor).
class thread_group {
public:
    thread_group() = default;
    // The owner joins the threads (join_all) before the group goes.
    ~thread_group() = default;
    thread_group(const thread_group&) = delete;
    thread_group& operator=(const thread_group&) = delete;

    // Starts a thread running `f` and keeps it in the group.
    std::thread* create_thread(std::function<void()> f);

    // True on a thread started by this group. Each thread marks itself as the
    // group's own before it runs its function, so the answer never depends on
    // the owner having finished recording the thread yet.
    bool is_this_thread_in() const;

    // Joins every thread; refuses ("Trying joining itself in thread_group")
    // when called from one of the group's own threads.
    void join_all();

    size_t size() const { return _threads.size(); }

private:
    std::thread::id _thread_id;
    std::unordered_map<std::thread::id, std::shared_ptr<std::thread>> _threads;
};

} // namespace toolkit
