// What a client's worker does with its queue as its client leaves.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "ScpiStrand.h"
#include "../../platform/eventually.h"

namespace {

// Holds a task until released.
struct Gate {
    std::mutex mtx;
    std::condition_variable cv;
    bool entered = false, open = false;
    void pass() {
        std::unique_lock<std::mutex> lock(mtx);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mtx);
        open = true;
        cv.notify_all();
    }
    bool wasEntered() {
        std::lock_guard<std::mutex> lock(mtx);
        return entered;
    }
};

}  // namespace

// The rest of a list handed over with the message turn runs on its client's
// own worker even when the client leaves first. In the queue of those that
// left it would wait behind their list that runs now, which waits for that
// very turn: no one would ever take the turn again.
TEST(ScpiStrandTest, TheRestOfAListHandedOverStaysWithItsWorkerAsItsClientLeaves) {
    ScpiStrand strand;
    const int client = 0, gone = 0;
    Gate first, waitsForTheTurn;
    std::mutex mtx;
    std::condition_variable cv;
    bool restRan = false, turnCame = false;
    // A list of a client that has left, waiting for the turn the rest holds.
    ASSERT_TRUE(strand.runHereOrQueue(
        [&] {
            waitsForTheTurn.pass();
            std::unique_lock<std::mutex> lock(mtx);
            turnCame = cv.wait_for(lock, std::chrono::seconds(20), [&] { return restRan; });
        },
        true, &gone, ScpiStrand::Kind::LeftBehind));
    waitsForTheTurn.release();
    ASSERT_TRUE(testing_support::eventually([&] { return waitsForTheTurn.wasEntered(); }));
    ASSERT_TRUE(strand.runHereOrQueue([&] { first.pass(); }, true, &client));
    ASSERT_TRUE(testing_support::eventually([&] { return first.wasEntered(); }));
    ASSERT_TRUE(strand.runHereOrQueue(
        [&] {
            std::lock_guard<std::mutex> lock(mtx);
            restRan = true;
            cv.notify_all();
        },
        true, &client, ScpiStrand::Kind::Continued));
    strand.depart(&client);
    first.release();
    std::unique_lock<std::mutex> lock(mtx);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return restRan; }));
    lock.unlock();
    ASSERT_TRUE(testing_support::eventually([&] { return !strand.busy(&gone); }));
    EXPECT_TRUE(turnCame) << "the rest waited behind the list waiting for its turn";
}
