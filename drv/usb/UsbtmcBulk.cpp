// The bulk thread: command messages in, replies out.
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "UsbtmcDev.h"
#include "UsbtmcLog.h"
#include "Util/logger.h"

namespace {

// Every wait ends at least this often to look at the exit flag (the wake
// event usually ends it sooner).
constexpr int kWaitMs = 100;
constexpr auto kReplyWait = std::chrono::seconds(5);
// One DEV_DEP_MSG_IN carries at most this much; a host that asks for more
// gets the rest in its next request.
constexpr size_t kInPieceMax = 1024 * 1024;
constexpr size_t kWriteMax = 64 * 1024;
constexpr int kWritableWaitMs = 5000;
// A clear drops at most this much unread input: a host that keeps sending
// while it clears cannot hold the clear for ever.
constexpr size_t kClearDropMax = 2 * UsbtmcBulkOut::kMessageMax;

bool exiting() { return stUsbtmcDevInfo.u8IsExitThread.load() != 0; }

void failBulkOut() {
    stUsbtmcDevIO.stBulkOutPipe.euTransStatus = TRANSFER_IDLE;
    stUsbtmcDevIO.u8Status = USBTMC_STATUS_FAILED;
    stUsbtmcDevIO.stBulkOut.reset();
    halUsbtmcIoctlWriteRead(stUsbtmcDevInfo.s32Fd, USBTMC_IOCTL_ABORT_BULK_OUT, nullptr);
}

// Writes all bytes; a full channel is waited for (up to kWritableWaitMs), so
// that a large reply goes out whole. False on error, time-out or stop.
bool writeAll(int fd, const uint8_t* data, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = halUsbtmcWrite(fd, data + done, std::min(len - done, kWriteMax));
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !exiting()) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {stUsbtmcDevInfo.s32WakeFd, POLLIN, 0}};
            if (::poll(fds, 2, kWritableWaitMs) > 0 && (fds[0].revents & POLLOUT)) {
                continue;
            }
        }
        USBTMC_LOG_E("try write %zu bytes, actual write %zu bytes\n", len, done);
        return false;
    }
    return true;
}

// One DEV_DEP_MSG_IN: never more data than the host's TransferSize; the
// alignment bytes come on top.
void sendReplyPiece(int fd) {
    halUsbtmcDevIOStru& io = stUsbtmcDevIO;
    std::string piece;
    bool eom = false;
    uint64_t cmd = io.stTx.takePiece(std::min<size_t>(io.u32HostFetchLen, kInPieceMax), piece, eom);
    halUsbtmcHeaderStru header{};
    halUsbtmcHeaderSet(&header, DEV_DEP_MSG_IN, io.bTag.load(), static_cast<uint32_t>(piece.size()), eom ? 1 : 0, 0);
    std::vector<uint8_t> frame(static_cast<size_t>(halUsbtmcAlign4(USBTMC_HEADER_LEN + piece.size())), 0);
    halUsbtmcHeaderPack(header, frame.data());
    std::memcpy(frame.data() + USBTMC_HEADER_LEN, piece.data(), piece.size());
    io.stBulkInPipe.euTransStatus = TRANSFER_PROGRESSING;
    if (!writeAll(fd, frame.data(), frame.size())) {
        USBTMC_LOG_E("usbtmc_ioctl_abort_bulk_in\n");
        halUsbtmcIoctlWriteRead(fd, USBTMC_IOCTL_ABORT_BULK_IN, nullptr);
        io.stTx.putBack(cmd, piece.size());
    }
    io.stBulkInPipe.euTransStatus = TRANSFER_IDLE;
}

void bulkInRequest(const halUsbtmcHeaderStru& request, int fd) {
    halUsbtmcDevIOStru& io = stUsbtmcDevIO;
    io.u8Status = USBTMC_STATUS_SUCCESS;
    io.bTag = request.u8bTag;
    io.u32HostFetchLen = request.u32Size;
    // No command since the last reply, or none of it within 5 s: nothing is
    // sent, and the host's read ends by its own time-out.
    if (request.u32Size == 0 || !io.stTx.waitReply(kReplyWait)) {
        return;
    }
    sendReplyPiece(fd);
}

void commandStart() {
    uint8_t expected = LOCAL_REMOTE_STATE_LOCS;
    if (stUsbtmcDevIO.euLocalRemoteState.compare_exchange_strong(expected, LOCAL_REMOTE_STATE_REMS)) {
        pDevLocalRemoteReport(1);
    }
    stUsbtmcDevIO.stTx.discard();
}

void commandOverflow() {
    USBTMC_LOG_E("command message above %zu bytes dropped\n", UsbtmcBulkOut::kMessageMax);
    halUsbtmcDevRefuseInput();
    stUsbtmcDevIO.u8Status = USBTMC_STATUS_FAILED;
    halUsbtmcIoctlWriteRead(stUsbtmcDevInfo.s32Fd, USBTMC_IOCTL_ABORT_BULK_OUT, nullptr);
}

// The node tells of another host (under mtxInput): nothing of the old one's
// transfers is left for it, not even a transfer announced as 4 GiB, and it
// is a client of its own.
void hostChanged() {
    PrintI("USB host changed: transfer state reset\n");
    halUsbtmcDevIOReset();
    halUsbtmcDevHostGone();
}

