// The short file operations of StorageManage, on the caller's thread:
// folders, listings, sizes, the stored configuration and the image settings.
#include "Singelton.h"
#include "StorageCore.h"
#include "StorageManage.h"
#include "StorageRemotePath.h"
#include "StorageRequest.h"
#include "Util/logger.h"

using namespace storage_request;

namespace {

FileCore& files() { return *SINGLETON_PTR(FileCore); }

int imageFlag(const ValueMap& in, int key, void (StorageCore::*set)(bool)) {
    if (!hasValue(in, key)) {
        PrintE("Param error");
        return kMissing;
    }
    (SINGLETON_PTR(StorageCore)->*set)(boolOf(in, key));
    return 0;
}

} // namespace

int StorageManage::cbCreateFolder(unsigned int source, const ValueMap& in, ValueMap*) {
    std::string path;
    const int refused = pathArgument(source, in, 0xF00, path);
    if (refused == 0 && files().CreateDirectories(path)) {
        return 0;
    }
    PrintE("cbCreateFolder failed");
    return refused == kMissing ? kMissing : kExecution;
}

int StorageManage::cbEmptyDirectoryDelete(unsigned int source, const ValueMap& in, ValueMap*) {
    std::string path;
    if (!extractDirectoryByKey(path, 0xF02, source, in) || StorageRemotePath::isRoot(path)) {
        return kExecution;
    }
    if (!files().IsFolderExists(path)) {
        PrintE("directory do not exist(or not a directory)");
        return kExecution;
    }
    if (files().IsFolderEmpty(path) != 0) {
        PrintE("delete directory failed, not an empty directory");
        return kExecution;
    }
    return files().DirectoryDelete(path) ? 0 : kExecution;
}

int StorageManage::cbFileList(unsigned int source, const ValueMap& in, ValueMap* out) {
    std::string path = bytesOf(in, 0xF03);
    FileInfos list;
    if (!requestPath(source, path) || !files().GetFileList(path, list)) {
        return kExecution;
    }
    insertRaw(*out, 0xF03, list.SerializeAsString());
    return 0;
}

int StorageManage::cbFileSize(unsigned int source, const ValueMap& in, ValueMap* out) {
    std::string path = bytesOf(in, 0xF04);
    if (!requestPath(source, path)) {
        return kExecution;
    }
    insertU64(*out, 0xF04, files().GetFileSize(path));
    return 0;
}

int StorageManage::cbConfigDataFileDelete(unsigned int source, const ValueMap& in, ValueMap*) {
    std::string path;
    const int refused = hasValue(in, 0xF14) ? pathArgument(source, in, 0xF0C, path, PathKind::NotRoot) : kMissing;
    if (refused == kMissing) {
        return kMissing;
    }
    if (refused != 0 || !files().FileDelete(path)) {
        PrintE("cbConfigDataFileDelete failed! type:%d file:%s error:%d", s32Of(in, 0xF0D), path.c_str(),
               kExecution);
        return kExecution;
    }
    return 0;
}

int StorageManage::cbDefaultConfigLoad(unsigned int, const ValueMap&, ValueMap*) {
    SINGLETON_PTR(StorageCore)->DefaultConfigLoad();
    return 0;
}

int StorageManage::cbLastConfigLoad(unsigned int, const ValueMap&, ValueMap*) {
    SINGLETON_PTR(StorageCore)->Load();
    return 0;
}

int StorageManage::cbStorageImageColorSet(unsigned int, const ValueMap& in, ValueMap*) {
    return imageFlag(in, 0xF18, &StorageCore::StorageImageColorSet);
}

int StorageManage::cbStorageImageInvertSet(unsigned int, const ValueMap& in, ValueMap*) {
    return imageFlag(in, 0xF19, &StorageCore::StorageImageInvertSet);
}

int StorageManage::cbStorageImageHeaderSet(unsigned int, const ValueMap& in, ValueMap*) {
    return imageFlag(in, 0xF1A, &StorageCore::StorageImageHeaderSet);
}

int StorageManage::cbStorageFileOverwriteSet(unsigned int, const ValueMap& in, ValueMap*) {
    return imageFlag(in, 0xF1B, &StorageCore::StorageFileOverwriteSet);
}

int StorageManage::cbFileOperationCancel(unsigned int, const ValueMap& in, ValueMap*) {
    if (!hasValue(in, 0xF1F)) {
        PrintE("cbFileOperationCancel param error");
        return kMissing;
    }
    return FileOperationCancel(s32Of(in, 0xF1F));
}
