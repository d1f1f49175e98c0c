#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb_gadget.h"

namespace platform {

// The host's stand-in for the USB gadget. Each host that attaches gets ends
// of its own: a UNIX stream socket for the bulk channel and a sequenced-packet
// socket for control events and answers. The host sends one control packet
// per event (signal type as u32 LE, then the 8-byte setup packet) and reads
// each answer as one packet of its bytes; a packet of another length is
// refused with an empty packet. When another host takes over, the earlier
// host's ends are shut down: it reads end of file and can send nothing more.
//
// The device node is one end of a socket pair of the stand-in's own (fixed
// for the node's life, so that the transport's epoll keeps watching it). The
// device's bytes go to and come from the current host's channel directly; a
// mirror thread makes the node readable while that channel holds input (a
// bell byte) and unwritable while it is full (the node's own send buffer is
// filled), so the transport's epoll and poll see the host's channel. The
// endpoint halts are counters; module commands are recorded, and loads can be
// told to fail.
class UsbGadgetHost : public UsbGadgetPort {
public:
    UsbGadgetHost();
    ~UsbGadgetHost() override;
    UsbGadgetHost(const UsbGadgetHost&) = delete;
    UsbGadgetHost& operator=(const UsbGadgetHost&) = delete;

    // False when the socket pairs could not be made.
    bool ok() const;

    // The current host's ends (the stand-in keeps a copy of each).
    int hostBulkFd() const;
    int hostControlFd() const;
    // Closes the host's control end: the device side sees its event source end.
    void hangUpControl();
    // Another host takes over, with ends of its own; the earlier host's ends
    // are shut down, whatever either side had sent and the other had not read
    // is gone, whatever the device writes before its next read is for nobody,
    // and that read fails with ESHUTDOWN. With the node open, returns once the
    // device has taken the change in (or after a bounded wait). False when no
    // new ends could be made (the earlier host keeps its own).
    bool newHost();

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
    // Where a change of host is: the device has yet to read the change, has
    // read it and has yet to come back.
    enum class Change { None, Announced, Reported };

    void mirror();
    void wakeMirror();
    void ringLocked();
    void plugLocked();
    void unplugLocked();
    ssize_t recvLocked(void* buf, size_t len);

    std::atomic<unsigned> m_bulkOutHalts{0};
    std::atomic<unsigned> m_bulkInHalts{0};
    std::atomic<bool> m_failLoads{false};
    std::atomic<bool> m_failEventOpen{false};
    std::atomic<bool> m_failEventBind{false};

    // The bulk side, under m_bulkMtx. The node and its inner end are fixed;
    // the host's end and the stand-in's relay end change with each host.
    mutable std::mutex m_bulkMtx;
    std::condition_variable m_bulkCv;
    int m_deviceBulk = -1;
    int m_innerBulk = -1;
    int m_hostBulk = -1;
    int m_relayBulk = -1;
    unsigned m_bulkGen = 0;
    Change m_change = Change::None;
    bool m_bellRung = false;  // a byte waits in the node: the host's channel holds input
    bool m_plugged = false;   // the node's send buffer is full: the host's channel is
    bool m_stop = false;
    int m_openNodes = 0;
    std::vector<int> m_retiredBulk;  // closed by the mirror, which may be polling them
    int m_mirrorWake = -1;
    std::thread m_mirror;

    // The control side, under m_mtx.
    mutable std::mutex m_mtx;
    std::vector<std::vector<std::string>> m_moduleCommands;
    int m_hostControl = -1;
    int m_deviceControl = -1;
    unsigned m_controlGen = 0;
    unsigned m_eventGen = 0;        // the host whose event was received last
    bool m_controlPolling = false;  // an event wait polls the device's control end
    std::vector<int> m_retiredControl;
    // The control event last received, and whether the event source is open.
    uint32_t m_u32Signal = USB_SIG_NONE;
    uint8_t m_au8Setup[8] = {};
    int m_answerFd = -1;
};

} // namespace platform
