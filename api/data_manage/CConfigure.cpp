// CONFigure and CONFigure?, and the resolution and NPLC settings per
// function: remote parameters turned into a range index and a reading rate.
#include <cstdio>
#include <string>

#include "CDataManage.h"
#include "FunctionManage.h"
#include "Util/logger.h"
#include "proto_extract.h"
#include "proto_insert.h"

using ValueMap = google::protobuf::Map<int, Value>;

namespace {

// One function of the configure, resolution and NPLC families.
struct MeasRow {
    MeasureTypeEnum func;
    int rangeKey;
    int resolutionKey;         // 0: the function has no resolution parameter
    double configFallback;     // resolution of a parameter of another kind (CONFigure)
    double resolutionFallback; // the same for the resolution setter
    int nplcKey;
};
const MeasRow kRows[] = {
    {TYPE_DCV, 0x652, 0x61E, 0.0001, 0.0001, 0x262A},   {TYPE_ACV, 0x653, 0x61F, 0.0001, 0.0001, 0},
    {TYPE_DCI, 0x654, 0x620, 1e-6, 1e-6, 0x2606},       {TYPE_ACI, 0x656, 0x621, 1e-6, 1e-6, 0},
    {TYPE_OHM2, 0x658, 0x622, 1.0, 1.0, 0x2625},        {TYPE_OHM4, 0x659, 0x623, 1.0, 0.0001, 0x261E},
    {TYPE_CAP, 0x65A, 0, 0, 0, 0},
};
const MeasRow& rowOf(MeasureTypeEnum f) {
    for (const MeasRow& row : kRows) if (row.func == f) return row;
    return kRows[0];
}

std::string sci(double v) {
    char text[64];
    std::snprintf(text, sizeof(text), "%10.8E", v);
    return text;
}

// The MIN, MAX and DEF resolution of a range index (0 where none is known).
CDataManage::ParamWords resolutionWords(int key, int range) {
    CDataManage::ParamWords words{0, 0, 0, std::nullopt};
    auto byKey = scpiF64ResolutionMap.find(static_cast<uint32_t>(key));
    if (byKey == scpiF64ResolutionMap.end()) return words;
    auto row = byKey->second.find(range);
    if (row == byKey->second.end()) return words;
    words.min = row->second.at(MIN);
    words.max = row->second.at(MAX);
    words.def = row->second.at(DEF);
    return words;
}

// Resolution of a parameter: 0, or 31 for a text that is neither word nor number.
int resolutionOf(const Value& v, const CDataManage::ParamWords& words, double fallback, double& out) {
    if (v.value_case() != Value::kF64Val && v.value_case() != Value::kStrVal) {
        out = fallback;
        return 0;
    }
    return CDataManage::ScpiWordOrNumber(v, words, out);
}

} // namespace

void CDataManage::configTrigger() {
    TrigSingleCountSet(1);
    TrigSampleCountSet(1);
    TrigSourceSet(0);
}

int CDataManage::rangeParam(MeasureTypeEnum func, unsigned int source, const Value& v, int& range) {
    // The Corvane set's enumeration turns the range words and values into
    // range indexes, as its RANGe commands take them.
    if (source >= 1 && source <= 3 && v.value_case() == Value::kS32Val) {
        return FunctionManage::instance().FM_RangeOfIndex(func, v.s32val(), range);
    }
    double number = 0;
    const int result = ScpiInputTransToMinMaxDef(func, v, number);
    if (result != 0) {
        PrintE("Trans to min max def failed!");
        return result;
    }
    ScpiInputRangeTransToRealRange(func, number, range);
    return 0;
}

int CDataManage::measConfig(MeasureTypeEnum func, unsigned int source, const ValueMap& in) {
    const MeasRow& row = rowOf(func);
    int range = -1;
    if (const Value* v = findValue(in, row.rangeKey)) {
        const int result = rangeParam(func, source, *v, range);
        if (result != 0) return result;
    }
    int rate = E_Slow;
    if (const Value* v = row.resolutionKey ? findValue(in, row.resolutionKey) : nullptr) {
        double resolution = 0;
        if (resolutionOf(*v, resolutionWords(row.resolutionKey, range), row.configFallback, resolution) != 0) return 31;
        rate = ResolutionTransToRate(func, range, resolution);
    }
    selectWith(func, range, row.resolutionKey != 0, rate);
    configTrigger();
    return 0;
}

