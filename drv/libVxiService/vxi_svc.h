#pragma once
// The RPC side of the server: UDP and TCP transports on one port, the core,
// abort and interrupt programs registered on both, their dispatchers, and the
// loop that serves them. The loop never blocks on one client: connections are
// read without blocking, a procedure that waits is parked and answered later,
// and a connection that leaves takes its links with it.
#include <rpc/rpc.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Network/AddressPlaces.h"
#include "vxi_proc.h"

// How often the port-mapper entry is looked at by default.
constexpr std::chrono::milliseconds kVxiPortmapCheck{10000};
// TCP connections served at once, like the SCPI socket's: fewer when the
// descriptor limit is small, so that files can always be opened, and one
// address holds all but an eighth of them (see AddressPlaces). A connection
// beyond is accepted and closed at once.
constexpr size_t kVxiMaxConnections = 256;

// Creates both transports on `port` (0: a free port each, for tests) and
// registers the three programs on them without a port mapper; then, when
// `portmap` is set and a port mapper runs, also registers the core program
// there for TCP and UDP (a failure is logged once and changes nothing else),
// and looks every `portmapCheck` whether the entry is still there: a port
// mapper that restarted or lost it gets it again. Call once. 0, or -1 to -8
// (the transport or registration that failed).
int vxiServiceInit(const _vxi_io_& io, uint16_t port, bool portmap = true,
                   std::chrono::milliseconds portmapCheck = kVxiPortmapCheck);
// Serves on the calling thread until vxiServiceStop.
void vxiServiceRun();
// Makes vxiServiceRun look at its waiting calls again (from any thread):
// reply data has come.
void vxiServiceWake();
// Makes vxiServiceRun return (from any thread).
void vxiServiceStop();
// The port the TCP (stream) or UDP transport is bound to.
uint16_t vxiServicePort(bool stream);
// The places of the TCP connections (read from any thread).
const toolkit::AddressPlaces& vxiServicePlaces();

void device_core_1(struct svc_req* rqstp, SVCXPRT* transp);
void device_async_1(struct svc_req* rqstp, SVCXPRT* transp);
void device_intr_1(struct svc_req* rqstp, SVCXPRT* transp);
