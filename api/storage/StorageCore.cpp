#include "StorageCore.h"

#include <google/protobuf/text_format.h>

#include <vector>

#include "CDataManage.h"
#include "CFEM.h"
#include "FileCore.h"
#include "FunctionManage.h"
#include "Singelton.h"
#include "StorageRecordCheck.h"
#include "SystemSetup.h"
#include "Util/logger.h"

using google::protobuf::TextFormat;

namespace {

// Row of the SCPI error table: -200 "Execution error".
constexpr int kExecutionError = 44;

enum class ReadResult { Ok, LoadFailed, ParseFailed, Refused };

template <typename Message>
ReadResult readTextFile(const std::string& path, Message& out) {
    std::vector<char> bytes;
    if (!SINGLETON_PTR(FileCore)->FileLoad(path, bytes, 0, 0)) {
        return ReadResult::LoadFailed;
    }
    if (!TextFormat::ParseFromString(std::string(bytes.begin(), bytes.end()), &out)) {
        return ReadResult::ParseFailed;
    }
    return ReadResult::Ok;
}

void logReadFailure(ReadResult result) {
    if (result == ReadResult::LoadFailed) {
        PrintE("StorageCore::Load() FileLoad failed, default config action");
    } else if (result == ReadResult::ParseFailed) {
        PrintE("StorageCore::Load() ParseFromString failed, default config action");
    } else {
        PrintE("StorageCore::Load() recall file refused, saved settings kept");
    }
}

// Power-on recall of a setup file: only its function and sensor settings
// replace the mirror's; the mirror's system and image settings stay.
ReadResult recallStateFile(ProtoMirrorInfo& mirror) {
    ProtoMirrorInfo state;
    ReadResult result = readTextFile(mirror.mprotosysinfo().mloadname(), state);
    if (result == ReadResult::Ok && storage_records::checkState(state) != 0) {
        result = ReadResult::Refused;
    }
    if (result == ReadResult::Ok) {
        mirror.mutable_mprotofunctioninfo()->Swap(state.mutable_mprotofunctioninfo());
        mirror.mutable_mprotosensorinfo()->Swap(state.mutable_mprotosensorinfo());
    }
    return result;
}

} // namespace

StorageCore::StorageCore() {
    imageDefaults(m_protoImageInfo);
}

void StorageCore::imageDefaults(ProtoImageInfo& info) {
    info.Clear();
    info.set_mdefaultfilepath("/data/UserData");
}

int StorageCore::Init() {
    ProtoMirrorInfo defaults;
    ConfigDefault(defaults);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mirrorInfoCur.Swap(&defaults);
    }
    Load();
    return 0;
}

int StorageCore::ConfigDefault(ProtoMirrorInfo& out) {
    SINGLETON_PTR(SystemSetup)->ProtoSystemInfoDefault(*out.mutable_mprotosysinfo());
    ProtoFunctionInfo* function = out.mutable_mprotofunctioninfo();
    FunctionManage::instance().ProtoBaseFuncInfoDefault(*function->mutable_mprotobasefuncinfo());
    CDataManage* engine = CDataManage::instance();
    engine->ProtoMathFuncInfoDefault(*function->mutable_mprotomathfuncinfo());
    engine->ProtoTriggerFuncInfoDefault(*function->mutable_mprototriggerinfo());
    engine->ProtoSensorFuncInfoDefault(*out.mutable_mprotosensorinfo());
    std::lock_guard<std::mutex> lock(m_imageMtx);
    imageDefaults(m_protoImageInfo);
    out.mutable_mprotoimageinfo()->CopyFrom(m_protoImageInfo);
    return 0;
}

