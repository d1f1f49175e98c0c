#include "sim_frontend.h"

#include <linux/spi/spidev.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "sim_device.h"
#include "sim_frontend_scale.h"
#include "sim_i2c.h"

namespace platform {

namespace {

constexpr uint8_t kRegCounterA = 0x15;
constexpr uint8_t kRegCounterB = 0x18;
constexpr uint8_t kRegCounterC = 0x1B;
constexpr uint8_t kRegStatus = 0x1E;
constexpr uint8_t kRegCtrl = 0x20;
constexpr uint8_t kRegAc = 0x09;
constexpr uint8_t kCountersRun = 0x02;
constexpr uint8_t kReadyCounters = 0x01;
constexpr uint8_t kReadyDc = 0x04;
constexpr uint8_t kReadyAc = 0x10;

constexpr double kReferenceHz = 9e6;
constexpr double kMinGateSeconds = 0.010;
constexpr double kMinSignalHz = 0.72;
constexpr int64_t kCapSettleMicros = 250000;
constexpr int32_t kS24Max = 0x7FFFFF;

int64_t steadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void putLE(uint8_t* regs, uint8_t addr, int64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        regs[(addr + i) & 0x7F] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
}

int32_t getS24(const uint8_t* regs, uint8_t addr) {
    uint32_t raw = regs[addr] | regs[addr + 1] << 8 | regs[addr + 2] << 16;
    return static_cast<int32_t>(raw << 8) >> 8;
}

int32_t saturate(double counts) {
    if (!(counts < kSimCountsMax)) return kSimCountsMax;  // NaN reads as open too
    if (counts < kSimCountsMin) return kSimCountsMin;
    return static_cast<int32_t>(std::llround(counts));
}

// Registers the converter computes; writes to them are ignored.
bool resultRegister(uint8_t addr) {
    return addr <= 0x02 || (addr >= kRegAc && addr < kRegAc + 5) || (addr >= kRegCounterA && addr < kRegCounterC);
}

bool dcFamily(SimQuantity q) {
    return q == SimQuantity::DcVolts || q == SimQuantity::DcAmps || q == SimQuantity::Ohms2Wire ||
           q == SimQuantity::Ohms4Wire || q == SimQuantity::DiodeVolts || q == SimQuantity::CapCharge ||
           q == SimQuantity::CapDischarge;
}

// The relay register: single bytes, handed to the front end.
class SimRelay : public SimDeviceHandler {
public:
    explicit SimRelay(SimFrontEnd* owner) : _owner(owner) {}
    ssize_t write(const void* buf, size_t len) override {
        _owner->relayWritten(static_cast<const uint8_t*>(buf), len);
        return static_cast<ssize_t>(len);
    }

private:
    SimFrontEnd* _owner;
};

} // namespace

struct SimFrontEnd::State {
    uint8_t regs[128] = {};
    uint8_t relayByte = 0;
    bool dirty = true;
    int config = -1;
    int64_t lastWriteUs = 0;
    int64_t gateStartUs = 0;
    int32_t presetC = 0;
    SimInputs inputs;
    std::mt19937_64 rng{0};
    std::normal_distribution<double> normal{0.0, 1.0};
    int failTransfers = 0;
    std::function<int64_t()> clock;
    std::deque<SimTransaction> log;

    int64_t now() const { return clock ? clock() : steadyMicros(); }

    void record(SimTransaction::Kind kind, const uint8_t* bytes, size_t len) {
        if (!SimDevice::recordsKept()) return;
        if (log.size() >= kLogLimit) log.pop_front();
        log.push_back({kind, std::vector<uint8_t>(bytes, bytes + len)});
    }

    double noiseCounts() {
        return inputs.noise > 0 ? normal(rng) * inputs.noise * kSimFullScaleCounts : 0.0;
    }

