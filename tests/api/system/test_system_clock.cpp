// The clock kept through an offset, the time texts by parts, and the reboot
// count.
#include <gtest/gtest.h>

#include <ctime>

#include "SystemSetup.h"
#include "system_handlers.h"
#include "temp_root.h"
#include "ui_notifications.h"

using namespace testing_support;

namespace {

SystemSetup& setup() { return *Copperwren::Singleton<SystemSetup>::Instance(); }

// The parts in one request under consecutive keys.
ValueMap parts(int first, const char* a, const char* b, const char* c) {
    ValueMap in;
    in[first] = str(a);
    in[first + 1] = str(b);
    in[first + 2] = str(c);
    return in;
}

} // namespace

TEST(SystemClock, TimeTextsAreParsedStrictly) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {{"2024-03-05 14:07:09", true}, {"2025-1-9 8:5:3", true},     {"2024-02-29 00:00:00", true},
                 {"2023-02-29 00:00:00", false}, {"2024-13-01 00:00:00", false}, {"2024-04-31 00:00:00", false},
                 {"2024-03-05 24:00:00", false}, {"2024-03-05 14:07", false},    {"2024-03-05 14:07:09x", false},
                 {"garbage", false},             {"", false},                    {"2024-03-05  14:07:09", false}};
    for (const auto& c : cases) {
        time_t stamp = 0;
        EXPECT_EQ(SystemSetup::ParseTimeText(c.text, stamp), c.valid) << c.text;
    }
}

TEST(SystemClock, SetTimeAnswersWhatWasSetAndAnnouncesOnlyValidTexts) {
    TempRoot root;
    UiNotifications notes;
    const time_t hostBefore = std::time(nullptr);
    EXPECT_EQ(setup().API_SetSystemTime("2024-13-01 00:00:00"), 56);
    EXPECT_EQ(callSystem(0x1000122f, 0, request(0x122f, str("2024-03-05 14:07:09"))), 0);
    // The first announcement is the valid text: the refused one never went out.
    auto packs = notes.waitFor({ON_SYSTEM_TIME_CHANGED});
    ASSERT_EQ(packs.size(), 1u);
    EXPECT_EQ(packs[0].data().at(ON_SYSTEM_TIME_CHANGED).strval(), "2024-03-05 14:07:09");
    const std::string now = querySystem(0x20001230).strval();
    EXPECT_EQ(now.substr(0, 17), "2024-03-05 14:07:");
    // The host's clock is not touched.
    EXPECT_LE(std::abs(std::time(nullptr) - hostBefore), 5);
}

TEST(SystemClock, DateAndTimeByParts) {
    TempRoot root;
    ASSERT_EQ(setup().API_SetSystemTime("2024-03-05 08:05:03"), 0);
    EXPECT_EQ(querySystem(0x2000123b).strval().substr(0, 6), "08,05,");
    EXPECT_EQ(querySystem(0x20001237).strval(), "+2024,+03,+05");

    EXPECT_EQ(callSystem(0x10001237, 2, parts(0x1238, "2025", "1", "9")), 0);
    EXPECT_EQ(querySystem(0x20001237).strval(), "+2025,+01,+09");
    EXPECT_EQ(callSystem(0x1000123b, 2, parts(0x123C, "23", "59", "58")), 0);
    EXPECT_EQ(querySystem(0x2000123b).strval().substr(0, 6), "23,59,");
    EXPECT_EQ(querySystem(0x20001237).strval(), "+2025,+01,+09");

    const struct {
        unsigned int id;
        ValueMap in;
        int result;
    } refused[] = {{0x10001237, parts(0x1238, "2025", "13", "9"), 56},
                   {0x10001237, parts(0x1238, "2025", "x", "9"), 56},
                   {0x1000123b, parts(0x123C, "24", "00", "00"), 56},
                   {0x1000123b, request(0x123C, str("1")), 8},
                   {0x10001237, {}, 8}};
    for (const auto& c : refused) {
        EXPECT_EQ(callSystem(c.id, 2, c.in), c.result) << std::hex << c.id;
    }
    EXPECT_EQ(querySystem(0x20001237).strval(), "+2025,+01,+09");
}

TEST(SystemClock, RebootCountFromTheBootRecord) {
    TempRoot root;
    const struct {
        const char* content;  // null: no file
        int result;
        int count;
    } cases[] = {{nullptr, 44, 0}, {"17", 0, 17}, {"12\n", 0, 12}, {"abc", 44, 0}, {"", 44, 0}};
    for (const auto& c : cases) {
        std::remove(root.host(SystemSetup::kBootRecordPath).c_str());
        if (c.content != nullptr) {
            writeFile(root.host(SystemSetup::kBootRecordPath), c.content);
        }
        ValueMap out;
        EXPECT_EQ(callSystem(0x20001231, 0, {}, &out), c.result) << (c.content ? c.content : "none");
        EXPECT_EQ(out.count(0x1231), c.result == 0 ? 1u : 0u);
        if (c.result == 0) {
            EXPECT_EQ(out.at(0x1231).s32val(), c.count);
        }
    }
}
