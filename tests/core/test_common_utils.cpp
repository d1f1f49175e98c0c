#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "CommonSimpleFunc.h"
#include "FunctionTool.h"
#include "ScpiReplyText.h"
#include "Util.h"
#include "temp_root.h"

namespace {

void useZone(const char* zone) {
    zone ? setenv("TZ", zone, 1) : unsetenv("TZ");
    tzset();
}

} // namespace

// Suffixes are matched after lower-casing, which changes ASCII capitals only.
TEST(CommonSimpleFunc, SuffixFollowsTheNumberOrIsTheWholeTextAndMustMatchExactly) {
    char text[] = "ABC-x1Z\xC3\x84";
    RmtCap2Low(text);
    EXPECT_STREQ(text, "abc-x1z\xC3\x84");
    const struct { const char* text; int known; double multiplier; } cases[] = {
        {"-1.5e2ka", 1, 1e3}, {"2uf", 1, 1e-6}, {"3nhz", 1, 1e-9}, {"4ps", 1, 1e-12}, {"5a", 1, 1},
        {"10mv", 1, 1e-3}, {"5khz", 1, 1e3}, {"2.5", 1, 1},  {"  +.5", 1, 1}, {"3.", 1, 1},   {"1e-3v", 1, 1},
        {"kv", 1, 1e3},    {"", 1, 1},       {"mhz", 1, 1e-3}, {"3 v", 0, 1},  {"1MV", 0, 1},  {"5k", 0, 1},
        {"2v ", 0, 1},     {"1e", 0, 1},     {".", 0, 1},    {"-v", 0, 1},    {" kv", 0, 1},  {"inf", 0, 1},
        {"nan", 0, 1},     {"0x10", 0, 1}};
    for (const auto& c : cases) {
        double multiplier = 0;
        EXPECT_EQ(RmtStr2f64NumFlag(c.text, &multiplier), c.known) << c.text;
        EXPECT_EQ(multiplier, c.multiplier) << c.text;
    }
    EXPECT_EQ(RmtStr2f64NumFlag(nullptr, nullptr), 0);
}

// A name in a reply can neither end the response nor the string it stands in.
TEST(ScpiReplyText, QuotesAreDoubledAndControlCharactersShownAsQuestionMarks) {
    const struct { std::string text, safe, quoted; } cases[] = {
        {"s.sta", "s.sta", "\"s.sta\""},
        {"a\",FOLD,0\"\n+0,+0\n1", "a\",FOLD,0\"?+0,+0?1", "\"a\"\",FOLD,0\"\"?+0,+0?1\""},
        {std::string("\0\t\r\x1f\x7f", 5), "?????", "\"?????\""},
        {"\xC3\x84 ok", "\xC3\x84 ok", "\"\xC3\x84 ok\""},
        {"", "", "\"\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScpiReplySafeText(c.text), c.safe) << c.text;
        EXPECT_EQ(ScpiQuotedString(c.text), c.quoted) << c.text;
    }
}

TEST(CommonSimpleFunc, TimeTextsUseTheLocalZone) {
    useZone("UTC");
    std::string text;
    Copperwren::GetCSTTimeFormat(0, text);
    EXPECT_EQ(text, "1970-01-01 00:00:00");
    Copperwren::GetCSTTimeFormatForAndroid(0, text);
    EXPECT_EQ(text, "010100001970.00");
    long stamp = 0;
    Copperwren::TimeFormat2Timestamp("2024-02-22 10:45:49", stamp);
    EXPECT_EQ(stamp, 1708598749L);
    Copperwren::GetCSTTimeFormat(stamp, text);
    EXPECT_EQ(text, "2024-02-22 10:45:49");
    Copperwren::TimeFormat2Timestamp("2024-02-22 junk", stamp);  // the rest stays zero
    EXPECT_EQ(stamp, 1708560000L);

    useZone("CST-8");  // eight hours east of UTC, no daylight saving
    Copperwren::GetCSTTimeFormat(0, text);
    EXPECT_EQ(text, "1970-01-01 08:00:00");
    Copperwren::TimeFormat2Timestamp("2024-02-22 18:45:49", stamp);
    EXPECT_EQ(stamp, 1708598749L);
    useZone(nullptr);
}

TEST(Util, ExecuteCmdIsBoundedInCommandOutputAndBuffer) {
    EXPECT_EQ(Util::executeCMD("echo hello; echo world"), "hello\nworld\n");
    const std::string flood = Util::executeCMD("head -c 100000 /dev/zero | tr '\\0' x");
    EXPECT_GE(flood.size(), Util::kOutputLimit);
    EXPECT_LT(flood.size(), 2048u);

    // A caller's buffer is appended to and never written past its capacity.
    char buffer[32];
    std::memset(buffer, '#', sizeof(buffer));
    std::strcpy(buffer, "ab");
    Util::executeCMD("printf cd", buffer, 16);
    EXPECT_STREQ(buffer, "abcd");
    Util::executeCMD("printf 0123456789ABCDEFGHIJ", buffer, 16);
    EXPECT_STREQ(buffer, "abcd0123456789A");
    EXPECT_EQ(std::string(buffer + 16, 16), std::string(16, '#'));

    // An over-long command is refused whole, not run cut short.
    testing_support::TempRoot root;
    const std::string marker = root.host("/marker");
    const std::string command = "touch '" + marker + "'" + std::string(Util::kMaxCommandLength, ' ');
    EXPECT_EQ(Util::executeCMD(command.c_str()), "");
    EXPECT_FALSE(std::filesystem::exists(marker));
}

// The service blocks SIGINT and SIGTERM in every thread and ignores SIGPIPE;
// a command it runs must start with neither, or it could not be stopped.
TEST(Util, ExecuteCmdStartsCommandsWithNoSignalBlockedOrIgnored) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigset_t previous;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_pipe = {};
    sigaction(SIGPIPE, &ignore, &old_pipe);

    const std::string status = Util::executeCMD("grep -E '^Sig(Blk|Ign)' /proc/self/status");

    sigaction(SIGPIPE, &old_pipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // The masks are hex words with bit (n - 1) for signal n.
    auto mask = [&status](const char* name) {
        size_t at = status.find(name);
        return at == std::string::npos ? ~0ULL : std::stoull(status.substr(at + std::strlen(name)), nullptr, 16);
    };
    const unsigned long long ours = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1)) | (1ULL << (SIGPIPE - 1));
    EXPECT_EQ(mask("SigBlk:") & ours, 0u) << status;
    EXPECT_EQ(mask("SigIgn:") & ours, 0u) << status;
}

