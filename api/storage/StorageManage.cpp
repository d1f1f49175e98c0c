#include "StorageManage.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "CFEM.h"
#include "CThreadPool.h"
#include "FunctionTool.h"
#include "ListWait.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "StorageRemotePath.h"
#include "StorageRequest.h"
#include "Util/logger.h"
#include "WalkTurns.h"
#include "inc_enum.h"
#include "root_path.h"

using namespace storage_request;

namespace {

FileCore& files() { return *SINGLETON_PTR(FileCore); }

} // namespace

StorageManage::StorageManage() : Manager("storage_manager") {
    // The internal storage root always exists on the instrument; a fresh
    // host data root gets it here.
    std::error_code ignored;
    std::filesystem::create_directories(platform::hostPath(StorageRemotePath::kIntRoot), ignored);
    Copperwren::Singleton<StorageCore>::Instance()->Init();
}

const StorageManage::Row StorageManage::kRows[] = {
    {0x10000F00, &StorageManage::cbCreateFolder},
    {0x10000F01, &StorageManage::cbFileDelete},
    {0x10000F02, &StorageManage::cbEmptyDirectoryDelete},
    {0x10000F03, &StorageManage::cbFileList},
    {0x10000F04, &StorageManage::cbFileSize},
    {0x10000F06, &StorageManage::cbFileCopy},
    {0x10000F07, &StorageManage::cbFileListCopy},
    {0x10000F08, &StorageManage::cbFileMove},
    {0x10000F09, &StorageManage::cbFileRename},
    {0x10000F0A, &StorageManage::cbFileSave},
    {0x10000F0B, &StorageManage::cbFileLoad},
    {0x10000F12, &StorageManage::cbConfigDataFileSave},
    {0x10000F13, &StorageManage::cbConfigDataFileLoad},
    {0x10000F14, &StorageManage::cbConfigDataFileDelete},
    {0x10000F15, &StorageManage::cbDefaultConfigLoad},
    {0x10000F16, &StorageManage::cbLastConfigLoad},
    {0x10000F18, &StorageManage::cbStorageImageColorSet},
    {0x10000F19, &StorageManage::cbStorageImageInvertSet},
    {0x10000F1A, &StorageManage::cbStorageImageHeaderSet},
    {0x10000F1B, &StorageManage::cbStorageFileOverwriteSet},
    {0x10000F1C, &StorageManage::cbStorageDefaultFilePathSet},
    {0x20000F1D, &StorageManage::cbStorageDefaultFilePathGet},
    {0x20000F1E, &StorageManage::cbStorageConfigFileListGet},
    {0x10000F1F, &StorageManage::cbFileOperationCancel},
    {0x20000F03, &StorageManage::cbStorageFileListGet},
    {0x10002400, &StorageManage::cbSystemConfigLoad},
    {0x10002401, &StorageManage::cbStateConfigLoad},
    {0x10002402, &StorageManage::cbSystemConfigSave},
    {0x10002403, &StorageManage::cbStateConfigSave},
    {0x10002404, &StorageManage::cbDataRDGStore},
    {0x10002405, &StorageManage::cbStateRecallSelectSet},
    {0x20002405, &StorageManage::cbStateRecallSelectGet},
    {0x20002406, &StorageManage::cbStateValid},
    {0x10002407, &StorageManage::cbFormatReadingRLimitSet},
    {0x20002407, &StorageManage::cbFormatReadingRLimitGet},
};

void StorageManage::getCallbacks(std::map<unsigned int, cb_func>& entries) {
    for (const Row& row : kRows) {
        Handler handler = row.handler;
        entries.emplace(row.id, [this, handler](unsigned int source, const ValueMap& in, ValueMap* out) {
            return (this->*handler)(source, in, out);
        });
    }
}

void StorageManage::onClientConnect() {
    std::printf("StorageManage onClientConnect\n");
    Copperwren::Singleton<StorageCore>::Instance()->ImageInfoSyncToUI();
}

void StorageManage::FileOperationStatusSyncToUI(int type, int status, int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ProtoFileOperationInfo info;
    info.set_ms32optype(type);
    info.set_ms32opstatus(status);
    info.set_ms32opresult(result);
    google::protobuf::Map<int, Value> map;
    insertRaw(map, ON_FILE_OPERATION_STATUS_CHANGED, info.SerializeAsString());
    CFEM::pushMessage(ON_FILE_OPERATION_STATUS_CHANGED, std::move(map));
}

StorageManage::Token* StorageManage::tokenOf(int type) {
    return type >= 0 && type < static_cast<int>(m_tokens.size()) ? &m_tokens[static_cast<size_t>(type)] : nullptr;
}

