// The configuration the function settings hand to the engine, and the latest
// reading of each display. Called with the function settings' lock held (lock
// order: function settings, driver, engine); the loop takes the new settings
// with its next pass and empties its window before its next sample.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "CDataManage.h"
#include "ReadingText.h"
#include "FunctionManage.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"

namespace {

bool isCounter(int f) { return f == TYPE_PERIOD || f == TYPE_FREQ; }

} // namespace

void CDataManage::DM_UpdateMainFunc(MeasureTypeEnum func, const structFuncConfig& config) {
    MeasureTypeEnum oldFunc;
    RateEnum oldRate;
    int32_t oldRange;
    structTriggerInfo trig;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        oldFunc = m_eMainFunc;
        oldRate = m_mainConfig.eRate;
        oldRange = m_mainConfig.s32Range;
        trig = m_trigInfo;
    }
    const bool funcChanged = func != oldFunc;
    m_confChange = true;
    m_autoRangeLocked = false;
    if (func == TYPE_CAP || func == TYPE_CONT || func == TYPE_DIODE) TrigSourceSet(SRC_AUTO);
    if (trig.bHold && funcChanged) TrigAutoHoldSet(false);
    if (config.eRate != oldRate || func == TYPE_SENSOR || funcChanged) {
        if (func == TYPE_SENSOR) {
            std::lock_guard<std::mutex> lock(_mtx);
            m_b2ndEnable = false;
        }
        DM_FixIntervalByRate(config.eRate, func);
        DM_FixVMCPulseWidthByRate(config.eRate);
    }
    // A new configuration empties the reading memory below: an acquisition
    // armed before ends, cut short, as an abort ends it, rather than go on
    // with readings of two configurations and a memory that lacks its first.
    // The function settings hand over only what changes what is measured.
    if (funcChanged) {
        DM_AbortRead();
    } else {
        endArmed(0);
    }
    if (trig.eTrigSrc == SRC_SINGLE) TrigSingleTriggered();
    if (funcChanged) {
        const double shown = func == TYPE_CONT ? 2000.0 : 0.0;
        DM_NotifyClient(true, shown,
                        DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(config.s32Range, 0)), 0));
        m_BeepSwitch = false;
        m_triggerChange = true;
        if (SystemSetup* system = Copperwren::Singleton<SystemSetup>::Instance()) system->API_Beeper_Switch(false);
    }
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_eMainFunc = func;
        m_mainConfig = config;
    }
    // A new configuration starts the math over: off, cleared, limits of the
    // new range. Before the readings are cleared, so that the converter gets
    // its new configuration as soon after the clear as before.
    CalculateResetCalRel();
    CalculateInit();
    m_windowReset = true;
    // Another client's acquisition filled the memory, and its read may have
    // lent its turn to this change before its store, the next command of
    // its message, runs: that store writes the memory as found here.
    KeptMemory keep;
    {
        std::lock_guard<std::mutex> lock(m_acqMtx);
        const void* armer = nullptr;
        if (armerOfCurrentLocked(armer) && armer != ListWait::clientHere()) keep.client = armer;
        keep.armedAt = m_acqClears;
    }
    if (keep.client != nullptr) dataHeader(oldFunc, oldRange, oldRate, keep.record);
    clearReadings(false, keep.client != nullptr ? &keep : nullptr);
    // The reading in flight is dropped, the next one is of this setting.
    replaceOwedReadings();
    othersArmsStale();
}

void CDataManage::DM_Update2ndFunc(bool enable, MeasureTypeEnum func, const structFuncConfig& config) {
    m_confChange = true;
    m_intervalRestart = true;
    MeasureTypeEnum mainFunc;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        m_b2ndEnable = enable;
        m_e2ndFunc = func;
        m_2ndConfig = config;
        mainFunc = m_eMainFunc;
        if (enable) m_2ndtriggertype = isCounter(mainFunc) ? 2 : 1;
    }
    const structRangeInfo row = DM_GetRangeInfo(func, static_cast<uint32_t>(std::max(config.s32Range, 0)), 0);
    if (enable) {
        postUITrigConfig();
        DM_NotifyClient(false, 0.0, row);
    } else {
        DM_FixIntervalByRate(FunctionManage::instance().FM_GetRate(), mainFunc);
    }
    DM_ClearFunc2Buffer();
}

void CDataManage::DM_UpdateContResi(float ohms) {
    std::lock_guard<std::mutex> lock(_mtx);
    m_stContRange.f32Upper = ohms;
}

void CDataManage::DM_ClearFunc2Buffer() {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    m_buffer2.clear();
}

int CDataManage::GetFunctionData(std::string& text) { return latestReading(false, false, text); }

int CDataManage::GetFunction2Data(std::string& text) { return latestReading(true, false, text); }

int CDataManage::awaitFunctionData(bool second, std::string& text) { return latestReading(second, true, text); }
