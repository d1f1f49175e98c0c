#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "proto_data.pb.h"

namespace toolkit {
class TaskCancelable;
}

// The instrument's identity (model, serial number, versions, build date,
// calibration time, hardware version) and its system settings (language,
// power-on state, touch, time display, beeper, brightness, I/O settings,
// local/remote state). Identity and language live in
// "/vorna/data/productconfig.ini"; the other settings in the settings mirror
// as the ProtoSystemInfo record. Created on first use through
// Copperwren::Singleton<SystemSetup>.
//
// One mutex guards the records; it is never held while calling CApiIO, the
// hub or a driver (CApiIO calls back in here). The ini file has its own.
class SystemSetup {
public:
    static constexpr const char* kProductIniPath = "/vorna/data/productconfig.ini";
    static constexpr const char* kBootRecordPath = "/data/property/persist.vorna.boot.record";
    static constexpr size_t kSerialMax = 30;
    // Languages the UI knows (`SystemLanguage`) and the brightness scale:
    // the language and brightness commands refuse any other value.
    static constexpr int kLanguageCount = 14;
    static constexpr int kBrightnessMax = 100;
    static bool LanguageValid(int language) { return language >= 0 && language < kLanguageCount; }
    static bool BrightnessValid(int level) { return level >= 0 && level <= kBrightnessMax; }

    SystemSetup();
    ~SystemSetup();

    // Reads the identity from the ini file (defaults for what is missing).
    void ProductInfoInit();
    // The system settings' factory state (language from the ini file).
    void SystemInfoInit();

    // The system record: factory defaults (the live settings return to them),
    // a copy of the current record (with the current I/O settings), and
    // applying a stored record (beeper, brightness and I/O settings follow;
    // the UI is told).
    void ProtoSystemInfoDefault(ProtoSystemInfo& out);
    void ProtoSystemInfoGet(ProtoSystemInfo& out);
    void ProtoSystemInfoSet(const ProtoSystemInfo& in);
    // A preference file loaded by the user: applied at once; the UI is told
    // step by step by delayed tasks (about 10 s in all), so the caller's
    // thread is not held. A newer load cancels the steps still pending.
    void ProtoSystemInfoSetForLoadPrf(const ProtoSystemInfo& in);
    // What the language and brightness commands would refuse in a stored
    // record: 0, or the row they answer, logged. The storage paths in it are
    // the storage's to confine.
    static int ProtoSystemInfoCheck(const ProtoSystemInfo& in);

    // ON_SYSTEM_INFO_CHANGED, ON_SYSTEM_LANGUAGE_CHANGED, ON_PRODUCT_INFO_CHANGED.
    void SystemInfoSyncToUI();
    void SystemLanguageSyncToUI();
    void ProductInfoSyncToUI();

    void API_SetLanguage(int language);
    int API_GetLanguage();
    void API_SetLastLoad(bool on);
    bool API_GetLastLoad();
    void API_SetPowerStatus(bool on);
    bool API_GetPowerStatus();
    void API_SetTouchEnable(bool on);
    bool API_GetTouchEnable();
    void API_SetIsDisplayTime(bool on);
    bool API_GetIsDisplayTime();
    // The backlight follows at once; the value is kept.
    void API_SetBrightness(int level);
    int API_GetBrightness();
    void API_SetLoadName(const std::string& name);
    std::string API_GetLoadName();

    // "YYYY-MM-DD hh:mm:ss" (fields of one or two digits accepted): 0, 56
    // for a text that is not a valid local time (nothing changes, nothing is
    // announced), 44 when the clock cannot be set. The UI is told the text.
    int API_SetSystemTime(const std::string& text);
    // Now as "YYYY-MM-DD hh:mm:ss".
    std::string API_GetSystemTime();
    // The reboot count of the boot-record file: 0, or 44 when the file is
    // missing or holds no number (`count` untouched).
    int API_GetSystemRebootCount(int& count);

    // Local (true) or remote operation; the UI is told.
    void API_SetLocalState(bool local);

    void API_GetProductInfo(ProtoProductInfo& out);
    // "model,serial number,software version" as *IDN? answers them after the
    // maker, kept ready in memory and refreshed whenever one of them is set.
    std::string API_GetIdentity();
    std::string API_GetModel();
    // 8458 selects "MV412", 8459 "MV412E" (other numbers leave the text), and
    // the number is written to the ini file: 0, or 74 when it cannot be saved.
    // The product id follows only at the next start.
    int API_SetModel(int pid);
    int API_GetProductId();
    int API_GetControlPort();
    std::string API_GetSerialNum();
    // Letters, digits and "-_." only, 1 to 30 of them (the serial reaches the
    // USB module's load command), else 58; 74 when the file is not saved.
    int API_SetSerialNum(const std::string& serial);
    std::string API_GetCalTime();
    std::string API_GetHWVer();
    // Texts for the ini file: 58 with control characters or quotes, 74 when
    // the file is not saved (the value is kept in memory), else 0.
    int API_SetCalTime(const std::string& text);
    int API_SetHWVer(const std::string& text);
    void ApiUtility_FactoryModeUpdate(bool on);
    unsigned int API_GetCfgVer();
    // 74 (nothing changes) when the file cannot be saved.
    int API_SetCfgVer(unsigned int version);
    // In factory mode only the first 8 characters.
    std::string API_GetSwVersion();

    // The beeper facade over CBeeper.
    void API_Beeper_StateSet(bool on);
    bool API_Beeper_StateGet();
    bool API_Beeper_Test();
    // Continuous tone (continuity) on or off.
    void API_Beeper_Switch(bool on);

    // The build date as "YYYY/MM/DD hh:mm:ss" from the compiler's "Mmm dd yyyy"
    // and "hh:mm:ss" texts; an unknown month name gives month 0.
    static std::string InterpretDate(const char* date, const char* time);
    // Strict "Y-M-D h:m:s" of a real local time; false for anything else.
    static bool ParseTimeText(const std::string& text, time_t& stamp);
    static bool SerialNumValid(const std::string& serial);
    static bool IniTextValid(const std::string& text);

private:
    using BoolSetter = void (ProtoSystemInfo::*)(bool);
    void setFlag(BoolSetter set, bool on);
    bool getFlag(bool (ProtoSystemInfo::*get)() const);
    void refreshIdentityLocked();
    // A checked identity text of the "SYSTEM" section: 0, 58 or 74.
    int setIniText(std::string* (ProtoProductInfo::*field)(), const char* key, const char* log,
                   const std::string& text);
    // Writes one ini value (a string, or an integer when `text` is null) and
    // saves the file: 0 or 74.
    int saveIni(const char* section, const char* key, const char* text, int number);
    // False (nothing applied) for a record the checks refuse.
    bool applySystemInfo(const ProtoSystemInfo& in);

    // Guards the records: the UI and SCPI pollers, the network-status
    // client's thread, the storage timer and the notification jobs reach them.
    std::mutex _mtx;
    ProtoProductInfo m_productInfo;
    ProtoSystemInfo m_systemInfo;
    std::string m_identity;
    bool m_local = true;
    int32_t m_s32Pid = 8459;
    bool m_bFactoryMode = false;
    unsigned int m_cfgVer = 0;
    // The pending notification steps of the last preference load.
    std::shared_ptr<toolkit::TaskCancelable> m_prefSteps;
};
