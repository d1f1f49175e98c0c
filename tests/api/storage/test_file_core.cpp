// File primitives under a temporary data root, with the medium's space and
// cross-device renames played by a replaced host.
#include "FileCore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../../toolkit/log_records.h"
#include "Util/logger.h"
#include "fake_medium.h"
#include "temp_root.h"

using testing_support::FakeMedium;
using testing_support::readFile;
using testing_support::TempRoot;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

std::string load(FileCore& files, const std::string& path, int offset = 0, int length = 0) {
    std::vector<char> out;
    return files.FileLoad(path, out, offset, length) ? std::string(out.begin(), out.end()) : "<false>";
}

std::vector<std::string> entries(const std::string& host) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(host)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Fixture : ::testing::Test {
    std::string host(const std::string& path) const { return root.host(path); }
    TempRoot root;
    FileCore files;
};

} // namespace

// The free-space margin is kept for the user's files; the service's own
// files (the settings mirror, calibration) are written whenever they fit.
TEST_F(Fixture, SaveKeepsTheMarginForUserFilesAndReplacesOrAppends) {
    FakeMedium medium;
    fs::create_directories(host("/data/UserData"));
    const struct { const char* path; unsigned long long free; bool saved; } cases[] = {
        {"/data/UserData/a.txt", 0x1004001, true}, {"/data/UserData/a.txt", 0x1004000, false},
        {"/data/UserData/a.txt", 0, false},        {"/vorna/data/a.txt", 5, true},
        {"/vorna/data/a.txt", 4, false},           {"/data/a.txt", 1 << 20, true}};
    for (const auto& c : cases) {
        medium.setFree(c.free);
        EXPECT_EQ(files.FileSave(c.path, "first", 5, false), c.saved) << c.path << " " << c.free;
    }
    medium.setFree(1ULL << 40);
    ASSERT_TRUE(files.FileSave("/data/a.txt", "second", 6, false));
    ASSERT_TRUE(files.FileSave("/data/a.txt", "+more", 5, true));
    EXPECT_EQ(readFile(host("/data/a.txt")), "second+more");
    EXPECT_FALSE(files.FileSave("/data/a.txt", nullptr, 4, false));
    EXPECT_FALSE(files.FileSave("/data/a.txt", "abc", 0, false));
    // The replacing save left no temporary behind.
    EXPECT_EQ(entries(host("/data")), (std::vector<std::string>{"UserData", "a.txt"}));
}

TEST_F(Fixture, SavesOfOneFileFromSeveralThreadsEachLeaveAWholeFile) {
    const std::vector<std::string> texts = {std::string(20000, 'a'), std::string(300, 'b'), std::string(7000, 'c')};
    std::vector<std::thread> savers;
    for (const std::string& text : texts) {
        savers.emplace_back([this, &text] {
            for (int i = 0; i < 40; ++i) {
                EXPECT_TRUE(files.FileSave("/vorna/data/shared.txt", text.data(), static_cast<int>(text.size()), false));
            }
        });
    }
    for (std::thread& saver : savers) {
        saver.join();
    }
    const std::string saved = readFile(host("/vorna/data/shared.txt"));
    EXPECT_TRUE(saved == texts[0] || saved == texts[1] || saved == texts[2]) << saved.size() << " bytes";
    EXPECT_EQ(entries(host("/vorna/data")), std::vector<std::string>{"shared.txt"});
}

