// The configuration the function settings hand to the engine, and the latest
// reading of each display. The engine takes the records over and drops the
// readings of the configuration they replace; the measurement loop restarts
// its timing from the records it finds here.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "CDataManage.h"
#include "Util/logger.h"

namespace {

// The latest reading of a display as text: "9.9E37" beyond the range's limit.
template <typename Buffer>
int latestText(CDataManage& engine, const Buffer& buffer, MeasureTypeEnum func, const structFuncConfig& cfg,
               const char* emptyLog, std::string& text) {
    if (buffer.empty()) {
        PrintE("%s", emptyLog);
        return 44;
    }
    const double value = buffer.back();
    const structRangeInfo row =
        engine.DM_GetRangeInfo(static_cast<uint32_t>(func), static_cast<uint32_t>(std::max(cfg.s32Range, 0)), value);
    if (!(std::fabs(value) <= row.f32OverLimit)) {
        text = "9.9E37";
        return 0;
    }
    char out[64];
    std::snprintf(out, sizeof(out), "%10.8E", value);
    text = out;
    return 0;
}

} // namespace

void CDataManage::DM_UpdateMainFunc(MeasureTypeEnum func, const structFuncConfig& config) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    m_eMainFunc = func;
    m_mainConfig = config;
    m_confChange = true;
    m_autoRangeLocked = false;
    m_bufferOffset = 0;
    m_buffer.clear();
    m_lastVal = 0;
}

void CDataManage::DM_Update2ndFunc(bool enable, MeasureTypeEnum func, const structFuncConfig& config) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    m_confChange = true;
    m_b2ndEnable = enable;
    m_e2ndFunc = func;
    m_2ndConfig = config;
    m_buffer2.clear();
}

void CDataManage::DM_UpdateContResi(float ohms) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    m_stContRange.f32Upper = ohms;
}

void CDataManage::DM_ClearFunc2Buffer() {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    m_buffer2.clear();
}

int CDataManage::GetFunctionData(std::string& text) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    return latestText(*this, m_buffer, m_eMainFunc, m_mainConfig, "m_buffer is empty", text);
}

int CDataManage::GetFunction2Data(std::string& text) {
    std::lock_guard<std::mutex> lock(m_bufferMtx);
    return latestText(*this, m_buffer2, m_e2ndFunc, m_2ndConfig, "m_buffer2 is empty", text);
}
