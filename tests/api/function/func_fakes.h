#pragma once
// A recording backend for the function settings: every push to the engine,
// the driver and the UI lands in one ordered log, and every record the driver
// receives is checked against the range tables.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FuncBackend.h"
#include "FuncRangeTables.h"
#include "FunctionManage.h"
#include "RangeInfoTables.h"
#include "proto_values.h"

using ValueMap = google::protobuf::Map<int, Value>;

class FakeBackend : public FuncBackend {
public:
    std::string modelText = "MV412";
    bool beeper = true, show5 = false;
    int sensor = TYPE_DCV;
    std::vector<std::string> log;  // "main F", "resi R", "impe I", "adc F U", "ui N", "second E F", "clear2", ...
    std::vector<std::pair<int, ValueMap>> pushes;
    std::vector<structFuncConfig> adc, mains;
    std::vector<std::string> violations;  // driver records outside the tables
    std::vector<bool> readingWaits;       // waitFirst of each latest-reading request
    std::function<void()> onMain;         // runs inside each engine hand-over, as the engine asks back

    std::string model() override { return modelText; }
    unsigned int cfgVer() override { return 3; }
    bool beeperOn() override { return beeper; }
    void beeperSet(bool on) override { beeper = on, note("beeper"); }
    void systemInfoSync() override { note("sync"); }
    void adcSetMode412(bool) override {}
    void adcSetCfgVer(unsigned int) override {}
    void adcSetDcvImpe(unsigned int impe) override { note("impe " + std::to_string(impe)); }
    void adcUpdateConfig(MeasureTypeEnum f, const structFuncConfig& cfg, bool update) override {
        note("adc " + std::to_string(f) + " " + std::to_string(update), &adc, &cfg);
        checkDriverRecord(cfg);
    }
    void updateMainFunc(MeasureTypeEnum f, const structFuncConfig& cfg) override {
        note("main " + std::to_string(f), &mains, &cfg);
        if (onMain) onMain();
    }
    void updateContResi(float ohms) override { note("resi " + std::to_string(static_cast<int>(ohms))); }
    void update2ndFunc(bool on, MeasureTypeEnum f, const structFuncConfig&) override {
        note("second " + std::to_string(on) + " " + std::to_string(f));
    }
    void clearFunc2Buffer() override { note("clear2"); }
    bool ohmShow5() override { return show5; }
    void setOhmShow5(bool on) override { show5 = on; }
    int readingText(bool secondary, bool waitFirst, std::string& text) override {
        readingWaits.push_back(waitFirst);
        text = secondary ? text : "+1.00000000E+00";
        return secondary ? 44 : 0;
    }
    // Numbers as they are, texts through strtod ("abc" refused), other kinds 54.
    int rangeNumber(int, const Value& v, double& number) override {
        if (v.value_case() == Value::kF64Val) {
            number = v.f64val();
            return 0;
        }
        if (v.value_case() != Value::kStrVal) return 54;
        char* end = nullptr;
        number = std::strtod(v.strval().c_str(), &end);
        return (*end || end == v.strval().c_str()) ? 31 : 0;
    }
    // The lowest range whose nominal value is not below the number.
    int rangeIndex(int func, double number, int& range) override {
        for (const auto& entry : mapRangeEnumToValue.at(func)) {
            if (number == -1.0 || entry.first < 0) continue;
            range = entry.first;
            if (entry.second >= number) break;
        }
        return 0;
    }
    bool dualAllowed(int second, int primary) override { return duaFuncMap[second][primary] == 2; }
    int sensorBaseFunction() override { return sensor; }
    void push(service_id id, ValueMap payload) override {
        note("ui " + std::to_string(id));
        std::lock_guard<std::mutex> lock(mtx);
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
            if (it->first == id) return it->second;
        }
        return {};
    }

private:
    void note(const std::string& line, std::vector<structFuncConfig>* records = nullptr,
              const structFuncConfig* cfg = nullptr) {
        std::lock_guard<std::mutex> lock(mtx);
        log.push_back(line);
        if (records) records->push_back(*cfg);
    }
    // The driver indexes its row tables by real function, range and rate.
    void checkDriverRecord(const structFuncConfig& cfg) {
        const auto& table = modelText == "MV412" ? mapRangeEnumToValue : mapRangeEnumToValue_MV412E;
        const int f = cfg.eRealFunc;
        bool ok = f >= 0 && f < TYPE_PERIOD && cfg.eRate >= E_Slow && cfg.eRate <= E_Fast && cfg.s32AutoZ >= 0 &&
                  cfg.s32AutoZ <= 1;
        ok = ok && (table.count(f) ? cfg.s32Range >= 0 && table.at(f).count(cfg.s32Range) : cfg.s32Range == 0);
        if (!ok) {
            std::lock_guard<std::mutex> lock(mtx);
            violations.push_back("func " + std::to_string(f) + " range " + std::to_string(cfg.s32Range));
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
        fm->getCallbacks(entries);
        backend.reset();
    }
    // Calls the handler bound to `id` the way the hub does.
    int call(unsigned int id, unsigned int source, const ValueMap& in, ValueMap* out = nullptr) {
        ValueMap reply;
        return entries.at(id)(source, in, out ? out : &reply);
    }
    FakeBackend backend;
    std::unique_ptr<FunctionManage> fm;
    std::map<unsigned int, cb_func> entries;
};
