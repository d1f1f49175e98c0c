#pragma once
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "proto_data.pb.h"
#include "rip_msg.h"

// The instrument's I/O settings: LAN addresses and modes, link status, mDNS
// names, VISA texts, the MAC file, GPIB address and the USBTMC switch, held in
// a ProtoUtilityIOInfo record that travels to the UI and inside the system
// information of the settings mirror. Nothing here touches the network
// interface: the settings are recorded and shown. Creating it starts the
// network-status client and the remote-control transports (IoTransports).
// Created on first use through Copperwren::Singleton<CApiIO>.
class CApiIO {
public:
    // Waits `ms` during construction (for the network-status service to
    // settle); tests install one that returns at once.
    using StartupSleep = std::function<void(std::chrono::milliseconds ms)>;
    static void setStartupSleep(StartupSleep sleep);

    CApiIO();

    // The hub's LAN handlers are bound: link reports may go to the hub. Until
    // then (while the instrument starts) a report would meet an unbound id,
    // an error and a beep; it is dropped, and the addresses are read from the
    // client when the defaults are built.
    static void setLinkReportsBound();

    // Stores the serial number (it forms the default host name), returns the
    // settings to their defaults and copies them out. 0.
    int UtilityIOInfoDefault(const std::string& serial, ProtoUtilityIOInfo& out);
    int GetUtilityIOInfo(ProtoUtilityIOInfo& out);
    // Takes a stored record: its host and service names become the user's,
    // its USB switch is applied; the UI is told. 0.
    int SetUtilityIOInfo(const ProtoUtilityIOInfo& info);
    // Pushes ON_SYSTEM_IO_INFO_CHANGED with the record as raw bytes. 0.
    int ApiUtility_IOInfoSyncToUI();

    // Appends the VISA resource text of a VisaType to `out`. 0.
    int ApiUtility_GetVisaAddr(int type, std::string& out);

    // Starts or stops the USBTMC transport on the main event poller when the
    // switch changes. 0.
    int ApiUtility_SetUsbtmcSwitch(bool on);
    bool ApiUtility_GetUsbtmcSwitch();
    int ApiUtility_SetGPIB(int address);
    int ApiUtility_GetGPIB(int& out);

    int ApiUtility_SetDHCP(bool on);
    int ApiUtility_SetAUTOIP(bool on);
    int ApiUtility_SetStatic(bool on);
    bool ApiUtility_GetDHCP();
    bool ApiUtility_GetAUTOIP();
    bool ApiUtility_GetStatic();

    // Addresses as dotted texts, unchecked here; the IP also sets the LXI
    // VISA text. The getters give "0.0.0.0" for an empty text.
    int ApiUtility_SetIP(const std::string& text);
    int ApiUtility_SetGateway(const std::string& text);
    int ApiUtility_SetMask(const std::string& text);
    int ApiUtility_SetDNS(const std::string& text);
    int ApiUtility_GetIP(std::string& out);
    int ApiUtility_GetGateway(std::string& out);
    int ApiUtility_GetMask(std::string& out);
    int ApiUtility_GetDNS(std::string& out);

    // LanStatusEnum of the client's status; `out` is left for statuses that
    // have none.
    int ApiUtility_GetNetStatus(int& out);

    // With mDNS on, the user's host and service names become the effective
    // ones. syncmDNS only records the switch.
    int ApiUtility_SetMDNS(bool on);
    int syncmDNS(bool on);
    bool ApiUtility_GetMDNS();
    // 56 above 30 characters.
    int ApiUtility_SetHostName(const std::string& text);
    int ApiUtility_SetServiceName(const std::string& text);
    int ApiUtility_GetHostName(std::string& out);
    int ApiUtility_GetEffectHostName(std::string& out);
    int ApiUtility_GetServiceName(std::string& out);
    int ApiUtility_GetEffectServiceName(std::string& out);
    int ApiUtility_GetDomainName(std::string& out);

    // The MAC text of "/vorna/data/mac.conf" (empty without a "Mac Addr = "
    // line). Setting replaces that line, or adds it, and keeps the rest of
    // the file: 0, or 74 when the file cannot be written.
    int ApiUtility_GetMac(std::string& out);
    int ApiUtility_SetMac(const std::string& text);

    // A link status of the network-status client (NET_STATUS). 0.
    int ApiUtility_SetUpdate(int status);

private:
    void init();
    void IpInitLocked(const std::string& fileMac);
    void setIpLocked(const std::string& text);
    int setFlag(const char* name, bool on, void (ProtoUtilityIOInfo::*set)(bool));
    bool getFlag(bool (ProtoUtilityIOInfo::*get)() const);
    using TextField = std::string* (ProtoUtilityIOInfo::*)();
    int setText(const char* name, const std::string& text, TextField field);
    int getAddress(const char* name, std::string& out, TextField field);
    int getText(const char* name, std::string& out, const std::string& text);

    // Reached from the UI and SCPI pollers, the network-status client's
    // thread and the mirror's save timer.
    std::mutex _mtx;
    std::string m_strDNS2;
    std::string m_strHostName;
    std::string m_strServiceName;
    std::string m_strDomainName;
    std::string m_strSn;
    ProtoUtilityIOInfo m_utilityIOInfo;
    // The USB switch state last handed to the transport: -1 none yet.
    int m_usbtmcApplied = -1;
    std::once_flag m_vxiStarted;
};

// Network-status client report: passed to the hub as LAN_LINK_UPDATE.
void rip_client_msg_callback(NET_STATUS status, NET_CONFIG_PARA configuration);
