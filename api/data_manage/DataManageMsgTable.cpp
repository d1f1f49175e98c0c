#include "DataManageMsgTable.h"

#include <utility>

// Grouped as calibration, math, math by service id, buffer clean and number
// format, trigger, measurement queries, measurement configuration and
// resolution, sensors, relative offset per function, NPLC per function, DATA
// and SAMPle:COUNt. The comment names the member that will handle the id.
const DataManageBinding g_dataManageBindings[kDataManageBindingCount] = {
    {0x10000c00, "CALI_DATA_SET", &CDataManage::cbCaliDataSet},  // cbCaliDataSet
    {0x20000c00, "CALI_DATA_GET", &CDataManage::cbCaliDataGet},  // cbCaliDataGet
    {0x10000c01, "CALI_DATA_SAVE", &CDataManage::cbCaliDataSave},  // cbCaliDataSave
    {0x20000c02, "CALI_STATE_GET", &CDataManage::cbCaliStateGet},  // cbCaliStateGet
    {0x10000c03, "CALI_DATA_DELETE", &CDataManage::cbCaliDataDelete},  // cbCaliDataDelete
    {0x10000c04, "CALI_ACC_SET", &CDataManage::cbCaliAccSet},  // cbCaliAccSet
    {0x10000c05, "CALI_ACC_SAVE", &CDataManage::cbCaliAccSave},  // cbCaliAccSave
    {0x10000810, "CALCULATE_FUNCTION_SET", &CDataManage::cbCalculateFuncSet},  // cbCalculateFuncSet
    {0x10002000, "CALCULATE_STATISTIC_SET_2000", &CDataManage::cbCalculateStatisticSet},  // cbCalculateStatisticSet
    {0x20002000, "CALCULATE_STATISTIC_GET_2000", &CDataManage::cbCalculateStatisticGet},  // cbCalculateStatisticGet
    {0x20002001, "CALCULATE_AVERAGE_ALL_GET", &CDataManage::cbCalculateAverageAllGet},  // cbCalculateAverageAllGet
    {0x10002002, "CALCULATE_AVERAGE_CLEAR", &CDataManage::cbCalculateAverageClear},  // cbCalculateAverageClear
    {0x10002003, "CALCULATE_SCALE_STATE_SET", &CDataManage::cbCalculateScaleStateSet},  // cbCalculateScaleStateSet
    {0x20002003, "CALCULATE_SCALE_STATE_GET", &CDataManage::cbCalculateScaleStateGet},  // cbCalculateScaleStateGet
    {0x10002004, "CALCULATE_SCALE_FUNCTION_SET", &CDataManage::cbCalculateScaleFunctionSet},  // cbCalculateScaleFunctionSet
    {0x20002004, "CALCULATE_SCALE_FUNCTION_GET", &CDataManage::cbCalculateScaleFunctionGet},  // cbCalculateScaleFunctionGet
    {0x20002005, "CALCULATE_PF_STATE_GET", &CDataManage::cbCalculatePFStateGet},  // cbCalculatePFStateGet
    {0x10002005, "CALCULATE_PF_STATE_SET", &CDataManage::cbCalculatePFStateSet},  // cbCalculatePFStateSet
    {0x10002006, "CALCULATE_LIMIT_CLEAR", &CDataManage::cbCalculateLimitClear},  // cbCalculateLimitClear
    {0x10002007, "CALCULATE_CLEAR", &CDataManage::cbCalculateClear},  // cbCalculateClear
    {0x00000300, "CALCULATE_DB_GET", &CDataManage::cbCalculateDBGet},  // cbCalculateDBGet
    {0x00000301, "CALCULATE_DB_REF_SET", &CDataManage::cbCalculateDBREFESet},  // cbCalculateDBREFESet
    {0x00000302, "CALCULATE_DB_REF_GET", &CDataManage::cbCalculateDBREFEGet},  // cbCalculateDBREFEGet
    {0x00000303, "CALCULATE_DB_STAT_SET", &CDataManage::cbCalculateDBStateSet},  // cbCalculateDBStateSet
    {0x00000304, "CALCULATE_DB_STAT_GET", &CDataManage::cbCalculateDBStateGet},  // cbCalculateDBStateGet
    {0x00000305, "CALCULATE_DBM_GET", &CDataManage::cbCalculateDBMGet},  // cbCalculateDBMGet
    {0x00000306, "CALCULATE_DBM_REF_SET", &CDataManage::cbCalculateDBMREFESet},  // cbCalculateDBMREFESet
    {0x00000307, "CALCULATE_DBM_REF_GET", &CDataManage::cbCalculateDBMREFEGet},  // cbCalculateDBMREFEGet
    {0x00000308, "CALCULATE_DBM_STAT_SET", &CDataManage::cbCalculateDBMStateSet},  // cbCalculateDBMStateSet
    {0x00000309, "CALCULATE_DBM_STAT_GET", &CDataManage::cbCalculateDBMStateGet},  // cbCalculateDBMStateGet
    {0x0000030a, "CALCULATE_PF_GET", &CDataManage::cbCalculatePFGet},  // cbCalculatePFGet
    {0x0000030b, "CALCULATE_PF_LOWE_SET", &CDataManage::cbCalculatePFLowerSet},  // cbCalculatePFLowerSet
    {0x0000030c, "CALCULATE_PF_LOWE_GET", &CDataManage::cbCalculatePFLowerGet},  // cbCalculatePFLowerGet
    {0x0000030f, "CALCULATE_PF_UPPE_SET", &CDataManage::cbCalculatePFUpperSet},  // cbCalculatePFUpperSet
    {0x00000310, "CALCULATE_PF_UPPE_GET", &CDataManage::cbCalculatePFUpperGet},  // cbCalculatePFUpperGet
    {0x00000311, "CALCULATE_REL_OFFS_SET", &CDataManage::cbCalculateRelOffsetSet},  // cbCalculateRelOffsetSet
    {0x00000312, "CALCULATE_REL_OFFS_GET", &CDataManage::cbCalculateRelOffsetGet},  // cbCalculateRelOffsetGet
    {0x00000313, "CALCULATE_REL_STAT_SET", &CDataManage::cbCalculateRelStateSet},  // cbCalculateRelStateSet
    {0x00000314, "CALCULATE_REL_STAT_GET", &CDataManage::cbCalculateRelStateGet},  // cbCalculateRelStateGet
    {0x00000317, "CALCULATE_STAT_AVER_GET", &CDataManage::cbCalculateAverageGet},  // cbCalculateAverageGet
    {0x00000318, "CALCULATE_STAT_COUN_GET", &CDataManage::cbCalculateCountGet},  // cbCalculateCountGet
    {0x00000319, "CALCULATE_STAT_MAX_GET", &CDataManage::cbCalculateMaxGet},  // cbCalculateMaxGet
    {0x0000031a, "CALCULATE_STAT_MIN_GET", &CDataManage::cbCalculateMinGet},  // cbCalculateMinGet
    {0x0000031b, "CALCULATE_STAT_STD_GET", &CDataManage::cbCalculateSdeviationGet},  // cbCalculateSdeviationGet
    {0x0000031c, "CALCULATE_STAT_PTP_GET", &CDataManage::cbCalculatePeakGet},  // cbCalculatePeakGet
    {0x0000031d, "CALCULATE_STAT_STAT_SET", &CDataManage::cbCalculateStatisticSet},  // cbCalculateStatisticSet
    {0x0000031e, "CALCULATE_STAT_STAT_GET", &CDataManage::cbCalculateStatisticGet},  // cbCalculateStatisticGet
    {0x1000040a, "BUFFER_CLEAN", &CDataManage::cbBufferClean},  // cbBufferClean
    {0x10001000, "FORMAT_NUMBER_SEP_SET", &CDataManage::cbFormatNumberSepSet},  // cbFormatNumberSepSet
    {0x20001000, "FORMAT_NUMBER_SEP_GET", &CDataManage::cbFormatNumberSepGet},  // cbFormatNumberSepGet
    {0x10001001, "FORMAT_NUMBER_DOT_SET", &CDataManage::cbFormatNumberDotSet},  // cbFormatNumberDotSet
    {0x20001001, "FORMAT_NUMBER_DOT_GET", &CDataManage::cbFormatNumberDotGet},  // cbFormatNumberDotGet
    {0x10001002, "FORMAT_NUMBER_PLUS_SIGN", &CDataManage::cbFormatNumberPlusSign},  // cbFormatNumberPlusSign
    {0x10001100, "TRIG_AUTO_HOLD_SET", &CDataManage::cbTrigAutoHoldSet},  // cbTrigAutoHoldSet
    {0x20001100, "TRIG_AUTO_HOLD_GET", &CDataManage::cbTrigAutoHoldGet},  // cbTrigAutoHoldGet
    {0x10001101, "TRIG_AUTO_HOLD_SENS_SET", &CDataManage::cbTrigAutoHoldSensSet},  // cbTrigAutoHoldSensSet
    {0x20001101, "TRIG_AUTO_HOLD_SENS_GET", &CDataManage::cbTrigAutoHoldSensGet},  // cbTrigAutoHoldSensGet
    {0x10001102, "TRIG_AUTO_INTERVAL_SET", &CDataManage::cbTrigAutoIntervalSet},  // cbTrigAutoIntervalSet
    {0x20001102, "TRIG_AUTO_INTERVAL_GET", &CDataManage::cbTrigAutoIntervalGet},  // cbTrigAutoIntervalGet
    {0x10001103, "TRIG_EXT_SET", &CDataManage::cbTrigExtSet},  // cbTrigExtSet
    {0x20001103, "TRIG_EXT_GET", &CDataManage::cbTrigExtGet},  // cbTrigExtGet
    {0x10001104, "TRIG_SINGLE_SET", &CDataManage::cbTrigSingleSet},  // cbTrigSingleSet
    {0x20001104, "TRIG_SINGLE_GET", &CDataManage::cbTrigSingleGet},  // cbTrigSingleGet
    {0x10001105, "TRIG_SINGLE_TRIGGERED", &CDataManage::cbTrigSingleTriggered},  // cbTrigSingleTriggered
    {0x10001106, "TRIG_SOURCE_SET", &CDataManage::cbTrigSourceSet},  // cbTrigSourceSet
    {0x20001106, "TRIG_SOURCE_GET", &CDataManage::cbTrigSourceGet},  // cbTrigSourceGet
    {0x10001107, "TRIG_VMC_STATE_SET", &CDataManage::cbTrigVMCStateSet},  // cbTrigVMCStateSet
    {0x20001107, "TRIG_VMC_STATE_GET", &CDataManage::cbTrigVMCStateGet},  // cbTrigVMCStateGet
    {0x10001108, "TRIG_VMC_POLAR_SET", &CDataManage::cbTrigVMCPolarSet},  // cbTrigVMCPolarSet
    {0x20001108, "TRIG_VMC_POLAR_GET", &CDataManage::cbTrigVMCPolarGet},  // cbTrigVMCPolarGet
    {0x10001109, "TRIG_VMC_PULSE_WIDTH_SET", &CDataManage::cbTrigVMCPulseWidthSet},  // cbTrigVMCPulseWidthSet
    {0x20001109, "TRIG_VMC_PULSE_WIDTH_GET", &CDataManage::cbTrigVMCPulseWidthGet},  // cbTrigVMCPulseWidthGet
    {0x20000600, "MEAS_DCV_DATA", &CDataManage::cbMeas<0>},  // cbMeasDcvData
    {0x20000601, "MEAS_ACV_DATA", &CDataManage::cbMeas<1>},  // cbMeasAcvData
    {0x20000602, "MEAS_DCI_DATA", &CDataManage::cbMeas<2>},  // cbMeasDciData
    {0x20000603, "MEAS_ACI_DATA", &CDataManage::cbMeas<3>},  // cbMeasAciData
    {0x20000604, "MEAS2_WR_DATA", &CDataManage::cbMeas<4>},  // cbMeas2WRData
    {0x20000605, "MEAS4_WR_DATA", &CDataManage::cbMeas<5>},  // cbMeas4WRData
    {0x20000606, "MEAS_CAP_DATA", &CDataManage::cbMeas<6>},  // cbMeasCapData
    {0x20000607, "MEAS_CONT_DATA", &CDataManage::cbMeas<7>},  // cbMeasContData
    {0x20000608, "MEAS_DIODE_DATA", &CDataManage::cbMeas<8>},  // cbMeasDiodeData
    {0x20000609, "MEAS_PERI_DATA", &CDataManage::cbMeas<9>},  // cbMeasPeriData
    {0x2000060a, "MEAS_FREQ_DATA", &CDataManage::cbMeas<10>},  // cbMeasFreqData
    {0x1000060b, "MEAS_SENSOR_DATA", &CDataManage::cbMeasSensorData},  // cbMeasSensorData
    {0x2000060d, "MEAS_DATA_FETCH", &CDataManage::cbMeasDataFetch},  // cbMeasDataFetch
    {0x1000060e, "MEAS_DATA_INITIATE", &CDataManage::cbMeasDataInitiate},  // cbMeasDataInitiate
    {0x2000060f, "MEAS_DATA_READ", &CDataManage::cbMeasDataRead},  // cbMeasDataRead
    {0x20000610, "MEAS_DATA_R", &CDataManage::cbMeasDataR},  // cbMeasDataR
    {0x10000611, "MEAS_DCV_CONFIG", &CDataManage::cbMeasDcvConfig},  // cbMeasDcvConfig
    {0x10000612, "MEAS_ACV_CONFIG", &CDataManage::cbMeasAcvConfig},  // cbMeasAcvConfig
    {0x10000613, "MEAS_DCI_CONFIG", &CDataManage::cbMeasDciConfig},  // cbMeasDciConfig
    {0x10000614, "MEAS_ACI_CONFIG", &CDataManage::cbMeasAciConfig},  // cbMeasAciConfig
    {0x10000615, "MEAS2_WR_CONFIG", &CDataManage::cbMeas2WRConfig},  // cbMeas2WRConfig
    {0x10000616, "MEAS4_WR_CONFIG", &CDataManage::cbMeas4WRConfig},  // cbMeas4WRConfig
    {0x10000617, "MEAS_CAP_CONFIG", &CDataManage::cbMeasCapConfig},  // cbMeasCapConfig
    {0x10000618, "MEAS_CONT_CONFIG", &CDataManage::cbMeasContConfig},  // cbMeasContConfig
    {0x10000619, "MEAS_DIODE_CONFIG", &CDataManage::cbMeasDiodeConfig},  // cbMeasDiodeConfig
    {0x1000061a, "MEAS_PERI_CONFIG", &CDataManage::cbMeasPeriConfig},  // cbMeasPeriConfig
    {0x1000061b, "MEAS_FREQ_CONFIG", &CDataManage::cbMeasFreqConfig},  // cbMeasFreqConfig
    {0x1000061c, "MEAS_SENSOR_CONFIG", &CDataManage::cbMeasSensorConfig},  // cbMeasSensorConfig
    {0x2000061d, "MEAS_CONFIG_GET", &CDataManage::cbMeasConfigGet},  // cbMeasConfigGet
    {0x1000061e, "MEAS_DCV_RESOLUTION_SET", &CDataManage::cbMeasDcvResolutionSet},  // cbMeasDcvResolutionSet
    {0x2000061e, "MEAS_DCV_RESOLUTION_GET", &CDataManage::cbMeasDcvResolutionGet},  // cbMeasDcvResolutionGet
    {0x10000620, "MEAS_DCI_RESOLUTION_SET", &CDataManage::cbMeasDciResolutionSet},  // cbMeasDciResolutionSet
    {0x20000620, "MEAS_DCI_RESOLUTION_GET", &CDataManage::cbMeasDciResolutionGet},  // cbMeasDciResolutionGet
    {0x10000622, "MEAS_OHM2_RESOLUTION_SET", &CDataManage::cbMeasOhm2ResolutionSet},  // cbMeasOhm2ResolutionSet
    {0x20000622, "MEAS_OHM2_RESOLUTION_GET", &CDataManage::cbMeasOhm2ResolutionGet},  // cbMeasOhm2ResolutionGet
    {0x10000623, "MEAS_OHM4_RESOLUTION_SET", &CDataManage::cbMeasOhm4ResolutionSet},  // cbMeasOhm4ResolutionSet
    {0x20000623, "MEAS_OHM4_RESOLUTION_GET", &CDataManage::cbMeasOhm4ResolutionGet},  // cbMeasOhm4ResolutionGet
    {0x20001700, "SENS_DATA_GET", &CDataManage::cbSensDataGet},  // cbSensDataGet
    {0x10001700, "SENS_CONFIG_SAVE", &CDataManage::cbSensConfigSave},  // cbSensConfigSave
    {0x10001701, "SENS_REF_DATA_ADD", &CDataManage::cbSensRefDataAdd},  // cbSensRefDataAdd
    {0x20001701, "SENS_REF_DATA_GET", &CDataManage::cbSensRefDataGet},  // cbSensRefDataGet
    {0x10001702, "SENS_REF_DATA_DEL", &CDataManage::cbSensRefDataDel},  // cbSensRefDataDel
    {0x10001703, "SENS_TYPE_SET", &CDataManage::cbSensTypeSet},  // cbSensTypeSet
    {0x10001704, "SENS_TEMP_FUNC_SET", &CDataManage::cbSensTempFuncSet},  // cbSensTempFuncSet
    {0x10001705, "SENS_CUSTOM_FUNC_SET", &CDataManage::cbSensCustomFuncSet},  // cbSensCustomFuncSet
    {0x10001706, "SENS_NAME_SET", &CDataManage::cbSensNameSet},  // cbSensNameSet
    {0x10001707, "SENS_TEMP_OR_CUSTOM_SET", &CDataManage::cbSensTempOrCustomSet},  // cbSensTempOrCustomSet
    {0x10001708, "SENS_CONFIG_LOAD", &CDataManage::cbSensConfigLoad},  // cbSensConfigLoad
    {0x10001709, "SENS_COLD_SAVE_SET", &CDataManage::cbSensColdSaveSet},  // cbSensColdSaveSet
    {0x20001709, "SENS_COLD_SAVE_GET", &CDataManage::cbSensColdSaveGet},  // cbSensColdSaveGet
    {0x1000170a, "SENS_USER_COLD_SET", &CDataManage::cbSensUserColdSet},  // cbSensUserColdSet
    {0x2000170a, "SENS_USER_COLD_GET", &CDataManage::cbSensUserColdGet},  // cbSensUserColdGet
    {0x1000170b, "SENS_RTD_R0_SET", &CDataManage::cbSensRtdR0Set},  // cbSensRtdR0Set
    {0x2000170b, "SENS_RTD_R0_GET", &CDataManage::cbSensRtdR0Get},  // cbSensRtdR0Get
    {0x1000170c, "SENS_CUSTOM_UNIT_SWITCH", &CDataManage::cbSensCustomUnitSwitch},  // cbSensCustomUnitSwitch
    {0x1000170d, "SENS_DISPLAY_VALUE_SWITCH", &CDataManage::cbSensDisplayValueSwitch},  // cbSensDisplayValueSwitch
    {0x1000170e, "SENS_NEW_ID", &CDataManage::cbSensNewId},  // cbSensNewId
    {0x10001711, "SENS_TEMP_UNIT_SET", &CDataManage::cbSensTempUnitSet},  // cbSensTempUnitSet
    {0x20001711, "SENS_TEMP_UNIT_GET", &CDataManage::cbSensTempUnitGet},  // cbSensTempUnitGet
    {0x10001712, "SENS_CUSTOM_UNIT_SET", &CDataManage::cbSensCustomUnitSet},  // cbSensCustomUnitSet
    {0x20001712, "SENS_CUSTOM_UNIT_GET", &CDataManage::cbSensCustomUnitGet},  // cbSensCustomUnitGet
    {0x10002608, "CALCULATE_DCI_REL_STATE_SET", &CDataManage::cbCalculateRel<1, CDataManage::REL_STATE_SET>},  // cbCalculateDciRelStateSet
    {0x20002608, "CALCULATE_DCI_REL_STATE_GET", &CDataManage::cbCalculateRel<1, CDataManage::REL_STATE_GET>},  // cbCalculateDciRelStateGet
    {0x10002609, "CALCULATE_DCI_REL_OFFSET_SET", &CDataManage::cbCalculateRel<1, CDataManage::REL_OFFSET_SET>},  // cbCalculateDciRelOffsetSet
    {0x20002609, "CALCULATE_DCI_REL_OFFSET_GET", &CDataManage::cbCalculateRel<1, CDataManage::REL_OFFSET_GET>},  // cbCalculateDciRelOffsetGet
    {0x1000260a, "CALCULATE_DCI_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<1, CDataManage::REL_AUTO_SET>},  // cbCalculateDciRelStateAutoSet
    {0x2000260a, "CALCULATE_DCI_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<1, CDataManage::REL_AUTO_GET>},  // cbCalculateDciRelStateAutoGet
    {0x1000262c, "CALCULATE_DCV_REL_STATE_SET", &CDataManage::cbCalculateRel<7, CDataManage::REL_STATE_SET>},  // cbCalculateDcvRelStateSet
    {0x2000262c, "CALCULATE_DCV_REL_STATE_GET", &CDataManage::cbCalculateRel<7, CDataManage::REL_STATE_GET>},  // cbCalculateDcvRelStateGet
    {0x1000262d, "CALCULATE_DCV_REL_OFFSET_SET", &CDataManage::cbCalculateRel<7, CDataManage::REL_OFFSET_SET>},  // cbCalculateDcvRelOffsetSet
    {0x2000262d, "CALCULATE_DCV_REL_OFFSET_GET", &CDataManage::cbCalculateRel<7, CDataManage::REL_OFFSET_GET>},  // cbCalculateDcvRelOffsetGet
    {0x1000262e, "CALCULATE_DCV_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<7, CDataManage::REL_AUTO_SET>},  // cbCalculateDcvRelStateAutoSet
    {0x2000262e, "CALCULATE_DCV_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<7, CDataManage::REL_AUTO_GET>},  // cbCalculateDcvRelStateAutoGet
    {0x1000260b, "CALCULATE_ACI_REL_STATE_SET", &CDataManage::cbCalculateRel<2, CDataManage::REL_STATE_SET>},  // cbCalculateAciRelStateSet
    {0x2000260b, "CALCULATE_ACI_REL_STATE_GET", &CDataManage::cbCalculateRel<2, CDataManage::REL_STATE_GET>},  // cbCalculateAciRelStateGet
    {0x1000260c, "CALCULATE_ACI_REL_OFFSET_SET", &CDataManage::cbCalculateRel<2, CDataManage::REL_OFFSET_SET>},  // cbCalculateAciRelOffsetSet
    {0x2000260c, "CALCULATE_ACI_REL_OFFSET_GET", &CDataManage::cbCalculateRel<2, CDataManage::REL_OFFSET_GET>},  // cbCalculateAciRelOffsetGet
    {0x1000260d, "CALCULATE_ACI_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<2, CDataManage::REL_AUTO_SET>},  // cbCalculateAciRelStateAutoSet
    {0x2000260d, "CALCULATE_ACI_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<2, CDataManage::REL_AUTO_GET>},  // cbCalculateAciRelStateAutoGet
    {0x1000262f, "CALCULATE_ACV_REL_STATE_SET", &CDataManage::cbCalculateRel<8, CDataManage::REL_STATE_SET>},  // cbCalculateAcvRelStateSet
    {0x2000262f, "CALCULATE_ACV_REL_STATE_GET", &CDataManage::cbCalculateRel<8, CDataManage::REL_STATE_GET>},  // cbCalculateAcvRelStateGet
    {0x10002630, "CALCULATE_ACV_REL_OFFSET_SET", &CDataManage::cbCalculateRel<8, CDataManage::REL_OFFSET_SET>},  // cbCalculateAcvRelOffsetSet
    {0x20002630, "CALCULATE_ACV_REL_OFFSET_GET", &CDataManage::cbCalculateRel<8, CDataManage::REL_OFFSET_GET>},  // cbCalculateAcvRelOffsetGet
    {0x10002631, "CALCULATE_ACV_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<8, CDataManage::REL_AUTO_SET>},  // cbCalculateAcvRelStateAutoSet
    {0x20002631, "CALCULATE_ACV_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<8, CDataManage::REL_AUTO_GET>},  // cbCalculateAcvRelStateAutoGet
    {0x10002600, "CALCULATE_CAP_REL_STATE_SET", &CDataManage::cbCalculateRel<0, CDataManage::REL_STATE_SET>},  // cbCalculateCapRelStateSet
    {0x20002600, "CALCULATE_CAP_REL_STATE_GET", &CDataManage::cbCalculateRel<0, CDataManage::REL_STATE_GET>},  // cbCalculateCapRelStateGet
    {0x10002601, "CALCULATE_CAP_REL_OFFSET_SET", &CDataManage::cbCalculateRel<0, CDataManage::REL_OFFSET_SET>},  // cbCalculateCapRelOffsetSet
    {0x20002601, "CALCULATE_CAP_REL_OFFSET_GET", &CDataManage::cbCalculateRel<0, CDataManage::REL_OFFSET_GET>},  // cbCalculateCapRelOffsetGet
    {0x10002602, "CALCULATE_CAP_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<0, CDataManage::REL_AUTO_SET>},  // cbCalculateCapRelStateAutoSet
    {0x20002602, "CALCULATE_CAP_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<0, CDataManage::REL_AUTO_GET>},  // cbCalculateCapRelStateAutoGet
    {0x10002622, "CALCULATE_OHM2_REL_STATE_SET", &CDataManage::cbCalculateRel<6, CDataManage::REL_STATE_SET>},  // cbCalculateOhm2RelStateSet
    {0x20002622, "CALCULATE_OHM2_REL_STATE_GET", &CDataManage::cbCalculateRel<6, CDataManage::REL_STATE_GET>},  // cbCalculateOhm2RelStateGet
    {0x10002623, "CALCULATE_OHM2_REL_OFFSET_SET", &CDataManage::cbCalculateRel<6, CDataManage::REL_OFFSET_SET>},  // cbCalculateOhm2RelOffsetSet
    {0x20002623, "CALCULATE_OHM2_REL_OFFSET_GET", &CDataManage::cbCalculateRel<6, CDataManage::REL_OFFSET_GET>},  // cbCalculateOhm2RelOffsetGet
    {0x10002624, "CALCULATE_OHM2_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<6, CDataManage::REL_AUTO_SET>},  // cbCalculateOhm2RelStateAutoSet
    {0x20002624, "CALCULATE_OHM2_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<6, CDataManage::REL_AUTO_GET>},  // cbCalculateOhm2RelStateAutoGet
    {0x1000261b, "CALCULATE_OHM4_REL_STATE_SET", &CDataManage::cbCalculateRel<5, CDataManage::REL_STATE_SET>},  // cbCalculateOhm4RelStateSet
    {0x2000261b, "CALCULATE_OHM4_REL_STATE_GET", &CDataManage::cbCalculateRel<5, CDataManage::REL_STATE_GET>},  // cbCalculateOhm4RelStateGet
    {0x1000261c, "CALCULATE_OHM4_REL_OFFSET_SET", &CDataManage::cbCalculateRel<5, CDataManage::REL_OFFSET_SET>},  // cbCalculateOhm4RelOffsetSet
    {0x2000261c, "CALCULATE_OHM4_REL_OFFSET_GET", &CDataManage::cbCalculateRel<5, CDataManage::REL_OFFSET_GET>},  // cbCalculateOhm4RelOffsetGet
    {0x1000261d, "CALCULATE_OHM4_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<5, CDataManage::REL_AUTO_SET>},  // cbCalculateOhm4RelStateAutoSet
    {0x2000261d, "CALCULATE_OHM4_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<5, CDataManage::REL_AUTO_GET>},  // cbCalculateOhm4RelStateAutoGet
    {0x10002610, "CALCULATE_FREQ_REL_STATE_SET", &CDataManage::cbCalculateRel<3, CDataManage::REL_STATE_SET>},  // cbCalculateFreqRelStateSet
    {0x20002610, "CALCULATE_FREQ_REL_STATE_GET", &CDataManage::cbCalculateRel<3, CDataManage::REL_STATE_GET>},  // cbCalculateFreqRelStateGet
    {0x10002611, "CALCULATE_FREQ_REL_OFFSET_SET", &CDataManage::cbCalculateRel<3, CDataManage::REL_OFFSET_SET>},  // cbCalculateFreqRelOffsetSet
    {0x20002611, "CALCULATE_FREQ_REL_OFFSET_GET", &CDataManage::cbCalculateRel<3, CDataManage::REL_OFFSET_GET>},  // cbCalculateFreqRelOffsetGet
    {0x10002612, "CALCULATE_FREQ_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<3, CDataManage::REL_AUTO_SET>},  // cbCalculateFreqRelStateAutoSet
    {0x20002612, "CALCULATE_FREQ_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<3, CDataManage::REL_AUTO_GET>},  // cbCalculateFreqRelStateAutoGet
    {0x10002615, "CALCULATE_PERIOD_REL_STATE_SET", &CDataManage::cbCalculateRel<4, CDataManage::REL_STATE_SET>},  // cbCalculatePeriodRelStateSet
    {0x20002615, "CALCULATE_PERIOD_REL_STATE_GET", &CDataManage::cbCalculateRel<4, CDataManage::REL_STATE_GET>},  // cbCalculatePeriodRelStateGet
    {0x10002616, "CALCULATE_PERIOD_REL_OFFSET_SET", &CDataManage::cbCalculateRel<4, CDataManage::REL_OFFSET_SET>},  // cbCalculatePeriodRelOffsetSet
    {0x20002616, "CALCULATE_PERIOD_REL_OFFSET_GET", &CDataManage::cbCalculateRel<4, CDataManage::REL_OFFSET_GET>},  // cbCalculatePeriodRelOffsetGet
    {0x10002617, "CALCULATE_PERIOD_REL_STATE_AUTO_SET", &CDataManage::cbCalculateRel<4, CDataManage::REL_AUTO_SET>},  // cbCalculatePeriodRelStateAutoSet
    {0x20002617, "CALCULATE_PERIOD_REL_STATE_AUTO_GET", &CDataManage::cbCalculateRel<4, CDataManage::REL_AUTO_GET>},  // cbCalculatePeriodRelStateAutoGet
    {0x10002606, "SENSE_DCI_NPLC_SET", &CDataManage::cbSenseDciNplcSet},  // cbSenseDciNplcSet
    {0x20002606, "SENSE_DCI_NPLC_GET", &CDataManage::cbSenseDciNplcGet},  // cbSenseDciNplcGet
    {0x1000261e, "SENSE_OHM4_NPLC_SET", &CDataManage::cbSenseOhm4NplcSet},  // cbSenseOhm4NplcSet
    {0x2000261e, "SENSE_OHM4_NPLC_GET", &CDataManage::cbSenseOhm4NplcGet},  // cbSenseOhm4NplcGet
    {0x10002625, "SENSE_OHM2_NPLC_SET", &CDataManage::cbSenseOhm2NplcSet},  // cbSenseOhm2NplcSet
    {0x20002625, "SENSE_OHM2_NPLC_GET", &CDataManage::cbSenseOhm2NplcGet},  // cbSenseOhm2NplcGet
    {0x1000262a, "SENSE_DCV_NPLC_SET", &CDataManage::cbSenseDcvNplcSet},  // cbSenseDcvNplcSet
    {0x2000262a, "SENSE_DCV_NPLC_GET", &CDataManage::cbSenseDcvNplcGet},  // cbSenseDcvNplcGet
    {0x20002100, "DATA_LAST_GET", &CDataManage::cbDataLastGet},  // cbDataLastGet
    {0x20002101, "DATA_POINTS_GET", &CDataManage::cbDataPointsGet},  // cbDataPointsGet
    {0x10002102, "DATA_POINTS_EVENT_THRESHOLD_SET", &CDataManage::cbDataPointsEventThresholdSet},  // cbDataPointsEventThresholdSet
    {0x20002102, "DATA_POINTS_EVENT_THRESHOLD_GET", &CDataManage::cbDataPointsEventThresholdGet},  // cbDataPointsEventThresholdGet
    {0x20002103, "DATA_REMOVE", &CDataManage::cbDataRemove},  // cbDataRemove
    {0x10002500, "SAMPLE_COUNT_SET", &CDataManage::cbSampleCountSet},  // cbSampleCountSet
    {0x20002500, "SAMPLE_COUNT_GET", &CDataManage::cbSampleCountGet},  // cbSampleCountGet
};

void CDataManage::getCallbacks(std::map<unsigned int, cb_func>& entries) {
    for (const DataManageBinding& binding : g_dataManageBindings) {
        if (!binding.handler) continue;
        Handler handler = binding.handler;
        // An id bound before keeps its first handler.
        entries.emplace(binding.id, [this, handler](unsigned int source, const ValueMap& in, ValueMap* out) {
            return (this->*handler)(source, in, out);
        });
    }
}
