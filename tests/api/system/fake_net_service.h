#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "rip_msg.h"

namespace testing_support {

// A network-status service for the client's tests: listens on a free port of
// 127.0.0.1, takes the client's request and sends it records.
class FakeNetService {
public:
    FakeNetService() {
        _listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(_listen, 4);
        socklen_t len = sizeof(addr);
        ::getsockname(_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        _port = ntohs(addr.sin_port);
    }
    ~FakeNetService() {
        closeClient();
        ::close(_listen);
    }

    uint16_t port() const { return _port; }

    // Accepts the client (within 10 s) and reads its request; true when it
    // is the 184-byte request whose first word is 0x10000.
    bool accept() {
        pollfd p{_listen, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) {
            return false;
        }
        _client = ::accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC);
        RIP_MSG_INFO request;
        size_t have = 0;
        while (have < sizeof(request)) {
            ssize_t n = ::recv(_client, reinterpret_cast<char*>(&request) + have, sizeof(request) - have, 0);
            if (n <= 0) {
                return false;
            }
            have += static_cast<size_t>(n);
        }
        uint32_t first;
        std::memcpy(&first, &request, sizeof(first));
        return first == 0x10000;
    }

    // Sends bytes [from, to) of `record`.
    void send(const RIP_MSG_INFO& record, size_t from = 0, size_t to = sizeof(RIP_MSG_INFO)) {
        ::send(_client, reinterpret_cast<const char*>(&record) + from, to - from, MSG_NOSIGNAL);
    }

    void closeClient() {
        if (_client >= 0) {
            ::close(_client);
            _client = -1;
        }
    }

    // A port of 127.0.0.1 on which nobody listens.
    static uint16_t refusedPort() { return FakeNetService().port(); }

private:
    int _listen = -1;
    int _client = -1;
    uint16_t _port = 0;
};

// A report with the link status, mode and IPv4 address given.
inline RIP_MSG_INFO netRecord(NET_STATUS status, int mode = 0, const char* ip = "0.0.0.0") {
    RIP_MSG_INFO record;
    std::memset(&record, 0, sizeof(record));
    record.option = status;
    record.mode = static_cast<int16_t>(mode);
    in_addr addr{};
    ::inet_pton(AF_INET, ip, &addr);
    record.ip = static_cast<int32_t>(addr.s_addr);
    return record;
}

} // namespace testing_support
