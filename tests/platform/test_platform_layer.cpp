#include "bounded_file.h"
#include "properties.h"
#include "root_path.h"
#include "temp_root.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using testing_support::TempRoot;

TEST(RootPath, PrefixesAbsolutePathsWithTheDataRootOrNothing) {
    TempRoot root;
    EXPECT_EQ(platform::hostPath("/data/logs"), root.path() + "/data/logs");
    EXPECT_EQ(platform::hostPath("relative/file"), "relative/file");
    EXPECT_EQ(platform::hostPath(""), "");
    ::setenv("DMM_ROOT", (root.path() + "///").c_str(), 1);
    EXPECT_EQ(platform::hostPath("/dev/spidev3.0"), root.path() + "/dev/spidev3.0");
    ::unsetenv("DMM_ROOT");
    EXPECT_EQ(platform::dataRoot(), "/");
    EXPECT_EQ(platform::hostPath("/vorna/data/x"), "/vorna/data/x");
}

// Whole files are read only when regular and within their bound; nothing
// under the name holds the reader. A refused one is told from a missing one.
TEST(BoundedFile, ReadsRegularFilesWithinTheBoundAndRefusesTheRest) {
    TempRoot root;
    const std::string dir = root.path();
    testing_support::writeFile(dir + "/eight", "12345678");
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", (dir + "/zero").c_str()), 0);
    ASSERT_EQ(::mkdir((dir + "/folder").c_str(), 0700), 0);
    const struct { const char* name; long long bound; platform::FileRead result; const char* text; } cases[] = {
        {"eight", 8, platform::FileRead::Ok, "12345678"},
        {"eight", 7, platform::FileRead::Refused, "larger than 7 bytes"},
        {"missing", 8, platform::FileRead::Missing, "No such file or directory"},
        {"fifo", 8, platform::FileRead::Refused, "not a regular file"},
        {"zero", 8, platform::FileRead::Refused, "not a regular file"},
        {"folder", 8, platform::FileRead::Refused, "not a regular file"},
    };
    for (const auto& c : cases) {
        std::string out, why;
        EXPECT_EQ(platform::readBoundedFile(dir + "/" + c.name, c.bound, out, &why), c.result) << c.name;
        EXPECT_EQ(c.result == platform::FileRead::Ok ? out : why, c.text) << c.name;
    }
    // Sizes are not trusted: a regular file that reports none is still bounded.
    std::string out, why;
    EXPECT_EQ(platform::readBoundedFile("/proc/self/status", 16, out, &why), platform::FileRead::Refused);
    EXPECT_EQ(why, "larger than 16 bytes");
}

TEST(Properties, SetThenGetRoundTripsUnsetReadsEmptyAndATrailingNewlineIsNoPartOfTheValue) {
    TempRoot root;
    const std::string name = "sys.vorna.copperwren.boot_flag";
    EXPECT_EQ(platform::propertyGet(name), "");
    ASSERT_TRUE(platform::propertySet(name, "3"));
    EXPECT_EQ(platform::propertyGet(name), "3");
    ASSERT_TRUE(platform::propertySet(name, "0"));
    EXPECT_EQ(testing_support::readFile(root.host("/properties/" + name)), "0");
    testing_support::writeFile(root.host("/properties/ro.vorna.system.version"), "1.2.3\n");
    EXPECT_EQ(platform::propertyGet("ro.vorna.system.version"), "1.2.3");
}

// A property whose name is another's plus ".tmp" is a property of its own, and
// writers of one property never share a temporary file.
TEST(Properties, WritersNeverClobberEachOtherOrANeighbour) {
    TempRoot root;
    ASSERT_TRUE(platform::propertySet("a.tmp", "neighbour"));
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t, &failures] {
            for (int i = 0; i < 50; ++i) {
                if (!platform::propertySet("a", std::string(10 + t, static_cast<char>('w' + t)))) {
                    ++failures;
                }
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(platform::propertyGet("a.tmp"), "neighbour");
    const std::string value = platform::propertyGet("a");
    ASSERT_GE(value.size(), 10u);
    EXPECT_EQ(value, std::string(value.size(), value[0])); // one writer's whole text
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root.host("/properties"))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2u); // no temporary file left behind
}

TEST(Properties, NamesThatCouldLeaveTheStoreAreRefused) {
    TempRoot root;
    for (const char* bad : {"", "../escape", "a/b", "..", "a..b", ".hidden", "x;rm -rf", "sp ace"}) {
        EXPECT_FALSE(platform::propertyNameValid(bad)) << bad;
        EXPECT_FALSE(platform::propertySet(bad, "1")) << bad;
        EXPECT_EQ(platform::propertyGet(bad), "") << bad;
    }
    EXPECT_TRUE(platform::propertyNameValid("ro.vorna.system.version"));
}
