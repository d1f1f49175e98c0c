#include "Network/Buffer.h"

#include <cstring>
#include <stdexcept>

namespace toolkit {

BufferRaw::Ptr BufferRaw::create() {
    // The constructor is protected, so make_shared cannot reach it.
    return Ptr(new BufferRaw());
}

BufferRaw::~BufferRaw() {
    delete[] _data;
}

void BufferRaw::setSize(size_t size) {
    if (size > _capacity) {
        throw std::invalid_argument("Buffer::setSize out of range");
    }
    _size = size;
}

void BufferRaw::setCapacity(size_t capacity) {
    if (_data) {
        // Reuse a block the request fits, unless a large block would be mostly wasted.
        if (_capacity >= capacity && (_capacity < 2048 || 2 * capacity > _capacity)) {
            return;
        }
        delete[] _data;
        _data = nullptr;
    }
    _data = new char[capacity];
    _capacity = capacity;
    if (_size > _capacity) {
        _size = _capacity;
    }
}

void BufferRaw::assign(const char* data, size_t size) {
    if (size == 0) {
        size = strlen(data);
    }
    setCapacity(size + 1);
    memcpy(_data, data, size);
    _data[size] = '\0';
    setSize(size);
}

} // namespace toolkit
