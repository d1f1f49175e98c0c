// The insert functions that fill argument, reply and notification maps.

#include <gtest/gtest.h>

#include <string>

#include "proto_insert.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

TEST(ProtoInsert, EachFunctionSetsItsMember) {
    ValueMap map;
    insertU32(map, 1, 4000000000u);
    insertS32(map, 2, static_cast<unsigned int>(-7));
    insertU64(map, 3, 1ULL << 40);
    insertF64(map, 4, -0.125);
    insertF32(map, 5, 2.5f);
    insertBval(map, 6, true);
    insertStr(map, 7, "1KΩ");
    insertRaw(map, 8, std::string("x\0y", 3));
    const char bytes[] = {'a', '\0', 'b', 'c'};
    insertRaw(map, 9, bytes, 3u);
    insertStr(map, 10, nullptr);
    insertRaw(map, 11, nullptr, 5u);

    EXPECT_EQ(map.at(1).u32val(), 4000000000u);
    EXPECT_EQ(map.at(2).value_case(), Value::kS32Val);
    EXPECT_EQ(map.at(2).s32val(), -7);
    EXPECT_EQ(map.at(2).u32val(), 0u);  // other members read as zero
    EXPECT_EQ(map.at(3).u64val(), 1ULL << 40);
    EXPECT_EQ(map.at(4).f64val(), -0.125);
    EXPECT_EQ(map.at(5).f32val(), 2.5f);
    EXPECT_EQ(map.at(6).value_case(), Value::kBVal);
    EXPECT_EQ(map.at(7).strval(), "1K\xCE\xA9");
    EXPECT_EQ(map.at(8).rawval(), std::string("x\0y", 3));
    EXPECT_EQ(map.at(9).rawval(), std::string("a\0b", 3));  // exactly the count given
    // Missing texts give empty members of their kind.
    EXPECT_EQ(map.at(10).value_case(), Value::kStrVal);
    EXPECT_EQ(map.at(11).value_case(), Value::kRawVal);
    EXPECT_EQ(map.at(11).rawval(), "");
}

TEST(ProtoInsert, NeverOverwritesAnExistingKey) {
    ValueMap map;
    insertU32(map, 10, 1);
    insertU32(map, 10, 2);
    insertStr(map, 10, "later");
    insertRaw(map, 10, std::string("raw"));
    insertRaw(map, 10, "raw", 3u);
    insertBval(map, 10, true);
    insertS32(map, 10, 5);
    insertU64(map, 10, 6);
    insertF32(map, 10, 7.0f);
    insertF64(map, 10, 8.0);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at(10).value_case(), Value::kU32Val);
    EXPECT_EQ(map.at(10).u32val(), 1u);
}

} // namespace
