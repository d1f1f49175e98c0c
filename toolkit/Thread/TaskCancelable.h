#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

#include "Util/util.h"

namespace toolkit {

class TaskCancelable : public noncopyable {
public:
    TaskCancelable() = default;
    virtual ~TaskCancelable() = default;
    virtual void cancel() = 0;
};

// A unit of work that can be cancelled until it runs. The runner holds its own
// strong reference while calling, so cancelling during a run neither stops nor
// destroys it; a task cancelled before its call is skipped.
template <class R, class... ArgTypes>
class TaskCancelableImp;

template <class R, class... ArgTypes>
class TaskCancelableImp<R(ArgTypes...)> : public TaskCancelable {
public:
    using Ptr = std::shared_ptr<TaskCancelableImp>;
    using func_type = std::function<R(ArgTypes...)>;

    template <typename FUNC>
    explicit TaskCancelableImp(FUNC&& task) {
        _strongTask = std::make_shared<func_type>(std::forward<FUNC>(task));
        _weakTask = _strongTask;
    }

    // The strong reference is touched through the atomic shared_ptr operations
    // so that cancel() and the bool test may be used from any thread at once.
    void cancel() override { std::atomic_store(&_strongTask, std::shared_ptr<func_type>()); }

    // True until cancelled (and when a callable was given).
    operator bool() const {
        auto strong = std::atomic_load(&_strongTask);
        return strong && *strong;
    }

    // Runs the task unless cancelled; a cancelled task yields R() (0 for numbers).
    R operator()(ArgTypes... args) const {
        // The locked reference keeps the function object alive for the whole
        // call even when cancel() drops the strong one meanwhile.
        auto strong = _weakTask.lock();
        if (strong && *strong) {
            return (*strong)(std::forward<ArgTypes>(args)...);
        }
        return defaultValue<R>();
    }

private:
    template <typename T>
    static typename std::enable_if<std::is_void<T>::value, void>::type defaultValue() {}

    template <typename T>
    static typename std::enable_if<!std::is_void<T>::value, T>::type defaultValue() {
        return T();
    }

    std::weak_ptr<func_type> _weakTask;
    std::shared_ptr<func_type> _strongTask;
};

using TaskIn = std::function<void()>;
using Task = TaskCancelableImp<void()>;

} // namespace toolkit
