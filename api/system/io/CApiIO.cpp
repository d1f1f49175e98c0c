#include "CApiIO.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "CFEM.h"
#include "IoTransports.h"
#include "Poller/EventPoller.h"
#include "Util/logger.h"
#include "console_log.h"
#include "rip_client.h"

namespace {

constexpr const char* kDefaultIp = "192.168.1.10";
constexpr const char* kDefaultGateway = "192.168.1.1";
constexpr const char* kDefaultMask = "255.255.255.0";
constexpr const char* kDefaultDns = "192.168.1.1";
constexpr const char* kDefaultDns2 = "192.168.1.2";
constexpr const char* kDefaultServiceName = "VORNA MULTIMETER";
constexpr const char* kConsoleTag = "[VORNA.AFG]";
constexpr int kDefaultGpib = 2;
constexpr int kVxiPriority = 18;
constexpr auto kStartupSettle = std::chrono::milliseconds(2000);
constexpr unsigned int kLanLinkUpdate = 0x1000121D;

// LanStatusEnum
constexpr int kLanConnected = 0;
constexpr int kLanDisconnected = 1;
constexpr int kLanConflict = 2;

std::atomic<bool> g_linkReportsBound{false};
std::mutex g_sleepMtx;
// $DMM_IO_SETTLE_MS replaces the pause on a host (test programs set 0).
CApiIO::StartupSleep g_startupSleep = [](std::chrono::milliseconds ms) {
    if (const char* settle = std::getenv("DMM_IO_SETTLE_MS")) {
        ms = std::chrono::milliseconds(std::strtoul(settle, nullptr, 10));
    }
    std::this_thread::sleep_for(ms);
};

std::string dotted(int32_t networkOrder) {
    in_addr addr{};
    addr.s_addr = static_cast<uint32_t>(networkOrder);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, text, sizeof(text));
    return text;
}

std::string visaText(const std::string& ip) {
    char text[128];
    std::snprintf(text, sizeof(text), "TCPIP::%s::INSTR", ip.c_str());
    return text;
}

} // namespace

void CApiIO::setStartupSleep(StartupSleep sleep) {
    std::lock_guard<std::mutex> lock(g_sleepMtx);
    g_startupSleep = std::move(sleep);
}

void CApiIO::setLinkReportsBound() { g_linkReportsBound = true; }

CApiIO::CApiIO() {
    PrintI("CApiIO::CApiIO ctor %p\n", static_cast<void*>(this));
    rip_client_init();
    StartupSleep sleep;
    {
        std::lock_guard<std::mutex> lock(g_sleepMtx);
        sleep = g_startupSleep;
    }
    if (sleep) {
        sleep(kStartupSettle);
    }
    init();
}

void CApiIO::init() {
    std::string fileMac;
    ApiUtility_GetMac(fileMac);
    {
        std::lock_guard<std::mutex> lock(_mtx);
        IpInitLocked(fileMac);
        m_utilityIOInfo.set_mmdnson(false);
        m_utilityIOInfo.set_mhostname("VORNA_" + m_strSn);
        m_utilityIOInfo.set_minterface(0);
        m_utilityIOInfo.set_mgpib(kDefaultGpib);
        m_utilityIOInfo.set_mstrvisa(visaText(m_utilityIOInfo.mstrip()));
        PrintI("strOut = %s", m_utilityIOInfo.mstrvisa().c_str());
    }
    ApiUtility_SetUsbtmcSwitch(true);
    // Every default build comes here (start-up and each reset); the server
    // is one thread for the life of the process.
    std::call_once(m_vxiStarted, [] { IoTransports::current().vxiServiceThredCreate(kVxiPriority); });
    std::lock_guard<std::mutex> lock(_mtx);
    m_strHostName = m_utilityIOInfo.mhostname();
    m_strServiceName = kDefaultServiceName;
    m_utilityIOInfo.set_mservicename(m_strServiceName);
    m_strDomainName = m_strHostName;
}

void CApiIO::IpInitLocked(const std::string& fileMac) {
    const RipNetSnapshot net = rip_client_snapshot();
    PrintI("CApiIO::init() nNetMode = %d\n", net.mode);
    const bool known = net.mode >= 0 && net.mode <= 2;
    m_utilityIOInfo.set_mbdhcp(known ? net.mode == 0 : true);
    m_utilityIOInfo.set_mbautoip(known ? net.mode == 1 : true);
    m_utilityIOInfo.set_mbstaticip(known && net.mode == 2);
    if (net.mode == -1) {
        // The service has not reported: the factory addresses.
        m_utilityIOInfo.set_mstrip(kDefaultIp);
        m_utilityIOInfo.set_mstrgateway(kDefaultGateway);
        m_utilityIOInfo.set_mstrsubnetmask(kDefaultMask);
        m_utilityIOInfo.set_mstrdns(kDefaultDns);
        m_strDNS2 = kDefaultDns2;
        m_utilityIOInfo.set_mstrmac(fileMac);
    } else {
        m_utilityIOInfo.set_mstrip(dotted(net.info.ip));
        m_utilityIOInfo.set_mstrgateway(dotted(net.info.gate));
        m_utilityIOInfo.set_mstrsubnetmask(dotted(net.info.mask));
        m_utilityIOInfo.set_mstrdns(dotted(net.info.dns[0]));
        m_strDNS2 = dotted(net.info.dns[1]);
        m_utilityIOInfo.set_mstrmac(net.mac);
    }
    const bool down = net.status == INVALID || net.status == UNLINK;
    m_utilityIOInfo.set_mlanlinkstatus(down ? kLanDisconnected : net.status == CONFLICT ? kLanConflict : kLanConnected);
    PrintI("s32NetStatus = %d", static_cast<int>(net.status));
}

