#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Control signal types the gadget reports for a control event.
constexpr uint32_t USB_SIG_NONE = 0;
constexpr uint32_t USB_SIG_IN_EP0 = 1;   // a class request waits on the control endpoint
constexpr uint32_t USB_SIG_UN_LINK = 2;  // the host went away

// The USB test-and-measurement gadget as the transport sees it: the device
// node's bulk channel, its control-endpoint primitives, the source of control
// events and the loading of the gadget's kernel modules. The instrument has
// the kernel driver behind it (UsbGadgetKernel); a host installs a stand-in
// (UsbGadgetHost). Failures return -1 and set errno, as the system calls do.
class UsbGadgetPort {
public:
    virtual ~UsbGadgetPort() = default;

    // Runs one module command ("rmmod ..." or "insmod ...") as root, given as
    // an argument vector: no shell ever sees its words. 0 when it succeeded.
    virtual int runModuleCommand(const std::vector<std::string>& argv) = 0;

    // The device node; its descriptor carries the bulk channel (read, write,
    // epoll) and the control-endpoint requests below. When the port learns
    // that the host has changed (the stand-in does at each attach), the next
    // read fails with ESHUTDOWN: what either side had sent and the other had
    // not read is gone, and the next byte read is the new host's.
    virtual int open(const std::string& node, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t read(int fd, void* buf, size_t len) = 0;
    virtual ssize_t write(int fd, const void* buf, size_t len) = 0;

    // Sends the answer of the pending class request (at most 63 bytes).
    virtual int controlAnswer(int fd, const uint8_t* data, uint8_t len) = 0;
    // Reads the 8-byte setup packet of the pending class request.
    virtual int readSetup(int fd, uint8_t setup[8]) = 0;
    // Reads the pending control signal type (USB_SIG_...).
    virtual int readSignal(int fd, uint32_t& type) = 0;
    // Halt the host's Bulk-OUT (command) or Bulk-IN (response) transfer.
    virtual int haltBulkOut(int fd) = 0;
    virtual int haltBulkIn(int fd) = 0;

    // The source of control events, opened once per control thread; it
    // receives nothing until bound to the driver's port (0, or -1 on failure).
    virtual int eventOpen() = 0;
    virtual int eventBind(int eventFd) = 0;
    // Waits up to timeoutMs for one control event, or until wakeFd turns
    // readable. 1: an event was received; 0: none (time-out or wake);
    // -1: the event source has ended.
    virtual int eventWait(int eventFd, int wakeFd, int timeoutMs) = 0;
    virtual void eventClose(int eventFd) = 0;
};

// The port in use: the installed one, else the kernel's.
UsbGadgetPort& usbGadget();
// Installs a port (nullptr: back to the kernel's). Only while no transport runs.
void usbGadgetInstall(UsbGadgetPort* port);

// Waits until fd or wakeFd is readable; 1 for fd, 0 for wake or time-out, -1 on error.
int usbGadgetPollEvent(int fd, int wakeFd, int timeoutMs);

} // namespace platform
