// Start-up removes the temporary files that atomic writes cut off by a power
// cut left behind, and nothing else: a user's file or folder is kept whatever
// its name.
#include "orphanSweep.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "../toolkit/log_records.h"
#include "TemporaryFile.h"
#include "running_copy.h"
#include "temp_root.h"

using testing_support::LogCapture;
using testing_support::TempRoot;

TEST(OrphanSweep, RemovesOnlyTheTemporariesOfTheServicesOwnAndTheUsersSaves) {
    const struct { const char* path; bool removed; } files[] = {
        {"/vorna/data/mirrorconfig.xmir", false},
        {"/vorna/data/mirrorconfig.xmir.tmp.812.3", true},
        {"/vorna/data/mirrorconfig.xmir.tmp.8x2.3", false},
        {"/vorna/data/mirrorconfig.xmir.tmp.812.", false},
        {"/vorna/data/productconfig.ini", false},
        {"/vorna/data/productconfig.ini.tmpAb12Z9", true},
        {"/vorna/data/productconfig.ini.tmpAb12", false},
        {"/vorna/data/productconfig.ini.tmp-b12Z9", false},
        {"/vorna/data/other.tmp.1.2", false},
        {"/vorna/data/cali_1_2.cal.tmp.5.6", true},
        {"/vorna/data/.~dmm-temp.5.6", true},
        // Names a user may give: kept, whatever they look like.
        {"/data/UserData/a/b/s.sta.tmp.4.2", false},
        {"/data/UserData/results.tmp.2024.06", false},
        {"/data/UserData/sub/log.tmp.7.7", false},
        {"/data/UserData/keep.tmp.x", false},
        {"/data/UserData/.tmp.4.2", false},
        {"/mnt/media_rw/udiskh/scan.csv.tmp.1.2", false},
        {"/data/UserData/x.~dmm-temp.4.2", false},
        {"/data/UserData/.~dmm-temp.4.x", false},
        // Of a temporary's form, but of no run listed (copied from a PC).
        {"/data/UserData/keep/.~dmm-temp.3.4/f.sta", false},
        {"/mnt/media_rw/udiskh/.~dmm-temp.18.1", false},
        // The temporaries of saves and copies.
        {"/data/UserData/a/b/.~dmm-temp.4.2", true},
        {"/mnt/media_rw/udiskh/.~dmm-temp.9.1", true},
        // A folder is never removed, even of a listed run's name (a move's
        // tree cut off, or a user's folder): only the temporaries in it.
        {"/mnt/media_rw/udiskh/d/.~dmm-temp.17.3/proj/sub/f.sta", false},
        {"/mnt/media_rw/udiskh/d/.~dmm-temp.17.3/.~dmm-temp.17.4", true},
        {"/data/data/com.vorna.webcontrol/shared_prefs/spUtils.xml.tmp", true},
        {"/properties/sys.vorna.copperwren.boot_flag", false},
        {"/properties/.sys.vorna.copperwren.boot_flag.Xa9b2c", true},
    };
    TempRoot root;
    for (const auto& f : files) {
        testing_support::writeFile(root.host(f.path), "x");
    }
    testing_support::writeFile(root.host(kTemporaryRuns), "4\n17\n9\n");
    LogCapture log;
    orphanSweep();
    for (const auto& f : files) {
        EXPECT_EQ(std::filesystem::exists(root.host(f.path)), !f.removed) << f.path;
    }
    EXPECT_EQ(log.matching("removed the orphaned temporary file /vorna/data/mirrorconfig.xmir.tmp.812.3").size(), 1u);
    EXPECT_EQ(testing_support::readFile(root.host(kTemporaryRuns)),
              std::to_string(temporary_file::run()) + "\n4\n17\n9\n");
    // A root without the folders is no error.
    TempRoot empty;
    orphanSweep();
}

// A fresh root has no run list: the first start removes nothing in the
// storage roots. An earlier build named its temporaries by process id, but a
// name of that form may as well be a user's, copied from a PC or a stick;
// its leftovers are the user's to delete.
TEST(OrphanSweep, TheFirstStartRemovesNothingInTheRoots) {
    const testing_support::RunningCopy copy;
    const std::string prefix = "/data/UserData/.~dmm-temp.";
    const std::string kept[] = {
        prefix + std::to_string(testing_support::endedPid()) + ".1",
        "/mnt/media_rw/udiskh/d/.~dmm-temp." + std::to_string(::getpid()) + ".2/f.sta",
        prefix + std::to_string(copy.pid()) + ".3",
        prefix + std::to_string((1ULL << 61) | 7) + ".4",  // a run of no list
        "/data/UserData/x.~dmm-temp.4.2",
        "/data/UserData/keep/.~dmm-temp.3.4/important.txt",
        "/data/UserData/keep2/.~dmm-temp.99999.1",
        "/data/UserData/.~dmm-temp.3.4",
        "/mnt/media_rw/udiskh/.~dmm-temp.12345.1/photo.jpg",
    };
    TempRoot root;
    for (const std::string& path : kept) {
        testing_support::writeFile(root.host(path), "x");
    }
    orphanSweep();
    for (const std::string& path : kept) {
        EXPECT_TRUE(std::filesystem::exists(root.host(path))) << path;
    }
    EXPECT_EQ(testing_support::readFile(root.host(kTemporaryRuns)), std::to_string(temporary_file::run()) + "\n");
}
