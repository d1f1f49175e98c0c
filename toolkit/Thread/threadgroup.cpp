#include "Thread/threadgroup.h"

#include <stdexcept>

namespace toolkit {

namespace {
// The group that started the calling thread; null on any other thread.
thread_local const thread_group* t_owner_group = nullptr;
} // namespace

std::thread* thread_group::create_thread(std::function<void()> f) {
    auto body = [this, f = std::move(f)]() {
        t_owner_group = this;
        f();
    };
    auto thread = std::make_shared<std::thread>(std::move(body));
    _thread_id = thread->get_id();
    _threads[_thread_id] = thread;
    return thread.get();
}

bool thread_group::is_this_thread_in() const {
    return t_owner_group == this;
}

void thread_group::join_all() {
    if (is_this_thread_in()) {
        throw std::runtime_error("Trying joining itself in thread_group");
    }
    for (auto& entry : _threads) {
        if (entry.second->joinable()) {
            entry.second->join();
        }
    }
    _threads.clear();
}

} // namespace toolkit
