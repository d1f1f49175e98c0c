#include "sim_device.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<bool> g_keepRecords{true};

template <typename T>
void keepNewest(std::deque<T>& record, T item) {
    if (!SimDevice::recordsKept()) {
        return;
    }
    if (record.size() >= SimDevice::kRecordLimit) {
        record.pop_front();
    }
    record.push_back(std::move(item));
}

} // namespace

void SimDevice::keepRecords(bool keep) {
    g_keepRecords.store(keep);
}

bool SimDevice::recordsKept() {
    return g_keepRecords.load();
}

SimDevice::SimDevice(std::string path, std::shared_ptr<SimDeviceHandler> handler)
    : _path(std::move(path)), _handler(std::move(handler)) {}

void SimDevice::failNextOpens(int count, int error) {
    std::lock_guard<std::mutex> lock(_mtx);
    _fail_opens = count;
    _fail_open_error = error;
}

void SimDevice::failNextIoctls(int count, int error) {
    std::lock_guard<std::mutex> lock(_mtx);
    _fail_ioctls = count;
    _fail_ioctl_error = error;
}

void SimDevice::setHandler(std::shared_ptr<SimDeviceHandler> handler) {
    std::lock_guard<std::mutex> lock(_mtx);
    _handler = std::move(handler);
}

std::shared_ptr<SimDeviceHandler> SimDevice::handler() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _handler;
}

int SimDevice::openDescriptors() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _open;
}

unsigned long SimDevice::opens() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _opens;
}

std::vector<SimIoctl> SimDevice::ioctls() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return {_ioctls.begin(), _ioctls.end()};
}

std::vector<std::vector<uint8_t>> SimDevice::writes() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return {_writes.begin(), _writes.end()};
}

void SimDevice::clearRecord() {
    std::lock_guard<std::mutex> lock(_mtx);
    _ioctls.clear();
    _writes.clear();
}

int SimDevice::open() {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_fail_opens > 0) {
        --_fail_opens;
        return -_fail_open_error;
    }
    ++_open;
    ++_opens;
    return 0;
}

void SimDevice::closed() {
    std::lock_guard<std::mutex> lock(_mtx);
    --_open;
}

ssize_t SimDevice::read(void* buf, size_t len) {
    // No lock held across the handler: a read may block until a test injects
    // data, and other calls on the node must go on meanwhile.
    return handler()->read(buf, len);
}

ssize_t SimDevice::write(const void* buf, size_t len) {
    auto target = handler();
    {
        const auto* bytes = static_cast<const uint8_t*>(buf);
        std::lock_guard<std::mutex> lock(_mtx);
        keepNewest(_writes, std::vector<uint8_t>(bytes, bytes + len));
    }
    return target->write(buf, len);
}

int SimDevice::ioctl(unsigned long request, unsigned long arg) {
    SimIoctl call;
    call.request = request;
    call.arg = arg;
    std::shared_ptr<SimDeviceHandler> target;
    int result;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        target = _handler;
        result = _fail_ioctls > 0 ? -_fail_ioctl_error : 0;
        if (_fail_ioctls > 0) {
            --_fail_ioctls;
        }
    }
    if (result == 0) {
        result = target->ioctl(call);
    }
    std::lock_guard<std::mutex> lock(_mtx);
    keepNewest(_ioctls, std::move(call));
    return result;
}

} // namespace platform
