// File operations of the UI and the mass-memory commands of remote control:
// remote path forms confined to the storage roots, wildcards, the catalogue,
// store and recall results, and the start and end reports of every job.
#include "StorageManage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "CFEM.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "StorageRemotePath.h"
#include "StorageWildcard.h"
#include "TemporaryFile.h"
#include "inc_enum.h"
#include "fake_medium.h"
#include "running_copy.h"
#include "temp_root.h"
#include "../system/ui_notifications.h"

using testing_support::TempRoot;
using testing_support::writeFile;
using ValueMap = google::protobuf::Map<int, Value>;

namespace {

constexpr unsigned kUi = 0, kRemote = 2;

TEST(StorageRemotePath, ConvertsAndConfines) {
    TempRoot root;
    std::filesystem::create_directories(root.host("/data/UserData/cur"));
    std::filesystem::create_directories(root.host("/mnt/media_rw/udiskh"));
    std::filesystem::create_directories(root.host("/vorna/data"));
    std::filesystem::create_directory_symlink(root.host("/vorna"), root.host("/data/UserData/out"));
    std::filesystem::create_directory_symlink("cur", root.host("/data/UserData/in"));
    const struct {
        const char* in;
        const char* out;  // nullptr: refused
    } cases[] = {
        {"INT:\\dir\\a", "/data/UserData/dir/a"},
        {"USB:/x.sta", "/mnt/media_rw/udiskh/x.sta"},
        {"/x.sta", "/data/UserData/x.sta"},
        {"x.sta", "/data/UserData/cur/x.sta"},
        {"int:/x", "/data/UserData/cur/int:/x"},
        {"INT:\\\\a\\.\\b\\..\\c\\", "/data/UserData/a/c"},
        {"USB:/", "/mnt/media_rw/udiskh"},
        {"..", "/data/UserData"},
        {"INT:/../../vorna/data", nullptr},
        {"../../../vorna", nullptr},
        {"/../UserDataX", nullptr},
        {"/in/x", "/data/UserData/in/x"},
        {"/out/data/x", nullptr},
        {"/out", nullptr},
        {"", "/data/UserData/cur"},
        // The names of the service's temporaries are no user's names.
        {"INT:\\.~dmm-temp.1.2", nullptr},
        {"USB:/d/.~DMM-Temp.1.2/x", nullptr},
        {".~dmm-temp.", nullptr},
        {"a.~dmm-temp.1.2", "/data/UserData/cur/a.~dmm-temp.1.2"},
        {".~dmm-temp", "/data/UserData/cur/.~dmm-temp"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(StorageRemotePath::directoryFormat(s, "/data/UserData/cur"), c.out != nullptr) << c.in;
        EXPECT_EQ(s, c.out != nullptr ? c.out : c.in) << c.in;
    }
}

TEST(StorageWildcard, MatchesWholeNamesWithOnlyStarSpecial) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.sta", "a.sta", true},      {"*.sta", "a.sta.bak", false}, {"a.c", "abc", false},
        {"a*b*c", "axxbyybc", true},   {"[(", "[(", true},            {"*", "", true},
        {"s*", "xs", false},           {"**a", "ba", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StorageWildcard::match(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
    }
    const std::pair<const char*, const char*> suffixes[] = {
        {"s.sta", "STAT"}, {"d.csv", "ASC"}, {"p.prf", "PREF"}, {"a.sta.sta", ""}, {"x.dat", ""}};
    for (const auto& s : suffixes) {
        EXPECT_EQ(StorageWildcard::analysisSuffix(s.first), s.second) << s.first;
    }
}

class StorageManageTest : public ::testing::Test {
protected:
    StorageManageTest() {
        std::filesystem::create_directories(host(StorageRemotePath::kIntRoot));
        SINGLETON_PTR(StorageCore)->DefaultFilePathSet(StorageRemotePath::kIntRoot);
        SINGLETON_PTR(StorageManage)->getCallbacks(handlers);
    }

    int call(unsigned source, unsigned id, std::vector<std::pair<int, std::string>> args, ValueMap* out = nullptr) {
        ValueMap in, reply;
        for (auto& arg : args) {
            in[arg.first].set_strval(arg.second);
        }
        return handlers.at(id)(source, in, out != nullptr ? out : &reply);
    }
    std::string query(unsigned id, std::vector<std::pair<int, std::string>> args = {}) {
        ValueMap out;
        EXPECT_EQ(call(kRemote, id, std::move(args), &out), 0);
        return out[static_cast<int>(id & 0xFFFF)].strval();
    }
    std::string host(const std::string& path) const { return root.host(path); }
    bool exists(const std::string& path) const { return std::filesystem::exists(host(path)); }
    int cancel(int type) {
        ValueMap in, out;
        in[0xF1F].set_s32val(type);
        return handlers.at(0x10000F1F)(kUi, in, &out);
    }

    // The file-operation reports (type, status, result) once `count` came.
    std::vector<std::vector<int>> reports(size_t count, int ms = 10000) {
        std::vector<std::vector<int>> seen;
        for (const DataPack& pack : notes.waitCount(ON_FILE_OPERATION_STATUS_CHANGED, count, ms)) {
            const auto info = testing_support::UiNotifications::record<ProtoFileOperationInfo>(pack);
            seen.push_back({info.ms32optype(), info.ms32opstatus(), info.ms32opresult()});
        }
        return seen;
    }

    TempRoot root;
    testing_support::UiNotifications notes;
    std::map<unsigned int, cb_func> handlers;
};

TEST_F(StorageManageTest, RemoteFoldersStatesAndCatalogue) {
    EXPECT_EQ(query(0x20000F1D), "\"INT:\\\"");
    EXPECT_EQ(call(kRemote, 0x10000F00, {{0xF00, "\"INT:\\d\""}}), 0);
    writeFile(host("/data/UserData/s.sta"), "0123456789");
    writeFile(host("/data/UserData/a.sta.bak"), "x");
    const std::string catalogue = query(0x20000F03);
    EXPECT_EQ(catalogue.substr(0, 1), "+");
    EXPECT_NE(catalogue.find(",+"), std::string::npos);
    EXPECT_EQ(catalogue.substr(catalogue.find("\"")), "\"a.sta.bak,,1\",\"d,FOLD,0\",\"s.sta,STAT,10\"");
    const std::string filtered = query(0x20000F03, {{0xF03, "\"INT:\\*.sta\""}});
    EXPECT_EQ(filtered.substr(filtered.find("\"")), "\"s.sta,STAT,10\"");
    // An empty quoted path is the current folder.
    const std::string here = query(0x20000F03, {{0xF03, "\"\""}});
    EXPECT_EQ(here.substr(here.find("\"")), catalogue.substr(catalogue.find("\"")));

    EXPECT_EQ(call(kRemote, 0x10000F1C, {{0xF1C, "\"INT:\\d\""}}), 0);
    EXPECT_EQ(call(kRemote, 0x10000F1C, {{0xF1C, "\"\""}}), 0);
    EXPECT_EQ(query(0x20000F1D), "\"INT:\\d\"");
    EXPECT_EQ(query(0x20002406, {{0x2406, "\"\""}}), "1");
    EXPECT_EQ(call(kRemote, 0x10002403, {{0x2403, "\"s\""}}), 0);
    EXPECT_TRUE(exists("/data/UserData/d/s.sta"));
    EXPECT_EQ(query(0x20002406, {{0x2406, "\"s.sta\""}}), "1");
    EXPECT_EQ(call(kRemote, 0x10002401, {{0x2401, "\"s\""}}), 0);

    // Failed stores and recalls answer an error: a folder in the file's place,
    // a file that is not there.
    std::filesystem::create_directories(host("/data/UserData/d/busy.sta"));
    EXPECT_EQ(call(kRemote, 0x10002403, {{0x2403, "\"busy\""}}), 44);
    EXPECT_EQ(call(kRemote, 0x10002401, {{0x2401, "\"none\""}}), 44);
}

TEST_F(StorageManageTest, RemotePathsStayInsideTheRoots) {
    writeFile(host("/vorna/data/keep"), "k");
    writeFile(host("/data/UserData/f"), "f");
    const struct {
        unsigned id;
        int key;
        const char* path;
    } refused[] = {
        {0x10002403, 0x2403, "INT:\\s"},                   // unquoted
        {0x10002403, 0x2403, "\"INT:/../../vorna/data/x\""},
        {0x10000F00, 0xF00, "\"\""},
        {0x10002403, 0x2403, "\"\""},                   // the current folder, a root
        {0x10000F02, 0xF02, "\"INT:\\\""},                 // a root
        {0x10000F02, 0xF02, "\"USB:/\""},
        {0x10000F1C, 0xF1C, "\"INT:/../../vorna\""},
        {0x20000F03, 0xF03, "\"INT:/../../vorna/data\""},
        {0x20002406, 0x2406, "\"/../../vorna/data/keep\""},
        {0x10002403, 0x2403, "\"INT:\\.~dmm-temp.1.2\""},
        {0x10000F00, 0xF00, "\"INT:\\.~dmm-temp.3.4\""},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(call(kRemote, c.id, {{c.key, c.path}}), 44) << std::hex << c.id << " " << c.path;
    }
    // Deletes are refused in the handler and end their report with 44.
    for (const char* path : {"\"INT:/../../vorna/data\"", "\"\"", "\"INT:\\\"", "\"INT:/x/..\""}) {
        EXPECT_EQ(call(kRemote, 0x10000F01, {{0xF01, path}}), 44) << path;
    }
    EXPECT_TRUE(exists("/vorna/data/keep"));
    EXPECT_TRUE(exists("/data/UserData/f"));
    EXPECT_EQ(reports(8).size(), 8u);
}

// Every long operation sends one start and exactly one end report, refused
// or not; the handler's result is the refusal.
TEST_F(StorageManageTest, OneStartAndOneEndReportPerOperation) {
    writeFile(host("/data/UserData/a.txt"), "abc");
    writeFile(host("/data/UserData/b.txt"), "b");
    const struct {
        unsigned id;
        std::vector<std::pair<int, std::string>> args;
        int result;
        int type;
        int end;
    } cases[] = {
        {0x10000F06, {{0xF10, "/data/UserData/a.txt"}}, 8, OPER_TYPE_COPY, 8},
        {0x10000F06, {{0xF10, "data/UserData/a.txt"}, {0xF11, "data/UserData/c.txt"}}, 0, OPER_TYPE_COPY, 0},
        {0x10000F06, {{0xF10, "/data/UserData/none"}, {0xF11, "/data/UserData/n2"}}, 0, OPER_TYPE_COPY, 44},
        {0x10000F09, {{0xF10, "/data/UserData/a.txt"}, {0xF11, "/data/UserData/b.txt"}}, 129, OPER_TYPE_MOVE, 129},
        {0x10000F09, {{0xF10, "/data/UserData/a.txt"}, {0xF11, "/data/UserData/r.txt"}}, 0, OPER_TYPE_MOVE, 0},
        {0x10000F0A, {{0xF0C, "/data/UserData/s.txt"}}, 8, OPER_TYPE_SAVE, 8},
        {0x10000F0A, {{0xF0C, "/data/UserData/s.txt"}, {0xF0D, "hello"}}, 0, OPER_TYPE_SAVE, 0},
        {0x10000F0B, {{0xF0C, "/data/UserData/s.txt"}}, 0, OPER_TYPE_LOAD, 0},
        {0x10000F01, {{0xF01, "/data/UserData/b.txt"}}, 0, OPER_TYPE_DEL, 0},
        {0x10000F08, {{0xF10, "\"INT:\\r.txt\""}, {0xF11, "\"INT:\\m.txt\""}}, 0, OPER_TYPE_MOVE, 0},
        // Remote control is told that the name it deletes is not there.
        {0x10000F01, {{0xF01, "\"INT:\\b.txt\""}}, 44, OPER_TYPE_DEL, 44},
        // A temporary's name is refused as the user's.
        {0x10000F0A, {{0xF0C, "/data/UserData/.~dmm-temp.1.1"}, {0xF0D, "x"}}, 44, OPER_TYPE_SAVE, 44},
        {0x10000F06, {{0xF10, "/data/UserData/c.txt"}, {0xF11, "/data/UserData/.~dmm-temp.1.1"}}, 44,
         OPER_TYPE_COPY, 44},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        const unsigned source = c.args.front().second[0] == '"' ? kRemote : kUi;
        EXPECT_EQ(call(source, c.id, c.args), c.result) << std::hex << c.id;
        count += 2;
        const auto seen = reports(count);
        ASSERT_EQ(seen.size(), count) << std::hex << c.id;
        EXPECT_EQ(seen[count - 2], (std::vector<int>{c.type, STATUS_START, 0})) << std::hex << c.id;
        EXPECT_EQ(seen[count - 1], (std::vector<int>{c.type, STATUS_END, c.end})) << std::hex << c.id;
    }
    EXPECT_TRUE(exists("/data/UserData/c.txt"));  // the relative UI path got its "/"
    EXPECT_FALSE(exists("/data/UserData/b.txt"));
    EXPECT_TRUE(exists("/data/UserData/m.txt"));
    EXPECT_FALSE(exists("/data/UserData/.~dmm-temp.1.1"));
    {
        testing_support::FakeMedium full(0x1004000);
        EXPECT_EQ(call(kUi, 0x10000F06, {{0xF10, "/data/UserData/c.txt"}, {0xF11, "/data/UserData/d.txt"}}), 128);
    }
    EXPECT_EQ(reports(count + 2).back(), (std::vector<int>{OPER_TYPE_COPY, STATUS_END, 128}));
    EXPECT_EQ(reports(count + 3, 300).size(), count + 2);  // nothing more came
}

// A temporary that nothing writes any more (of an earlier build, of a run
// no longer listed) is the user's to delete, through either door; one that
// this process or a running copy of the service may be writing is not.
TEST_F(StorageManageTest, ADeleteReachesTheTemporariesNothingWrites) {
    const testing_support::RunningCopy copy;
    const std::string ended = std::to_string(testing_support::endedPid());
    const std::string own = std::to_string(temporary_file::run());
    const std::string endedRun = std::to_string((1ULL << 61) | (12345ULL << 22) | std::stoull(ended));
    const struct {
        std::string name;  // planted in the internal root, a file or the folder of one
        std::string named;
        bool deleted;
    } cases[] = {
        {".~dmm-temp." + ended + ".1", "\"INT:\\.~dmm-temp." + ended + ".1\"", true},
        {".~dmm-temp." + endedRun + ".2/f.sta", "/data/UserData/.~dmm-temp." + endedRun + ".2", true},
        {".~DMM-Temp.x/f.sta", "\"INT:/.~DMM-Temp.x/f.sta\"", true},
        {".~dmm-temp." + own + ".3", "/data/UserData/.~dmm-temp." + own + ".3", false},
        // The same file as this process's own on a medium that ignores case.
        {".~DMM-TEMP." + own + ".4", "\"INT:\\.~DMM-TEMP." + own + ".4\"", false},
        {".~dmm-temp." + std::to_string(copy.pid()) + ".5/f.sta",
         "\"INT:\\.~dmm-temp." + std::to_string(copy.pid()) + ".5\\f.sta\"", false},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        writeFile(host("/data/UserData/" + c.name), "x");
        EXPECT_EQ(call(c.named[0] == '"' ? kRemote : kUi, 0x10000F01, {{0xF01, c.named}}), c.deleted ? 0 : 44);
        count += 2;
        EXPECT_EQ(reports(count).back(), (std::vector<int>{OPER_TYPE_DEL, STATUS_END, c.deleted ? 0 : 44}));
        EXPECT_EQ(exists("/data/UserData/" + c.name), !c.deleted);
    }
}

// A NUL would cut the name where the system reads it: every UI file
// operation refuses a path that holds one, as it refuses a path outside the
// roots, and nothing is written, listed or removed.
TEST_F(StorageManageTest, UiPathsWithANulAreRefused) {
    using namespace std::string_literals;
    writeFile(host("/data/UserData/data.csv"), "readings");
    writeFile(host("/data/UserData/keep/k"), "k");
    FilePathList sources;
    sources.add_filepath("/data/UserData/data.csv\0x"s);
    const std::string cut = "/data/UserData/data.csv\0.sta"s, keep = "/data/UserData/keep/\0"s;
    const struct {
        unsigned id;
        std::vector<std::pair<int, std::string>> args;
        int result;
        int end;  // the job's end report; -1: the operation sends none
    } cases[] = {
        {0x10000F00, {{0xF00, "/data/UserData/new\0x"s}}, 44, -1},
        {0x10000F01, {{0xF01, "keep/\0"s}}, 44, 44},
        {0x10000F01, {{0xF01, keep}}, 44, 44},
        {0x10000F03, {{0xF03, "/data/UserData\0/keep"s}}, 44, -1},
        {0x10000F04, {{0xF04, cut}}, 44, -1},
        {0x10000F06, {{0xF10, cut}, {0xF11, "/data/UserData/c"}}, 44, 44},
        {0x10000F06, {{0xF10, "/data/UserData/keep/k"}, {0xF11, cut}}, 44, 44},
        {0x10000F07, {{0xF10, sources.SerializeAsString()}, {0xF11, "/data/UserData/c"}}, 0, 44},
        {0x10000F08, {{0xF10, keep}, {0xF11, "/data/UserData/m"}}, 44, 44},
        {0x10000F09, {{0xF10, "/data/UserData/keep/k"}, {0xF11, "/data/UserData/r\0.csv"s}}, 44, 44},
        {0x10000F0A, {{0xF0C, cut}, {0xF0D, "state"}}, 44, 44},
        {0x10000F0B, {{0xF0C, cut}}, 44, 44},
        // Type 0: a state file, whose extension the cut name seems to have.
        {0x10000F12, {{0xF12, ""}, {0xF0C, cut}, {0xF0D, ""}}, 44, 44},
        {0x10000F13, {{0xF13, ""}, {0xF0C, cut}, {0xF0D, ""}}, 44, 44},
        {0x10000F14, {{0xF14, ""}, {0xF0C, keep}}, 44, -1},
        {0x20000F1E, {{0xF1E, ""}, {0xF0C, "/data/UserData\0/keep"s}}, 44, -1},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        ValueMap out;
        EXPECT_EQ(call(kUi, c.id, c.args, &out), c.result) << std::hex << c.id;
        EXPECT_TRUE(out.empty()) << std::hex << c.id;
        if (c.end >= 0) {
            count += 2;
            const auto seen = reports(count);
            ASSERT_EQ(seen.size(), count) << std::hex << c.id;
            EXPECT_EQ(seen.back()[2], c.end) << std::hex << c.id;
        }
    }
    // Remote control's paths are held to the same rule.
    EXPECT_EQ(call(kRemote, 0x10002403, {{0x2403, "\"INT:\\keep\\x\0.csv\""s}}), 44);
    EXPECT_EQ(testing_support::readFile(host("/data/UserData/data.csv")), "readings");
    EXPECT_EQ(testing_support::readFile(host("/data/UserData/keep/k")), "k");
    for (const char* made : {"/data/UserData/new", "/data/UserData/c", "/data/UserData/m", "/data/UserData/r",
                             "/data/UserData/keep/x", "/data/UserData/keep/x.sta"}) {
        EXPECT_FALSE(exists(made)) << made;
    }
}

// A state that remote control stores into a folder the UI is moving to the
// stick, once the copy has taken that folder, stays in internal memory; the
// UI is told the move did not complete.
TEST_F(StorageManageTest, AStateStoredIntoAFolderBeingMovedIsKept) {
    testing_support::FakeMedium medium(1ULL << 40);
    medium.crossDevice = true;
    writeFile(host("/data/UserData/s4/big"), "b");
    std::filesystem::create_directories(host("/mnt/media_rw/udiskh"));
    int stored = -1;
    SINGLETON_PTR(FileCore)->setBeforeSourceRemoval(
        [&] { stored = call(kRemote, 0x10002403, {{0x2403, "\"INT:\\s4\\saved_during_move\""}}); });
    EXPECT_EQ(call(kUi, 0x10000F08, {{0xF10, "/data/UserData/s4"}, {0xF11, "/mnt/media_rw/udiskh"}}), 0);
    const auto seen = reports(2);
    SINGLETON_PTR(FileCore)->setBeforeSourceRemoval(nullptr);
    EXPECT_EQ(stored, 0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen.back(), (std::vector<int>{OPER_TYPE_MOVE, STATUS_END, 44}));
    EXPECT_TRUE(exists("/data/UserData/s4/saved_during_move.sta"));
    EXPECT_FALSE(exists("/data/UserData/s4/big"));
    EXPECT_TRUE(exists("/mnt/media_rw/udiskh/s4/big"));
}

// A name up to the file-name limit is written whatever its length: the
// temporary filled first is named apart from it.
TEST_F(StorageManageTest, NamesUpToTheFileNameLimitAreWritten) {
    const std::string u = "/data/UserData/", state(242, 's'), prefs(251, 'p'), saved(245, 'a'), copy(255, 'c');
    const struct {
        unsigned source;
        unsigned id;
        std::vector<std::pair<int, std::string>> args;
        std::string made;
    } cases[] = {
        {kRemote, 0x10002403, {{0x2403, "\"" + state + "\""}}, u + state + ".sta"},
        {kRemote, 0x10002402, {{0x2402, "\"" + prefs + "\""}}, u + prefs + ".prf"},
        {kUi, 0x10000F0A, {{0xF0C, u + saved}, {0xF0D, "x"}}, u + saved},
        {kUi, 0x10000F06, {{0xF10, u + saved}, {0xF11, u + copy}}, u + copy},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(call(c.source, c.id, c.args), 0) << c.made.size();
        if (c.source == kUi) {
            count += 2;
            EXPECT_EQ(reports(count).back(), (std::vector<int>{c.id == 0x10000F0A ? OPER_TYPE_SAVE : OPER_TYPE_COPY, STATUS_END, 0}));
        }
        EXPECT_TRUE(exists(c.made)) << c.made.size();
    }
}

TEST_F(StorageManageTest, CancelStopsALargeCopyAndLeavesNoTarget) {
    const std::string big = host("/data/UserData/big.bin");
    { std::ofstream(big).close(); }
    std::filesystem::resize_file(big, 256u << 20);
    // The copy is written under a temporary name beside its target.
    const auto copying = [this] {
        for (const auto& entry : std::filesystem::directory_iterator(host("/data/UserData"))) {
            if (entry.path().filename().string().rfind(".~dmm-temp.", 0) == 0) {
                return true;
            }
        }
        return false;
    };
    EXPECT_EQ(call(kUi, 0x10000F06, {{0xF10, "/data/UserData/big.bin"}, {0xF11, "/data/UserData/copy.bin"}}), 0);
    // Cancelled while the job writes.
    for (int i = 0; i < 5000 && !copying(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(copying());
    EXPECT_EQ(cancel(OPER_TYPE_COPY), 0);
    auto seen = reports(3);
    ASSERT_EQ(seen.size(), 3u);
    std::sort(seen.begin() + 1, seen.end());
    EXPECT_EQ(seen, (std::vector<std::vector<int>>{{0, STATUS_START, 0}, {0, STATUS_END, 0}, {0, STATUS_END, 44}}));
    EXPECT_FALSE(copying());
    EXPECT_FALSE(exists("/data/UserData/copy.bin"));

    const std::pair<int, int> idle[] = {{OPER_TYPE_COPY, 44}, {OPER_TYPE_DEL, 44}, {OPER_TYPE_SAVE, 0}, {7, 0}};
    for (const auto& c : idle) {
        EXPECT_EQ(cancel(c.first), c.second) << c.first;
        EXPECT_EQ(reports(seen.size() + 1).back(), (std::vector<int>{c.first, STATUS_END, c.second}));
        seen.push_back({});
    }
}

} // namespace
