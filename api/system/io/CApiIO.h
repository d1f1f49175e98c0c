#pragma once
#include <mutex>
#include <string>

#include "proto_data.pb.h"

// The instrument's I/O settings: LAN addresses and modes, mDNS names, VISA
// texts, GPIB address and the USBTMC switch, held in a ProtoUtilityIOInfo
// record that travels to the UI and inside the system information of the
// settings mirror. Created on first use through Copperwren::Singleton<CApiIO>.
//
// Present so far: the record with its defaults, get, set and UI push. The
// network-status client, the VXI-11 server, the USBTMC transport and the LAN
// operations come with the I/O work; the defaults are those the instrument
// takes before the network-status service has reported.
class CApiIO {
public:
    CApiIO();

    // Stores the serial number (it forms the default host name), returns the
    // settings to their defaults and copies them out. 0.
    int UtilityIOInfoDefault(const std::string& serial, ProtoUtilityIOInfo& out);
    // Copies the settings out. 0.
    int GetUtilityIOInfo(ProtoUtilityIOInfo& out);
    // Takes a stored record (host and service name become the user's names)
    // and pushes it to the UI. 0.
    int SetUtilityIOInfo(const ProtoUtilityIOInfo& info);
    // Pushes ON_SYSTEM_IO_INFO_CHANGED with the record as raw bytes. 0.
    int ApiUtility_IOInfoSyncToUI();

private:
    void initLocked();

    // Reached from the UI and SCPI pollers, the storage timer and the pool.
    std::mutex _mtx;
    std::string m_strHostName;
    std::string m_strServiceName;
    std::string m_strDomainName;
    std::string m_strSn;
    ProtoUtilityIOInfo m_utilityIOInfo;
};
