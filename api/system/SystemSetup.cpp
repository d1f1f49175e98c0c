#include "SystemSetup.h"

#include "CApiIO.h"
#include "CFEM.h"
#include "DrvScpiErrDef.h"
#include "IniFile.h"
#include "Singelton.h"
#include "SystemIni.h"
#include "Util/logger.h"
#include "drv/brightness/CBrightness.h"

namespace {

constexpr int kDefaultLanguage = 1;
constexpr int kDefaultBrightness = 60;
constexpr int kControlPort = 5025;

CApiIO& io() { return *Copperwren::Singleton<CApiIO>::Instance(); }

} // namespace

SystemSetup::SystemSetup() {
    PrintI("SystemSetup ctor %p", static_cast<void*>(this));
    ProductInfoInit();
    SystemInfoInit();
}

SystemSetup::~SystemSetup() {
    PrintI("~SystemSetup dtor %p", static_cast<void*>(this));
}

void SystemSetup::SystemInfoInit() {
    int language = SystemIni::readInt("SYSTEM", "LANGUAGE", kDefaultLanguage);
    // The factory record must pass the record checks: an edited ini file
    // does not name the language.
    if (!LanguageValid(language)) {
        language = kDefaultLanguage;
    }
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
    ProtoUtilityIOInfo info;
    io().UtilityIOInfoDefault(serial, info);
    std::lock_guard<std::mutex> lock(_mtx);
    m_systemInfo.mutable_mprotoutilityioinfo()->CopyFrom(info);
}

void SystemSetup::ProtoSystemInfoDefault(ProtoSystemInfo& out) {
    SystemInfoInit();
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_systemInfo);
}

void SystemSetup::ProtoSystemInfoGet(ProtoSystemInfo& out) {
    // The LAN settings change in CApiIO: the copy carries its current record.
    ProtoUtilityIOInfo info;
    io().GetUtilityIOInfo(info);
    std::lock_guard<std::mutex> lock(_mtx);
    m_systemInfo.mutable_mprotoutilityioinfo()->CopyFrom(info);
    out.CopyFrom(m_systemInfo);
}

bool SystemSetup::applySystemInfo(const ProtoSystemInfo& in) {
    if (ProtoSystemInfoCheck(in) != 0) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_systemInfo.CopyFrom(in);
    }
    Copperwren::Singleton<CBrightness>::Instance()->BrightnessSet(in.mbrightness());
    PrintI("m_systemInfo.mbeeper() = %d", in.mbeeper());
    API_Beeper_StateSet(in.mbeeper());
    io().SetUtilityIOInfo(in.mprotoutilityioinfo());
    return true;
}

int SystemSetup::ProtoSystemInfoCheck(const ProtoSystemInfo& in) {
    if (!LanguageValid(in.mlanguage())) {
        PrintE("Stored system record refused: mLanguage %d unknown", in.mlanguage());
        return E222_DATA_OUT_OF_RANGE;
    }
    if (!BrightnessValid(in.mbrightness())) {
        PrintE("Stored system record refused: mBrightness %d out of 0..%d", in.mbrightness(), kBrightnessMax);
        return E222_DATA_OUT_OF_RANGE;
    }
    return 0;
}

void SystemSetup::ProtoSystemInfoSet(const ProtoSystemInfo& in) {
    if (!applySystemInfo(in)) {
        return;
    }
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
    insertS32(map, ON_SYSTEM_LANGUAGE_CHANGED, API_GetLanguage());
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

void SystemSetup::setFlag(BoolSetter set, bool on) {
    std::lock_guard<std::mutex> lock(_mtx);
    (m_systemInfo.*set)(on);
}

bool SystemSetup::getFlag(bool (ProtoSystemInfo::*get)() const) {
    std::lock_guard<std::mutex> lock(_mtx);
    return (m_systemInfo.*get)();
}

void SystemSetup::API_SetLanguage(int language) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_systemInfo.set_mlanguage(language);
    }
    PrintI("Language = %d", language);
    saveIni("SYSTEM", "LANGUAGE", nullptr, language);
}

int SystemSetup::API_GetLanguage() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_systemInfo.mlanguage();
}

void SystemSetup::API_SetLastLoad(bool on) { setFlag(&ProtoSystemInfo::set_mlastload, on); }
bool SystemSetup::API_GetLastLoad() { return getFlag(&ProtoSystemInfo::mlastload); }
void SystemSetup::API_SetPowerStatus(bool on) { setFlag(&ProtoSystemInfo::set_mpowerstatus, on); }
bool SystemSetup::API_GetPowerStatus() { return getFlag(&ProtoSystemInfo::mpowerstatus); }
void SystemSetup::API_SetIsDisplayTime(bool on) { setFlag(&ProtoSystemInfo::set_misdisplaytime, on); }
bool SystemSetup::API_GetIsDisplayTime() { return getFlag(&ProtoSystemInfo::misdisplaytime); }
bool SystemSetup::API_GetTouchEnable() { return getFlag(&ProtoSystemInfo::mtouchenable); }

void SystemSetup::API_SetTouchEnable(bool on) {
    PrintI("Touch enable set %s", on ? "on" : "off");
    setFlag(&ProtoSystemInfo::set_mtouchenable, on);
}

void SystemSetup::API_SetBrightness(int level) {
    Copperwren::Singleton<CBrightness>::Instance()->BrightnessSet(level);
    std::lock_guard<std::mutex> lock(_mtx);
    m_systemInfo.set_mbrightness(level);
}

int SystemSetup::API_GetBrightness() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_systemInfo.mbrightness();
}

void SystemSetup::API_SetLoadName(const std::string& name) {
    std::lock_guard<std::mutex> lock(_mtx);
    m_systemInfo.set_mloadname(name);
}

std::string SystemSetup::API_GetLoadName() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_systemInfo.mloadname();
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

int SystemSetup::API_GetControlPort() { return kControlPort; }
