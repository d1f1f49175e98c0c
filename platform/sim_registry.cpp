#include "sim_registry.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "sim_display.h"
#include "sim_frontend.h"
#include "sim_gpio.h"
#include "sim_i2c.h"
#include "sim_spi.h"

namespace platform {

namespace {

constexpr int kFirstDescriptor = 0x100000;

class Registry {
public:
    Registry()
        : gpio(std::make_shared<SimGpio>()),
          i2c(std::make_shared<SimI2c>()),
          spi(std::make_shared<SimFrontEnd>(i2c)),
          display(std::make_shared<SimDisplay>()) {
        add("/dev/ord_gpio_ctl", gpio);
        add("/dev/spidev3.0", spi);
        add("/dev/i2c-4", i2c);
        add("/dev/disp", display);
        // The relay shift register's byte selects part of the front end's configuration.
        add("/dev/sn74ahc_ctl", spi->relayHandler());
        applyFailOpensFromEnvironment();
    }

    SimDevice& node(const std::string& path) {
        std::lock_guard<std::mutex> lock(_mtx);
        auto it = _nodes.find(path);
        if (it == _nodes.end()) {
            it = _nodes.emplace(path, std::make_unique<SimDevice>(path, std::make_shared<SimDeviceHandler>())).first;
        }
        return *it->second;
    }

    int open(const std::string& path) {
        std::lock_guard<std::mutex> lock(_mtx);
        auto it = _nodes.find(path);
        if (it == _nodes.end()) {
            errno = ENOENT;
            return -1;
        }
        int result = it->second->open();
        if (result < 0) {
            errno = -result;
            return -1;
        }
        int fd = _next_fd++;
        _open[fd] = it->second.get();
        return fd;
    }

    // Nodes are never removed, so the pointer stays good after the lock is gone.
    SimDevice* lookup(int fd) {
        std::lock_guard<std::mutex> lock(_mtx);
        auto it = _open.find(fd);
        return it == _open.end() ? nullptr : it->second;
    }

    int close(int fd) {
        std::lock_guard<std::mutex> lock(_mtx);
        auto it = _open.find(fd);
        if (it == _open.end()) {
            errno = EBADF;
            return -1;
        }
        it->second->closed();
        _open.erase(it);
        return 0;
    }

    int openDescriptors() {
        std::lock_guard<std::mutex> lock(_mtx);
        return static_cast<int>(_open.size());
    }

    const std::shared_ptr<SimGpio> gpio;
    const std::shared_ptr<SimI2c> i2c;
    const std::shared_ptr<SimFrontEnd> spi;
    const std::shared_ptr<SimDisplay> display;

private:
    // DMM_SIM_FAIL_OPENS="/dev/ord_gpio_ctl=2,/dev/i2c-4=1": the named nodes
    // refuse their first N opens, so a whole service can be started against
    // missing hardware. Malformed entries are ignored.
    void applyFailOpensFromEnvironment() {
        const char* text = std::getenv("DMM_SIM_FAIL_OPENS");
        std::stringstream entries(text ? text : "");
        std::string entry;
        while (std::getline(entries, entry, ',')) {
            size_t eq = entry.rfind('=');
            if (eq == std::string::npos || eq == 0) {
                continue;
            }
            char* end = nullptr;
            long count = std::strtol(entry.c_str() + eq + 1, &end, 10);
            if (*end != '\0' || count <= 0 || count > 1000000) {
                continue;
            }
            std::string path = entry.substr(0, eq);
            auto it = _nodes.find(path);
            if (it != _nodes.end()) {
                it->second->failNextOpens(static_cast<int>(count));
            }
        }
    }

    void add(const std::string& path, std::shared_ptr<SimDeviceHandler> handler) {
        _nodes.emplace(path, std::make_unique<SimDevice>(path, std::move(handler)));
    }

    std::mutex _mtx;
    std::map<std::string, std::unique_ptr<SimDevice>> _nodes;
    std::unordered_map<int, SimDevice*> _open;
    int _next_fd = kFirstDescriptor;
};

// Never destroyed: a trigger waiter may still sit in a read when the process ends.
Registry& registry() {
    static Registry* const instance = new Registry();
    return *instance;
}

// Turns a handler's -errno into the system-call convention.
template <typename T>
T sysResult(T result) {
    if (result < 0) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return result;
}

} // namespace

SimDevice& simDevice(const std::string& path) { return registry().node(path); }
SimGpio& simGpio() { return *registry().gpio; }
SimSpi& simSpi() { return *registry().spi; }
SimFrontEnd& simFrontEnd() { return *registry().spi; }
SimI2c& simI2c() { return *registry().i2c; }
SimDisplay& simDisplay() { return *registry().display; }
int simOpenDescriptors() { return registry().openDescriptors(); }

int simOpen(const std::string& path, int flags) {
    (void)flags;
    return registry().open(path);
}

ssize_t simRead(int fd, void* buf, size_t len) {
    SimDevice* node = registry().lookup(fd);
    if (!node) {
        errno = EBADF;
        return -1;
    }
    return sysResult(node->read(buf, len));
}

ssize_t simWrite(int fd, const void* buf, size_t len) {
    SimDevice* node = registry().lookup(fd);
    if (!node) {
        errno = EBADF;
        return -1;
    }
    return sysResult(node->write(buf, len));
}

int simIoctl(int fd, unsigned long request, unsigned long arg) {
    SimDevice* node = registry().lookup(fd);
    if (!node) {
        errno = EBADF;
        return -1;
    }
    return sysResult(node->ioctl(request, arg));
}

int simClose(int fd) { return registry().close(fd); }

} // namespace platform
