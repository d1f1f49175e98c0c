#pragma once
#include <sys/types.h>

#include <string>

#include "sim_device.h"

namespace platform {

class SimGpio;
class SimSpi;
class SimFrontEnd;
class SimI2c;
class SimDisplay;

// The simulated device nodes of a host build. The instrument's nodes
// ("/dev/spidev3.0", "/dev/sn74ahc_ctl", "/dev/ord_gpio_ctl", "/dev/disp",
// "/dev/i2c-4") exist from the start; any other path exists once simDevice()
// has named it. Nodes live until the process ends.
SimDevice& simDevice(const std::string& path);

// The built-in behaviour of the instrument's nodes (test hooks live there).
SimGpio& simGpio();
SimSpi& simSpi();  // the front end's SPI side
// The simulated converter and relay register ("/dev/spidev3.0",
// "/dev/sn74ahc_ctl"): inputs and test hooks.
SimFrontEnd& simFrontEnd();
SimI2c& simI2c();
SimDisplay& simDisplay();

// Simulated descriptors open now, over all nodes.
int simOpenDescriptors();

// The simulated side of the device seam (device_io.h). Descriptors are
// numbered far above any the kernel hands out, so the two never mix up.
int simOpen(const std::string& path, int flags);
ssize_t simRead(int fd, void* buf, size_t len);
ssize_t simWrite(int fd, const void* buf, size_t len);
int simIoctl(int fd, unsigned long request, unsigned long arg);
int simClose(int fd);

} // namespace platform
