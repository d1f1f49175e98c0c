#include "IoTransports.h"

#include <mutex>

#include "Util/logger.h"

namespace {

std::mutex g_mtx;
IoTransports::Calls g_calls;
IoTransports g_installed;

IoTransports recordingDefaults() {
    IoTransports hooks;
    hooks.halUsbtmcDevInit = [] {
        PrintI("USBTMC start requested");
        std::lock_guard<std::mutex> lock(g_mtx);
        ++g_calls.usbtmcInit;
        return 0;
    };
    hooks.halUsbtmcDevClose = [] {
        PrintI("USBTMC stop requested");
        std::lock_guard<std::mutex> lock(g_mtx);
        ++g_calls.usbtmcClose;
    };
    hooks.vxiServiceThredCreate = [](int priority) -> long {
        PrintI("VXI-11 server start requested, priority %d", priority);
        std::lock_guard<std::mutex> lock(g_mtx);
        ++g_calls.vxiCreate;
        return 0;
    };
    return hooks;
}

} // namespace

IoTransports IoTransports::current() {
    IoTransports hooks = recordingDefaults();
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_installed.halUsbtmcDevInit) {
        hooks.halUsbtmcDevInit = g_installed.halUsbtmcDevInit;
    }
    if (g_installed.halUsbtmcDevClose) {
        hooks.halUsbtmcDevClose = g_installed.halUsbtmcDevClose;
    }
    if (g_installed.vxiServiceThredCreate) {
        hooks.vxiServiceThredCreate = g_installed.vxiServiceThredCreate;
    }
    return hooks;
}

void IoTransports::install(IoTransports hooks) {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_installed = std::move(hooks);
}

IoTransports::Calls IoTransports::recordedCalls() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_calls;
}
