#include "vxi_proc.h"

#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "Util/logger.h"

namespace {

constexpr const char* kDeviceName = "inst0";

// VISA resource texts name the device in any case ("INST0").
bool isOurDevice(const VxiBytes& name) {
    return !name.oversize && name.len == std::strlen(kDeviceName) && name.val != nullptr &&
           strncasecmp(name.val, kDeviceName, name.len) == 0;
}

using std::chrono::milliseconds;

// Phases of VxiWait: before the operation began, waiting for the lock, past
// the lock, waiting for reply data.
enum : int { kStart = 0, kLockWait, kEntered, kReplyWait };
// An error value of no reply: the procedure waits.
constexpr int32_t kWaiting = -1;

int32_t writeError(int result) {
    switch (result) {
        case -2: return VXI_ERRCODE_ABORT;
        case -1: return VXI_ERRCODE_IO_ERROR;
        case 0: return VXI_ERRCODE_IO_TIMEOUT;
        default: return result < 0 ? VXI_ERRCODE_IO_ERROR : VXI_ERRCODE_NO_ERROR;
    }
}

}  // namespace

_vxi_handle* CVxiCore::begin(int32_t lid, const VxiCaller& caller) {
    _vxi_handle* link = m_links.findOwned(lid, caller);
    if (link != nullptr) {
        link->bIsAbort = false;  // an abort concerns the operation it came in
        link->lastUse = m_now();
    }
    return link;
}

int32_t CVxiCore::lockWait(const _vxi_handle* link, uint32_t lockMs, VxiWait& wait) {
    auto now = m_now();
    if (wait.phase != kLockWait) {
        wait.phase = kLockWait;
        wait.deadline = now + milliseconds(lockMs);
    }
    if (link != nullptr && link->bIsAbort) {
        return VXI_ERRCODE_ABORT;
    }
    return now >= wait.deadline ? VXI_ERRCODE_DEVICE_LOCKED_BY_ANOTHER_LINK : kWaiting;
}

_vxi_handle* CVxiCore::enter(int32_t lid, const VxiCaller& caller, int32_t flags, uint32_t lockTimeout,
                             VxiWait& wait, int32_t& error) {
    _vxi_handle* link = wait.phase == kStart ? begin(lid, caller) : m_links.findOwned(lid, caller);
    error = VXI_ERRCODE_NO_ERROR;
    uint32_t lockMs = waitMs(caller, lockTimeout);
    if (link == nullptr) {
        error = VXI_ERRCODE_INVAILD_LINK_IDENTIFIER;
    } else if (wait.phase <= kLockWait && m_links.lockedByOther(lid)) {
        bool mayWait = (flags & VXI_FLAG_WAITLOCK) != 0 && lockMs != 0;
        error = mayWait ? lockWait(link, lockMs, wait) : VXI_ERRCODE_DEVICE_LOCKED_BY_ANOTHER_LINK;
    }
    if (error != VXI_ERRCODE_NO_ERROR) {
        return nullptr;
    }
    if (wait.phase <= kLockWait) {
        wait.phase = kEntered;
    }
    return link;
}

