#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "Util/ObjectStatistic.h"
#include "Util/util.h"

namespace toolkit {

// A reference-counted block of bytes: what the toolkit receives into and sends from.
class Buffer : public noncopyable {
public:
    using Ptr = std::shared_ptr<Buffer>;

    Buffer() = default;
    virtual ~Buffer() = default;

    virtual char* data() const = 0;
    virtual size_t size() const = 0;
    // A copy of the bytes in use.
    virtual std::string toString() const { return std::string(data(), size()); }
    virtual size_t getCapacity() const { return size(); }

private:
    ObjectStatistic<Buffer> _statistic;
};

// A buffer owning its memory. The capacity may exceed the bytes in use; the
// block is kept across requests that fit it without wasting most of it.
class BufferRaw : public Buffer {
public:
    using Ptr = std::shared_ptr<BufferRaw>;

    static Ptr create();
    ~BufferRaw() override;

    char* data() const override { return _data; }
    size_t size() const override { return _size; }
    size_t getCapacity() const override { return _capacity; }

    // Throws std::invalid_argument when size exceeds the capacity.
    virtual void setSize(size_t size);
    // Ensures `capacity` bytes; the contents are lost when the block is replaced.
    void setCapacity(size_t capacity);
    // Copies `size` bytes (strlen(data) when 0) and a terminating zero not
    // counted in the size.
    void assign(const char* data, size_t size = 0);

protected:
    BufferRaw() = default;

private:
    size_t _size = 0;
    size_t _capacity = 0;
    char* _data = nullptr;
    ObjectStatistic<BufferRaw> _statistic;
};

} // namespace toolkit
