// Message handlers of the math functions: selection, statistics, dB and dBm
// with their references, scaling, the limit test and the relative offset of
// the main function. Each changes the math state under m_bufferMtx and calls
// out (auto-hold, notifications, function settings) holding no engine lock.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "FunctionManage.h"
#include "Util/logger.h"
#include "inc_enum.h"

namespace {

using ValueMap = CDataManage::ValueMap;

constexpr unsigned kTextKey = 0x40000000;

const Value* param(const ValueMap& in, int key) {
    auto it = in.find(key);
    if (it == in.end()) {
        PrintE("Missing parameter!");
        return nullptr;
    }
    return &it->second;
}

bool boolOf(const Value& v) { return v.value_case() == Value::kBVal && v.bval(); }
bool isRemote(unsigned int source) { return source >= 1 && source <= 3; }
bool isVolt(MeasureTypeEnum f) { return f == TYPE_DCV || f == TYPE_ACV; }
bool isTwoWire(MeasureTypeEnum f) { return f == TYPE_CONT || f == TYPE_DIODE; }

// A number under its item code and its "%10.8E" text under the text key.
void numberReply(ValueMap* out, int key, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%10.8E", value);
    insertF64(*out, key, value);
    insertStr(*out, static_cast<int>(kTextKey + key - 1), text);
}

int clampTo(double& v, double min, double max) {
    if (v > max) {
        v = max;
        return E1002_ABOVE_UPPER_LIMIT;
    }
    if (v < min) {
        v = min;
        return E1003_BELOW_LOWER_LIMIT;
    }
    return 0;
}

const CDataManage::MathBounds kDbRef = {-120, 120, 0};
const CDataManage::MathBounds kDbmRef = {2, 8000, 600};

} // namespace

// ------------------------------------------------------------- helpers

void CDataManage::mathSwitchOnPush() {
    TrigAutoHoldSet(false);
    ValueMap map;
    {
        std::lock_guard<std::mutex> lock(m_notifyMtx);
        insertStr(map, 0x400, m_tempnum.c_str());
        insertStr(map, 0x401, m_tempunit.c_str());
    }
    insertStr(map, 0x701, "");
    insertU32(map, 0x809, 3);
    push(UPDATE_MEASURE_DATA, std::move(map));
}

void CDataManage::mathReadingRefresh() {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    DM_NotifyClient(true, 0.0, DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(range, 0)), 0.0));
}

int CDataManage::mathStatResult(int key, double value, ValueMap* out) {
    numberReply(out, key, value);
    return 0;
}

// ------------------------------------------------------------- selection

int CDataManage::cbCalculateFuncSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x810);
    if (!v) return E109_MISSING_PARAMETER;
    if (v->value_case() != Value::kS32Val || v->s32val() < CALC_DB || v->s32val() > CALC_PF) {
        PrintE("Illegal parameter value!");
        return E224_ILLEGAL_PARAMETER_VALUE;
    }
    static const struct {
        enumMathFunc func;
        int totalize;  // -1: unchanged
    } kSelect[] = {{MATH_DB, -1},           {MATH_DBM, -1},           {MATH_MIN_MAX, MATH_TOTAL_MIN},
                   {MATH_MIN_MAX, MATH_TOTAL_MAX}, {MATH_MIN_MAX, MATH_TOTAL_AVE}, {MATH_MIN_MAX, MATH_TOTAL_ALL},
                   {MATH_LIMIT, -1}};
    const auto& sel = kSelect[v->s32val() - CALC_DB];
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        g_stMathPara.euMathFunc = sel.func;
        if (sel.func != MATH_LIMIT) g_stMathPara.stAver.u64Count = 0;
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.set_ms32mathfunc(sel.func);
        if (sel.totalize >= 0) m_protoMathFuncInfo.set_mcurmathtotalize(sel.totalize);
        m_protoMathFuncInfo.set_mbmathswitch(g_stMathPara.bMathSwitch);
    }
    postUICalculateConfig();
    return 0;
}

// Switches math on with `func` or off; m_bufferMtx held.
static void mathSwitch(ProtoMathFuncInfo& record, std::mutex& recordMtx, bool on, enumMathFunc func, int totalize) {
    if (on) {
        g_stMathPara.euMathFunc = func;
        g_stMathPara.bMathSwitch = true;
    } else {
        g_stMathPara.bMathSwitch = false;
    }
    std::lock_guard<std::mutex> recordLock(recordMtx);
    if (on) record.set_ms32mathfunc(func);
    if (on && totalize >= 0) record.set_mcurmathtotalize(totalize);
    record.set_mbmathswitch(g_stMathPara.bMathSwitch);
}

