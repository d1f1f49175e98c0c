#include "CVORNA_ADC.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Util/logger.h"
#include "dev/spi/spi2dev.h"
#include "drv/vorna_adc/VornaAdcRowChoice.h"
#include "platform/device_io.h"

namespace {

constexpr const char* kSpiPath = "/dev/spidev3.0";
constexpr const char* kRelayPath = "/dev/sn74ahc_ctl";
constexpr uint8_t kSpiMode = 0;
constexpr uint8_t kSpiBits = 8;
constexpr uint32_t kSpiSpeedHz = 1000000;

constexpr uint8_t kRegCtrl = 0x20;
constexpr uint8_t kRegAcc = 0x30;
constexpr uint8_t kRegCounterC = 0x1B;
constexpr uint8_t kCountersRun = 0x02;
constexpr uint32_t kAccKeyBase = TYPE_ACV * 64;

bool accRange(int32_t range) { return range >= 0 && range <= 2; }

// Functions measured on a row that runs the counters. FREQ and PERIOD count on
// the ACV rows: without the reset their first result after a change from
// another function would come from counters never preset.
bool countsSignal(MeasureTypeEnum func) {
    return func == TYPE_ACV || func == TYPE_ACI || func == TYPE_FREQ || func == TYPE_PERIOD;
}

// Patches rate, auto-zero, filter and impedance bits into a working copy of a
// row. The chopper table knows auto-zero off and on only: any value but 0 is on.
void patchRow(AdcRow& setting, const structFuncConfig& cfg, bool highImpedance) {
    uint8_t& r22 = setting[vorna_adc_rows::kPair22].u8Value;
    uint8_t& r29 = setting[vorna_adc_rows::kPair29].u8Value;
    uint8_t& r33 = setting[vorna_adc_rows::kPair33].u8Value;
    const uint8_t chop = AD1CHOP[cfg.s32AutoZ != 0 ? 1 : 0];
    switch (cfg.eRealFunc) {
        case TYPE_DCV:
            r22 = static_cast<uint8_t>((r22 & 0xE0) | (highImpedance ? 0x06 : (AD1OSR[cfg.eRate] & 0x07)));
            r33 = static_cast<uint8_t>(r33 & 0xF3);
            break;
        case TYPE_ACV:
        case TYPE_PERIOD:
        case TYPE_FREQ:
        case TYPE_ACI:
            r29 = static_cast<uint8_t>((r29 & 0xC7) | (LPFBW[cfg.eRate] & 0x18) | 0x20);
            break;
        case TYPE_DCI:
            r22 = static_cast<uint8_t>((r22 & 0xE0) | 0x03 | (chop & 0x18));
            r33 = static_cast<uint8_t>(r33 & 0xF3);
            break;
        case TYPE_OHM2:
        case TYPE_OHM4:
            r22 = static_cast<uint8_t>((r22 & 0xE0) | (cfg.eRate == E_Slow ? 0x06 : 0x03) | (chop & 0x08) |
                                       (cfg.s32AutoZ != 0 ? 0x10 : 0x00));
            break;
        case TYPE_CONT:
            r22 = 0x00;
            break;
        case TYPE_DIODE:
            r22 = 0x14;
            break;
        default:
            break;
    }
}

} // namespace

CVORNA_ADC::CVORNA_ADC() {
    m_FuncConfig.bMainConfig = true;
    m_FuncConfig.s32RangeMax = 1;
    m_FuncConfig.s32Range = 0;
    m_FuncConfig.s32AutoZ = 1;
    m_FuncConfig.eRate = E_Slow;
    m_FuncConfig.eRealFunc = TYPE_DCV;
}

CVORNA_ADC& CVORNA_ADC::instance() {
    static CVORNA_ADC adc;
    return adc;
}

