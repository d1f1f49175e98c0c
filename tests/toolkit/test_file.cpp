#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "Util/File.h"
#include "temp_root.h"
#include "warning_capture.h"

using namespace toolkit;
using testing_support::TempRoot;
using testing_support::writeFile;

namespace {

bool isDir(const std::string& host) {
    struct stat st;
    return lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& host) {
    struct stat st;
    return lstat(host.c_str(), &st) == 0;
}

using Visit = std::pair<std::string, bool>;

std::vector<Visit> scanAll(const std::string& path, bool recursive) {
    std::vector<Visit> visits;
    File::scanDir(path, [&](const std::string& entry, bool is_dir) {
        visits.emplace_back(entry, is_dir);
        return true;
    }, recursive);
    return visits;
}

} // namespace

TEST(FilePath, CreatePathMakesTheDirectoriesButNotTheFile) {
    TempRoot root;
    ASSERT_TRUE(File::create_path("/data/a/b/file.txt", 0755));
    EXPECT_TRUE(isDir(root.host("/data/a")));
    EXPECT_TRUE(isDir(root.host("/data/a/b")));
    EXPECT_FALSE(exists(root.host("/data/a/b/file.txt")));
    // Existing prefixes are fine; a trailing '/' makes the last one a directory.
    ASSERT_TRUE(File::create_path("/data/a/b/c/", 0755));
    EXPECT_TRUE(isDir(root.host("/data/a/b/c")));
}

TEST(FilePath, CreatePathReportsAFileInTheWay) {
    TempRoot root;
    writeFile(root.host("/data/plain"), "x");
    testing_support::ScopedWarningCapture capture;
    EXPECT_FALSE(File::create_path("/data/plain/sub/log.txt", 0755));
    ASSERT_TRUE(capture->waitFor(1));
    EXPECT_EQ("mkdir /data/plain/ failed: not a directory", capture->texts().at(0));
}

TEST(FilePath, FileExist) {
    TempRoot root;
    writeFile(root.host("/data/present"), "x");
    EXPECT_TRUE(File::fileExist("/data/present"));
    EXPECT_FALSE(File::fileExist("/data/absent"));
    EXPECT_FALSE(File::fileExist(nullptr));
}

TEST(FileDelete, TreeWithLinksLeavesTheLinkTargetsAlone) {
    TempRoot root;
    writeFile(root.host("/outside/keep.txt"), "keep");
    writeFile(root.host("/data/tree/a.txt"), "a");
    writeFile(root.host("/data/tree/sub/b.txt"), "b");
    ASSERT_EQ(0, symlink(root.host("/outside").c_str(), root.host("/data/tree/sub/dirlink").c_str()));
    ASSERT_EQ(0, symlink(root.host("/outside/keep.txt").c_str(), root.host("/data/tree/filelink").c_str()));
    ASSERT_EQ(0, symlink(root.host("/nowhere").c_str(), root.host("/data/tree/dangling").c_str()));

    EXPECT_EQ(0, File::delete_file("/data/tree"));
    EXPECT_FALSE(exists(root.host("/data/tree")));
    EXPECT_TRUE(isDir(root.host("/outside")));
    EXPECT_EQ("keep", testing_support::readFile(root.host("/outside/keep.txt")));
}

TEST(FileDelete, LinkToADirectoryIsUnlinkedItself) {
    TempRoot root;
    writeFile(root.host("/outside/keep.txt"), "keep");
    writeFile(root.host("/data/placeholder"), "");
    ASSERT_EQ(0, symlink(root.host("/outside").c_str(), root.host("/data/link").c_str()));
    EXPECT_EQ(0, File::delete_file("/data/link"));
    EXPECT_FALSE(exists(root.host("/data/link")));
    EXPECT_TRUE(exists(root.host("/outside/keep.txt")));
}

TEST(FileDelete, SingleFileAndMissingPath) {
    TempRoot root;
    writeFile(root.host("/data/one.txt"), "1");
    EXPECT_EQ(0, File::delete_file("/data/one.txt"));
    EXPECT_FALSE(exists(root.host("/data/one.txt")));
    EXPECT_EQ(-1, File::delete_file("/data/one.txt"));
    EXPECT_EQ(-1, File::delete_file(""));
}

TEST(FileScan, SkipsDotNamesAndRecursesDepthFirst) {
    TempRoot root;
    writeFile(root.host("/data/s/.hidden"), "");
    writeFile(root.host("/data/s/a.txt"), "");
    writeFile(root.host("/data/s/z.txt"), "");
    writeFile(root.host("/data/s/d/x.txt"), "");
    writeFile(root.host("/data/s/d/.h2/inner.txt"), "");
    writeFile(root.host("/data/s/d/e/y.txt"), "");

    std::vector<Visit> visits = scanAll("/data/s/", true);
    std::vector<Visit> sorted = visits;
    std::sort(sorted.begin(), sorted.end());
    std::vector<Visit> expected = {{"/data/s/a.txt", false}, {"/data/s/d", true},
                                   {"/data/s/d/e", true},    {"/data/s/d/e/y.txt", false},
                                   {"/data/s/d/x.txt", false}, {"/data/s/z.txt", false}};
    EXPECT_EQ(expected, sorted);

    // Depth first: a directory's whole subtree directly follows the directory.
    for (size_t i = 0; i < visits.size(); ++i) {
        if (!visits[i].second) {
            continue;
        }
        const std::string prefix = visits[i].first + "/";
        size_t j = i + 1;
        while (j < visits.size() && visits[j].first.compare(0, prefix.size(), prefix) == 0) {
            ++j;
        }
        for (size_t k = j; k < visits.size(); ++k) {
            EXPECT_NE(0, visits[k].first.compare(0, prefix.size(), prefix)) << visits[k].first;
        }
    }

    std::vector<Visit> top = scanAll("/data/s", false);
    EXPECT_EQ(3u, top.size());
}

TEST(FileScan, StopsWhenTheCallbackSaysSo) {
    TempRoot root;
    writeFile(root.host("/data/s/a/1.txt"), "");
    writeFile(root.host("/data/s/b/2.txt"), "");
    writeFile(root.host("/data/s/c/3.txt"), "");
    int calls = 0;
    File::scanDir("/data/s", [&](const std::string&, bool) { return ++calls < 1; }, true);
    EXPECT_EQ(1, calls);

    // A stop inside a subdirectory ends the whole scan, not just that level.
    calls = 0;
    File::scanDir("/data/s", [&](const std::string&, bool is_dir) {
        ++calls;
        return is_dir;
    }, true);
    EXPECT_EQ(2, calls);
}

TEST(FileScan, DoesNotFollowALinkCycle) {
    TempRoot root;
    writeFile(root.host("/data/s/d/x.txt"), "");
    ASSERT_EQ(0, symlink(root.host("/data/s").c_str(), root.host("/data/s/d/loop").c_str()));
    std::vector<Visit> visits = scanAll("/data/s", true);
    std::sort(visits.begin(), visits.end());
    std::vector<Visit> expected = {{"/data/s/d", true}, {"/data/s/d/loop", false}, {"/data/s/d/x.txt", false}};
    EXPECT_EQ(expected, visits);
}

TEST(FileScan, MissingDirectoryDoesNothing) {
    TempRoot root;
    EXPECT_TRUE(scanAll("/data/none", true).empty());
}