int StorageManage::FileOperationCancel(int type) {
    const bool stoppable = type == OPER_TYPE_COPY || type == OPER_TYPE_MOVE || type == OPER_TYPE_DEL;
    if (stoppable) {
        Token& token = *tokenOf(type);
        if (token.running.load() == 0) {
            PrintE("Cancel operation type:%d error", type);
            FileOperationStatusSyncToUI(type, STATUS_END, kExecution);
            return kExecution;
        }
        token.generation.fetch_add(1);
        // A job of the type still waiting for its walk turn ends too.
        walk_turns::wake();
    }
    FileOperationStatusSyncToUI(type, STATUS_END, 0);
    return 0;
}

int StorageManage::runOperation(int type, unsigned int source, const std::function<int(Work& work)>& prepare) {
    FileOperationStatusSyncToUI(type, STATUS_START, 0);
    Work work;
    const int refused = prepare(work);
    if (refused != 0) {
        FileOperationStatusSyncToUI(type, STATUS_END, refused);
        return refused;
    }
    if (isRemote(source)) {
        // Left to the pool, a deletion could still run when the next command
        // of the message (removing its folder) already looks. Its client's
        // ABORt or device clear stops it (ScpiManage wakes its wait for a
        // walk turn); a client that left still has it done.
        const int result = work(listStopped);
        FileOperationStatusSyncToUI(type, STATUS_END, result);
        return result;
    }
    postJob(type, std::move(work));
    return 0;
}

bool StorageManage::listStopped() {
    return ListWait::stoppedHere();
}

void StorageManage::postJob(int type, Work work) {
    Token* token = tokenOf(type);
    const unsigned started = token->generation.load();
    token->running.fetch_add(1);
    CThreadPool::instance()->async(
        [this, type, token, started, work = std::move(work)] {
            const int result = work([token, started] { return token->generation.load() != started; });
            // Counted out before the report: whoever sees the end report
            // and cancels then finds no job of this one's running.
            token->running.fetch_sub(1);
            FileOperationStatusSyncToUI(type, STATUS_END, result);
        },
        false);
}

bool StorageManage::directoryFormat(std::string& s, StorageRemotePath::Temporaries temporaries) {
    const std::string current = Copperwren::Singleton<StorageCore>::Instance()->DefaultFilePathGet();
    if (!StorageRemotePath::directoryFormat(s, current, temporaries)) {
        PrintE("path refused: %s", s.c_str());
        return false;
    }
    return true;
}

bool StorageManage::requestPath(unsigned int source, std::string& path, StorageRemotePath::Temporaries temporaries) {
    if (isRemote(source)) {
        FunctionTool::quotationUnwrap(path);
        return directoryFormat(path, temporaries);
    }
    if (source == 0 && !path.empty() && path[0] != '/') {
        path.insert(0, "/");
    }
    // The UI reaches the storage roots as remote control does, and no further.
    if (!StorageRemotePath::confine(path, temporaries)) {
        PrintE("path refused: %s", path.c_str());
        return false;
    }
    return true;
}

bool StorageManage::userFile(std::string& path, const char* extension) {
    // A root or a folder is no file name, and a name completed below must
    // not turn one into a file beside the root ("/data/UserData.sta").
    if (StorageRemotePath::isRoot(path) || files().IsFolderExists(path)) {
        PrintE("not a file name: %s", path.c_str());
        return false;
    }
    if (extension != nullptr) {
        FunctionTool::fileExtensionComplete(path, extension);
    }
    // The completed name is what is opened: it is confined again, so that a
    // link named by its stem leads nowhere outside.
    if (!StorageRemotePath::confine(path) || files().IsFolderExists(path)) {
        PrintE("path refused: %s", path.c_str());
        return false;
    }
    return true;
}

int StorageManage::pathArgument(unsigned int source, const ValueMap& in, int key, std::string& path,
                                PathKind kind) {
    if (!hasValue(in, key)) {
        return kMissing;
    }
    path = bytesOf(in, key);
    const auto temporaries =
        kind == PathKind::Deleted ? StorageRemotePath::Temporaries::Leftovers : StorageRemotePath::Temporaries::Refused;
    if (!requestPath(source, path, temporaries) || path.empty() ||
        (kind != PathKind::Any && StorageRemotePath::isRoot(path)) ||
        (kind == PathKind::File && !userFile(path, nullptr))) {
        return kExecution;
    }
    return 0;
}

bool StorageManage::remoteArgument(unsigned int source, const ValueMap& in, int key) {
    if (!isRemote(source)) {
        PrintE("message source do not handle");
        return false;
    }
    if (!hasValue(in, key)) {
        PrintE("folder name required");
        return false;
    }
    return true;
}

bool StorageManage::extractDirectoryByKey(std::string& out, int key, unsigned int source, const ValueMap& in) {
    if (!remoteArgument(source, in, key)) {
        return false;
    }
    std::string text = bytesOf(in, key);
    if (!FunctionTool::quotationUnwrap(text)) {
        PrintE("argument expression must be wrapped in double quotes");
        return false;
    }
    if (!directoryFormat(text)) {
        return false;
    }
    out = text;
    return true;
}
