// The boot counter: raised on every start, the fourth unacknowledged start
// deletes the settings mirror and starts the count again at 1.
#include "bootCheck.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "StorageCore.h"
#include "../toolkit/log_records.h"
#include "properties.h"
#include "temp_root.h"

using testing_support::LogCapture;
using testing_support::TempRoot;

TEST(BootCheck, CountsStartsAndRemovesOnlyTheMirrorFromTheFourthOn) {
    const std::string huge(3000, '7');
    const struct {
        const char* stored;  // null: the property is unset
        const char* after;
        bool removed;
    } cases[] = {
        {nullptr, "1", false}, {"3", "4", false}, {"4", "1", true}, {"9", "1", true},
        // Text that is no number counts as zero; a huge count is read whole,
        // never cut into a fixed buffer nor wrapped negative.
        {"garbage", "1", false}, {"-3", "1", false}, {"", "1", false}, {huge.c_str(), "1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "unset");
        TempRoot root;
        LogCapture log;
        const std::string mirror = root.host(StorageCore::kMirrorPath);
        const std::string sibling = root.host("/vorna/data/productconfig.ini");
        testing_support::writeFile(mirror, "mProtoSysInfo { mLanguage: 1 }\n");
        testing_support::writeFile(sibling, "[PRODUCT]\nMODEL=8458\n");
        if (c.stored != nullptr) {
            ASSERT_TRUE(platform::propertySet(kBootFlagProperty, c.stored));
        }
        bootCheck();
        EXPECT_EQ(platform::propertyGet(kBootFlagProperty), c.after);
        EXPECT_EQ(std::filesystem::exists(mirror), !c.removed);
        EXPECT_TRUE(std::filesystem::exists(sibling));
        auto removed = log.matching("remove /vorna/data/mirrorconfig.xmir");
        ASSERT_EQ(removed.size(), c.removed ? 1u : 0u);
        if (c.removed) {
            EXPECT_EQ(removed[0]->_level, toolkit::LError);
        }
        if (c.stored == nullptr) {
            EXPECT_EQ(log.matching("boot count = 0").size(), 1u);
        }
    }
    // Nothing to remove is no failure worth a second line.
    TempRoot root;
    LogCapture log;
    ASSERT_TRUE(platform::propertySet(kBootFlagProperty, "4"));
    bootCheck();
    EXPECT_EQ(platform::propertyGet(kBootFlagProperty), "1");
    EXPECT_TRUE(log.matching("unlink").empty());
}