int CDataManage::cbCalculateStatisticSet(unsigned int, const ValueMap& in, ValueMap*) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (func != TYPE_SENSOR && mathAutoRange(func)) {
        PrintE("Setting conflict! rang = %d", -1);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = param(in, 0x2000);
    if (!v) return E109_MISSING_PARAMETER;
    if (isTwoWire(func)) {
        PrintE("Setting conflict! main func = %d", func);
        return E221_SETTING_CONFLICT;
    }
    const bool on = boolOf(*v);
    if (on) TrigAutoHoldSet(false);
    CalculateResetCalAver();
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        mathSwitch(m_protoMathFuncInfo, _mtx, on, MATH_MIN_MAX, MATH_TOTAL_ALL);
    }
    mathReadingRefresh();
    postUICalculateConfig();
    return 0;
}

int CDataManage::cbCalculatePFStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (func != TYPE_SENSOR && mathAutoRange(func)) {
        PrintE("Setting Conflict range = %d", -1);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = param(in, 0x2005);
    if (!v) return E109_MISSING_PARAMETER;
    if (isTwoWire(func)) {
        PrintE("Setting Conflict main func = %d", func);
        return E221_SETTING_CONFLICT;
    }
    const bool on = boolOf(*v);
    if (on) TrigAutoHoldSet(false);
    CalculateLimitClear();
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        mathSwitch(m_protoMathFuncInfo, _mtx, on, MATH_LIMIT, -1);
    }
    mathReadingRefresh();
    postUICalculateConfig();
    return 0;
}

int CDataManage::CalculateDbStateSet(bool on) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (!isVolt(func)) {
        PrintE("Setting Conflict main func = %d", func);
        return E221_SETTING_CONFLICT;
    }
    if (on) mathSwitchOnPush();
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    mathSwitch(m_protoMathFuncInfo, _mtx, on, MATH_DB, MATH_DB);
    return 0;
}

int CDataManage::cbCalculateDBStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (mathAutoRange(func)) {
        PrintE("Setting conflict! rang = %d", -1);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = param(in, 0x801);
    if (!v) return E109_MISSING_PARAMETER;
    const int result = CalculateDbStateSet(boolOf(*v));
    postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateDBMStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (mathAutoRange(func)) {
        PrintE("Setting Conflict range = %d", -1);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = param(in, 0x804);
    if (!v) return E109_MISSING_PARAMETER;
    if (!isVolt(func)) {
        PrintE("Setting Conflict main func = %d", func);
        return E221_SETTING_CONFLICT;
    }
    const bool on = boolOf(*v);
    if (on) mathSwitchOnPush();
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        mathSwitch(m_protoMathFuncInfo, _mtx, on, MATH_DBM, MATH_DBM);
    }
    postUICalculateConfig();
    return 0;
}

int CDataManage::CalculateScalStateSet(bool on) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    enumMathFunc math;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        math = g_stMathPara.euMathFunc;
    }
    if (!isVolt(func) || (math != MATH_DB && math != MATH_DBM)) {
        PrintE("Setting Conflict main func = %d", func);
        return E221_SETTING_CONFLICT;
    }
    if (on) mathSwitchOnPush();
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    mathSwitch(m_protoMathFuncInfo, _mtx, on, g_stMathPara.euMathFunc, -1);
    return 0;
}

int CDataManage::cbCalculateScaleStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x2003);
    if (!v) return E109_MISSING_PARAMETER;
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (func != TYPE_SENSOR && mathAutoRange(func)) {
        PrintE("Setting Conflict range = %d", -1);
        return E221_SETTING_CONFLICT;
    }
    const int result = CalculateScalStateSet(boolOf(*v));
    if (result == 0) postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateScaleFunctionSet(unsigned int, const ValueMap& in, ValueMap*) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (!isVolt(func)) {
        PrintE("Setting Conflict main func = %d", func);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = param(in, 0x2004);
    if (!v) return E109_MISSING_PARAMETER;
    const int value = v->value_case() == Value::kS32Val ? v->s32val() : 0;
    if (value != MATH_DB && value != MATH_DBM) {
        PrintE("Setting Conflict math func = %d", value);
        return E221_SETTING_CONFLICT;
    }
    mathSwitchOnPush();
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        g_stMathPara.euMathFunc = static_cast<enumMathFunc>(value);
        g_stMathPara.stAver.u64Count = 0;
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.set_ms32mathfunc(value);
    }
    postUICalculateConfig();
    return 0;
}

