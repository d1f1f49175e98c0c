#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Util/EventDispatcher.h"

namespace toolkit {

// Process-wide named broadcasts: one EventDispatcher per event name.
class NoticeCenter : public std::enable_shared_from_this<NoticeCenter> {
public:
    using Ptr = std::shared_ptr<NoticeCenter>;

    static NoticeCenter& Instance() {
        // Never destroyed: poller threads may emit events during exit.
        static Ptr* s_instance = new Ptr(std::make_shared<NoticeCenter>());
        return **s_instance;
    }

    template <typename... ARGS>
    void addListener(void* tag, const std::string& event, std::function<void(ARGS...)> listener) {
        getDispatcher(event, true)->addListener(tag, std::move(listener));
    }

    void delListener(void* tag, const std::string& event) {
        std::lock_guard<std::recursive_mutex> lck(_mtxListener);
        auto it = _mapListener.find(event);
        if (it != _mapListener.end() && it->second->delListener(tag)) {
            _mapListener.erase(it);
        }
    }

    // The number of listeners called; 0 when nobody listens to `event`.
    template <typename... ARGS>
    int emitEvent(const std::string& event, ARGS&&... args) {
        auto dispatcher = getDispatcher(event, false);
        if (!dispatcher) {
            return 0;
        }
        return dispatcher->emitEvent(std::forward<ARGS>(args)...);
    }

private:
    EventDispatcher::Ptr getDispatcher(const std::string& event, bool create) {
        std::lock_guard<std::recursive_mutex> lck(_mtxListener);
        auto it = _mapListener.find(event);
        if (it != _mapListener.end()) {
            return it->second;
        }
        if (!create) {
            return nullptr;
        }
        auto dispatcher = std::make_shared<EventDispatcher>();
        _mapListener.emplace(event, dispatcher);
        return dispatcher;
    }

    std::recursive_mutex _mtxListener;
    std::unordered_map<std::string, EventDispatcher::Ptr> _mapListener;
};

} // namespace toolkit
