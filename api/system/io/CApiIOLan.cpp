// The LAN, mDNS, VISA and GPIB settings of CApiIO: each operation changes or
// reads one field of the record under the lock and logs its value.
#include <cstdio>

#include "CApiIO.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"

namespace {

constexpr size_t kHostNameMax = 30;
constexpr int kScpiPort = 5025;
// The maker's USB vendor id, as the gadget driver puts it in the device
// descriptor.
constexpr const char* kUsbVendorId = "5a4c";

enum VisaKind { VISA_TYPE_USB = 0, VISA_TYPE_LXI = 1, VISA_TYPE_SOCKET = 2 };

} // namespace

int CApiIO::setFlag(const char* name, bool on, void (ProtoUtilityIOInfo::*set)(bool)) {
    PrintI("%s = %d", name, on);
    std::lock_guard<std::mutex> lock(_mtx);
    (m_utilityIOInfo.*set)(on);
    return 0;
}

bool CApiIO::getFlag(bool (ProtoUtilityIOInfo::*get)() const) {
    std::lock_guard<std::mutex> lock(_mtx);
    return (m_utilityIOInfo.*get)();
}

int CApiIO::setText(const char* name, const std::string& text, TextField field) {
    PrintI("%s = %s", name, text.c_str());
    std::lock_guard<std::mutex> lock(_mtx);
    *(m_utilityIOInfo.*field)() = text;
    return 0;
}

int CApiIO::getAddress(const char* name, std::string& out, TextField field) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        out = *(m_utilityIOInfo.*field)();
    }
    if (out.empty()) {
        out = "0.0.0.0";
    }
    PrintD("%s = %s", name, out.c_str());
    return 0;
}

int CApiIO::getText(const char* name, std::string& out, const std::string& text) {
    out = text;
    PrintD("%s = %s", name, out.c_str());
    return 0;
}

void CApiIO::setIpLocked(const std::string& text) {
    m_utilityIOInfo.set_mstrip(text);
    char visa[128];
    std::snprintf(visa, sizeof(visa), "TCPIP::%s::INSTR", text.c_str());
    m_utilityIOInfo.set_mstrvisa(visa);
}

int CApiIO::ApiUtility_SetGPIB(int address) {
    PrintI("s32GPIB = %d", address);
    std::lock_guard<std::mutex> lock(_mtx);
    m_utilityIOInfo.set_mgpib(address);
    return 0;
}

int CApiIO::ApiUtility_GetGPIB(int& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out = m_utilityIOInfo.mgpib();
    PrintD("s32GPIB = %d", out);
    return 0;
}

int CApiIO::ApiUtility_SetDHCP(bool on) { return setFlag("DHCP", on, &ProtoUtilityIOInfo::set_mbdhcp); }
int CApiIO::ApiUtility_SetAUTOIP(bool on) { return setFlag("AUTOIP", on, &ProtoUtilityIOInfo::set_mbautoip); }
int CApiIO::ApiUtility_SetStatic(bool on) { return setFlag("STATIC", on, &ProtoUtilityIOInfo::set_mbstaticip); }
bool CApiIO::ApiUtility_GetDHCP() { return getFlag(&ProtoUtilityIOInfo::mbdhcp); }
bool CApiIO::ApiUtility_GetAUTOIP() { return getFlag(&ProtoUtilityIOInfo::mbautoip); }
bool CApiIO::ApiUtility_GetStatic() { return getFlag(&ProtoUtilityIOInfo::mbstaticip); }

int CApiIO::ApiUtility_SetIP(const std::string& text) {
    PrintI("IP = %s", text.c_str());
    std::lock_guard<std::mutex> lock(_mtx);
    setIpLocked(text);
    return 0;
}

