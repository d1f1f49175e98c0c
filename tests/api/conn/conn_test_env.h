#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../../core/hub_fixture.h"
#include "../../platform/eventually.h"
#include "CFEM.h"
#include "ConnService.h"
#include "conn_test_client.h"

// The one ConnService of the test program, on free ports, with one test
// manager bound for the whole program (bindings are never removed).
namespace conn_test {

using ValueMap = google::protobuf::Map<int, Value>;

constexpr unsigned int kEchoId = 0x1000F101;     // answers the source and key 2's text
constexpr unsigned int kFailingId = 0x1000F102;  // answers key 1, returns 8
constexpr unsigned int kCountedId = 0x1000F103;  // counts its calls
constexpr unsigned int kSizedId = 0x1000F104;    // answers rawVal of key 1's size, counts its calls
constexpr unsigned int kUnboundId = 0x1000F1FF;
constexpr int kNotifyCode = static_cast<int>(UPDATE_MEASURE_DATA | NOTIFY_CODE_FLAG);
constexpr int kWelcomeCode = static_cast<int>(UPDATE_FUNCTION_CONFIG | NOTIFY_CODE_FLAG);

class LinkTestManager : public Manager {
public:
    LinkTestManager() : Manager("link_test_manager") {}

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override {
        entries[kEchoId] = [](unsigned int source, const ValueMap& in, ValueMap* out) {
            insertU32(*out, 1, source);
            insertStr(*out, 2, in.count(2) != 0 ? in.at(2).strval().c_str() : "");
            return 0;
        };
        entries[kFailingId] = [](unsigned int, const ValueMap&, ValueMap* out) {
            insertStr(*out, 1, "partial");
            return 8;
        };
        entries[kCountedId] = [this](unsigned int, const ValueMap&, ValueMap*) {
            ++calls;
            return 0;
        };
        entries[kSizedId] = [this](unsigned int, const ValueMap& in, ValueMap* out) {
            ++sized;
            insertRaw(*out, 1, std::string(in.count(1) != 0 ? in.at(1).u32val() : 0, 'x'));
            return 0;
        };
    }

    // Every new notification client gets (and every attached one sees) a
    // numbered welcome: the sign that the newcomer is attached.
    void onClientConnect() override {
        ValueMap payload;
        insertU32(payload, 1, ++connects);
        CFEM::pushMessage(UPDATE_FUNCTION_CONFIG, std::move(payload));
    }

    std::atomic<unsigned int> calls{0};
    std::atomic<unsigned int> sized{0};
    std::atomic<unsigned int> connects{0};
};

inline LinkTestManager& testManager() {
    static LinkTestManager* manager = [] {
        auto* made = new LinkTestManager();
        CFEM::instance()->bindManager(made);
        return made;
    }();
    return *manager;
}

using testing_support::eventually;

class UiLink : public testing_support::HubTest {
protected:
    static void SetUpTestSuite() {
        testManager();
        ConnService::instance()->start(0, 0);
    }

    void SetUp() override {
        HubTest::SetUp();
        ASSERT_TRUE(eventually([] { return ConnService::instance()->clientCount() == 0; }));
    }

    static uint16_t requestPort() { return ConnService::instance()->requestPort(); }
    static uint16_t notifyPort() { return ConnService::instance()->notifyPort(); }

    // A notification client that is attached: it has seen a welcome pushed
    // after it connected.
    static std::unique_ptr<LinkClient> attachedClient() {
        const unsigned int before = testManager().connects.load();
        auto client = std::make_unique<LinkClient>(notifyPort());
        auto welcome = [&](const DataPack& p) { return p.code() == kWelcomeCode && p.data().at(1).u32val() > before; };
        DataPack pack;
        return client->connected() && client->readUntil(welcome, pack) ? std::move(client) : nullptr;
    }
};

} // namespace conn_test
