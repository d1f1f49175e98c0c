// The LAN and LXI handlers of CSystemManage. Families of alike handlers are
// rows of a table bound through one function each. Remote control (sources 1
// to 3) sends texts in double quotes and is refused changes that would cut
// the instrument off the network; the UI (and the network-status client) may
// set what it likes and is not echoed.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "CApiIO.h"
#include "CSystemManage.h"
#include "FunctionTool.h"
#include "Singelton.h"
#include "SystemParams.h"
#include "Util/logger.h"

using namespace SystemParams;

namespace {

enum LanMessageId : unsigned int {
    LAN_APPLY = 0x10001202,
    LAN_STATUS_GET = 0x20001203,
    LAN_DHCP_SET = 0x10001204,
    LAN_DHCP_GET = 0x20001205,
    LAN_AUTO_IP_SET = 0x10001206,
    LAN_AUTO_IP_GET = 0x20001207,
    LAN_STATIC_IP_SET = 0x10001208,
    LAN_STATIC_IP_GET = 0x20001209,
    LAN_IP_SET = 0x1000120A,
    LAN_IP_GET = 0x2000120B,
    LAN_GATEWAY_SET = 0x1000120C,
    LAN_GATEWAY_GET = 0x2000120D,
    LAN_MASK_SET = 0x1000120E,
    LAN_MASK_GET = 0x2000120F,
    LAN_DNS_SET = 0x10001210,
    LAN_DNS_GET = 0x20001211,
    LAN_MAC_SET = 0x10001212,
    LAN_MAC_GET = 0x20001213,
    LAN_MDNS_SYNC = 0x10001214,
    LAN_MDNS_SET = 0x10001215,
    LAN_MDNS_GET = 0x20001216,
    LAN_HOSTNAME_SET = 0x10001217,
    LAN_HOSTNAME_GET = 0x20001218,
    LAN_HOSTNAME_EFFECTIVE_GET = 0x20001219,
    LAN_SERVICE_NAME_SET = 0x1000121A,
    LAN_SERVICE_NAME_GET = 0x2000121A,
    LAN_SERVICE_NAME_EFFECTIVE_GET = 0x2000121B,
    LAN_VISA_ADDRESS_GET = 0x2000121C,
    LAN_LINK_UPDATE = 0x1000121D,
    LAN_DESCRIPTION_SET = 0x1000121E,
    LAN_DESCRIPTION_GET = 0x2000121E,
    LAN_DOMAIN_GET = 0x2000121F,
    LXI_RESET = 0x10002300,
};

// Rows of the SCPI error table.
constexpr int kErrNotAllowed = 7;     // -108
constexpr int kErrMissing = 8;        // -109
constexpr int kErrTooLong = 29;       // -144
constexpr int kErrExecution = 44;     // -200
constexpr int kErrIllegalValue = 58;  // -224

constexpr size_t kNameMax = 30;
constexpr int kLanConnected = 0;

using FlagSet = int (CApiIO::*)(bool);
using FlagGet = bool (CApiIO::*)();
using TextSet = int (CApiIO::*)(const std::string&);
using TextGet = int (CApiIO::*)(std::string&);

CApiIO& io() { return *Copperwren::Singleton<CApiIO>::Instance(); }
const char* onOff(bool on) { return on ? "on" : "off"; }

// Remote texts arrive in double quotes; they are removed. 0 or 7.
int unwrapRemote(unsigned int source, std::string& text) {
    if (isRemote(source) && !FunctionTool::quotationUnwrap(text)) {
        PrintE("ip argument format not right");
        return kErrNotAllowed;
    }
    return 0;
}

// Six two-digit hexadecimal groups joined by ":".
bool macValid(const std::string& mac) {
    if (mac.size() != 17) {
        return false;
    }
    for (size_t i = 0; i < mac.size(); ++i) {
        const bool ok = (i % 3 == 2) ? mac[i] == ':' : std::isxdigit(static_cast<unsigned char>(mac[i])) != 0;
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Handlers that only tell the UI of a remote request.
struct ActionRow {
    unsigned int id;
    const char* log;
    service_id notify;
};
constexpr ActionRow kActions[] = {
    {LAN_APPLY, "Lan apply", ON_LAN_INFO_APPLIED},
    {LXI_RESET, "Lxi reset", ON_LXI_RESET},
};

int action(const ActionRow& row, unsigned int source, const ValueMap&, ValueMap*) {
    PrintI("%s", row.log);
    if (isRemote(source)) {
        CSystemManage::ScpiSyncToUINullVal(row.notify);
    }
    return 0;
}

// Switches: the three address modes, of which remote control may not switch
// off the last one, and mDNS.
constexpr FlagGet kModeGet[] = {&CApiIO::ApiUtility_GetDHCP, &CApiIO::ApiUtility_GetAUTOIP,
                                &CApiIO::ApiUtility_GetStatic};
constexpr int kNoMode = -1;
struct FlagSetRow {
    unsigned int id;
    const char* log;
    FlagSet set;
    service_id notify;
    int mode;  // index into kModeGet, or kNoMode
};
constexpr FlagSetRow kFlagSets[] = {
    {LAN_DHCP_SET, "DHCP set %s", &CApiIO::ApiUtility_SetDHCP, ON_LAN_DHCP_STATUS_CHANGED, 0},
    {LAN_AUTO_IP_SET, "Auto IP set %s", &CApiIO::ApiUtility_SetAUTOIP, ON_LAN_AUTO_IP_STATUS_CHANGED, 1},
    {LAN_STATIC_IP_SET, "Static IP set %s", &CApiIO::ApiUtility_SetStatic, ON_LAN_STATIC_IP_STATUS_CHANGED, 2},
    {LAN_MDNS_SYNC, "Sync lan mDNS %s", &CApiIO::syncmDNS, ON_LAN_MDNS_STATUS_CHANGED, kNoMode},
    {LAN_MDNS_SET, "Set lan mDNS %s", &CApiIO::ApiUtility_SetMDNS, ON_LAN_MDNS_STATUS_CHANGED, kNoMode},
};

bool otherModeOn(int mode) {
    for (int m = 0; m < 3; ++m) {
        if (m != mode && (io().*kModeGet[m])()) {
            return true;
        }
    }
    return false;
}

int flagSet(const FlagSetRow& row, unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(row.id));
    if (!arg) {
        return kErrMissing;
    }
    const bool on = boolOf(*arg);
    PrintI(row.log, onOff(on));
    if (isRemote(source) && row.mode != kNoMode && !on && !otherModeOn(row.mode)) {
        return kErrIllegalValue;
    }
    (io().*row.set)(on);
    if (isRemote(source)) {
        CSystemManage::ScpiSyncToUIBVal(row.notify, on);
    }
    return 0;
}

struct FlagGetRow {
    unsigned int id;
    const char* log;
    FlagGet get;
};
constexpr FlagGetRow kFlagGets[] = {
    {LAN_DHCP_GET, "DHCP get %s", &CApiIO::ApiUtility_GetDHCP},
    {LAN_AUTO_IP_GET, "Auto IP get %s", &CApiIO::ApiUtility_GetAUTOIP},
    {LAN_STATIC_IP_GET, "Static IP get %s", &CApiIO::ApiUtility_GetStatic},
    {LAN_MDNS_GET, "Get lan mDNS %s", &CApiIO::ApiUtility_GetMDNS},
};

int flagGet(const FlagGetRow& row, unsigned int, const ValueMap&, ValueMap* out) {
    const bool on = (io().*row.get)();
    PrintD(row.log, onOff(on));
    insertBval(*out, itemOf(row.id), on);
    return 0;
}

// Addresses: dotted IPv4 texts, refused from remote control while an
// automatic mode decides them.
struct AddressRow {
    unsigned int id;
    TextSet set;
    service_id notify;
    bool localSendsRecord;
};
constexpr AddressRow kAddresses[] = {
    {LAN_IP_SET, &CApiIO::ApiUtility_SetIP, ON_LAN_IP_ADDR_CHANGED, true},
    {LAN_GATEWAY_SET, &CApiIO::ApiUtility_SetGateway, ON_LAN_GATEWAY_ADDR_CHANGED, false},
    {LAN_MASK_SET, &CApiIO::ApiUtility_SetMask, ON_LAN_MASK_ADDR_CHANGED, false},
    {LAN_DNS_SET, &CApiIO::ApiUtility_SetDNS, ON_LAN_DNS_ADDR_CHANGED, false},
};

int addressSet(const AddressRow& row, unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(row.id));
    if (!arg) {
        return kErrMissing;
    }
    std::string text = arg->strval();
    if (int rc = unwrapRemote(source, text)) {
        return rc;
    }
    if (!FunctionTool::IPArgumentVerify(text)) {
        return kErrNotAllowed;
    }
    if (!isRemote(source)) {
        (io().*row.set)(text);
        if (row.localSendsRecord) {
            io().ApiUtility_IOInfoSyncToUI();
        }
        return 0;
    }
    if (CSystemManage::DHCPAndAutoIpStateGet()) {
        return kErrIllegalValue;
    }
    (io().*row.set)(text);
    CSystemManage::ScpiSyncToUIStrVal(row.notify, text);
    return 0;
}

// mDNS names: only while mDNS is on, at most 30 characters.
struct NameRow {
    unsigned int id;
    TextSet set;
    service_id notify;
    const char* tooLong;
};
constexpr NameRow kNames[] = {
    {LAN_HOSTNAME_SET, &CApiIO::ApiUtility_SetHostName, ON_LAN_HOST_NAME_CHANGED, "Hostname:%s too long"},
    {LAN_SERVICE_NAME_SET, &CApiIO::ApiUtility_SetServiceName, ON_LAN_SERVICE_NAME_CHANGED,
     "ServiceName:%s too long"},
};

int nameSet(const NameRow& row, unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(row.id));
    if (!arg) {
        return kErrMissing;
    }
    if (!io().ApiUtility_GetMDNS()) {
        PrintE("mDNS stating is off");
        return kErrExecution;
    }
    std::string text = arg->strval();
    if (int rc = unwrapRemote(source, text)) {
        return rc;
    }
    if (text.size() > kNameMax) {
        PrintE(row.tooLong, text.c_str());
        return kErrTooLong;
    }
    if (int rc = (io().*row.set)(text)) {
        return rc;
    }
    if (isRemote(source)) {
        CSystemManage::ScpiSyncToUIStrVal(row.notify, text);
    }
    return 0;
}

