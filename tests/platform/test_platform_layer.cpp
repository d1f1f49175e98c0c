#include "console_log.h"
#include "properties.h"
#include "root_path.h"
#include "temp_root.h"

#include <gtest/gtest.h>

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

TEST(Properties, NamesThatCouldLeaveTheStoreAreRefused) {
    TempRoot root;
    for (const char* bad : {"", "../escape", "a/b", "..", "a..b", ".hidden", "x;rm -rf", "sp ace"}) {
        EXPECT_FALSE(platform::propertyNameValid(bad)) << bad;
        EXPECT_FALSE(platform::propertySet(bad, "1")) << bad;
        EXPECT_EQ(platform::propertyGet(bad), "") << bad;
    }
    EXPECT_TRUE(platform::propertyNameValid("ro.vorna.system.version"));
}

TEST(ConsoleLog, WritesPriorityTagAndTextToStandardError) {
    testing::internal::CaptureStderr();
    platform::consoleWrite(platform::CONSOLE_WARN, "JNI", "main hello");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "W/JNI: main hello\n");
}
