#pragma once
#include <map>

#include "Manager.h"

// The system manager "system_manager": the system, LAN, date and time
// commands of the UI and of remote control, carried out on SystemSetup and
// CApiIO. Created on first use through Copperwren::Singleton<CSystemManage>;
// bound first.
//
// Present so far: the product-identity query and the connect-time pushes. The
// other system handlers come with the system-settings work.
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
};