void CDataManage::selectWith(MeasureTypeEnum func, int range, bool hasRate, int rate) {
    FunctionManage& fm = FunctionManage::instance();
    const bool same = fm.FM_GetFunction() == func && range == fm.FM_GetRange(func) && (!hasRate || rate == fm.FM_GetRate());
    if (same) return;
    const bool rangeTaken = fm.FM_SetRange(func, range) == 0;
    if (hasRate) fm.FM_SetRate(func, static_cast<RateEnum>(rate));
    fm.FM_SetFunction(func);
    // Refused while CONT, DIODE or SENSOR was selected: now it applies.
    if (!rangeTaken) {
        fm.FM_SetRange(func, range);
        if (hasRate) fm.FM_SetRate(func, static_cast<RateEnum>(rate));
    }
}

int CDataManage::cbMeasDcvConfig(unsigned int source, const ValueMap& in, ValueMap*) {
    return measConfig(TYPE_DCV, source, in);
}
int CDataManage::cbMeasAcvConfig(unsigned int source, const ValueMap& in, ValueMap*) {
    PrintI("cbMeasAcvConfig start");
    return measConfig(TYPE_ACV, source, in);
}
int CDataManage::cbMeasDciConfig(unsigned int source, const ValueMap& in, ValueMap*) {
    return measConfig(TYPE_DCI, source, in);
}
int CDataManage::cbMeasAciConfig(unsigned int source, const ValueMap& in, ValueMap*) {
    PrintI("cbMeasAciConfig start");
    return measConfig(TYPE_ACI, source, in);
}
int CDataManage::cbMeas2WRConfig(unsigned int source, const ValueMap& in, ValueMap*) {
    return measConfig(TYPE_OHM2, source, in);
}
int CDataManage::cbMeas4WRConfig(unsigned int source, const ValueMap& in, ValueMap*) {
    return measConfig(TYPE_OHM4, source, in);
}
int CDataManage::cbMeasCapConfig(unsigned int source, const ValueMap& in, ValueMap*) {
    return measConfig(TYPE_CAP, source, in);
}

int CDataManage::cbMeasContConfig(unsigned int, const ValueMap& in, ValueMap*) {
    int threshold = 1000;
    int result = 0;
    if (const Value* v = findValue(in, 0x618)) {
        if (v->value_case() == Value::kS32Val && v->s32val() >= 1) {
            threshold = std::min(v->s32val(), 1000);
            result = v->s32val() > 1000 ? 130 : 0;
        } else {
            threshold = 1;
            result = 131;
        }
    }
    FunctionManage& fm = FunctionManage::instance();
    fm.ContResiConfig(threshold);
    if (fm.FM_GetFunction() != TYPE_CONT) fm.FM_SetFunction(TYPE_CONT);
    configTrigger();
    return result;
}

int CDataManage::selectOnly(MeasureTypeEnum func) {
    FunctionManage& fm = FunctionManage::instance();
    if (fm.FM_GetFunction() != func) fm.FM_SetFunction(func);
    configTrigger();
    return 0;
}

int CDataManage::cbMeasDiodeConfig(unsigned int, const ValueMap&, ValueMap*) { return selectOnly(TYPE_DIODE); }
int CDataManage::cbMeasPeriConfig(unsigned int, const ValueMap&, ValueMap*) { return selectOnly(TYPE_PERIOD); }
int CDataManage::cbMeasFreqConfig(unsigned int, const ValueMap&, ValueMap*) { return selectOnly(TYPE_FREQ); }

int CDataManage::cbMeasSensorConfig(unsigned int, const ValueMap& in, ValueMap*) {
    const int result = sensorSetup(in);
    if (result != 0) return result;
    configTrigger();
    return 0;
}

