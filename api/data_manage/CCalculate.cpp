// Math state and the processing of one reading: relative offset, dB, dBm,
// statistics and the limit test, their resets, the UI push and the math
// record of the settings mirror.
#include "CCalculate.h"

#include <algorithm>
#include <cmath>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiSM.h"
#include "Poller/EventPoller.h"
#include "RangeInfoTables.h"
#include "Util/logger.h"
#include "drv/beeper/CBeeper.h"
#include "inc_enum.h"

structMathPara g_stMathPara = {};
structMathPara g_stMathParaLast = {};
double g_f64MathValue = 0;
double g_f64SDevAverCurr = 0;
double g_f64SDevQCurr = 0;

namespace {

constexpr double kOver = 9.9e37;
constexpr uint16_t kQuesAboveUpper = 0x1000;
constexpr uint16_t kQuesBelowLower = 0x0800;

// The limit bits of QUEStionable tell the result of the latest reading.
void limitCondition(uint8_t result) {
    SCPI_STAT_QUES_ConditionSet(kQuesAboveUpper | kQuesBelowLower,
                                result == 1 ? kQuesAboveUpper : result == 2 ? kQuesBelowLower : 0);
}

bool isPosOver(double x) { return x >= kOver; }
bool isNegOver(double x) { return x <= -kOver; }

// One beep per direction at a time, sounded on the event poller so the loop
// never waits on the beeper.
void postLimitBeep(std::atomic<bool>& tag) {
    if (tag.exchange(true)) return;
    toolkit::EventPoller::Instance().async(
        [&tag] {
            if (CBeeper* beeper = CBeeper::instance()) beeper->Beeper_Test();
            tag = false;
        },
        true);
}

} // namespace

void CDataManage::mathMainFunc(MeasureTypeEnum& func, int32_t& range) {
    std::lock_guard<std::mutex> lock(_mtx);
    func = m_eMainFunc;
    range = m_mainConfig.s32Range;
}

MeasureTypeEnum CDataManage::mathMain() {
    std::lock_guard<std::mutex> lock(_mtx);
    return m_eMainFunc;
}

int CDataManage::CalculateHandle(double& reading) {
    const MeasureTypeEnum func = mathMain();
    structCalcConfig& rel = stCalcConfig[func];
    const bool over = isPosOver(reading) || isNegOver(reading);
    if (rel.bTakeNext && !over) {
        rel.f64RELValue = reading;
        rel.bTakeNext = false;
        mathRecordRel(func);
    }
    // An overload stays one: an offset would turn it into a number.
    if (rel.bRELEnable && !over) reading -= rel.f64RELValue;
    const enumMathFunc math = g_stMathPara.bMathSwitch ? g_stMathPara.euMathFunc : MATH_NONE;
    // The limit bits describe the latest tested reading; no test, no failure.
    if (math != MATH_LIMIT) limitCondition(0);
    if (!g_stMathPara.bMathSwitch) return 0;
    const double x = reading;
    double r = x;
    if (math == MATH_DB || math == MATH_DBM) {
        r = x == 0 ? -300 : 10 * std::log10(x * x / g_stMathPara.u32RefR * 1000);
        if (math == MATH_DB) r -= g_stMathPara.f64Db;
    }
    switch (math) {
    case MATH_MIN_MAX: CalculateMathExtrem(x); break;
    case MATH_LIMIT: r = CalculateMathLimitFunc(x); break;
    default: break;
    }
    g_f64MathValue = r;
    return 0;
}

