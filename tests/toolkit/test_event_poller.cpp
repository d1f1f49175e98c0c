#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Network/Buffer.h"
#include "Poller/EventPoller.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;
using namespace std::chrono_literals;

// In these tests the poller is declared after everything its tasks and
// callbacks touch, so it is destroyed (and its loop joined) first.

namespace {

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
    ~SocketPair() {
        for (int f : fd) {
            if (f != -1) {
                close(f);
            }
        }
    }
    int fd[2] = {-1, -1};
};

void drain(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

} // namespace

// ---------------------------------------------------------------- task order

TEST(EventPollerTasks, MaySyncRunsInlineOnlyOnTheLoopThread) {
    Latch ran;
    std::atomic<bool> ran_elsewhere{false};
    auto poller = startPoller();
    auto handle = poller->async([&]() {
        ran_elsewhere = poller->isCurrentThread();
        ran.set();
    }, true);
    EXPECT_TRUE(handle) << "a task posted from another thread is queued";
    ASSERT_TRUE(ran.wait());
    EXPECT_TRUE(ran_elsewhere);

    ASSERT_TRUE(runOn(poller, [&]() {
        bool inline_ran = false;
        auto inline_handle = poller->async([&]() { inline_ran = true; }, true);
        EXPECT_TRUE(inline_ran);
        EXPECT_FALSE(inline_handle);

        bool queued_ran = false;
        auto queued_handle = poller->async([&queued_ran]() { queued_ran = true; }, false);
        EXPECT_FALSE(queued_ran) << "may_sync false queues even on the loop thread";
        ASSERT_TRUE(queued_handle);
        queued_handle->cancel();
    }));
}

TEST(EventPollerTasks, AsyncFirstRunsAheadOfQueuedTasks) {
    Trace trace;
    Latch done;
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        poller->async([&]() { trace.add("a"); });
        poller->async([&]() { trace.add("b"); });
        poller->async_first([&]() { trace.add("first"); });
        poller->async([done]() { done.set(); });
    }
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"first", "a", "b"}));
}

TEST(EventPollerTasks, TasksPostedDuringABatchRunInTheNextBatch) {
    Trace trace;
    Latch done;
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        // One batch: t1 and t2. What t1 posts, even to the front, runs after t2.
        poller->async([&]() {
            trace.add("t1");
            poller->async_first([&]() {
                trace.add("t3");
                done.set();
            }, false);
        });
        poller->async([&]() { trace.add("t2"); });
    }
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"t1", "t2", "t3"}));
}

TEST(EventPollerTasks, ExceptionInTaskIsLoggedAndLoopGoesOn) {
    LogRecorder log("poller-task-exception");
    auto poller = startPoller();
    poller->async([]() { throw std::runtime_error("task failure 7f3a"); });
    EXPECT_TRUE(runOn(poller, []() {})) << "the loop must go on after a throwing task";
    EXPECT_TRUE(log.waitForText("Exception occurred when do async task: task failure 7f3a"));
}

TEST(EventPollerTasks, CancelledTaskDoesNotRun) {
    std::atomic<bool> ran{false};
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        poller->async([&]() { ran = true; })->cancel();
    }
    ASSERT_TRUE(runOn(poller, []() {}));
    EXPECT_FALSE(ran);
}

// ---------------------------------------------------------------- clearTasks

TEST(EventPollerClearTasks, DropsOnlyClearableTasks) {
    SocketPair sp;
    std::atomic<int> clearable_runs{0};
    std::atomic<bool> plain_ran{false};
    Latch readable;
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        poller->async_clearable([&]() { ++clearable_runs; });
        poller->async([&]() { plain_ran = true; });
        // A registration from another thread is itself a queued toolkit task.
        EXPECT_EQ(poller->addEvent(sp.fd[0], EventPoller::Event_Read, [&, readable](int) {
            drain(sp.fd[0]);
            readable.set();
        }), 0);
        poller->async_clearable([&]() { ++clearable_runs; });
        poller->clearTasks();
    }
    ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
    EXPECT_TRUE(readable.wait()) << "the registration queued before clearTasks must survive";
    ASSERT_TRUE(runOn(poller, []() {}));
    EXPECT_TRUE(plain_ran);
    EXPECT_EQ(clearable_runs, 0);
}

TEST(EventPollerClearTasks, DroppedTaskMayPostFromItsDestructor) {
    // Posts to the poller when the dropped task's function object dies.
    struct PostOnDestroy {
        PostOnDestroy(EventPoller* p, Latch l) : poller(p), posted_ran(l) {}
        EventPoller* poller;
        Latch posted_ran;
        ~PostOnDestroy() {
            auto latch = posted_ran;
            poller->async([latch]() { latch.set(); }, false);
        }
    };
    Latch posted_ran;
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        auto guard = std::make_shared<PostOnDestroy>(poller.get(), posted_ran);
        poller->async_clearable([guard]() {});
        guard.reset();
        poller->clearTasks();
    }
    EXPECT_TRUE(posted_ran.wait());
}

