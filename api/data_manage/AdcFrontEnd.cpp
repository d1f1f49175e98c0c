#include "AcqFrontEnd.h"
#include "drv/vorna_adc/CVORNA_ADC.h"

namespace {

// The converter driver of the process. Frame reads go through AcqData, which
// holds the driver's bus lock, also where only the frame is wanted.
class ConverterFrontEnd : public AcqFrontEnd {
public:
    bool acqData(uint32_t& func, structFuncConfig& config, uint8_t* buf, int32_t len) override {
        return adc().VORNA_ADC_AcqData(func, config, buf, len);
    }
    void configRecover() override { adc().VORNA_ADC_ConfigRecover(); }
    void countReset(uint8_t status) override { adc().VORNA_ADC_CountReset(status); }
    void charge() override { adc().VORNA_ADC_Charge(); }
    void discharge() override { adc().VORNA_ADC_Discharge(); }
    void setAcc(uint32_t func, uint32_t range, uint32_t acc) override { adc().VORNA_ADC_SetAcc(func, range, acc); }
    bool changeRange(MeasureTypeEnum func, int32_t fromRange, const structFuncConfig& config) override {
        return adc().VORNA_ADC_UpdateConfigIf(func, fromRange, func, config);
    }

private:
    static CVORNA_ADC& adc() { return CVORNA_ADC::instance(); }
};

} // namespace

AcqFrontEnd& AcqFrontEnd::converter() {
    static ConverterFrontEnd frontEnd;
    return frontEnd;
}
