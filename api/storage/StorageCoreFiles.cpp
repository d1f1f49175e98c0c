// The user files of StorageCore (setup, preferences, sensor, data), the image
// settings and the notifications to the UI.
#include <google/protobuf/text_format.h>

#include <string>
#include <vector>

#include "CDataManage.h"
#include "CFEM.h"
#include "FileCore.h"
#include "FunctionManage.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "StorageRecordCheck.h"
#include "SystemSetup.h"
#include "Util/logger.h"

using google::protobuf::TextFormat;

namespace {

constexpr int kSuffixError = 23;
constexpr int kExecutionError = 44;
// What a setup-file load answers when the file cannot be used.
constexpr int kStateLoadFailed = -10;

const char* const kExtensions[] = {"sta", "prf", "dat", "csv", "xsen"};

int saveText(const std::string& path, StorageFileType type, const google::protobuf::Message& record) {
    if (!StorageCore::extensionIs(path, type)) {
        return kSuffixError;
    }
    std::string text;
    TextFormat::PrintToString(record, &text);
    if (!SINGLETON_PTR(FileCore)->FileSave(path, text.data(), static_cast<int>(text.size()), false)) {
        PrintE("File save failed! file = %s", path.c_str());
        return kExecutionError;
    }
    return 0;
}

// Reads and parses one user file into a fresh `out`: 0, or `failed`.
int loadText(const std::string& path, StorageFileType type, google::protobuf::Message& out, int failed) {
    if (!StorageCore::extensionIs(path, type)) {
        return kSuffixError;
    }
    std::vector<char> bytes;
    const long long bound = type == FILE_TYPE_DAT ? FileCore::kDataFileMax : FileCore::kSettingsFileMax;
    if (!SINGLETON_PTR(FileCore)->FileLoad(path, bytes, 0, 0, bound)) {
        PrintE("FileLoad failed");
        return failed;
    }
    if (!TextFormat::ParseFromString(std::string(bytes.begin(), bytes.end()), &out)) {
        PrintE("ParseFromString failed");
        return failed;
    }
    return 0;
}

} // namespace

std::string StorageCore::extensionOf(const std::string& path) {
    const auto dot = path.rfind('.');
    return dot == std::string::npos ? path : path.substr(dot + 1);
}

bool StorageCore::extensionIs(const std::string& path, StorageFileType type) {
    if (extensionOf(path) == kExtensions[type]) {
        return true;
    }
    PrintE("File path error file = %s", path.c_str());
    return false;
}

int StorageCore::StateConfigSave(const std::string& path) {
    ProtoMirrorInfo state;
    gatherState(state);
    return saveText(path, FILE_TYPE_STA, state);
}

int StorageCore::SystemConfigSave(const std::string& path) {
    ProtoSystemInfo info;
    SINGLETON_PTR(SystemSetup)->ProtoSystemInfoGet(info);
    return saveText(path, FILE_TYPE_PRF, info);
}

int StorageCore::SensorConfigSave(const std::string& path) {
    ProtoSensorFuncInfo info;
    CDataManage::instance()->ProtoSensorFuncInfoGet(info);
    return saveText(path, FILE_TYPE_XSEN, info);
}

int StorageCore::MeasDataSave(const std::string& path) {
    ProtoDataInfo info;
    CDataManage::instance()->ProtoDataInfoGet(info);
    return saveText(path, FILE_TYPE_DAT, info);
}

int StorageCore::StateConfigLoad(const std::string& path) {
    ProtoMirrorInfo state;
    int result = loadText(path, FILE_TYPE_STA, state, kStateLoadFailed);
    if (result != 0) {
        return result;
    }
    // Applied whole or not at all.
    if (storage_records::checkState(state) != 0) {
        PrintE("State file %s refused", path.c_str());
        return kStateLoadFailed;
    }
    const ProtoFunctionInfo& function = state.mprotofunctioninfo();
    FunctionManage::instance().ProtoBaseFuncInfoSet(function.mprotobasefuncinfo());
    CDataManage* engine = CDataManage::instance();
    engine->ProtoSensorFuncInfoSet(state.mprotosensorinfo());
    engine->ProtoMathFuncInfoSet(function.mprotomathfuncinfo());
    engine->ProtoTriggerFuncInfoSet(function.mprototriggerinfo());
    return 0;
}