TEST(EventPollerClearTasks, ClearableTaskRunsInlineOnTheLoopThread) {
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        bool ran = false;
        poller->async_clearable([&]() { ran = true; }, true);
        EXPECT_TRUE(ran);
    }));
}

// ---------------------------------------------------------------- delayed tasks

TEST(EventPollerDelay, ZeroDelayRunsInTheNextPass) {
    Latch done;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        poller->doDelayTask(0, [done]() -> uint64_t {
            done.set();
            return 0;
        });
        EXPECT_FALSE(done.isSet()) << "scheduling never runs the task at once";
    }));
    EXPECT_TRUE(done.wait());
}

TEST(EventPollerDelay, DelayedTaskMayScheduleAnotherForNow) {
    Latch done;
    auto poller = startPoller();
    poller->doDelayTask(0, [&, done]() -> uint64_t {
        // Due at once from inside the loop: the loop must not wait for an event.
        poller->doDelayTask(0, [done]() -> uint64_t {
            done.set();
            return 0;
        });
        return 0;
    });
    EXPECT_TRUE(done.wait());
}

TEST(EventPollerDelay, CancelledTaskNeverRuns) {
    std::atomic<bool> cancelled_ran{false};
    Latch later;
    auto poller = startPoller();
    auto handle = poller->doDelayTask(30, [&]() -> uint64_t {
        cancelled_ran = true;
        return 0;
    });
    handle->cancel();
    poller->doDelayTask(120, [later]() -> uint64_t {
        later.set();
        return 0;
    });
    ASSERT_TRUE(later.wait());
    EXPECT_FALSE(cancelled_ran);
}

TEST(EventPollerDelay, EqualDueTimesKeepSchedulingOrder) {
    Trace trace;
    Latch done;
    auto poller = startPoller();
    {
        // Scheduled from another thread while the loop is busy, so that the
        // insertions queue up (each ahead of the others) before any runs.
        LoopGate gate(poller);
        for (int i = 0; i < 5; ++i) {
            poller->doDelayTask(0, [&trace, i]() -> uint64_t {
                trace.add(std::to_string(i));
                return 0;
            });
        }
        poller->doDelayTask(0, [done]() -> uint64_t {
            done.set();
            return 0;
        });
    }
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"0", "1", "2", "3", "4"}));

    // The same from the loop thread itself.
    Trace inner;
    Latch inner_done;
    ASSERT_TRUE(runOn(poller, [&]() {
        for (int i = 0; i < 3; ++i) {
            poller->doDelayTask(20, [&inner, i]() -> uint64_t {
                inner.add(std::to_string(i));
                return 0;
            });
        }
        poller->doDelayTask(20, [inner_done]() -> uint64_t {
            inner_done.set();
            return 0;
        });
    }));
    ASSERT_TRUE(inner_done.wait());
    EXPECT_EQ(inner.labels(), (std::vector<std::string>{"0", "1", "2"}));
}

TEST(EventPollerDelay, ReturnedDelayRearmsAndZeroStops) {
    std::vector<std::chrono::steady_clock::time_point> runs;
    Latch checked;
    auto poller = startPoller();
    poller->doDelayTask(10, [&]() -> uint64_t {
        runs.push_back(std::chrono::steady_clock::now());
        if (runs.size() < 3) {
            return 100;
        }
        // A task still armed would run again (100 ms on) before this check.
        poller->doDelayTask(300, [checked]() -> uint64_t {
            checked.set();
            return 0;
        });
        return 0;
    });
    ASSERT_TRUE(checked.wait());
    ASSERT_EQ(runs.size(), 3u);
    // Lower bounds only, with a margin for the cached clock's step.
    EXPECT_GE(runs[1] - runs[0], 90ms);
    EXPECT_GE(runs[2] - runs[1], 90ms);
}

TEST(EventPollerDelay, ThrowingTaskIsLoggedAndDropped) {
    LogRecorder log("poller-delay-exception");
    std::atomic<int> calls{0};
    Latch later;
    auto poller = startPoller();
    poller->doDelayTask(0, [&]() -> uint64_t {
        ++calls;
        throw std::runtime_error("delay failure 91c2");
    });
    poller->doDelayTask(150, [later]() -> uint64_t {
        later.set();
        return 0;
    });
    ASSERT_TRUE(later.wait());
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(log.waitForText("Exception occurred when do delay task: delay failure 91c2"));
}