// ------------------------------------------------------------- states

int CDataManage::cbCalculateStatisticGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    insertBval(*out, 0x2000, g_stMathPara.bMathSwitch && g_stMathPara.euMathFunc == MATH_MIN_MAX);
    return 0;
}

int CDataManage::cbCalculatePFStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    insertBval(*out, 0x2005, g_stMathPara.bMathSwitch && g_stMathPara.euMathFunc == MATH_LIMIT);
    return 0;
}

int CDataManage::cbCalculateDBStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (!isVolt(func)) {
        PrintE("Query error main func = %d", func);
        return E400_QUERY_ERROR;
    }
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    insertBval(*out, 0x801, g_stMathPara.bMathSwitch && g_stMathPara.euMathFunc == MATH_DB);
    return 0;
}

int CDataManage::cbCalculateDBMStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    insertBval(*out, 0x804, g_stMathPara.bMathSwitch && g_stMathPara.euMathFunc == MATH_DBM);
    return 0;
}

int CDataManage::cbCalculateScaleStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    if (g_stMathPara.euMathFunc != MATH_DB && g_stMathPara.euMathFunc != MATH_DBM) return E400_QUERY_ERROR;
    insertBval(*out, 0x2003, g_stMathPara.bMathSwitch);
    return 0;
}

int CDataManage::cbCalculateScaleFunctionGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    const enumMathFunc f = g_stMathPara.euMathFunc;
    if (f != MATH_DB && f != MATH_DBM) return E400_QUERY_ERROR;
    insertS32(*out, 0x810, f);
    insertStr(*out, static_cast<int>(kTextKey + 0x80F), f == MATH_DB ? "DB" : "DBM");
    return 0;
}

// ------------------------------------------------------------- results

int CDataManage::cbCalculateDBGet(unsigned int, const ValueMap&, ValueMap* out) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (!isVolt(func)) {
        PrintE("Query error main func = %d", func);
        return E400_QUERY_ERROR;
    }
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != MATH_DB) {
        PrintE("Query error math enable = %d math func = %d", g_stMathPara.bMathSwitch, g_stMathPara.euMathFunc);
        return E400_QUERY_ERROR;
    }
    insertF64(*out, 0x802, g_f64MathValue);
    return 0;
}

int CDataManage::cbCalculateDBMGet(unsigned int, const ValueMap&, ValueMap* out) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (!isVolt(func)) {
        PrintE("Query error main func = %d", func);
        return E400_QUERY_ERROR;
    }
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != MATH_DBM) {
        PrintE("Query error math enable = %d math func = %d", g_stMathPara.bMathSwitch, g_stMathPara.euMathFunc);
        return E400_QUERY_ERROR;
    }
    numberReply(out, 0x805, g_f64MathValue);
    return 0;
}

// The statistics answer only while they run.
#define MATH_STAT_GETTER(name, key, expr)                                                  \
    int CDataManage::name(unsigned int, const ValueMap&, ValueMap* out) {                 \
        std::lock_guard<std::mutex> lock(m_bufferMtx);                                     \
        const structMathAver& a = g_stMathPara.stAver;                                     \
        if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != MATH_MIN_MAX) return E400_QUERY_ERROR; \
        return mathStatResult(key, (expr), out);                                           \
    }
MATH_STAT_GETTER(cbCalculateAverageGet, 0x703, a.f64Aver)
MATH_STAT_GETTER(cbCalculateMaxGet, 0x701, a.f64Max)
MATH_STAT_GETTER(cbCalculateMinGet, 0x702, a.f64Min)
MATH_STAT_GETTER(cbCalculateSdeviationGet, 0x705, a.f64SDev)
MATH_STAT_GETTER(cbCalculatePeakGet, 0x704, a.f64Max - a.f64Min)
#undef MATH_STAT_GETTER

int CDataManage::cbCalculateCountGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != MATH_MIN_MAX) return E400_QUERY_ERROR;
    char text[64];
    std::snprintf(text, sizeof(text), "%lld", static_cast<long long>(g_stMathPara.stAver.u64Count));
    insertU64(*out, 0x706, g_stMathPara.stAver.u64Count);
    insertStr(*out, static_cast<int>(kTextKey + 0x705), text);
    return 0;
}

