#include "vxi_link.h"

#include <algorithm>
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

std::vector<int32_t> CVxiLinks::departed(const std::vector<int>& liveFds) const {
    std::vector<int32_t> gone;
    for (const auto& entry : m_links) {
        const VxiCaller& client = entry.second->stClient;
        if (!client.stream) {
            continue;  // datagram links have no connection to lose
        }
        bool live = std::find(liveFds.begin(), liveFds.end(), client.fd) != liveFds.end();
        sockaddr_storage peer{};
        socklen_t len = sizeof(peer);
        // A descriptor reused by a later connection has another peer (at
        // least another port).
        live = live && getpeername(client.fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
               len == client.peerLen && std::memcmp(&peer, &client.peer, len) == 0;
        if (!live) {
            gone.push_back(entry.first);
        }
    }
    return gone;
}
