#include "CSystemManage.h"

#include "CApiIO.h"
#include "CFEM.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

constexpr unsigned int kSysProductInfoGet = 0x2000122E;

} // namespace

CSystemManage::CSystemManage() : Manager("system_manager") {
    Copperwren::Singleton<CApiIO>::Instance();
    Copperwren::Singleton<SystemSetup>::Instance();
}

void CSystemManage::getCallbacks(std::map<unsigned int, cb_func>& entries) {
    entries[kSysProductInfoGet] = [this](unsigned int source, const ValueMap& in, ValueMap* out) {
        return cbSysProductInfoGet(source, in, out);
    };
    bindSettingHandlers(entries);
    bindClockHandlers(entries);
    bindMaintenanceHandlers(entries);
    bindLanHandlers(entries);
    CApiIO::setLinkReportsBound();
}

void CSystemManage::onClientConnect() {
    PrintI("CSystemManage onClientConnect");
    Copperwren::Singleton<CApiIO>::Instance()->ApiUtility_IOInfoSyncToUI();
    SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
    setup->SystemInfoSyncToUI();
    setup->ProductInfoSyncToUI();
}

int CSystemManage::cbSysProductInfoGet(unsigned int /*source*/, const ValueMap& /*in*/, ValueMap* out) {
    ProtoProductInfo info;
    Copperwren::Singleton<SystemSetup>::Instance()->API_GetProductInfo(info);
    insertRaw(*out, kSysProductInfoGet & 0xFFFF, info.SerializeAsString());
    return 0;
}

void CSystemManage::ScpiSyncToUINullVal(service_id id) { CFEM::pushMessage(id, ValueMap()); }

void CSystemManage::ScpiSyncToUIBVal(service_id id, bool value) {
    ValueMap map;
    insertBval(map, id, value);
    CFEM::pushMessage(id, std::move(map));
}

void CSystemManage::ScpiSyncToUIStrVal(service_id id, const std::string& value) {
    ValueMap map;
    insertStr(map, id, value.c_str());
    CFEM::pushMessage(id, std::move(map));
}

bool CSystemManage::DHCPAndAutoIpStateGet() {
    CApiIO* io = Copperwren::Singleton<CApiIO>::Instance();
    const bool autoIp = io->ApiUtility_GetAUTOIP();
    const bool dhcp = io->ApiUtility_GetDHCP();
    PrintI("AutoIpstate = %d, DhcpIpstate = %d", autoIp, dhcp);
    return autoIp || dhcp;
}