    void writeRegs(const uint8_t* bytes, size_t len);
    void refresh();
    double dcInput(SimQuantity q) const;
    void refreshDc(const SimFrontEndConfig& cfg);
    void refreshAc(const SimFrontEndConfig& cfg);
    void refreshFrequency(double rms);
    void refreshCapCounter(const SimFrontEndConfig& cfg);
};

void SimFrontEnd::State::writeRegs(const uint8_t* bytes, size_t len) {
    if (len < 2 || (bytes[0] & 1) != 0) {
        return;  // a read command sent as a write moves nothing
    }
    const int64_t t = now();
    uint8_t addr = bytes[0] >> 1;
    for (size_t i = 1; i < len; ++i, addr = (addr + 1) & 0x7F) {
        uint8_t value = bytes[i];
        if (addr >= kRegCounterC && addr < kRegCounterC + 3) {
            putLE(regs, kRegCounterC, presetC, 3);
            regs[addr] = value;
            presetC = getS24(regs, kRegCounterC);
        } else if (addr == kRegStatus) {
            regs[addr] = 0;
        } else if (addr == kRegCtrl) {
            if ((regs[addr] & kCountersRun) == 0 && (value & kCountersRun) != 0) {
                gateStartUs = t;  // the counters start a gate from zero
            }
            regs[addr] = value;
        } else if (!resultRegister(addr)) {
            regs[addr] = value;
        }
    }
    lastWriteUs = t;
    dirty = true;
}

double SimFrontEnd::State::dcInput(SimQuantity q) const {
    const SimInputs& in = inputs;
    switch (q) {
        case SimQuantity::DcVolts: return in.open ? 0.0 : in.dcVolts;
        case SimQuantity::DcAmps: return in.open ? 0.0 : in.dcAmps;
        case SimQuantity::Ohms2Wire: return in.open ? INFINITY : in.ohms + 2 * in.leadOhms;
        case SimQuantity::Ohms4Wire: return in.open ? INFINITY : in.ohms;
        case SimQuantity::DiodeVolts: return in.open ? INFINITY : in.diodeVolts;
        default: return 0.0;
    }
}

void SimFrontEnd::State::refreshDc(const SimFrontEndConfig& cfg) {
    double counts = 0.0;
    if (cfg.quantity == SimQuantity::CapCharge) {
        // Two plateaus per charge, so the decode's two samples are exact.
        double elapsedMs = static_cast<double>(now() - lastWriteUs) / 1000.0;
        double ms = elapsedMs < cfg.chargeWaitMs - 50 ? 100.0 : cfg.chargeWaitMs;
        double ofFullScale = inputs.farads / cfg.chargeFullScale;
        counts = inputs.open || ofFullScale <= 0 ? INFINITY : kSimChargeSlope / ofFullScale * ms;
    } else if (cfg.quantity != SimQuantity::CapDischarge) {
        counts = dcInput(cfg.quantity) * cfg.countsPerUnit + noiseCounts();
    }
    putLE(regs, 0x00, saturate(counts), 3);
    regs[kRegStatus] |= kReadyDc;
}

void SimFrontEnd::State::refreshAc(const SimFrontEndConfig& cfg) {
    double rms = inputs.open ? 0.0 : (cfg.quantity == SimQuantity::AcVolts ? inputs.acVolts : inputs.acAmps);
    int32_t raw = saturate(rms * cfg.countsPerUnit + noiseCounts());
    double scaled = raw > 0 ? raw / 100.0 : 0.0;  // a negative input reads 0
    putLE(regs, kRegAc, std::llround(scaled * scaled), 5);
    regs[kRegStatus] |= kReadyAc;
    refreshFrequency(rms);
}

// A reciprocal counter: B counts signal periods, C the 9 MHz reference from
// its preset; the gate closes at the first whole period after 10 ms.
void SimFrontEnd::State::refreshFrequency(double rms) {
    bool running = (regs[kRegCtrl] & kCountersRun) != 0;
    double f = inputs.open || rms <= 0 || inputs.frequency < kMinSignalHz ? 0.0 : inputs.frequency;
    double elapsed = running ? static_cast<double>(now() - gateStartUs) / 1e6 : 0.0;
    int64_t cycles = 0;
    double refSeconds = elapsed;
    if (f > 0) {
        int64_t gateCycles = static_cast<int64_t>(std::ceil(kMinGateSeconds * f - 1e-9));
        double close = static_cast<double>(gateCycles) / f;
        if (elapsed >= close) {
            cycles = gateCycles;
            refSeconds = close;
            regs[kRegStatus] |= kReadyCounters;
        } else {
            cycles = static_cast<int64_t>(std::floor(elapsed * f));
        }
    }
    double c = std::min<double>(presetC + std::llround(refSeconds * kReferenceHz), kS24Max);
    putLE(regs, kRegCounterA, 0, 3);
    putLE(regs, kRegCounterB, std::min<int64_t>(cycles, kS24Max), 3);
    putLE(regs, kRegCounterC, static_cast<int64_t>(c), 3);
}

void SimFrontEnd::State::refreshCapCounter(const SimFrontEndConfig& cfg) {
    int64_t since = std::max(lastWriteUs, gateStartUs);
    bool ready = !inputs.open && now() - since >= kCapSettleMicros;
    putLE(regs, kRegCounterA, ready ? saturate(inputs.farads * cfg.countsPerUnit) : 0, 3);
    putLE(regs, kRegCounterB, ready ? 1000 : 0, 3);
    if (ready) regs[kRegStatus] |= kReadyCounters;
}

void SimFrontEnd::State::refresh() {
    if (dirty) {
        config = simIdentifyConfig(regs, static_cast<uint8_t>(relayByte >> 1));
        dirty = false;
    }
    std::memset(regs, 0, 3);
    std::memset(regs + kRegAc, 0, 5);
    std::memset(regs + kRegCounterA, 0, kRegCounterC - kRegCounterA);
    putLE(regs, kRegCounterC, presetC, 3);
    regs[kRegStatus] = 0;
    if (config < 0) {
        return;
    }
    const SimFrontEndConfig& cfg = simFrontEndConfigs()[static_cast<size_t>(config)];
    if (dcFamily(cfg.quantity)) {
        refreshDc(cfg);
    } else if (cfg.quantity == SimQuantity::AcVolts || cfg.quantity == SimQuantity::AcAmps) {
        refreshAc(cfg);
    } else if (cfg.quantity == SimQuantity::CapCounter) {
        refreshCapCounter(cfg);
    }
}

SimFrontEnd::SimFrontEnd(std::shared_ptr<SimI2c> temperatureChip)
    : _s(std::make_unique<State>()), _chip(std::move(temperatureChip)), _relay(std::make_shared<SimRelay>(this)) {
    if (_chip) _chip->setTemperature(_s->inputs.coldJunctionCelsius);
}

SimFrontEnd::~SimFrontEnd() = default;

int SimFrontEnd::ioctl(SimIoctl& call) {
    bool message = _IOC_TYPE(call.request) == SPI_IOC_MAGIC && _IOC_NR(call.request) == 0 &&
                   _IOC_DIR(call.request) == _IOC_WRITE;
    if (message) {
        std::lock_guard<std::mutex> lock(_mtx);
        if (_s->failTransfers > 0) {
            --_s->failTransfers;
            return -EIO;
        }
    }
    return SimSpi::ioctl(call);
}

ssize_t SimFrontEnd::write(const void* buf, size_t len) {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_s->failTransfers > 0) {
        --_s->failTransfers;
        return -EIO;
    }
    const auto* bytes = static_cast<const uint8_t*>(buf);
    _s->record(SimTransaction::Write, bytes, len);
    _s->writeRegs(bytes, len);
    return static_cast<ssize_t>(len);
}

