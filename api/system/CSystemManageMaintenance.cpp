// The maintenance handlers of CSystemManage: the update package, the preset
// and the web password reset.
#include <unistd.h>

#include "CSystemManage.h"
#include "DrvScpiErrDef.h"
#include "FileCore.h"
#include "Poller/EventPollerPool.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "SystemParams.h"
#include "Util/File.h"
#include "WebPassword.h"
#include "properties.h"
#include "root_path.h"

using namespace SystemParams;

namespace {

enum MaintenanceId : unsigned int {
    UPDATE_PACK = 0x10001236,
    PRESET = 0x1000123f,
    PASSWORD_CLEAR = 0x10001240,
};

constexpr const char* kUserData = "/data/UserData";
constexpr const char* kGelProperty = "sys.vorna.gel_path";
constexpr const char* kMirror = "/vorna/data/mirrorconfig.xmir";

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int updatePack(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(UPDATE_PACK));
    if (arg == nullptr) {
        return E109_MISSING_PARAMETER;
    }
    if (!CSystemManage::UpdateSpaceEnough(FileCore::GetFreeDiskSize(kUserData))) {
        PrintE("Space not enough");
        return E1000_SPACE_NOT_ENOUGH;
    }
    const std::string path = textOf(*arg);
    const bool gel = endsWith(path, ".GEL");
    if (!gel && !endsWith(path, ".zip")) {
        return E257_FILE_NAME_ERROR;
    }
    if (!toolkit::File::fileExist(path.c_str())) {
        return E256_FILE_NAME_NOT_FOUND;
    }
    if (!gel) {
        PrintE("NOT SUPPORT OS UPDATE YET");
        return E257_FILE_NAME_ERROR;
    }
    toolkit::EventPollerPool::Instance().getPoller(false)->async([path] {
        // The settings start from their defaults after the update. The path
        // goes to the property store as it is: no shell ever reads it.
        ::unlink(platform::hostPath(kMirror).c_str());
        if (!platform::propertySet(kGelProperty, path)) {
            PrintE("cannot set %s", kGelProperty);
        }
        PrintI("start update GEL path=%s", path.c_str());
    });
    return 0;
}

int preset(unsigned int, const ValueMap&, ValueMap*) {
    StorageCore* storage = SINGLETON_PTR(StorageCore);
    if (storage == nullptr) {
        PrintE("cbIeeeRstSet failed! SINGLETON_PTR(StorageCore) is nullptr");
        return E310_SYSTEM_ERROR;
    }
    storage->DefaultConfigLoad();
    return 0;
}

int passwordClear(unsigned int, const ValueMap&, ValueMap*) { return WebPassword::Reset(); }

} // namespace

bool CSystemManage::UpdateSpaceEnough(unsigned long long freeBytes) { return (freeBytes >> 23) > 24; }

void CSystemManage::bindMaintenanceHandlers(std::map<unsigned int, cb_func>& entries) {
    entries[UPDATE_PACK] = updatePack;
    entries[PRESET] = preset;
    entries[PASSWORD_CLEAR] = passwordClear;
}
