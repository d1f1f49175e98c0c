#pragma once
// The SCPI engine as the service runs it: started, bound to the hub, lists
// executed on the toolkit's first event poller. Every wait is bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CFEM.h"
#include "DrvScpiSM.h"
#include "Poller/EventPoller.h"
#include "ScpiManage.h"
#include "temp_root.h"
#include "../../platform/eventually.h"

namespace scpi_test {

constexpr auto kWait = std::chrono::seconds(10);

// Replies delivered by the engine, in order.
struct Replies {
    std::mutex mtx;
    std::vector<std::string> texts;

    ScpiManage::ReplyFn sink() {
        return [this](std::string reply) {
            std::lock_guard<std::mutex> lock(mtx);
            texts.push_back(std::move(reply));
        };
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(mtx);
        return texts;
    }
};

// True once everything queued on the first poller before this call has run.
inline bool drainFirstPoller() {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    toolkit::EventPoller::Instance().async([done] { done->set_value(); }, false);
    return ran.wait_for(kWait) == std::future_status::ready;
}

// True once what was handed to the engine before this call has run: the
// first poller's tasks, then the lists of `client` on its worker (of no
// client: posted by the test itself, off the poller).
inline bool drainEngine(const void* client = nullptr) {
    return drainFirstPoller() &&
           testing_support::eventually([client] { return !ScpiManage::instance().ApiScpi_ClientBusy(client); }) &&
           drainFirstPoller();
}

// A list of commands with no parameters.
inline std::vector<structScpiInfo> listOf(std::initializer_list<unsigned int> ids) {
    std::vector<structScpiInfo> cmds;
    for (unsigned int id : ids) {
        cmds.emplace_back();
        cmds.back().funcID = id;
    }
    return cmds;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::once_flag bound;
        std::call_once(bound, [] {
            ScpiManage::instance().start();
            CFEM::instance()->bindManager(&ScpiManage::instance());
        });
        // Power-on registers, own command set, empty error queue.
        ScpiManage::instance().start();
        IEEE488_CLS_Excu();
    }

    // Sends one program message as a transport does and returns what the
    // client would receive ("" when nothing was sent).
    std::string ask(const std::string& text) {
        Replies replies;
        // Handed over on the first poller, as a socket client's message is.
        toolkit::EventPoller::Instance().async([&] {
            ScpiManage::instance().ApiScpi_ProcessMessage(text.data(), static_cast<uint32_t>(text.size()),
                                                          replies.sink());
        }, false);
        EXPECT_TRUE(drainEngine());
        std::vector<std::string> got = replies.all();
        EXPECT_LE(got.size(), 1u);
        return got.empty() ? std::string() : got.front();
    }

    // Runs a ready list on the first poller, as an execution task does (one
    // of abort generation `generation` when given).
    std::string execute(std::vector<structScpiInfo> cmds, int* result = nullptr,
                        std::optional<uint64_t> generation = std::nullopt) {
        auto done = std::make_shared<std::promise<std::pair<int, std::string>>>();
        auto fut = done->get_future();
        toolkit::EventPoller::Instance().async(
            [done, cmds, generation]() mutable {
                std::string out;
                auto& scpi = ScpiManage::instance();
                int r = generation ? scpi.ApiScpi_WriteOutputQueue(std::move(cmds), out, *generation)
                                   : scpi.ApiScpi_WriteOutputQueue(std::move(cmds), out);
                done->set_value({r, out});
            },
            false);
        if (fut.wait_for(kWait) != std::future_status::ready) {
            ADD_FAILURE() << "the list did not run";
            return std::string();
        }
        auto got = fut.get();
        if (result != nullptr) {
            *result = got.first;
        }
        return got.second;
    }

    std::vector<structScpiInfo> parse(const std::string& text, int* result = nullptr) {
        std::vector<structScpiInfo> cmds;
        int r = ScpiManage::instance().ApiScpi_WriteInputQueue(text.data(), static_cast<uint32_t>(text.size()), 0,
                                                               0, cmds);
        if (result != nullptr) {
            *result = r;
        }
        return cmds;
    }

    testing_support::TempRoot root;
};

}  // namespace scpi_test
