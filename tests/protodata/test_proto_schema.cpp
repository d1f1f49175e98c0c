// The schema as stored files and the UI app know it: every message, field name,
// number, type and label. A renamed or renumbered field silently breaks every
// saved settings file, so the expectations are written out here field by field.

#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <map>
#include <string>
#include <vector>

#include "proto_data.pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;

struct Field {
    const char* name;
    int number;
    FieldDescriptor::Type type;
    FieldDescriptor::Label label;
    const char* messageType;  // full name of a message field's type, else empty
};

constexpr auto S32 = FieldDescriptor::TYPE_SINT32;
constexpr auto U32 = FieldDescriptor::TYPE_UINT32;
constexpr auto S64 = FieldDescriptor::TYPE_SINT64;
constexpr auto U64 = FieldDescriptor::TYPE_UINT64;
constexpr auto I32 = FieldDescriptor::TYPE_INT32;
constexpr auto BOOL = FieldDescriptor::TYPE_BOOL;
constexpr auto FLT = FieldDescriptor::TYPE_FLOAT;
constexpr auto DBL = FieldDescriptor::TYPE_DOUBLE;
constexpr auto STR = FieldDescriptor::TYPE_STRING;
constexpr auto RAW = FieldDescriptor::TYPE_BYTES;
constexpr auto MSG = FieldDescriptor::TYPE_MESSAGE;
constexpr auto OPT = FieldDescriptor::LABEL_OPTIONAL;
constexpr auto REP = FieldDescriptor::LABEL_REPEATED;

