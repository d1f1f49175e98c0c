// The long file operations of StorageManage: each sends its start report,
// refuses in the handler (with the end report) or posts one job that sends
// the end report.
#include <set>

#include "Singelton.h"
#include "StorageCore.h"
#include "StorageManage.h"
#include "StorageRemotePath.h"
#include "StorageRequest.h"
#include "Util/logger.h"
#include "inc_enum.h"

using namespace storage_request;

namespace {

constexpr int kSource = 0xF10, kTarget = 0xF11, kFilePath = 0xF0C, kFileData = 0xF0D, kFileType = 0xF0D;

FileCore& files() { return *SINGLETON_PTR(FileCore); }

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

using StorageOp = int (StorageCore::*)(const std::string&);
// By StorageFileType.
const StorageOp kSaves[] = {&StorageCore::StateConfigSave, &StorageCore::SystemConfigSave,
                            &StorageCore::MeasDataSave, &StorageCore::CsvDataSave,
                            &StorageCore::SensorConfigSave};
const StorageOp kLoads[] = {&StorageCore::StateConfigLoad, &StorageCore::SystemConfigLoad,
                            &StorageCore::MeasDataLoad, &StorageCore::CsvDataLoad,
                            &StorageCore::SensorConfigLoad};

} // namespace

int StorageManage::spaceCheck(const std::string& source, const std::string& target,
                              const FileCore::CancelCheck& cancelled) {
    if (target.find('/') == std::string::npos) {
        return 0;
    }
    // The medium is asked through the nearest folder that exists: the target
    // may be a new name or sit in a folder still to be made.
    std::string folder = StorageRemotePath::isRoot(target) ? target : parentOf(target);
    while (folder != "/" && !files().IsFolderExists(folder)) {
        folder = parentOf(folder);
    }
    const unsigned long long need = files().IsFolderExists(source)
                                        ? static_cast<unsigned long long>(files().Check(source, cancelled))
                                        : files().GetFileSize(source);
    const unsigned long long free = FileCore::GetFreeDiskSize(folder);
    if (free < kReserve || free < need) {
        PrintE("Space not enough");
        return kNoSpace;
    }
    return 0;
}

int StorageManage::transferPaths(unsigned int source, const ValueMap& in, std::string& from, std::string& to,
                                 bool move) {
    from = bytesOf(in, kSource);
    to = bytesOf(in, kTarget);
    if (!requestPath(source, from) || !requestPath(source, to) || from.empty() || to.empty()) {
        return kExecution;
    }
    if (move && StorageRemotePath::isRoot(from)) {
        PrintE("a storage root cannot be moved");
        return kExecution;
    }
    return 0;
}

int StorageManage::transfer(unsigned int source, const ValueMap& in, int type) {
    const bool move = type == OPER_TYPE_MOVE;
    return runOperation(type, source, [&](Work& work) {
        if (!hasValue(in, kSource) || !hasValue(in, kTarget)) {
            PrintE(move ? "cbFileMove param error" : "cbFileCopy param error");
            return kMissing;
        }
        std::string from, to;
        int refused = transferPaths(source, in, from, to, move);
        if (refused == 0) {
            refused = spaceCheck(from, to, listStopped);
        }
        work = [from, to, move](const FileCore::CancelCheck& cancelled) {
            if (move ? files().FileMove(from, to, cancelled) : files().FileCopy(from, to, cancelled)) {
                PrintI(move ? "cbFileMove success" : "cbFileCopy success");
                return 0;
            }
            if (move) {
                PrintE("cbFileMove failed fromPath = %s, toPath = %s", from.c_str(), to.c_str());
            } else {
                PrintE("cbFileCopy failed");
            }
            return kExecution;
        };
        return refused;
    });
}

int StorageManage::cbFileCopy(unsigned int source, const ValueMap& in, ValueMap*) {
    return transfer(source, in, OPER_TYPE_COPY);
}

int StorageManage::cbFileMove(unsigned int source, const ValueMap& in, ValueMap*) {
    return transfer(source, in, OPER_TYPE_MOVE);
}

int StorageManage::cbFileRename(unsigned int source, const ValueMap& in, ValueMap*) {
    return runOperation(OPER_TYPE_MOVE, source, [&](Work& work) {
        if (!hasValue(in, kSource) || !hasValue(in, kTarget)) {
            PrintE("cbFileRename param error");
            return kMissing;
        }
        std::string from, to;
        if (int refused = transferPaths(source, in, from, to, true)) {
            return refused;
        }
        std::set<std::string> names;
        if (!files().GetFileList(parentOf(to), names)) {
            PrintE("get file size map space failed");
            return kExecution;
        }
        const std::string name = to.substr(to.rfind('/') + 1);
        if (names.count(name) != 0) {
            PrintE("fileName = %s already exist", name.c_str());
            return kNameExists;
        }
        work = [from, to](const FileCore::CancelCheck& cancelled) {
            if (files().FileMove(from, to, cancelled)) {
                return 0;
            }
            PrintE("cbFileRename failed fromPath = %s, toPath = %s", from.c_str(), to.c_str());
            return kExecution;
        };
        return 0;
    });
}

