#pragma once
#include <atomic>
#include <mutex>

namespace Copperwren {

// Creates one object of T on first use and keeps it for the life of the
// process: it is never destroyed, because pool threads and poller tasks (a
// paced preference load, a notification job) may still reach it while the
// process exits. T needs a default constructor.
template <typename T>
class Singleton {
public:
    // The one T, created by the first call; never null. A constructor that
    // throws leaves nothing behind, and a later call tries again.
    static T* Instance() {
        // Acquire pairs with the release below: whoever sees the pointer also
        // sees the finished object.
        T* obj = m_published.load(std::memory_order_acquire);
        if (obj) {
            return obj;
        }
        std::lock_guard<std::mutex> lock(m_mtx);
        obj = m_published.load(std::memory_order_relaxed);
        if (!obj) {
            obj = new T();
            m_published.store(obj, std::memory_order_release);
        }
        return obj;
    }

    Singleton() = delete;

private:
    static std::mutex m_mtx;
    // The object, published for the lock-free first check.
    static std::atomic<T*> m_published;
};

template <typename T>
std::mutex Singleton<T>::m_mtx;
template <typename T>
std::atomic<T*> Singleton<T>::m_published{nullptr};

} // namespace Copperwren

// The one object of `T` (created on first use).
#define SINGLETON_PTR(T) (::Copperwren::Singleton<T>::Instance())
