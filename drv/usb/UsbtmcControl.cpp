// The control thread: class requests of the control endpoint.
#include <cstring>
#include <mutex>

#include "DrvScpiSM.h"
#include "UsbtmcDev.h"
#include "UsbtmcLog.h"
#include "Util/logger.h"
#include "usb_gadget.h"

namespace {

constexpr int kWaitMs = 100;
constexpr uint8_t kClassRequest = 0x20;
constexpr uint8_t kRequestTypeMask = 0x60;

struct SetupPacket {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

// Fills the answer; its length, or 0 for none.
using RequestFn = int (*)(const SetupPacket& setup, int fd, uint8_t* answer);

// NBYTES_RXD of the last abort of a Bulk-OUT transfer.
uint32_t g_u32AbortRxd = 0;

halUsbtmcDevIOStru& io() { return stUsbtmcDevIO; }

void moveState(uint8_t from, uint8_t to) {
    if (io().euLocalRemoteState.compare_exchange_strong(from, to)) {
        pDevLocalRemoteReport(to);
    }
}

int putU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return 4;
}

int initiateAbortBulkOut(const SetupPacket&, int fd, uint8_t* answer) {
    io().stBulkOutPipe.euTransStatus = TRANSFER_ABORT;
    // The abort is done once the endpoint is halted and the partial command
    // forgotten: the status check answers success with the bytes received.
    g_u32AbortRxd = io().stBulkOutPipe.u32TransferedCnt;
    io().bBulkOutReset = true;
    halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_ABORT_BULK_OUT, nullptr);
    usbMepMessagesCallbackBav(0);
    answer[0] = USBTMC_STATUS_SUCCESS;
    answer[1] = 0;
    return 2;
}

int checkAbortBulkOutStatus(const SetupPacket&, int, uint8_t* answer) {
    std::memset(answer, 0, 8);
    answer[0] = USBTMC_STATUS_SUCCESS;
    putU32(answer + 4, g_u32AbortRxd);
    return 8;
}

int initiateAbortBulkIn(const SetupPacket& setup, int fd, uint8_t* answer) {
    uint8_t status = USBTMC_STATUS_TRANSFER_NOT_IN_PROGRESS;
    if ((setup.wValue & 0xFF) == 0) {
        status = io().stBulkOutPipe.euTransStatus == TRANSFER_PROGRESSING ? USBTMC_STATUS_PENDING
                                                                          : USBTMC_STATUS_SUCCESS;
    }
    io().stBulkInPipe.euTransStatus = TRANSFER_ABORT;
    halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_ABORT_BULK_IN, nullptr);
    usbMepMessagesCallbackBrq(0);
    answer[0] = status;
    answer[1] = 0;
    return 2;
}

int checkAbortBulkInStatus(const SetupPacket&, int, uint8_t* answer) {
    std::memset(answer, 0, 8);
    answer[0] = USBTMC_STATUS_SUCCESS;
    return 8;
}

int initiateClear(const SetupPacket&, int fd, uint8_t* answer) {
    io().stBulkInPipe.euTransStatus = TRANSFER_ABORT;
    io().stBulkOutPipe.euTransStatus = TRANSFER_ABORT;
    moveState(LOCAL_REMOTE_STATE_LOCS, LOCAL_REMOTE_STATE_REMS);
    halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_ABORT_BULK_IN, nullptr);
    halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_ABORT_BULK_OUT, nullptr);
    // A device clear, as on the other transports: begun before it is
    // answered; CHECK_CLEAR_STATUS tells when the lists it stopped have ended.
    halUsbtmcDevIOClear();
    usbMepMessagesCallbackDacs(1);
    usbMepMessagesCallbackBrq(0);
    usbMepMessagesCallbackBav(0);
    answer[0] = USBTMC_STATUS_SUCCESS;
    return 1;
}

int checkClearStatus(const SetupPacket&, int, uint8_t* answer) {
    usbMepMessagesCallbackDacs(1);
    // The clear is done once the host's lists have ended (a file operation
    // stops between chunks): until then the host asks again, and its next
    // message waits behind nothing.
    answer[0] = halUsbtmcDevHostBusy() ? USBTMC_STATUS_PENDING : USBTMC_STATUS_SUCCESS;
    answer[1] = 0;
    return 2;
}

int getCapabilities(const SetupPacket&, int, uint8_t* answer) {
    static const uint8_t kCapabilities[24] = {
        USBTMC_STATUS_SUCCESS, 0x00, 0x00, 0x01,  // status, reserved, bcdUSBTMC 1.00
        0x04, 0x00, 0, 0, 0, 0, 0, 0,             // accepts INDICATOR_PULSE; device capabilities; reserved
        0x00, 0x01, 0x06, 0x0F,                   // bcdUSB488 1.00, USB488 interface and device capabilities
        0, 0, 0, 0, 0, 0, 0, 0,
    };
    std::memcpy(answer, kCapabilities, sizeof(kCapabilities));
    return sizeof(kCapabilities);
}

