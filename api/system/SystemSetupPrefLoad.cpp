// Loading a preference file: the settings apply at once, and the UI is told
// of them one step at a time with the pauses it needs between the LAN
// notifications. The steps run as one delayed task on an event poller, so
// the thread that loaded the file (the SCPI poller for MMEM:LOAD:PREF) is
// never held for them.
#include <functional>
#include <utility>
#include <vector>

#include "CFEM.h"
#include "Poller/EventPollerPool.h"
#include "SystemSetup.h"
#include "Util/logger.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

// One notification and the pause after it, in ms.
struct PrefStep {
    std::function<void()> send;
    uint64_t pauseAfter;
};

std::function<void()> notifyBool(service_id id, bool value) {
    return [id, value] {
        ValueMap map;
        insertBval(map, id, value);
        CFEM::pushMessage(id, std::move(map));
    };
}

std::function<void()> notifyText(service_id id, const std::string& text) {
    return [id, text] {
        ValueMap map;
        insertStr(map, id, text.c_str());
        CFEM::pushMessage(id, std::move(map));
    };
}

void addressModeSteps(const ProtoUtilityIOInfo& io, std::vector<PrefStep>& steps) {
    PrintI("dhcp = %d autoIp = %d staticIp= %d", io.mbdhcp(), io.mbautoip(), io.mbstaticip());
    std::vector<std::function<void()>> sends;
    if (io.mbstaticip()) {
        sends = {notifyBool(ON_LAN_STATIC_IP_STATUS_CHANGED, true), notifyBool(ON_LAN_DHCP_STATUS_CHANGED, io.mbdhcp()),
                 notifyBool(ON_LAN_AUTO_IP_STATUS_CHANGED, io.mbautoip())};
    } else if (io.mbautoip()) {
        sends = {notifyBool(ON_LAN_AUTO_IP_STATUS_CHANGED, true), notifyBool(ON_LAN_STATIC_IP_STATUS_CHANGED, false),
                 notifyBool(ON_LAN_DHCP_STATUS_CHANGED, io.mbdhcp())};
    } else if (io.mbdhcp()) {
        sends = {notifyBool(ON_LAN_DHCP_STATUS_CHANGED, true), notifyBool(ON_LAN_STATIC_IP_STATUS_CHANGED, false),
                 notifyBool(ON_LAN_AUTO_IP_STATUS_CHANGED, false)};
    }
    for (auto& send : sends) {
        steps.push_back({std::move(send), 500});
    }
}

std::vector<PrefStep> prefSteps(SystemSetup* setup, const ProtoUtilityIOInfo& io) {
    std::vector<PrefStep> steps = {
        {[setup] { setup->SystemInfoSyncToUI(); }, 500},
        {notifyBool(ON_LAN_MDNS_STATUS_CHANGED, io.mmdnson()), 1000},
        {notifyText(ON_LAN_SERVICE_NAME_CHANGED, io.mservicename()), 500},
        {notifyText(ON_LAN_HOST_NAME_CHANGED, io.mhostname()), 500},
    };
    addressModeSteps(io, steps);
    steps.back().pauseAfter += 1000;
    if (!io.mbdhcp() && !io.mbautoip() && io.mbstaticip()) {
        steps.push_back({notifyText(ON_LAN_IP_ADDR_CHANGED, io.mstrip()), 500});
        steps.push_back({notifyText(ON_LAN_GATEWAY_ADDR_CHANGED, io.mstrgateway()), 500});
        steps.push_back({notifyText(ON_LAN_MASK_ADDR_CHANGED, io.mstrsubnetmask()), 500});
        steps.push_back({notifyText(ON_LAN_DNS_ADDR_CHANGED, io.mstrdns()), 500});
        steps.push_back({notifyText(ON_LAN_DNS_ADDR_CHANGED, io.mstrdns()), 500});
    }
    steps.push_back({[] { CFEM::pushMessage(ON_LAN_INFO_APPLIED, ValueMap()); }, 0});
    return steps;
}

} // namespace

void SystemSetup::ProtoSystemInfoSetForLoadPrf(const ProtoSystemInfo& in) {
    if (!applySystemInfo(in)) {
        return;
    }
    auto steps = std::make_shared<std::vector<PrefStep>>(prefSteps(this, in.mprotoutilityioinfo()));
    auto next = std::make_shared<size_t>(0);
    // Each run sends one step and asks to run again after its pause.
    auto task = toolkit::EventPollerPool::Instance().getPoller(false)->doDelayTask(500, [steps, next]() -> uint64_t {
        const PrefStep& step = (*steps)[(*next)++];
        step.send();
        return *next < steps->size() ? step.pauseAfter : 0;
    });
    std::shared_ptr<toolkit::TaskCancelable> previous;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        previous = std::exchange(m_prefSteps, task);
    }
    if (previous) {
        previous->cancel();
    }
}
