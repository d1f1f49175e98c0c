// CDataManage: the sensor step of a pass. The averaged input becomes the
// active sensor's value, kept for the relative switch; what the sensor read
// goes to the second display in the unit of its own range row.
#include <mutex>

#include "CDataManage.h"
#include "proto_insert.h"

double CDataManage::sensorReading(const structFuncConfig& config, double avgVal) {
    const std::shared_ptr<const structSensorProjLeast> sensor = SEN_Active();
    // A frequency curve runs on the AC volts path: the window holds volts,
    // the counter the frequency the curve is read at.
    const bool overFreq = !sensor->bTempture && sensor->stProjProperty.eType == TYPE_FREQ;
    double shown = overFreq ? m_freqVal : avgVal;
    const uint32_t range = static_cast<uint32_t>(config.s32Range);
    const structRangeInfo row = overFreq ? displayValue(TYPE_FREQ, config.s32Range, shown)
                                         : DM_GetRangeInfo(config.eRealFunc, range, avgVal);
    // The sensor stage takes its input in the engine's base unit.
    const double value = SEN_Meas(overFreq ? m_freqVal : avgVal * row.f32MinUnite, sensor.get());
    {
        std::lock_guard<std::mutex> lock(m_bufferMtx);
        m_temprel = value;
    }
    char sep, dot;
    bool plus;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        sep = m_sepChar;
        dot = m_dotChar;
        plus = m_plusSign;
    }
    ValueMap map;
    insertStr(map, 0x400, DM_FormatNumber(shown, sep, row, config.eRate, dot, plus).c_str());
    insertStr(map, 0x401, row.u8Unit);
    insertS32(map, 0x402, config.s32Range);
    push(UPDATE_MEASURE2_DATA, std::move(map));
    return value;
}