bool CVxiCore::createLink(const Create_LinkParms& p, const VxiCaller& caller, VxiWait& wait,
                          Create_LinkResp& resp) {
    if (m_links.full(caller)) {
        resp.error = VXI_ERRCODE_OUT_OF_RESOURCES;
        return true;
    }
    if (!isOurDevice(p.device)) {
        resp.error = VXI_ERRCODE_SYNTAX_ERROR;
        return true;
    }
    if (m_links.locked()) {
        uint32_t lockMs = waitMs(caller, p.lock_timeout);
        resp.error = lockMs == 0 ? VXI_ERRCODE_DEVICE_LOCKED_BY_ANOTHER_LINK : lockWait(nullptr, lockMs, wait);
        return resp.error != kWaiting;
    }
    int type = 0;
    socklen_t typeLen = sizeof(type);
    if (getsockopt(caller.fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0) {
        resp.error = VXI_ERRCODE_DEVICE_NOT_ACCESSIBLE;
        return true;
    }
    auto link = std::make_unique<_vxi_handle>();
    link->stClient = caller;
    link->stClient.stream = type == SOCK_STREAM;
    link->u32MaxRecvSize = link->stClient.stream ? kMaxRecvStream : kMaxRecvDatagram;
    link->lastUse = m_now();
    _vxi_handle* record = link.get();
    int32_t lid = m_links.add(std::move(link));
    if (m_stVxiIoCom.alloc(lid, &record->u32BuffSize) != 0) {
        m_links.remove(lid);
        resp.error = VXI_ERRCODE_OUT_OF_RESOURCES;
        return true;
    }
    m_links.setLock(p.lockDevice, lid);
    resp.lid = lid;
    resp.abortPort = m_u16AbortPort;
    resp.maxRecvSize = record->u32MaxRecvSize;
    return true;
}

bool CVxiCore::write(const Device_WriteParms& p, const VxiCaller& caller, VxiWait& wait, Device_WriteResp& resp) {
    if (wait.phase == kStart) {
        _vxi_handle* link = m_links.findOwned(p.lid, caller);
        if (link == nullptr) {
            resp.error = VXI_ERRCODE_INVAILD_LINK_IDENTIFIER;
            return true;
        }
        if (p.data.oversize || p.data.len > link->u32MaxRecvSize) {
            resp.error = VXI_ERRCODE_PARAMETER_ERROR;
            return true;
        }
        if (p.data.len == 0) {
            return true;
        }
    }
    _vxi_handle* link = enter(p.lid, caller, p.flags, p.lock_timeout, wait, resp.error);
    if (link == nullptr) {
        return resp.error != kWaiting;
    }
    // A new message makes the unread rest of the last reply obsolete.
    const VxiReplyLeft left = !link->reply.empty() ? VxiReplyLeft::PartRead
                              : link->bReadTimedOut ? VxiReplyLeft::TimedOut
                                                    : VxiReplyLeft::Nothing;
    dropReply(*link);
    int result = m_stVxiIoCom.write(p.lid, p.data.val, p.data.len, clampWait(p.io_timeout),
                                    (p.flags & VXI_FLAG_END) != 0, left);
    resp.error = writeError(result);
    if (result > 0 || result == -1 || result == -2) {
        resp.size = static_cast<uint32_t>(result);
    }
    return true;
}

bool CVxiCore::read(const Device_ReadParms& p, const VxiCaller& caller, VxiWait& wait, Device_ReadResp& resp) {
    _vxi_handle* link = enter(p.lid, caller, p.flags, p.lock_timeout, wait, resp.error);
    if (link == nullptr) {
        return resp.error != kWaiting;
    }
    if (link->reply.empty()) {
        std::string data;
        int result = m_stVxiIoCom.read(p.lid, data, link->u32BuffSize, clampWait(p.io_timeout), &link->bIsEom);
        if (result == 0) {
            auto now = m_now();
            if (wait.phase != kReplyWait) {
                wait.phase = kReplyWait;
                wait.deadline = now + milliseconds(waitMs(caller, p.io_timeout));
            }
            if (link->bIsAbort) {
                result = -2;
            } else if (now < wait.deadline) {
                return false;
            }
        }
        // A datagram read answers at once, reply or not: its client has
        // not given up on the reply.
        link->bReadTimedOut = result == 0 && caller.stream;
        if (result <= 0) {
            resp.error = writeError(result);
            return true;
        }
        link->reply.assign(std::move(data));
        link->u32ReadPos = 0;
    }
    fillReply(*link, p, resp);
    return true;
}

void CVxiCore::fillReply(_vxi_handle& link, const Device_ReadParms& p, Device_ReadResp& resp) {
    // A datagram carries at most maxRecvSize bytes; the rest follows without END.
    uint32_t limit = link.stClient.stream ? p.requestSize : std::min(p.requestSize, link.u32MaxRecvSize);
    const uint32_t valid = static_cast<uint32_t>(link.reply.size()) - link.u32ReadPos;
    if (valid > limit) {
        resp.data.val = link.reply.data() + link.u32ReadPos;
        resp.data.len = limit;
        resp.reason = limit == p.requestSize ? VXI_REASON_REQCNT : 0;
        link.u32ReadPos += limit;
        return;
    }
    // The last bytes: the buffer goes with them, to live until they are sent.
    const bool room = link.reply.size() < link.u32BuffSize;
    resp.buffer = link.reply.take();
    resp.data.len = valid;
    if (link.bIsEom) {
        resp.reason = VXI_REASON_END;
        if ((p.flags & VXI_FLAG_TERMCHRSET) != 0) {
            char& last = resp.buffer.back();
            if (last == '\r' || last == '\n') {
                last = p.termChar;
                resp.reason |= VXI_REASON_CHR;
            } else if (room) {
                resp.buffer.push_back(p.termChar);
                resp.data.len += 1;
                resp.reason |= VXI_REASON_CHR;
            }
        }
    }
    resp.data.val = &resp.buffer[link.u32ReadPos];
    if (resp.data.len == p.requestSize) {
        resp.reason |= VXI_REASON_REQCNT;
    }
    link.u32ReadPos = 0;
}

bool CVxiCore::readStb(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait,
                       Device_ReadStbResp& resp) {
    _vxi_handle* link = enter(p.lid, caller, p.flags, p.lock_timeout, wait, resp.error);
    if (link == nullptr) {
        return resp.error != kWaiting;
    }
    int result = m_stVxiIoCom.readStb(p.lid, clampWait(p.io_timeout));
    switch (result) {
        case -4: resp.error = VXI_ERRCODE_OPERATION_NOT_SUPPORTED; break;
        case -3: resp.error = VXI_ERRCODE_IO_TIMEOUT; break;
        case -2: resp.error = VXI_ERRCODE_ABORT; break;
        case -1: resp.error = VXI_ERRCODE_IO_ERROR; break;
        default: resp.stb = static_cast<uint8_t>(result); break;
    }
    return true;
}

bool CVxiCore::generic(const Device_GenericParms& p, const VxiCaller& caller, int (*callback)(int32_t, uint32_t),
                       VxiWait& wait, Device_Error& resp) {
    _vxi_handle* link = enter(p.lid, caller, p.flags, p.lock_timeout, wait, resp.error);
    if (link == nullptr) {
        return resp.error != kWaiting;
    }
    int result = callback(p.lid, clampWait(p.io_timeout));
    resp.error = result == -3 ? VXI_ERRCODE_OPERATION_NOT_SUPPORTED : writeError(result);
    return true;
}

bool CVxiCore::trigger(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp) {
    return generic(p, caller, m_stVxiIoCom.trigger, wait, resp);
}

bool CVxiCore::clear(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp) {
    if (!generic(p, caller, m_stVxiIoCom.clear, wait, resp)) {
        return false;
    }
    // The rest of a reply fetched before is output the clear empties too.
    _vxi_handle* link = resp.error == VXI_ERRCODE_NO_ERROR ? m_links.findOwned(p.lid, caller) : nullptr;
    if (link != nullptr) {
        dropReply(*link);
    }
    return true;
}

void CVxiCore::dropReply(_vxi_handle& link) {
    link.reply.clear();
    link.u32ReadPos = 0;
    link.bIsEom = false;
    link.bReadTimedOut = false;
}

bool CVxiCore::remote(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp) {
    return generic(p, caller, m_stVxiIoCom.enterRemote, wait, resp);
}

bool CVxiCore::local(const Device_GenericParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp) {
    return generic(p, caller, m_stVxiIoCom.enterLocal, wait, resp);
}

bool CVxiCore::lock(const Device_LockParms& p, const VxiCaller& caller, VxiWait& wait, Device_Error& resp) {
    if (enter(p.lid, caller, p.flags, p.lock_timeout, wait, resp.error) == nullptr) {
        return resp.error != kWaiting;
    }
    m_links.setLock(true, p.lid);
    return true;
}

Device_Error CVxiCore::unlock(const Device_Link& lid, const VxiCaller& caller) {
    Device_Error resp;
    if (begin(lid, caller) == nullptr) {
        resp.error = VXI_ERRCODE_INVAILD_LINK_IDENTIFIER;
    } else if (!m_links.locked() || m_links.lockedByOther(lid)) {
        resp.error = VXI_ERRCODE_NO_LOCK_HELD_BY_THIS_LINK;
    } else {
        m_links.releaseBy(lid);
    }
    return resp;
}

Device_Error CVxiCore::enableSrq(const Device_EnableSrqParms& p, const VxiCaller& caller) {
    Device_Error resp;
    _vxi_handle* link = begin(p.lid, caller);
    if (link == nullptr) {
        resp.error = VXI_ERRCODE_INVAILD_LINK_IDENTIFIER;
        return resp;
    }
    link->bSrqEnable = p.enable;
    if (p.enable) {
        std::memset(link->as8SrqHandle, 0, sizeof(link->as8SrqHandle));
        if (!p.handle.oversize && p.handle.val != nullptr) {
            std::memcpy(link->as8SrqHandle, p.handle.val, std::min<uint32_t>(p.handle.len, VXI_SRQ_HANDLE_SIZE));
        }
    }
    return resp;
}

Device_DocmdResp CVxiCore::docmd(const Device_DocmdParms&, const VxiCaller&) {
    Device_DocmdResp resp;
    resp.error = VXI_ERRCODE_OPERATION_NOT_SUPPORTED;
    return resp;
}

Device_Error CVxiCore::createIntrChan(const Device_RemoteFunc&, const VxiCaller&) {
    return Device_Error{VXI_ERRCODE_OPERATION_NOT_SUPPORTED};
}

Device_Error CVxiCore::destroyIntrChan(const int32_t&, const VxiCaller&) {
    return Device_Error{VXI_ERRCODE_CHANNEL_NOT_ESTABLISHED};
}

void CVxiCore::destroy(int32_t lid) {
    std::unique_ptr<_vxi_handle> link = m_links.remove(lid);
    if (link == nullptr) {
        return;
    }
    m_stVxiIoCom.free(lid);
    m_links.releaseBy(lid);
}

Device_Error CVxiCore::destroyLink(const Device_Link& lid, const VxiCaller& caller) {
    if (m_links.findOwned(lid, caller) == nullptr) {
        return Device_Error{VXI_ERRCODE_INVAILD_LINK_IDENTIFIER};
    }
    destroy(lid);
    return Device_Error{};
}

Device_Error CVxiCore::abort(const Device_Link& lid, const VxiCaller&) {
    // The abort channel is a connection of its own: the link is the one the
    // request names, not one made on this connection.
    _vxi_handle* link = m_links.find(lid);
    if (link == nullptr) {
        return Device_Error{VXI_ERRCODE_INVAILD_LINK_IDENTIFIER};
    }
    link->bIsAbort = true;
    m_stVxiIoCom.abort();
    return Device_Error{};
}

void CVxiCore::dropConnection(int fd) {
    for (int32_t lid : m_links.madeOn(fd)) {
        destroy(lid);
    }
}

CVxiCore::Clock::time_point CVxiCore::expireIdle() {
    Clock::time_point now = m_now();
    Clock::time_point next = Clock::time_point::max();
    for (int32_t lid : m_links.datagramLinks()) {
        Clock::time_point due = m_links.find(lid)->lastUse + kDatagramLinkIdle;
        if (due > now) {
            next = std::min(next, due);
            continue;
        }
        PrintI("VXI-11 link %d over UDP ended: no call for %lld s", lid,
               static_cast<long long>(kDatagramLinkIdle.count()));
        destroy(lid);
    }
    return next;
}
