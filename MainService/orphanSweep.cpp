#include "orphanSweep.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FileCore.h"
#include "IniFile.h"
#include "StorageCore.h"
#include "StorageRemotePath.h"
#include "SystemSetup.h"
#include "TemporaryFile.h"
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

// A medium that was out at a start keeps its temporaries listed for as many
// starts as this.
constexpr size_t kListedRuns = 16;

std::vector<unsigned long long> listedRuns() {
    std::vector<unsigned long long> runs;
    std::ifstream list(platform::hostPath(kTemporaryRuns));
    unsigned long long run = 0;
    while (runs.size() < kListedRuns && list >> run) {
        runs.push_back(run);
    }
    return runs;
}

// Whole or not at all: written beside the list and renamed over it.
bool writeList(const std::string& text) {
    const std::string host = platform::hostPath(kTemporaryRuns);
    std::error_code ignored;
    std::filesystem::create_directories(platform::splitPath(host).first, ignored);
    std::string tmp;
    const int fd = temporary_file::create(AT_FDCWD, host, tmp);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), host.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// This run first, so that its own temporaries go at the next start; written
// before anything saves, a failure logged (they are then kept).
void listRuns(std::vector<unsigned long long> runs) {
    runs.insert(runs.begin(), temporary_file::run());
    runs.resize(std::min(runs.size(), kListedRuns));
    std::string text;
    for (unsigned long long run : runs) {
        text += std::to_string(run) + "\n";
    }
    if (!writeList(text)) {
        PrintE("cannot list this run in %s: its cut-off temporaries will be kept", kTemporaryRuns);
    }
}

} // namespace

void orphanSweep() {
    // The data folder holds no user's file: the temporaries an earlier
    // version named after their targets go too.
    report(FileCore::RemoveTemporaries(platform::splitPath(StorageCore::kMirrorPath).first, false, ownDataFile));
    // In any folder of either root, the temporaries of the runs listed
    // alone: a user's file or folder is kept whatever its name. Those an
    // earlier build named by process id are never listed: a name of that
    // form may as well be a user's, copied from a PC or a stick.
    const std::vector<unsigned long long> runs = listedRuns();
    const auto ours = [&runs](const std::string& name) {
        unsigned long long run = 0;
        return temporary_file::runOf(name, run) && std::find(runs.begin(), runs.end(), run) != runs.end();
    };
    for (const char* root : {StorageRemotePath::kIntRoot, StorageRemotePath::kUsbRoot}) {
        report(FileCore::RemoveTemporaries(root, true, {}, ours));
    }
    listRuns(runs);
    report(platform::splitPath(SystemSetup::kProductIniPath).first,
           Copperwren::IniFile::RemoveTemporaries(SystemSetup::kProductIniPath));
    report("/properties", platform::propertyRemoveTemporaries());
    // The web-control preferences are rewritten through one fixed name.
    const std::string prefs = std::string(WebPassword::kPrefsPath) + ".tmp";
    if (::unlink(platform::hostPath(prefs).c_str()) == 0) {
        report({prefs});
    }
}