bool CVORNA_ADC::openSpi() {
    int fd = platform::devOpen(kSpiPath, O_RDWR);
    if (fd < 0) {
        PrintE("CVORNA_ADC Open failed: %s", std::strerror(errno));
        return false;
    }
    // A bus that cannot be set up is reported and closed; the start-up tries
    // again in 2 s instead of ending the process.
    if (!SPI_Configure(fd, kSpiMode, kSpiBits, kSpiSpeedHz)) {
        PrintE("CVORNA_ADC SPI setup failed: %s", std::strerror(errno));
        platform::devClose(fd);
        return false;
    }
    m_s32SpiFD = fd;
    return true;
}

bool CVORNA_ADC::VORNA_ADC_Connect() {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    std::lock_guard<std::mutex> bus(mMtx);
    bool opened_spi = false;
    if (m_s32SpiFD < 0) {
        if (!openSpi()) {
            return false;
        }
        opened_spi = true;
    }
    if (m_s32GpioFD < 0) {
        int fd = platform::devOpen(kRelayPath, O_RDWR);
        if (fd < 0) {
            PrintE("595PWR Open failed: %s, %s", std::strerror(errno), kRelayPath);
            if (opened_spi) {
                platform::devClose(m_s32SpiFD);
                m_s32SpiFD = -1;
            }
            return false;
        }
        m_s32GpioFD = fd;
    }
    return true;
}

bool CVORNA_ADC::writeReg(uint8_t addr, uint8_t value) {
    if (m_s32SpiFD < 1) {
        return false;
    }
    uint8_t tx[2] = {static_cast<uint8_t>(addr << 1), value};
    return SPI_Write(m_s32SpiFD, tx, 2) >= 0;
}

int32_t CVORNA_ADC::readRegs(uint8_t* out, uint8_t start, int32_t count) {
    if (out == nullptr || count < 0 || count > kMaxReadBytes || m_s32SpiFD < 1) {
        PrintE("m_s32SpiFD=%d, s32ByteCount=%d", m_s32SpiFD, count);
        return -1;
    }
    uint8_t tx[kMaxReadBytes + 2] = {};
    uint8_t rx[kMaxReadBytes + 2] = {};
    tx[0] = static_cast<uint8_t>((start << 1) | 1);
    tx[1] = count >= 2 ? 0xFF : 0x00;
    if (SPI_Transfer(m_s32SpiFD, tx, rx, count + 2) < 1) {
        PrintE("can't send spi message");
        return -1;
    }
    // The converter answers one bit late.
    for (int32_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>((rx[i + 1] << 1) | (rx[i + 2] >> 7));
    }
    return 0;
}

int32_t CVORNA_ADC::VORNA_ADC_ReadData(uint8_t* pu8DataBuffer, uint8_t u8StartAddress, int32_t s32ByteCount) {
    std::lock_guard<std::mutex> bus(mMtx);
    return readRegs(pu8DataBuffer, u8StartAddress, s32ByteCount);
}

bool CVORNA_ADC::VORNA_ADC_AcqData(uint32_t& func, structFuncConfig& config, uint8_t* readBuf, int32_t len) {
    std::lock_guard<std::mutex> bus(mMtx);
    // Mid-switch the converter may run the new row on the old relays: the
    // frame belongs to neither configuration. Not read, and no error.
    if (m_bSwitching) return false;
    if (len < 1 || len > kFrameBytes || readRegs(readBuf, 0, len) != 0) {
        PrintE("read reg data Error !");
        return false;
    }
    func = m_eFunc;
    config = m_FuncConfig;
    return true;
}

void CVORNA_ADC::countResetLocked(uint8_t status) {
    if (m_s32SpiFD < 1) {
        return;
    }
    writeReg(kRegCtrl, status & static_cast<uint8_t>(~kCountersRun));
    std::this_thread::sleep_for(std::chrono::microseconds(10));
    uint8_t preset[4] = {static_cast<uint8_t>(kRegCounterC << 1), 0x00, 0x00, 0xC0};
    SPI_Write(m_s32SpiFD, preset, 4);
    writeReg(kRegCtrl, status | kCountersRun);
}

void CVORNA_ADC::VORNA_ADC_CountReset(uint8_t Status) {
    std::lock_guard<std::mutex> bus(mMtx);
    countResetLocked(Status);
}

