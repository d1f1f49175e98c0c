// Message handlers of the math functions: selection, statistics, dB and dBm
// with their references, scaling, the limit test and the relative offset of
// the main function. Each changes the math state under m_bufferMtx and calls
// out (auto-hold, notifications, function settings) holding no engine lock.
#include <algorithm>
#include <cstdio>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "FunctionManage.h"
#include "Util/logger.h"
#include "inc_enum.h"
#include "proto_extract.h"

namespace {

using ValueMap = CDataManage::ValueMap;

constexpr unsigned kTextKey = 0x40000000;

// The value under `key`; null, with the log line of a math setter, when absent.
const Value* findOrLogMissing(const ValueMap& in, int key) {
    const Value* v = findValue(in, key);
    if (v == nullptr) {
        PrintE("Missing parameter!");
    }
    return v;
}

bool isRemote(unsigned int source) { return source >= 1 && source <= 3; }
bool isVolt(MeasureTypeEnum f) { return f == TYPE_DCV || f == TYPE_ACV; }
bool isTwoWire(MeasureTypeEnum f) { return f == TYPE_CONT || f == TYPE_DIODE; }

} // namespace

const CDataManage::MathBounds CDataManage::kDbRef = {-120, 120, 0};
const CDataManage::MathBounds CDataManage::kDbmRef = {2, 8000, 600};

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

// ------------------------------------------------------------- selection

int CDataManage::cbCalculateFuncSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findOrLogMissing(in, 0x810);
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

// Switches math on with `func` (and the statistics selection) or off.
void CDataManage::mathSwitch(bool on, enumMathFunc func, int totalize) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    if (on) g_stMathPara.euMathFunc = func;
    g_stMathPara.bMathSwitch = on;
    std::lock_guard<std::mutex> recordLock(_mtx);
    if (on) m_protoMathFuncInfo.set_ms32mathfunc(func);
    if (on && totalize >= 0) m_protoMathFuncInfo.set_mcurmathtotalize(totalize);
    m_protoMathFuncInfo.set_mbmathswitch(on);
}

// Statistics and the limit test: refused on an automatic range (but for a
// sensor) and for continuity and diode; their results start over.
static int testSwitch(CDataManage& e, const ValueMap& in, int key, enumMathFunc func, const char* rangeLog,
                      const char* funcLog) {
    const MeasureTypeEnum main = e.mathMain();
    if (main != TYPE_SENSOR && e.mathAutoRange(main)) {
        PrintE(rangeLog, -1);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = findOrLogMissing(in, key);
    if (!v) return E109_MISSING_PARAMETER;
    if (isTwoWire(main)) {
        PrintE(funcLog, main);
        return E221_SETTING_CONFLICT;
    }
    const bool on = boolOf(*v);
    if (on) e.TrigAutoHoldSet(false);
    if (func == MATH_MIN_MAX) e.CalculateResetCalAver();
    else e.CalculateLimitClear();
    e.mathSwitch(on, func, func == MATH_MIN_MAX ? MATH_TOTAL_ALL : -1);
    e.mathReadingRefresh();
    e.postUICalculateConfig();
    return 0;
}

int CDataManage::cbCalculateStatisticSet(unsigned int, const ValueMap& in, ValueMap*) {
    return testSwitch(*this, in, 0x2000, MATH_MIN_MAX, "Setting conflict! rang = %d", "Setting conflict! main func = %d");
}

int CDataManage::cbCalculatePFStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    return testSwitch(*this, in, 0x2005, MATH_LIMIT, "Setting Conflict range = %d", "Setting Conflict main func = %d");
}

// dB or dBm on or off; only a voltage shows decibels.
static int decibelSwitch(CDataManage& e, bool on, enumMathFunc func) {
    const MeasureTypeEnum main = e.mathMain();
    if (!isVolt(main)) {
        PrintE("Setting Conflict main func = %d", main);
        return E221_SETTING_CONFLICT;
    }
    if (on) e.mathSwitchOnPush();
    e.mathSwitch(on, func, func);
    return 0;
}

int CDataManage::CalculateDbStateSet(bool on) { return decibelSwitch(*this, on, MATH_DB); }

// The dB and dBm state handlers: a fixed range is needed; the dB handler
// pushes the settings whatever the result, the dBm handler only on success.
static int decibelState(CDataManage& e, const ValueMap& in, int key, enumMathFunc func, const char* rangeLog) {
    const MeasureTypeEnum main = e.mathMain();
    if (e.mathAutoRange(main)) {
        PrintE(rangeLog, -1);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = findOrLogMissing(in, key);
    if (!v) return E109_MISSING_PARAMETER;
    const int result = decibelSwitch(e, boolOf(*v), func);
    if (result == 0 || func == MATH_DB) e.postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateDBStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    return decibelState(*this, in, 0x801, MATH_DB, "Setting conflict! rang = %d");
}

int CDataManage::cbCalculateDBMStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    return decibelState(*this, in, 0x804, MATH_DBM, "Setting Conflict range = %d");
}

