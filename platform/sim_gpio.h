#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

#include "sim_device_handler.h"

namespace platform {

// The GPIO control node "/dev/ord_gpio_ctl": commands of type 'x' carrying an
// int written (0x40047800 | n), an int read (0x80047800 | n) or no data
// (0x7800 | n). It keeps the value last written with each write command, counts
// and logs beeps (command 7), follows the voltmeter-complete output (2 on,
// 9 off), and answers the beeper-state read (5) with the value last written by
// the beeper-state command (4). A read blocks until a trigger is injected; at
// most kPendingTriggersMax edges wait for a read, later ones are counted and
// dropped.
class SimGpio : public SimDeviceHandler {
public:
    static constexpr unsigned long kWriteInt = 0x40047800;
    static constexpr unsigned long kReadInt = 0x80047800;
    static constexpr unsigned long kNoData = 0x7800;
    // The engine's trigger waiter reads an edge a millisecond and a reading
    // takes 8 ms or more, so edges waiting beyond this stand for readings long
    // past; without a bound a writer flooding the input takes all memory.
    static constexpr size_t kPendingTriggersMax = 256;

    int ioctl(SimIoctl& call) override;
    ssize_t read(void* buf, size_t len) override;

    // Test hooks.
    // Fires the external trigger input once: one blocked (or the next) read
    // returns `value`. False when the edge was dropped: too many wait.
    bool injectTrigger(uint8_t value = 1);
    unsigned long droppedTriggers() const;
    int blockedReaders() const;
    unsigned long beeps() const;
    // The value last written with write command n (0 when never written).
    int32_t lastWritten(unsigned command) const;
    bool vmcActive() const;

private:
    int noData(unsigned command);

    mutable std::mutex _mtx;
    std::condition_variable _triggered;
    std::deque<uint8_t> _triggers;
    int _readers = 0;
    unsigned long _dropped = 0;
    std::map<unsigned, int32_t> _written;
    unsigned long _beeps = 0;
    bool _vmc = false;
};

} // namespace platform