void CVORNA_ADC::writeAccLocked(uint32_t val, MeasureTypeEnum func, int32_t range) {
    if (func != TYPE_ACV || !accRange(range)) {
        return;
    }
    uint8_t old = 0;
    // Without the register's bit 7 the write would clear or set a row bit.
    if (readRegs(&old, kRegAcc, 1) != 0) {
        PrintE("write acc=%d skipped: register read failed", static_cast<int>(val));
        return;
    }
    auto value = static_cast<uint8_t>((old & 0x80) | val);
    PrintI("write acc=%d, val=0x%02x", static_cast<int>(val), value);
    writeReg(kRegAcc, value);
}

// Acc writes wait for a configuration under way: the row it writes is the
// one the register belongs to.
void CVORNA_ADC::VORNA_ADC_WriteAcc(uint32_t val) {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    std::lock_guard<std::mutex> bus(mMtx);
    writeAccLocked(val, m_eFunc, m_FuncConfig.s32Range);
}

void CVORNA_ADC::VORNA_ADC_SetAcc(uint32_t func, uint32_t range, uint32_t acc) {
    if (func != TYPE_ACV || range > 2) {
        return;
    }
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    std::lock_guard<std::mutex> bus(mMtx);
    PrintI("SetAcc key=%d, val=%d", static_cast<int>(kAccKeyBase + range), static_cast<int>(acc));
    m_accMap[kAccKeyBase + range] = acc;
    writeAccLocked(acc, m_eFunc, m_FuncConfig.s32Range);
}

void CVORNA_ADC::VORNA_ADC_GetAcc(std::map<uint32_t, uint32_t>& accMap) {
    std::lock_guard<std::mutex> bus(mMtx);
    for (const auto& entry : m_accMap) {
        PrintI("GetAcc key=%d, val=%d", static_cast<int>(entry.first), static_cast<int>(entry.second));
        accMap.insert(entry);
    }
}

bool CVORNA_ADC::VORNA_ADC_ADCInitial(const AdcRow& row) {
    std::lock_guard<std::mutex> bus(mMtx);
    return writeRowLocked(row, m_eFunc, m_FuncConfig.s32Range);
}

bool CVORNA_ADC::writeRowLocked(const AdcRow& row, MeasureTypeEnum func, int32_t range) {
    for (const AdcRegPair& pair : row) {
        if (m_s32SpiFD <= 0 || !writeReg(pair.u8Addr, pair.u8Value)) {
            PrintE(" CVORNA_ADC Init Error !");
            return false;
        }
    }
    if (countsSignal(func)) {
        countResetLocked(row[vorna_adc_rows::kPairCtrl].u8Value);
    }
    if (func == TYPE_ACV && accRange(range)) {
        auto it = m_accMap.find(kAccKeyBase + static_cast<uint32_t>(range));
        if (it != m_accMap.end()) {
            writeAccLocked(it->second, func, range);
        }
    }
    return true;
}

// Whole under both locks: a configuration cannot change between the look at
// the function and the row written for it.
void CVORNA_ADC::chargeRow(bool charge) {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    std::lock_guard<std::mutex> bus(mMtx);
    const int32_t range = m_FuncConfig.s32Range;
    if (m_eFunc != TYPE_CAP) {
        return;
    }
    if (!charge) {
        writeRowLocked(DISCHARGe_Setting, m_eFunc, range);
    } else if (range >= 0 && range < 8) {
        writeRowLocked(CAP_Setting[range], m_eFunc, range);
    }
}

void CVORNA_ADC::VORNA_ADC_Charge() { chargeRow(true); }
void CVORNA_ADC::VORNA_ADC_Discharge() { chargeRow(false); }

void CVORNA_ADC::switchRelays(uint8_t code) {
    if (code == m_595Mode) {
        return;
    }
    m_595Mode = code;
    uint8_t byte = static_cast<uint8_t>(code << 1);
    auto ret = platform::devWrite(m_s32GpioFD, &byte, 1);
    std::printf("VORNA_ADC_Switch595 %d, %d\n", byte, static_cast<int>(ret));
    std::fflush(stdout);
}

