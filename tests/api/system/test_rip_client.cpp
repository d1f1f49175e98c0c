// The network-status client against a fake service: what it keeps, when it
// reports a link change, and how it takes records that TCP cut or the
// service left short.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "RipClient.h"
#include "../../platform/eventually.h"
#include "fake_net_service.h"
#include "slow.h"

using testing_support::eventually;
using testing_support::FakeNetService;
using testing_support::netRecord;
using namespace std::chrono_literals;

namespace {

class RipClientTest : public ::testing::Test {
protected:
    // A client of `port` whose reports are collected.
    std::unique_ptr<RipClient> makeClient(uint16_t port, std::chrono::milliseconds firstWait = 3000ms) {
        RipClientSettings settings;
        settings.port = port;
        settings.retryDelay = 50ms;
        settings.firstRecordWait = firstWait;
        return std::make_unique<RipClient>(settings, [this](NET_STATUS status, const NET_CONFIG_PARA&) {
            std::lock_guard<std::mutex> lock(_mtx);
            _reports.push_back(status);
            _cv.notify_all();
        });
    }

    // The reports once there are `count` of them (or after 10 s).
    std::vector<NET_STATUS> reports(size_t count) {
        std::unique_lock<std::mutex> lock(_mtx);
        _cv.wait_for(lock, 10s, [&] { return _reports.size() >= count; });
        return _reports;
    }

    FakeNetService service;

private:
    std::mutex _mtx;
    std::condition_variable _cv;
    std::vector<NET_STATUS> _reports;
};

} // namespace

// No service, or one that never answers: start returns within its bound and
// the client holds nothing yet.
TEST_F(RipClientTest, StartIsBoundedWithoutAnAnsweringService) {
    for (bool listening : {false, true}) {
        auto client = makeClient(listening ? service.port() : FakeNetService::refusedPort(), 200ms);
        const auto begin = std::chrono::steady_clock::now();
        client->start();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s * testing_support::kSlow) << listening;
        EXPECT_TRUE(!listening || service.accept());
        const RipNetSnapshot s = client->snapshot();
        EXPECT_EQ(s.status, UNLINK);
        EXPECT_EQ(s.mode, -1);
        EXPECT_EQ(s.info.ip, 0);
        EXPECT_STREQ(s.mac, "");
    }
}

TEST_F(RipClientTest, ReportsOnlyChangesAndNeverTheFirstRecordOfAConnection) {
    auto client = makeClient(service.port());
    std::thread first([&] {
        ASSERT_TRUE(service.accept());
        service.send(netRecord(LINK, 0, "10.0.0.1"));
    });
    client->start();
    first.join();
    EXPECT_EQ(client->snapshot().status, LINK);

    for (NET_STATUS status : {SUCCESS, SUCCESS, CONFLICT}) {
        service.send(netRecord(status));
    }
    EXPECT_EQ(reports(2), (std::vector<NET_STATUS>{SUCCESS, CONFLICT}));

    // The service goes away and comes back: the first record after the
    // reconnection differs from the last report and still is not one.
    service.closeClient();
    ASSERT_TRUE(service.accept());
    service.send(netRecord(UNLINK));
    service.send(netRecord(LINK));
    EXPECT_EQ(reports(3), (std::vector<NET_STATUS>{SUCCESS, CONFLICT, LINK}));
    EXPECT_TRUE(eventually([&] { return client->snapshot().status == LINK; }));
}

TEST_F(RipClientTest, RecordsCutByTcpOrLeftShortAreWholeRecords) {
    struct Case {
        size_t firstPart;  // bytes sent before a pause
        size_t total;      // bytes sent in all
    };
    const Case cases[] = {{100, 184}, {2, 184}, {183, 184}, {24, 24}};
    auto client = makeClient(service.port());
    std::thread first([&] {
        ASSERT_TRUE(service.accept());
        service.send(netRecord(UNLINK));
    });
    client->start();
    first.join();
    std::vector<NET_STATUS> expected;
    NET_STATUS status = UNLINK;
    for (const Case& c : cases) {
        status = status == LINK ? SUCCESS : LINK;
        RIP_MSG_INFO record = netRecord(status, 2, "172.16.5.9");
        record.mask = 0x00FFFFFF;
        service.send(record, 0, c.firstPart);
        std::this_thread::sleep_for(50ms);
        service.send(record, c.firstPart, c.total);
        expected.push_back(status);
        // One report per record: a piece taken as a record of its own would
        // report UNLINK in between.
        ASSERT_EQ(reports(expected.size()), expected) << c.firstPart;
        ASSERT_TRUE(eventually([&] { return client->snapshot().status == status; }));
        const RipNetSnapshot s = client->snapshot();
        EXPECT_EQ(s.mode, 2) << c.firstPart;
        EXPECT_EQ(s.info.ip, record.ip) << c.firstPart;
        // A short record has zeros where it ended.
        EXPECT_EQ(s.info.mask, c.total == 184 ? record.mask : 0) << c.firstPart;
    }
}

TEST_F(RipClientTest, TextFieldsAreKeptWholeAndTerminated) {
    struct Case {
        size_t domainLength;
        size_t keptDomain;
    };
    auto client = makeClient(FakeNetService::refusedPort());
    for (const Case c : {Case{63, 63}, Case{64, 63}, Case{0, 0}}) {
        RIP_MSG_INFO record = netRecord(SUCCESS);
        std::memset(record.domain, 'd', c.domainLength);
        // Every MAC byte used, no terminator: the next field follows at once.
        std::memcpy(record.mac, "0a:1b:2c:3d:4e:5f", sizeof(record.mac));
        std::memset(record.pad, 'x', sizeof(record.pad));
        client->update_net_info(record, false);
        const RipNetSnapshot s = client->snapshot();
        EXPECT_EQ(std::string(s.domain), std::string(c.keptDomain, 'd'));
        EXPECT_EQ(std::string(s.mac), "0a:1b:2c:3d:4e:5f");
    }
}
