#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "CFEM.h"

namespace testing_support {

// Collects the notifications the hub delivers while it lives.
class UiNotifications {
public:
    UiNotifications() {
        // A delivery may still run after the sink is removed: it keeps the
        // state alive through its own reference.
        CFEM::setNotifySink([state = _state](const DataPack& pack) {
            std::lock_guard<std::mutex> lock(state->mtx);
            state->packs.push_back(pack);
            state->cv.notify_all();
        });
    }
    ~UiNotifications() { CFEM::setNotifySink(nullptr); }

    // The first notification of each of `ids` (code id | 0x80000000) that
    // satisfies `match`, which must arrive in that order; empty unless all
    // came within 10 s.
    template <typename Match>
    std::vector<DataPack> waitFor(std::vector<service_id> ids, Match match) {
        std::vector<DataPack> found;
        std::vector<size_t> at;
        std::unique_lock<std::mutex> lock(_state->mtx);
        _state->cv.wait_for(lock, std::chrono::seconds(10), [&] {
            found.clear();
            at.clear();
            for (service_id id : ids) {
                auto first = std::find_if(_state->packs.begin(), _state->packs.end(), [&](const DataPack& p) {
                    return static_cast<uint32_t>(p.code()) == (id | NOTIFY_CODE_FLAG) && match(p);
                });
                if (first != _state->packs.end()) {
                    found.push_back(*first);
                    at.push_back(static_cast<size_t>(first - _state->packs.begin()));
                }
            }
            return found.size() == ids.size();
        });
        EXPECT_TRUE(std::is_sorted(at.begin(), at.end()));
        return found.size() == ids.size() ? found : std::vector<DataPack>{};
    }
    std::vector<DataPack> waitFor(std::vector<service_id> ids) {
        return waitFor(std::move(ids), [](const DataPack&) { return true; });
    }

    // Every notification of `id` so far, once `count` of them came (or `ms` passed).
    std::vector<DataPack> waitCount(service_id id, size_t count, int ms = 10000) {
        std::vector<DataPack> found;
        std::unique_lock<std::mutex> lock(_state->mtx);
        _state->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            found.clear();
            std::copy_if(_state->packs.begin(), _state->packs.end(), std::back_inserter(found),
                         [&](const DataPack& p) { return static_cast<uint32_t>(p.code()) == (id | NOTIFY_CODE_FLAG); });
            return found.size() >= count;
        });
        return found;
    }

    // Forgets what arrived so far.
    void clear() {
        std::lock_guard<std::mutex> lock(_state->mtx);
        _state->packs.clear();
    }

    // The record a notification carries as raw bytes under its own code.
    template <typename Record>
    static Record record(const DataPack& pack) {
        Record record;
        const int key = static_cast<int>(static_cast<uint32_t>(pack.code()) & ~NOTIFY_CODE_FLAG);
        EXPECT_TRUE(record.ParseFromString(pack.data().count(key) ? pack.data().at(key).rawval() : "x"));
        return record;
    }

private:
    struct State {
        std::mutex mtx;
        std::condition_variable cv;
        std::vector<DataPack> packs;
    };
    std::shared_ptr<State> _state = std::make_shared<State>();
};

} // namespace testing_support