// The sensor function with the probe kind (key 0x2700) and type (0x2701) of
// a CONFigure or MEASure of temperature, activated.
int CDataManage::sensorSetup(const ValueMap& in) {
    FunctionManage& fm = FunctionManage::instance();
    if (fm.FM_GetFunction() != TYPE_SENSOR) fm.FM_SetFunction(TYPE_SENSOR);
    SensTempOrCustomSet(true);
    const Value* classKey = findValue(in, 0x2700);
    if (!classKey) {
        SensNewId(0);
    } else {
        const int c = s32Of(*classKey);
        // Class: RTD 4-wire, RTD 2-wire, thermistor 4-wire, thermistor 2-wire, thermocouple.
        struct Kind { int id, func; };
        const Kind kinds[] = {{1, TYPE_OHM4}, {1, TYPE_OHM2}, {2, TYPE_OHM4}, {2, TYPE_OHM2}, {0, -1}};
        if (c >= 0 && c <= 4) {
            int result = SensNewId(kinds[c].id);
            if (result == 0 && kinds[c].func >= 0) result = SensTempFuncSet(kinds[c].func);
            if (result != 0) return result;
        }
        if (const Value* typeKey = findValue(in, 0x2701)) {
            const unsigned t = static_cast<unsigned>(s32Of(*typeKey));
            // The span of type numbers of each class, and where its own count starts.
            const unsigned first[] = {0, 0, 4, 4, 9}, last[] = {3, 3, 8, 8, 16};
            unsigned sub = t;
            if (c >= 0 && c <= 4) {
                if (t < first[c] || t > last[c]) return 56;
                sub = t - first[c];
            }
            const int result = SensTypeSet(static_cast<int>(sub));
            if (result != 0) return result;
        }
    }
    postUISensorConfig();
    return SensConfigLoad();
}

int CDataManage::cbMeasConfigGet(unsigned int, const ValueMap&, ValueMap* out) {
    FunctionManage& fm = FunctionManage::instance();
    const MeasureTypeEnum f = fm.FM_GetFunction();
    std::string text = fm.FM_FuncTransToStrForCorvane(f);
    if (f <= TYPE_CAP) {
        const int r = fm.FM_GetRealRange(f);
        text += " " + sci(fm.FM_RangeTransToValue(f, r));
        if (f != TYPE_CAP) text += "," + sci(RangeAndRateTransToResolution(f, r, fm.FM_GetRate()));
    } else if (f == TYPE_SENSOR) {
        text = sensorConfigText();
    }
    insertStr(*out, 0x61D, text.c_str());
    return 0;
}

std::string CDataManage::sensorConfigText() {
    ProtoSensorFuncInfo info;
    ProtoSensorFuncInfoGet(info);
    const ProtoTempProperty& t = info.mprototempproperty();
    auto pick = [](const std::vector<const char*>& names, uint32_t i, const char* otherwise) {
        return std::string(i < names.size() ? names[i] : otherwise);
    };
    const char* fourWire = t.ms32type() == TYPE_OHM4 ? "4" : t.ms32type() == TYPE_OHM2 ? "2" : "";
    switch (t.mu32tempsensortype()) {
    case 0: return "TEMP TC," + pick({"B", "E", "J", "K", "N", "R", "S", "T"}, t.mu32tctype(), "B");
    case 1: {
        const std::string prefix = *fourWire == '4' ? "TEMP FRTD" : *fourWire == '2' ? "TEMP RTD" : "";
        return prefix + "," + pick({"385", "389", "391", "392"}, t.mu32rtdaf(), "385");
    }
    case 2: {
        const std::string prefix = *fourWire == '4' ? "TEMP FTH" : *fourWire == '2' ? "TEMP THER" : "";
        return prefix + "," + pick({"2200", "3000", "5000", "10000", "30000"}, t.mu32thermresvalue(), "5000");
    }
    default: return ",";
    }
}

// ------------------------------------------------------------- resolution and NPLC

int CDataManage::resolutionSet(MeasureTypeEnum func, const ValueMap& in) {
    const MeasRow& row = rowOf(func);
    const Value* v = findValue(in, row.resolutionKey);
    if (!v) return 8;
    FunctionManage& fm = FunctionManage::instance();
    const int range = fm.FM_GetRealRange(func);
    double resolution = 0;
    if (resolutionOf(*v, resolutionWords(row.resolutionKey, range), row.resolutionFallback, resolution) != 0) return 31;
    return applyRate(func, ResolutionTransToRate(func, range, resolution));
}

