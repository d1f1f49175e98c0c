#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "proto_data.pb.h"

// The instrument's identity (model, serial number, versions, build date,
// calibration time, hardware version) and its system settings (language,
// power-on state, touch, time display, beeper, brightness, I/O settings,
// local/remote state). Identity and language live in
// "/vorna/data/productconfig.ini"; the other settings in the settings mirror
// as the ProtoSystemInfo record. Created on first use through
// Copperwren::Singleton<SystemSetup>.
//
// Present so far: identity and system records with their defaults, get, set
// and UI pushes, the model, the beeper facade and the local/remote state. The
// remaining getters and setters come with the system-settings work.
class SystemSetup {
public:
    static constexpr const char* kProductIniPath = "/vorna/data/productconfig.ini";

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

    // ON_SYSTEM_INFO_CHANGED, ON_SYSTEM_LANGUAGE_CHANGED, ON_PRODUCT_INFO_CHANGED.
    void SystemInfoSyncToUI();
    void SystemLanguageSyncToUI();
    void ProductInfoSyncToUI();

    void API_GetProductInfo(ProtoProductInfo& out);
    std::string API_GetModel();
    // 8458 selects "MV412", 8459 "MV412E" (other numbers leave the text), and
    // the number is written to the ini file: 0, or 74 when it cannot be saved.
    // The product id follows only at the next start.
    int API_SetModel(int pid);
    int API_GetProductId();
    unsigned int API_GetCfgVer();

    // The beeper facade over CBeeper.
    void API_Beeper_StateSet(bool on);
    bool API_Beeper_StateGet();
    bool API_Beeper_Test();
    // Continuous tone (continuity) on or off.
    void API_Beeper_Switch(bool on);

    // Local (true) or remote operation; the UI is told.
    void API_SetLocalState(bool local);

    // The build date as "YYYY/MM/DD hh:mm:ss" from the compiler's "Mmm dd yyyy"
    // and "hh:mm:ss" texts; an unknown month name gives month 0.
    static std::string InterpretDate(const char* date, const char* time);

private:
    // Guards the records: the UI and SCPI pollers, the storage timer and the
    // notification jobs all reach them.
    std::mutex _mtx;
    ProtoProductInfo m_productInfo;
    ProtoSystemInfo m_systemInfo;
    bool m_local = true;
    int32_t m_s32Pid = 8459;
    bool m_bFactoryMode = false;
    unsigned int m_cfgVer = 0;
};