struct TextGetRow {
    unsigned int id;
    TextGet get;
    bool quoted;
};
constexpr TextGetRow kTextGets[] = {
    {LAN_IP_GET, &CApiIO::ApiUtility_GetIP, true},
    {LAN_GATEWAY_GET, &CApiIO::ApiUtility_GetGateway, true},
    {LAN_MASK_GET, &CApiIO::ApiUtility_GetMask, true},
    {LAN_DNS_GET, &CApiIO::ApiUtility_GetDNS, true},
    {LAN_MAC_GET, &CApiIO::ApiUtility_GetMac, false},
    {LAN_HOSTNAME_GET, &CApiIO::ApiUtility_GetHostName, true},
    {LAN_HOSTNAME_EFFECTIVE_GET, &CApiIO::ApiUtility_GetEffectHostName, false},
    {LAN_SERVICE_NAME_GET, &CApiIO::ApiUtility_GetServiceName, true},
    {LAN_SERVICE_NAME_EFFECTIVE_GET, &CApiIO::ApiUtility_GetEffectServiceName, true},
    {LAN_DESCRIPTION_GET, &CApiIO::ApiUtility_GetServiceName, false},
    {LAN_DOMAIN_GET, &CApiIO::ApiUtility_GetDomainName, true},
};

int textGet(const TextGetRow& row, unsigned int source, const ValueMap&, ValueMap* out) {
    std::string text;
    (io().*row.get)(text);
    if (row.id == LAN_IP_GET) {
        PrintD("Get lan IP : %s", text.c_str());
    }
    // The UI and the network-status client are local: they read plain text.
    if (row.quoted && isRemote(source)) {
        FunctionTool::quotationWrap(text);
    }
    insertStr(*out, itemOf(row.id), text.c_str());
    return 0;
}

