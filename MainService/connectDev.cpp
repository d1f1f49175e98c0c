#include "connectDev.h"

#include <functional>

#include "dev/gpio/CGpioCtl.h"
#include "drv/tempDrv/CTempDrv.h"
#include "drv/vorna_adc/CVORNA_ADC.h"
#include "platform/device_io.h"
#include "platform/sim_calibration_set.h"
#include "platform/sim_device.h"
#include "platform/sim_service_inputs.h"
#include "Singelton.h"
#include "StopSignal.h"
#include "SystemSetup.h"
#include "Util/logger.h"

namespace {

constexpr int kRetrySeconds = 2;

// Calls `open` until it succeeds, logging `failure` and pausing between tries.
void connectWithRetry(const std::function<bool()>& open, const char* failure) {
    while (!open()) {
        PrintE("%s", failure);
        StopSignal::pauseOrStop(kRetrySeconds);
    }
}

} // namespace

void connectDev() {
    // A host build measures what the simulation's input file and trigger FIFO say.
    if (platform::devSimulated()) {
        // Only tests read what the simulated devices were sent.
        platform::SimDevice::keepRecords(false);
        platform::simStartServiceInputs([](bool trouble, const std::string& text) {
            if (trouble) {
                PrintW("%s", text.c_str());
            } else {
                PrintI("%s", text.c_str());
            }
        });
        // A set the calibration tool wrote for an older simulated front end
        // loads without a fault and reads some ranges 100 times high: say so once.
        const std::string stale = platform::simCalibrationSetWarning("/vorna/data");
        if (!stale.empty()) {
            PrintW("%s", stale.c_str());
        }
    }
    connectWithRetry([] { return CGpioCtl::instance()->GPIO_Connect(); },
                     "GPIO CONNECT ERROR, try again 2s later!");
    connectWithRetry([] { return CTempDrv::instance().Temp_Connect(); },
                     "CTempDrv CONNECT ERROR, try again 2s later!");
    connectWithRetry([] { return CVORNA_ADC::instance().VORNA_ADC_Connect(); },
                     "VORNA_ADC CONNECT ERROR, try again 2s later!");
    if (SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance()) {
        setup->API_Beeper_StateSet(true);
        setup->API_Beeper_Test();
    }
}
