// The UI link as a process of its own, for the whole-process tests: logging,
// the SCPI error queue, ConnService on 9999/9998 and one test manager. Runs
// until SIGINT or SIGTERM, then returns 0.
//
// Test manager:
//   0x1000F001: pushes UPDATE_MEASURE_DATA with the request's u32 under key 1
//               and answers it under key 1 as well.
//   0x2000F002: answers under key 0xF002 how often 0x1000F001 ran.
//   onClientConnect: pushes UPDATE_FUNCTION_CONFIG with the number of
//               notification clients that connected so far under key 1.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>

#include "CFEM.h"
#include "ConnService.h"
#include "DrvInterfaceManage.h"
#include "DrvScpiSM.h"
#include "Util/logger.h"
#include "dev/gpio/CGpioCtl.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

constexpr unsigned int kNotifyId = 0x1000F001;
constexpr unsigned int kCallsId = 0x2000F002;

class FixtureManager : public Manager {
public:
    FixtureManager() : Manager("ui_link_fixture") {}

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override {
        entries[kNotifyId] = [this](unsigned int, const ValueMap& in, ValueMap* out) {
            ++_calls;
            ValueMap payload;
            insertU32(payload, 1, in.count(1) != 0 ? in.at(1).u32val() : 0);
            CFEM::pushMessage(UPDATE_MEASURE_DATA, payload);
            *out = payload;
            return 0;
        };
        entries[kCallsId] = [this](unsigned int, const ValueMap&, ValueMap* out) {
            insertU32(*out, kCallsId & 0xFFFF, _calls.load());
            return 0;
        };
    }
    void onClientConnect() override {
        ValueMap payload;
        insertU32(payload, 1, ++_connects);
        CFEM::pushMessage(UPDATE_FUNCTION_CONFIG, payload);
    }

private:
    std::atomic<unsigned int> _calls{0}, _connects{0};
};

} // namespace

int main() {
    // Every thread started from here on inherits the blocked signals, so
    // they reach the main thread's sigwait only.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    toolkit::Logger::Instance().add(std::make_shared<toolkit::ConsoleChannel>());
    toolkit::Logger::Instance().setWriter(std::make_shared<toolkit::AsyncLogWriter>());
    Interface_SCPManage(1);  // the error queue that failures land in
    SCP_SetInterfaceIsUsed(1);
    DrvScpi_SmInitial();
    CGpioCtl::instance()->GPIO_Connect();  // the beeper sounds through it
    // Bound managers live until exit, as the service's own do.
    CFEM::instance()->bindManager(new FixtureManager());
    try {
        ConnService::instance()->start();
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "ui_link_fixture: %s\n", ex.what());
        return 1;
    }
    std::printf("ui_link_fixture: listening on %u and %u\n", ConnService::instance()->requestPort(),
                ConnService::instance()->notifyPort());
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    std::printf("ui_link_fixture: stopping on signal %d\n", signal_number);
    std::fflush(stdout);
    return 0;
}