TEST_F(Fixture, LoadTakesOffsetAndLengthAndRefusesWhatItCannotRead) {
    writeFile(host("/data/f.bin"), std::string("0123\0" "56789", 10));
    writeFile(host("/data/empty"), "");
    ::mkfifo(host("/data/fifo").c_str(), 0666);
    {
        std::ofstream big(host("/data/big"));
        big.seekp(FileCore::kSettingsFileMax);
        big.put('x');  // sparse: one byte beyond the bound
    }
    const struct { const char* path; int offset, length; std::string want; } cases[] = {
        {"/data/f.bin", 0, 0, std::string("0123\0" "56789", 10)},
        {"/data/f.bin", 2, 6, std::string("23\0" "5", 4)},
        {"/data/f.bin", 7, 100, "789"},     // a length beyond the end: to the end
        {"/data/f.bin", 10, 0, "<false>"},  // offset at the end
        {"/data/f.bin", 5, 3, "<false>"},   // the end lies before the offset
        {"/data/f.bin", -1, 0, "<false>"},
        {"/data/f.bin", 0, -1, "<false>"},
        {"/data/empty", 0, 0, "<false>"},
        {"/data/missing", 0, 0, "<false>"},
        {"/data/fifo", 0, 0, "<false>"},  // no writer: must not wait for one
        {"/data/big", 0, 0, "<false>"},   // refused by its size, before reading
        {"/data/big", static_cast<int>(FileCore::kSettingsFileMax), 0, "x"},  // a part of it within the bound
    };
    for (const auto& c : cases) {
        EXPECT_EQ(load(files, c.path, c.offset, c.length), c.want) << c.path << " " << c.offset << " " << c.length;
    }
}

// A folder inside a storage root swapped for a link to the outside after the
// manager checked the path: every primitive works through the folder it
// opened and checked itself, so nothing outside is read, written or made.
TEST_F(Fixture, AFolderOfARootSwappedForALinkLeadsNowhere) {
    writeFile(host("/outside/x.sta"), "secret");
    writeFile(host("/data/UserData/in.sta"), "in");
    fs::create_directories(host("/mnt/media_rw/udiskh"));
    ASSERT_EQ(::symlink(host("/outside").c_str(), host("/data/UserData/d").c_str()), 0);
    ASSERT_EQ(::symlink(host("/outside").c_str(), host("/mnt/media_rw/udiskh/d").c_str()), 0);
    std::vector<char> out;
    EXPECT_FALSE(files.FileSave("/data/UserData/d/new.sta", "n", 1, false));
    EXPECT_FALSE(files.FileSave("/data/UserData/d/x.sta", "n", 1, true));
    EXPECT_FALSE(files.FileLoad("/data/UserData/d/x.sta", out, 0, 0));
    EXPECT_FALSE(files.FileLoad("/mnt/media_rw/udiskh/d/x.sta", out, 0, 0));
    EXPECT_FALSE(files.FileCopy("/data/UserData/d/x.sta", "/data/UserData/got.sta"));
    EXPECT_FALSE(files.FileCopy("/data/UserData/in.sta", "/data/UserData/d/in.sta"));
    EXPECT_FALSE(files.FileMove("/data/UserData/in.sta", "/mnt/media_rw/udiskh/d/in.sta"));
    EXPECT_FALSE(files.CreateDirectories("/data/UserData/d/made"));
    EXPECT_FALSE(files.FileDelete("/data/UserData/d/x.sta"));
    EXPECT_FALSE(files.FileDelete("/data/UserData"));
    EXPECT_EQ(entries(host("/outside")), std::vector<std::string>{"x.sta"});
    EXPECT_EQ(readFile(host("/outside/x.sta")), "secret");
    EXPECT_TRUE(fs::exists(host("/data/UserData/in.sta")));
    // A link inside a root that stays inside it still leads to its file.
    ASSERT_EQ(::symlink("in.sta", host("/data/UserData/alias.sta").c_str()), 0);
    EXPECT_EQ(load(files, "/data/UserData/alias.sta"), "in");
}

