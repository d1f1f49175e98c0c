// The measurement service's process entry: logging, boot counter, hardware,
// managers bound to the hub in their fixed order, the UI link and the SCPI
// socket (the I/O settings start USBTMC and VXI-11 through the transport
// hooks), the 0.3 s save of the settings mirror; then it waits for SIGINT or
// SIGTERM and ends with status 0.
#include <csignal>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "CDataManage.h"
#include "CFEM.h"
#include "CSystemManage.h"
#include "ConnService.h"
#include "FunctionManage.h"
#include "HCopy.h"
#include "IoTransports.h"
#include "Poller/Timer.h"
#include "ScpiManage.h"
#include "ScpiService.h"
#include "ServiceLog.h"
#include "Singelton.h"
#include "StopSignal.h"
#include "StorageCore.h"
#include "StorageManage.h"
#include "UsbtmcDev.h"
#include "Util/DescriptorLimit.h"
#include "Util/logger.h"
#include "bootCheck.h"
#include "connectDev.h"
#include "orphanSweep.h"
#include "usbStandIn.h"
#include "vxi_app.h"

namespace {

constexpr const char* kBuildVersion = "00.01.00.00.20";
constexpr float kSaveInterval = 0.3f;

// The I/O settings start and stop the remote-control transports through
// these hooks (USBTMC with its USB switch, VXI-11 once).
void installTransports() {
    IoTransports hooks;
    hooks.halUsbtmcDevInit = halUsbtmcDevInit;
    hooks.halUsbtmcDevClose = halUsbtmcDevClose;
    hooks.vxiServiceThredCreate = vxiServiceThredCreate;
    IoTransports::install(std::move(hooks));
}

// The order matters: the first binding of an id stays, and the engine's loop
// runs before its handlers are bound.
void bindManagers() {
    CFEM* hub = CFEM::instance();
    hub->bindManager(Copperwren::Singleton<CSystemManage>::Instance());
    hub->bindManager(&FunctionManage::instance());
    CDataManage::instance()->start();
    hub->bindManager(CDataManage::instance());
    hub->bindManager(Copperwren::Singleton<StorageManage>::Instance());
    hub->bindManager(HCopy::instance());
}

// The UI link, the SCPI socket, then the remote-control handlers. The UI
// link's ports are essential: one that cannot be taken ends the service with
// status 1. Without port 5025 the service runs on (ScpiService logs why).
void startServers() {
    try {
        ConnService::instance()->start();
    } catch (const std::exception& ex) {
        PrintE("cannot start the servers: %s", ex.what());
        StopSignal::endProcess(1);
    }
    // Lives until exit, as the server it owns.
    auto* scpi = new ScpiService();
    scpi->start();
    ScpiManage::instance().start();
    CFEM::instance()->bindManager(&ScpiManage::instance());
}

// Looks for changed settings every 0.3 s on an event poller; StorageCore
// hands a changed mirror to a pool worker, which writes it.
std::shared_ptr<toolkit::Timer> startSaveTimer() {
    return std::make_shared<toolkit::Timer>(
        kSaveInterval,
        [] {
            if (StorageCore* core = Copperwren::Singleton<StorageCore>::Instance()) {
                core->Save();
            }
            return true;
        },
        nullptr);
}

} // namespace

int main() {
    StopSignal::block();
    ServiceLog::start();
    StopSignal::watchStartUp();
    PrintI("BuildVersion: %s", kBuildVersion);
    PrintI("   BuildTime: %s, %s", __DATE__, __TIME__);

    orphanSweep();
    // Before anything creates the I/O settings, which start the transports.
    installUsbStandIn();
    installTransports();
    bootCheck();
    // Before the servers cap their connections by it: the I/O settings, made
    // from here on, start the VXI-11 server.
    toolkit::raiseDescriptorLimit();
    connectDev();
    bindManagers();
    startServers();
    auto saveTimer = startSaveTimer();

    int sig = StopSignal::wait();
    PrintI("%s received, stopping", strsignal(sig));
    // The loop leaves within a poll, or after a running pulse or charge cycle.
    CDataManage::instance()->stop(500);
    StopSignal::endProcess(0);
}
