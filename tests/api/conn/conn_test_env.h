#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../toolkit/log_records.h"
#include "CFEM.h"
#include "ConnService.h"
#include "DrvInterfaceManage.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "conn_test_client.h"
#include "dev/gpio/CGpioCtl.h"
#include "sim_gpio.h"
#include "sim_registry.h"

// The one ConnService of the test program, on free ports, with one test
// manager bound for the whole program (bindings are never removed).
namespace conn_test {

using ValueMap = google::protobuf::Map<int, Value>;

constexpr unsigned int kEchoId = 0x1000F101;     // answers the source and key 2's text
constexpr unsigned int kFailingId = 0x1000F102;  // answers key 1, returns 8
constexpr unsigned int kCountedId = 0x1000F103;  // counts its calls
constexpr unsigned int kSizedId = 0x1000F104;    // answers rawVal of key 1's size
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
        entries[kSizedId] = [](unsigned int, const ValueMap& in, ValueMap* out) {
            insertRaw(*out, 1, std::string(in.count(1) != 0 ? in.at(1).u32val() : 0, 'x'));
            return 0;
        };
    }

    // Every new notification client gets (and every attached one sees) a
    // numbered welcome: the sign that the newcomer is attached.
    void onClientConnect() override {
        ValueMap payload;
        insertU32(payload, 1, ++connects);
        CFEM::pushMessage(UPDATE_FUNCTION_CONFIG, payload);
    }

    std::atomic<unsigned int> calls{0};
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

inline bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class UiLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Interface_SCPManage(1);
        SCP_SetInterfaceIsUsed(1);
        DrvScpi_SmInitial();
        testManager();
        ConnService::instance()->start(0, 0);
    }

    void SetUp() override {
        SCP_ClearErrQueue(1);
        // Beeps reach the simulated GPIO device, which counts them.
        ASSERT_TRUE(CGpioCtl::instance()->GPIO_Connect());
        _beeps_before = platform::simGpio().beeps();
        _log = std::make_shared<testing_support::RecordingChannel>("conn-test");
        toolkit::getLogger().add(_log);
        ASSERT_TRUE(eventually([] { return ConnService::instance()->clientCount() == 0; }));
    }
    void TearDown() override { toolkit::getLogger().del("conn-test"); }

    static uint16_t requestPort() { return ConnService::instance()->requestPort(); }
    static uint16_t notifyPort() { return ConnService::instance()->notifyPort(); }
    unsigned long beeps() const { return platform::simGpio().beeps() - _beeps_before; }
    static std::vector<std::string> drainErrors() {
        std::vector<std::string> texts;
        while (const char* text = SCP_ReadErrQueue(1)) {
            texts.push_back(text);
        }
        return texts;
    }
    bool loggedContaining(const std::string& part) const {
        auto texts = _log->texts();
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& text) { return text.find(part) != std::string::npos; });
    }

    // A notification client that is attached: it has seen a welcome pushed
    // after it connected.
    static std::unique_ptr<LinkClient> attachedClient() {
        unsigned int before = testManager().connects.load();
        auto client = std::make_unique<LinkClient>(notifyPort());
        DataPack pack;
        bool welcomed = client->connected() && client->readUntil(
                                                   [&](const DataPack& p) {
                                                       return p.code() == kWelcomeCode &&
                                                              p.data().at(1).u32val() > before;
                                                   },
                                                   pack);
        return welcomed ? std::move(client) : nullptr;
    }

    std::shared_ptr<testing_support::RecordingChannel> _log;

private:
    unsigned long _beeps_before = 0;
};

} // namespace conn_test
