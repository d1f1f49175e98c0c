#include "CApiIO.h"

#include <cstdio>

#include "CFEM.h"
#include "Util/logger.h"

namespace {

constexpr const char* kDefaultIp = "192.168.1.10";
constexpr const char* kDefaultGateway = "192.168.1.1";
constexpr const char* kDefaultMask = "255.255.255.0";
constexpr const char* kDefaultDns = "192.168.1.1";
constexpr const char* kDefaultServiceName = "VORNA MULTIMETER";
constexpr int kDefaultGpib = 2;
// LAN link state before any report: disconnected.
constexpr int kLanDisconnected = 1;

std::string visaText(const std::string& ip) {
    char text[128];
    std::snprintf(text, sizeof(text), "TCPIP::%s::INSTR", ip.c_str());
    return text;
}

} // namespace

CApiIO::CApiIO() {
    PrintI("CApiIO::CApiIO ctor %p\n", static_cast<void*>(this));
    std::lock_guard<std::mutex> lock(_mtx);
    initLocked();
}

void CApiIO::initLocked() {
    // No network-status report yet: DHCP with automatic IP, the factory
    // addresses, link down.
    m_utilityIOInfo.set_mbdhcp(true);
    m_utilityIOInfo.set_mbautoip(true);
    m_utilityIOInfo.set_mbstaticip(false);
    m_utilityIOInfo.set_mstrip(kDefaultIp);
    m_utilityIOInfo.set_mstrgateway(kDefaultGateway);
    m_utilityIOInfo.set_mstrsubnetmask(kDefaultMask);
    m_utilityIOInfo.set_mstrdns(kDefaultDns);
    m_utilityIOInfo.set_mlanlinkstatus(kLanDisconnected);
    m_utilityIOInfo.set_mmdnson(false);
    m_utilityIOInfo.set_mhostname("VORNA_" + m_strSn);
    m_utilityIOInfo.set_minterface(0);
    m_utilityIOInfo.set_mgpib(kDefaultGpib);
    m_utilityIOInfo.set_mstrvisa(visaText(m_utilityIOInfo.mstrip()));
    m_utilityIOInfo.set_mbusbtmcswitch(true);
    m_strHostName = m_utilityIOInfo.mhostname();
    m_strServiceName = kDefaultServiceName;
    m_utilityIOInfo.set_mservicename(m_strServiceName);
    m_strDomainName = m_strHostName;
}

int CApiIO::UtilityIOInfoDefault(const std::string& serial, ProtoUtilityIOInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    m_strSn = serial;
    initLocked();
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
        m_strHostName = info.mhostname();
        m_strServiceName = info.mservicename();
    }
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
