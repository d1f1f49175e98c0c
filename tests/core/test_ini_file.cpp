#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <climits>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "IniFile.h"
#include "temp_root.h"

namespace fs = std::filesystem;
using Copperwren::IniFile;
using testing_support::readFile;
using testing_support::TempRoot;
using testing_support::writeFile;

namespace {

const char* const kPath = "/vorna/data/productconfig.ini";

struct ParseCase {
    const char* text;
    bool opened;
    std::vector<std::array<const char*, 3>> lookups;  // section, key, value (null: missing)
};

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

} // namespace

TEST(IniFile, ParsesLinesAsTheReaderRulesSay) {
    const std::vector<ParseCase> cases = {
        {"[Info]\nName = abc\n; note\nOther=xyz\n", true,
         {{"Info", "Name", "abc"}, {"Info", "Other", "xyz"}, {"Info", "; note", nullptr}}},
        {"[S]\nname = abc # note", true, {{"S", "name", "abc"}}},
        {"[S]\nname =  abc  # note", true, {{"S", "name", "abc"}}},
        {"[S]\nname = abc// x", true, {{"S", "name", "abc// x"}}},
        {"[S]\nname = a // b # c", true, {{"S", "name", "a // b"}}},
        {"[S]\nname = # x", true, {{"S", "name", "# x"}}},
        {"[S]\nurl = x://y\ntag = a#b\ntab = v\t// c", true,
         {{"S", "url", "x://y"}, {"S", "tag", "a#b"}, {"S", "tab", "v"}}},
        {"  \n  [ Main ]  trailing\nk = v", true, {{" Main ", "k", "v"}, {"Main", "k", nullptr}}},
        {"early = 1\n[S]\nx=1", true, {{"S", "x", "1"}, {"", "early", nullptr}, {nullptr, "early", nullptr}}},
        {"[S]\na = b = c", true, {{"S", "a", "b = c"}}},
        {"[S]\n\tname\t=\t v \t\n", true, {{"S", "name", "v"}}},
        {"[S]\nnovalue\n = v\nempty =   \n  ;k=v", true,
         {{"S", "novalue", nullptr}, {"S", "", nullptr}, {"S", "empty", ""}, {"S", ";k", nullptr}}},
        {"[S]\nk = 1\nk = 2\n", true, {{"S", "k", "2"}}},
        {"[S]\r\nk = v\r\n", true, {{"S", "k", "v\r"}}},  // a carriage return is an ordinary character
        {"[A]\n[]\nlost = 1\n[B]\nkept = 1", true, {{"", "lost", nullptr}, {"B", "kept", "1"}}},
        {"k = v\n", false, {{"", "k", nullptr}}},
        {"[S]\n", false, {{"S", "k", nullptr}}},
    };
    TempRoot root;
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        writeFile(root.host(kPath), c.text);
        IniFile ini;
        EXPECT_EQ(ini.Open(kPath), c.opened);
        for (const auto& [section, key, value] : c.lookups) {
            const char* got = ini.ReadString(section, key, nullptr);
            EXPECT_EQ(got == nullptr, value == nullptr) << key;
            if (got != nullptr && value != nullptr) {
                EXPECT_STREQ(got, value) << key;
            }
        }
    }
}

TEST(IniFile, FailedOpenAndReadIntFallBackAsDocumented) {
    TempRoot root;
    IniFile ini;
    ASSERT_TRUE(ini.WriteString("S", "k", "v"));
    EXPECT_FALSE(ini.Open("/vorna/data/missing.ini"));
    writeFile(root.host(kPath), "; only a comment\n  \n\n");
    EXPECT_FALSE(ini.Open(kPath));
    EXPECT_STREQ(ini.ReadString("S", "k", "def"), "v");  // no kept line: content stays
    writeFile(root.host(kPath), "orphan = 1\n");
    EXPECT_FALSE(ini.Open(kPath));
    EXPECT_STREQ(ini.ReadString("S", "k", "def"), "def");  // kept lines but no section: cleared

    // Integers take the leading digits.
    const struct { const char* value; int expected; } cases[] = {
        {"12abc", 12}, {"abc", 0}, {"-7", -7}, {" +3", 3}, {"99999999999999", INT_MAX}};
    for (const auto& c : cases) {
        ASSERT_TRUE(ini.WriteString("S", "n", c.value));
        EXPECT_EQ(ini.ReadInt("S", "n", 42), c.expected) << c.value;
    }
    EXPECT_EQ(ini.ReadInt("S", "missing", 42), 42);
    EXPECT_EQ(ini.ReadInt("Missing", "n", 42), 42);
}

