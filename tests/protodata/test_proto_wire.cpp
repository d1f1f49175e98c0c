// Wire and text forms of the schema: the bytes the UI app receives and the text
// the settings files hold.

#include <gtest/gtest.h>

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <string>
#include <vector>

#include "proto_data.pb.h"
#include "proto_insert.h"
#include "sample_records.h"

namespace {

using google::protobuf::TextFormat;
using google::protobuf::util::MessageDifferencer;

// "08 ae" <-> "\x08\xae"
std::string hex(const std::string& data) {
    std::string out;
    for (unsigned char c : data) {
        out += (out.empty() ? "" : " ") + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    }
    return out;
}
std::string fromHex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) {
        out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Collects text-format parse errors instead of letting them reach the log.
class CollectErrors : public google::protobuf::io::ErrorCollector {
public:
    void AddError(int, int, const std::string& message) override { errors += message + "\n"; }
    std::string errors;
};

bool parseText(const std::string& text, google::protobuf::Message* out, std::string* errors) {
    TextFormat::Parser parser;
    CollectErrors collector;
    parser.RecordErrorsTo(&collector);
    const bool ok = parser.ParseFromString(text, out);
    *errors = collector.errors;
    return ok;
}

TEST(ProtoWire, GoldenBytesAndEmptyMessages) {
    DataPack pack;
    pack.set_code(0x2000122E);
    insertS32(*pack.mutable_data(), 5, static_cast<unsigned int>(-1));
    EXPECT_EQ(hex(pack.SerializeAsString()), "08 ae a4 80 80 02 12 06 08 05 12 02 08 01");
    DataPack back;
    ASSERT_TRUE(back.ParseFromString(pack.SerializeAsString()));
    EXPECT_EQ(back.code(), 0x2000122E);
    EXPECT_EQ(back.data().at(5).s32val(), -1);

    DataPack empty;
    empty.set_stat(0);
    EXPECT_EQ(empty.SerializeAsString(), "");
    EXPECT_EQ(FileInfos().SerializeAsString(), "");
}

TEST(ProtoWire, SetOneofMemberIsWrittenEvenWhenZeroAndAnEntryWithoutValueParses) {
    DataPack pack;
    insertStr(*pack.mutable_data(), 1, "");
    insertBval(*pack.mutable_data(), 2, false);
    DataPack back;
    ASSERT_TRUE(back.ParseFromString(pack.SerializeAsString()));
    EXPECT_EQ(back.data().at(1).value_case(), Value::kStrVal);
    EXPECT_EQ(back.data().at(2).value_case(), Value::kBVal);

    // field 2, length 2: entry with key 7 and no value
    ASSERT_TRUE(back.ParseFromString(fromHex("12 02 08 07")));
    ASSERT_EQ(back.data().count(7), 1u);
    EXPECT_EQ(back.data().at(7).value_case(), Value::VALUE_NOT_SET);
}

TEST(ProtoWire, RepeatedDoublesArePackedAndUnpackedFormIsAccepted) {
    DataBuffer buf;
    buf.add_buffer(1.0);
    buf.add_buffer(-2.5);
    EXPECT_EQ(hex(buf.SerializeAsString()), "0a 10 00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 04 c0");
    DataBuffer fromUnpacked;
    ASSERT_TRUE(fromUnpacked.ParseFromString(fromHex("09 00 00 00 00 00 00 f0 3f 09 00 00 00 00 00 00 04 c0")));
    EXPECT_TRUE(MessageDifferencer::Equals(fromUnpacked, buf));
    ProtoDataInfo info;
    info.add_mdatabuffer(3.0);
    EXPECT_EQ(hex(info.SerializeAsString()), "3a 08 00 00 00 00 00 00 08 40");
}

// Each insert function sets its own member; a record travels inside rawVal.
TEST(ProtoWire, ValuesOfEveryKindAndARecordInRawValRoundTrip) {
    DataPack pack = proto_samples::everyKindPack();
    ProtoProductInfo product;
    product.set_mmodel("MV412");
    insertRaw(*pack.mutable_data(), 4654, product.SerializeAsString());

    DataPack back;
    ASSERT_TRUE(back.ParseFromString(pack.SerializeAsString()));
    EXPECT_TRUE(MessageDifferencer::Equals(back, pack));
    const Value::ValueCase kinds[] = {Value::kS32Val, Value::kU32Val, Value::kS64Val, Value::kU64Val, Value::kBVal,
                                      Value::kF32Val, Value::kF64Val, Value::kStrVal, Value::kRawVal};
    for (int key = 1; key <= 9; ++key) {
        EXPECT_EQ(back.data().at(key).value_case(), kinds[key - 1]) << key;
    }
    EXPECT_EQ(back.data().at(1).s32val(), -5);
    EXPECT_EQ(back.data().at(9).rawval(), std::string("a\0b\xff", 4));
    ProtoProductInfo inner;
    ASSERT_TRUE(inner.ParseFromString(back.data().at(4654).rawval()));
    EXPECT_TRUE(MessageDifferencer::Equals(inner, product));
}

// A handler that writes a key twice keeps the first value; a count is taken
// as given, zero bytes included; a missing text is an empty member of its kind.
TEST(ProtoInsert, NeverOverwritesAndTakesCountsAsGiven) {
    google::protobuf::Map<int, Value> map;
    insertU32(map, 1, 1);
    insertU32(map, 1, 2);
    insertStr(map, 1, "later");
    insertRaw(map, 1, std::string("raw"));
    insertBval(map, 1, true);
    insertS32(map, 1, 5);
    insertU64(map, 1, 6);
    insertF32(map, 1, 7.0f);
    insertF64(map, 1, 8.0);
    insertRaw(map, 2, "a\0bc", 3u);
    insertStr(map, 3, nullptr);
    insertRaw(map, 4, nullptr, 5u);
    EXPECT_EQ(map.at(1).value_case(), Value::kU32Val);
    EXPECT_EQ(map.at(1).u32val(), 1u);
    EXPECT_EQ(map.at(2).rawval(), std::string("a\0b", 3));
    EXPECT_EQ(map.at(3).value_case(), Value::kStrVal);
    EXPECT_EQ(map.at(4).value_case(), Value::kRawVal);
    EXPECT_EQ(map.at(4).rawval(), "");
}

TEST(ProtoText, FullyPopulatedMirrorRoundTrips) {
    const ProtoMirrorInfo mirror = proto_samples::fullMirror();
    // The sample must really touch every field, or the round trip proves less.
    EXPECT_EQ(proto_samples::unsetFields(mirror), std::vector<std::string>{});

    std::string text;
    ASSERT_TRUE(TextFormat::PrintToString(mirror, &text));

    ProtoMirrorInfo back;
    std::string errors;
    ASSERT_TRUE(parseText(text, &back, &errors)) << errors;
    EXPECT_TRUE(MessageDifferencer::Equals(back, mirror));
}

TEST(ProtoText, UnknownFieldFailsTheWholeParse) {
    ProtoMirrorInfo mirror;
    std::string errors;
    EXPECT_FALSE(parseText("mProtoImageInfo { mbImageColor: true }\n"
                           "mProtoSensorInfo { mbTemperature: true }\n",
                           &mirror, &errors));
    EXPECT_NE(errors.find("mbTemperature"), std::string::npos) << errors;
}

} // namespace
