// The hand-over of a whole command message to the SCPI engine.
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

#include "DrvScpiErrDef.h"
#include "ScpiManage.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "UsbtmcDev.h"
#include "Util/logger.h"

namespace {

// Lives as long as the engine may still answer command `cmd`: with the
// execution task, or only until the hand-over returns when nothing was
// posted. Its end tells a waiting Bulk-IN request that no reply is coming.
// It keeps its host's key alive, so that no later host is given that key
// while one of these lists may still run.
struct CommandRun {
    uint64_t cmd;
    std::shared_ptr<const halUsbtmcHostStru> host;
    CommandRun(uint64_t n, std::shared_ptr<const halUsbtmcHostStru> h) : cmd(n), host(std::move(h)) {}
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
    auto run = std::make_shared<CommandRun>(stUsbtmcDevIO.stTx.beginCommand(), stUsbtmcDevIO.pHost);
    const halUsbtmcHostStru* host = run->host.get();
    auto deliver = [run](std::string reply) { stUsbtmcDevIO.stTx.store(run->cmd, std::move(reply)); };
    // A host's lists keep their order.
    auto result = ScpiManage::instance().ApiScpi_ProcessMessage(text, length, std::move(deliver), host);
    if (result == ScpiManage::MessageResult::Aborted) {
        std::printf("SCPI_CMD_ABORT end\n");
    }
}

void halUsbtmcDevHostGone() {
    // The next host must not wait behind what the old one left, nor share
    // its bound on queued lists: it gets a key of its own.
    std::shared_ptr<const halUsbtmcHostStru> gone =
        std::exchange(stUsbtmcDevIO.pHost, std::make_shared<const halUsbtmcHostStru>());
    ScpiManage::instance().ApiScpi_ClientGone(gone.get());
}

void halUsbtmcDevAbortHost() {
    ScpiManage::instance().ApiScpi_Abort(stUsbtmcDevIO.pHost.get());
}

void halUsbtmcDevRefuseInput() {
    ScpiManage::instance().ApiScpi_PostErrors(stUsbtmcDevIO.pHost.get(),
                                              {ScpiRefusal{0, E363_INPUT_BUFFER_OCVERRUN}});
}

bool halUsbtmcDevHostBusy() {
    std::shared_ptr<const halUsbtmcHostStru> host;
    {
        std::lock_guard<std::mutex> input(stUsbtmcDevIO.mtxInput);
        host = stUsbtmcDevIO.pHost;
    }
    return ScpiManage::instance().ApiScpi_ClientBusy(host.get());
}