void CVORNA_ADC::publishLocked(MeasureTypeEnum eFunc, structFuncConfig config) {
    m_eFunc = eFunc;
    m_FuncConfig = std::move(config);
    m_bSwitching = false;
}

// A frame is handed out with the configuration in effect, and the loop decodes
// it by that configuration. So the new one is published only once the front
// end runs it (row and relays), and frames read while it is being switched are
// refused: published before, a frame of the old function's signal would read
// as a reading of the new one (a current read on a resistance scale).
void CVORNA_ADC::updateConfigLocked(MeasureTypeEnum eFunc, structFuncConfig config, bool update) {
    if (config.s32Range == -1) {
        return;
    }
    if (config.eRate < E_Slow || config.eRate > E_Fast) {
        PrintE("VORNA_ADC_UpdateConfig: rate %d out of range", static_cast<int>(config.eRate));
        return;
    }
    AdcRowChoice choice;
    AdcRowResult result = VornaAdcChooseRow(config.eRealFunc, config.s32Range, config.s32RangeMax, m_Is412,
                                            m_cfgVer, m_u32DcvImpe, choice);
    if (result == AdcRowResult::BadRange) {
        PrintE("VORNA_ADC_UpdateConfig: function %d has no range %d", static_cast<int>(config.eRealFunc),
               static_cast<int>(config.s32Range));
        return;
    }
    std::unique_lock<std::mutex> bus(mMtx);
    const bool changed = eFunc != m_eFunc || config.s32Range != m_FuncConfig.s32Range ||
                         config.eRealFunc != m_FuncConfig.eRealFunc ||
                         ((eFunc == TYPE_OHM2 || eFunc == TYPE_OHM4) && config.eRate != m_FuncConfig.eRate);
    if (result == AdcRowResult::Unsupported) {
        publishLocked(eFunc, std::move(config));
        bus.unlock();
        std::printf("MeasureTypeEnum=%d not support\n", static_cast<int>(eFunc));
        std::fflush(stdout);
        return;
    }
    AdcRow setting = *choice.row;
    patchRow(setting, config, choice.highImpedance);
    const bool write = changed || update || choice.highImpedance;
    if (write && !writeRowLocked(setting, eFunc, config.s32Range)) {
        // Published all the same: the next forced configuration (the loop's
        // recovery) rewrites the whole row.
        publishLocked(eFunc, std::move(config));
        return;
    }
    // The relay device is not the bus: frames may be read meanwhile, and are
    // refused until the new configuration is published.
    m_bSwitching = choice.relay != m_595Mode;
    bus.unlock();
    switchRelays(choice.relay);
    bus.lock();
    publishLocked(eFunc, std::move(config));
}

void CVORNA_ADC::VORNA_ADC_UpdateConfig(MeasureTypeEnum eFunc, const structFuncConfig& config, bool update) {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    updateConfigLocked(eFunc, config, update);
}

bool CVORNA_ADC::VORNA_ADC_UpdateConfigIf(MeasureTypeEnum expectFunc, int32_t expectRange, MeasureTypeEnum eFunc,
                                          const structFuncConfig& config) {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    {
        std::lock_guard<std::mutex> bus(mMtx);
        if (m_eFunc != expectFunc || m_FuncConfig.s32Range != expectRange) return false;
    }
    updateConfigLocked(eFunc, config, false);
    return true;
}

void CVORNA_ADC::VORNA_ADC_ConfigRecover() {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    MeasureTypeEnum func;
    structFuncConfig config;
    {
        std::lock_guard<std::mutex> bus(mMtx);
        func = m_eFunc;
        config = m_FuncConfig;
    }
    updateConfigLocked(func, std::move(config), true);
}

void CVORNA_ADC::VORNA_ADC_SetDcvImpe(uint32_t val) {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    m_u32DcvImpe = val;
}

void CVORNA_ADC::VORNA_ADC_SetMode412(bool is412) {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    m_Is412 = is412;
}

void CVORNA_ADC::VORNA_ADC_SetCfgVer(uint32_t ver) {
    std::lock_guard<std::mutex> cfg(mCfgMtx);
    m_cfgVer = ver;
}