// Message full name -> its fields in declaration order.
const std::vector<std::pair<const char*, std::vector<Field>>> kSchema = {
    {"Value", {{"s32Val", 1, S32, OPT, ""}, {"u32Val", 2, U32, OPT, ""}, {"s64Val", 3, S64, OPT, ""},
               {"u64Val", 4, U64, OPT, ""}, {"bVal", 5, BOOL, OPT, ""}, {"f32Val", 6, FLT, OPT, ""},
               {"f64Val", 7, DBL, OPT, ""}, {"strVal", 8, STR, OPT, ""}, {"rawVal", 9, RAW, OPT, ""}}},
    {"DataPack", {{"code", 1, I32, OPT, ""}, {"data", 2, MSG, REP, "DataPack.DataEntry"},
                  {"stat", 3, I32, OPT, ""}}},
    {"DataPack.DataEntry", {{"key", 1, I32, OPT, ""}, {"value", 2, MSG, OPT, "Value"}}},
    {"DataBuffer", {{"buffer", 1, DBL, REP, ""}}},
    {"FileInfos", {{"info", 1, MSG, REP, "FileInfos.Info"}}},
    {"FileInfos.Info", {{"name", 1, STR, OPT, ""}, {"size", 2, S64, OPT, ""}, {"isDir", 3, BOOL, OPT, ""},
                        {"modifyTime", 4, STR, OPT, ""}}},
    {"FilePathList", {{"filePath", 1, STR, REP, ""}}},
    {"SensRefs", {{"item", 1, MSG, REP, "SensRefs.Item"}}},
    {"SensRefs.Item", {{"first", 1, DBL, OPT, ""}, {"second", 2, DBL, OPT, ""},
                       {"mathSign", 3, U32, OPT, ""}, {"segSign", 4, BOOL, OPT, ""}}},
    {"SensList", {{"item", 1, MSG, REP, "SensList.Item"}}},
    {"SensList.Item", {{"id", 1, I32, OPT, ""}, {"name", 2, STR, OPT, ""}}},
    {"ErrInfo", {{"code", 1, I32, OPT, ""}, {"msg", 2, STR, OPT, ""}}},
    {"ProtoUtilityIOInfo",
     {{"mLanLinkStatus", 1, S32, OPT, ""}, {"mStrMac", 2, STR, OPT, ""}, {"mStrVisa", 3, STR, OPT, ""},
      {"mbDhcp", 4, BOOL, OPT, ""}, {"mbAutoIp", 5, BOOL, OPT, ""}, {"mbStaticIp", 6, BOOL, OPT, ""},
      {"mStrIp", 7, STR, OPT, ""}, {"mStrGateway", 8, STR, OPT, ""}, {"mStrSubNetMask", 9, STR, OPT, ""},
      {"mStrDNS", 10, STR, OPT, ""}, {"mMDnsOn", 11, BOOL, OPT, ""}, {"mHostname", 12, STR, OPT, ""},
      {"mInterface", 13, S32, OPT, ""}, {"mGpib", 14, S32, OPT, ""}, {"mbUsbtmcSwitch", 15, BOOL, OPT, ""},
      {"mServiceName", 16, STR, OPT, ""}}},
    {"ProtoProductInfo",
     {{"mModel", 1, STR, OPT, ""}, {"mSerialNum", 2, STR, OPT, ""}, {"mSwVer", 3, STR, OPT, ""},
      {"mSysVer", 4, STR, OPT, ""}, {"mBuildDate", 5, STR, OPT, ""}, {"mCalTime", 6, STR, OPT, ""},
      {"mHWVer", 7, STR, OPT, ""}}},
    {"ProtoSystemInfo",
     {{"mLanguage", 1, S32, OPT, ""}, {"mLastLoad", 2, BOOL, OPT, ""}, {"mLoadName", 3, STR, OPT, ""},
      {"mPowerStatus", 4, BOOL, OPT, ""}, {"mTouchEnable", 5, BOOL, OPT, ""}, {"mBeeper", 6, BOOL, OPT, ""},
      {"mBrightness", 7, S32, OPT, ""}, {"mIsDisplayTime", 8, BOOL, OPT, ""},
      {"mProtoUtilityIOInfo", 9, MSG, OPT, "ProtoUtilityIOInfo"}}},
    {"ProtoMathLimit", {{"mf64Low", 1, DBL, OPT, ""}, {"mf64High", 2, DBL, OPT, ""}}},
    {"ProtoCalcConfig",
     {{"mbRELEnable", 1, BOOL, OPT, ""}, {"mbAutoEnable", 2, BOOL, OPT, ""}, {"mf64RELValue", 3, DBL, OPT, ""}}},
    {"ProtoDataFormat",
     {{"mSepChar", 1, S32, OPT, ""}, {"mDotChar", 2, S32, OPT, ""}, {"mbPlusSign", 3, BOOL, OPT, ""}}},
    {"ProtoMathFuncInfo",
     {{"ms32CalcType", 1, S32, OPT, ""}, {"mbMathSwitch", 2, BOOL, OPT, ""}, {"ms32MathFunc", 3, S32, OPT, ""},
      {"mf64Db", 4, DBL, OPT, ""}, {"mu32RefR", 5, U32, OPT, ""}, {"mCurMathTotalize", 6, S32, OPT, ""},
      {"mProtoLimit", 7, MSG, OPT, "ProtoMathLimit"}, {"mProtoDataFormat", 8, MSG, OPT, "ProtoDataFormat"},
      {"mProtoCalcCfgs", 9, MSG, REP, "ProtoCalcConfig"}}},
    {"ProtoFuncConfig",
     {{"mbMainConfig", 1, BOOL, OPT, ""}, {"ms32RangeMax", 2, S32, OPT, ""}, {"mbSupportAuto", 3, BOOL, OPT, ""},
      {"mbSupportRate", 4, BOOL, OPT, ""}, {"mbAutoRange", 5, BOOL, OPT, ""}, {"mbDcFilter", 6, BOOL, OPT, ""},
      {"ms32Range", 7, S32, OPT, ""}, {"ms32AutoZ", 8, S32, OPT, ""}, {"ms32Rate", 9, S32, OPT, ""},
      {"ms32RealFunc", 10, S32, OPT, ""}}},
    {"ProtoTriggerFuncInfo",
     {{"ms32TrigSrc", 1, S32, OPT, ""}, {"mbHold", 2, BOOL, OPT, ""}, {"mu32SensIdx", 3, U32, OPT, ""},
      {"mf32Sensitivity", 4, FLT, OPT, ""}, {"mu32Sample", 5, U32, OPT, ""}, {"mu32ExtEdge", 6, U32, OPT, ""},
      {"mu32Interval", 7, U32, OPT, ""}, {"mbVMC", 8, BOOL, OPT, ""}, {"mu32VMCPolar", 9, U32, OPT, ""},
      {"mu32VMCPulseWidth", 10, U32, OPT, ""}}},
    {"ProtoBaseFuncInfo",
     {{"ms32DMMFunc", 1, S32, OPT, ""}, {"ms32DMMFunc2", 2, S32, OPT, ""}, {"mbFunc2Enable", 3, BOOL, OPT, ""},
      {"mbAutoRange", 4, BOOL, OPT, ""}, {"mu32DcvImpe", 5, U32, OPT, ""},
      {"mProtoFuncCfgs", 6, MSG, REP, "ProtoFuncConfig"}, {"mContResi", 7, S32, OPT, ""}}},
    {"ProtoFunctionInfo",
     {{"mProtoBaseFuncInfo", 1, MSG, OPT, "ProtoBaseFuncInfo"},
      {"mProtoMathFuncInfo", 2, MSG, OPT, "ProtoMathFuncInfo"},
      {"mProtoTriggerInfo", 3, MSG, OPT, "ProtoTriggerFuncInfo"}}},
    {"ProtoRefPoint",
     {{"mf64XValue", 1, DBL, OPT, ""}, {"mf64YValue", 2, DBL, OPT, ""}, {"mu32MathSign", 3, U32, OPT, ""},
      {"mbSegSign", 4, BOOL, OPT, ""}}},
    {"ProtoProjProperty",
     {{"mstrName", 1, STR, OPT, ""}, {"ms32Type", 2, S32, OPT, ""}, {"mbThermocouple", 3, BOOL, OPT, ""},
      {"mstrUnit", 4, STR, OPT, ""}, {"mbCustomUnitSwitch", 5, BOOL, OPT, ""}}},
    {"ProtoSegProperty",
     {{"mu32MathSign", 1, U32, OPT, ""}, {"mu32BeginPoi", 2, U32, OPT, ""}, {"mu32EndPoi", 3, U32, OPT, ""},
      {"mu32LittleSegNum", 4, U32, OPT, ""}, {"mu32ParaPos", 5, U32, OPT, ""}}},
    {"ProtoTempProperty",
     {{"mstrTempSensorName", 1, STR, OPT, ""}, {"mstrTempSensorUnit", 2, STR, OPT, ""},
      {"mu32TempSensorType", 3, U32, OPT, ""}, {"mu32RtdAf", 4, U32, OPT, ""},
      {"mu32ThermResValue", 5, U32, OPT, ""}, {"mf32RtdR0", 6, FLT, OPT, ""}, {"mu32TcType", 7, U32, OPT, ""},
      {"mbTcCodeTerminalInt", 8, BOOL, OPT, ""}, {"mf32CodeTerminalUser", 9, FLT, OPT, ""},
      {"ms32Type", 10, S32, OPT, ""}}},
    {"ProtoSensorFuncInfo",
     {{"mProtoProjProperty", 1, MSG, OPT, "ProtoProjProperty"}, {"mu32TotalPoint", 2, U32, OPT, ""},
      {"mbTempture", 3, BOOL, OPT, ""}, {"mProtoTempProperty", 4, MSG, OPT, "ProtoTempProperty"},
      {"mu32TotalSegment", 5, U32, OPT, ""}, {"mf64SegParas", 6, DBL, REP, ""},
      {"mProtoRefPoints", 7, MSG, REP, "ProtoRefPoint"},
      {"mProtoSegProperties", 8, MSG, REP, "ProtoSegProperty"}, {"mbDisplayValue", 9, BOOL, OPT, ""}}},
    {"ProtoImageInfo",
     {{"mbImageColor", 1, BOOL, OPT, ""}, {"mbImageInvert", 2, BOOL, OPT, ""}, {"mbImageHeader", 3, BOOL, OPT, ""},
      {"mbFileOverWrite", 4, BOOL, OPT, ""}, {"mDefaultFilePath", 5, STR, OPT, ""}}},
    {"ProtoMirrorInfo",
     {{"mProtoSysInfo", 1, MSG, OPT, "ProtoSystemInfo"}, {"mProtoFunctionInfo", 2, MSG, OPT, "ProtoFunctionInfo"},
      {"mProtoSensorInfo", 3, MSG, OPT, "ProtoSensorFuncInfo"},
      {"mProtoImageInfo", 4, MSG, OPT, "ProtoImageInfo"}}},
    {"ProtoStateInfo",
     {{"mProtoFunctionInfo", 1, MSG, OPT, "ProtoFunctionInfo"},
      {"mProtoSensorInfo", 2, MSG, OPT, "ProtoSensorFuncInfo"}, {"mProtoImageInfo", 3, MSG, OPT, "ProtoImageInfo"}}},
    {"ProtoDataInfo",
     {{"mstrFuncType", 1, STR, OPT, ""}, {"mstrRange", 2, STR, OPT, ""}, {"ms32Rate", 3, S32, OPT, ""},
      {"mstrUnit", 4, STR, OPT, ""}, {"mf64DataMax", 5, DBL, OPT, ""}, {"mf64DataMin", 6, DBL, OPT, ""},
      {"mDataBuffer", 7, DBL, REP, ""}}},
    {"ProtoFileOperationInfo",
     {{"ms32OpType", 1, S32, OPT, ""}, {"ms32OpStatus", 2, S32, OPT, ""}, {"ms32OpResult", 5, S32, OPT, ""}}},
};

