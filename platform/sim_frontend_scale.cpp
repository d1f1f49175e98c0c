#include "sim_frontend_scale.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "drv/vorna_adc/VornaAdcRowChoice.h"

namespace platform {

namespace {

constexpr int32_t kChargeRows[2] = {6, 7};
constexpr int32_t kChargeWaitMs[2] = {300, 400};

struct FunctionDef {
    MeasureTypeEnum func;
    int32_t ranges412;
    int32_t ranges412E;
    SimQuantity quantity;
};

constexpr FunctionDef kFunctions[] = {
    {TYPE_DCV, 5, 5, SimQuantity::DcVolts},      {TYPE_ACV, 5, 5, SimQuantity::AcVolts},
    {TYPE_DCI, 6, 6, SimQuantity::DcAmps},       {TYPE_ACI, 6, 6, SimQuantity::AcAmps},
    {TYPE_OHM2, 7, 7, SimQuantity::Ohms2Wire},   {TYPE_OHM4, 7, 7, SimQuantity::Ohms4Wire},
    {TYPE_CAP, 8, 7, SimQuantity::CapCounter},   {TYPE_CONT, 1, 1, SimQuantity::Ohms2Wire},
    {TYPE_DIODE, 1, 1, SimQuantity::DiodeVolts},
};

// Full scale of a range in V, A, ohm or F.
double fullScaleSI(MeasureTypeEnum func, int32_t range, bool is412) {
    static const double volts[2][5] = {{0.1, 1, 10, 100, 1000}, {0.1, 1, 10, 100, 750}};
    switch (func) {
        case TYPE_DCV: return volts[0][range];
        case TYPE_ACV: return volts[1][range];
        case TYPE_DCI:
        case TYPE_ACI: return range == 5 ? (is412 ? 10.0 : 3.0) : 1e-4 * std::pow(10.0, range);
        case TYPE_OHM2:
        case TYPE_OHM4: return 100.0 * std::pow(10.0, range);
        case TYPE_CAP: return 1e-9 * std::pow(10.0, range);
        case TYPE_CONT: return 1000.0;
        case TYPE_DIODE: return 2.0;
        default: return 0.0;
    }
}

// From SI to the display unit of the range row (mV, uA, kOhm, nF, ...).
double displayFactor(MeasureTypeEnum func, int32_t range) {
    switch (func) {
        case TYPE_DCV:
        case TYPE_ACV: return range == 0 ? 1e3 : 1.0;
        case TYPE_DCI:
        case TYPE_ACI: return range == 0 ? 1e6 : range <= 3 ? 1e3 : 1.0;
        case TYPE_OHM2:
        case TYPE_OHM4: return range == 0 ? 1.0 : range <= 3 ? 1e-3 : 1e-6;
        case TYPE_CAP: return range <= 2 ? 1e9 : range <= 5 ? 1e6 : 1e3;
        default: return 1.0;
    }
}

// Registers whose bits the driver patches per rate, auto-zero, impedance or
// acc are not part of what identifies a configuration.
uint8_t identifyingMask(uint8_t addr) {
    switch (addr) {
        case 0x1E:
        case 0x22:
        case 0x29:
        case 0x33: return 0x00;
        case 0x20: return 0xFD;
        case 0x30: return 0x80;
        default: return 0xFF;
    }
}

std::vector<SimRegCheck> checksOf(const AdcRow& row) {
    uint8_t value[128] = {};
    bool written[128] = {};
    for (const AdcRegPair& pair : row) {
        value[pair.u8Addr & 0x7F] = pair.u8Value;
        written[pair.u8Addr & 0x7F] = true;
    }
    std::vector<SimRegCheck> checks;
    for (uint8_t addr = 0; addr < 128; ++addr) {
        uint8_t mask = identifyingMask(addr);
        if (written[addr] && mask != 0) {
            checks.push_back({addr, mask, static_cast<uint8_t>(value[addr] & mask)});
        }
    }
    return checks;
}

bool sameChecks(const std::vector<SimRegCheck>& a, const std::vector<SimRegCheck>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const SimRegCheck& x, const SimRegCheck& y) {
               return x.addr == y.addr && x.mask == y.mask && x.value == y.value;
           });
}

struct KeyUse {
    MeasureTypeEnum func;
    int32_t range;
    bool is412;
    size_t config;
};

class ConfigTable {
public:
    ConfigTable() {
        collect();
        assignGains();
        buildKeys();
        // Configurations that write more registers are tested first, so that a
        // row is never taken for another whose registers are a subset of its own.
        std::vector<size_t> order(configs.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [this](size_t a, size_t b) { return configs[a].checks.size() > configs[b].checks.size(); });
        std::vector<SimFrontEndConfig> sorted;
        for (size_t i : order) sorted.push_back(configs[i]);
        configs.swap(sorted);
    }

    std::vector<SimFrontEndConfig> configs;
    std::vector<SimKeyScale> keys;

private:
    size_t findOrAdd(const AdcRow& row, uint8_t relay, SimQuantity quantity) {
        std::vector<SimRegCheck> checks = checksOf(row);
        for (size_t i = 0; i < configs.size(); ++i) {
            if (configs[i].relay == relay && sameChecks(configs[i].checks, checks)) {
                if (configs[i].quantity != quantity) {
                    configs[i].quantity = SimQuantity::None;  // two meanings: the tests catch it
                }
                return i;
            }
        }
        SimFrontEndConfig config;
        config.checks = std::move(checks);
        config.relay = relay;
        config.quantity = quantity;
        configs.push_back(std::move(config));
        parent.push_back(parent.size());
        return configs.size() - 1;
    }