double CDataManage::CalculateMathExtrem(double x) {
    structMathAver& a = g_stMathPara.stAver;
    const uint64_t n = a.u64Count;
    // An infinity is an overload too; it must not poison the running sums.
    if (std::isinf(x)) x = x > 0 ? kOver : -kOver;
    if (n == 0) {
        a.f64Min = a.f64Max = a.f64Aver = x;
        g_f64SDevAverCurr = x;
        g_f64SDevQCurr = 0;
        a.f64SDev = 0;
        a.u64Count = 1;
        return x;
    }
    if (isPosOver(x) || isPosOver(a.f64Max)) a.f64Max = kOver;
    if (isNegOver(x) || isNegOver(a.f64Min)) a.f64Min = -kOver;
    if (!isPosOver(x) && !isNegOver(x)) {
        if ((!isPosOver(a.f64Max) && x > a.f64Max) || isNegOver(a.f64Max)) a.f64Max = x;
        if ((!isNegOver(a.f64Min) && x < a.f64Min) || isPosOver(a.f64Min)) a.f64Min = x;
    }
    const bool held = isPosOver(a.f64Max) || isNegOver(a.f64Max) || isPosOver(a.f64Min) || isNegOver(a.f64Min);
    if (!held) {
        // Welford: stable over long runs, no history kept.
        const double d = x - g_f64SDevAverCurr;
        g_f64SDevAverCurr += d / static_cast<double>(n + 1);
        g_f64SDevQCurr += d * (x - g_f64SDevAverCurr);
        a.f64Aver += (x - a.f64Aver) / static_cast<double>(n + 1);
        a.f64SDev = std::sqrt(g_f64SDevQCurr / static_cast<double>(n));
    } else {
        const double over = isNegOver(a.f64Max) && isNegOver(a.f64Min) ? -kOver : kOver;
        a.f64Aver = over;
        a.f64SDev = over;
    }
    a.u64Count = n + 1;
    return x;
}

double CDataManage::CalculateMathLimitFunc(double x) {
    structFuncLimit& l = g_stMathPara.stLimit;
    l.u8LimitResult = 0;
    if (x > l.f64High) {
        ++l.highCount;
        l.u8LimitResult = 1;
        postLimitBeep(PFhightag);
    } else if (x < l.f64Low) {
        ++l.lowCount;
        l.u8LimitResult = 2;
        postLimitBeep(PFlowtag);
    }
    limitCondition(l.u8LimitResult);
    if (l.u8LimitResult != 0) {
        l.f64LastValue = x;
        l.euLmtStat = LIMIT_FAIL;
    } else {
        ++l.passCount;
        l.euLmtStat = LIMIT_PASS;
    }
    return x;
}

// ------------------------------------------------------------- resets

int CDataManage::CalculateResetCalAver() {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    structMathAver& a = g_stMathPara.stAver;
    a.f64Min = a.f64Max = a.f64Aver = a.f64SDev = 0;
    a.u64Count = 0;
    return 0;
}

int CDataManage::CalculateLimitClear() {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    structFuncLimit& l = g_stMathPara.stLimit;
    l.passCount = l.highCount = l.lowCount = 0;
    l.euLmtStat = LIMIT_PASS;
    l.u8LimitResult = 0;
    l.f64LastValue = 0;
    l.u8LmtOpr = 1;
    // The limit conditions tell the latest result, cleared with it; their
    // events stay until read.
    limitCondition(0);
    return 0;
}

int CDataManage::CalculateResetCalLmt() {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    double v = 1100;
    auto row = m_F64LimitMap.find(func);
    if (row != m_F64LimitMap.end()) {
        auto entry = row->second.find(range);
        if (entry != row->second.end()) v = entry->second;
    }
    // The table is in the display unit of the range; the limits are kept in base units.
    v *= mathBaseFactor(func, DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(range, 0)), 0.0));
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    g_stMathPara.stLimit.f64High = v;
    g_stMathPara.stLimit.f64Low = -v;
    std::lock_guard<std::mutex> recordLock(_mtx);
    m_protoMathFuncInfo.mutable_mprotolimit()->set_mf64low(-v);
    m_protoMathFuncInfo.mutable_mprotolimit()->set_mf64high(v);
    return 0;
}

int CDataManage::CalculateInit() {
    CalculateResetCalAver();
    CalculateLimitClear();
    CalculateResetCalLmt();
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        g_stMathPara.euMathFunc = MATH_MIN_MAX;
        g_stMathPara.bMathSwitch = false;
        g_stMathPara.f64Db = 0;
        g_stMathPara.u32RefR = 600;
        std::lock_guard<std::mutex> recordLock(_mtx);
        m_protoMathFuncInfo.set_ms32mathfunc(MATH_MIN_MAX);
        m_protoMathFuncInfo.set_mbmathswitch(false);
        m_protoMathFuncInfo.set_mf64db(0);
        m_protoMathFuncInfo.set_mu32refr(600);
    }
    postUICalculateConfig();
    return 0;
}