TEST(IniFile, SavesSortedSectionsAndReloadsButRefusesLineFeeds) {
    TempRoot root;
    fs::create_directories(root.host("/vorna/data"));
    IniFile ini;
    EXPECT_FALSE(ini.SaveAs(kPath));  // no section yet
    ASSERT_TRUE(ini.WriteString("SYSTEM", "HW_VER", "\xEF\xBC\x91"));
    ASSERT_TRUE(ini.WriteInt("PRODUCT", "MODEL", 8459));
    ASSERT_TRUE(ini.WriteString("PRODUCT", "SN", "MV4000001"));
    ASSERT_TRUE(ini.WriteInt("PRODUCT", "MODEL", -8458));  // replaced in place
    ASSERT_TRUE(ini.WriteString("SYSTEM", "EMPTY", nullptr));
    // A carriage return is an ordinary character (a CRLF-edited file's values
    // end with one); line feeds would inject lines into the file.
    ASSERT_TRUE(ini.WriteString("SYSTEM", "CR", "a\rb\r"));
    EXPECT_FALSE(ini.WriteString("PRODUCT", "SN", "x\n[PRODUCT]\nMODEL = 1"));
    EXPECT_FALSE(ini.WriteString("PRODUCT", "A\nB", "1"));
    EXPECT_FALSE(ini.WriteString("P\nQ", "A", "1"));
    EXPECT_FALSE(ini.WriteString(nullptr, "A", "1"));
    EXPECT_FALSE(ini.WriteString("PRODUCT", nullptr, "1"));
    EXPECT_FALSE(ini.SaveAs(""));
    EXPECT_FALSE(ini.SaveAs(nullptr));
    EXPECT_TRUE(folderEntries(root.host("/vorna/data")).empty());
    ASSERT_TRUE(ini.SaveAs(kPath));
    EXPECT_EQ(readFile(root.host(kPath)),
              "[PRODUCT]\nMODEL = -8458\nSN = MV4000001\n[SYSTEM]\nHW_VER = \xEF\xBC\x91\nEMPTY = \nCR = a\rb\r\n");

    IniFile reloaded;
    ASSERT_TRUE(reloaded.Open(kPath));
    EXPECT_EQ(reloaded.ReadInt("PRODUCT", "MODEL", 0), -8458);
    EXPECT_STREQ(reloaded.ReadString("SYSTEM", "HW_VER", ""), "\xEF\xBC\x91");
    EXPECT_STREQ(reloaded.ReadString("SYSTEM", "EMPTY", "def"), "");
    EXPECT_STREQ(reloaded.ReadString("SYSTEM", "CR", ""), "a\rb\r");
}

// A save writes a temporary file beside the old one and renames it: a failure
// at any point leaves the old file whole and no temporary behind.
TEST(IniFile, SaveReplacesTheFileAtomically) {
    TempRoot root;
    const std::string old_text = "[OLD]\nk = 1\n";
    writeFile(root.host(kPath), old_text);
    const std::vector<std::string> only_file = {"productconfig.ini"};
    IniFile ini;
    ASSERT_TRUE(ini.WriteString("PRODUCT", "SN", std::string(8192, 'x').c_str()));

    // A file size limit makes the write fail part-way, as a full disk would.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ok = ini.SaveAs(kPath);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(readFile(root.host(kPath)), old_text);
    EXPECT_EQ(folderEntries(root.host("/vorna/data")), only_file);

    IniFile small_ini;
    ASSERT_TRUE(small_ini.WriteString("NEW", "k", "2"));
    ASSERT_TRUE(small_ini.SaveAs(kPath));
    EXPECT_EQ(readFile(root.host(kPath)), "[NEW]\nk = 2\n");
    EXPECT_EQ(folderEntries(root.host("/vorna/data")), only_file);
    EXPECT_FALSE(small_ini.SaveAs("/vorna/no/such/folder.ini"));
    // A folder in the file's place makes the final rename fail.
    fs::remove(root.host(kPath));
    fs::create_directories(root.host(kPath));
    EXPECT_FALSE(small_ini.SaveAs(kPath));
    EXPECT_EQ(folderEntries(root.host("/vorna/data")), only_file);
}

// The text ReadString hands out stays valid while other items of its section
// are added (the product identity is read, then further keys written).
TEST(IniFile, ReadTextSurvivesAppendsToItsSection) {
    IniFile ini;
    ASSERT_TRUE(ini.WriteString("id", "model", "MV412"));
    const char* model = ini.ReadString("id", "model", "");
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(ini.WriteString("id", ("key" + std::to_string(i)).c_str(), "value"));
    }
    EXPECT_STREQ(model, "MV412");
}
