#pragma once
#include <cstdint>

// The records exchanged with the network-status service on the same board,
// in host byte order. The layout is the service's: every size and offset is
// fixed.

// Link status reported by the service in `option`.
enum NET_STATUS : int16_t {
    UNLINK = 0,
    LINK = 1,
    INIT = 2,
    SUCCESS = 3,
    DHCP_FAIL = 4,
    DHCP_LOSE = 5,
    CONFLICT = 6,
    INVALID = 7,
    END = 8,
};

#pragma pack(push, 1)
struct RIP_MSG_INFO {
    int16_t type;      // 0 in the request
    int16_t option;    // 1 in the request; in a report the NET_STATUS
    int16_t dhcp;
    int16_t autoip;
    int16_t staticip;
    int16_t mode;      // configuration mode in use
    int16_t speed;
    int16_t duplex;
    int32_t ip;        // in_addr values (network order)
    int32_t gate;
    int32_t mask;
    int32_t dns[2];    // preferred, alternate
    char domain[64];   // zero-terminated
    char hostname[64]; // not used by the client
    char mac[17];      // not always terminated
    char pad[3];
};
#pragma pack(pop)
static_assert(sizeof(RIP_MSG_INFO) == 184, "the service reads and writes 184-byte records");

// The configuration kept from the last record.
struct NET_CONFIG_PARA {
    int16_t dhcp_en;
    int16_t autoip_en;
    int16_t manual_en;
    int16_t resv;
    int32_t ip;
    int32_t gate;
    int32_t mask;
    int32_t dns[2];
};
static_assert(sizeof(NET_CONFIG_PARA) == 28, "kept as the service reports it");