int CDataManage::CalculateScalStateSet(bool on) {
    const MeasureTypeEnum func = mathMain();
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
    mathSwitch(on, math, -1);
    return 0;
}

int CDataManage::cbCalculateScaleStateSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* v = findOrLogMissing(in, 0x2003);
    if (!v) return E109_MISSING_PARAMETER;
    const MeasureTypeEnum func = mathMain();
    if (func != TYPE_SENSOR && mathAutoRange(func)) {
        PrintE("Setting Conflict range = %d", -1);
        return E221_SETTING_CONFLICT;
    }
    const int result = CalculateScalStateSet(boolOf(*v));
    if (result == 0) postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateScaleFunctionSet(unsigned int, const ValueMap& in, ValueMap*) {
    const MeasureTypeEnum func = mathMain();
    if (!isVolt(func)) {
        PrintE("Setting Conflict main func = %d", func);
        return E221_SETTING_CONFLICT;
    }
    const Value* v = findOrLogMissing(in, 0x2004);
    if (!v) return E109_MISSING_PARAMETER;
    const int value = s32Of(*v);
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

// Whether math is on with `func`.
static int stateReply(std::mutex& mtx, enumMathFunc func, int key, ValueMap* out) {
    std::lock_guard<std::mutex> lock(mtx);
    insertBval(*out, key, g_stMathPara.bMathSwitch && g_stMathPara.euMathFunc == func);
    return 0;
}

int CDataManage::cbCalculateStatisticGet(unsigned int, const ValueMap&, ValueMap* out) {
    return stateReply(m_bufferMtx, MATH_MIN_MAX, 0x2000, out);
}

int CDataManage::cbCalculatePFStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    return stateReply(m_bufferMtx, MATH_LIMIT, 0x2005, out);
}

int CDataManage::cbCalculateDBStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    const MeasureTypeEnum func = mathMain();
    if (!isVolt(func)) {
        PrintE("Query error main func = %d", func);
        return E400_QUERY_ERROR;
    }
    return stateReply(m_bufferMtx, MATH_DB, 0x801, out);
}

int CDataManage::cbCalculateDBMStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    return stateReply(m_bufferMtx, MATH_DBM, 0x804, out);
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

// The dB or dBm value of the last reading, while that function is on.
static int decibelValue(CDataManage& e, enumMathFunc func, int key, bool withText, std::mutex& mtx, ValueMap* out) {
    const MeasureTypeEnum main = e.mathMain();
    if (!isVolt(main)) {
        PrintE("Query error main func = %d", main);
        return E400_QUERY_ERROR;
    }
    std::lock_guard<std::mutex> lock(mtx);
    if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != func) {
        PrintE("Query error math enable = %d math func = %d", g_stMathPara.bMathSwitch, g_stMathPara.euMathFunc);
        return E400_QUERY_ERROR;
    }
    if (withText) CDataManage::mathNumberReply(out, key, g_f64MathValue);
    else insertF64(*out, key, g_f64MathValue);
    return 0;
}

int CDataManage::cbCalculateDBGet(unsigned int, const ValueMap&, ValueMap* out) {
    return decibelValue(*this, MATH_DB, 0x802, false, m_bufferMtx, out);
}

int CDataManage::cbCalculateDBMGet(unsigned int, const ValueMap&, ValueMap* out) {
    return decibelValue(*this, MATH_DBM, 0x805, true, m_bufferMtx, out);
}

