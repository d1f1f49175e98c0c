#include "StorageCore.h"

#include <google/protobuf/text_format.h>

#include <vector>

#include "CDataManage.h"
#include "CFEM.h"
#include "FileCore.h"
#include "FunctionManage.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"

using google::protobuf::TextFormat;

namespace {

// Row of the SCPI error table: -200 "Execution error".
constexpr int kExecutionError = 44;

enum class ReadResult { Ok, LoadFailed, ParseFailed };

ReadResult readMirrorFile(const std::string& path, ProtoMirrorInfo& out) {
    std::vector<char> bytes;
    if (!Copperwren::Singleton<FileCore>::Instance()->FileLoad(path, bytes, 0, 0)) {
        return ReadResult::LoadFailed;
    }
    if (!TextFormat::ParseFromString(std::string(bytes.begin(), bytes.end()), &out)) {
        return ReadResult::ParseFailed;
    }
    return ReadResult::Ok;
}

// Power-on recall of a named state file: its settings replace the mirror's.
// A setup file carries only the function and sensor parts; the mirror's system
// and image settings stay rather than falling back to empty records.
ReadResult recallStateFile(ProtoMirrorInfo& mirror) {
    ProtoMirrorInfo state;
    ReadResult result = readMirrorFile(mirror.mprotosysinfo().mloadname(), state);
    if (result != ReadResult::Ok) {
        return result;
    }
    if (!state.has_mprotosysinfo()) {
        state.mutable_mprotosysinfo()->CopyFrom(mirror.mprotosysinfo());
    }
    if (!state.has_mprotoimageinfo()) {
        state.mutable_mprotoimageinfo()->CopyFrom(mirror.mprotoimageinfo());
    }
    mirror.Swap(&state);
    return ReadResult::Ok;
}

void logReadFailure(ReadResult result) {
    if (result == ReadResult::LoadFailed) {
        PrintE("StorageCore::Load() FileLoad failed, default config action");
    } else {
        PrintE("StorageCore::Load() ParseFromString failed, default config action");
    }
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
    {
        ProtoMirrorInfo defaults;
        ConfigDefault(defaults);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mirrorInfoCur.Swap(&defaults);
    }
    Load();
    return 0;
}

int StorageCore::ConfigDefault(ProtoMirrorInfo& out) {
    Copperwren::Singleton<SystemSetup>::Instance()->ProtoSystemInfoDefault(*out.mutable_mprotosysinfo());
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
        result = readMirrorFile(kMirrorPath, parsed);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        current.CopyFrom(m_mirrorInfoCur);
    }
    bool lastLoad = result == ReadResult::Ok && parsed.mprotosysinfo().mlastload();
    if (lastLoad && !parsed.mprotosysinfo().mloadname().empty()) {
        result = recallStateFile(parsed);
    }
    if (result != ReadResult::Ok) {
        logReadFailure(result);
        ConfigEffect(current);
        return kExecutionError;
    }
    if (lastLoad) {
        PrintI("StorageCore::Load() last");
        current.Swap(&parsed);
    } else {
        // Only the language and the power status survive a start without recall.
        PrintI("StorageCore::Load() default");
        ProtoMirrorInfo defaults;
        ConfigDefault(defaults);
        defaults.mutable_mprotosysinfo()->set_mlanguage(parsed.mprotosysinfo().mlanguage());
        defaults.mutable_mprotosysinfo()->set_mpowerstatus(parsed.mprotosysinfo().mpowerstatus());
        current.Swap(&defaults);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mirrorInfoCur.CopyFrom(current);
    }
    ConfigEffect(current);
    PrintI("StorageCore::Load() end");
    return 0;
}

int StorageCore::Save() {
    ProtoMirrorInfo gathered;
    Copperwren::Singleton<SystemSetup>::Instance()->ProtoSystemInfoGet(*gathered.mutable_mprotosysinfo());
    ProtoFunctionInfo* function = gathered.mutable_mprotofunctioninfo();
    FunctionManage::instance().ProtoBaseFuncInfoGet(*function->mutable_mprotobasefuncinfo());
    CDataManage* engine = CDataManage::instance();
    engine->ProtoMathFuncInfoGet(*function->mutable_mprotomathfuncinfo());
    engine->ProtoTriggerFuncInfoGet(*function->mutable_mprototriggerinfo());
    engine->ProtoSensorFuncInfoGet(*gathered.mutable_mprotosensorinfo());
    {
        std::lock_guard<std::mutex> lock(m_imageMtx);
        gathered.mutable_mprotoimageinfo()->CopyFrom(m_protoImageInfo);
    }

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
    return Copperwren::Singleton<FileCore>::Instance()->FileSave(kMirrorPath, text.data(),
                                                                 static_cast<int>(text.size()), false);
}

void StorageCore::ConfigEffect(const ProtoMirrorInfo& mirror) {
    Copperwren::Singleton<SystemSetup>::Instance()->ProtoSystemInfoSet(mirror.mprotosysinfo());
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

void StorageCore::ImageInfoSyncToUI() {
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(m_imageMtx);
        bytes = m_protoImageInfo.SerializeAsString();
    }
    google::protobuf::Map<int, Value> map;
    insertRaw(map, ON_STORAGE_IMAGE_INFO_CHANGED, std::move(bytes));
    CFEM::pushMessage(ON_STORAGE_IMAGE_INFO_CHANGED, std::move(map));
}

void StorageCore::DateInfoSyncToUI(ProtoDataInfo& info) {
    google::protobuf::Map<int, Value> map;
    insertRaw(map, ON_STORAGE_DATA_INFO_CHANGED, info.SerializeAsString());
    CFEM::pushMessage(ON_STORAGE_DATA_INFO_CHANGED, std::move(map));
}
