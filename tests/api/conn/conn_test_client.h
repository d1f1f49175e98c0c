#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "../../toolkit/test_socket_support.h"
#include "proto_data.pb.h"

// A blocking loopback client of the UI link, the way the app talks to it:
// raw DataPack bytes out, length-prefixed frames in.
namespace conn_test {

class LinkClient : public socket_test::RawClient {
public:
    using RawClient::RawClient;

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
    bool request(const DataPack& req, DataPack& reply) { return sendAll(req.SerializeAsString()) && readPack(reply); }

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
};

} // namespace conn_test