int CDataManage::cbCalculateAverageAllGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != MATH_MIN_MAX) return E400_QUERY_ERROR;
    const structMathAver& a = g_stMathPara.stAver;
    char text[128];
    std::snprintf(text, sizeof(text), "%10.8E,%10.8E,%10.8E,%10.8E", a.f64Aver, a.f64SDev, a.f64Min, a.f64Max);
    insertStr(*out, 0x2001, text);
    return 0;
}

int CDataManage::cbCalculatePFGet(unsigned int, const ValueMap&, ValueMap* out) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (isTwoWire(func)) {
        PrintE("Query error main func = %d", func);
        return E400_QUERY_ERROR;
    }
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    const structFuncLimit& l = g_stMathPara.stLimit;
    int result = PF_PASS;
    if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != MATH_LIMIT) {
        result = PF_OFF;
    } else if (l.euLmtStat == LIMIT_FAIL && (l.u8LimitResult == PF_HI || l.u8LimitResult == PF_LO)) {
        result = l.u8LimitResult;
    }
    // A failed episode whose latest result is a pass answers as a pass.
    static const char* const kText[] = {"PASS", "HI", "LO", "OFF"};
    insertS32(*out, 0x809, result);
    insertStr(*out, static_cast<int>(kTextKey + 0x808), kText[result]);
    return 0;
}

// ------------------------------------------------------------- references

int CDataManage::cbCalculateDBREFESet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x800);
    if (!v) return E109_MISSING_PARAMETER;
    double value;
    int result = mathNumberParam(source, *v, kDbRef, -1, structRangeInfo{}, false, "CmdStr Parse Num Failed!", value);
    if (result != 0) return result;
    result = clampTo(value, kDbRef.min, kDbRef.max);
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        g_stMathPara.f64Db = value;
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.set_mf64db(value);
    }
    postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateDBMREFESet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x803);
    if (!v) return E109_MISSING_PARAMETER;
    double value;
    int result = mathNumberParam(source, *v, kDbmRef, -1, structRangeInfo{}, true, "CmdStr Parse Num Failed!!", value);
    if (result != 0) return result;
    result = clampTo(value, kDbmRef.min, kDbmRef.max);
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        g_stMathPara.u32RefR = static_cast<uint32_t>(value);
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.set_mu32refr(static_cast<uint32_t>(value));
    }
    postUICalculateConfig();
    return result;
}

// Reference query: the current value, or MIN/MAX/DEF asked by number or word.
static int referenceQuery(const ValueMap& in, int key, const CDataManage::MathBounds& b, double current,
                          ValueMap* out) {
    auto it = in.find(key);
    double value = current;
    if (it != in.end()) {
        const Value& v = it->second;
        const std::string word = v.value_case() == Value::kStrVal ? v.strval() : std::string();
        const int n = v.value_case() == Value::kS32Val ? v.s32val() : 0;
        if (n == MIN || word == "min" || word == "minimum") {
            value = b.min;
        } else if (n == MAX || word == "max" || word == "maximum") {
            value = b.max;
        } else if (n == DEF || word == "def" || word == "default") {
            value = b.def;
        } else {
            return E220_PARAMETER_ERROR;
        }
    }
    insertF64(*out, key, value);
    return 0;
}

int CDataManage::cbCalculateDBREFEGet(unsigned int, const ValueMap& in, ValueMap* out) {
    double current;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        current = g_stMathPara.f64Db;
    }
    return referenceQuery(in, 0x800, kDbRef, current, out);
}

int CDataManage::cbCalculateDBMREFEGet(unsigned int, const ValueMap& in, ValueMap* out) {
    double current;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        current = g_stMathPara.u32RefR;
    }
    return referenceQuery(in, 0x803, kDbmRef, current, out);
}

// ------------------------------------------------------------- limits

// A limit or offset for the main function: its bounds and the number.
static int userValue(CDataManage& e, unsigned int source, const Value& v, CDataManage::MathBounds& b,
                     MeasureTypeEnum& func, double& value) {
    int32_t range;
    const int result = e.mathBounds(b, func, range);
    if (result != 0) return result;
    return e.mathNumberParam(source, v, b, func, e.DM_GetRangeInfo(func, static_cast<uint32_t>(range), 0.0), false,
                             "CmdStr Parse Num Failed!!", value);
}

