// Wire and text forms of the schema: the bytes the UI app receives and the text
// the settings files hold.

#include <gtest/gtest.h>

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <cstring>
#include <string>
#include <vector>

#include "proto_data.pb.h"
#include "proto_insert.h"
#include "sample_records.h"

namespace {

using google::protobuf::TextFormat;
using google::protobuf::util::MessageDifferencer;

std::string bytes(std::initializer_list<unsigned> octets) {
    std::string out;
    for (unsigned o : octets) {
        out.push_back(static_cast<char>(o));
    }
    return out;
}

std::string hex(const std::string& data) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : data) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string littleEndianDouble(double d) {
    std::string out(sizeof d, '\0');
    std::memcpy(&out[0], &d, sizeof d);
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

TEST(ProtoWire, DataPackGoldenBytes) {
    DataPack pack;
    pack.set_code(0x2000122E);
    insertS32(*pack.mutable_data(), 5, static_cast<unsigned int>(-1));
    EXPECT_EQ(hex(pack.SerializeAsString()), "08 ae a4 80 80 02 12 06 08 05 12 02 08 01");

    DataPack back;
    ASSERT_TRUE(back.ParseFromString(pack.SerializeAsString()));
    EXPECT_EQ(back.code(), 0x2000122E);
    EXPECT_EQ(back.data().at(5).s32val(), -1);
}

TEST(ProtoWire, EmptyMessagesWriteNoBytes) {
    DataPack pack;
    pack.set_stat(0);
    EXPECT_EQ(pack.SerializeAsString(), "");
    EXPECT_EQ(FileInfos().SerializeAsString(), "");
    EXPECT_EQ(Value().SerializeAsString(), "");
}

TEST(ProtoWire, SetOneofMemberIsWrittenEvenWhenZero) {
    DataPack pack;
    insertStr(*pack.mutable_data(), 1, "");
    insertBval(*pack.mutable_data(), 2, false);
    DataPack back;
    ASSERT_TRUE(back.ParseFromString(pack.SerializeAsString()));
    EXPECT_EQ(back.data().at(1).value_case(), Value::kStrVal);
    EXPECT_EQ(back.data().at(2).value_case(), Value::kBVal);
}

TEST(ProtoWire, MapEntryWithoutValueParsesAsUnsetValue) {
    // field 2, length 2: entry with key 7 and no value
    DataPack back;
    ASSERT_TRUE(back.ParseFromString(bytes({0x12, 0x02, 0x08, 0x07})));
    ASSERT_EQ(back.data().count(7), 1u);
    EXPECT_EQ(back.data().at(7).value_case(), Value::VALUE_NOT_SET);
}

TEST(ProtoWire, RepeatedDoublesArePackedAndUnpackedFormIsAccepted) {
    DataBuffer buf;
    buf.add_buffer(1.0);
    buf.add_buffer(-2.5);
    const std::string packed = bytes({0x0a, 0x10}) + littleEndianDouble(1.0) + littleEndianDouble(-2.5);
    EXPECT_EQ(buf.SerializeAsString(), packed);

    DataBuffer fromUnpacked;
    const std::string unpacked = bytes({0x09}) + littleEndianDouble(1.0) + bytes({0x09}) + littleEndianDouble(-2.5);
    ASSERT_TRUE(fromUnpacked.ParseFromString(unpacked));
    EXPECT_TRUE(MessageDifferencer::Equals(fromUnpacked, buf));

    ProtoDataInfo info;
    info.add_mdatabuffer(3.0);
    EXPECT_EQ(info.SerializeAsString(), bytes({0x3a, 0x08}) + littleEndianDouble(3.0));
    ProtoDataInfo infoUnpacked;
    ASSERT_TRUE(infoUnpacked.ParseFromString(bytes({0x39}) + littleEndianDouble(3.0)));
    ASSERT_EQ(infoUnpacked.mdatabuffer_size(), 1);
    EXPECT_EQ(infoUnpacked.mdatabuffer(0), 3.0);
}

TEST(ProtoWire, FileOperationResultUsesFieldFive) {
    ProtoFileOperationInfo op;
    op.set_ms32opresult(1);
    EXPECT_EQ(op.SerializeAsString(), bytes({0x28, 0x02}));  // tag 40, zig-zag 1
}

TEST(ProtoWire, InvalidUtf8FailsInStrValButNotInRawVal) {
    const std::string bad("ok\xff\xfe", 4);
    DataPack asText;
    asText.mutable_data()->operator[](1).set_strval(bad);
    const std::string wire = asText.SerializeAsString();  // written unchanged, only logged
    DataPack back;
    EXPECT_FALSE(back.ParseFromString(wire));

    DataPack asRaw;
    insertRaw(*asRaw.mutable_data(), 1, bad);
    ASSERT_TRUE(back.ParseFromString(asRaw.SerializeAsString()));
    EXPECT_EQ(back.data().at(1).rawval(), bad);
}

TEST(ProtoWire, ValueOfEveryKindRoundTrips) {
    const DataPack pack = proto_samples::everyKindPack();
    DataPack back;
    ASSERT_TRUE(back.ParseFromString(pack.SerializeAsString()));
    EXPECT_TRUE(MessageDifferencer::Equals(back, pack));
    EXPECT_EQ(back.data().at(1).s32val(), -5);
    EXPECT_EQ(back.data().at(3).s64val(), -(1LL << 40));
    EXPECT_EQ(back.data().at(9).rawval(), std::string("a\0b\xff", 4));
}

TEST(ProtoWire, RecordCarriedInRawValRoundTrips) {
    ProtoProductInfo product;
    product.set_mmodel("MV412");
    product.set_mserialnum("SN0001");
    DataPack pack;
    pack.set_code(0x2000122E);
    insertRaw(*pack.mutable_data(), 4654, product.SerializeAsString());

    DataPack back;
    ASSERT_TRUE(back.ParseFromString(pack.SerializeAsString()));
    ProtoProductInfo inner;
    ASSERT_TRUE(inner.ParseFromString(back.data().at(4654).rawval()));
    EXPECT_EQ(inner.mmodel(), "MV412");
    EXPECT_EQ(inner.mserialnum(), "SN0001");
}

TEST(ProtoText, FullyPopulatedMirrorRoundTrips) {
    const ProtoMirrorInfo mirror = proto_samples::fullMirror();
    // The sample must really touch every field, or the round trip proves less.
    EXPECT_EQ(proto_samples::unsetFields(mirror), std::vector<std::string>{});

    std::string text;
    ASSERT_TRUE(TextFormat::PrintToString(mirror, &text));
    EXPECT_NE(text.find("mbTempture: true"), std::string::npos);
    EXPECT_NE(text.find("mbTcCodeTerminalInt: true"), std::string::npos);
    EXPECT_NE(text.find("mu32BeginPoi: 1"), std::string::npos);

    ProtoMirrorInfo back;
    std::string errors;
    ASSERT_TRUE(parseText(text, &back, &errors)) << errors;
    EXPECT_TRUE(MessageDifferencer::Equals(back, mirror));
}

TEST(ProtoText, MissingSubRecordReadsAsDefaults) {
    ProtoMirrorInfo state;
    std::string errors;
    ASSERT_TRUE(parseText("mProtoImageInfo { mbImageColor: true }", &state, &errors)) << errors;
    EXPECT_FALSE(state.has_mprotosensorinfo());
    EXPECT_EQ(state.mprotosensorinfo().mu32totalpoint(), 0u);
    EXPECT_EQ(state.mprotosensorinfo().mprotoprojproperty().mstrname(), "");
    EXPECT_EQ(state.mprotofunctioninfo().mprotobasefuncinfo().mprotofunccfgs_size(), 0);
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