const google::protobuf::FileDescriptor* schemaFile() {
    return Value::descriptor()->file();
}

// Every message of the file, nested ones included, by full name.
void collectMessages(const Descriptor* desc, std::map<std::string, const Descriptor*>& out) {
    out[desc->full_name()] = desc;
    for (int i = 0; i < desc->nested_type_count(); ++i) {
        collectMessages(desc->nested_type(i), out);
    }
}

TEST(ProtoSchema, FileSettings) {
    const auto* file = schemaFile();
    EXPECT_EQ(file->name(), "proto_data.proto");
    EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO3);
    EXPECT_EQ(file->package(), "");
    ASSERT_EQ(file->dependency_count(), 1);
    EXPECT_EQ(file->dependency(0)->name(), "google/protobuf/any.proto");
    EXPECT_EQ(file->options().java_package(), "com.vorna.protodata");
    EXPECT_EQ(file->options().java_outer_classname(), "ProtoData");
    EXPECT_EQ(file->enum_type_count(), 0);
}

TEST(ProtoSchema, TopLevelMessagesInFileOrder) {
    const std::vector<std::string> expected = {
        "Value", "DataPack", "DataBuffer", "FileInfos", "FilePathList", "SensRefs", "SensList", "ErrInfo",
        "ProtoUtilityIOInfo", "ProtoProductInfo", "ProtoSystemInfo", "ProtoMathLimit", "ProtoCalcConfig",
        "ProtoDataFormat", "ProtoMathFuncInfo", "ProtoFuncConfig", "ProtoTriggerFuncInfo", "ProtoBaseFuncInfo",
        "ProtoFunctionInfo", "ProtoRefPoint", "ProtoProjProperty", "ProtoSegProperty", "ProtoTempProperty",
        "ProtoSensorFuncInfo", "ProtoImageInfo", "ProtoMirrorInfo", "ProtoStateInfo", "ProtoDataInfo",
        "ProtoFileOperationInfo"};
    std::vector<std::string> actual;
    for (int i = 0; i < schemaFile()->message_type_count(); ++i) {
        actual.push_back(schemaFile()->message_type(i)->name());
    }
    EXPECT_EQ(actual, expected);
}