int StorageCore::Load() {
    PrintI("StorageCore::Load() start");
    ProtoMirrorInfo parsed;
    ProtoMirrorInfo current;
    ReadResult result;
    {
        std::lock_guard<std::mutex> lock(m_fileMtx);
        result = readTextFile(kMirrorPath, parsed);
    }
    if (result == ReadResult::Ok) {
        // The mirror may have been restored from a stick or edited by hand:
        // a part its owner refuses stays as Init left it.
        storage_records::confinePaths(parsed);
        std::lock_guard<std::mutex> lock(m_mutex);
        storage_records::keepRefusedParts(parsed, m_mirrorInfoCur);
    }
    if (result != ReadResult::Ok) {
        logReadFailure(result);
        std::lock_guard<std::mutex> lock(m_mutex);
        current.CopyFrom(m_mirrorInfoCur);
    } else if (parsed.mprotosysinfo().mlastload()) {
        if (!parsed.mprotosysinfo().mloadname().empty()) {
            // A recall file that cannot be read (a USB stick not mounted yet)
            // leaves the saved settings as they are.
            result = recallStateFile(parsed);
            if (result != ReadResult::Ok) {
                logReadFailure(result);
            }
        }
        PrintI("StorageCore::Load() last");
        current.Swap(&parsed);
    } else {
        // Only the language and the power status survive a start without recall.
        PrintI("StorageCore::Load() default");
        ConfigDefault(current);
        current.mutable_mprotosysinfo()->set_mlanguage(parsed.mprotosysinfo().mlanguage());
        current.mutable_mprotosysinfo()->set_mpowerstatus(parsed.mprotosysinfo().mpowerstatus());
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mirrorInfoCur.CopyFrom(current);
    }
    ConfigEffect(current);
    PrintI("StorageCore::Load() end");
    return result == ReadResult::Ok ? 0 : kExecutionError;
}

void StorageCore::gatherState(ProtoMirrorInfo& out) {
    ProtoFunctionInfo* function = out.mutable_mprotofunctioninfo();
    FunctionManage::instance().ProtoBaseFuncInfoGet(*function->mutable_mprotobasefuncinfo());
    CDataManage* engine = CDataManage::instance();
    engine->ProtoMathFuncInfoGet(*function->mutable_mprotomathfuncinfo());
    engine->ProtoTriggerFuncInfoGet(*function->mutable_mprototriggerinfo());
    engine->ProtoSensorFuncInfoGet(*out.mutable_mprotosensorinfo());
}

void StorageCore::gather(ProtoMirrorInfo& out) {
    SINGLETON_PTR(SystemSetup)->ProtoSystemInfoGet(*out.mutable_mprotosysinfo());
    gatherState(out);
    std::lock_guard<std::mutex> lock(m_imageMtx);
    out.mutable_mprotoimageinfo()->CopyFrom(m_protoImageInfo);
}

int StorageCore::Save() {
    // The owners are asked without any of this object's locks held.
    ProtoMirrorInfo gathered;
    gather(gathered);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mirrorInfoCur.Swap(&gathered);
    m_saver.Offer(m_mirrorInfoCur);
    return 0;
}

void StorageCore::WaitSaved() {
    m_saver.Wait();
}

bool StorageCore::writeMirror(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_fileMtx);
    // A failed write is tried again at the next tick; a run of failures
    // (a full medium) is logged once, not every 0.3 s.
    const bool failing = m_mirrorFailing.load();
    bool ok = SINGLETON_PTR(FileCore)->FileSave(kMirrorPath, text.data(), static_cast<int>(text.size()), false,
                                                !failing);
    if (!ok && !failing) {
        PrintE("settings mirror not written, trying again while it fails");
    } else if (ok && failing) {
        PrintI("settings mirror written again");
    }
    m_mirrorFailing.store(!ok);
    return ok;
}

void StorageCore::ConfigEffect(const ProtoMirrorInfo& mirror) {
    SINGLETON_PTR(SystemSetup)->ProtoSystemInfoSet(mirror.mprotosysinfo());
    const ProtoFunctionInfo& function = mirror.mprotofunctioninfo();
    FunctionManage::instance().ProtoBaseFuncInfoSet(function.mprotobasefuncinfo());
    CDataManage* engine = CDataManage::instance();
    engine->ProtoMathFuncInfoSet(function.mprotomathfuncinfo());
    engine->ProtoTriggerFuncInfoSet(function.mprototriggerinfo());
    engine->ProtoSensorFuncInfoSet(mirror.mprotosensorinfo());
    {
        std::lock_guard<std::mutex> lock(m_imageMtx);
        m_protoImageInfo.CopyFrom(mirror.mprotoimageinfo());
    }
    ImageInfoSyncToUI();
}

int StorageCore::DefaultConfigLoad() {
    ProtoMirrorInfo defaults;
    ConfigDefault(defaults);
    ConfigEffect(defaults);
    return 0;
}
