#include "orphanSweep.h"

#include <string>
#include <vector>

#include "FileCore.h"
#include "IniFile.h"
#include "StorageCore.h"
#include "SystemSetup.h"
#include "Util/logger.h"
#include "orphan_files.h"
#include "properties.h"

namespace {

void report(const std::string& folder, const std::vector<std::string>& removed) {
    for (const std::string& name : removed) {
        PrintW("removed the orphaned temporary file %s/%s", folder.c_str(), name.c_str());
    }
}

} // namespace

void orphanSweep() {
    report(platform::splitPath(StorageCore::kMirrorPath).first, FileCore::RemoveTemporaries(StorageCore::kMirrorPath));
    report(platform::splitPath(SystemSetup::kProductIniPath).first,
           Copperwren::IniFile::RemoveTemporaries(SystemSetup::kProductIniPath));
    report("/properties", platform::propertyRemoveTemporaries());
}