// ---------------------------------------------------------------- descriptors

TEST(EventPollerEvents, ModifyEventSwitchesWriteInterest) {
    SocketPair sp;
    std::atomic<int> writes{0};
    Latch three_writes;
    Latch read_seen;
    const int base = EventPoller::Event_Read | EventPoller::Event_Error | EventPoller::Event_LT;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        ASSERT_EQ(poller->addEvent(sp.fd[0], base, [&](int event) {
            if (event & EventPoller::Event_Write) {
                // Level-triggered: fires at every pass until the interest is off.
                if (++writes == 3) {
                    EXPECT_EQ(poller->modifyEvent(sp.fd[0], base), 0);
                    three_writes.set();
                }
            }
            if (event & EventPoller::Event_Read) {
                drain(sp.fd[0]);
                read_seen.set();
            }
        }), 0);
    }));
    ASSERT_TRUE(runOn(poller, []() {}));
    EXPECT_EQ(writes, 0) << "no write interest registered yet";

    EXPECT_EQ(poller->modifyEvent(sp.fd[0], base | EventPoller::Event_Write), 0);
    ASSERT_TRUE(three_writes.wait());

    // A later read event shows the loop went on without further write events.
    ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
    ASSERT_TRUE(read_seen.wait());
    ASSERT_TRUE(runOn(poller, []() {}));
    EXPECT_EQ(writes, 3);
}

TEST(EventPollerEvents, ExclusiveRegistrationOnlyWhenAskedFor) {
    LogRecorder log("poller-modify-failure");
    SocketPair plain, exclusive;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        EXPECT_EQ(poller->addEvent(plain.fd[0], EventPoller::Event_Read, [](int) {}), 0);
        EXPECT_EQ(poller->addEvent(exclusive.fd[0], EventPoller::Event_Read | EventPoller::Event_Exclusive,
                                   [](int) {}), 0);
    }));
    EXPECT_EQ(poller->modifyEvent(plain.fd[0], EventPoller::Event_Read | EventPoller::Event_Write), 0);
    // The kernel refuses to change an exclusive registration; that is logged.
    EXPECT_EQ(poller->modifyEvent(exclusive.fd[0], EventPoller::Event_Read | EventPoller::Event_Write), -1);
    EXPECT_TRUE(log.waitForText("Modify event of fd " + std::to_string(exclusive.fd[0]) + " failed"));
}

TEST(EventPollerEvents, AddEventRejectsEmptyCallback) {
    SocketPair sp;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() { EXPECT_EQ(poller->addEvent(sp.fd[0], EventPoller::Event_Read, nullptr), -1); }));
}

TEST(EventPollerEvents, DelEventOfUnknownDescriptorReportsFalse) {
    SocketPair sp;
    std::atomic<int> later_result{-1};
    std::atomic<bool> later_on_loop{false};
    Latch later;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        bool result = true;
        EXPECT_EQ(poller->delEvent(sp.fd[0], [&](bool success) { result = success; }), -1);
        EXPECT_FALSE(result);
    }));
    EXPECT_EQ(poller->delEvent(sp.fd[0], [&, later](bool success) {
        later_result = success;
        later_on_loop = poller->isCurrentThread();
        later.set();
    }), 0);
    ASSERT_TRUE(later.wait());
    EXPECT_EQ(later_result, 0);
    EXPECT_TRUE(later_on_loop) << "the callback runs on the poller's thread";
}

TEST(EventPollerEvents, DelEventStopsCallbacks) {
    SocketPair sp;
    std::atomic<int> calls{0};
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        ASSERT_EQ(poller->addEvent(sp.fd[0], EventPoller::Event_Read | EventPoller::Event_LT,
                                   [&](int) { ++calls; }), 0);
        bool result = false;
        EXPECT_EQ(poller->delEvent(sp.fd[0], [&](bool success) { result = success; }), 0);
        EXPECT_TRUE(result);
    }));
    ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
    ASSERT_TRUE(runOn(poller, []() {}));
    ASSERT_TRUE(runOn(poller, []() {}));
    EXPECT_EQ(calls, 0);
}

TEST(EventPollerEvents, StaleEntryOfAClosedDescriptorIsReplaced) {
    SocketPair first, second;
    const int fd = first.fd[0];
    std::atomic<int> stale_calls{0};
    Latch fresh_called;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        ASSERT_EQ(poller->addEvent(fd, EventPoller::Event_Read, [&](int) { ++stale_calls; }), 0);
        // Closed without delEvent: the number now names another socket.
        ASSERT_EQ(dup2(second.fd[0], fd), fd);
        ASSERT_EQ(poller->addEvent(fd, EventPoller::Event_Read, [&, fresh_called](int) {
            drain(fd);
            fresh_called.set();
        }), 0);
    }));
    ASSERT_EQ(write(second.fd[1], "x", 1), 1);
    EXPECT_TRUE(fresh_called.wait());
    ASSERT_TRUE(runOn(poller, []() {}));
    EXPECT_EQ(stale_calls, 0);
}