// A folder of the tree that a delete, copy or move walks is swapped for a
// link to the outside between the listing of its entries and the work on
// them: the cancel check, asked before each entry (of the look at the tree's
// depth first, then of the walk that changes it), swaps at its k-th call.
// Whenever the swap comes, nothing outside is removed, brought in or changed.
TEST_F(Fixture, AFolderSwappedForALinkMidWalkTouchesNothingOutside) {
    FakeMedium medium(1ULL << 40);
    const std::vector<std::string> names = {"f0", "f1", "f2"};
    enum Op { Delete, Copy, Move, MoveAcross };
    for (Op op : {Delete, Copy, Move, MoveAcross}) {
        for (int k = 1; k <= 16; ++k) {
            for (const char* dir : {"/outside", "/data/UserData", "/mnt/media_rw/udiskh"}) {
                fs::remove_all(host(dir));
            }
            fs::create_directories(host("/mnt/media_rw/udiskh"));
            for (const std::string& name : names) {
                writeFile(host("/data/UserData/d/sub/" + name), "in");
                writeFile(host("/outside/" + name), "secret");
                ASSERT_EQ(::chmod(host("/outside/" + name).c_str(), 0600), 0);
            }
            int calls = 0;
            const FileCore::CancelCheck swap = [&] {
                if (++calls == k) {
                    fs::rename(host("/data/UserData/d/sub"), host("/data/UserData/moved"));
                    fs::create_directory_symlink(host("/outside"), host("/data/UserData/d/sub"));
                }
                return false;
            };
            medium.crossDevice = op == MoveAcross;
            const std::string from = "/data/UserData/d", to = "/mnt/media_rw/udiskh/d";
            op == Delete ? files.FileDelete(from, swap)
                         : op == Copy ? files.FileCopy(from, to, swap) : files.FileMove(from, to, swap);
            const std::string at = " op " + std::to_string(op) + " k " + std::to_string(k);
            ASSERT_EQ(entries(host("/outside")), names) << at;
            for (const std::string& name : names) {
                EXPECT_EQ(readFile(host("/outside/" + name)), "secret") << at;
                EXPECT_EQ(fs::status(host("/outside/" + name)).permissions(), fs::perms(0600)) << at;
            }
            for (const auto& entry : fs::recursive_directory_iterator(host("/mnt/media_rw/udiskh"))) {
                if (entry.is_regular_file()) {
                    EXPECT_EQ(readFile(entry.path().string()), "in") << entry.path() << at;
                }
            }
        }
    }
}

// The folder a listing names is swapped for a link to the outside after the
// manager checked the path: no name, size or emptiness comes from the outside,
// and listed from its root the link is a link, its target not walked.
TEST_F(Fixture, AListedFolderSwappedForALinkShowsNothingOutside) {
    writeFile(host("/outside/secret.sta"), "secret");
    writeFile(host("/outside/deep/more"), std::string(5000, 'm'));
    for (const std::string root : {"/data/UserData", "/mnt/media_rw/udiskh"}) {
        const std::string folder = root + "/d";
        fs::create_directories(host(root));
        ASSERT_EQ(::symlink(host("/outside").c_str(), host(folder).c_str()), 0);
        FileInfos record;
        std::map<std::string, long long> sizes;
        std::set<std::string> names;
        EXPECT_FALSE(files.GetFileList(folder, record)) << folder;
        EXPECT_FALSE(files.GetFileList(folder, sizes)) << folder;
        EXPECT_FALSE(files.GetFileList(folder, names)) << folder;
        EXPECT_EQ(record.info_size() + sizes.size() + names.size(), 0u) << folder;
        EXPECT_EQ(files.IsFolderEmpty(folder), -1) << folder;
        EXPECT_EQ(files.Check(folder), 0) << folder;
        ASSERT_TRUE(files.GetFileList(root, sizes)) << root;
        EXPECT_EQ(sizes, (std::map<std::string, long long>{{"d", host("/outside").size()}})) << root;
        // A link to a folder inside the root is listed through.
        writeFile(host(root + "/in/x.sta"), "x");
        ASSERT_EQ(::symlink(host(root + "/in").c_str(), host(root + "/alias").c_str()), 0);
        EXPECT_TRUE(files.GetFileList(root + "/alias", names)) << root;
        EXPECT_EQ(names, std::set<std::string>{"x.sta"}) << root;
    }
}

