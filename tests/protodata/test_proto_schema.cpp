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

// Message full name -> its fields in declaration order: name=number, label, type.
const std::vector<std::pair<const char*, const char*>> kSchema = {
    {"Value", "s32Val=1 sint32, u32Val=2 uint32, s64Val=3 sint64, u64Val=4 uint64, bVal=5 bool, f32Val=6 float, "
              "f64Val=7 double, strVal=8 string, rawVal=9 bytes"},
    {"DataPack", "code=1 int32, data=2 repeated DataPack.DataEntry, stat=3 int32"},
    {"DataPack.DataEntry", "key=1 int32, value=2 Value"},
    {"DataBuffer", "buffer=1 repeated double"},
    {"FileInfos", "info=1 repeated FileInfos.Info"},
    {"FileInfos.Info", "name=1 string, size=2 sint64, isDir=3 bool, modifyTime=4 string"},
    {"FilePathList", "filePath=1 repeated string"},
    {"SensRefs", "item=1 repeated SensRefs.Item"},
    {"SensRefs.Item", "first=1 double, second=2 double, mathSign=3 uint32, segSign=4 bool"},
    {"SensList", "item=1 repeated SensList.Item"},
    {"SensList.Item", "id=1 int32, name=2 string"},
    {"ErrInfo", "code=1 int32, msg=2 string"},
    {"ProtoUtilityIOInfo", "mLanLinkStatus=1 sint32, mStrMac=2 string, mStrVisa=3 string, mbDhcp=4 bool, "
                           "mbAutoIp=5 bool, mbStaticIp=6 bool, mStrIp=7 string, mStrGateway=8 string, "
                           "mStrSubNetMask=9 string, mStrDNS=10 string, mMDnsOn=11 bool, mHostname=12 string, "
                           "mInterface=13 sint32, mGpib=14 sint32, mbUsbtmcSwitch=15 bool, mServiceName=16 string"},
    {"ProtoProductInfo", "mModel=1 string, mSerialNum=2 string, mSwVer=3 string, mSysVer=4 string, "
                         "mBuildDate=5 string, mCalTime=6 string, mHWVer=7 string"},
    {"ProtoSystemInfo", "mLanguage=1 sint32, mLastLoad=2 bool, mLoadName=3 string, mPowerStatus=4 bool, "
                        "mTouchEnable=5 bool, mBeeper=6 bool, mBrightness=7 sint32, mIsDisplayTime=8 bool, "
                        "mProtoUtilityIOInfo=9 ProtoUtilityIOInfo"},
    {"ProtoMathLimit", "mf64Low=1 double, mf64High=2 double"},
    {"ProtoCalcConfig", "mbRELEnable=1 bool, mbAutoEnable=2 bool, mf64RELValue=3 double"},
    {"ProtoDataFormat", "mSepChar=1 sint32, mDotChar=2 sint32, mbPlusSign=3 bool"},
    {"ProtoMathFuncInfo", "ms32CalcType=1 sint32, mbMathSwitch=2 bool, ms32MathFunc=3 sint32, mf64Db=4 double, "
                          "mu32RefR=5 uint32, mCurMathTotalize=6 sint32, mProtoLimit=7 ProtoMathLimit, "
                          "mProtoDataFormat=8 ProtoDataFormat, mProtoCalcCfgs=9 repeated ProtoCalcConfig"},
    {"ProtoFuncConfig", "mbMainConfig=1 bool, ms32RangeMax=2 sint32, mbSupportAuto=3 bool, mbSupportRate=4 bool, "
                        "mbAutoRange=5 bool, mbDcFilter=6 bool, ms32Range=7 sint32, ms32AutoZ=8 sint32, "
                        "ms32Rate=9 sint32, ms32RealFunc=10 sint32"},
    {"ProtoTriggerFuncInfo", "ms32TrigSrc=1 sint32, mbHold=2 bool, mu32SensIdx=3 uint32, mf32Sensitivity=4 float, "
                             "mu32Sample=5 uint32, mu32ExtEdge=6 uint32, mu32Interval=7 uint32, mbVMC=8 bool, "
                             "mu32VMCPolar=9 uint32, mu32VMCPulseWidth=10 uint32"},
    {"ProtoBaseFuncInfo", "ms32DMMFunc=1 sint32, ms32DMMFunc2=2 sint32, mbFunc2Enable=3 bool, mbAutoRange=4 bool, "
                          "mu32DcvImpe=5 uint32, mProtoFuncCfgs=6 repeated ProtoFuncConfig, mContResi=7 sint32"},
    {"ProtoFunctionInfo", "mProtoBaseFuncInfo=1 ProtoBaseFuncInfo, mProtoMathFuncInfo=2 ProtoMathFuncInfo, "
                          "mProtoTriggerInfo=3 ProtoTriggerFuncInfo"},
    {"ProtoRefPoint", "mf64XValue=1 double, mf64YValue=2 double, mu32MathSign=3 uint32, mbSegSign=4 bool"},
    {"ProtoProjProperty", "mstrName=1 string, ms32Type=2 sint32, mbThermocouple=3 bool, mstrUnit=4 string, "
                          "mbCustomUnitSwitch=5 bool"},
    {"ProtoSegProperty", "mu32MathSign=1 uint32, mu32BeginPoi=2 uint32, mu32EndPoi=3 uint32, "
                         "mu32LittleSegNum=4 uint32, mu32ParaPos=5 uint32"},
    {"ProtoTempProperty", "mstrTempSensorName=1 string, mstrTempSensorUnit=2 string, mu32TempSensorType=3 uint32, "
                          "mu32RtdAf=4 uint32, mu32ThermResValue=5 uint32, mf32RtdR0=6 float, "
                          "mu32TcType=7 uint32, mbTcCodeTerminalInt=8 bool, mf32CodeTerminalUser=9 float, "
                          "ms32Type=10 sint32"},
    {"ProtoSensorFuncInfo", "mProtoProjProperty=1 ProtoProjProperty, mu32TotalPoint=2 uint32, mbTempture=3 bool, "
                            "mProtoTempProperty=4 ProtoTempProperty, mu32TotalSegment=5 uint32, "
                            "mf64SegParas=6 repeated double, mProtoRefPoints=7 repeated ProtoRefPoint, "
                            "mProtoSegProperties=8 repeated ProtoSegProperty, mbDisplayValue=9 bool"},
    {"ProtoImageInfo", "mbImageColor=1 bool, mbImageInvert=2 bool, mbImageHeader=3 bool, mbFileOverWrite=4 bool, "
                       "mDefaultFilePath=5 string"},
    {"ProtoMirrorInfo", "mProtoSysInfo=1 ProtoSystemInfo, mProtoFunctionInfo=2 ProtoFunctionInfo, "
                        "mProtoSensorInfo=3 ProtoSensorFuncInfo, mProtoImageInfo=4 ProtoImageInfo"},
    {"ProtoStateInfo", "mProtoFunctionInfo=1 ProtoFunctionInfo, mProtoSensorInfo=2 ProtoSensorFuncInfo, "
                       "mProtoImageInfo=3 ProtoImageInfo"},
    {"ProtoDataInfo", "mstrFuncType=1 string, mstrRange=2 string, ms32Rate=3 sint32, mstrUnit=4 string, "
                      "mf64DataMax=5 double, mf64DataMin=6 double, mDataBuffer=7 repeated double"},
    {"ProtoFileOperationInfo", "ms32OpType=1 sint32, ms32OpStatus=2 sint32, ms32OpResult=5 sint32"},
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

// "name=number [repeated ]type" of each field, in declaration order.
std::string describe(const Descriptor* desc) {
    std::string out;
    for (int i = 0; i < desc->field_count(); ++i) {
        const FieldDescriptor* f = desc->field(i);
        out += (i ? ", " : "") + f->name() + "=" + std::to_string(f->number()) + " " +
               (f->is_repeated() ? "repeated " : "") +
               (f->type() == FieldDescriptor::TYPE_MESSAGE ? f->message_type()->full_name() : f->type_name());
        // Text format keys are the field names; JSON-style lowercasing is not used.
        EXPECT_EQ(desc->FindFieldByName(f->name()), f);
    }
    return out;
}

TEST(ProtoSchema, EveryMessageHasExactlyTheExpectedFields) {
    EXPECT_EQ(schemaFile()->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO3);
    EXPECT_EQ(schemaFile()->package(), "");  // type names are global for the app's runtime
    std::map<std::string, const Descriptor*> messages;
    for (int i = 0; i < schemaFile()->message_type_count(); ++i) {
        collectMessages(schemaFile()->message_type(i), messages);
    }
    ASSERT_EQ(messages.size(), 33u);
    ASSERT_EQ(kSchema.size(), 33u);
    for (const auto& [name, fields] : kSchema) {
        auto found = messages.find(name);
        ASSERT_NE(found, messages.end()) << name;
        EXPECT_EQ(describe(found->second), fields) << name;
    }
}

// Value is one oneof (a set member is written even when zero), data is a
// map, and repeated doubles are packed.
TEST(ProtoSchema, ValueIsAOneofDataAMapAndDoublesArePacked) {
    ASSERT_EQ(Value::descriptor()->oneof_decl_count(), 1);
    EXPECT_EQ(Value::descriptor()->oneof_decl(0)->field_count(), 9);
    EXPECT_TRUE(DataPack::descriptor()->FindFieldByName("data")->is_map());
    EXPECT_TRUE(DataBuffer::descriptor()->FindFieldByName("buffer")->is_packed());
    EXPECT_TRUE(ProtoDataInfo::descriptor()->FindFieldByName("mDataBuffer")->is_packed());
    EXPECT_TRUE(ProtoSensorFuncInfo::descriptor()->FindFieldByName("mf64SegParas")->is_packed());
}

} // namespace
