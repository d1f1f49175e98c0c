#include "usbStandIn.h"

#include <cstdlib>
#include <cstring>

#include "UsbtmcDev.h"
#include "Util/logger.h"
#include "usb_gadget.h"
#include "usb_gadget_attach.h"
#include "usb_gadget_host.h"

namespace {
bool g_installed = false;
} // namespace

bool installUsbStandIn() {
    const char* flag = std::getenv("DMM_USBTMC_STANDIN");
    if (flag == nullptr || std::strcmp(flag, "1") != 0) {
        return false;
    }
    // Both live until the process ends, as the transport on them does.
    auto* gadget = new platform::UsbGadgetHost();
    auto* attach = new platform::UsbGadgetAttach(*gadget, stUsbtmcDevInfo.as8DevName);
    if (!gadget->ok() || !attach->listening()) {
        PrintE("USB gadget stand-in not available");
        return false;
    }
    platform::usbGadgetInstall(gadget);
    g_installed = true;
    return true;
}

bool startUsbStandIn() {
    if (!g_installed) {
        return false;
    }
    int result = halUsbtmcDevInit();
    PrintI("USBTMC on the gadget stand-in: %s", result == 0 ? "started" : "failed");
    return result == 0;
}
