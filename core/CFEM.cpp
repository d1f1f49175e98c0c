#include "CFEM.h"

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "CBeeper.h"
#include "CThreadPool.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "Util/logger.h"

using ValueMap = google::protobuf::Map<int, Value>;

CFEM* CFEM::instance() {
    // Never destroyed: pool workers may still deliver a notification while
    // static objects are torn down at exit.
    static CFEM* hub = new CFEM();
    return hub;
}

CFEM::CFEM() : mDelivery([this](service_id id, ValueMap& payload) { deliver(id, payload); }) {
    // The shared pool starts with the hub, whose client-connect jobs run on
    // it, so that the service's threads are all there once it is up.
    CThreadPool::instance();
}

bool CFEM::bindManager(Manager* manager) {
    std::map<unsigned int, cb_func> entries;
    manager->getCallbacks(entries);
    for (auto& entry : entries) {
        bindCallback(entry.first, std::move(entry.second));
    }
    std::unique_lock<std::shared_mutex> lock(mMtx);
    mManages.push_back(manager);
    return true;
}

bool CFEM::bindCallback(unsigned int id, cb_func handler) {
    {
        std::unique_lock<std::shared_mutex> lock(mMtx);
        if (mEntries.emplace(id, std::move(handler)).second) {
            return true;
        }
    }
    PrintI("bindCallback error code=%d", static_cast<int>(id));
    return false;
}

cb_func CFEM::lookup(unsigned int id) const {
    std::shared_lock<std::shared_mutex> lock(mMtx);
    auto it = mEntries.find(id);
    return it != mEntries.end() ? it->second : cb_func();
}

std::vector<Manager*> CFEM::managers() const {
    std::shared_lock<std::shared_mutex> lock(mMtx);
    return mManages;
}

CFEM::NotifySink CFEM::notifySink() const {
    std::shared_lock<std::shared_mutex> lock(mMtx);
    return mSink;
}

void CFEM::setNotifySink(NotifySink sink) {
    CFEM* hub = instance();
    std::unique_lock<std::shared_mutex> lock(hub->mMtx);
    hub->mSink = std::move(sink);
}

int CFEM::handleMessage(unsigned int source, unsigned int id, const ValueMap& in, ValueMap* out) {
    cb_func handler = instance()->lookup(id);
    if (!handler) {
        reportUnbound(id);
        return E101_INVALID_CHARACTER;
    }
    // A caller without a reply map still gets its handler run safely.
    ValueMap scratch;
    int result;
    try {
        result = handler(source, in, out != nullptr ? out : &scratch);
    } catch (const std::exception& ex) {
        // Handlers report failures by result; one that throws anyway (out of
        // memory) fails its command, and its caller's bookkeeping (the
        // running SCPI list, the session) carries on as after any failure.
        PrintE("MID(HEX)=0x%08x threw: %s", id, ex.what());
        result = E200_EXECUTION_ERROR;
    }
    if (result != 0) {
        reportFailure(id, result);
    }
    return result;
}

void CFEM::reportUnbound(unsigned int id) {
    SCP_ExecuteErrNotify();
    SCP_WriteErrorQueue(g_asErrInfo[E101_INVALID_CHARACTER]);
    PrintE("MID(HEX)=0x%08x, MID(EDC)=%d, not bind\n", id, static_cast<int>(id));
    CBeeper::instance()->Beeper_Test();
}

void CFEM::reportFailure(unsigned int id, int result) {
    SCP_ExecuteErrNotify();
    // Only a row of the table may be looked up; rows without text queue
    // nothing (beyond the overflow entry when the queue is about to fill).
    if (result > 0 && result < SCP_ERR_DEF_BUTT) {
        SCP_WriteErrorQueue(g_asErrInfo[result]);
    } else {
        PrintE("MID(HEX)=0x%08x returned %d, which is no row of the error table; nothing queued", id, result);
    }
    PrintE("MID(HEX)=0x%08x, MID(EDC)=%d, exec error(%d)\n", id, static_cast<int>(id), result);
    CBeeper::instance()->Beeper_Test();
}

void CFEM::pushMessage(service_id id, ValueMap payload) {
    instance()->mDelivery.push(id, std::move(payload));
}

void CFEM::deliver(service_id id, ValueMap& payload) const {
    NotifySink sink = notifySink();
    if (!sink) {
        return;
    }
    DataPack pack;
    pack.set_code(static_cast<int32_t>(static_cast<uint32_t>(id) | NOTIFY_CODE_FLAG));
    pack.mutable_data()->swap(payload);
    sink(pack);
}

void CFEM::FEM_ClientConnect() {
    CThreadPool::instance()->async(
        [] {
            for (Manager* manager : instance()->managers()) {
                manager->onClientConnect();
            }
        },
        true);
}
