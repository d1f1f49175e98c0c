#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "sim_inputs.h"
#include "sim_spi.h"

namespace platform {

class SimI2c;

// One bus transaction of the simulated front end, in the order it happened.
struct SimTransaction {
    enum Kind { Write, Read, Relay };
    Kind kind;
    std::vector<uint8_t> bytes;  // what the driver sent (a read: the command and filler bytes)
};

// The converter chip behind "/dev/spidev3.0" and the relay register behind
// "/dev/sn74ahc_ctl", answered at register level. Register writes are plain
// writes [addr << 1, data...] with auto-increment; a read is a full-duplex
// message whose first byte is (start << 1) | 1, answered one bit late. What is
// measured follows from the configuration rows in the registers and the relay
// code; the values come from the inputs (SimInputs).
class SimFrontEnd : public SimSpi {
public:
    static constexpr size_t kLogLimit = 4096;  // newest transactions kept

    explicit SimFrontEnd(std::shared_ptr<SimI2c> temperatureChip = nullptr);
    ~SimFrontEnd() override;

    int ioctl(SimIoctl& call) override;
    ssize_t write(const void* buf, size_t len) override;

    // Inputs; the cold-junction temperature also reaches the temperature chip.
    void setInputs(const SimInputs& inputs);
    SimInputs inputs() const;

    // The next `count` SPI transactions (writes or messages) fail with EIO.
    void failNextTransfers(int count);
    // Microseconds of a monotonic clock; nullptr restores the steady clock.
    void setClock(std::function<int64_t()> nowMicros);
    // The relay device's side: the last byte written (0 before any), its code.
    uint8_t relayByte() const;
    uint8_t relayCode() const { return static_cast<uint8_t>(relayByte() >> 1); }
    // The transactions since the last clear (relay bytes included).
    std::vector<SimTransaction> transactions() const;
    void clearTransactions();
    // A register as the converter holds it now (no read is recorded).
    uint8_t reg(uint8_t addr) const;
    // The handler of the relay node (the registry plugs it in).
    std::shared_ptr<SimDeviceHandler> relayHandler();

    void relayWritten(const uint8_t* bytes, size_t len);

protected:
    void transfer(const uint8_t* tx, uint8_t* rx, size_t len) override;

private:
    struct State;
    std::unique_ptr<State> _s;
    mutable std::mutex _mtx;
    std::shared_ptr<SimI2c> _chip;
    std::shared_ptr<SimDeviceHandler> _relay;
};

} // namespace platform