int statusGet(unsigned int, const ValueMap&, ValueMap* out) {
    int status = kLanConnected;
    io().ApiUtility_GetNetStatus(status);
    PrintD("Lan status get %d", status);
    insertBval(*out, itemOf(LAN_STATUS_GET), status != kLanConnected);
    return 0;
}

int macSet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(LAN_MAC_SET));
    if (!arg) {
        return kErrMissing;
    }
    std::string mac = arg->strval();
    PrintI("Set lan mac : %s", mac.c_str());
    if (int rc = unwrapRemote(source, mac)) {
        return rc;
    }
    if (!macValid(mac)) {
        PrintE("mac argument format not right");
        return kErrNotAllowed;
    }
    return io().ApiUtility_SetMac(mac);
}

int visaGet(unsigned int, const ValueMap& in, ValueMap* out) {
    const Value* arg = findOrLogMissing(in, itemOf(LAN_VISA_ADDRESS_GET));
    if (!arg) {
        return kErrMissing;
    }
    const int type = s32Of(*arg);
    std::string text;
    io().ApiUtility_GetVisaAddr(type, text);
    insertStr(*out, itemOf(LAN_VISA_ADDRESS_GET), text.c_str());
    return 0;
}

int linkUpdate(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(LAN_LINK_UPDATE));
    if (!arg) {
        return kErrMissing;
    }
    PrintI("Lan link update: %d", arg->s32val());
    io().ApiUtility_SetUpdate(arg->s32val());
    if (isRemote(source)) {
        io().ApiUtility_IOInfoSyncToUI();
    }
    return 0;
}

int descriptionSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(LAN_DESCRIPTION_SET));
    if (!arg) {
        return kErrMissing;
    }
    PrintI("Set lan description : %s", arg->strval().c_str());
    return io().ApiUtility_SetServiceName(arg->strval());
}

template <typename Row, size_t N, typename Handler>
void bindRows(std::map<unsigned int, cb_func>& entries, const Row (&rows)[N], Handler handler) {
    for (const Row& row : rows) {
        entries[row.id] = [&row, handler](unsigned int source, const ValueMap& in, ValueMap* out) {
            return handler(row, source, in, out);
        };
    }
}

} // namespace

void CSystemManage::bindLanHandlers(std::map<unsigned int, cb_func>& entries) {
    bindRows(entries, kActions, action);
    bindRows(entries, kFlagSets, flagSet);
    bindRows(entries, kFlagGets, flagGet);
    bindRows(entries, kAddresses, addressSet);
    bindRows(entries, kNames, nameSet);
    bindRows(entries, kTextGets, textGet);
    entries[LAN_STATUS_GET] = statusGet;
    entries[LAN_MAC_SET] = macSet;
    entries[LAN_VISA_ADDRESS_GET] = visaGet;
    entries[LAN_LINK_UPDATE] = linkUpdate;
    entries[LAN_DESCRIPTION_SET] = descriptionSet;
}
