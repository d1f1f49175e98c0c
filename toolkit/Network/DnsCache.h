#pragma once
#include <netdb.h>
#include <sys/socket.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace toolkit {

// Resolves host names for outgoing connections and keeps each answer for a
// while. One process-wide instance; safe for any thread. The resolver runs
// outside the lock, so two threads resolving one name both ask and the later
// answer is kept.
class DnsCache {
public:
    static DnsCache& Instance();

    // Fills `storage` with an address for `host` (an address text is taken
    // as is, with port 0) preferring an entry of the given family, socket type
    // and protocol; false when the name does not resolve. Answers older than
    // expire_sec are resolved again.
    bool getDomainIP(const char* host, sockaddr_storage& storage, int ai_family = AF_INET,
                     int ai_socktype = SOCK_STREAM, int ai_protocol = IPPROTO_TCP, int expire_sec = 60);

private:
    struct DnsItem {
        std::shared_ptr<struct addrinfo> addr_info;
        time_t create_time;
    };

    DnsCache() = default;

    std::shared_ptr<struct addrinfo> getCacheDomainIP(const char* host, int expireSec);
    std::shared_ptr<struct addrinfo> getSystemDomainIP(const char* host);
    void setCacheDomainIP(const char* host, std::shared_ptr<struct addrinfo> addr);
    struct addrinfo* getPerferredAddress(struct addrinfo* answer, int ai_family, int ai_socktype, int ai_protocol);

    std::mutex _mtx;
    std::unordered_map<std::string, DnsItem> _dns_cache;
};

} // namespace toolkit
