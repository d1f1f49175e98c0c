// The acquisition's reader's turn is taken in the order it is asked for.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ScpiReaderTurn.h"
#include "../../platform/eventually.h"

// A read that asks while another waits for the turn comes after it, even
// when it asks the moment the turn is given back.
TEST(ScpiReaderTurnTest, ReadsTakeTheTurnInTheOrderAsked) {
    ScpiReaderTurn turn;
    const auto never = [] { return false; };
    std::mutex mtx;
    std::vector<int> order;
    auto note = [&](int reader) {
        std::lock_guard<std::mutex> lock(mtx);
        order.push_back(reader);
    };
    std::optional<ScpiReaderTurn::Hold> holder;
    holder.emplace(turn, never);
    std::thread earlier([&] {
        ScpiReaderTurn::Hold hold(turn, never);
        note(1);
    });
    ASSERT_TRUE(testing_support::eventually([&] { return turn.waiting() == 1; }));
    holder.reset();
    {
        ScpiReaderTurn::Hold later(turn, never);
        note(2);
    }
    earlier.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}
