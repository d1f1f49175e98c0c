#pragma once
// Collects the notifications the hub delivers while it lives.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CFEM.h"
#include "proto_data.pb.h"

namespace system_test {

class NotifyCapture {
public:
    NotifyCapture() : _state(std::make_shared<State>()) {
        // A delivery may still run after the sink is removed: it keeps the
        // state alive through its own reference.
        std::shared_ptr<State> state = _state;
        CFEM::setNotifySink([state](const char* data, unsigned int length) {
            DataPack pack;
            pack.ParseFromArray(data, static_cast<int>(length));
            std::lock_guard<std::mutex> lock(state->mtx);
            state->packs.push_back(pack);
            state->cv.notify_all();
        });
    }
    ~NotifyCapture() { CFEM::setNotifySink(nullptr); }

    // The first notification of `id` (code = id | 0x80000000); false when none
    // came within 10 s.
    bool waitFor(service_id id, DataPack& out) {
        const int32_t code = static_cast<int32_t>(static_cast<uint32_t>(id) | NOTIFY_CODE_FLAG);
        std::unique_lock<std::mutex> lock(_state->mtx);
        return _state->cv.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const DataPack& pack : _state->packs) {
                if (pack.code() == code) {
                    out = pack;
                    return true;
                }
            }
            return false;
        });
    }

    // The notification codes in arrival order (without the flag bit).
    std::vector<uint32_t> ids() const {
        std::lock_guard<std::mutex> lock(_state->mtx);
        std::vector<uint32_t> ids;
        for (const DataPack& pack : _state->packs) {
            ids.push_back(static_cast<uint32_t>(pack.code()) & ~NOTIFY_CODE_FLAG);
        }
        return ids;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(_state->mtx);
        _state->packs.clear();
    }

private:
    struct State {
        std::mutex mtx;
        std::condition_variable cv;
        std::vector<DataPack> packs;
    };
    std::shared_ptr<State> _state;
};

} // namespace system_test
