#include "sample_records.h"

#include <google/protobuf/text_format.h>

#include "proto_insert.h"

namespace proto_samples {
namespace {

// Every field of every record set to a value other than its default, every
// list with two entries (text form, so that the sample reads like a file).
const char* const kFullMirror = R"(
mProtoSysInfo {
  mLanguage: 1 mLastLoad: true mLoadName: "/data/UserData/state1.sta" mPowerStatus: true
  mTouchEnable: true mBeeper: true mBrightness: 80 mIsDisplayTime: true
  mProtoUtilityIOInfo {
    mLanLinkStatus: 2 mStrMac: "00:11:22:33:44:55" mStrVisa: "TCPIP0::192.168.1.20::inst0::INSTR"
    mbDhcp: true mbAutoIp: true mbStaticIp: true mStrIp: "192.168.1.20" mStrGateway: "192.168.1.1"
    mStrSubNetMask: "255.255.255.0" mStrDNS: "192.168.1.2" mMDnsOn: true mHostname: "dmm-bench"
    mInterface: 1 mGpib: 7 mbUsbtmcSwitch: true mServiceName: "bench meter"
  }
}
mProtoFunctionInfo {
  mProtoBaseFuncInfo {
    ms32DMMFunc: 4 ms32DMMFunc2: -1 mbFunc2Enable: true mbAutoRange: true mu32DcvImpe: 1 mContResi: 10
    mProtoFuncCfgs { mbMainConfig: true ms32RangeMax: 5 mbSupportAuto: true mbSupportRate: true
                     mbAutoRange: true mbDcFilter: true ms32Range: -1 ms32AutoZ: 1 ms32Rate: 2 ms32RealFunc: 1 }
    mProtoFuncCfgs { mbMainConfig: true ms32RangeMax: 6 mbSupportAuto: true mbSupportRate: true
                     mbAutoRange: true mbDcFilter: true ms32Range: -2 ms32AutoZ: 2 ms32Rate: 2 ms32RealFunc: 2 }
  }
  mProtoMathFuncInfo {
    ms32CalcType: 3 mbMathSwitch: true ms32MathFunc: 7 mf64Db: -12.5 mu32RefR: 600 mCurMathTotalize: 2
    mProtoLimit { mf64Low: -0.25 mf64High: 1000000 }
    mProtoDataFormat { mSepChar: 1 mDotChar: -1 mbPlusSign: true }
    mProtoCalcCfgs { mbRELEnable: true mbAutoEnable: true mf64RELValue: 0.001 }
    mProtoCalcCfgs { mbRELEnable: true mbAutoEnable: true mf64RELValue: 0.002 }
  }
  mProtoTriggerInfo {
    ms32TrigSrc: 2 mbHold: true mu32SensIdx: 3 mf32Sensitivity: 0.5 mu32Sample: 100 mu32ExtEdge: 1
    mu32Interval: 250 mbVMC: true mu32VMCPolar: 1 mu32VMCPulseWidth: 4
  }
}
mProtoSensorInfo {
  mProtoProjProperty { mstrName: "PT100 bath" ms32Type: -2 mbThermocouple: true mstrUnit: "\302\260C"
                       mbCustomUnitSwitch: true }
  mu32TotalPoint: 2 mbTempture: true mu32TotalSegment: 1 mf64SegParas: 1.25 mf64SegParas: -0.0035
  mProtoTempProperty {
    mstrTempSensorName: "K-type" mstrTempSensorUnit: "\342\204\203" mu32TempSensorType: 1 mu32RtdAf: 2
    mu32ThermResValue: 3 mf32RtdR0: 100 mu32TcType: 4 mbTcCodeTerminalInt: true mf32CodeTerminalUser: 23.5
    ms32Type: -1
  }
  mProtoRefPoints { mf64XValue: 0.1 mf64YValue: -20 mu32MathSign: 1 mbSegSign: true }
  mProtoRefPoints { mf64XValue: 0.2 mf64YValue: -40 mu32MathSign: 2 mbSegSign: true }
  mProtoSegProperties { mu32MathSign: 1 mu32BeginPoi: 1 mu32EndPoi: 2 mu32LittleSegNum: 3 mu32ParaPos: 2 }
  mProtoSegProperties { mu32MathSign: 2 mu32BeginPoi: 2 mu32EndPoi: 3 mu32LittleSegNum: 3 mu32ParaPos: 4 }
  mbDisplayValue: true
}
mProtoImageInfo {
  mbImageColor: true mbImageInvert: true mbImageHeader: true mbFileOverWrite: true
  mDefaultFilePath: "USB:/shots"
}
)";

} // namespace

ProtoMirrorInfo fullMirror() {
    ProtoMirrorInfo mirror;
    google::protobuf::TextFormat::ParseFromString(kFullMirror, &mirror);
    return mirror;
}

DataPack everyKindPack() {
    DataPack pack;
    pack.set_code(0x2000122E);
    pack.set_stat(-55);
    auto& data = *pack.mutable_data();
    insertS32(data, 1, static_cast<unsigned int>(-5));
    insertU32(data, 2, 4000000000u);
    data[3].set_s64val(-(1LL << 40));  // no insert function for s64Val
    insertU64(data, 4, (1ULL << 63) + 1);
    insertBval(data, 5, true);
    insertF32(data, 6, 1.5f);
    insertF64(data, 7, -2.25);
    insertStr(data, 8, "100KΩ");
    insertRaw(data, 9, std::string("a\0b\xff", 4));
    return pack;
}

std::vector<std::string> unsetFields(const google::protobuf::Message& msg) {
    std::vector<std::string> missing;
    const auto* desc = msg.GetDescriptor();
    const auto* refl = msg.GetReflection();
    for (int i = 0; i < desc->field_count(); ++i) {
        const auto* field = desc->field(i);
        const std::string name = field->name();
        if (field->is_repeated()) {
            const int n = refl->FieldSize(msg, field);
            if (n == 0) {
                missing.push_back(name);
            }
            if (field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE) {
                for (int k = 0; k < n; ++k) {
                    for (const auto& sub : unsetFields(refl->GetRepeatedMessage(msg, field, k))) {
                        missing.push_back(name + "[" + std::to_string(k) + "]." + sub);
                    }
                }
            }
        } else if (!refl->HasField(msg, field)) {
            missing.push_back(name);
        } else if (field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE) {
            for (const auto& sub : unsetFields(refl->GetMessage(msg, field))) {
                missing.push_back(name + "." + sub);
            }
        }
    }
    return missing;
}

} // namespace proto_samples
