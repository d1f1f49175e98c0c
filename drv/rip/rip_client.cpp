#include "rip_client.h"

#include <cstdlib>
#include <mutex>

namespace {

// The service's port may be moved on a host (DMM_NET_STATUS_PORT), so that
// test programs running side by side do not reach a fake service of another.
RipClientSettings hostSettings() {
    RipClientSettings settings;
    if (const char* port = std::getenv("DMM_NET_STATUS_PORT")) {
        settings.port = static_cast<uint16_t>(std::strtoul(port, nullptr, 10));
    }
    return settings;
}

std::mutex g_mtx;
RipClientSettings g_settings = hostSettings();
// Created by rip_client_init and never destroyed: its thread runs until the
// process ends.
RipClient* g_client = nullptr;

RipClient& client() {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (!g_client) {
        g_client = new RipClient(g_settings, [](NET_STATUS status, const NET_CONFIG_PARA& config) {
            rip_client_msg_callback(status, config);
        });
    }
    return *g_client;
}

} // namespace

void rip_client_configure(const RipClientSettings& settings) {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_settings = settings;
}

void rip_client_init() {
    static std::once_flag started;
    std::call_once(started, [] { client().start(); });
}

RipNetSnapshot rip_client_snapshot() { return client().snapshot(); }

int32_t get_host_ip() { return rip_client_snapshot().info.ip; }
int32_t get_gate_addr() { return rip_client_snapshot().info.gate; }
int32_t get_mask_addr() { return rip_client_snapshot().info.mask; }
int32_t get_pre_dns_addr() { return rip_client_snapshot().info.dns[0]; }
int32_t get_alt_dns_addr() { return rip_client_snapshot().info.dns[1]; }
int get_curr_net_mode() { return rip_client_snapshot().mode; }
NET_STATUS get_curr_net_status() { return rip_client_snapshot().status; }
std::string get_mac_addr() { return rip_client_snapshot().mac; }

void update_net_info(const RIP_MSG_INFO& record, int notify) { client().update_net_info(record, notify != 0); }
