#pragma once
// Enumerations shared by the whole service. Their numeric values travel in
// protobuf records and UI messages as plain integers, so they never change.

#include <cstdint>

// Measurement functions; also the index of every per-function table.
enum MeasureTypeEnum : int32_t {
    TYPE_DCV = 0,
    TYPE_ACV = 1,
    TYPE_DCI = 2,
    TYPE_ACI = 3,
    TYPE_OHM2 = 4,
    TYPE_OHM4 = 5,
    TYPE_CAP = 6,
    TYPE_CONT = 7,
    TYPE_DIODE = 8,
    TYPE_PERIOD = 9,
    TYPE_FREQ = 10,
    TYPE_SENSOR = 11,
};

// Number of measurement functions (rows of the per-function tables).
constexpr int32_t MEASURE_TYPE_COUNT = 12;

// Reading rates.
enum RateEnum : int32_t {
    E_Slow = 0,
    E_Medium = 1,
    E_Fast = 2,
};

// Inner keys of the engine's limit tables: what the words MIN, MAX and DEF of
// a numeric parameter stand for (AUTO is no key of any table).
enum ConfigureEnum : int32_t {
    AUTO = 0,
    MIN = 1,
    MAX = 2,
    DEF = 3,
};

// Range indices per quantity; -1 is the automatic value of each. The DC voltage
// function reads index 4 as its 1000 V range (AC voltage, period and frequency
// as 750 V).
enum VoltageRangeEnum : int32_t {
    VOLTAGE_AUTO = -1,
    VOLTAGE_100MV = 0,
    VOLTAGE_1V = 1,
    VOLTAGE_10V = 2,
    VOLTAGE_100V = 3,
    VOLTAGE_750V = 4,
    VOLTAGE_1000V = 5,
};

enum CurrentRangeEnum : int32_t {
    CURRENT_AUTO = -1,
    CURRENT_100UA = 0,
    CURRENT_1MA = 1,
    CURRENT_10MA = 2,
    CURRENT_100MA = 3,
    CURRENT_1A = 4,
    CURRENT_10A = 5,
};

enum OHMRangeEnum : int32_t {
    OHM_AUTO = -1,
    OHM_100O = 0,
    OHM_1KO = 1,
    OHM_10KO = 2,
    OHM_100KO = 3,
    OHM_1MO = 4,
    OHM_10MO = 5,
    OHM_100MO = 6,
};

enum CAMPRangeEnum : int32_t {
    CAMP_AUTO = -1,
    CAMP_1NF = 0,
    CAMP_10NF = 1,
    CAMP_100NF = 2,
    CAMP_1UF = 3,
    CAMP_10UF = 4,
    CAMP_100UF = 5,
    CAMP_1MF = 6,
    CAMP_10MF = 7,
};

// Kinds of stored user files; the value selects the file extension.
enum StorageFileType : int32_t {
    FILE_TYPE_STA = 0,
    FILE_TYPE_PRF = 1,
    FILE_TYPE_DAT = 2,
    FILE_TYPE_CSV = 3,
    FILE_TYPE_XSEN = 4,
};

// File operations reported to the UI (ProtoFileOperationInfo.ms32OpType).
enum FileOperType : int32_t {
    OPER_TYPE_COPY = 0,
    OPER_TYPE_MOVE = 1,
    OPER_TYPE_SAVE = 2,
    OPER_TYPE_LOAD = 3,
    OPER_TYPE_DEL = 4,
};

// Phase of a reported file operation (ProtoFileOperationInfo.ms32OpStatus).
enum FileOperStatus : int32_t {
    STATUS_START = 0,
    STATUS_END = 1,
};

// Math function as the UI and remote control select it.
enum CalculateFuncEnum : int32_t {
    CALC_NONE = 0,
    CALC_REL = 1,
    CALC_DB = 2,
    CALC_DBM = 3,
    CALC_MIN = 4,
    CALC_MAX = 5,
    CALC_AVERAGE = 6,
    CALC_TOTAL = 7,
    CALC_PF = 8,
};

// Pass/fail answer of the limit test.
enum CalculatePFEnum : int32_t {
    PF_PASS = 0,
    PF_HI = 1,
    PF_LO = 2,
    PF_OFF = 3,
};
