// The system manager's settings handlers: ranges, remote and UI answers,
// update packages and the web password reset.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "CThreadPool.h"
#include "SystemSetup.h"
#include "WebPassword.h"
#include "../../platform/eventually.h"
#include "properties.h"
#include "system_handlers.h"
#include "temp_root.h"

using namespace testing_support;

namespace {

SystemSetup& setup() { return *Copperwren::Singleton<SystemSetup>::Instance(); }

constexpr unsigned int kRemote = 2;

} // namespace

TEST(SystemHandlers, BrightnessRangeAndLatestValueWins) {
    TempRoot root;
    struct Case {
        Value value;
        int result;
    } cases[] = {{s32(100), 0}, {s32(101), 56}, {s32(-1), 56}, {str("50"), 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(callSystem(0x10001200, 0, request(0x1200, c.value)), c.result) << c.value.DebugString();
    }
    EXPECT_EQ(callSystem(0x10001200, 0, {}), 8);
    // A burst of requests ends at the last level, whatever order the pool runs them in.
    for (int level = 1; level <= 40; ++level) {
        callSystem(0x10001200, 0, request(0x1200, s32(level)));
    }
    EXPECT_TRUE(eventually([] { return setup().API_GetBrightness() == 40; }));
    EXPECT_EQ(querySystem(0x20001201).s32val(), 40);
}

TEST(SystemHandlers, LanguageAsWordRemotelyAndNumberToTheUi) {
    TempRoot root;
    EXPECT_EQ(callSystem(0x10001222, 0, request(0x1222, s32(1))), 0);
    EXPECT_EQ(querySystem(0x20001223, kRemote).strval(), "CHIN");
    EXPECT_EQ(querySystem(0x20001223, 0).s32val(), 1);
    EXPECT_EQ(callSystem(0x10001222, kRemote, request(0x1222, s32(13))), 0);
    EXPECT_EQ(querySystem(0x20001223, kRemote).strval(), "VIET");
    EXPECT_EQ(callSystem(0x10001222, 0, request(0x1222, s32(14))), 56);
    EXPECT_EQ(setup().API_GetLanguage(), 13);
}

TEST(SystemHandlers, SwitchesReadBackAndLastLoadFromTheUiClearsTheName) {
    TempRoot root;
    const unsigned int pairs[][2] = {{0x10001224, 0x20001225}, {0x10001226, 0x20001227},
                                     {0x10001228, 0x20001229}, {0x1000122a, 0x2000122b}};
    for (auto& p : pairs) {
        for (bool on : {true, false}) {
            EXPECT_EQ(callSystem(p[0], 0, request(p[0] & 0xFFFF, bval(on))), 0);
            EXPECT_EQ(querySystem(p[1]).bval(), on) << std::hex << p[0];
        }
        EXPECT_EQ(callSystem(p[0], 0, {}), 8);
    }
    setup().API_SetLoadName("a.prf");
    callSystem(0x10001224, kRemote, request(0x1224, bval(true)));
    EXPECT_EQ(setup().API_GetLoadName(), "a.prf");
    callSystem(0x10001224, 0, request(0x1224, bval(true)));
    EXPECT_EQ(setup().API_GetLoadName(), "");
}

TEST(SystemHandlers, UpdatePackage) {
    TempRoot root;
    writeFile(root.host("/data/UserData/fw.GEL"), "g");
    writeFile(root.host("/data/UserData/fw.gel"), "g");
    writeFile(root.host("/data/UserData/os.zip"), "z");
    const std::string odd = "/data/UserData/$(touch x).GEL";
    writeFile(root.host(odd), "g");
    writeFile(root.host("/vorna/data/mirrorconfig.xmir"), "m");
    struct Case {
        std::string path;
        int result;
    } cases[] = {{"/data/UserData/fw.gel", 75}, {"/data/UserData/os.zip", 75}, {"/data/UserData/none.GEL", 74},
                 {"/data/UserData/fw.txt", 75}, {odd, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(callSystem(0x10001236, 0, request(0x1236, str(c.path))), c.result) << c.path;
    }
    EXPECT_TRUE(eventually([] { return platform::propertyGet("sys.vorna.gel_path") != ""; }));
    EXPECT_EQ(platform::propertyGet("sys.vorna.gel_path"), odd);
    EXPECT_TRUE(eventually([&] {
        struct stat st;
        return stat(root.host("/vorna/data/mirrorconfig.xmir").c_str(), &st) != 0;
    }));
    EXPECT_EQ(callSystem(0x10001236, 0, {}), 8);
    const unsigned long long mib = 1ull << 20;
    EXPECT_FALSE(CSystemManage::UpdateSpaceEnough(200 * mib - 1));
    EXPECT_TRUE(CSystemManage::UpdateSpaceEnough(200 * mib));
}

TEST(SystemHandlers, PasswordResetEditsOnlyTheTokenLine) {
    TempRoot root;
    const std::string path = root.host(WebPassword::kPrefsPath);
    const std::string before =
        "<?xml version='1.0'?>\n<map>\n"
        "    <string name=\"user\">admin</string>\n"
        "    <string name=\"http_authorization_basic\">c2VjcmV0</string>\n"
        "    <string name=\"http_authorization_basic_x\">keep</string>\n</map>";
    writeFile(path, before);
    chmod(path.c_str(), 0640);
    EXPECT_EQ(callSystem(0x10001240, kRemote, {}), 0);
    std::string expected = before;
    expected.replace(expected.find("c2VjcmV0"), 8, "Xb7QpLm2Rt9vWc4=");
    EXPECT_EQ(readFile(path), expected);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // Greedy to the last closing tag, as a stream editor matches.
    EXPECT_EQ(WebPassword::ResetLine("<string name=\"http_authorization_basic\">a</string><b></string>"),
              "<string name=\"http_authorization_basic\">Xb7QpLm2Rt9vWc4=</string>");
    EXPECT_EQ(WebPassword::ResetLine("<string name=\"http_authorization_basic\">open"),
              "<string name=\"http_authorization_basic\">open");
}
