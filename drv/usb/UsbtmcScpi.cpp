// The hand-over of a whole command message to the SCPI engine.
#include <cstdio>
#include <memory>

#include "ScpiManage.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "UsbtmcDev.h"
#include "Util/logger.h"

namespace {

// Lives as long as the engine may still answer command `cmd`: with the
// execution task, or only until the hand-over returns when nothing was
// posted. Its end tells a waiting Bulk-IN request that no reply is coming.
struct CommandRun {
    uint64_t cmd;
    explicit CommandRun(uint64_t n) : cmd(n) {}
    ~CommandRun() { stUsbtmcDevIO.stTx.endCommand(cmd); }
};

} // namespace

void halUsbtmcDevSendToSCPI(const uint8_t* data, uint32_t length, uint8_t /*last*/) {
    const char* text = reinterpret_cast<const char*>(data);
    int len = static_cast<int>(length);
    PrintI("SCPI cmd = %.*s,  cmd len = %d\n", len, text, len);
    if (SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance()) {
        setup->API_SetLocalState(false);
    }
    auto run = std::make_shared<CommandRun>(stUsbtmcDevIO.stTx.beginCommand());
    auto deliver = [run](std::string reply) { stUsbtmcDevIO.stTx.store(run->cmd, std::move(reply)); };
    // One host: its lists keep their order.
    auto result = ScpiManage::instance().ApiScpi_ProcessMessage(text, length, std::move(deliver), &stUsbtmcDevIO);
    if (result == ScpiManage::MessageResult::Aborted) {
        std::printf("SCPI_CMD_ABORT end\n");
    }
}

void halUsbtmcDevHostGone() {
    ScpiManage::instance().ApiScpi_ClientGone(&stUsbtmcDevIO);
}
