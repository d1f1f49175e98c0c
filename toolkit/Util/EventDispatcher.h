#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <typeindex>
#include <typeinfo>

namespace toolkit {

// The listeners of one named broadcast. A listener is called only when its
// parameter list matches the emitted arguments exactly (emitting lvalues of
// A and B calls listeners taking A& and B&); others are skipped, never
// called with the wrong types.
class EventDispatcher {
public:
    using Ptr = std::shared_ptr<EventDispatcher>;

    // Thrown by a listener to stop the dispatch after itself.
    class InterruptException : public std::runtime_error {
    public:
        InterruptException() : std::runtime_error("InterruptException") {}
    };

    template <typename... ARGS>
    void addListener(void* tag, std::function<void(ARGS...)> listener) {
        Listener entry{std::type_index(typeid(std::function<void(ARGS...)>)),
                       std::make_shared<std::function<void(ARGS...)>>(std::move(listener))};
        std::lock_guard<std::recursive_mutex> lck(_mtxListener);
        _mapListener.emplace(tag, std::move(entry));
    }

    // Removes every listener added under `tag`; true when none is left at all.
    bool delListener(void* tag) {
        std::lock_guard<std::recursive_mutex> lck(_mtxListener);
        _mapListener.erase(tag);
        return _mapListener.empty();
    }

    // Calls the matching listeners in tag order and returns how many were
    // called (an interrupting one included). The lock is not held during the
    // calls, so a listener may add or remove listeners.
    template <typename... ARGS>
    int emitEvent(ARGS&&... args) {
        using FuncType = std::function<void(ARGS&&...)>;
        decltype(_mapListener) copy;
        {
            std::lock_guard<std::recursive_mutex> lck(_mtxListener);
            copy = _mapListener;
        }
        int ret = 0;
        for (auto& pr : copy) {
            if (pr.second.type != std::type_index(typeid(FuncType))) {
                continue;
            }
            ++ret;
            try {
                (*std::static_pointer_cast<FuncType>(pr.second.func))(std::forward<ARGS>(args)...);
            } catch (InterruptException&) {
                break;
            }
        }
        return ret;
    }

private:
    struct Listener {
        std::type_index type;
        std::shared_ptr<void> func;
    };

    std::recursive_mutex _mtxListener;
    std::multimap<void*, Listener> _mapListener;
};

} // namespace toolkit