    size_t root(size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    }

    void collect() {
        for (int model = 0; model < 2; ++model) {
            for (const FunctionDef& def : kFunctions) {
                int32_t ranges = model == 0 ? def.ranges412 : def.ranges412E;
                for (int32_t range = 0; range < ranges; ++range) {
                    addKey(def, range, model == 0, ranges - 1);
                }
            }
        }
        for (size_t i = 0; i < 2; ++i) {
            size_t c = findOrAdd(CAP_Setting[kChargeRows[i]], CAP_Range_Map[kChargeRows[i]], SimQuantity::CapCharge);
            configs[c].chargeWaitMs = kChargeWaitMs[i];
            configs[c].chargeFullScale = fullScaleSI(TYPE_CAP, kChargeRows[i], true);
        }
    }

    // Every row a key may take (both configuration versions, both impedances).
    void addKey(const FunctionDef& def, int32_t range, bool is412, int32_t rangeMax) {
        bool discharged = def.func == TYPE_CAP && range > 5;
        SimQuantity quantity = discharged ? SimQuantity::CapDischarge : def.quantity;
        size_t first = SIZE_MAX;
        for (uint32_t cfgVer = 0; cfgVer < 2; ++cfgVer) {
            for (uint32_t impe = 0; impe < 2; ++impe) {
                AdcRowChoice choice;
                VornaAdcChooseRow(def.func, range, rangeMax, is412, cfgVer, impe, choice);
                size_t c = findOrAdd(*choice.row, choice.relay, quantity);
                if (discharged) continue;  // the discharge row measures nothing
                uses.push_back({def.func, range, is412, c});
                if (first == SIZE_MAX) first = c;
                parent[root(c)] = root(first);
            }
        }
    }

    // A key reads the same on both models, so its configurations share a gain;
    // so do keys on one configuration. The largest full scale of a group sits
    // at 4,000,000 counts.
    void assignGains() {
        for (size_t i = 0; i < uses.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                if (uses[i].func == uses[j].func && uses[i].range == uses[j].range) {
                    parent[root(uses[i].config)] = root(uses[j].config);
                }
            }
        }
        std::vector<double> groupScale(configs.size(), 0.0);
        for (const KeyUse& use : uses) {
            double& scale = groupScale[root(use.config)];
            scale = std::max(scale, fullScaleSI(use.func, use.range, use.is412));
        }
        for (size_t i = 0; i < configs.size(); ++i) {
            double scale = groupScale[root(i)];
            configs[i].countsPerUnit = scale > 0 ? kSimFullScaleCounts / scale : 0.0;
        }
    }

    void buildKeys() {
        for (const KeyUse& use : uses) {
            auto it = std::find_if(keys.begin(), keys.end(), [&](const SimKeyScale& k) {
                return k.func == use.func && k.range == use.range;
            });
            if (it == keys.end()) {
                keys.push_back({use.func, use.range, 0.0, 0.0, false, false});
                it = keys.end() - 1;
            }
            double scale = fullScaleSI(use.func, use.range, use.is412);
            if (scale * displayFactor(use.func, use.range) > it->fullScale) {
                it->fullScale = scale * displayFactor(use.func, use.range);
                it->rawAtFullScale = scale * configs[use.config].countsPerUnit;
            }
            (use.is412 ? it->model412 : it->model412E) = true;
        }
        for (size_t i = 0; i < 2; ++i) {
            int32_t range = kChargeRows[i];
            double millifarads = fullScaleSI(TYPE_CAP, range, true) * 1e3;
            double counts = kSimChargeSlope * (kChargeWaitMs[i] - 100);
            keys.push_back({TYPE_CAP, range, millifarads, 1e10 / counts, true, range < 7});
        }
        keys.push_back({TYPE_FREQ, 0, 1000.0, 1e6, true, true});
        std::sort(keys.begin(), keys.end(), [](const SimKeyScale& a, const SimKeyScale& b) {
            return a.func != b.func ? a.func < b.func : a.range < b.range;
        });
    }

    std::vector<size_t> parent;
    std::vector<KeyUse> uses;
};

const ConfigTable& table() {
    static const ConfigTable instance;
    return instance;
}

} // namespace

const std::vector<SimFrontEndConfig>& simFrontEndConfigs() { return table().configs; }

int simIdentifyConfig(const uint8_t* regs, uint8_t relay) {
    const auto& configs = table().configs;
    for (size_t i = 0; i < configs.size(); ++i) {
        if (configs[i].relay != relay) continue;
        bool match = true;
        for (const SimRegCheck& check : configs[i].checks) {
            if ((regs[check.addr] & check.mask) != check.value) {
                match = false;
                break;
            }
        }
        if (match) return static_cast<int>(i);
    }
    return -1;
}

const std::vector<SimKeyScale>& simCalibrationKeys() { return table().keys; }

} // namespace platform