int CDataManage::applyRate(MeasureTypeEnum func, int rate) {
    FunctionManage& fm = FunctionManage::instance();
    if (fm.FM_GetFunction() == func && rate == fm.FM_GetRate(func)) return 0;
    fm.FM_SetRate(func, static_cast<RateEnum>(rate));
    fm.FM_SetFunction(func);
    return 0;
}

int CDataManage::resolutionGet(MeasureTypeEnum func, ValueMap* out) {
    FunctionManage& fm = FunctionManage::instance();
    const double resolution = RangeAndRateTransToResolution(func, fm.FM_GetRealRange(func), fm.FM_GetRate());
    insertStr(*out, rowOf(func).resolutionKey, sci(resolution).c_str());
    return 0;
}

int CDataManage::nplcSet(MeasureTypeEnum func, const ValueMap& in) {
    const Value* v = findValue(in, rowOf(func).nplcKey);
    if (!v) return 8;
    double nplc = 0;
    const int result = ScpiNplcInputTransToRealNplc(*v, nplc);
    if (result != 0) {
        PrintE("Trans to Real Nplc failed!");
        return result;
    }
    return applyRate(func, NplcTransToRate(nplc));
}

int CDataManage::nplcGet(MeasureTypeEnum func, ValueMap* out) {
    auto it = scpiF64NplcToRateMap.find(FunctionManage::instance().FM_GetRate(func));
    insertStr(*out, rowOf(func).nplcKey, sci(it == scpiF64NplcToRateMap.end() ? 20.0 : it->second).c_str());
    return 0;
}

int CDataManage::cbMeasDcvResolutionSet(unsigned int, const ValueMap& in, ValueMap*) { return resolutionSet(TYPE_DCV, in); }
int CDataManage::cbMeasDcvResolutionGet(unsigned int, const ValueMap&, ValueMap* out) { return resolutionGet(TYPE_DCV, out); }
int CDataManage::cbMeasDciResolutionSet(unsigned int, const ValueMap& in, ValueMap*) { return resolutionSet(TYPE_DCI, in); }
int CDataManage::cbMeasDciResolutionGet(unsigned int, const ValueMap&, ValueMap* out) { return resolutionGet(TYPE_DCI, out); }
int CDataManage::cbMeasOhm2ResolutionSet(unsigned int, const ValueMap& in, ValueMap*) { return resolutionSet(TYPE_OHM2, in); }
int CDataManage::cbMeasOhm2ResolutionGet(unsigned int, const ValueMap&, ValueMap* out) { return resolutionGet(TYPE_OHM2, out); }
int CDataManage::cbMeasOhm4ResolutionSet(unsigned int, const ValueMap& in, ValueMap*) { return resolutionSet(TYPE_OHM4, in); }
int CDataManage::cbMeasOhm4ResolutionGet(unsigned int, const ValueMap&, ValueMap* out) { return resolutionGet(TYPE_OHM4, out); }
int CDataManage::cbSenseDcvNplcSet(unsigned int, const ValueMap& in, ValueMap*) { return nplcSet(TYPE_DCV, in); }
int CDataManage::cbSenseDcvNplcGet(unsigned int, const ValueMap&, ValueMap* out) { return nplcGet(TYPE_DCV, out); }
int CDataManage::cbSenseDciNplcSet(unsigned int, const ValueMap& in, ValueMap*) { return nplcSet(TYPE_DCI, in); }
int CDataManage::cbSenseDciNplcGet(unsigned int, const ValueMap&, ValueMap* out) { return nplcGet(TYPE_DCI, out); }
int CDataManage::cbSenseOhm2NplcSet(unsigned int, const ValueMap& in, ValueMap*) { return nplcSet(TYPE_OHM2, in); }
int CDataManage::cbSenseOhm2NplcGet(unsigned int, const ValueMap&, ValueMap* out) { return nplcGet(TYPE_OHM2, out); }
int CDataManage::cbSenseOhm4NplcSet(unsigned int, const ValueMap& in, ValueMap*) { return nplcSet(TYPE_OHM4, in); }
int CDataManage::cbSenseOhm4NplcGet(unsigned int, const ValueMap&, ValueMap* out) { return nplcGet(TYPE_OHM4, out); }
