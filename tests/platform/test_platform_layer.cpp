#include "properties.h"
#include "root_path.h"
#include "temp_root.h"

#include <gtest/gtest.h>

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
