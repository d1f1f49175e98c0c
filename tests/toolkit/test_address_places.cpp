#include <gtest/gtest.h>
#include <sys/resource.h>

#include <map>
#include <string>
#include <vector>

#include "Network/AddressPlaces.h"
#include "Network/sockutil.h"
#include "soft_limit.h"

using namespace toolkit;
using Refusal = AddressPlaces::Refusal;
using testing_support::SoftLimit;

namespace {

// "" stands for a peer whose address accept did not give.
sockaddr_storage peer(const std::string& address) {
    return address.empty() ? sockaddr_storage{} : SockUtil::make_sockaddr(address.c_str(), 40000);
}

} // namespace

// The cap follows the count and the descriptor limit; an address's share
// leaves an eighth of the places (at least one) to the others, and still lets
// 100 clients of one address in at the caps of the SCPI and VXI-11 ports.
TEST(AddressPlaces, CapAndShareFollowTheCountAndTheDescriptorLimit) {
    const struct {
        rlim_t limit;
        size_t count;
        bool perAddress;
        size_t cap;
        size_t share;
    } cases[] = {
        {4096, 256, true, 256, 224}, {1024, 256, true, 128, 112}, {4096, 32, false, 32, 0},
        {4096, 8, true, 8, 7},       {4096, 2, true, 2, 1},       {4096, 1, true, 1, 0},
        {4096, 0, true, 512, 448},   {4096, 1u << 30, false, 512, 0}, {8, 16, true, 1, 0},
    };
    for (const auto& c : cases) {
        SoftLimit limit(c.limit);
        if (!limit.set()) {
            GTEST_SKIP() << "hard descriptor limit below " << c.limit;
        }
        AddressPlaces places;
        places.setLimits(c.count, c.perAddress);
        EXPECT_EQ(places.cap(), c.cap) << c.limit << " " << c.count;
        EXPECT_EQ(places.share(), c.share) << c.limit << " " << c.count;
    }
}

// Steps of one counter: take a place for an address (expecting a refusal or
// none), or give back one place of an address; then the places its host holds.
TEST(AddressPlaces, AddressesHoldTheirShareAndTheRestStaysForOthers) {
    constexpr bool kTake = true;
    constexpr bool kGive = false;
    struct Step {
        bool take;
        std::string address;
        Refusal expected;
        size_t heldAfter;
    };
    const struct {
        size_t count;
        bool perAddress;
        std::vector<Step> steps;
    } cases[] = {
        {8, true,
         {{kTake, "127.0.0.1", Refusal::None, 1}, {kTake, "127.0.0.1", Refusal::None, 2},
          {kTake, "127.0.0.1", Refusal::None, 3}, {kTake, "127.0.0.1", Refusal::None, 4},
          {kTake, "127.0.0.1", Refusal::None, 5}, {kTake, "127.0.0.1", Refusal::None, 6},
          {kTake, "127.0.0.1", Refusal::None, 7}, {kTake, "127.0.0.1", Refusal::Address, 7},
          // The same host through a dual-stack listener.
          {kTake, "::ffff:127.0.0.1", Refusal::Address, 7}, {kTake, "127.0.0.2", Refusal::None, 1},
          {kTake, "127.0.0.3", Refusal::Listener, 0}, {kGive, "127.0.0.1", Refusal::None, 6},
          {kTake, "127.0.0.3", Refusal::None, 1}, {kTake, "127.0.0.1", Refusal::Listener, 6}}},
        // IPv6 hosts by their /64 prefix.
        {4, true,
         {{kTake, "2001:db8::1", Refusal::None, 1}, {kTake, "2001:db8::2", Refusal::None, 2},
          {kTake, "2001:db8::ffff:3", Refusal::None, 3}, {kTake, "2001:db8::4", Refusal::Address, 3},
          {kTake, "2001:db8:0:1::1", Refusal::None, 1}, {kTake, "10.0.0.1", Refusal::Listener, 0},
          {kGive, "2001:db8::2", Refusal::None, 2}, {kTake, "2001:db8::5", Refusal::None, 3}}},
        // Peers without an address share one address's places.
        {4, true,
         {{kTake, "", Refusal::None, 1}, {kTake, "", Refusal::None, 2}, {kTake, "", Refusal::None, 3},
          {kTake, "", Refusal::Address, 3}, {kTake, "127.0.0.1", Refusal::None, 1}}},
        // Without shares one address may take every place.
        {3, false,
         {{kTake, "127.0.0.1", Refusal::None, 1}, {kTake, "127.0.0.1", Refusal::None, 2},
          {kTake, "127.0.0.1", Refusal::None, 3}, {kTake, "127.0.0.1", Refusal::Listener, 3},
          {kTake, "127.0.0.2", Refusal::Listener, 0}}},
    };
    for (const auto& c : cases) {
        AddressPlaces places;
        places.setLimits(c.count, c.perAddress);
        std::multimap<std::string, AddressPlaces::Place> held;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("case of " + std::to_string(c.count) + ", step " + std::to_string(i));
            const Step& step = c.steps[i];
            if (step.take) {
                Refusal why = Refusal::Listener;
                auto place = places.take(peer(step.address), &why);
                EXPECT_EQ(why, step.expected);
                EXPECT_EQ(place != nullptr, step.expected == Refusal::None);
                if (place) {
                    held.emplace(step.address, std::move(place));
                }
            } else {
                held.erase(held.find(step.address));
            }
            EXPECT_EQ(places.heldBy(peer(step.address)), step.heldAfter);
            EXPECT_EQ(places.used(), held.size());
        }
        held.clear();
        EXPECT_EQ(places.used(), 0u);
        EXPECT_EQ(places.heldBy(peer(c.steps[0].address)), 0u);
    }
}

// A connection may end after its listener's counter is gone.
TEST(AddressPlaces, PlaceOutlivesItsCounter) {
    AddressPlaces::Place place;
    {
        AddressPlaces places;
        places.setLimits(2, true);
        place = places.take(peer("127.0.0.1"));
        ASSERT_NE(place, nullptr);
    }
    place.reset();
}
