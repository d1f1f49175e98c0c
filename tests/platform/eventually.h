#pragma once
#include <chrono>
#include <thread>

namespace testing_support {

constexpr auto kDeviceWait = std::chrono::seconds(20);

// Waits (generously) until `done` holds; false when it never did.
template <typename Pred>
bool eventually(Pred done) {
    auto deadline = std::chrono::steady_clock::now() + kDeviceWait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace testing_support
