#include "Network/DnsCache.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "Network/sockutil.h"
#include "Util/logger.h"
#include "Util/uv_errno.h"

namespace toolkit {

DnsCache& DnsCache::Instance() {
    // Never destroyed: work-pool threads resolving names outlive main.
    static DnsCache* s_instance = new DnsCache();
    return *s_instance;
}

bool DnsCache::getDomainIP(const char* host, sockaddr_storage& storage, int ai_family, int ai_socktype,
                           int ai_protocol, int expire_sec) {
    try {
        storage = SockUtil::make_sockaddr(host, 0);
        return true;
    } catch (std::exception&) {
        // Not an address text: resolve it.
    }
    auto item = getCacheDomainIP(host, expire_sec);
    if (!item) {
        item = getSystemDomainIP(host);
        if (item) {
            setCacheDomainIP(host, item);
        }
    }
    if (!item) {
        return false;
    }
    auto addr = getPerferredAddress(item.get(), ai_family, ai_socktype, ai_protocol);
    memset(&storage, 0, sizeof(storage));
    memcpy(&storage, addr->ai_addr, std::min<size_t>(addr->ai_addrlen, sizeof(storage)));
    return true;
}

std::shared_ptr<addrinfo> DnsCache::getCacheDomainIP(const char* host, int expireSec) {
    std::lock_guard<std::mutex> lck(_mtx);
    auto it = _dns_cache.find(host);
    if (it == _dns_cache.end()) {
        return nullptr;
    }
    if (it->second.create_time + expireSec >= time(nullptr)) {
        return it->second.addr_info;
    }
    _dns_cache.erase(it);
    return nullptr;
}

std::shared_ptr<addrinfo> DnsCache::getSystemDomainIP(const char* host) {
    addrinfo* answer = nullptr;
    int ret;
    do {
        ret = getaddrinfo(host, nullptr, nullptr, &answer);
    } while (ret == -1 && get_uv_error(true) == -4);
    if (!answer) {
        WarnL << "getaddrinfo failed: " << host;
        return nullptr;
    }
    return std::shared_ptr<addrinfo>(answer, freeaddrinfo);
}

void DnsCache::setCacheDomainIP(const char* host, std::shared_ptr<addrinfo> addr) {
    std::lock_guard<std::mutex> lck(_mtx);
    DnsItem item;
    item.addr_info = std::move(addr);
    item.create_time = time(nullptr);
    _dns_cache[host] = std::move(item);
}

addrinfo* DnsCache::getPerferredAddress(addrinfo* answer, int ai_family, int ai_socktype, int ai_protocol) {
    for (auto ptr = answer; ptr; ptr = ptr->ai_next) {
        if (ptr->ai_family == ai_family && ptr->ai_socktype == ai_socktype && ptr->ai_protocol == ai_protocol) {
            return ptr;
        }
    }
    return answer;
}

} // namespace toolkit