// What the host sent and the device has not read yet (under mtxInput).
void dropUnread(int fd) {
    for (size_t dropped = 0; dropped < kClearDropMax;) {
        ssize_t n = halUsbtmcRead(fd, stUsbtmcDevIO.pu8RxBuffer, sizeof(stUsbtmcDevIO.pu8RxBuffer));
        if (n <= 0) {
            if (n < 0 && errno == ESHUTDOWN) {
                hostChanged();  // what follows is the next host's
            }
            return;
        }
        dropped += static_cast<size_t>(n);
    }
}

void commandDone() {
    halUsbtmcDevIOStru& io = stUsbtmcDevIO;
    io.u8Status = USBTMC_STATUS_SUCCESS;
    const std::string& text = io.stBulkOut.message();
    io.fetch_out_data(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), 1);
}

} // namespace

int halUsbtmcDevIOBulkCmd() {
    halUsbtmcDevIOStru& io = stUsbtmcDevIO;
    int fd = stUsbtmcDevInfo.s32Fd;
    std::unique_lock<std::mutex> input(io.mtxInput);
    if (io.bBulkOutReset.exchange(false)) {
        io.stBulkOut.reset();
    }
    size_t want = io.stBulkOut.wanted();
    ssize_t n = halUsbtmcRead(fd, io.pu8RxBuffer, want);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return 0;
    }
    if (n < 0 && errno == ESHUTDOWN) {
        hostChanged();
        return 0;
    }
    if (n <= 0) {
        USBTMC_LOG_E("s32RemainLen = %zu, s32DataLen = %zd, stUsbtmcDevIO.u32RxRemainLen = %zu!\n", want, n, want);
        USBTMC_LOG_E("read from driver failed!\n");
        failBulkOut();
        return n == 0 ? -1 : 0;
    }
    io.u8Status = USBTMC_STATUS_PENDING;
    UsbtmcBulkOut::Result r = io.stBulkOut.consume(io.pu8RxBuffer, static_cast<size_t>(n));
    io.stBulkOutPipe.u32TransferedCnt = io.stBulkOut.transferReceived();
    io.stBulkOutPipe.euTransStatus = io.stBulkOut.inMessage() ? TRANSFER_PROGRESSING : TRANSFER_IDLE;
    if (r.bBadHeader) {
        USBTMC_LOG_E("bulk message id %d not served\n", r.header.u8MsgID);
        failBulkOut();
    }
    if (r.bCommandStart) {
        commandStart();
    }
    if (r.bOverflow) {
        commandOverflow();
    }
    if (r.bMessageDone) {
        commandDone();
    }
    // A request may wait for its reply: a clear meanwhile ends that wait.
    input.unlock();
    if (r.bRequest) {
        bulkInRequest(r.header, fd);
    }
    return 0;
}

void halUsbtmcDevIOClear() {
    halUsbtmcDevIOStru& io = stUsbtmcDevIO;
    std::lock_guard<std::mutex> input(io.mtxInput);
    // First, while the host is still the one that cleared: what is dropped
    // below may show that another host has attached.
    halUsbtmcDevAbortHost();
    dropUnread(stUsbtmcDevInfo.s32Fd);
    io.stBulkOut.reset();
    // No old reply answers the host's next read, and a read waiting for one
    // ends.
    io.stTx.discard();
}

void halUsbtmcThreadEpoll() {
    int fd = stUsbtmcDevInfo.s32Fd;
    if (fd < 0) {
        USBTMC_LOG_E("Create thread failed, usbtmc_dev not opened!\n");
        return;
    }
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        USBTMC_LOG_E("Create epoll failed!\n");
        stUsbtmcDevInfo.s32EpollFd = -1;
        return;
    }
    stUsbtmcDevInfo.s32EpollFd = ep;
    epoll_event node = {};
    node.events = EPOLLIN;
    node.data.fd = fd;
    epoll_event wake = {};
    wake.events = EPOLLIN;
    wake.data.fd = stUsbtmcDevInfo.s32WakeFd;
    bool registered = ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &node) == 0 &&
                      ::epoll_ctl(ep, EPOLL_CTL_ADD, stUsbtmcDevInfo.s32WakeFd, &wake) == 0;
    if (!registered) {
        USBTMC_LOG_E("epoll_ctl failed\n");
    }
    bool ok = true;
    while (registered && ok && !exiting()) {
        epoll_event events[10];
        int n = ::epoll_wait(ep, events, 10, kWaitMs);
        if (n < 0 && errno != EINTR) {
            USBTMC_LOG_E("epoll_wait failed[%d]\n", errno);
            break;
        }
        for (int i = 0; i < n && ok; ++i) {
            if (events[i].data.fd == fd && (events[i].events & (EPOLLIN | EPOLLHUP))) {
                ok = halUsbtmcDevIOBulkCmd() == 0;
            }
        }
    }
    if (!ok) {
        USBTMC_LOG_E("bulk channel ended\n");
    }
    if (registered && ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr) != 0) {
        USBTMC_LOG_E("close epoll_fd failed\n");
    }
    ::close(ep);
    stUsbtmcDevInfo.s32EpollFd = -1;
    PrintI("thread exit!\n");
}
