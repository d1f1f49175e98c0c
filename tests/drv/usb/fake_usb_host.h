#pragma once
// The USB host side of the gadget stand-in: frames Bulk-OUT messages, reads
// DEV_DEP_MSG_IN replies and sends class requests. Every wait is bounded.
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UsbtmcHeader.h"
#include "usb_gadget_host.h"

namespace usb_test {

constexpr int kWaitMs = 20000;

struct InMessage {
    halUsbtmcHeaderStru header{};
    std::string data;
    size_t frameBytes = 0;  // header, data and alignment as received
};

class FakeUsbHost {
public:
    explicit FakeUsbHost(platform::UsbGadgetHost& gadget) : m_gadget(gadget) {}

    // One DEV_DEP_MSG_OUT transfer, written in writes of at most `chunk` bytes.
    void sendOut(const std::string& data, bool eom, uint8_t tag = 1, size_t chunk = 0) {
        sendFrame(frame(DEV_DEP_MSG_OUT, tag, static_cast<uint32_t>(data.size()), eom ? 1 : 0, data), chunk);
    }
    void requestIn(uint32_t transferSize, uint8_t tag) {
        sendFrame(frame(REQUEST_DEV_DEP_MSG_IN, tag, transferSize, 0, ""), 0);
    }
    // Sends raw bytes on the bulk channel.
    void sendFrame(const std::string& bytes, size_t chunk) {
        chunk = chunk == 0 ? bytes.size() : chunk;
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            std::string part = bytes.substr(at, chunk);
            ASSERT_EQ(::send(m_gadget.hostBulkFd(), part.data(), part.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(part.size()));
        }
    }
    static std::string frame(uint8_t id, uint8_t tag, uint32_t size, uint8_t attr, const std::string& data) {
        halUsbtmcHeaderStru h{};
        halUsbtmcHeaderSet(&h, id, tag, size, attr, 0);
        uint8_t raw[USBTMC_HEADER_LEN];
        halUsbtmcHeaderPack(h, raw);
        std::string out(reinterpret_cast<char*>(raw), sizeof(raw));
        out += data;
        out.resize(static_cast<size_t>(halUsbtmcAlign4(out.size())), '\0');
        return out;
    }

    // Whether the device has read every bulk byte this host sent.
    bool allTakenIn() const {
        int unread = -1;
        return ::ioctl(m_gadget.hostBulkFd(), SIOCOUTQ, &unread) == 0 && unread == 0;
    }

    // Reads one DEV_DEP_MSG_IN; false when none came in time.
    bool readIn(InMessage& msg) {
        std::string raw;
        if (!readExact(USBTMC_HEADER_LEN, raw) ||
            halUsbtmcHeaderParse(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), &msg.header) != 0) {
            return false;
        }
        size_t rest = static_cast<size_t>(halUsbtmcAlign4(msg.header.u32Size));
        std::string body;
        if (!readExact(rest, body)) {
            return false;
        }
        msg.data = body.substr(0, msg.header.u32Size);
        msg.frameBytes = USBTMC_HEADER_LEN + rest;
        return true;
    }
    // The whole reply, asked for in requests of `transferSize`.
    std::string query(uint32_t transferSize, uint8_t& tag) {
        std::string all;
        for (;;) {
            requestIn(transferSize, ++tag);
            InMessage msg;
            if (!readIn(msg) || msg.header.u8bTag != tag) {
                return all + "<lost>";
            }
            all += msg.data;
            if (msg.header.stMsgIn.u8bmTransferAttr & 1) {
                return all;
            }
        }
    }

    // One class request that answers; its answer (empty when none came).
    std::vector<uint8_t> control(uint8_t bRequest, uint16_t wValue = 0, uint8_t type = kClassIn) {
        return controlEvent(platform::USB_SIG_IN_EP0, bRequest, type, wValue);
    }
    // Any control event; its answer (empty when none came).
    std::vector<uint8_t> controlEvent(uint32_t signal, uint8_t bRequest, uint8_t type = kClassIn,
                                      uint16_t wValue = 0) {
        sendControl(signal, type, bRequest, wValue);
        return readAnswer();
    }
    // A control event that must get no answer: true when the first answer
    // that comes is that of a READ_STATUS_BYTE sent after it.
    bool controlUnanswered(uint32_t signal, uint8_t bRequest, uint8_t type = kClassIn) {
        sendControl(signal, type, bRequest, 0);
        std::vector<uint8_t> answer = control(kReadStatusByte, kProbeTag);
        return answer.size() == 3 && answer[1] == kProbeTag;
    }

    static constexpr uint8_t kClassIn = 0xA1;
    static constexpr uint8_t kReadStatusByte = 128;
    static constexpr uint8_t kProbeTag = 0x55;

private:
    void sendControl(uint32_t signal, uint8_t type, uint8_t bRequest, uint16_t wValue) {
        uint8_t packet[12] = {static_cast<uint8_t>(signal), 0, 0, 0, type, bRequest,
                              static_cast<uint8_t>(wValue), static_cast<uint8_t>(wValue >> 8), 0, 0, 0, 0};
        EXPECT_EQ(::send(m_gadget.hostControlFd(), packet, sizeof(packet), MSG_NOSIGNAL), 12);
    }
    std::vector<uint8_t> readAnswer() {
        pollfd p = {m_gadget.hostControlFd(), POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) <= 0) {
            return {};
        }
        uint8_t answer[64];
        ssize_t n = ::recv(m_gadget.hostControlFd(), answer, sizeof(answer), 0);
        return std::vector<uint8_t>(answer, answer + (n > 0 ? n : 0));
    }

    bool readExact(size_t n, std::string& out) {
        out.clear();
        while (out.size() < n) {
            pollfd p = {m_gadget.hostBulkFd(), POLLIN, 0};
            if (::poll(&p, 1, kWaitMs) <= 0) {
                return false;
            }
            char buf[65536];
            ssize_t got = ::recv(m_gadget.hostBulkFd(), buf, std::min(sizeof(buf), n - out.size()), 0);
            if (got <= 0) {
                return false;
            }
            out.append(buf, static_cast<size_t>(got));
        }
        return true;
    }

    platform::UsbGadgetHost& m_gadget;
};

// Attaches as a host in another process does: connects to the stand-in's
// socket at `path` and takes the two ends it hands over (dropped here: they
// are the ones a FakeUsbHost on the same stand-in uses). True when they came.
inline bool attachHost(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    char byte = 0;
    iovec iov = {&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    pollfd p = {fd, POLLIN, 0};
    ok = ok && ::poll(&p, 1, kWaitMs) > 0 && ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC) == 1;
    cmsghdr* cm = ok ? CMSG_FIRSTHDR(&msg) : nullptr;
    ok = cm != nullptr && cm->cmsg_type == SCM_RIGHTS && cm->cmsg_len == CMSG_LEN(2 * sizeof(int));
    if (ok) {
        int ends[2];
        std::memcpy(ends, CMSG_DATA(cm), sizeof(ends));
        ::close(ends[0]);
        ::close(ends[1]);
    }
    ::close(fd);
    return ok;
}

} // namespace usb_test
