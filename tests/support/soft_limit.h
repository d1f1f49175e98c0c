#pragma once
#include <sys/resource.h>

namespace testing_support {

// Sets the soft descriptor limit for one scope.
class SoftLimit {
public:
    explicit SoftLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &_was);
        rlimit now = _was;
        now.rlim_cur = soft;
        _set = soft <= _was.rlim_max && setrlimit(RLIMIT_NOFILE, &now) == 0;
    }
    ~SoftLimit() { setrlimit(RLIMIT_NOFILE, &_was); }
    SoftLimit(const SoftLimit&) = delete;
    SoftLimit& operator=(const SoftLimit&) = delete;
    bool set() const { return _set; }

private:
    rlimit _was{};
    bool _set = false;
};

} // namespace testing_support
