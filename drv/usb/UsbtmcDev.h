#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "UsbtmcBulkOut.h"
#include "UsbtmcHeader.h"
#include "UsbtmcTxBuffer.h"

// The USBTMC/USB488 device transport on the gadget node "/dev/usbtmc_dev":
// Bulk-OUT command messages go to the SCPI engine, Bulk-IN requests fetch its
// replies, class requests of the control endpoint clear, abort and report.
// One device and one host at a time; started and stopped by the USB switch.

enum halUsbtmcTransStatusEu : uint8_t { TRANSFER_IDLE = 0, TRANSFER_ABORT = 1, TRANSFER_PROGRESSING = 2 };

enum halUsbtmcLocalRemoteStateEu : uint8_t {
    LOCAL_REMOTE_STATE_LOCS = 0,
    LOCAL_REMOTE_STATE_REMS = 1,
    LOCAL_REMOTE_STATE_LWLS = 2,
    LOCAL_REMOTE_STATE_RWLS = 3,
};

// USBTMC status values.
constexpr uint8_t USBTMC_STATUS_SUCCESS = 0x01;
constexpr uint8_t USBTMC_STATUS_PENDING = 0x02;
constexpr uint8_t USBTMC_STATUS_FAILED = 0x80;
constexpr uint8_t USBTMC_STATUS_TRANSFER_NOT_IN_PROGRESS = 0x81;

// Requests of the gadget driver (halUsbtmcIoctlWriteRead).
constexpr unsigned long USBTMC_IOCTL_CONTROL_ANSWER = 15;
constexpr unsigned long USBTMC_IOCTL_READ_SETUP = 17;
constexpr unsigned long USBTMC_IOCTL_READ_SIGNAL = 18;
constexpr unsigned long USBTMC_IOCTL_ABORT_BULK_OUT = 19;
constexpr unsigned long USBTMC_IOCTL_ABORT_BULK_IN = 20;

// The device node and the two threads.
struct halUsbtmcDevInfoStru {
    char as8DevName[40] = "/dev/usbtmc_dev";
    int s32Fd = -1;
    int s32EpollFd = -1;
    // Raised to end both threads; lowered before they are created.
    std::atomic<uint8_t> u8IsExitThread{1};
    // Readable while the threads are asked to end: interrupts their waits.
    int s32WakeFd = -1;
    std::thread thBulk;
    std::thread thCtl;
};

struct halUsbtmcBulkPipeStru {
    uint8_t u8bTag = 0;
    // Bulk-OUT: bytes of the current transfer received (NBYTES_RXD of an abort).
    std::atomic<uint32_t> u32TransferedCnt{0};
    std::atomic<uint8_t> euTransStatus{TRANSFER_IDLE};
};

using halUsbtmcFetchOutFn = void (*)(const uint8_t* data, uint32_t length, uint8_t last);

// One attached host as a client of the SCPI engine: its address is the
// client key, kept alive by that host's lists while the engine holds them.
struct halUsbtmcHostStru {};

// These four run with stUsbtmcDevIO.mtxInput held.
// The default fetch_out_data: one whole command message for the SCPI engine.
void halUsbtmcDevSendToSCPI(const uint8_t* data, uint32_t length, uint8_t last);
// The host has gone: its commands still run, its queries and waits end, and
// whoever comes next is a client of its own.
void halUsbtmcDevHostGone();
// A device clear of the host: its lists are dropped and the measurement ends.
void halUsbtmcDevAbortHost();
// A command message beyond the input bound: -363 in a turn of the host's.
void halUsbtmcDevRefuseInput();

// Whether the attached host's lists still run or wait to (takes mtxInput).
bool halUsbtmcDevHostBusy();

// The transfer state. The receive side is the bulk thread's, and a clear's
// under mtxInput; the reply buffer has its own lock; the rest that the
// control thread also touches is atomic.
struct halUsbtmcDevIOStru {
    std::atomic<uint8_t> bTag{1};
    char as8DevName[40] = "/dev/usbtmc_dev";
    uint8_t pu8RxBuffer[UsbtmcBulkOut::kPieceMax] = {};
    UsbtmcBulkOut stBulkOut;
    UsbtmcTxBuffer stTx;
    uint32_t u32HostFetchLen = 0;  // TransferSize of the last REQUEST_DEV_DEP_MSG_IN
    // Receives each whole command message (a test may put its own here).
    halUsbtmcFetchOutFn fetch_out_data = halUsbtmcDevSendToSCPI;
    halUsbtmcBulkPipeStru stBulkInPipe;
    halUsbtmcBulkPipeStru stBulkOutPipe;
    std::atomic<uint8_t> u8Status{USBTMC_STATUS_SUCCESS};
    std::atomic<uint8_t> u8RENStatus{0};
    std::atomic<uint8_t> euLocalRemoteState{LOCAL_REMOTE_STATE_LOCS};
    // Set by an abort of the host's command: the bulk thread forgets its
    // partial command before it reads on.
    std::atomic<bool> bBulkOutReset{false};
    // Held while the bulk thread takes in what it read and hands a command
    // over, and while a clear or a change of host takes effect: either comes
    // wholly before or after a message, never amid one.
    std::mutex mtxInput;
    // The attached host (under mtxInput).
    std::shared_ptr<const halUsbtmcHostStru> pHost = std::make_shared<const halUsbtmcHostStru>();
};

extern halUsbtmcDevInfoStru& stUsbtmcDevInfo;
extern halUsbtmcDevIOStru& stUsbtmcDevIO;

// Hooks: the local/remote report and the three endpoint hooks do nothing.
extern void (*pDevLocalRemoteReport)(uint8_t state);
void setRmtModule(uint8_t state);
void usbMepMessagesCallbackBav(uint8_t value);
void usbMepMessagesCallbackBrq(uint8_t value);
void usbMepMessagesCallbackDacs(uint8_t value);

// Starts with the product's identity (serial, model, product id). Returns
// halUsbtmcDevInitWithArgs; 0 at once when already running.
int halUsbtmcDevInit();
// Reloads the gadget modules with these parameters, opens the node and starts
// the bulk and control threads. 0, or -1 on failure.
int halUsbtmcDevInitWithArgs(const char* serial, const char* product, int productId);
// Stops and joins both threads and closes the node.
void halUsbtmcDevClose();

// Device-node primitives, through the platform's gadget port.
ssize_t halUsbtmcRead(int fd, void* buffer, size_t n);
ssize_t halUsbtmcWrite(int fd, const void* buffer, size_t n);
int halUsbtmcIoctlWriteRead(int fd, unsigned long request, void* argument);
int halUsbtmcReadEndpoint(int fd, uint8_t* buffer);
int halUsbtmcControlEndpointWrite(int fd, const uint8_t* data, uint8_t length);

// A module parameter text: letters, digits, '-', '_' and '.', 1 to 64 bytes.
bool halUsbtmcParamValid(const char* text);

// The threads and their per-event work.
void halUsbtmcThreadEpoll();
void halUsbtmcThreadCtlSignal();
void halUsbtmcDevIOInit();
// The transfer state a host starts from: no part of a command, no reply,
// idle pipes, status success.
void halUsbtmcDevIOReset();
// One readable event of the node: 0, or -1 when the bulk channel has ended.
int halUsbtmcDevIOBulkCmd();
// The USBTMC clear, after both endpoints are halted: the host's partial
// command, the input the device has not read, its reply and its lists go.
void halUsbtmcDevIOClear();
void halUsbtmcDevIORequestCmd(int fd);