// The statistics answer only while they run.
#define MATH_STAT_GETTER(name, key, expr)                                                  \
    int CDataManage::name(unsigned int, const ValueMap&, ValueMap* out) {                 \
        std::lock_guard<std::mutex> lock(m_bufferMtx);                                     \
        const structMathAver& a = g_stMathPara.stAver;                                     \
        if (!g_stMathPara.bMathSwitch || g_stMathPara.euMathFunc != MATH_MIN_MAX) return E400_QUERY_ERROR; \
        mathNumberReply(out, key, (expr));                                                 \
        return 0;                                                                          \
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
    const MeasureTypeEnum func = mathMain();
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

// dB reference (dBm) or dBm reference resistance (ohms, an unsigned number).
int CDataManage::mathReferenceSet(unsigned int source, const ValueMap& in, bool ohms) {
    const int key = ohms ? 0x803 : 0x800;
    const Value* v = findOrLogMissing(in, key);
    if (!v) return E109_MISSING_PARAMETER;
    const MathBounds& b = ohms ? kDbmRef : kDbRef;
    double value;
    int result = mathNumberParam(source, *v, b, -1, structRangeInfo{}, ohms,
                                 ohms ? "CmdStr Parse Num Failed!!" : "CmdStr Parse Num Failed!", value);
    if (result != 0) return result;
    result = mathClamp(value, b.min, b.max);
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        std::lock_guard<std::mutex> recordLock(_mtx);
        if (ohms) {
            g_stMathPara.u32RefR = static_cast<uint32_t>(value);
            m_protoMathFuncInfo.set_mu32refr(g_stMathPara.u32RefR);
        } else {
            g_stMathPara.f64Db = value;
            m_protoMathFuncInfo.set_mf64db(value);
        }
    }
    postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculateDBREFESet(unsigned int source, const ValueMap& in, ValueMap*) {
    return mathReferenceSet(source, in, false);
}

int CDataManage::cbCalculateDBMREFESet(unsigned int source, const ValueMap& in, ValueMap*) {
    return mathReferenceSet(source, in, true);
}

// Reference query: the current value, or MIN/MAX/DEF asked by number or word.
static int referenceQuery(const ValueMap& in, int key, const CDataManage::MathBounds& b, double current,
                          ValueMap* out) {
    auto it = in.find(key);
    double value = current;
    if (it != in.end()) {
        const Value& v = it->second;
        const std::string word = textOf(v);
        const int n = s32Of(v);
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

// A limit may not meet or cross the other one (both are kept, and the error
// queue says why): not as sent, for clamping must not turn a refused value
// into an accepted one, and not once clamped to the bounds of the range in
// force, for the other may have been set under a wider range, before an
// auto-range step.
int CDataManage::mathLimitSet(unsigned int source, const Value& v, bool upper) {
    MathBounds b;
    MeasureTypeEnum func;
    double value;
    int result = userValue(*this, source, v, b, func, value);
    if (result != 0) return result;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        structFuncLimit& l = g_stMathPara.stLimit;
        const auto crosses = [&](double x) {
            if (upper ? x > l.f64Low : x < l.f64High) return false;
            PrintE("Setting Conflict %s limit = %lf, low = %lf, high = %lf", upper ? "upper" : "lower", x, l.f64Low,
                   l.f64High);
            return true;
        };
        if (!upper) {
            PrintI("f64Val = %lf  g_stMathPara.stLimit.f64High = %lf   %d", value, l.f64High, value < l.f64High ? 1 : 0);
        }
        if (crosses(value)) return E221_SETTING_CONFLICT;
        result = mathClamp(value, b.min, b.max);
        if (crosses(value)) return E221_SETTING_CONFLICT;
        (upper ? l.f64High : l.f64Low) = value;
        std::lock_guard<std::mutex> recordLock(_mtx);
        ProtoMathLimit* record = m_protoMathFuncInfo.mutable_mprotolimit();
        if (upper) record->set_mf64high(value);
        else record->set_mf64low(value);
    }
    postUICalculateConfig();
    return result;
}

int CDataManage::CalculatePFLowerSet(unsigned int source, const Value& v) { return mathLimitSet(source, v, false); }
int CDataManage::CalculatePFUpperSet(unsigned int source, const Value& v) { return mathLimitSet(source, v, true); }

int CDataManage::cbCalculatePFLowerSet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = findOrLogMissing(in, 0x806);
    if (!v) return E109_MISSING_PARAMETER;
    const int result = CalculatePFLowerSet(source, *v);
    if (result == 0) postUICalculateConfig();
    return result;
}

int CDataManage::cbCalculatePFUpperSet(unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* v = findOrLogMissing(in, 0x807);
    if (!v) return E109_MISSING_PARAMETER;
    const int result = CalculatePFUpperSet(source, *v);
    if (result == 0) postUICalculateConfig();
    return result;
}

// A user value of the main function (kept in base units): as it is for
// remote control, in the display unit of the range in force for the UI.
static void userValueReply(CDataManage& e, unsigned int source, int key, double value, ValueMap* out) {
    if (!isRemote(source)) value /= e.mathDisplayFactor(e.mathMain());
    CDataManage::mathNumberReply(out, key, value);
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
    const Value* v = findOrLogMissing(in, 0x80D);
    if (!v) return E109_MISSING_PARAMETER;
    return nullChange([&] {
        MathBounds b;
        MeasureTypeEnum func;
        double value;
        int result = userValue(*this, source, *v, b, func, value);
        if (result != 0) return result;
        result = mathClamp(value, b.min, b.max);
        {
            std::lock_guard<std::mutex> lock(m_bufferMtx);
            relGivenOffset(func, value);
        }
        postUICalculateConfig();
        return result;
    });
}

int CDataManage::cbCalculateRelOffsetGet(unsigned int source, const ValueMap&, ValueMap* out) {
    const MeasureTypeEnum func = mathMain();
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
    const Value* v = findOrLogMissing(in, 0x80E);
    if (!v) return E109_MISSING_PARAMETER;
    return nullChange([&] {
        const int result = CalculateRelStateSet(mathMain(), boolOf(*v));
        if (result == 0) postUICalculateConfig();
        return result;
    });
}

int CDataManage::cbCalculateRelStateGet(unsigned int, const ValueMap&, ValueMap* out) {
    const MeasureTypeEnum func = mathMain();
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
