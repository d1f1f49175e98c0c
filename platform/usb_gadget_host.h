#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "usb_gadget.h"

namespace platform {

// The host's stand-in for the USB gadget. The bulk channel is a UNIX stream
// socket pair: the device node is a duplicate of one end, so the transport's
// epoll, read and write work on it unchanged, and a fake USB host talks on
// the other end. Control events and answers travel over a sequenced-packet
// pair: the host sends one packet per event (signal type as u32 LE, then the
// 8-byte setup packet) and reads each answer as one packet of its bytes; a
// packet of another length is refused with an empty packet. The
// endpoint halts are counters; module commands are recorded, and loads can be
// told to fail.
class UsbGadgetHost : public UsbGadgetPort {
public:
    UsbGadgetHost();
    ~UsbGadgetHost() override;
    UsbGadgetHost(const UsbGadgetHost&) = delete;
    UsbGadgetHost& operator=(const UsbGadgetHost&) = delete;

    // False when the socket pairs could not be made.
    bool ok() const { return m_hostBulk >= 0 && m_deviceControl >= 0; }

    // The fake host's ends.
    int hostBulkFd() const { return m_hostBulk; }
    int hostControlFd() const { return m_hostControl; }
    // Closes the host's control end: the device side sees its event source end.
    void hangUpControl();
    // Another host takes the ends: as if the old one had been unplugged, the
    // bulk bytes it left in either direction are dropped, whatever the device
    // writes before its next read is for nobody, and that read fails with
    // ESHUTDOWN. With the node open, returns once the device has made that
    // read (or after a bounded wait). Call before the new host has the ends.
    void newHost();

    unsigned bulkOutHalts() const { return m_bulkOutHalts.load(); }
    unsigned bulkInHalts() const { return m_bulkInHalts.load(); }
    std::vector<std::vector<std::string>> moduleCommands() const;
    // While set, every "insmod" fails.
    void failModuleLoads(bool fail) { m_failLoads.store(fail); }
    // While set, opening (or binding) the control event source fails.
    void failEventOpen(bool fail) { m_failEventOpen.store(fail); }
    void failEventBind(bool fail) { m_failEventBind.store(fail); }

    int runModuleCommand(const std::vector<std::string>& argv) override;
    int open(const std::string& node, int flags) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t len) override;
    ssize_t write(int fd, const void* buf, size_t len) override;
    int controlAnswer(int fd, const uint8_t* data, uint8_t len) override;
    int readSetup(int fd, uint8_t setup[8]) override;
    int readSignal(int fd, uint32_t& type) override;
    int haltBulkOut(int fd) override;
    int haltBulkIn(int fd) override;
    int eventOpen() override;
    int eventBind(int eventFd) override;
    int eventWait(int eventFd, int wakeFd, int timeoutMs) override;
    void eventClose(int eventFd) override;

private:
    int m_hostBulk = -1;
    int m_deviceBulk = -1;
    int m_hostControl = -1;
    int m_deviceControl = -1;
    std::atomic<unsigned> m_bulkOutHalts{0};
    std::atomic<unsigned> m_bulkInHalts{0};
    std::atomic<bool> m_failLoads{false};
    std::atomic<bool> m_failEventOpen{false};
    std::atomic<bool> m_failEventBind{false};

    // Guards the bulk reads and writes of the device against a change of
    // host; the device reads its node without blocking.
    std::mutex m_bulkMtx;
    std::condition_variable m_bulkCv;
    bool m_bHostChanged = false;
    bool m_bWakePending = false;  // the byte that wakes the device waits in its end
    int m_openNodes = 0;

    mutable std::mutex m_mtx;
    std::vector<std::vector<std::string>> m_moduleCommands;
    // The control event last received, and the answer channel.
    uint32_t m_u32Signal = USB_SIG_NONE;
    uint8_t m_au8Setup[8] = {};
    int m_answerFd = -1;
};

} // namespace platform