int CApiIO::UtilityIOInfoDefault(const std::string& serial, ProtoUtilityIOInfo& out) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_strSn = serial;
    }
    init();
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_utilityIOInfo);
    return 0;
}

int CApiIO::GetUtilityIOInfo(ProtoUtilityIOInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_utilityIOInfo);
    return 0;
}

int CApiIO::SetUtilityIOInfo(const ProtoUtilityIOInfo& info) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_utilityIOInfo.CopyFrom(info);
    }
    ApiUtility_SetHostName(info.mhostname());
    ApiUtility_SetServiceName(info.mservicename());
    // The record says whether the transport runs; leaving it as it was would
    // show a switch that is not in force.
    ApiUtility_SetUsbtmcSwitch(info.mbusbtmcswitch());
    return ApiUtility_IOInfoSyncToUI();
}

int CApiIO::ApiUtility_IOInfoSyncToUI() {
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        bytes = m_utilityIOInfo.SerializeAsString();
    }
    google::protobuf::Map<int, Value> map;
    insertRaw(map, ON_SYSTEM_IO_INFO_CHANGED, std::move(bytes));
    CFEM::pushMessage(ON_SYSTEM_IO_INFO_CHANGED, std::move(map));
    return 0;
}

int CApiIO::ApiUtility_SetUsbtmcSwitch(bool on) {
    PrintI("usbtmc switch = %d", on);
    std::lock_guard<std::mutex> lock(_mtx);
    m_utilityIOInfo.set_mbusbtmcswitch(on);
    if (m_usbtmcApplied == static_cast<int>(on)) {
        return 0;
    }
    m_usbtmcApplied = on;
    // Posted under the lock, so that the poller sees the starts and stops in
    // the order the switch took them.
    toolkit::EventPoller::Instance().async(
        [on] {
            IoTransports hooks = IoTransports::current();
            if (on) {
                hooks.halUsbtmcDevInit();
            } else {
                hooks.halUsbtmcDevClose();
            }
        },
        false);
    return 0;
}

bool CApiIO::ApiUtility_GetUsbtmcSwitch() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_utilityIOInfo.mbusbtmcswitch();
}

int CApiIO::ApiUtility_SetUpdate(int status) {
    const RipNetSnapshot net = rip_client_snapshot();
    auto console = [](const char* text) { platform::consoleWrite(platform::CONSOLE_INFO, kConsoleTag, text); };
    {
        std::lock_guard<std::mutex> lock(_mtx);
        switch (status) {
            case UNLINK:
                console("IO is unlink");
                m_utilityIOInfo.set_mlanlinkstatus(kLanDisconnected);
                setIpLocked("0.0.0.0");
                m_utilityIOInfo.set_mstrgateway("0.0.0.0");
                m_utilityIOInfo.set_mstrsubnetmask("0.0.0.0");
                m_utilityIOInfo.set_mstrdns("0.0.0.0");
                break;
            case LINK:
                console("IO is link");
                return 0;
            case INIT:
                console("IO is init");
                return 0;
            case SUCCESS:
                console("IO is success");
                m_utilityIOInfo.set_mlanlinkstatus(kLanConnected);
                setIpLocked(dotted(net.info.ip));
                m_utilityIOInfo.set_mstrgateway(dotted(net.info.gate));
                m_utilityIOInfo.set_mstrsubnetmask(dotted(net.info.mask));
                m_utilityIOInfo.set_mstrdns(dotted(net.info.dns[0]));
                m_strDNS2 = dotted(net.info.dns[1]);
                break;
            case CONFLICT:
                console("IO is conflict");
                m_utilityIOInfo.set_mlanlinkstatus(kLanConflict);
                break;
            default:
                return 0;
        }
    }
    return ApiUtility_IOInfoSyncToUI();
}

int CApiIO::ApiUtility_GetNetStatus(int& out) {
    switch (rip_client_snapshot().status) {
        case UNLINK:
        case INVALID:
            out = kLanDisconnected;
            break;
        case SUCCESS:
            out = kLanConnected;
            break;
        case CONFLICT:
            out = kLanConflict;
            break;
        default:
            break;
    }
    return 0;
}

void rip_client_msg_callback(NET_STATUS status, NET_CONFIG_PARA /*configuration*/) {
    PrintI("status:%d\n", static_cast<int>(status));
    if (!g_linkReportsBound) {
        return;
    }
    google::protobuf::Map<int, Value> request;
    google::protobuf::Map<int, Value> reply;
    insertS32(request, kLanLinkUpdate & 0xFFFF, status);
    CFEM::handleMessage(9, kLanLinkUpdate, request, &reply);
}
