// The boot counter: raised on every start, the fourth unacknowledged start
// deletes the settings mirror and starts the count again at 1.
#include "bootCheck.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "StorageCore.h"
#include "log_capture.h"
#include "properties.h"
#include "temp_root.h"

using mainservice_test::LogCapture;
using testing_support::TempRoot;

namespace {

bool exists(const std::string& host) {
    struct stat st;
    return ::stat(host.c_str(), &st) == 0;
}

class BootCheck : public ::testing::Test {
protected:
    std::string mirror() const { return root.host(StorageCore::kMirrorPath); }
    std::string count() const { return platform::propertyGet(kBootFlagProperty); }

    TempRoot root;
    LogCapture log;
};

} // namespace

TEST_F(BootCheck, UnsetCounterCountsAsZeroAndBecomesOne) {
    bootCheck();
    EXPECT_EQ(count(), "1");
    EXPECT_EQ(log.matching("boot count = 0").size(), 1u);
}

TEST_F(BootCheck, ThirdStartKeepsTheMirror) {
    testing_support::writeFile(mirror(), "mProtoSysInfo { mLanguage: 1 }\n");
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, "3"));
    bootCheck();
    EXPECT_EQ(count(), "4");
    EXPECT_TRUE(exists(mirror()));
    EXPECT_TRUE(log.matching("remove ").empty());
}

TEST_F(BootCheck, FourthStartRemovesTheMirrorAndRestartsTheCount) {
    testing_support::writeFile(mirror(), "mProtoSysInfo { mLanguage: 1 }\n");
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, "4"));
    bootCheck();
    EXPECT_EQ(count(), "1");
    EXPECT_FALSE(exists(mirror()));
    auto removed = log.matching("remove /vorna/data/mirrorconfig.xmir");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].level, toolkit::LError);
}

TEST_F(BootCheck, CountsAboveTheLimitAndAMissingMirrorAlsoRestart) {
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, "9"));
    bootCheck();
    EXPECT_EQ(count(), "1");
    // Nothing to remove is no failure worth a second line.
    EXPECT_TRUE(log.matching("unlink").empty());
}

TEST_F(BootCheck, TextThatIsNoNumberCountsAsZero) {
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, "garbage"));
    bootCheck();
    EXPECT_EQ(count(), "1");
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, "-3"));
    bootCheck();
    EXPECT_EQ(count(), "1");
}

TEST_F(BootCheck, AHugeCountStillReachesTheLimit) {
    // Read whole, never cut into a fixed buffer, and never wrapped negative.
    testing_support::writeFile(mirror(), "x");
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, std::string(3000, '7')));
    bootCheck();
    EXPECT_EQ(count(), "1");
    EXPECT_FALSE(exists(mirror()));
}

TEST_F(BootCheck, OnlyTheMirrorGoes) {
    std::string sibling = root.host("/vorna/data/productconfig.ini");
    testing_support::writeFile(sibling, "[PRODUCT]\nMODEL=8458\n");
    testing_support::writeFile(mirror(), "x");
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, "4"));
    bootCheck();
    EXPECT_FALSE(exists(mirror()));
    EXPECT_TRUE(exists(sibling));
}
