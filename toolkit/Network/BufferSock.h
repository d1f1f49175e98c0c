#pragma once
#include <sys/socket.h>

#include <memory>

#include "Network/Buffer.h"

namespace toolkit {

// A buffer together with the address it is to be sent to (datagrams queued
// with a destination).
class BufferSock : public Buffer {
public:
    using Ptr = std::shared_ptr<BufferSock>;

    // Copies the address when given: addr_len bytes, or the family's length
    // when addr_len is 0. addr_len must not exceed sizeof(sockaddr_storage).
    BufferSock(Buffer::Ptr buffer, struct sockaddr* addr = nullptr, int addr_len = 0);
    ~BufferSock() override = default;

    char* data() const override;
    size_t size() const override;
    // The destination, or null when none was given.
    const struct sockaddr* addr() const;
    socklen_t addrLen() const;

private:
    int _addr_len = 0;
    struct sockaddr_storage _addr;
    Buffer::Ptr _buffer;
};

} // namespace toolkit