TEST(FunctionTool, QuotingWrapsAsItIsAndUnwraps) {
    const struct { const char* raw; const char* wrapped; } cases[] = {
        {"", "\"\""}, {"a b", "\"a b\""}, {"x\"$`\\", "\"x\"$`\\\""}};
    for (const auto& c : cases) {
        std::string s = c.raw;
        FunctionTool::quotationWrap(s);
        EXPECT_EQ(s, c.wrapped);
    }
    // Unwrapping needs a quote at both ends.
    const struct { const char* in; bool ok; const char* out; } unwraps[] = {
        {"\"", false, "\""}, {"\"\"", true, ""}, {"\"a b\"", true, "a b"},
        {"a\"", false, "a\""}, {"\"a", false, "\"a"}, {"", false, ""}};
    for (const auto& c : unwraps) {
        std::string s = c.in;
        EXPECT_EQ(FunctionTool::quotationUnwrap(s), c.ok) << c.in;
        EXPECT_EQ(s, c.out);
    }
    // Splitting appends fields as line reading gives them.
    std::vector<std::string> fields = {"kept"};
    FunctionTool::stringSplit("1.2..3.", '.', fields);
    FunctionTool::stringSplit("", '.', fields);
    EXPECT_EQ(fields, (std::vector<std::string>{"kept", "1", "2", "", "3"}));
}

// Four dot-separated numbers of 0-255; surrounding text the number reader skips is taken.
TEST(FunctionTool, IpAddressCheckTakesFourNumbersInRange) {
    const struct { const char* address; bool valid; } cases[] = {
        {"192.168.1.10", true}, {"1.2.3.4.", true}, {" 1.2.3.4", true}, {"255.255.255.255", true},
        {"1.2.3", false}, {"1.2.3.4.5", false}, {"1..2.3", false}, {"1.2.3.99999999999", false},
        {"1.2.3a.4", false}, {"1.2.3.256", false}, {"1.2.-3.4", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(FunctionTool::IPArgumentVerify(c.address), c.valid) << c.address;
    }
}

// Only the first occurrence of the extension counts: it must end the name.
// The name is the last part of a path; a folder's name plays no part.
TEST(FunctionTool, ExtensionIsAddedUnlessItsFirstOccurrenceEndsTheName) {
    const struct { const char* name; const char* extension; const char* result; } cases[] = {
        {"data", ".csv", "data.csv"},             {"data.csv", ".csv", "data.csv"},
        {"a.csv.csv", ".csv", "a.csv.csv.csv"},   {"a.csvx", ".csv", "a.csvx.csv"},
        {"csv", ".csv", "csv.csv"},               {"", ".csv", ".csv"},
        {"DATA.CSV", ".csv", "DATA.CSV.csv"},     {"data", "", "data"},
        {"/d/x.csv/a.csv", ".csv", "/d/x.csv/a.csv"}, {"/d/x.csv/a.csv.csv", ".csv", "/d/x.csv/a.csv.csv.csv"},
        {"/d/x.csv/", ".csv", "/d/x.csv/.csv"}};
    for (const auto& c : cases) {
        std::string name = c.name;
        FunctionTool::fileExtensionComplete(name, c.extension);
        EXPECT_EQ(name, c.result) << c.name;
    }
}
