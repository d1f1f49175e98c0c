// The mass-memory commands of remote control: stored states and preferences,
// reading data, the current folder and the catalogue. Paths arrive quoted in
// the remote form and are confined to the storage roots.
#include "ScpiReplyText.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "StorageManage.h"
#include "StorageRemotePath.h"
#include "StorageRequest.h"
#include "StorageWildcard.h"
#include "SystemSetup.h"
#include "Util/logger.h"

using namespace storage_request;

namespace {

FileCore& files() { return *SINGLETON_PTR(FileCore); }
StorageCore& core() { return *SINGLETON_PTR(StorageCore); }

int stateLoad(const std::string& path) { return core().StateConfigLoad(path); }
int stateSave(const std::string& path) { return core().StateConfigSave(path); }
int systemLoad(const std::string& path) { return core().SystemConfigLoad(path); }
int systemSave(const std::string& path) { return core().SystemConfigSave(path); }

} // namespace

int StorageManage::storedFile(unsigned int source, const ValueMap& in, int key, const char* extension,
                              int (*op)(const std::string& path)) {
    std::string path;
    if (!extractDirectoryByKey(path, key, source, in) || !userFile(path, extension)) {
        PrintE("get path argument from req map failed");
        return kExecution;
    }
    // The remote side learns of a failed store or recall as an error.
    return op(path) == 0 ? 0 : kExecution;
}

int StorageManage::cbSystemConfigLoad(unsigned int source, const ValueMap& in, ValueMap*) {
    return storedFile(source, in, 0x2400, ".prf", systemLoad);
}

int StorageManage::cbStateConfigLoad(unsigned int source, const ValueMap& in, ValueMap*) {
    return storedFile(source, in, 0x2401, ".sta", stateLoad);
}

int StorageManage::cbSystemConfigSave(unsigned int source, const ValueMap& in, ValueMap*) {
    return storedFile(source, in, 0x2402, ".prf", systemSave);
}

int StorageManage::cbStateConfigSave(unsigned int source, const ValueMap& in, ValueMap*) {
    return storedFile(source, in, 0x2403, ".sta", stateSave);
}

int StorageManage::cbDataRDGStore(unsigned int source, const ValueMap& in, ValueMap*) {
    if (!remoteArgument(source, in, 0x2404)) {
        return kExecution;
    }
    if (bytesOf(in, 0x2404) != "RDG_STORE") {
        PrintE("RDG_STORE command error");
        return kExecution;
    }
    std::string path;
    if (!extractDirectoryByKey(path, 0xF0C, source, in)) {
        PrintE("get path argument from req map failed");
        return kExecution;
    }
    const bool dat = path.size() >= 4 && path.compare(path.size() - 4, 4, ".dat") == 0;
    if (!userFile(path, dat ? nullptr : ".csv")) {
        return kExecution;
    }
    const int error = dat ? core().MeasDataSave(path) : core().CsvDataSave(path);
    return error == 0 ? 0 : kExecution;
}

// The setup file recalled at power-on when recall is on.
int StorageManage::cbStateRecallSelectSet(unsigned int source, const ValueMap& in, ValueMap*) {
    std::string path;
    if (!extractDirectoryByKey(path, 0x2405, source, in)) {
        return kExecution;
    }
    SINGLETON_PTR(SystemSetup)->API_SetLoadName(path);
    return 0;
}

int StorageManage::cbStateRecallSelectGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertStr(*out, 0x2405, SINGLETON_PTR(SystemSetup)->API_GetLoadName().c_str());
    return 0;
}

int StorageManage::cbStateValid(unsigned int source, const ValueMap& in, ValueMap* out) {
    std::string path;
    if (!extractDirectoryByKey(path, 0x2406, source, in)) {
        return kExecution;
    }
    insertStr(*out, 0x2406, files().IsFileExists(path) ? "1" : "0");
    return 0;
}

int StorageManage::cbFormatReadingRLimitSet(unsigned int source, const ValueMap& in, ValueMap*) {
    if (!remoteArgument(source, in, 0x2407)) {
        return kExecution;
    }
    m_rLimit = boolOf(in, 0x2407);
    return 0;
}

int StorageManage::cbFormatReadingRLimitGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertBval(*out, 0x2407, m_rLimit.load());
    return 0;
}

int StorageManage::cbStorageDefaultFilePathSet(unsigned int source, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, 0xF1C)) {
        PrintE("Param error");
        return kMissing;
    }
    std::string path = bytesOf(in, 0xF1C);
    if (source != 9 && !extractDirectoryByKey(path, 0xF1C, source, in)) {
        PrintE("Param error");
        return kExecution;
    }
    if (!files().IsFolderExists(path)) {
        PrintE("Given folder do not exist");
        return kExecution;
    }
    core().DefaultFilePathSet(path);
    return 0;
}

int StorageManage::cbStorageDefaultFilePathGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::string text;
    if (!StorageRemotePath::remoteForm(core().DefaultFilePathGet(), text)) {
        core().DefaultFilePathSet(StorageRemotePath::kIntRoot);
    }
    insertStr(*out, 0xF1D, text.c_str());
    return 0;
}

int StorageManage::cbStorageConfigFileListGet(unsigned int source, const ValueMap& in, ValueMap* out) {
    if (!hasValue(in, 0xF1E)) {
        PrintE("Param error");
        return kMissing;
    }
    std::string folder = bytesOf(in, 0xF0C);
    FileInfos list;
    if (!requestPath(source, folder) || core().StorageConfigFileListGet(folder, s32Of(in, 0xF0D), list) != 0) {
        PrintE("StorageConfigFileListGet failed");
        return kExecution;
    }
    insertRaw(*out, 0xF1E, list.SerializeAsString());
    return 0;
}

int StorageManage::cbStorageFileListGet(unsigned int source, const ValueMap& in, ValueMap* out) {
    std::string path = core().DefaultFilePathGet();
    if (hasValue(in, 0xF03) && !extractDirectoryByKey(path, 0xF03, source, in)) {
        return kExecution;
    }
    std::string folder, pattern;
    const bool filtered = StorageWildcard::analysisRegex(path, folder, pattern);
    unsigned long long used = 0, available = 0;
    std::map<std::string, long long> entries;
    if (!files().IsFolderExists(folder) || !files().UsedAndAvailableMemoryStorageGet(folder, &used, &available) ||
        !files().GetFileList(folder, entries, listStopped)) {
        return kExecution;
    }
    std::string text = "+" + std::to_string(used) + ",+" + std::to_string(available);
    if (filtered) {
        StorageWildcard::itemFilter(pattern, entries);
    }
    for (const auto& entry : entries) {
        const bool folderEntry = !entry.first.empty() && entry.first.back() == '/';
        const std::string name = folderEntry ? entry.first.substr(0, entry.first.size() - 1) : entry.first;
        const std::string type = folderEntry ? "FOLD" : StorageWildcard::analysisSuffix(name);
        // A name may hold quotes and line feeds: it must end neither the
        // entry's string nor the response.
        text += "," + ScpiQuotedString(name + "," + type + "," + std::to_string(entry.second));
    }
    insertStr(*out, 0xF03, text.c_str());
    return 0;
}
