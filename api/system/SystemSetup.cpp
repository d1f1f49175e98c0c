#include "SystemSetup.h"

#include <cstdio>
#include <cstring>

#include "CApiIO.h"
#include "drv/brightness/CBrightness.h"
#include "CFEM.h"
#include "IniFile.h"
#include "Singelton.h"
#include "Util/logger.h"
#include "properties.h"

namespace {

constexpr const char* kProductIni = SystemSetup::kProductIniPath;
constexpr const char* kSoftwareVersion = "00.01.00.00.20";
constexpr int kPidMV412 = 8458;
constexpr int kPidMV412E = 8459;
constexpr int kDefaultLanguage = 1;
constexpr int kDefaultBrightness = 60;
// Row of the SCPI error table for an identity that cannot be saved.
constexpr int kSaveFailed = 74;

const char* modelText(int pid) {
    switch (pid) {
    case kPidMV412: return "MV412";
    case kPidMV412E: return "MV412E";
    default: return nullptr;
    }
}

// The product ini file, opened afresh.
Copperwren::IniFile* productIni(bool* opened = nullptr) {
    Copperwren::IniFile* ini = Copperwren::Singleton<Copperwren::IniFile>::Instance();
    bool ok = ini->Open(kProductIni);
    if (!ok) {
        PrintE("Open %s failed", kProductIni);
    }
    if (opened != nullptr) {
        *opened = ok;
    }
    return ini;
}

// For reading: a file that did not open reads as empty, so every key takes its
// default rather than what an earlier open left in the shared object.
const Copperwren::IniFile& productIniForReading() {
    static const Copperwren::IniFile empty;
    bool opened = false;
    Copperwren::IniFile* ini = productIni(&opened);
    return opened ? *ini : empty;
}

} // namespace

SystemSetup::SystemSetup() {
    PrintI("SystemSetup ctor %p", static_cast<void*>(this));
    ProductInfoInit();
    SystemInfoInit();
}

SystemSetup::~SystemSetup() {
    PrintI("~SystemSetup dtor %p", static_cast<void*>(this));
}

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

void SystemSetup::ProductInfoInit() {
    const Copperwren::IniFile& ini = productIniForReading();
    int pid = ini.ReadInt("PRODUCT", "MODEL", kPidMV412E);
    std::string serial = ini.ReadString("PRODUCT", "SN", "MV4000001");
    std::string calTime = ini.ReadString("SYSTEM", "CALTIME", "2023-11-01 00:00:00");
    std::string hwVer = ini.ReadString("SYSTEM", "HW_VER", "\uFF11");
    int cfgVer = ini.ReadInt("SYSTEM", "CFG_VER", 0);
    // Read from the property store itself: no shell, no fixed-size buffer.
    std::string sysVer = platform::propertyGet("ro.vorna.system.version");

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

void SystemSetup::SystemInfoInit() {
    int language = productIniForReading().ReadInt("SYSTEM", "LANGUAGE", kDefaultLanguage);
    std::string serial;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_systemInfo.set_mlanguage(language);
        m_systemInfo.set_mlastload(false);
        m_systemInfo.set_mpowerstatus(false);
        m_systemInfo.set_mtouchenable(false);
        m_systemInfo.set_misdisplaytime(false);
        m_systemInfo.set_mbrightness(kDefaultBrightness);
        serial = m_productInfo.mserialnum();
    }
    API_Beeper_StateSet(true);
    ProtoUtilityIOInfo io;
    Copperwren::Singleton<CApiIO>::Instance()->UtilityIOInfoDefault(serial, io);
    std::lock_guard<std::mutex> lock(_mtx);
    m_systemInfo.mutable_mprotoutilityioinfo()->CopyFrom(io);
}

void SystemSetup::ProtoSystemInfoDefault(ProtoSystemInfo& out) {
    SystemInfoInit();
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_systemInfo);
}

void SystemSetup::ProtoSystemInfoGet(ProtoSystemInfo& out) {
    ProtoUtilityIOInfo io;
    Copperwren::Singleton<CApiIO>::Instance()->GetUtilityIOInfo(io);
    std::lock_guard<std::mutex> lock(_mtx);
    m_systemInfo.mutable_mprotoutilityioinfo()->CopyFrom(io);
    out.CopyFrom(m_systemInfo);
}

void SystemSetup::ProtoSystemInfoSet(const ProtoSystemInfo& in) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_systemInfo.CopyFrom(in);
    }
    Copperwren::Singleton<CBrightness>::Instance()->BrightnessSet(in.mbrightness());
    PrintI("m_systemInfo.mbeeper() = %d", in.mbeeper());
    API_Beeper_StateSet(in.mbeeper());
    Copperwren::Singleton<CApiIO>::Instance()->SetUtilityIOInfo(in.mprotoutilityioinfo());
    SystemInfoSyncToUI();
    SystemLanguageSyncToUI();
}

void SystemSetup::SystemInfoSyncToUI() {
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        bytes = m_systemInfo.SerializeAsString();
    }
    google::protobuf::Map<int, Value> map;
    insertRaw(map, ON_SYSTEM_INFO_CHANGED, std::move(bytes));
    CFEM::pushMessage(ON_SYSTEM_INFO_CHANGED, std::move(map));
}

void SystemSetup::SystemLanguageSyncToUI() {
    google::protobuf::Map<int, Value> map;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        insertS32(map, ON_SYSTEM_LANGUAGE_CHANGED, m_systemInfo.mlanguage());
    }
    CFEM::pushMessage(ON_SYSTEM_LANGUAGE_CHANGED, std::move(map));
}

void SystemSetup::ProductInfoSyncToUI() {
    PrintI("SystemSetup::ProductInfoSyncToUI() start");
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        bytes = m_productInfo.SerializeAsString();
    }
    google::protobuf::Map<int, Value> map;
    insertRaw(map, ON_PRODUCT_INFO_CHANGED, std::move(bytes));
    CFEM::pushMessage(ON_PRODUCT_INFO_CHANGED, std::move(map));
}

void SystemSetup::API_GetProductInfo(ProtoProductInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_productInfo);
}

std::string SystemSetup::API_GetIdentity() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_identity;
}

void SystemSetup::refreshIdentityLocked() {
    // In factory mode the software version shows its first 8 characters only.
    const std::string& version = m_productInfo.mswver();
    m_identity = m_productInfo.mmodel() + "," + m_productInfo.mserialnum() + "," +
                 (m_bFactoryMode ? version.substr(0, 8) : version);
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
    Copperwren::IniFile* ini = productIni();
    if (!ini->WriteInt("PRODUCT", "MODEL", pid)) {
        PrintE("WriteInt s32Pid:%d failed", pid);
    }
    if (!ini->SaveAs(kProductIni)) {
        PrintE("SaveAs %s failed", kProductIni);
        return kSaveFailed;
    }
    return 0;
}

int SystemSetup::API_GetProductId() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_s32Pid;
}

unsigned int SystemSetup::API_GetCfgVer() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_cfgVer;
}

void SystemSetup::API_SetLocalState(bool local) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_local = local;
    }
    google::protobuf::Map<int, Value> map;
    insertBval(map, ON_LOCAL_STATE_CHANGE, local);
    CFEM::pushMessage(ON_LOCAL_STATE_CHANGE, std::move(map));
}
