// The I/O settings and the LAN handlers as the UI (source 0), remote control
// (source 2) and the network-status client (source 9) reach them.
#include <gtest/gtest.h>

#include <future>
#include <map>

#include "CApiIO.h"
#include "CSystemManage.h"
#include "IoTransports.h"
#include "Poller/EventPoller.h"
#include "Singelton.h"
#include "fake_net_service.h"
#include "rip_client.h"
#include "system_handlers.h"
#include "temp_root.h"
#include "ui_notifications.h"

using testing_support::netRecord;
using testing_support::ValueMap;

namespace {

// No start-up pause, and a network-status service that refuses: the tests
// feed the client's records themselves.
class QuietNetwork : public ::testing::Environment {
public:
    void SetUp() override {
        CApiIO::setStartupSleep(nullptr);
        RipClientSettings settings;
        settings.port = testing_support::FakeNetService::refusedPort();
        rip_client_configure(settings);
    }
};
const auto* const kQuietNetwork = ::testing::AddGlobalTestEnvironment(new QuietNetwork);

constexpr unsigned int kRemote = 2;
constexpr unsigned int kLocal = 0;
constexpr unsigned int kNetClient = 9;
constexpr const char* kDefaultIp = "192.168.1.10";

class LanSettings : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::systemHandlers();  // the manager's making sets the modes: before the test's own
        update_net_info(netRecord(UNLINK, -1), 0);
        io->UtilityIOInfoDefault("", record);
    }

    // Runs handler `id` with `arg` (unless it is unset) under the id's key;
    // the answer under that key goes to `answer`.
    int call(unsigned int source, unsigned int id, const Value& arg = Value()) {
        const int key = static_cast<int>(id & 0xFFFF);
        ValueMap out;
        const int rc =
            testing_support::callSystem(id, source, arg.value_case() ? request(key, arg) : ValueMap(), &out);
        answer = out.count(key) ? out.at(key) : Value();
        return rc;
    }
    static std::string getText(unsigned int id) { return testing_support::querySystem(id).strval(); }
    ProtoUtilityIOInfo current() {
        ProtoUtilityIOInfo out;
        io->GetUtilityIOInfo(out);
        return out;
    }
    void setModes(bool dhcp, bool autoIp, bool staticIp) {
        io->ApiUtility_SetDHCP(dhcp);
        io->ApiUtility_SetAUTOIP(autoIp);
        io->ApiUtility_SetStatic(staticIp);
    }
    // Waits for the tasks already posted to the main event poller.
    static void drainMainPoller() {
        std::promise<void> done;
        toolkit::EventPoller::Instance().async([&done] { done.set_value(); }, false);
        done.get_future().wait();
    }

    testing_support::TempRoot root;
    CApiIO* io = Copperwren::Singleton<CApiIO>::Instance();
    ProtoUtilityIOInfo record;
    Value answer;
};

} // namespace

// The service's report sets the modes and addresses; without one (mode -1)
// the factory addresses hold.
TEST_F(LanSettings, AddressModesComeFromTheServiceReport) {
    const struct {
        NET_STATUS status;
        int mode;
        bool dhcp, autoIp, staticIp;
        const char *ip, *gateway;
        int link;
    } cases[] = {
        {UNLINK, -1, true, true, false, "192.168.1.10", "192.168.1.1", 1},
        {SUCCESS, 0, true, false, false, "10.9.8.7", "0.0.0.0", 0},
        {SUCCESS, 1, false, true, false, "10.9.8.7", "0.0.0.0", 0},
        {SUCCESS, 2, false, false, true, "10.9.8.7", "0.0.0.0", 0},
        {SUCCESS, 7, true, true, false, "10.9.8.7", "0.0.0.0", 0},
    };
    for (const auto& c : cases) {
        RIP_MSG_INFO report = netRecord(c.status, c.mode, c.mode < 0 ? "0.0.0.0" : c.ip);
        report.dns[1] = report.ip;
        update_net_info(report, 0);
        io->UtilityIOInfoDefault("SN1", record);
        EXPECT_EQ(record.mbdhcp(), c.dhcp) << c.mode;
        EXPECT_EQ(record.mbautoip(), c.autoIp) << c.mode;
        EXPECT_EQ(record.mbstaticip(), c.staticIp) << c.mode;
        EXPECT_EQ(record.mstrip(), c.ip) << c.mode;
        EXPECT_EQ(record.mstrgateway(), c.gateway) << c.mode;
        EXPECT_EQ(record.mlanlinkstatus(), c.link) << c.mode;
        EXPECT_EQ(record.mstrvisa(), std::string("TCPIP::") + c.ip + "::INSTR") << c.mode;
        EXPECT_EQ(record.mhostname(), "VORNA_SN1");
    }
}

