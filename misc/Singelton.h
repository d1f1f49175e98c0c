#pragma once
#include <atomic>
#include <memory>
#include <mutex>

namespace Copperwren {

// Creates one object of T on first use and keeps it until exit. T needs a
// default constructor.
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
            m_instance.reset(new T());
            obj = m_instance.get();
            m_published.store(obj, std::memory_order_release);
        }
        return obj;
    }

    Singleton() = delete;

private:
    // Owns the object; destroyed at exit.
    static std::unique_ptr<T> m_instance;
    static std::mutex m_mtx;
    // The object's address for the lock-free first check (the unique_ptr
    // itself cannot be read safely while another thread stores into it).
    static std::atomic<T*> m_published;
};

template <typename T>
std::unique_ptr<T> Singleton<T>::m_instance;
template <typename T>
std::mutex Singleton<T>::m_mtx;
template <typename T>
std::atomic<T*> Singleton<T>::m_published{nullptr};

} // namespace Copperwren

// The one object of `T` (created on first use).
#define SINGLETON_PTR(T) (::Copperwren::Singleton<T>::Instance())
