// The message turn handed over by its holder: the line does not take it.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "ScpiTurn.h"
#include "../../platform/eventually.h"

// Given back by its holder, a turn handed over goes to whoever claims it,
// ahead of one waiting in line, or to the line once released unclaimed.
TEST(ScpiTurnTest, AHandedOverTurnIsClaimedAheadOfTheLineOrReleased) {
    for (bool claimed : {true, false}) {
        SCOPED_TRACE(claimed ? "claimed" : "released");
        ScpiTurn turn;
        const int holder = 0, waiter = 0;
        std::mutex mtx;
        std::vector<int> order;
        auto runs = [&](int who) {
            std::lock_guard<std::mutex> lock(mtx);
            order.push_back(who);
        };
        ASSERT_TRUE(turn.tryTake(&holder));
        turn.handOver();
        std::thread inLine([&] {
            ASSERT_TRUE(turn.take(&waiter));
            runs(2);
            turn.give();
        });
        ASSERT_TRUE(testing_support::eventually([&] { return turn.waiting() == 1; }));
        turn.give();
        EXPECT_FALSE(turn.tryTake(&holder));
        if (claimed) {
            std::thread rest([&] {
                turn.claim();
                runs(1);
                turn.give();
            });
            rest.join();
        } else {
            turn.release();
        }
        inLine.join();
        EXPECT_EQ(order, (claimed ? std::vector<int>{1, 2} : std::vector<int>{2}));
    }
}
