#pragma once
#include <map>
#include <string>

#include "Manager.h"
#include "ids/service_id.h"

// The system manager "system_manager": the system, LAN, date and time
// commands of the UI and of remote control, carried out on SystemSetup and
// CApiIO. Created on first use through Copperwren::Singleton<CSystemManage>;
// bound first.
//
// Handlers run on the caller's thread (UI poller, SCPI poller, the
// network-status client's thread); brightness goes to the shared pool and the
// update package to an event poller.
class CSystemManage : public Manager {
public:
    // Creates the CApiIO and SystemSetup objects, in that order.
    CSystemManage();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;
    // A UI notification client connected: I/O settings, system information
    // and product identity go to the UI.
    void onClientConnect() override;

    // 0x2000122E: the product identity, serialised, under key 0x122E.
    int cbSysProductInfoGet(unsigned int source, const google::protobuf::Map<int, Value>& in,
                            google::protobuf::Map<int, Value>* out);

    // Tell the UI of a change made by remote control: `id` with an empty map,
    // or with one value under the key `id`.
    static void ScpiSyncToUINullVal(service_id id);
    static void ScpiSyncToUIBVal(service_id id, bool value);
    static void ScpiSyncToUIStrVal(service_id id, const std::string& value);
    // True while DHCP or auto-IP is on: remote address changes are refused.
    static bool DHCPAndAutoIpStateGet();

    // Sets the backlight on the shared pool; tasks that run out of order
    // each apply the latest level asked for, and tell the UI.
    static void BrightnessRequest(int level);
    // An update package needs at least 200 MiB free.
    static bool UpdateSpaceEnough(unsigned long long freeBytes);

private:
    // The LAN and LXI handlers (CSystemManageLan.cpp).
    static void bindLanHandlers(std::map<unsigned int, cb_func>& entries);
    // Settings and identity (CSystemManageSettings.cpp), clock
    // (CSystemManageClock.cpp), update, preset and password reset
    // (CSystemManageMaintenance.cpp).
    static void bindSettingHandlers(std::map<unsigned int, cb_func>& entries);
    static void bindClockHandlers(std::map<unsigned int, cb_func>& entries);
    static void bindMaintenanceHandlers(std::map<unsigned int, cb_func>& entries);
};
