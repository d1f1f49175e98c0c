#include "orphanSweep.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileCore.h"
#include "IniFile.h"
#include "StorageCore.h"
#include "StorageRemotePath.h"
#include "SystemSetup.h"
#include "WebPassword.h"
#include "Util/logger.h"
#include "orphan_files.h"
#include "properties.h"
#include "root_path.h"

namespace {

void report(const std::string& folder, const std::vector<std::string>& removed) {
    for (const std::string& name : removed) {
        PrintW("removed the orphaned temporary file %s/%s", folder.c_str(), name.c_str());
    }
}

void report(const std::vector<std::string>& removed) {
    for (const std::string& path : removed) {
        PrintW("removed the orphaned temporary file %s", path.c_str());
    }
}

bool endsWith(const std::string& name, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
}

// What the service itself saves in its data folder: the settings mirror,
// the MAC address and the calibration files.
bool ownDataFile(const std::string& name) {
    return name == platform::splitPath(StorageCore::kMirrorPath).second || name == "mac.conf" ||
           endsWith(name, ".cal") || endsWith(name, ".acc");
}

} // namespace

void orphanSweep() {
    // The data folder holds no user's file: the temporaries an earlier
    // version named after their targets go too.
    report(FileCore::RemoveTemporaries(platform::splitPath(StorageCore::kMirrorPath).first, false, ownDataFile));
    // In any folder of either root, the temporaries alone: a user's file is
    // kept whatever its name.
    for (const char* root : {StorageRemotePath::kIntRoot, StorageRemotePath::kUsbRoot}) {
        report(FileCore::RemoveTemporaries(root, true));
    }
    report(platform::splitPath(SystemSetup::kProductIniPath).first,
           Copperwren::IniFile::RemoveTemporaries(SystemSetup::kProductIniPath));
    report("/properties", platform::propertyRemoveTemporaries());
    // The web-control preferences are rewritten through one fixed name.
    const std::string prefs = std::string(WebPassword::kPrefsPath) + ".tmp";
    if (::unlink(platform::hostPath(prefs).c_str()) == 0) {
        report({prefs});
    }
}
