#pragma once
// A sensor definition: a temperature sensor (thermocouple, RTD, thermistor)
// or a custom sensor given by reference points split into segments, each a
// straight line or a piecewise least-squares curve.
#include <cstdint>
#include <string>

#include "inc_enum.h"

constexpr uint32_t kSensorMaxPoints = 500;
constexpr uint32_t kSensorMaxSegments = 200;
// Six coefficients per five-point piece.
constexpr uint32_t kSensorParaPerPiece = 6;
constexpr uint32_t kSensorMaxParas = 1152;

struct structPos {
    double f64XValue = 0;      // input in the custom function's engine unit
    double f64YValue = 0;      // sensor value
    uint8_t u8MathSign = 0;    // curve of the segment starting here: 1 least squares, else a line
    bool bSegSign = false;     // a segment starts here
};

struct structSegProperty {
    uint8_t u8MathSign = 0;
    uint32_t u32BeginPoi = 0;  // first and last point, inclusive
    uint32_t u32EndPoi = 0;
    uint32_t u32LittleSegNum = 0;  // five-point pieces of a least-squares segment
    uint32_t u32ParaPos = 0;       // the segment's first coefficient; piece j at +6j
};

struct structProjProperty {
    bool bUnitSwitch = true;
    char charName[20] = "Sensor";
    MeasureTypeEnum eType = TYPE_DCV;
    bool bThermocouple = false;
    char charUnit[16] = "\u2103";
};

struct structTemptureProperty {
    char chTempSensorName[20] = "Temperature";
    char chTempSensorUnit[16] = "\u2103";
    uint8_t u8TempSensorType = 0;  // 0 thermocouple, 1 RTD, 2 thermistor
    uint8_t u8RtdAf = 0;
    uint16_t u16ThermResValue = 0;
    float f32RtdR0 = 100.0f;
    uint8_t u8TcType = 0;  // B, E, J, K, N, R, S, T
    bool bTcCodeTerminalInt = true;
    float f32CodeTerminalUser = 0.0f;
    MeasureTypeEnum eType = TYPE_DCV;
};

struct structSensorProjLeast {
    structPos REFPoint[kSensorMaxPoints];
    structProjProperty stProjProperty;
    uint32_t u32TotalPoint = 0;
    uint32_t u32TotalSegment = 0;
    structSegProperty stSegProperty[kSensorMaxSegments];
    double SegPara[kSensorMaxParas] = {};
    bool bTempture = true;
    structTemptureProperty stTemptureProperty;
    bool bDisplayValue = false;
};

// Copies `text` into a fixed field, cut at a UTF-8 character boundary so that
// the field always holds whole characters and its terminator.
// Functions that never measure a sensor: ACV, ACI, CAP, CONT, DIODE, PERIOD, SENSOR.
inline bool SEN_NoSensorFunction(int f) {
    return f == TYPE_ACV || f == TYPE_ACI || f == TYPE_CAP || f == TYPE_CONT || f == TYPE_DIODE ||
           f == TYPE_PERIOD || f == TYPE_SENSOR;
}

// Length of the longest prefix of `text` of at most `max` bytes that ends on a
// UTF-8 character boundary.
inline size_t Utf8Prefix(const std::string& text, size_t max) {
    size_t n = text.size() < max ? text.size() : max;
    // Back off continuation bytes (10xxxxxx) that would start the cut-off rest.
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

template <size_t N>
void SEN_CopyText(char (&field)[N], const std::string& text) {
    const size_t n = Utf8Prefix(text, N - 1);
    text.copy(field, n);
    field[n] = '\0';
}