int CDataManage::CalculateResetCalRel() {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    for (structCalcConfig& c : stCalcConfig) c = {false, false, 0, false};
    std::lock_guard<std::mutex> recordLock(_mtx);
    auto* cfgs = m_protoMathFuncInfo.mutable_mprotocalccfgs();
    while (cfgs->size() < MEASURE_TYPE_COUNT) cfgs->Add();
    for (ProtoCalcConfig& c : *cfgs) {
        c.set_mbrelenable(false);
        c.set_mbautoenable(false);
        c.set_mf64relvalue(0);
    }
    return 0;
}

int CDataManage::CalculateReset() {
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        if (!g_stMathPara.bMathSwitch) return E221_SETTING_CONFLICT;
    }
    CalculateResetCalAver();
    CalculateLimitClear();
    clearReadings(true);
    othersArmsStale();
    mathReadingRefresh();
    postUICalculateConfig();
    return 0;
}

// ------------------------------------------------------------- relative

void CDataManage::relTakeReading(int func) {
    // The buffer holds readings of the measured function only; another
    // function's offset, like an overload, comes from the next reading of its own.
    const MeasureTypeEnum measured = mathMain();
    const bool none = func != measured || m_buffer.empty() || isPosOver(m_buffer.back().f64Value) ||
                      isNegOver(m_buffer.back().f64Value);
    // The buffer holds readings with the offset in force taken off: the
    // input gave them with it.
    const structCalcConfig& inForce = stCalcConfig[measured];
    const double offset = inForce.bRELEnable ? inForce.f64RELValue : 0.0;
    const double input = none ? 0.0 : m_buffer.back().f64Value * m_buffer.back().f64ToBase + offset;
    structCalcConfig& c = stCalcConfig[func];
    c.bAutoEnable = true;
    c.bTakeNext = none;
    c.f64RELValue = input;
}

void CDataManage::relGivenOffset(int func, double value) {
    structCalcConfig& c = stCalcConfig[func];
    c.bAutoEnable = false;
    c.bTakeNext = false;
    c.f64RELValue = value;
    mathRecordRel(func);
}

// Record entry of one function from stCalcConfig; m_bufferMtx held.
void CDataManage::mathRecordRel(int func) {
    std::lock_guard<std::mutex> recordLock(_mtx);
    auto* cfgs = m_protoMathFuncInfo.mutable_mprotocalccfgs();
    while (cfgs->size() < MEASURE_TYPE_COUNT) cfgs->Add();
    ProtoCalcConfig& c = *cfgs->Mutable(func);
    c.set_mbrelenable(stCalcConfig[func].bRELEnable);
    c.set_mbautoenable(stCalcConfig[func].bAutoEnable);
    c.set_mf64relvalue(stCalcConfig[func].f64RELValue);
}

int CDataManage::CalculateRelStateSet(int func, bool on) {
    if (func == TYPE_CONT || func == TYPE_DIODE || func < 0 || func >= MEASURE_TYPE_COUNT) {
        PrintE("Setting Conflict main func = %d", mathMain());
        return E221_SETTING_CONFLICT;
    }
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    structCalcConfig& c = stCalcConfig[func];
    if (on) {
        if (std::fabs(c.f64RELValue) < 1e-15 && !c.bTakeNext) {
            if (func == TYPE_SENSOR) {
                c.bAutoEnable = true;
                c.f64RELValue = m_temprel;
            } else {
                relTakeReading(func);
            }
        }
        c.bRELEnable = true;
    } else {
        c.bRELEnable = false;
        c.bTakeNext = false;
        c.f64RELValue = 0;
    }
    mathRecordRel(func);
    return 0;
}

// ------------------------------------------------------------- UI push

