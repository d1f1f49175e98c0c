// Screen copy: the format, the tool's arguments, failures, and the whole
// image returned.
#include "HCopy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "Singelton.h"
#include "SystemSetup.h"
#include "command_runner.h"
#include "proto_values.h"
#include "temp_root.h"
#include "slow.h"

using namespace testing_support;
using ValueMap = google::protobuf::Map<int, Value>;

namespace {

class HCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        HCopy::instance()->getCallbacks(entries);
        platform::clearCommandHistory();
        HCopy::instance()->setTimeout(std::chrono::seconds(10));
        call(0x10002201, request(0x2201, s32(0)));
    }
    void TearDown() override { platform::setCommandRunner(nullptr); }

    int call(unsigned int id, const ValueMap& in, ValueMap* out = nullptr) {
        ValueMap reply;
        int rc = entries.at(id)(2, in, &reply);
        if (out != nullptr) {
            *out = reply;
        }
        return rc;
    }

    // The tool stand-in: a shell script writing `bytes` bytes and exiting
    // with `status`, after `sleep` seconds.
    void installTool(size_t bytes, int status, int sleep = 0) {
        writeFile(root.host(HCopy::kTool), "#!/bin/sh\nsleep " + std::to_string(sleep) + "\nhead -c " +
                                               std::to_string(bytes) + " /dev/zero > \"$2\"\nexit " +
                                               std::to_string(status) + "\n");
        chmod(root.host(HCopy::kTool).c_str(), 0755);
        writeFile(root.host("/mnt/tmp/.keep"), "");
    }

    TempRoot root;
    std::map<unsigned int, cb_func> entries;
};

} // namespace

TEST_F(HCopyTest, FormatSelectsTheToolOption) {
    installTool(10, 0);
    const struct {
        Value value;
        int result;
        const char* name;
        const char* option;
    } cases[] = {{s32(1), 0, "BMP", "-b"}, {s32(2), 0, "JPG", "-j"}, {s32(3), 55, "JPG", "-j"},
                 {bval(true), 0, "PNG", "-p"}, {str("BMP"), 0, "PNG", "-p"}};
    for (const auto& c : cases) {
        EXPECT_EQ(call(0x10002201, request(0x2201, c.value)), c.result);
        ValueMap out;
        EXPECT_EQ(call(0x20002201, {}, &out), 0);
        EXPECT_EQ(out.at(0x2201).strval(), c.name);
        EXPECT_EQ(call(0x20002200, {}), 0);
        ASSERT_FALSE(platform::commandHistory().empty());
        const auto argv = platform::commandHistory().back();
        ASSERT_EQ(argv.size(), 3u);
        EXPECT_EQ(argv[0], root.host(HCopy::kTool));
        EXPECT_EQ(argv[1], c.option);
        EXPECT_EQ(argv[2], root.host(HCopy::kImage));
    }
    EXPECT_EQ(call(0x10002201, {}), 8);
}

TEST_F(HCopyTest, CaptureReturnsTheWholeImageOrFails) {
    const struct {
        size_t bytes;
        int status;
        int result;
    } cases[] = {{4u << 20, 0, 0}, {1, 0, 0}, {100, 1, 44}, {0, 0, 44}};
    for (const auto& c : cases) {
        installTool(c.bytes, c.status);
        ValueMap out;
        EXPECT_EQ(call(0x20002200, {}, &out), c.result) << c.bytes << " " << c.status;
        EXPECT_EQ(out.count(0x2200), c.result == 0 ? 1u : 0u);
        if (c.result == 0) {
            EXPECT_EQ(out.at(0x2200).rawval().size(), c.bytes);
        }
    }
}

TEST_F(HCopyTest, StaleImageIsNeverReturnedAndAHangingToolIsKilled) {
    installTool(100, 0);
    ASSERT_EQ(call(0x20002200, {}), 0);
    // The tool now fails without writing: the last image stays unread.
    platform::setCommandRunner([](const platform::CommandRequest&) {
        platform::CommandResult r;
        r.started = true;
        r.status = 0;
        return r;
    });
    EXPECT_EQ(call(0x20002200, {}), 44);
    platform::setCommandRunner(nullptr);

    installTool(100, 0, 30);
    HCopy::instance()->setTimeout(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(0x20002200, {}), 44);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5) * testing_support::kSlow);
}

// Captures beside identity setters and readers on other threads: each gets
// the whole image and a consistent identity.
TEST_F(HCopyTest, CapturesSettersAndPollersRunSideBySide) {
    installTool(5000, 0);
    SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                setup->API_SetSerialNum("MV4" + std::to_string(t * 100 + i));
                setup->API_SetLanguage(i % 14);
                ProtoSystemInfo info;
                setup->ProtoSystemInfoGet(info);
                EXPECT_EQ(setup->API_GetIdentity().rfind("MV412E,MV4", 0), 0u);
                ValueMap out;
                EXPECT_EQ(entries.at(0x20002200)(t % 2 ? 0 : 2, {}, &out), 0);
                EXPECT_EQ(out[0x2200].rawval().size(), 5000u);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
}
