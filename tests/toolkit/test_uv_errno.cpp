#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "Util/uv_errno.h"

using namespace toolkit;

namespace {

const int kKnownCodes[] = {-4095, -4094, -4080, -3014, -3013, -3011, -3010, -3009, -3008, -3007, -3006,
                           -3005, -3004, -3003, -3002, -3001, -3000, -125,  -121,  -114,  -113,  -112,
                           -111,  -110,  -108,  -107,  -106,  -105,  -104,  -103,  -101,  -100,  -99,
                           -98,   -97,   -95,   -93,   -92,   -91,   -90,   -89,   -88,   -71,   -64,
                           -40,   -39,   -38,   -36,   -34,   -32,   -31,   -30,   -29,   -28,   -27,
                           -26,   -24,   -23,   -22,   -21,   -20,   -19,   -18,   -17,   -16,   -14,
                           -13,   -12,   -11,   -9,    -7,    -6,    -5,    -4,    -3,    -2,    -1};

std::string unknownText(int code) {
    char expected[64];
    std::snprintf(expected, sizeof(expected), "Unknown system error %d", code);
    return expected;
}

} // namespace

TEST(UvErrno, TranslatesPosixErrors) {
    EXPECT_EQ(-11, uv_translate_posix_error(EINPROGRESS));
    EXPECT_EQ(-11, uv_translate_posix_error(EAGAIN));
    EXPECT_EQ(-11, uv_translate_posix_error(ENOBUFS));
    EXPECT_EQ(-111, uv_translate_posix_error(ECONNREFUSED));
    EXPECT_EQ(0, uv_translate_posix_error(0));
    EXPECT_EQ(-3008, uv_translate_posix_error(-3008));
    EXPECT_STREQ("resource temporarily unavailable", uv_strerror(uv_translate_posix_error(115)));
}

TEST(UvErrno, KnownTexts) {
    EXPECT_STREQ("permission denied", uv_strerror(-13));
    EXPECT_STREQ("connection refused", uv_strerror(-111));
    EXPECT_STREQ("resource temporarily unavailable", uv_strerror(-11));
    EXPECT_STREQ("end of file", uv_strerror(-4095));
    EXPECT_STREQ("unknown node or service", uv_strerror(-3008));
    EXPECT_STREQ("address family not supported", uv_strerror(-97));
    EXPECT_STREQ("address family not supported", uv_strerror(-3000));
    EXPECT_STREQ("no such file or directory", uv_strerror(-ENOENT));
}

TEST(UvErrno, EveryTableCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int code : kKnownCodes) {
        std::string text = uv_strerror(code);
        EXPECT_NE(unknownText(code), text) << code;
        EXPECT_FALSE(text.empty()) << code;
        texts.insert(text);
    }
    // 77 codes, and only -97 and -3000 share a text.
    EXPECT_EQ(77u, sizeof(kKnownCodes) / sizeof(kKnownCodes[0]));
    EXPECT_EQ(76u, texts.size());
}

TEST(UvErrno, UnknownCodes) {
    EXPECT_EQ(unknownText(-200), uv_strerror(-200));
    EXPECT_EQ(unknownText(-3012), uv_strerror(-3012));
    EXPECT_EQ(unknownText(7), uv_strerror(7));
}

TEST(UvErrno, UnknownTextIsKeptPerThread) {
    const char* mine = uv_strerror(-200);
    std::string other;
    std::thread([&] { other = uv_strerror(-201); }).join();
    EXPECT_EQ(unknownText(-200), mine);
    EXPECT_EQ(unknownText(-201), other);
}

TEST(UvErrno, ReadsErrno) {
    errno = ECONNRESET;
    EXPECT_EQ(-104, get_uv_error());
    errno = ECONNRESET;
    EXPECT_STREQ("connection reset by peer", get_uv_errmsg());
}