int StorageCore::SystemConfigLoad(const std::string& path) {
    ProtoSystemInfo info;
    int result = loadText(path, FILE_TYPE_PRF, info, kExecutionError);
    if (result != 0) {
        return result;
    }
    storage_records::confineLoadName(info);
    if (SystemSetup::ProtoSystemInfoCheck(info) != 0) {
        PrintE("Preference file %s refused", path.c_str());
        return kExecutionError;
    }
    SINGLETON_PTR(SystemSetup)->ProtoSystemInfoSetForLoadPrf(info);
    return 0;
}

int StorageCore::SensorConfigLoad(const std::string& path) {
    ProtoSensorFuncInfo info;
    int result = loadText(path, FILE_TYPE_XSEN, info, kExecutionError);
    if (result == 0) {
        CDataManage::instance()->ProtoSensorFuncInfoSet(info);
    }
    return result;
}

int StorageCore::MeasDataLoad(const std::string& path) {
    ProtoDataInfo info;
    int result = loadText(path, FILE_TYPE_DAT, info, kExecutionError);
    if (result == 0) {
        // The data go to the UI only, not into the reading buffer.
        DateInfoSyncToUI(info);
    }
    return result;
}

int StorageCore::StorageConfigFileListGet(const std::string& dir, int type, FileInfos& out) {
    FileInfos all;
    if (!SINGLETON_PTR(FileCore)->GetFileList(dir, all)) {
        PrintE("GetFileList failed!");
        return kExecutionError;
    }
    const bool known = type >= FILE_TYPE_STA && type <= FILE_TYPE_XSEN;
    const std::string wanted = known ? kExtensions[type] : "";
    for (const FileInfos::Info& info : all.info()) {
        if (info.isdir() || extensionOf(info.name()) == wanted) {
            out.add_info()->CopyFrom(info);
        }
    }
    return 0;
}

template <typename Edit>
void StorageCore::editImage(Edit edit) {
    {
        std::lock_guard<std::mutex> lock(m_imageMtx);
        edit(m_protoImageInfo);
    }
    ImageInfoSyncToUI();
}

void StorageCore::StorageImageColorSet(bool on) {
    editImage([on](ProtoImageInfo& info) { info.set_mbimagecolor(on); });
}

void StorageCore::StorageImageInvertSet(bool on) {
    editImage([on](ProtoImageInfo& info) { info.set_mbimageinvert(on); });
}

void StorageCore::StorageImageHeaderSet(bool on) {
    editImage([on](ProtoImageInfo& info) { info.set_mbimageheader(on); });
}

void StorageCore::StorageFileOverwriteSet(bool on) {
    editImage([on](ProtoImageInfo& info) { info.set_mbfileoverwrite(on); });
}

void StorageCore::DefaultFilePathSet(const std::string& path) {
    editImage([&path](ProtoImageInfo& info) { info.set_mdefaultfilepath(path); });
}

std::string StorageCore::DefaultFilePathGet() {
    std::lock_guard<std::mutex> lock(m_imageMtx);
    return m_protoImageInfo.mdefaultfilepath();
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

void StorageCore::ConfigResetSyncToUI() {
    google::protobuf::Map<int, Value> map;
    insertBval(map, ON_CONFIG_RESET, true);
    CFEM::pushMessage(ON_CONFIG_RESET, map);
    insertBval(map, ON_LXI_RESET, true);
    CFEM::pushMessage(ON_LXI_RESET, std::move(map));
}