int CDataManage::CalculatePFLowerSet(unsigned int source, const Value& v) {
    MathBounds b;
    MeasureTypeEnum func;
    double value;
    int result = userValue(*this, source, v, b, func, value);
    if (result != 0) return result;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        structFuncLimit& l = g_stMathPara.stLimit;
        PrintI("f64Val = %lf  g_stMathPara.stLimit.f64High = %lf   %d", value, l.f64High, value < l.f64High ? 1 : 0);
        if (value >= l.f64High) return E1002_ABOVE_UPPER_LIMIT;
        result = clampTo(value, b.min, b.max);
        l.f64Low = value;
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.mutable_mprotolimit()->set_mf64low(value);
    }
    postUICalculateConfig();
    return result;
}

int CDataManage::CalculatePFUpperSet(unsigned int source, const Value& v) {
    MathBounds b;
    MeasureTypeEnum func;
    double value;
    int result = userValue(*this, source, v, b, func, value);
    if (result != 0) return result;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        structFuncLimit& l = g_stMathPara.stLimit;
        if (value <= l.f64Low) return E1003_BELOW_LOWER_LIMIT;
        result = clampTo(value, b.min, b.max);
        l.f64High = value;
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.mutable_mprotolimit()->set_mf64high(value);
    }
    postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculatePFLowerSet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x806);
    if (!v) return E109_MISSING_PARAMETER;
    const int result = CalculatePFLowerSet(source, *v);
    if (result == 0) postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculatePFUpperSet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x807);
    if (!v) return E109_MISSING_PARAMETER;
    const int result = CalculatePFUpperSet(source, *v);
    if (result == 0) postUICalculateConfig();
    return result;
}

// A user value of the main function, in base units for remote control.
static void userValueReply(CDataManage& e, unsigned int source, int key, double value, ValueMap* out) {
    MeasureTypeEnum func;
    int32_t range;
    e.mathMainFunc(func, range);
    if (isRemote(source)) {
        const int real = FunctionManage::instance().FM_GetRealRange(func);
        e.DataFormatForScpiCalcUnit(func, value, value, e.DM_GetRangeInfo(func, static_cast<uint32_t>(real), 0.0));
    }
    numberReply(out, key, value);
}

int CDataManage::cbCalculatePFLowerGet(unsigned int source, const ValueMap&, ValueMap* out) {
    double value;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        value = g_stMathPara.stLimit.f64Low;
    }
    userValueReply(*this, source, 0x806, value, out);
    return 0;
}

int CDataManage::cbCalculatePFUpperGet(unsigned int source, const ValueMap&, ValueMap* out) {
    double value;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        value = g_stMathPara.stLimit.f64High;
    }
    userValueReply(*this, source, 0x807, value, out);
    return 0;
}

// ------------------------------------------------------------- relative (main function)

int CDataManage::cbCalculateRelOffsetSet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x80D);
    if (!v) return E109_MISSING_PARAMETER;
    MathBounds b;
    MeasureTypeEnum func;
    double value;
    int result = userValue(*this, source, *v, b, func, value);
    if (result != 0) return result;
    result = clampTo(value, b.min, b.max);
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        stCalcConfig[func].bAutoEnable = false;
        stCalcConfig[func].f64RELValue = value;
        mathRecordRel(func);
    }
    postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateRelOffsetGet(unsigned int source, const ValueMap&, ValueMap* out) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (isTwoWire(func)) {
        PrintE("Query error main func = %d", func);
        return E400_QUERY_ERROR;
    }
    double value;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        value = stCalcConfig[func].f64RELValue;
    }
    userValueReply(*this, source, 0x80D, value, out);
    return 0;
}

int CDataManage::cbCalculateRelStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = param(in, 0x80E);
    if (!v) return E109_MISSING_PARAMETER;
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    const int result = CalculateRelStateSet(func, boolOf(*v));
    if (result == 0) postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateRelStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    if (isTwoWire(func)) {
        PrintE("Query error main func = %d", func);
        return E400_QUERY_ERROR;
    }
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    insertBval(*out, 0x80E, stCalcConfig[func].bRELEnable);
    return 0;
}

// ------------------------------------------------------------- clears

int CDataManage::cbCalculateAverageClear(unsigned int, const ValueMap&, ValueMap*) { return CalculateResetCalAver(); }
int CDataManage::cbCalculateLimitClear(unsigned int, const ValueMap&, ValueMap*) { return CalculateLimitClear(); }
int CDataManage::cbCalculateClear(unsigned int, const ValueMap&, ValueMap*) { return CalculateReset(); }
