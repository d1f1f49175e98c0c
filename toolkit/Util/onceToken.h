#pragma once
#include <functional>

namespace toolkit {

// Runs one function at construction and another at destruction.
class onceToken {
public:
    using task = std::function<void()>;

    template <typename FUNC>
    explicit onceToken(const FUNC& on_constructed, task on_destructed = nullptr) {
        on_constructed();
        _onDestructed = std::move(on_destructed);
    }
    explicit onceToken(std::nullptr_t, task on_destructed = nullptr) : _onDestructed(std::move(on_destructed)) {}

    ~onceToken() {
        if (_onDestructed) {
            _onDestructed();
        }
    }

    onceToken(const onceToken&) = delete;
    onceToken& operator=(const onceToken&) = delete;

private:
    task _onDestructed;
};

} // namespace toolkit