TEST_F(LanSettings, AddressSetRulesDependOnSourceAndModes) {
    struct Case {
        unsigned int source;
        bool dhcp, autoIp;
        const char* arg;
        int rc;
        const char* ipAfter;
    };
    const Case cases[] = {
        {kRemote, false, false, "10.0.0.5", 7, kDefaultIp},
        {kRemote, false, false, "\"1.2.3\"", 7, kDefaultIp},
        {kRemote, false, false, "\"1.2.3.256\"", 7, kDefaultIp},
        {kRemote, true, false, "\"10.0.0.5\"", 58, kDefaultIp},
        {kRemote, false, true, "\"10.0.0.5\"", 58, kDefaultIp},
        {kRemote, false, false, "\"10.0.0.5\"", 0, "10.0.0.5"},
        {kLocal, false, false, "\"10.0.0.7\"", 7, kDefaultIp},
        {kLocal, true, true, "10.0.0.7", 0, "10.0.0.7"},
    };
    for (const Case& c : cases) {
        io->UtilityIOInfoDefault("", record);
        setModes(c.dhcp, c.autoIp, !c.dhcp && !c.autoIp);
        EXPECT_EQ(call(c.source, 0x1000120A, str(c.arg)), c.rc) << c.arg;
        EXPECT_EQ(getText(0x2000120B), c.ipAfter) << c.arg;
    }
    EXPECT_EQ(current().mstrvisa(), "TCPIP::10.0.0.7::INSTR");
    EXPECT_EQ(call(kRemote, 0x2000121C, s32(2)), 0);
    EXPECT_EQ(answer.strval(), "TCPIP0::10.0.0.7::5025::SOCKET");
    EXPECT_EQ(call(kRemote, 0x1000120C), 8);
}

TEST_F(LanSettings, OnlyRemoteControlMayNotSwitchOffTheLastMode) {
    struct Case {
        unsigned int source;
        bool staticOn;  // DHCP alone on otherwise
        int rc;
        bool dhcpAfter;
    };
    for (const Case c : {Case{kRemote, false, 58, true}, Case{kRemote, true, 0, false}, Case{kLocal, false, 0, false}}) {
        setModes(true, false, c.staticOn);
        EXPECT_EQ(call(c.source, 0x10001204, bval(false)), c.rc);
        EXPECT_EQ(io->ApiUtility_GetDHCP(), c.dhcpAfter);
    }
}

TEST_F(LanSettings, HostNamesNeedMdnsAndFitThirtyCharacters) {
    const std::string thirty(30, 'h');
    EXPECT_EQ(call(kRemote, 0x10001217, str("\"" + thirty + "\"")), 44);
    EXPECT_EQ(call(kRemote, 0x10001215, bval(true)), 0);
    struct Case {
        std::string arg;
        int rc;
    };
    for (const Case& c : {Case{"\"" + thirty + "\"", 0}, Case{"\"" + thirty + "x\"", 29}, Case{thirty, 7}}) {
        EXPECT_EQ(call(kRemote, 0x10001217, str(c.arg)), c.rc) << c.arg;
    }
    EXPECT_EQ(getText(0x20001218), thirty);
    EXPECT_EQ(getText(0x20001219), thirty);
}

// Only remote control reads the marked texts in double quotes; the UI and the
// network-status client are local and read them plain.
TEST_F(LanSettings, TextAnswersAreQuotedForRemoteControlOnly) {
    const struct {
        unsigned int id;
        const char* text;
        bool quoted;
    } rows[] = {
        {0x2000120B, "192.168.1.10", true},     {0x2000120D, "192.168.1.1", true},
        {0x2000120F, "255.255.255.0", true},    {0x20001211, "192.168.1.1", true},
        {0x20001218, "VORNA_", true},           {0x20001219, "VORNA_", false},
        {0x2000121A, "VORNA MULTIMETER", true}, {0x2000121B, "VORNA MULTIMETER", true},
        {0x2000121E, "VORNA MULTIMETER", false}, {0x2000121F, "VORNA_", true},
    };
    for (const auto& row : rows) {
        for (unsigned int source : {kLocal, kRemote, kNetClient}) {
            const std::string plain = row.text;
            EXPECT_EQ(call(source, row.id), 0);
            EXPECT_EQ(answer.strval(), row.quoted && source == kRemote ? "\"" + plain + "\"" : plain)
                << std::hex << row.id << " from " << source;
        }
    }
}

