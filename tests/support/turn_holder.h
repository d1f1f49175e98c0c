#pragma once
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

#include "CFEM.h"
#include "ScpiManage.h"

namespace testing_support {

// Another client's message whose one command keeps the message turn (it
// runs long without waiting) until released, so that what others post
// meanwhile waits in line in the order posted.
class TurnHolder {
public:
    // Returns once the message holds the turn (false: it never came to).
    bool hold() {
        std::promise<void> entered;
        {
            std::lock_guard<std::mutex> lock(state().mtx);
            state().gate = m_release.get_future().share();
            state().entered = &entered;
        }
        bindOnce();
        std::vector<structScpiInfo> cmds(1);
        cmds.front().funcID = kHolder;
        static const int holder = 0;
        ScpiManage::instance().ApiScpi_PostExecute(std::move(cmds), nullptr, &holder);
        return entered.get_future().wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    }
    void release() { m_release.set_value(); }

private:
    static constexpr unsigned int kHolder = 0x10009903;  // of no table
    struct State {
        std::mutex mtx;
        std::shared_future<void> gate;
        std::promise<void>* entered = nullptr;
    };
    static State& state() {
        static State s;
        return s;
    }
    static void bindOnce() {
        static std::once_flag bound;
        std::call_once(bound, [] {
            CFEM::instance()->bindCallback(kHolder, [](unsigned int, const google::protobuf::Map<int, Value>&,
                                                       google::protobuf::Map<int, Value>*) {
                std::shared_future<void> gate;
                {
                    std::lock_guard<std::mutex> lock(state().mtx);
                    gate = state().gate;
                    state().entered->set_value();
                }
                gate.wait_for(std::chrono::seconds(20));
                return 0;
            });
        });
    }

    std::promise<void> m_release;
};

}  // namespace testing_support