int CApiIO::ApiUtility_SetGateway(const std::string& text) {
    return setText("Gateway", text, &ProtoUtilityIOInfo::mutable_mstrgateway);
}
int CApiIO::ApiUtility_SetMask(const std::string& text) {
    return setText("Mask", text, &ProtoUtilityIOInfo::mutable_mstrsubnetmask);
}
int CApiIO::ApiUtility_SetDNS(const std::string& text) {
    return setText("DNS", text, &ProtoUtilityIOInfo::mutable_mstrdns);
}
int CApiIO::ApiUtility_GetIP(std::string& out) { return getAddress("IP", out, &ProtoUtilityIOInfo::mutable_mstrip); }
int CApiIO::ApiUtility_GetGateway(std::string& out) {
    return getAddress("Gateway", out, &ProtoUtilityIOInfo::mutable_mstrgateway);
}
int CApiIO::ApiUtility_GetMask(std::string& out) {
    return getAddress("Mask", out, &ProtoUtilityIOInfo::mutable_mstrsubnetmask);
}
int CApiIO::ApiUtility_GetDNS(std::string& out) { return getAddress("DNS", out, &ProtoUtilityIOInfo::mutable_mstrdns); }

int CApiIO::ApiUtility_SetMDNS(bool on) {
    PrintI("mDNS = %d", on);
    std::lock_guard<std::mutex> lock(_mtx);
    m_utilityIOInfo.set_mmdnson(on);
    if (on) {
        m_utilityIOInfo.set_mhostname(m_strHostName);
        m_utilityIOInfo.set_mservicename(m_strServiceName);
    }
    return 0;
}

int CApiIO::syncmDNS(bool on) { return setFlag("mDNS sync", on, &ProtoUtilityIOInfo::set_mmdnson); }
bool CApiIO::ApiUtility_GetMDNS() { return getFlag(&ProtoUtilityIOInfo::mmdnson); }

int CApiIO::ApiUtility_SetHostName(const std::string& text) {
    PrintI("HostName = %s", text.c_str());
    if (text.size() > kHostNameMax) {
        return 56;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    m_strHostName = text;
    if (m_utilityIOInfo.mmdnson()) {
        m_utilityIOInfo.set_mhostname(text);
    }
    return 0;
}

int CApiIO::ApiUtility_SetServiceName(const std::string& text) {
    PrintI("ServiceName = %s", text.c_str());
    std::lock_guard<std::mutex> lock(_mtx);
    m_strServiceName = text;
    if (m_utilityIOInfo.mmdnson()) {
        m_utilityIOInfo.set_mservicename(text);
    }
    return 0;
}

int CApiIO::ApiUtility_GetHostName(std::string& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    return getText("HostName", out, m_strHostName);
}
int CApiIO::ApiUtility_GetEffectHostName(std::string& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    return getText("EffectHostName", out, m_utilityIOInfo.mhostname());
}
int CApiIO::ApiUtility_GetServiceName(std::string& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    return getText("ServiceName", out, m_strServiceName);
}
int CApiIO::ApiUtility_GetEffectServiceName(std::string& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    return getText("EffectServiceName", out, m_utilityIOInfo.mservicename());
}
int CApiIO::ApiUtility_GetDomainName(std::string& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    return getText("DomainName", out, m_strDomainName);
}

int CApiIO::ApiUtility_GetVisaAddr(int type, std::string& out) {
    char text[128];
    if (type == VISA_TYPE_USB) {
        // Read before taking our lock: the identity object keeps its own.
        SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
        ProtoProductInfo product;
        setup->API_GetProductInfo(product);
        std::snprintf(text, sizeof(text), "USB0::0x%s::0x%x::%s::INSTR", kUsbVendorId,
                      static_cast<unsigned>(setup->API_GetProductId()), product.mserialnum().c_str());
    } else {
        std::lock_guard<std::mutex> lock(_mtx);
        const char* ip = m_utilityIOInfo.mstrip().c_str();
        if (type == VISA_TYPE_SOCKET) {
            std::snprintf(text, sizeof(text), "TCPIP0::%s::%d::SOCKET", ip, kScpiPort);
        } else {
            std::snprintf(text, sizeof(text), "TCPIP::%s::INSTR", ip);
        }
    }
    out += text;
    PrintI("strOut = %s", text);
    return 0;
}
