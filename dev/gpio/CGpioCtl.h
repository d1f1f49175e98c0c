#pragma once
#include <atomic>
#include <cstdint>

// The instrument's GPIO control device "/dev/ord_gpio_ctl": beeper, external
// trigger input and voltmeter-complete output are commands on one descriptor.
// Used from several threads at once without a lock: each operation is one call
// on the shared descriptor, and the blocking trigger read does not hold up the
// commands of other threads.
class CGpioCtl {
public:
    // Command kinds: n ORed into these gives the request code.
    static constexpr uint32_t kReadInt = 0x80047800;
    static constexpr uint32_t kWriteInt = 0x40047800;
    static constexpr uint32_t kNoData = 0x7800;

    static CGpioCtl* instance();

    // Opens the device for reading and writing; true on success or when it is
    // already open. May be called again after a failure.
    bool GPIO_Connect();

    // Read-int command `type` into `data`.
    bool GPIO_IORead(uint32_t type, int32_t& data);
    // Write-int command `type`; the value itself is the argument.
    bool GPIO_IOWrite(uint32_t type, int32_t val);
    // No-data command `type`.
    bool GPIO_IO(uint32_t type);
    // Blocks until the external trigger input fires; the byte read, or -1
    // when nothing was read (not connected, device error).
    int32_t GPIO_Read();

private:
    // -1 until connected, so that nothing reaches descriptor 0 before then.
    std::atomic<int32_t> m_s32FD{-1};
};