void SimFrontEnd::transfer(const uint8_t* tx, uint8_t* rx, size_t len) {
    std::lock_guard<std::mutex> lock(_mtx);
    std::memset(rx, 0, len);
    if (len == 0) return;
    if ((tx[0] & 1) == 0) {
        _s->record(SimTransaction::Write, tx, len);
        _s->writeRegs(tx, len);
        return;
    }
    _s->record(SimTransaction::Read, tx, len);
    _s->refresh();
    // Data bit k of the answer appears one bit late: rx[k] carries the low
    // bit of the register before and the high seven of register k - 1.
    const uint8_t start = tx[0] >> 1;
    uint8_t previous = 0;
    for (size_t k = 1; k < len; ++k) {
        uint8_t current = _s->regs[(start + k - 1) & 0x7F];
        rx[k] = static_cast<uint8_t>((current >> 1) | ((previous & 1) << 7));
        previous = current;
    }
}

void SimFrontEnd::relayWritten(const uint8_t* bytes, size_t len) {
    std::lock_guard<std::mutex> lock(_mtx);
    _s->record(SimTransaction::Relay, bytes, len);
    if (len > 0) {
        _s->relayByte = bytes[len - 1];
        _s->dirty = true;
    }
}

void SimFrontEnd::setInputs(const SimInputs& inputs) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (inputs.seed != _s->inputs.seed || inputs.noise != _s->inputs.noise) {
            _s->rng.seed(inputs.seed);
            _s->normal.reset();
        }
        _s->inputs = inputs;
    }
    if (_chip) _chip->setTemperature(inputs.coldJunctionCelsius);
}

SimInputs SimFrontEnd::inputs() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _s->inputs;
}

void SimFrontEnd::failNextTransfers(int count) {
    std::lock_guard<std::mutex> lock(_mtx);
    _s->failTransfers = count;
}

void SimFrontEnd::setClock(std::function<int64_t()> nowMicros) {
    std::lock_guard<std::mutex> lock(_mtx);
    _s->clock = std::move(nowMicros);
}

uint8_t SimFrontEnd::relayByte() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _s->relayByte;
}

std::vector<SimTransaction> SimFrontEnd::transactions() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return {_s->log.begin(), _s->log.end()};
}

void SimFrontEnd::clearTransactions() {
    std::lock_guard<std::mutex> lock(_mtx);
    _s->log.clear();
}

uint8_t SimFrontEnd::reg(uint8_t addr) const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _s->regs[addr & 0x7F];
}

std::shared_ptr<SimDeviceHandler> SimFrontEnd::relayHandler() { return _relay; }

} // namespace platform
