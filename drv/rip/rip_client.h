#pragma once
#include <cstdint>
#include <string>

#include "RipClient.h"

// The instrument's one connection to the network-status service, as plain
// functions over one client object that lives until the process ends.

// Replaces the service address and the waits; only before rip_client_init.
// Until then: 127.0.0.1, port 1998 or $DMM_NET_STATUS_PORT.
void rip_client_configure(const RipClientSettings& settings);
// Starts the client thread "rip_client" (once) and returns after the first
// record or the first failed connection, at the latest after the settings'
// first-record wait.
void rip_client_init();

// The last record, copied under the client's lock. Before the first record
// (or without rip_client_init): zeros, mode -1 and UNLINK.
RipNetSnapshot rip_client_snapshot();
int32_t get_host_ip();
int32_t get_gate_addr();
int32_t get_mask_addr();
int32_t get_pre_dns_addr();
int32_t get_alt_dns_addr();
int get_curr_net_mode();
NET_STATUS get_curr_net_status();
std::string get_mac_addr();

// Keeps a record as the client thread does; notify != 0 reports a changed
// status.
void update_net_info(const RIP_MSG_INFO& record, int notify);

// Each change of the link status, on the client thread. The I/O settings
// define it: they pass it to the message hub.
void rip_client_msg_callback(NET_STATUS status, NET_CONFIG_PARA configuration);
