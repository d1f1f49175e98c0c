#pragma once
#include <functional>

// The remote-control transports that the I/O settings start: the USBTMC
// device port (started and stopped with the USB switch) and the VXI-11
// server. Their start and stop functions belong to the transports; CApiIO
// reaches them only through these hooks, installed once at start-up.
//
// Until the transports are linked in, the hooks only count and log the calls
// (see recordedCalls).
struct IoTransports {
    std::function<int()> halUsbtmcDevInit;
    std::function<void()> halUsbtmcDevClose;
    std::function<long(int priority)> vxiServiceThredCreate;

    // How often each default hook ran.
    struct Calls {
        int usbtmcInit = 0;
        int usbtmcClose = 0;
        int vxiCreate = 0;
    };

    // The hooks in use: those installed, else the recording defaults.
    static IoTransports current();
    // Replaces the hooks; an empty member keeps the recording default.
    static void install(IoTransports hooks);
    static Calls recordedCalls();
};