TEST_F(LanSettings, MacLineIsReplacedWholeAndTheFileKept) {
    const std::string host = root.host("/vorna/data/mac.conf");
    testing_support::writeFile(host, "Serial = X\nMac Addr = 00:11:22:33:44:55\nModel = Y\n");
    struct Case {
        unsigned int source;
        const char* arg;
        int rc;
        const char* mac;  // in the file afterwards
    };
    const Case cases[] = {
        {kLocal, "aa:bb:cc:dd:ee:ff", 0, "aa:bb:cc:dd:ee:ff"},
        {kRemote, "\"01:02:03:04:05:06\"", 0, "01:02:03:04:05:06"},
        {kRemote, "01:02:03:04:05:07", 7, "01:02:03:04:05:06"},
        {kLocal, "aa:bb:cc", 7, "01:02:03:04:05:06"},
        {kLocal, "aa:bb:cc:dd:ee:fff", 7, "01:02:03:04:05:06"},
        {kLocal, "zz:bb:cc:dd:ee:ff", 7, "01:02:03:04:05:06"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(call(c.source, 0x10001212, str(c.arg)), c.rc) << c.arg;
        EXPECT_EQ(testing_support::readFile(host), std::string("Serial = X\nMac Addr = ") + c.mac + "\nModel = Y\n");
        EXPECT_EQ(getText(0x20001213), c.mac);
    }
    testing_support::writeFile(host, "Other = 1");
    EXPECT_EQ(getText(0x20001213), "");
    EXPECT_EQ(call(kLocal, 0x10001212, str("aa:bb:cc:dd:ee:ff")), 0);
    EXPECT_EQ(testing_support::readFile(host), "Other = 1\nMac Addr = aa:bb:cc:dd:ee:ff\n");
}

TEST_F(LanSettings, LinkReportsRewriteTheAddressesAndTellTheUi) {
    testing_support::UiNotifications notes;
    RIP_MSG_INFO report = netRecord(SUCCESS, 0, "10.1.2.3");
    report.gate = report.mask = report.dns[0] = report.ip;
    update_net_info(report, 0);
    struct Case {
        NET_STATUS status;
        const char* address;
        int link;
    };
    for (const Case c : {Case{SUCCESS, "10.1.2.3", 0}, Case{UNLINK, "0.0.0.0", 1}, Case{CONFLICT, "0.0.0.0", 2}}) {
        EXPECT_EQ(call(kNetClient, 0x1000121D, s32(c.status)), 0);
        auto packs = notes.waitFor({ON_SYSTEM_IO_INFO_CHANGED}, [&](const DataPack& p) {
            return testing_support::UiNotifications::record<ProtoUtilityIOInfo>(p).mlanlinkstatus() == c.link;
        });
        ASSERT_EQ(packs.size(), 1u) << c.status;
        const auto sent = testing_support::UiNotifications::record<ProtoUtilityIOInfo>(packs[0]);
        for (const std::string& a : {sent.mstrip(), sent.mstrgateway(), sent.mstrsubnetmask(), sent.mstrdns()}) {
            EXPECT_EQ(a, c.address) << c.status;
        }
        EXPECT_EQ(sent.mstrvisa(), std::string("TCPIP::") + c.address + "::INSTR");
    }
}

TEST_F(LanSettings, TransportsStartOnceAndUsbFollowsOnlyChanges) {
    for (int i = 0; i < 3; ++i) {
        io->UtilityIOInfoDefault("", record);
    }
    drainMainPoller();
    const IoTransports::Calls before = IoTransports::recordedCalls();
    EXPECT_EQ(before.vxiCreate, 1);
    EXPECT_EQ(before.usbtmcInit, before.usbtmcClose + 1);
    for (bool on : {false, false, true, true}) {
        io->ApiUtility_SetUsbtmcSwitch(on);
    }
    io->UtilityIOInfoDefault("", record);
    drainMainPoller();
    const IoTransports::Calls after = IoTransports::recordedCalls();
    EXPECT_EQ(after.usbtmcClose - before.usbtmcClose, 1);
    EXPECT_EQ(after.usbtmcInit - before.usbtmcInit, 1);
    EXPECT_EQ(after.vxiCreate, 1);
}