// A copy cut off by a kill leaves no part of a file under the target's name,
// and a temporary that the start-up sweep knows; a cancelled one replaces nothing.
TEST_F(Fixture, ACopyWritesATemporaryAndRenamesItWhenWhole) {
    const std::string big(300000, 'b');  // several chunks
    writeFile(host("/u/big"), big);
    fs::create_directories(host("/v"));
    std::vector<std::vector<std::string>> seen;
    ASSERT_TRUE(files.FileCopy("/u/big", "/v/big", [&] {
        seen.push_back(entries(host("/v")));
        return false;
    }));
    EXPECT_EQ(readFile(host("/v/big")), big);
    EXPECT_EQ(entries(host("/v")), std::vector<std::string>{"big"});
    std::string temporary;
    for (const auto& names : seen) {
        ASSERT_LE(names.size(), 1u);
        EXPECT_TRUE(names.empty() || names[0] != "big") << "a part of the file under its name";
        temporary = names.empty() ? temporary : names[0];
    }
    ASSERT_FALSE(temporary.empty());
    writeFile(host("/v/" + temporary), "left by a kill");
    EXPECT_EQ(FileCore::RemoveTemporaries("/v", false), std::vector<std::string>{"/v/" + temporary});

    writeFile(host("/v/big"), "old");
    int chunks = 0;
    EXPECT_FALSE(files.FileCopy("/u/big", "/v/big", [&] { return ++chunks == 3; }));
    EXPECT_EQ(entries(host("/v")), std::vector<std::string>{"big"});
    EXPECT_EQ(readFile(host("/v/big")), "old");
}

// Out of descriptors a save fails for what it is: the log names the system's
// reason, not a way out of the root.
TEST_F(Fixture, ASaveWithoutAFreeDescriptorLogsTheSystemsReason) {
    fs::create_directories(host("/data/UserData"));
    testing_support::LogCapture log("file-core-test");
    // A save and a line logged first: a sanitizer checks the classes they
    // use with descriptors of its own, the first time only.
    ASSERT_TRUE(files.FileSave("/data/UserData/b.sta", "b", 1, false));
    PrintI("taking every descriptor");
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        taken.push_back(fd);
    }
    const bool saved = files.FileSave("/data/UserData/a.sta", "a", 1, false);
    for (int fd : taken) {
        ::close(fd);
    }
    EXPECT_FALSE(saved);
    EXPECT_NE(log.count("Too many open files"), 0u) << ::testing::PrintToString(log.texts());
    EXPECT_EQ(log.count("leads out"), 0u);
    EXPECT_TRUE(files.FileSave("/data/UserData/a.sta", "a", 1, false));
}

