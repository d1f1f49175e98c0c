#pragma once
#include <cstdint>
#include <string>

namespace toolkit {

// Something with a local and a peer address and an identifier: a socket, or
// an object that wraps one (the session helper).
class SockInfo {
public:
    SockInfo() = default;
    virtual ~SockInfo() = default;

    virtual std::string get_local_ip() = 0;
    virtual uint16_t get_local_port() = 0;
    virtual std::string get_peer_ip() = 0;
    virtual uint16_t get_peer_port() = 0;
    virtual std::string getIdentifier() const { return ""; }
};

} // namespace toolkit
