#pragma once
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <functional>
#include <list>
#include <memory>
#include <utility>
#include <vector>

#include "Network/Buffer.h"
#include "Util/ObjectStatistic.h"
#include "Util/util.h"

namespace toolkit {

template <typename T>
using List = std::list<T>;

// A batch of queued buffers written with as few system calls as possible.
// The pair's bool tells that the buffer is a BufferSock carrying its own
// destination address. Every buffer is reported exactly once through the
// callback, in batch order: true once its last byte went to the kernel,
// false when the batch is dropped before that.
class BufferList : public noncopyable {
public:
    using Ptr = std::shared_ptr<BufferList>;
    using SendResult = std::function<void(const Buffer::Ptr& buffer, bool send_success)>;

    BufferList() = default;
    virtual ~BufferList() = default;

    // A datagram batch (one datagram per buffer, sendmmsg) when is_udp, else
    // a stream batch (gathered sendmsg).
    static Ptr create(List<std::pair<Buffer::Ptr, bool>> list, SendResult cb, bool is_udp);

    // No byte of the batch remains.
    virtual bool empty() = 0;
    // Buffers not yet completely written.
    virtual size_t count() = 0;
    // Writes what the descriptor takes now. Returns the bytes written by this
    // call, or -1 when none (errno then tells why). Stops, keeping the rest,
    // on any failure other than an interrupt and when the kernel takes nothing.
    virtual ssize_t send(int fd, int flags) = 0;

private:
    ObjectStatistic<BufferList> _statistic;
};

// The per-buffer reporting shared by the batch kinds.
class BufferCallBack {
public:
    BufferCallBack(List<std::pair<Buffer::Ptr, bool>> list, BufferList::SendResult cb);
    // Reports every buffer not yet written with false.
    ~BufferCallBack();

    // Reports every remaining buffer with `flag` and empties the list.
    void sendCompleted(bool flag);
    // Reports the front buffer as written and removes it.
    void sendFrontSuccess();

protected:
    BufferList::SendResult _cb;
    List<std::pair<Buffer::Ptr, bool>> _pkt_list;
};

// A stream batch: scatter-gather sendmsg, up to 1024 buffers per call;
// a partial write only moves the vector entries.
class BufferSendMsg final : public BufferList, public BufferCallBack {
public:
    BufferSendMsg(List<std::pair<Buffer::Ptr, bool>> list, SendResult cb);
    ~BufferSendMsg() override = default;

    bool empty() override;
    size_t count() override;
    ssize_t send(int fd, int flags) override;

private:
    ssize_t send_l(int fd, int flags);
    void reOffset(size_t n);

    size_t _iovec_off = 0;
    size_t _remain_size = 0;
    std::vector<struct iovec> _iovec;
};

// A datagram batch: one datagram per buffer with sendmmsg, each to its own
// address (or the connected peer when it has none).
class BufferSendMMsg final : public BufferList, public BufferCallBack {
public:
    BufferSendMMsg(List<std::pair<Buffer::Ptr, bool>> list, SendResult cb);
    ~BufferSendMMsg() override = default;

    bool empty() override;
    size_t count() override;
    ssize_t send(int fd, int flags) override;

private:
    void reOffset();

    size_t _remain_size = 0;
    std::vector<struct iovec> _iovec;
    // One header per datagram not yet sent; front = next to go.
    std::vector<struct mmsghdr> _hdrvec;
    size_t _hdr_off = 0;
};

} // namespace toolkit
