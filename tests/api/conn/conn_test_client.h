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

#include "proto_data.pb.h"

// A blocking loopback client of the UI link, the way the app talks to it:
// raw DataPack bytes out, length-prefixed frames in.
namespace conn_test {

class LinkClient {
public:
    explicit LinkClient(uint16_t port) {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
            ::close(_fd);
            _fd = -1;
        }
    }

    bool sendRaw(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            auto n = ::send(_fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Exactly `size` bytes, or fewer when the peer closed or stayed silent
    // for `idle_ms`.
    std::string readBytes(size_t size, int idle_ms = 20000) {
        std::string out;
        out.resize(size);
        size_t got = 0;
        while (got < size) {
            pollfd pfd{_fd, POLLIN, 0};
            if (::poll(&pfd, 1, idle_ms) <= 0) {
                break;
            }
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
    bool readFrame(std::string& body, std::string* prefix = nullptr, int idle_ms = 20000) {
        std::string head = readBytes(4, idle_ms);
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
        body = readBytes(length, idle_ms);
        return body.size() == length;
    }

    // Sends one request and reads its reply.
    bool request(const DataPack& req, DataPack& reply) {
        return sendRaw(req.SerializeAsString()) && readPack(reply);
    }
    bool readPack(DataPack& pack, int idle_ms = 20000) {
        std::string body;
        return readFrame(body, nullptr, idle_ms) && pack.ParseFromString(body);
    }

    // Reads frames until one satisfies `match`; its bytes land in `body`.
    bool readUntil(const std::function<bool(const DataPack&)>& match, DataPack& pack, std::string* body = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::string bytes;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!readFrame(bytes) || !pack.ParseFromString(bytes)) {
                return false;
            }
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
    int _fd = -1;
    bool _connected = false;
};

} // namespace conn_test