TEST(EventPollerEvents, ExceptionInEventCallbackIsLogged) {
    LogRecorder log("poller-event-exception");
    SocketPair sp;
    auto poller = startPoller();
    EXPECT_EQ(poller->addEvent(sp.fd[0], EventPoller::Event_Read,
                               [](int) { throw std::runtime_error("event failure 5d0e"); }), 0);
    ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
    EXPECT_TRUE(log.waitForText("Exception occurred when do event task: event failure 5d0e"));
    EXPECT_TRUE(runOn(poller, []() {}));
}

// ---------------------------------------------------------------- lifecycle

TEST(EventPollerLifecycle, ShutdownFromTheLoopThreadDoesNotTerminate) {
    Trace trace;
    Latch done;
    auto poller = startPoller();
    EventPoller* raw = poller.get();
    poller->async([&, raw, done]() {
        raw->shutdown();
        // Queued behind the exit task: still runs in that batch.
        raw->async([&, done]() {
            trace.add("behind exit");
            done.set();
        }, false);
    });
    ASSERT_TRUE(done.wait());
    poller.reset();
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"behind exit"}));
}

TEST(EventPollerLifecycle, TasksLeftAfterShutdownRunOnTheDestroyingThread) {
    std::thread::id ran_on;
    auto poller = startPoller();
    poller->shutdown();
    poller->async([&]() { ran_on = std::this_thread::get_id(); });
    poller.reset();
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(EventPollerLifecycle, CurrentPollerIsSetOnTheLoopThreadOnly) {
    auto poller = startPoller();
    EXPECT_FALSE(EventPoller::getCurrentPoller());
    EXPECT_FALSE(poller->isCurrentThread());
    ASSERT_TRUE(runOn(poller, [&]() {
        EXPECT_EQ(EventPoller::getCurrentPoller(), poller);
        EXPECT_TRUE(poller->isCurrentThread());
    }));
}

// ---------------------------------------------------------------- buffers

TEST(EventPollerBuffer, SharedBufferLivesOnlyWhileHeld) {
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        auto buffer = poller->getSharedBuffer();
        EXPECT_EQ(buffer->getCapacity(), 256u * 1024 + 1);
        EXPECT_EQ(poller->getSharedBuffer(), buffer);
        std::weak_ptr<BufferRaw> weak = buffer;
        buffer.reset();
        EXPECT_TRUE(weak.expired()) << "the poller holds its buffer weakly";
        EXPECT_EQ(poller->getSharedBuffer()->getCapacity(), 256u * 1024 + 1);
    }));
}

TEST(BufferRaw, AssignAddsATerminatingZero) {
    auto buffer = BufferRaw::create();
    buffer->assign("abc");
    EXPECT_EQ(buffer->size(), 3u);
    EXPECT_EQ(buffer->getCapacity(), 4u);
    EXPECT_EQ(buffer->data()[3], '\0');
    EXPECT_EQ(buffer->toString(), "abc");
}

TEST(BufferRaw, CapacityIsReusedUnlessMostlyWasted) {
    auto buffer = BufferRaw::create();
    buffer->setCapacity(4096);
    buffer->setCapacity(2049);
    EXPECT_EQ(buffer->getCapacity(), 4096u);
    buffer->setCapacity(2048);
    EXPECT_EQ(buffer->getCapacity(), 2048u);

    auto small = BufferRaw::create();
    small->setCapacity(1000);
    small->setCapacity(10);
    EXPECT_EQ(small->getCapacity(), 1000u);
}

TEST(BufferRaw, SetSizeBeyondCapacityThrows) {
    auto buffer = BufferRaw::create();
    buffer->setCapacity(8);
    buffer->setSize(8);
    EXPECT_THROW(buffer->setSize(9), std::invalid_argument);
    EXPECT_EQ(buffer->size(), 8u);
}

TEST(BufferRaw, StatisticCountsLiveBuffers) {
    auto before = ObjectStatistic<BufferRaw>::count();
    {
        auto buffer = BufferRaw::create();
        EXPECT_EQ(ObjectStatistic<BufferRaw>::count(), before + 1);
    }
    EXPECT_EQ(ObjectStatistic<BufferRaw>::count(), before);
}