int StorageManage::cbFileListCopy(unsigned int source, const ValueMap& in, ValueMap*) {
    return runOperation(OPER_TYPE_COPY, source, [&](Work& work) {
        if (!hasValue(in, kSource) || !hasValue(in, kTarget)) {
            PrintE("cbFileCopy param error");
            return kMissing;
        }
        FilePathList list;
        if (!list.ParseFromString(bytesOf(in, kSource))) {
            return kExecution;
        }
        work = [this, source, list, target = bytesOf(in, kTarget)](const FileCore::CancelCheck& cancelled) {
            for (std::string from : list.filepath()) {
                std::string to = target;
                if (!requestPath(source, from) || !requestPath(source, to) || from.empty() || to.empty()) {
                    return kExecution;
                }
                if (int refused = spaceCheck(from, to, cancelled)) {
                    return refused;
                }
                if (!files().FileCopy(from, to, cancelled)) {
                    PrintE("cbFileCopy failed");
                    return kExecution;
                }
            }
            PrintI("cbFileCopy success");
            return 0;
        };
        return 0;
    });
}

int StorageManage::cbFileDelete(unsigned int source, const ValueMap& in, ValueMap*) {
    return runOperation(OPER_TYPE_DEL, source, [&](Work& work) {
        std::string path;
        if (int refused = pathArgument(source, in, 0xF01, path, PathKind::Deleted)) {
            PrintE("cbFileDelete failed");
            return refused;
        }
        // Remote control learns that the name it deleted was not there, as
        // of any other failed delete.
        work = [path, mustExist = isRemote(source)](const FileCore::CancelCheck& cancelled) {
            if (mustExist && !files().IsEntryExists(path)) {
                PrintE("no such file or folder: %s", path.c_str());
            } else if (files().FileDelete(path, cancelled)) {
                return 0;
            }
            PrintE("cbFileDelete failed");
            return kExecution;
        };
        return 0;
    });
}

int StorageManage::cbFileSave(unsigned int source, const ValueMap& in, ValueMap*) {
    return runOperation(OPER_TYPE_SAVE, source, [&](Work& work) {
        std::string path;
        if (int refused = hasValue(in, kFileData) ? pathArgument(source, in, kFilePath, path, PathKind::File) : kMissing) {
            return refused;
        }
        work = [path, data = bytesOf(in, kFileData)](const FileCore::CancelCheck&) {
            if (files().FileSave(path, data.data(), static_cast<int>(data.size()), false)) {
                return 0;
            }
            PrintE("cbFileSave failed!");
            return kExecution;
        };
        return 0;
    });
}

int StorageManage::cbFileLoad(unsigned int source, const ValueMap& in, ValueMap*) {
    return runOperation(OPER_TYPE_LOAD, source, [&](Work& work) {
        std::string path;
        if (int refused = pathArgument(source, in, kFilePath, path, PathKind::File)) {
            return refused;
        }
        work = [path, offset = s32Of(in, 0xF0E), length = s32Of(in, 0xF0F)](const FileCore::CancelCheck&) {
            std::vector<char> bytes;
            return files().FileLoad(path, bytes, offset, length, FileCore::kDataFileMax) ? 0 : kExecution;
        };
        return 0;
    });
}

int StorageManage::configDataFile(unsigned int source, const ValueMap& in, int presentKey, bool save) {
    return runOperation(save ? OPER_TYPE_SAVE : OPER_TYPE_LOAD, source, [&](Work& work) {
        std::string path;
        const bool present = hasValue(in, presentKey) && hasValue(in, kFileType);
        if (int refused = present ? pathArgument(source, in, kFilePath, path, PathKind::File) : kMissing) {
            return refused;
        }
        const int type = s32Of(in, kFileType);
        work = [path, type, save](const FileCore::CancelCheck&) {
            if (type < FILE_TYPE_STA || type > FILE_TYPE_XSEN) {
                return 0;
            }
            const StorageOp op = (save ? kSaves : kLoads)[type];
            const int error = (SINGLETON_PTR(StorageCore)->*op)(path);
            if (error == 0) {
                return 0;
            }
            PrintE(save ? "cbConfigDataFileSave failed! type:%d file:%s error:%d"
                        : "cbConfigDataFileLoad failed! type:%d file:%s error:%d",
                   type, path.c_str(), error);
            return kExecution;
        };
        return 0;
    });
}

int StorageManage::cbConfigDataFileSave(unsigned int source, const ValueMap& in, ValueMap*) {
    return configDataFile(source, in, 0xF12, true);
}

int StorageManage::cbConfigDataFileLoad(unsigned int source, const ValueMap& in, ValueMap*) {
    return configDataFile(source, in, 0xF13, false);
}
