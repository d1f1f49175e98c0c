#pragma once
#include <any>
#include <memory>
#include <string>
#include <unordered_map>

namespace toolkit {

// Values of any type that callers attach to an object under names of their
// own, each held by a shared pointer. No lock: it is used on the thread its
// owner belongs to (a poller's values on that poller's thread).
class AnyStorage {
public:
    // Stores `value` under `key`, replacing what was there.
    template <typename T>
    void set(const std::string& key, std::shared_ptr<T> value) {
        _values[key] = std::move(value);
    }

    // The value under `key` when it was stored as a T; null otherwise.
    template <typename T>
    std::shared_ptr<T> get(const std::string& key) const {
        auto it = _values.find(key);
        if (it == _values.end()) {
            return nullptr;
        }
        const auto* value = std::any_cast<std::shared_ptr<T>>(&it->second);
        return value != nullptr ? *value : nullptr;
    }

    // Drops the value under `key`; false when there was none.
    bool erase(const std::string& key) { return _values.erase(key) != 0; }

private:
    std::unordered_map<std::string, std::any> _values;
};

} // namespace toolkit
