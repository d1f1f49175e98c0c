#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "proto_data.pb.h"

// A blocking loopback client of the UI link, the way the app talks to it:
// raw DataPack bytes out, length-prefixed frames in.
namespace conn_test {

class LinkClient {
public:
    explicit LinkClient(uint16_t port) : _fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        _connected = _fd != -1 && ::connect(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~LinkClient() { close(); }
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;

    bool connected() const { return _connected; }
    void close() {
        if (_fd != -1) {
            ::close(std::exchange(_fd, -1));
        }
    }
    // A blocking send hands over everything unless the peer is gone.
    bool sendRaw(const std::string& data) {
        return ::send(_fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }

    // Exactly `size` bytes, or fewer when the peer closed or stayed silent for 20 s.
    std::string readBytes(size_t size) {
        std::string out(size, '\0');
        size_t got = 0;
        for (pollfd pfd{_fd, POLLIN, 0}; got < size && ::poll(&pfd, 1, 20000) > 0;) {
            auto n = ::recv(_fd, &out[got], size - got, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        out.resize(got);
        return out;
    }

    // One frame: the 4-byte little-endian length, then the body. `prefix`
    // receives the four raw length bytes. False when no whole frame came.
    bool readFrame(std::string& body, std::string* prefix = nullptr) {
        std::string head = readBytes(4);
        if (head.size() != 4) {
            return false;
        }
        if (prefix != nullptr) {
            *prefix = head;
        }
        uint32_t length = 0;
        for (int i = 3; i >= 0; --i) {
            length = (length << 8) | static_cast<unsigned char>(head[static_cast<size_t>(i)]);
        }
        body = readBytes(length);
        return body.size() == length;
    }
    bool readPack(DataPack& pack) {
        std::string body;
        return readFrame(body) && pack.ParseFromString(body);
    }
    // Sends one request and reads its reply.
    bool request(const DataPack& req, DataPack& reply) { return sendRaw(req.SerializeAsString()) && readPack(reply); }

    // Reads frames until one satisfies `match`; its bytes land in `body`.
    bool readUntil(const std::function<bool(const DataPack&)>& match, DataPack& pack, std::string* body = nullptr) {
        std::string bytes;
        while (readFrame(bytes) && pack.ParseFromString(bytes)) {
            if (match(pack)) {
                if (body != nullptr) {
                    *body = bytes;
                }
                return true;
            }
        }
        return false;
    }

private:
    int _fd;
    bool _connected = false;
};

} // namespace conn_test
