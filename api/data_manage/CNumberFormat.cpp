// Number format of the readings the UI shows (digit-group separator, decimal
// mark, plus sign) and the buffer clean of the UI. The separator and the
// decimal mark are never the same character.
#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "Util/logger.h"
#include "proto_extract.h"

namespace {

enum SeparateTypeEnum { SEP_DOT_COMMA = 0, SEP_NONE = 1, SEP_SPACE = 2 };
enum DecimalTypeEnum { TYPE_COMMA = 0, TYPE_DOT = 1 };

} // namespace

int CDataManage::cbFormatNumberSepSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(0x1000);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    std::lock_guard<std::mutex> lock(_mtx);
    switch (s32Of(it->second)) {
    case SEP_SPACE: m_sepChar = ' '; break;
    case SEP_NONE: m_sepChar = '\0'; break;
    case SEP_DOT_COMMA:
        if (m_dotChar == ',') m_sepChar = '.';
        else if (m_dotChar == '.') m_sepChar = ',';
        break;
    default: break;
    }
    ProtoDataFormat* format = m_protoMathFuncInfo.mutable_mprotodataformat();
    format->set_msepchar(m_sepChar);
    format->set_mdotchar(m_dotChar);
    PrintI("Set sep:'%c', dot:'%c'\n", m_sepChar, m_dotChar);
    return 0;
}

int CDataManage::cbFormatNumberDotSet(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(0x1001);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    std::lock_guard<std::mutex> lock(_mtx);
    switch (s32Of(it->second)) {
    case TYPE_DOT:
        m_dotChar = '.';
        if (m_sepChar == '.') m_sepChar = ',';
        break;
    case TYPE_COMMA:
        m_dotChar = ',';
        if (m_sepChar == ',') m_sepChar = '.';
        break;
    default: break;
    }
    ProtoDataFormat* format = m_protoMathFuncInfo.mutable_mprotodataformat();
    format->set_msepchar(m_sepChar);
    format->set_mdotchar(m_dotChar);
    PrintI("Set dot:'%c', sep:'%c'\n", m_dotChar, m_sepChar);
    return 0;
}

int CDataManage::cbFormatNumberPlusSign(unsigned int, const ValueMap& in, ValueMap*) {
    auto it = in.find(0x1002);
    if (it == in.end()) return E109_MISSING_PARAMETER;
    std::lock_guard<std::mutex> lock(_mtx);
    m_plusSign = boolOf(it->second);
    m_protoMathFuncInfo.mutable_mprotodataformat()->set_mbplussign(m_plusSign);
    return 0;
}

int CDataManage::cbFormatNumberSepGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(_mtx);
    const char* text = m_sepChar == '.' || m_sepChar == ',' ? "ON" : m_sepChar == ' ' ? "SPAC" : "NONE";
    insertStr(*out, 0x1000, text);
    return 0;
}

int CDataManage::cbFormatNumberDotGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(_mtx);
    insertStr(*out, 0x1001, m_dotChar == '.' ? "DOT" : m_dotChar == ',' ? "COMM" : "");
    return 0;
}

// A client's clean, unlike the loop's own after a range step, empties what
// the other clients armed.
int CDataManage::cbBufferClean(unsigned int, const ValueMap&, ValueMap*) {
    BufferClean();
    othersArmsStale();
    return 0;
}
