#pragma once
#include <cstdint>
#include <map>
#include <mutex>

#include "drv/vorna_adc/VornaAdcRows.h"
#include "include/inc_type.h"

// The measurement front end: the converter chip on SPI ("/dev/spidev3.0"),
// programmed by rows of (register, value) pairs and read as one 34-byte result
// frame, and the range/relay shift register ("/dev/sn74ahc_ctl"), which takes
// one byte. One instance in the process; the devices stay open for its life.
//
// Locks: mCfgMtx serialises whole configurations (UpdateConfig,
// ConfigRecover, the charge rows, acc writes and the settings they read);
// mMtx serialises the bus (row writes, frame and register reads, counter
// resets, acc writes) and guards the configuration members that AcqData
// copies. Order: mCfgMtx before mMtx. No public operation holds mCfgMtx while
// it waits for anything but the bus and the relay device.
class CVORNA_ADC {
public:
    static constexpr int32_t kFrameBytes = 34;  // registers 0x00..0x21 of one result frame
    static constexpr int32_t kMaxReadBytes = 56;

    CVORNA_ADC();
    virtual ~CVORNA_ADC() = default;

    static CVORNA_ADC& instance();

    // Opens what is not open yet: the SPI device (set to mode 0, 8 bits per
    // word, 1 MHz) and the relay device. True when both are open. A call that
    // fails closes what it opened itself, so retrying every 2 s leaks nothing.
    bool VORNA_ADC_Connect();

    // Brings the front end to the configuration of `eFunc`; `update` forces
    // the row write when nothing changed. A range of -1 (not yet resolved)
    // changes nothing; so does a range or rate outside the tables (logged).
    void VORNA_ADC_UpdateConfig(MeasureTypeEnum eFunc, const structFuncConfig& config, bool update);
    // As UpdateConfig, but only while the front end still runs `expectFunc`
    // on range `expectRange`: the measurement loop's own range changes must
    // not undo a configuration a handler wrote meanwhile. False: not applied.
    bool VORNA_ADC_UpdateConfigIf(MeasureTypeEnum expectFunc, int32_t expectRange, MeasureTypeEnum eFunc,
                                  const structFuncConfig& config);
    // Rewrites the configuration in effect (row and, when needed, relays).
    void VORNA_ADC_ConfigRecover();

    // Writes one row pair by pair; true when all 26 writes succeeded. Then
    // restarts the counters (ACV, ACI) and restores the acc value (ACV 0-2).
    bool VORNA_ADC_ADCInitial(const AdcRow& row);
    // Capacitance ranges 6-7: charge / discharge the front end (nothing while
    // another function is configured).
    void VORNA_ADC_Charge();
    void VORNA_ADC_Discharge();

    // Stops the counters, presets counter C to -4194304 and runs them again;
    // `Status` is the control register's value (frame byte 32).
    void VORNA_ADC_CountReset(uint8_t Status);
    // Reads `len` (1..34) bytes of the result frame into readBuf; on success
    // also hands out the function and configuration that the frame belongs to.
    // False also while a configuration's relays are being switched: a frame
    // then belongs to none (nothing is read, nothing logged).
    bool VORNA_ADC_AcqData(uint32_t& func, structFuncConfig& config, uint8_t* readBuf, int32_t len);
    // Reads s32ByteCount (0..56) registers from u8StartAddress; 0 or -1.
    int32_t VORNA_ADC_ReadData(uint8_t* pu8DataBuffer, uint8_t u8StartAddress, int32_t s32ByteCount);

    // Acc values of ACV ranges 0-2 (key function * 64 + range).
    void VORNA_ADC_WriteAcc(uint32_t val);
    void VORNA_ADC_SetAcc(uint32_t func, uint32_t range, uint32_t acc);
    void VORNA_ADC_GetAcc(std::map<uint32_t, uint32_t>& accMap);

    // Settings applied by the next configuration; nothing is written now.
    void VORNA_ADC_SetDcvImpe(uint32_t val);
    void VORNA_ADC_SetMode412(bool is412);
    void VORNA_ADC_SetCfgVer(uint32_t ver);

private:
    bool openSpi();
    // The bodies below expect their lock to be held by the caller.
    void updateConfigLocked(MeasureTypeEnum eFunc, structFuncConfig config, bool update);
    bool writeReg(uint8_t addr, uint8_t value);
    int32_t readRegs(uint8_t* out, uint8_t start, int32_t count);
    // A row for `func` on `range`, then its counter reset and acc value.
    bool writeRowLocked(const AdcRow& row, MeasureTypeEnum func, int32_t range);
    void countResetLocked(uint8_t status);
    void writeAccLocked(uint32_t val, MeasureTypeEnum func, int32_t range);
    void publishLocked(MeasureTypeEnum eFunc, structFuncConfig config);
    // Under mCfgMtx; the relay device is written outside mMtx.
    void switchRelays(uint8_t code);
    void chargeRow(bool charge);

    int32_t m_s32SpiFD = -1;   // descriptor of the SPI device
    int32_t m_s32GpioFD = -1;  // descriptor of the relay device
    uint8_t m_595Mode = 255;   // relay code last written; 255 matches none
    MeasureTypeEnum m_eFunc = TYPE_DCV;
    structFuncConfig m_FuncConfig;
    uint32_t m_u32DcvImpe = 0;
    std::map<uint32_t, uint32_t> m_accMap;
    std::mutex mMtx;
    // A configuration's row is written and its relays are being switched:
    // frames belong to no configuration and are refused (under mMtx).
    bool m_bSwitching = false;
    bool m_Is412 = false;
    uint32_t m_cfgVer = 0;
    std::mutex mCfgMtx;
};
