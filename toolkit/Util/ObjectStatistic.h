#pragma once
#include <atomic>
#include <cstddef>

namespace toolkit {

// A data-less member that keeps a process-wide count of the live objects of
// class C, for diagnosis of leaks.
template <class C>
class ObjectStatistic {
public:
    ObjectStatistic() { ++getCounter(); }
    ObjectStatistic(const ObjectStatistic&) { ++getCounter(); }
    ObjectStatistic& operator=(const ObjectStatistic&) = default;
    ~ObjectStatistic() { --getCounter(); }

    static size_t count() { return getCounter().load(); }

private:
    static std::atomic<size_t>& getCounter() {
        static std::atomic<size_t> s_counter{0};
        return s_counter;
    }
};

} // namespace toolkit