void CDataManage::CalculateNotifyEntries(ValueMap& map, MeasureTypeEnum func, const structRangeInfo& row,
                                         const std::function<std::string(double, const structRangeInfo&)>& format) {
    const double toBase = mathBaseFactor(func, row);
    // Overloads stay the overload value; numbers go to the unit the UI shows.
    auto shown = [&](double v) { return format(isPosOver(v) || isNegOver(v) ? v : v / toBase, row); };
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    const structMathPara& m = g_stMathPara;
    if (!m.bMathSwitch) return;
    switch (m.euMathFunc) {
    case MATH_MIN_MAX:
        insertStr(map, 0x701, shown(m.stAver.f64Max).c_str());
        insertStr(map, 0x702, shown(m.stAver.f64Min).c_str());
        insertStr(map, 0x703, shown(m.stAver.f64Aver).c_str());
        insertStr(map, 0x705, shown(m.stAver.f64SDev).c_str());
        insertU32(map, 0x706, static_cast<uint32_t>(m.stAver.u64Count));
        break;
    // A decibel value is no reading of the range: its row is the default one.
    case MATH_DB: insertStr(map, 0x802, format(g_f64MathValue, stRangeInfoDEF).c_str()); break;
    case MATH_DBM: insertStr(map, 0x805, format(g_f64MathValue, stRangeInfoDEF).c_str()); break;
    case MATH_LIMIT:
        insertU32(map, 0x809, m.stLimit.euLmtStat == LIMIT_PASS ? 0 : m.stLimit.u8LimitResult);
        insertU32(map, 0x80A, m.stLimit.passCount);
        insertU32(map, 0x80B, m.stLimit.highCount);
        insertU32(map, 0x80C, m.stLimit.lowCount);
        break;
    default: break;
    }
}

void CDataManage::postUICalculateConfig() {
    MeasureTypeEnum func;
    int32_t range;
    mathMainFunc(func, range);
    const double toBase = mathDisplayFactor(func);
    ValueMap map;
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        const structMathPara& m = g_stMathPara;
        const structCalcConfig& rel = stCalcConfig[func];
        insertS32(map, 0x80F, m.bMathSwitch ? 1 : 0);
        insertS32(map, 0x810, m.euMathFunc);
        insertF64(map, 0x800, m.f64Db);
        insertF64(map, 0x803, static_cast<double>(m.u32RefR));
        insertBval(map, 0x80E, rel.bRELEnable);
        // The UI shows offset and limits in the unit of the range in force.
        insertF64(map, 0x80D, rel.f64RELValue / toBase);
        insertF64(map, 0x806, m.stLimit.f64Low / toBase);
        insertF64(map, 0x807, m.stLimit.f64High / toBase);
        const structMathPara& last = g_stMathParaLast;
        if (m.bMathSwitch != last.bMathSwitch || m.euMathFunc != last.euMathFunc || m.f64Db != last.f64Db ||
            m.u32RefR != last.u32RefR || m.stLimit.f64Low != last.stLimit.f64Low ||
            m.stLimit.f64High != last.stLimit.f64High) {
            PrintI("main func = %d,  bMath = %d, func = %d, dB = %lf dBm = %d, bRel = %d, relVal = %lf, low = %lf, "
                   "high = %lf",
                   func, m.bMathSwitch, m.euMathFunc, m.f64Db, m.u32RefR, rel.bRELEnable, rel.f64RELValue,
                   m.stLimit.f64Low, m.stLimit.f64High);
            g_stMathParaLast = g_stMathPara;
        }
    }
    push(UPDATE_MATH_CONFIG, std::move(map));
}

// ------------------------------------------------------------- record

void CDataManage::ProtoMathFuncInfoDefault(ProtoMathFuncInfo& out) {
    CalculateResetCalRel();
    CalculateInit();
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_protoMathFuncInfo);
}

void CDataManage::ProtoMathFuncInfoGet(ProtoMathFuncInfo& out) {
    std::lock_guard<std::mutex> lock(_mtx);
    out.CopyFrom(m_protoMathFuncInfo);
}
