#include "StorageRecordCheck.h"

#include <string>

#include "CDataManage.h"
#include "FunctionManage.h"
#include "StorageRemotePath.h"
#include "SystemSetup.h"
#include "Util/logger.h"

namespace storage_records {

namespace {

void confinePath(std::string* path, const char* field, const char* unset) {
    if (path->empty()) {
        return;
    }
    const std::string normal = StorageRemotePath::normalise(*path);
    if (StorageRemotePath::insideRoots(normal)) {
        *path = normal;
        return;
    }
    PrintE("%s %s refused: outside the storage roots", field, path->c_str());
    *path = unset;
}

// The parts of a record whose owners check them before they are applied.
struct Part {
    const char* name;
    bool inState;  // a setup file applies it
    int (*check)(const ProtoMirrorInfo& record);
    void (*take)(ProtoMirrorInfo& to, const ProtoMirrorInfo& from);
};

const Part kParts[] = {
    {"system settings", false,
     [](const ProtoMirrorInfo& r) { return SystemSetup::ProtoSystemInfoCheck(r.mprotosysinfo()); },
     [](ProtoMirrorInfo& to, const ProtoMirrorInfo& from) {
         to.mutable_mprotosysinfo()->CopyFrom(from.mprotosysinfo());
     }},
    {"function settings", true,
     [](const ProtoMirrorInfo& r) {
         return FunctionManage::ProtoBaseFuncInfoCheck(r.mprotofunctioninfo().mprotobasefuncinfo());
     },
     [](ProtoMirrorInfo& to, const ProtoMirrorInfo& from) {
         to.mutable_mprotofunctioninfo()->mutable_mprotobasefuncinfo()->CopyFrom(
             from.mprotofunctioninfo().mprotobasefuncinfo());
     }},
    {"math settings", true,
     [](const ProtoMirrorInfo& r) {
         return CDataManage::ProtoMathFuncInfoCheck(r.mprotofunctioninfo().mprotomathfuncinfo());
     },
     [](ProtoMirrorInfo& to, const ProtoMirrorInfo& from) {
         to.mutable_mprotofunctioninfo()->mutable_mprotomathfuncinfo()->CopyFrom(
             from.mprotofunctioninfo().mprotomathfuncinfo());
     }},
};

}  // namespace

void confineLoadName(ProtoSystemInfo& info) {
    confinePath(info.mutable_mloadname(), "mLoadName", "");
}

void confinePaths(ProtoMirrorInfo& record) {
    if (record.has_mprotosysinfo()) {
        confineLoadName(*record.mutable_mprotosysinfo());
    }
    // No current folder is the internal memory, as after a reset.
    std::string* folder = record.mutable_mprotoimageinfo()->mutable_mdefaultfilepath();
    if (folder->empty()) {
        *folder = StorageRemotePath::kIntRoot;
    }
    confinePath(folder, "mDefaultFilePath", StorageRemotePath::kIntRoot);
}

int checkState(const ProtoMirrorInfo& state) {
    for (const Part& part : kParts) {
        const int row = part.inState ? part.check(state) : 0;
        if (row != 0) {
            PrintE("Stored %s refused", part.name);
            return row;
        }
    }
    return 0;
}

void keepRefusedParts(ProtoMirrorInfo& mirror, const ProtoMirrorInfo& fallback) {
    for (const Part& part : kParts) {
        if (part.check(mirror) != 0) {
            PrintE("Stored %s refused, kept as they were", part.name);
            part.take(mirror, fallback);
        }
    }
}

}  // namespace storage_records