TEST(ProtoSchema, EveryMessageHasExactlyTheExpectedFields) {
    std::map<std::string, const Descriptor*> messages;
    for (int i = 0; i < schemaFile()->message_type_count(); ++i) {
        collectMessages(schemaFile()->message_type(i), messages);
    }
    ASSERT_EQ(messages.size(), 33u);
    ASSERT_EQ(kSchema.size(), 33u);

    for (const auto& [msgName, fields] : kSchema) {
        SCOPED_TRACE(msgName);
        auto found = messages.find(msgName);
        ASSERT_NE(found, messages.end());
        const Descriptor* desc = found->second;
        ASSERT_EQ(desc->field_count(), static_cast<int>(fields.size()));
        for (size_t i = 0; i < fields.size(); ++i) {
            const Field& want = fields[i];
            const FieldDescriptor* got = desc->field(static_cast<int>(i));
            SCOPED_TRACE(want.name);
            EXPECT_EQ(got->name(), want.name);
            EXPECT_EQ(got->number(), want.number);
            EXPECT_EQ(got->type(), want.type);
            EXPECT_EQ(got->label(), want.label);
            if (want.type == MSG) {
                EXPECT_EQ(got->message_type()->full_name(), want.messageType);
            }
            // Text format keys are the field names; JSON-style lowercasing is not used.
            EXPECT_EQ(desc->FindFieldByName(want.name), got);
        }
    }
}

TEST(ProtoSchema, ValueMembersFormOneOneof) {
    const Descriptor* value = Value::descriptor();
    ASSERT_EQ(value->oneof_decl_count(), 1);
    const auto* oneof = value->oneof_decl(0);
    EXPECT_EQ(oneof->name(), "value");
    EXPECT_EQ(oneof->field_count(), 9);
    EXPECT_EQ(static_cast<int>(Value::VALUE_NOT_SET), 0);
    EXPECT_EQ(static_cast<int>(Value::kS32Val), 1);
    EXPECT_EQ(static_cast<int>(Value::kRawVal), 9);
}

TEST(ProtoSchema, DataIsAnInt32KeyedMapOfValue) {
    const FieldDescriptor* data = DataPack::descriptor()->FindFieldByName("data");
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->is_map());
    EXPECT_TRUE(data->message_type()->options().map_entry());
}

TEST(ProtoSchema, RepeatedDoublesArePacked) {
    EXPECT_TRUE(DataBuffer::descriptor()->FindFieldByName("buffer")->is_packed());
    EXPECT_TRUE(ProtoDataInfo::descriptor()->FindFieldByName("mDataBuffer")->is_packed());
    EXPECT_TRUE(ProtoSensorFuncInfo::descriptor()->FindFieldByName("mf64SegParas")->is_packed());
}

} // namespace
