#include "vxi_link.h"

#include <netinet/in.h>

#include <cstring>

_vxi_handle* CVxiLinks::find(int32_t lid) {
    auto it = m_links.find(lid);
    return it == m_links.end() ? nullptr : it->second.get();
}

int32_t CVxiLinks::add(std::unique_ptr<_vxi_handle> link) {
    // Positive ids, counted on and wrapped past the ones still in use.
    while (m_links.count(m_s32NextId) != 0) {
        m_s32NextId = m_s32NextId == INT32_MAX ? 1 : m_s32NextId + 1;
    }
    int32_t lid = m_s32NextId;
    m_s32NextId = m_s32NextId == INT32_MAX ? 1 : m_s32NextId + 1;
    link->s32TranId = lid;
    m_links[lid] = std::move(link);
    return lid;
}

std::unique_ptr<_vxi_handle> CVxiLinks::remove(int32_t lid) {
    auto it = m_links.find(lid);
    if (it == m_links.end()) {
        return nullptr;
    }
    std::unique_ptr<_vxi_handle> link = std::move(it->second);
    m_links.erase(it);
    return link;
}

void CVxiLinks::setLock(bool locked, int32_t holder) {
    m_bDevIsLock = locked;
    m_s32DevLockHandleId = holder;
}

void CVxiLinks::releaseBy(int32_t lid) {
    if (m_bDevIsLock && m_s32DevLockHandleId == lid) {
        setLock(false, -1);
    }
}

namespace {

const sockaddr_in& inet(const sockaddr_storage& address) {
    return reinterpret_cast<const sockaddr_in&>(address);
}

// The same sender: connection, or datagram address with its port.
bool sameMaker(const VxiCaller& a, const VxiCaller& b) {
    if (a.stream || b.stream) {
        return a.stream == b.stream && a.fd == b.fd;
    }
    if (a.peer.ss_family != AF_INET || b.peer.ss_family != AF_INET) {
        return a.peerLen == b.peerLen && std::memcmp(&a.peer, &b.peer, a.peerLen) == 0;
    }
    return inet(a.peer).sin_addr.s_addr == inet(b.peer).sin_addr.s_addr &&
           inet(a.peer).sin_port == inet(b.peer).sin_port;
}

// The same source address, whatever the port.
bool sameAddress(const VxiCaller& a, const VxiCaller& b) {
    if (a.peer.ss_family != b.peer.ss_family || a.peer.ss_family != AF_INET) {
        return a.peerLen == b.peerLen && std::memcmp(&a.peer, &b.peer, a.peerLen) == 0;
    }
    return inet(a.peer).sin_addr.s_addr == inet(b.peer).sin_addr.s_addr;
}

bool sameClient(const VxiCaller& a, const VxiCaller& b) {
    if (a.stream != b.stream) {
        return false;
    }
    // Datagrams: the client's address without its port, which a client may
    // change from one socket to the next to get round the bound. A link
    // itself answers only its exact maker (sameMaker): a client that changed
    // its port makes a new link, and the old one ends with its idle time.
    return a.stream ? a.fd == b.fd : sameAddress(a, b);
}

}  // namespace

_vxi_handle* CVxiLinks::findOwned(int32_t lid, const VxiCaller& caller) {
    _vxi_handle* link = find(lid);
    return link != nullptr && sameMaker(link->stClient, caller) ? link : nullptr;
}

bool CVxiLinks::full(const VxiCaller& caller) const {
    if (m_links.size() >= kMaxLinks || (!caller.stream && datagramLinks().size() >= kMaxDatagramLinks)) {
        return true;
    }
    size_t ofClient = 0;
    size_t ofAddress = 0;
    for (const auto& entry : m_links) {
        ofClient += sameClient(entry.second->stClient, caller) ? 1 : 0;
        ofAddress += sameAddress(entry.second->stClient, caller) ? 1 : 0;
    }
    return ofClient >= kMaxLinksPerClient || ofAddress >= kMaxLinksPerAddress;
}

std::vector<int32_t> CVxiLinks::madeOn(int fd) const {
    std::vector<int32_t> lids;
    for (const auto& entry : m_links) {
        if (entry.second->stClient.stream && entry.second->stClient.fd == fd) {
            lids.push_back(entry.first);
        }
    }
    return lids;
}

std::vector<int32_t> CVxiLinks::datagramLinks() const {
    std::vector<int32_t> lids;
    for (const auto& entry : m_links) {
        if (!entry.second->stClient.stream) {
            lids.push_back(entry.first);
        }
    }
    return lids;
}