int successOnly(const SetupPacket&, int, uint8_t* answer) {
    answer[0] = USBTMC_STATUS_SUCCESS;
    return 1;
}

int readStatusByte(const SetupPacket& setup, int, uint8_t* answer) {
    answer[0] = io().u8Status;
    answer[1] = static_cast<uint8_t>(setup.wValue & 0x7F);
    answer[2] = DrvScpi_StatusByte();
    return 3;
}

int renControl(const SetupPacket& setup, int, uint8_t* answer) {
    uint8_t ren = setup.wValue & 0x7F;
    if (ren <= 1) {
        io().u8RENStatus = ren;
    }
    answer[0] = USBTMC_STATUS_SUCCESS;
    return 1;
}

int goToLocal(const SetupPacket&, int, uint8_t* answer) {
    moveState(LOCAL_REMOTE_STATE_REMS, LOCAL_REMOTE_STATE_LOCS);
    answer[0] = USBTMC_STATUS_SUCCESS;
    return 1;
}

struct RequestRow {
    uint8_t bRequest;
    RequestFn fn;
};

constexpr RequestRow kRequests[] = {
    {1, initiateAbortBulkOut},   {2, checkAbortBulkOutStatus}, {3, initiateAbortBulkIn},
    {4, checkAbortBulkInStatus}, {5, initiateClear},           {6, checkClearStatus},
    {7, getCapabilities},        {64, successOnly},            {128, readStatusByte},
    {160, renControl},           {161, goToLocal},             {162, successOnly},
};

SetupPacket parseSetup(const uint8_t raw[8]) {
    auto u16 = [raw](int at) { return static_cast<uint16_t>(raw[at] | raw[at + 1] << 8); };
    return SetupPacket{raw[0], raw[1], u16(2), u16(4), u16(6)};
}

// A host waits for the answer of every request it sends: one this device
// does not serve is refused with a failure status, never left unanswered.
void refuse(int fd) {
    const uint8_t failed = USBTMC_STATUS_FAILED;
    halUsbtmcControlEndpointWrite(fd, &failed, 1);
}

} // namespace

void halUsbtmcDevIORequestCmd(int fd) {
    uint32_t signal = platform::USB_SIG_NONE;
    if (halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_READ_SIGNAL, &signal) != 0) {
        USBTMC_LOG_E("Read signal type error!\n");
        return;
    }
    if (signal == platform::USB_SIG_UN_LINK) {
        io().euLocalRemoteState = LOCAL_REMOTE_STATE_LOCS;
        pDevLocalRemoteReport(0);
        std::lock_guard<std::mutex> input(io().mtxInput);
        halUsbtmcDevHostGone();
    }
    if (signal == platform::USB_SIG_NONE || signal == platform::USB_SIG_UN_LINK) {
        return;  // no request waits for an answer
    }
    if (signal != platform::USB_SIG_IN_EP0) {
        USBTMC_LOG_E("Unknown signal type %u!\n", signal);
        refuse(fd);
        return;
    }
    uint8_t raw[8] = {};
    if (halUsbtmcReadEndpoint(fd, raw) != 0) {
        return;
    }
    SetupPacket setup = parseSetup(raw);
    if ((setup.bmRequestType & kRequestTypeMask) != kClassRequest) {
        USBTMC_LOG_E("Unkonw request type!\n");
        refuse(fd);
        return;
    }
    for (const RequestRow& row : kRequests) {
        if (row.bRequest == setup.bRequest) {
            uint8_t answer[63] = {};
            int len = row.fn(setup, fd, answer);
            halUsbtmcControlEndpointWrite(fd, answer, static_cast<uint8_t>(len));
            return;
        }
    }
    USBTMC_LOG_E("Unkonw request!\n");
    refuse(fd);
}

void halUsbtmcThreadCtlSignal() {
    platform::UsbGadgetPort& port = platform::usbGadget();
    int events = port.eventOpen();
    if (events < 0) {
        USBTMC_LOG_E("create socket error\n");
        return;
    }
    PrintI("socket skfd = %d\n", events);
    if (port.eventBind(events) < 0) {
        USBTMC_LOG_E("bind() error\n");
        port.eventClose(events);
        return;
    }
    PrintI("wait message response from kernel ...\n");
    while (stUsbtmcDevInfo.u8IsExitThread.load() == 0) {
        int got = port.eventWait(events, stUsbtmcDevInfo.s32WakeFd, kWaitMs);
        if (got < 0) {
            // Only this thread ends: bulk transfers go on without class requests.
            USBTMC_LOG_E("recv form kernel error\n");
            break;
        }
        if (got > 0) {
            halUsbtmcDevIORequestCmd(stUsbtmcDevInfo.s32Fd);
        }
    }
    PrintI("thread exit!\n");
    port.eventClose(events);
}
