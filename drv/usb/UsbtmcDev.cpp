#include "UsbtmcDev.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Singelton.h"
#include "SystemSetup.h"
#include "UsbtmcLog.h"
#include "Util/logger.h"
#include "proto_data.pb.h"
#include "root_path.h"
#include "usb_gadget.h"

// Never destroyed: the engine's poller may still hand over a reply while the
// process ends, and a running thread must not meet a destroyed record.
halUsbtmcDevInfoStru& stUsbtmcDevInfo = *new halUsbtmcDevInfoStru;
halUsbtmcDevIOStru& stUsbtmcDevIO = *new halUsbtmcDevIOStru;
void (*pDevLocalRemoteReport)(uint8_t state) = setRmtModule;

void setRmtModule(uint8_t /*state*/) {}
void usbMepMessagesCallbackBav(uint8_t /*value*/) {}
void usbMepMessagesCallbackBrq(uint8_t /*value*/) {}
void usbMepMessagesCallbackDacs(uint8_t /*value*/) {}

namespace {

constexpr const char* kTmcModule = "/vorna/driver/usbtmc_dev.ko";
constexpr const char* kCompositeModule = "/vorna/driver/libcomposite.ko";
constexpr size_t kParamMax = 64;
constexpr int kDefaultProductId = 0xA4AF;

// Start and stop exclude each other.
std::mutex g_lifeMtx;

// A module parameter given, else (or when it is not a safe word) the default.
std::string paramOr(const char* text, const char* fallback, const char* what) {
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    if (!halUsbtmcParamValid(text)) {
        USBTMC_LOG_E("invalid %s \"%.*s\", \"%s\" used\n", what, static_cast<int>(kParamMax), text, fallback);
        return fallback;
    }
    return text;
}

// Unloads and loads the gadget modules with the device's identity; every
// word is one argument, no shell takes part.
int halUsbtmcDevInstallModule(const std::string& serial, const std::string& product, int productId) {
    platform::UsbGadgetPort& port = platform::usbGadget();
    std::string tmc = platform::hostPath(kTmcModule);
    std::string composite = platform::hostPath(kCompositeModule);
    port.runModuleCommand({"rmmod", tmc});
    port.runModuleCommand({"rmmod", composite});
    if (port.runModuleCommand({"insmod", composite}) != 0) {
        USBTMC_LOG_E("insmode libcomposite.ko failed!\n");
        return -1;
    }
    if (port.runModuleCommand({"insmod", tmc, "iSerialNum=" + serial, "iProductDesc=" + product,
                               "ProductId=" + std::to_string(productId)}) != 0) {
        USBTMC_LOG_E("insmode usbtmc_dev.ko failed!\n");
        return -1;
    }
    return 0;
}

void startThreads() {
    stUsbtmcDevInfo.u8IsExitThread = 0;
    stUsbtmcDevInfo.thBulk = std::thread([] {
        pthread_setname_np(pthread_self(), "usbtmc bulk");
        halUsbtmcThreadEpoll();
    });
    stUsbtmcDevInfo.thCtl = std::thread([] {
        pthread_setname_np(pthread_self(), "usbtmc control");
        halUsbtmcThreadCtlSignal();
    });
}

} // namespace

bool halUsbtmcParamValid(const char* text) {
    size_t n = 0;
    for (; text[n] != '\0'; ++n) {
        char c = text[n];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_' || c == '.';
        if (!ok || n >= kParamMax) {
            return false;
        }
    }
    return n > 0;
}

int halUsbtmcDevInit() {
    std::string serial = "MV4000001";
    std::string product = "MV412E";
    int productId = 8459;
    if (SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance()) {
        ProtoProductInfo info;
        setup->API_GetProductInfo(info);
        serial = info.mserialnum();
        product = setup->API_GetModel();
        productId = setup->API_GetProductId();
    }
    return halUsbtmcDevInitWithArgs(serial.c_str(), product.c_str(), productId);
}

