// The product identity of SystemSetup: read from the ini file at start, each
// setter writing its key back at once.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "IniFile.h"
#include "SystemIni.h"
#include "DrvScpiErrDef.h"
#include "SystemSetup.h"
#include "Util/logger.h"
#include "properties.h"

namespace {

constexpr const char* kSoftwareVersion = "00.01.00.00.20";
constexpr size_t kFactoryVersionLength = 8;
constexpr int kPidMV412 = 8458;
constexpr int kPidMV412E = 8459;

const char* modelText(int pid) {
    switch (pid) {
    case kPidMV412: return "MV412";
    case kPidMV412E: return "MV412E";
    default: return nullptr;
    }
}

std::string trimmedLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace

std::string SystemSetup::InterpretDate(const char* date, const char* time) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char month[8] = {0};
    int day = 0;
    int year = 0;
    std::sscanf(date, "%7s %d %d", month, &day, &year);
    int number = 0;
    for (int i = 0; i < 12; ++i) {
        if (std::strcmp(month, kMonths[i]) == 0) {
            number = i + 1;
        }
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%d/%02d/%02d %s", year, number, day, time);
    return text;
}

bool SystemSetup::SerialNumValid(const std::string& serial) {
    if (serial.empty() || serial.size() > kSerialMax) {
        return false;
    }
    for (char c : serial) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    return true;
}

bool SystemSetup::IniTextValid(const std::string& text) {
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '"' || c == '\'') {
            return false;
        }
    }
    return true;
}

void SystemSetup::ProductInfoInit() {
    int pid = kPidMV412E;
    int cfgVer = 0;
    std::string serial, calTime, hwVer;
    SystemIni::read([&](const Copperwren::IniFile& ini) {
        pid = ini.ReadInt("PRODUCT", "MODEL", kPidMV412E);
        serial = ini.ReadString("PRODUCT", "SN", "MV4000001");
        calTime = ini.ReadString("SYSTEM", "CALTIME", "2023-11-01 00:00:00");
        hwVer = ini.ReadString("SYSTEM", "HW_VER", "\uFF11");
        cfgVer = ini.ReadInt("SYSTEM", "CFG_VER", 0);
    });
    // Read from the property store itself: no shell, no trailing line feed.
    std::string refusal;
    std::string sysVer = trimmedLine(platform::propertyGet("ro.vorna.system.version", &refusal));
    if (!refusal.empty()) {
        PrintE("ro.vorna.system.version refused: %s", refusal.c_str());
    }

    std::lock_guard<std::mutex> lock(_mtx);
    m_s32Pid = pid;
    m_cfgVer = static_cast<unsigned int>(cfgVer);
    const char* model = modelText(pid);
    m_productInfo.set_mmodel(model != nullptr ? model : "");
    m_productInfo.set_msysver(sysVer);
    m_productInfo.set_mserialnum(serial);
    m_productInfo.set_mswver(kSoftwareVersion);
    m_productInfo.set_mbuilddate(InterpretDate(__DATE__, __TIME__));
    m_productInfo.set_mcaltime(calTime);
    m_productInfo.set_mhwver(hwVer);
    refreshIdentityLocked();
}

void SystemSetup::refreshIdentityLocked() {
    // In factory mode the software version shows its first 8 characters only.
    const std::string& version = m_productInfo.mswver();
    m_identity = m_productInfo.mmodel() + "," + m_productInfo.mserialnum() + "," +
                 (m_bFactoryMode ? version.substr(0, kFactoryVersionLength) : version);
}

int SystemSetup::saveIni(const char* section, const char* key, const char* text, int number) {
    return SystemIni::write(section, key, text, number) ? 0 : E256_FILE_NAME_NOT_FOUND;
}

void SystemSetup::API_GetProductInfo(ProtoProductInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_productInfo);
}

std::string SystemSetup::API_GetIdentity() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_identity;
}

std::string SystemSetup::API_GetModel() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_productInfo.mmodel();
}

int SystemSetup::API_SetModel(int pid) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (const char* model = modelText(pid)) {
            m_productInfo.set_mmodel(model);
            refreshIdentityLocked();
        }
    }
    PrintI("s32Pid = %d", pid);
    return saveIni("PRODUCT", "MODEL", nullptr, pid);
}

int SystemSetup::API_GetProductId() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_s32Pid;
}

std::string SystemSetup::API_GetSerialNum() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_productInfo.mserialnum();
}

int SystemSetup::API_SetSerialNum(const std::string& serial) {
    if (!SerialNumValid(serial)) {
        PrintE("serial number refused");
        return E224_ILLEGAL_PARAMETER_VALUE;
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_productInfo.set_mserialnum(serial);
        refreshIdentityLocked();
    }
    PrintI("strSn = %s", serial.c_str());
    return saveIni("PRODUCT", "SN", serial.c_str(), 0);
}

std::string SystemSetup::API_GetCalTime() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_productInfo.mcaltime();
}

int SystemSetup::setIniText(std::string* (ProtoProductInfo::*field)(), const char* key, const char* log,
                            const std::string& text) {
    if (!IniTextValid(text)) {
        return E224_ILLEGAL_PARAMETER_VALUE;
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
        *(m_productInfo.*field)() = text;
    }
    PrintI(log, text.c_str());
    return saveIni("SYSTEM", key, text.c_str(), 0);
}

int SystemSetup::API_SetCalTime(const std::string& text) {
    return setIniText(&ProtoProductInfo::mutable_mcaltime, "CALTIME", "strCalTime = %s", text);
}

int SystemSetup::API_SetHWVer(const std::string& text) {
    return setIniText(&ProtoProductInfo::mutable_mhwver, "HW_VER", "strHWVer = %s", text);
}

std::string SystemSetup::API_GetHWVer() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_productInfo.mhwver();
}

void SystemSetup::ApiUtility_FactoryModeUpdate(bool on) {
    std::lock_guard<std::mutex> lock(_mtx);
    m_bFactoryMode = on;
    refreshIdentityLocked();
}

unsigned int SystemSetup::API_GetCfgVer() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_cfgVer;
}

int SystemSetup::API_SetCfgVer(unsigned int version) {
    if (int rc = saveIni("SYSTEM", "CFG_VER", nullptr, static_cast<int>(version))) {
        return rc;
    }
    PrintE("CFG Ver=%d", version);
    std::lock_guard<std::mutex> lock(_mtx);
    m_cfgVer = version;
    return 0;
}

std::string SystemSetup::API_GetSwVersion() {
    std::lock_guard<std::mutex> lock(_mtx);
    const std::string& version = m_productInfo.mswver();
    return m_bFactoryMode ? version.substr(0, kFactoryVersionLength) : version;
}
