// The calibration index's keyed hash is the standard function: the 16-byte
// case of its published test vectors (key and message 00 01 02 ...).
#include <gtest/gtest.h>

#include "KeyedHash.h"

TEST(KeyedHash, AnswersThePublishedVector) {
    const keyed_hash::Key key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    EXPECT_EQ(keyed_hash::hash(key, 0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL), 0x3f2acc7f57c29bdbULL);
}