int halUsbtmcDevInitWithArgs(const char* serial, const char* product, int productId) {
    std::lock_guard<std::mutex> lock(g_lifeMtx);
    if (stUsbtmcDevInfo.s32Fd >= 0) {
        return 0;  // running: no second reload, no second pair of threads
    }
    std::string sn = paramOr(serial, "TX7100001", "serial number");
    std::string desc = paramOr(product, "TX7100", "product description");
    if (productId < 0 || productId > 0xFFFF) {
        productId = kDefaultProductId;
    }
    if (halUsbtmcDevInstallModule(sn, desc, productId) != 0) {
        USBTMC_LOG_E("halUsbtmcDevInstallModule failed\n");
        return -1;
    }
    int fd = platform::usbGadget().open(stUsbtmcDevInfo.as8DevName, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        USBTMC_LOG_E("can not open %s, fd: %d\n", stUsbtmcDevInfo.as8DevName, fd);
        stUsbtmcDevInfo.s32Fd = -1;
        return -1;
    }
    stUsbtmcDevInfo.s32WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stUsbtmcDevInfo.s32WakeFd < 0) {
        USBTMC_LOG_E("can not make the wake event\n");
        platform::usbGadget().close(fd);
        return -1;
    }
    stUsbtmcDevInfo.s32Fd = fd;
    PrintI("open success %s, fd: %d\n", stUsbtmcDevInfo.as8DevName, fd);
    halUsbtmcDevIOInit();
    startThreads();
    return 0;
}

void halUsbtmcDevIOInit() {
    halUsbtmcDevIOReset();
    stUsbtmcDevIO.stTx.setInterrupted(false);
    pDevLocalRemoteReport = setRmtModule;
}

void halUsbtmcDevIOReset() {
    stUsbtmcDevIO.stBulkOut.reset();
    stUsbtmcDevIO.stTx.discard();
    stUsbtmcDevIO.bBulkOutReset = false;
    stUsbtmcDevIO.stBulkInPipe.euTransStatus = TRANSFER_IDLE;
    stUsbtmcDevIO.stBulkOutPipe.euTransStatus = TRANSFER_IDLE;
    stUsbtmcDevIO.stBulkOutPipe.u32TransferedCnt = 0;
    stUsbtmcDevIO.u8Status = USBTMC_STATUS_SUCCESS;
}

void halUsbtmcDevClose() {
    std::lock_guard<std::mutex> lock(g_lifeMtx);
    int fd = stUsbtmcDevInfo.s32Fd;
    if (fd < 0) {
        USBTMC_LOG_E("close failed fd = %d\n", fd);
        return;
    }
    // Both threads wait on the wake event (and the bulk thread may wait for a
    // reply): they end promptly and are joined before the node goes.
    stUsbtmcDevInfo.u8IsExitThread = 1;
    uint64_t one = 1;
    ssize_t w = ::write(stUsbtmcDevInfo.s32WakeFd, &one, sizeof(one));
    (void)w;
    stUsbtmcDevIO.stTx.setInterrupted(true);
    for (std::thread* th : {&stUsbtmcDevInfo.thBulk, &stUsbtmcDevInfo.thCtl}) {
        if (th->joinable()) {
            th->join();
        }
    }
    ::close(stUsbtmcDevInfo.s32WakeFd);
    stUsbtmcDevInfo.s32WakeFd = -1;
    int ret = platform::usbGadget().close(fd);
    if (ret != 0) {
        USBTMC_LOG_E("close fd = %d failed ret = %d\n", fd, ret);
    }
    stUsbtmcDevInfo.s32Fd = -1;
}

ssize_t halUsbtmcRead(int fd, void* buffer, size_t n) { return platform::usbGadget().read(fd, buffer, n); }

ssize_t halUsbtmcWrite(int fd, const void* buffer, size_t n) { return platform::usbGadget().write(fd, buffer, n); }

int halUsbtmcIoctlWriteRead(int fd, unsigned long request, void* argument) {
    platform::UsbGadgetPort& port = platform::usbGadget();
    switch (request) {
    case USBTMC_IOCTL_READ_SIGNAL:
        return port.readSignal(fd, *static_cast<uint32_t*>(argument));
    case USBTMC_IOCTL_READ_SETUP:
        return port.readSetup(fd, static_cast<uint8_t*>(argument));
    case USBTMC_IOCTL_ABORT_BULK_OUT:
        return port.haltBulkOut(fd);
    case USBTMC_IOCTL_ABORT_BULK_IN:
        return port.haltBulkIn(fd);
    case USBTMC_IOCTL_CONTROL_ANSWER: {
        const auto* record = static_cast<const uint8_t*>(argument);
        return port.controlAnswer(fd, record + 1, record[0]);
    }
    default:
        return -1;
    }
}

int halUsbtmcReadEndpoint(int fd, uint8_t* buffer) {
    return halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_READ_SETUP, buffer);
}

int halUsbtmcControlEndpointWrite(int fd, const uint8_t* data, uint8_t length) {
    uint8_t record[64] = {};
    length = length > 63 ? 63 : length;
    record[0] = length;
    std::memcpy(record + 1, data, length);
    return halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_CONTROL_ANSWER, record);
}