TEST_F(Fixture, CopyTakesFilesAndFoldersIntoNewNamesAndExistingFolders) {
    writeFile(host("/u/a.txt"), "A");
    writeFile(host("/u/tree/sub/b.txt"), "B");
    writeFile(host("/outside.txt"), "secret");
    ASSERT_EQ(::symlink(host("/outside.txt").c_str(), host("/u/tree/link").c_str()), 0);
    ASSERT_EQ(::chmod(host("/outside.txt").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(host("/u/a.txt").c_str(), 0640), 0);
    fs::create_directories(host("/u/box"));
    const struct { const char* src; const char* dst; const char* check; const char* want; } cases[] = {
        {"/u/a.txt", "/u/copy.txt", "/u/copy.txt", "A"},
        {"/u/a.txt", "/u/box", "/u/box/a.txt", "A"},
        {"/u/tree", "/u/tree2", "/u/tree2/sub/b.txt", "B"},
        {"/u/tree", "/u/box/", "/u/box/tree/sub/b.txt", "B"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(files.FileCopy(c.src, c.dst)) << c.src << " -> " << c.dst;
        EXPECT_EQ(readFile(host(c.check)), c.want);
        // What a copy makes gets ordinary modes; its source keeps its own.
        EXPECT_EQ(fs::status(host(c.check)).permissions() & fs::perms::others_write, fs::perms::none);
        EXPECT_EQ(fs::status(host("/u/a.txt")).permissions(), fs::perms(0640));
    }
    // The link is copied as a link; what it points at is neither copied nor changed.
    EXPECT_TRUE(fs::is_symlink(host("/u/tree2/link")));
    EXPECT_EQ(fs::status(host("/outside.txt")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // Into itself, onto itself, or from nowhere: refused.
    EXPECT_FALSE(files.FileCopy("/u/tree", "/u/tree/sub"));
    EXPECT_FALSE(files.FileCopy("/u/tree", "/u/tree"));
    EXPECT_FALSE(files.FileCopy("/u/a.txt", "/u/a.txt"));
    EXPECT_FALSE(files.FileCopy("/u/none", "/u/x"));
    EXPECT_FALSE(fs::exists(host("/u/tree/sub/tree")));
}

TEST_F(Fixture, MoveRenamesOrCopiesAcrossFileSystemsAndDeletesWithoutFollowingLinks) {
    FakeMedium medium;
    for (bool crossDevice : {false, true}) {
        medium.crossDevice = crossDevice;
        writeFile(host("/u/tree/sub/b.txt"), "B");
        fs::create_directories(host("/usb"));
        ASSERT_TRUE(files.FileMove("/u/tree", "/usb")) << crossDevice;
        EXPECT_EQ(readFile(host("/usb/tree/sub/b.txt")), "B");
        EXPECT_FALSE(fs::exists(host("/u/tree")));
        EXPECT_FALSE(files.FileMove("/u/tree", "/usb"));
        ASSERT_TRUE(files.FileDelete("/usb"));
    }
    writeFile(host("/keep/k.txt"), "K");
    fs::create_directories(host("/gone"));
    ASSERT_EQ(::symlink(host("/keep").c_str(), host("/gone/link").c_str()), 0);
    EXPECT_TRUE(files.FileDelete("/gone"));
    EXPECT_EQ(readFile(host("/keep/k.txt")), "K");
    EXPECT_TRUE(files.FileDelete("/never/was"));
}

// A move to another medium that fails half-way, on an entry that cannot be
// copied or by a cancel at any entry, leaves the target as it was and the
// source whole. The tree it fills meanwhile bears a temporary's name, never
// the target's; one a kill left is a folder, which the start-up sweep keeps
// for the user to delete.
TEST_F(Fixture, AMoveAcrossMediaThatFailsLeavesTheTargetAsItWas) {
    FakeMedium medium(1ULL << 40);
    medium.crossDevice = true;
    const std::vector<std::string> names = {"a", "b", "c", "d", "e", "sock"};
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        writeFile(host("/usb/proj/" + names[i]), names[i]);
    }
    writeFile(host("/int/keep"), "k");
    size_t swept = 0;
    // The cancel check comes before each entry: first of the look at the
    // source's depth, then of the modes set on it, then of the copy.
    for (int k = 0; k <= 20; ++k) {
        // Without a cancel, a socket is what cannot be copied.
        const bool uncopyable = k == 0;
        if (uncopyable) {
            ASSERT_EQ(::mknod(host("/usb/proj/sock").c_str(), S_IFSOCK | 0666, 0), 0);
        }
        std::set<std::string> seen;
        int calls = 0;
        EXPECT_FALSE(files.FileMove("/usb/proj", "/int/proj", [&] {
            for (const std::string& name : entries(host("/int"))) {
                seen.insert(name);
            }
            return ++calls == k;
        })) << k;
        EXPECT_EQ(entries(host("/int")), std::vector<std::string>{"keep"}) << k;
        EXPECT_EQ(entries(host("/usb/proj")).size(), uncopyable ? 6u : 5u) << k;
        seen.erase("keep");
        ASSERT_LE(seen.size(), 1u) << k;
        for (const std::string& temporary : seen) {
            EXPECT_EQ(temporary.rfind(".~dmm-temp.", 0), 0u) << temporary;
            writeFile(host("/int/" + temporary + "/proj/a"), "left by a kill");
            EXPECT_EQ(FileCore::RemoveTemporaries("/int", false), std::vector<std::string>{});
            EXPECT_EQ(readFile(host("/int/" + temporary + "/proj/a")), "left by a kill");
            fs::remove_all(host("/int/" + temporary));
            ++swept;
        }
        fs::remove(host("/usb/proj/sock"));
    }
    EXPECT_GE(swept, 5u);
    // Once whole, it is in place and the source gone.
    ASSERT_TRUE(files.FileMove("/usb/proj", "/int/proj"));
    EXPECT_EQ(entries(host("/int/proj")), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_FALSE(fs::exists(host("/usb/proj")));
}

// A move to another medium removes from the source only what its copy
// took, as it was then: a file saved into the moved tree, or over a file of
// it, once the copy has taken that folder or file is kept in the source. The
// save comes at the k-th cancel check of the copy (k 0: once the copy is in
// place, before the source is removed). Wherever it comes, the saved file
// is found whole in the source or in the target, and the move succeeds only
// when nothing stays behind.
TEST_F(Fixture, AMoveAcrossMediaKeepsWhatIsSavedIntoItsSource) {
    FakeMedium medium(1ULL << 40);
    medium.crossDevice = true;
    const struct {
        const char* src;
        const char* saved;
    } cases[] = {
        {"/int/s4", "/int/s4/saved_during_move"},
        {"/int/s4", "/int/s4/sub/new"},
        {"/int/s4", "/int/s4/a"},  // over a file the copy takes
        {"/int/s4/a", "/int/s4/a"},
    };
    const std::map<std::string, std::string> before = {{"a", "old a"}, {"sub/b", "old b"}};
    for (const auto& c : cases) {
        const std::string src = c.src, saved = c.saved, top = src.substr(0, src.rfind('/') + 1);
        const std::string savedThere = "/usb/" + saved.substr(top.size());
        bool keptOnce = false;
        for (int k = 0; k <= 16; ++k) {
            const std::string at = saved + " k " + std::to_string(k);
            fs::remove_all(host("/int"));
            fs::remove_all(host("/usb"));
            fs::create_directories(host("/usb"));
            for (const auto& file : before) {
                writeFile(host("/int/s4/" + file.first), file.second);
            }
            bool done = false;
            const auto save = [&] {
                if (!done) {
                    done = true;
                    ASSERT_TRUE(files.FileSave(saved, "new", 3, false)) << at;
                }
            };
            files.setBeforeSourceRemoval(k == 0 ? std::function<void()>(save) : nullptr);
            int calls = 0;
            const bool moved = files.FileMove(src, "/usb", [&] {
                if (++calls == k) {
                    save();
                }
                return false;
            });
            files.setBeforeSourceRemoval(nullptr);
            ASSERT_TRUE(done || k > 0) << at;
            if (!done) {
                break;  // past the copy's last check
            }
            const bool kept = fs::exists(host(saved)) && readFile(host(saved)) == "new";
            EXPECT_TRUE(kept || readFile(host(savedThere)) == "new") << at;
            EXPECT_EQ(moved, !fs::exists(host(src))) << at;
            EXPECT_EQ(moved, !kept) << at;
            keptOnce = keptOnce || kept;
            // What the copy took is whole in the target, and what the source
            // keeps is only what came after.
            for (const auto& file : before) {
                const std::string name = "/int/s4/" + file.first;
                if (name != saved && name.compare(0, src.size(), src) == 0) {
                    EXPECT_EQ(readFile(host("/usb/" + name.substr(top.size()))), file.second) << at;
                    EXPECT_FALSE(fs::exists(host(name))) << at;
                }
            }
        }
        EXPECT_TRUE(keptOnce) << saved;
    }
}

TEST_F(Fixture, NamesAreTakenLiterally) {
    const std::string names[] = {"a\"b", "$(touch marker)", "`touch marker`", "-rf", "x; touch marker"};
    fs::create_directories(host("/u"));
    for (const std::string& name : names) {
        const std::string path = "/u/" + name;
        ASSERT_TRUE(files.CreateDirectories(path)) << name;
        EXPECT_FALSE(files.CreateDirectories(path));  // exists
        writeFile(host(path + "/f"), name);
        ASSERT_TRUE(files.FileCopy(path, "/u/copy " + name));
        ASSERT_TRUE(files.FileMove("/u/copy " + name, path + ".moved"));
        EXPECT_EQ(readFile(host(path + ".moved/f")), name);
        EXPECT_TRUE(files.FileDelete(path + ".moved"));
        EXPECT_TRUE(files.FileDelete(path + "/f"));
        EXPECT_TRUE(files.DirectoryDelete(path));
    }
    EXPECT_TRUE(entries(host("/u")).empty());
    EXPECT_FALSE(fs::exists("marker"));
    EXPECT_FALSE(fs::exists(host("/marker")));
    EXPECT_FALSE(files.CreateDirectories("/no/parent"));
}

TEST_F(Fixture, ListingsSizesAndEmptiness) {
    const std::string bad = "bad\xC3";
    const std::string surrogate = "s\xED\xA0\x80";
    writeFile(host("/d/a.sta"), "12345");
    writeFile(host("/d/sub/x"), "123");
    writeFile(host("/d/" + bad), "1");
    writeFile(host("/d/" + surrogate), "1");
    writeFile(host("/d/\xC3\xA9t\xC3\xA9"), "22");

    FileInfos record;
    ASSERT_TRUE(files.GetFileList("/d", record));
    std::map<std::string, long long> listed;
    for (const auto& info : record.info()) {
        listed[info.name()] = info.isdir() ? -1 : info.size();
        EXPECT_EQ(info.modifytime().size(), 19u);
    }
    EXPECT_EQ(listed, (std::map<std::string, long long>{{"a.sta", 5}, {"sub", -1}, {"\xC3\xA9t\xC3\xA9", 2}}));

    std::map<std::string, long long> sizes;
    ASSERT_TRUE(files.GetFileList("/d", sizes));
    EXPECT_EQ(sizes.size(), 5u);
    EXPECT_EQ(sizes["sub/"], 3);
    EXPECT_EQ(sizes[bad], 1);
    std::set<std::string> names;
    ASSERT_TRUE(files.GetFileList("/d", names));
    EXPECT_EQ(names.count(surrogate), 1u);
    EXPECT_FALSE(files.GetFileList("/d/a.sta", names));

    fs::create_directories(host("/empty"));
    const struct { const char* path; int want; } cases[] = {{"/empty", 0}, {"/d/sub", 1}, {"/missing", -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(files.IsFolderEmpty(c.path), c.want) << c.path;
    }
}

TEST_F(Fixture, SpaceIsSixtyFourBit) {
    FakeMedium medium;
    medium.info = {200ULL << 30, 150ULL << 30, 100ULL << 30};
    unsigned long long used = 0;
    unsigned long long available = 0;
    ASSERT_TRUE(files.UsedAndAvailableMemoryStorageGet("/data", &used, &available));
    EXPECT_EQ(used, 100ULL << 30);
    EXPECT_EQ(available, 100ULL << 30);
    EXPECT_EQ(FileCore::GetFreeDiskSize("/data"), 150ULL << 30);
}
