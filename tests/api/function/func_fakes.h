#pragma once
// A recording backend for the function settings: every push to the engine,
// the driver and the UI lands in one ordered log, and every record the driver
// receives is checked against the range tables.
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FuncBackend.h"
#include "FuncRangeTables.h"
#include "FunctionManage.h"

using ValueMap = google::protobuf::Map<int, Value>;

class FakeBackend : public FuncBackend {
public:
    std::string modelText = "MV412";
    bool beeper = true;
    bool show5 = false;
    int sensor = TYPE_DCV;
    std::vector<std::string> log;  // "main F", "resi R", "impe I", "adc F U", "ui N", "second E F", "clear2", ...
    std::vector<std::pair<int, ValueMap>> pushes;
    std::vector<structFuncConfig> adc, mains;
    std::vector<std::string> violations;  // driver records outside the tables

    std::string model() override { return modelText; }
    unsigned int cfgVer() override { return 3; }
    bool beeperOn() override { return beeper; }
    void beeperSet(bool on) override { beeper = on, note("beeper " + std::to_string(on)); }
    void systemInfoSync() override { note("sync"); }
    void adcSetMode412(bool) override {}
    void adcSetCfgVer(unsigned int) override {}
    void adcSetDcvImpe(unsigned int impe) override { note("impe " + std::to_string(impe)); }
    void adcUpdateConfig(MeasureTypeEnum f, const structFuncConfig& cfg, bool update) override {
        std::lock_guard<std::mutex> lock(mtx);
        log.push_back("adc " + std::to_string(f) + " " + std::to_string(update));
        adc.push_back(cfg);
        checkDriverRecord(cfg);
    }
    void updateMainFunc(MeasureTypeEnum f, const structFuncConfig& cfg) override {
        {
            std::lock_guard<std::mutex> lock(mtx);
            log.push_back("main " + std::to_string(f));
            mains.push_back(cfg);
        }
        if (onMain) {
            onMain();
        }
    }
    // Runs inside every engine hand-over, as the engine asks the settings back.
    std::function<void()> onMain;
    void updateContResi(float ohms) override { note("resi " + std::to_string(static_cast<int>(ohms))); }
    void update2ndFunc(bool on, MeasureTypeEnum f, const structFuncConfig&) override {
        note("second " + std::to_string(on) + " " + std::to_string(f));
    }
    void clearFunc2Buffer() override { note("clear2"); }
    bool ohmShow5() override { return show5; }
    void setOhmShow5(bool on) override { show5 = on; }
    int readingText(bool secondary, std::string& text) override {
        if (secondary) {
            return 44;
        }
        text = "+1.00000000E+00";
        return 0;
    }
    // Numbers as they are, "abc" refused, other kinds 54.
    int rangeNumber(int, const Value& v, double& number) override {
        if (v.value_case() == Value::kF64Val) {
            number = v.f64val();
            return 0;
        }
        if (v.value_case() == Value::kStrVal) {
            char* end = nullptr;
            number = std::strtod(v.strval().c_str(), &end);
            return *end == '\0' && end != v.strval().c_str() ? 0 : 31;
        }
        return 54;
    }
    int rangeIndex(int func, double number, int& range) override {
        if (number == -1.0) {
            range = -1;
            return 0;
        }
        auto row = mapRangeEnumToValue.find(func);
        if (row == mapRangeEnumToValue.end()) {
            return 54;
        }
        for (const auto& entry : row->second) {
            range = entry.first;
            if (entry.first >= 0 && entry.second >= number) {
                break;
            }
        }
        return 0;
    }
    bool dualAllowed(int second, int primary) override {
        static const std::map<int, std::vector<int>> allowed = {
            {TYPE_DCV, {TYPE_DCV}},   {TYPE_ACV, {TYPE_ACV, TYPE_PERIOD, TYPE_FREQ}},
            {TYPE_DCI, {TYPE_DCI}},   {TYPE_ACI, {TYPE_ACI}},
            {TYPE_OHM2, {TYPE_OHM2}}, {TYPE_OHM4, {TYPE_OHM4}},
            {TYPE_CAP, {TYPE_CAP}},   {TYPE_PERIOD, {TYPE_ACV, TYPE_ACI, TYPE_PERIOD}},
            {TYPE_FREQ, {TYPE_ACV, TYPE_ACI, TYPE_FREQ}},
        };
        auto it = allowed.find(second);
        return it != allowed.end() && std::find(it->second.begin(), it->second.end(), primary) != it->second.end();
    }
    int sensorBaseFunction() override { return sensor; }
    void push(service_id id, ValueMap payload) override {
        std::lock_guard<std::mutex> lock(mtx);
        log.push_back("ui " + std::to_string(id));
        pushes.emplace_back(id, std::move(payload));
    }

    void reset() {
        std::lock_guard<std::mutex> lock(mtx);
        log.clear(), pushes.clear(), adc.clear(), mains.clear();
    }
    // The last notification `id`; empty when none was pushed.
    ValueMap lastPush(int id) {
        std::lock_guard<std::mutex> lock(mtx);
        for (auto it = pushes.rbegin(); it != pushes.rend(); ++it) {
            if (it->first == id) {
                return it->second;
            }
        }
        return {};
    }

private:
    void note(const std::string& line) {
        std::lock_guard<std::mutex> lock(mtx);
        log.push_back(line);
    }
    // The driver indexes its row tables by real function, range and rate.
    void checkDriverRecord(const structFuncConfig& cfg) {
        const auto& table = modelText == "MV412" ? mapRangeEnumToValue : mapRangeEnumToValue_MV412E;
        const int f = cfg.eRealFunc;
        bool ok = f >= 0 && f < MEASURE_TYPE_COUNT && f != TYPE_PERIOD && f != TYPE_FREQ && f != TYPE_SENSOR;
        ok = ok && cfg.eRate >= E_Slow && cfg.eRate <= E_Fast && (cfg.s32AutoZ == 0 || cfg.s32AutoZ == 1);
        if (ok && table.count(f)) {
            ok = cfg.s32Range >= 0 && table.at(f).count(cfg.s32Range);
        } else if (ok) {
            ok = cfg.s32Range == 0;
        }
        if (!ok) {
            violations.push_back("func " + std::to_string(f) + " range " + std::to_string(cfg.s32Range) + " rate " +
                                 std::to_string(cfg.eRate));
        }
    }
    std::mutex mtx;
};

// A manager on a fake backend, past its first push, with the log cleared.
struct FuncFixture {
    explicit FuncFixture(const std::string& model = "MV412") {
        backend.modelText = model;
        fm.reset(new FunctionManage(backend));
        fm->FM_InitialPush();
        backend.reset();
    }
    // Calls the handler bound to `id` the way the hub does.
    int call(unsigned int id, unsigned int source, const ValueMap& in, ValueMap* out = nullptr) {
        std::map<unsigned int, cb_func> entries;
        fm->getCallbacks(entries);
        ValueMap reply;
        return entries.at(id)(source, in, out ? out : &reply);
    }
    FakeBackend backend;
    std::unique_ptr<FunctionManage> fm;
};

inline ValueMap request(int key, Value v) {
    ValueMap map;
    map[key] = v;
    return map;
}
inline Value s32(int v) {
    Value out;
    out.set_s32val(v);
    return out;
}
inline Value f64(double v) {
    Value out;
    out.set_f64val(v);
    return out;
}
inline Value str(const std::string& v) {
    Value out;
    out.set_strval(v);
    return out;
}
inline Value bval(bool v) {
    Value out;
    out.set_bval(v);
    return out;
}
