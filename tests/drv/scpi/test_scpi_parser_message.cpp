// Program messages as clients write them: separators, the path between
// commands, whitespace, parameter elements, bounds and the errors queued for
// what the parser refuses.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "scpi_parser_fixture.h"

namespace {

using testing_support::ParsedCmd;
using testing_support::ScpiParserTest;
using Ids = std::vector<uint32_t>;

constexpr uint32_t kCls = 0x10001B00, kRst = 0x10001B06, kIdn = 0x20001B03, kErrQ = 0x20001E00;
constexpr uint32_t kVersQ = 0x20001E01, kDel = 0x10000F01;
constexpr int kNoKeyword = E113_UNDIFINED_HEADER_NOT_FOUND_KEYWORD, kTooMany = E113_UNDIFINED_HEADER_TOO_MANY_KEYWORD;
constexpr int kNoParam = E108_PARAMETER_NOT_ALLOWED;

struct MessageCase {
    std::string text;
    Ids ids;
    std::vector<int> errors;
    int set;
};

const std::vector<MessageCase> kMessages = {
    // Case, common commands anywhere, queries apart from their settings.
    {"*idn?", {kIdn}, {}, 0},
    {"*IDN?;*OPC?\n", {kIdn, 0x20001B04}, {}, 0},
    {"*ESE?", {0x20001B01}, {}, 0},
    // The path: kept after ';', rooted by ':', '*' and the line feed, and
    // after a last parameter of plain characters; a relative header may climb.
    {"SYST:ERR?;VERS?", {kErrQ, kVersQ}, {}, 0},
    {"SYST:ERR?;*IDN?;:SYST:VERS?", {kErrQ, kIdn, kVersQ}, {}, 0},
    {"SYST:ERR?;:VERS?", {kErrQ}, {kNoKeyword}, 0},
    {"SYST:ERR?\nVERS?", {kErrQ}, {kNoKeyword}, 0},
    {"SYST:ERR?;*CLS;VERS?", {kErrQ, kCls}, {kNoKeyword}, 0},
    {"SYST:COMM:LAN:HOST \"dmm\";HOST?", {0x10001217, 0x20001218}, {}, 0},
    {"SYST:COMM:LAN:DHCP ON;DHCP?", {0x10001204}, {kNoKeyword}, 0},
    {"SENS:VOLT:DC:RANG?;NPLC?", {0x20000652, 0x2000262A}, {}, 0},
    {"SYST:BEEP;ERR?", {0x702, kErrQ}, {}, 0},
    // Optional keywords and rows of the same name.
    {"SYST:BEEP;:SYSTEM:BEEPER:IMMEDIATE", {0x702, 0x702}, {}, 0},
    {"CALC:AVER ON;:CALC:AVER:STAT ON;:CALC:AVER?;:CALCULATE:AVERAGE:STATE?",
     {0x10002000, 0x10002000, 0x20002000, 0x20002000}, {}, 0},
    // The optional DC before NPLC is a brother of the plain DC the range rows need.
    {"CURR:NPLC 10;:SENS:CURR:DC:NPLC 1;:CURR:DC:RANG 1;:CURR:RANG 1", {0x10002606, 0x10002606, 0x10000654},
     {kNoKeyword}, 0},
    {"CAP:RANG 1;:CAP:RANG:AUTO ON;:CAP:RANG?", {0x1000065A, 0x10000651, 0x2000065A}, {}, 0},
    {"STAT:OPER?;:CONF?;:STAT:QUES?", {0x20001D02, 0x2000061D, 0x20001D06}, {}, 0},
    {"TRIG:COUN 1", {0x10002500}, {}, 0},
    {"TRIG:COUN 1", {0x10001104}, {}, 1},
    // Corvane rows stored behind a leaf cannot be named; the leaf still answers.
    {"SYST:BEEP:STAT ON;:SENS:VOLT:DC:RANG:AUTO ON;:CALC:AVER:STAT ON;:CALC:SCAL:DB:REF 1;:TRIG:DEL:AUTO ON",
     {}, std::vector<int>(5, kNoKeyword), 1},
    {"SYST:BEEP;:SENS:VOLT:DC:RANG 1;:SENS:CURR:AC:RANG:AUTO ON", {0x702, 0x10000652, 0x1000064C}, {}, 1},
    // Corvane resistance NPLCycles repeat the keyword; DC voltage and current take it once.
    {"SENS:FRES:NPLC:NPLC 10;:FRES:NPLCYCLES:NPLCYCLES 1;:RES:NPLC:NPLC 1;:VOLT:DC:NPLC 1;:CURR:DC:NPLC?",
     {0x10000647, 0x10000647, 0x10000646, 0x10000644, 0x20000645}, {}, 1},
    {"SENS:FRES:NPLC 10;:SENS:RES:NPLC?", {}, {E110_CMD_HEADER_ERROR, E110_CMD_HEADER_ERROR}, 1},
    // The one Pello leaf without a message id.
    {"RANGE2?;:RANGE1?;:SYST:BEEP:STAT ON", {0, 0x20001F12}, {kNoKeyword}, 2},
    // Whitespace and empty units.
    {" \t*IDN? \r\n", {kIdn}, {}, 0},
    {";;*CLS;; \n\n", {kCls}, {}, 0},
    // Unknown headers, a keyword longer than any row's name among them; empty
    // keywords are ignored silently.
    {"*CLS;FOO:BAR 1;*RST", {kCls, kRst}, {kNoKeyword}, 0},
    {"SYST:COMM", {}, {E110_CMD_HEADER_ERROR}, 0},
    {"ABCDEFGHIJKLMNOPQRS", {}, {kNoKeyword}, 0},
    {"*CLS;ABCDEFGHIJKLMNOPQRST;*RST", {kCls, kRst}, {kNoKeyword}, 0},
    {"SYST:XXXXXXXXXXXXXXXXXXXX 1;*IDN?", {kIdn}, {kNoKeyword}, 0},
    {"::FOO;SYST:", {}, {}, 0},
    // Six keywords resolve, a seventh is one too many.
    {"SENS:CURR:AC:NULL:VAL:AUTO ON", {0x1000260D}, {}, 0},
    {"SENS:CURR:AC:NULL:VAL:AUTO:X ON;:*CLS;A:B:C:D:E:F:G:H", {kCls}, {kTooMany, kTooMany}, 0},
    // Six elements are handed over, a seventh is not allowed.
    {"DATA:REM? 1,2,3,4,5,6,7;:*CLS;:DATA:REM? " + std::string(600, ','), {kCls},
     {E108_PARAMETER_NOT_ALLOWED, E108_PARAMETER_NOT_ALLOWED}, 0},
    // A command that takes no parameter refuses one, in every set, and the
    // rest of the message goes on; queries that take one keep it.
    {"*IDN? 5;*CLS;VOLT:DC:RANG? MIN;:VOLT:DC:RANG? FOO;:VOLT:DC:RANG?", {kCls, 0x20000652},
     {kNoParam, kNoParam, kNoParam}, 0},
    {"*IDN? 5;:VOLT:DC:RANG? MIN;:MEAS:VOLT:DC? 10,MIN;:SYST:COMM:LAN:UPD 1;:SYST:COMM:LAN:UPD",
     {0x20000600, 0x10001202}, {kNoParam, kNoParam, kNoParam}, 1},
    {"*IDN? 5;*RST X;*RST;RANGE1? 2;:SYST:COMM:LAN:VISA? SOCK", {kRst, 0x2000121C}, {kNoParam, kNoParam, kNoParam}, 2},
    // More elements than the row declares: refused whole, in every set; as
    // many as declared, or fewer, are taken.
    {"CONF:VOLT:DC 10,1e-6,5;:CAL:DATA 1,5;:SYST:DATE 2024,5,6,7;:SYST:DATE 2024,5,6;:CONF:VOLT:DC 10,1e-6;:CAL:DATA",
     {0x10001237, 0x10000611, 0x10000C00}, {kNoParam, kNoParam, kNoParam}, 0},
    {"CONF:VOLT:DC 10,MIN,5;:TRIG:COUN 2,3;:FUNC? 1;:CONF:VOLT:DC 10,MIN;:TRIG:COUN 2", {0x10000611, 0x10001104},
     {kNoParam, kNoParam, kNoParam}, 1},
    {"CMDS 1,2;:RANGE 1,2;:MAXSET 1,2;:SYST:COMM:LAN:DESC \"a\",\"b\";:RANGE 1;:CMDS?", {0x10001F12, 0x20001C00},
     {kNoParam, kNoParam, kNoParam, kNoParam}, 2},
    // A parameter the row declares but never hands over is no parameter either.
    {"CALC:AVER:AVER? 5;:CALC:LIM:LOW? MAX;:CALC:AVER:COUN? 5;:R? 3;:SYST:CONF:DEF 1", {0x318, 0x20000610},
     {kNoParam, kNoParam, kNoParam}, 0},
    // Sets: each tree has its own commands.
    {"CMDS PELL;*TST?", {}, {kNoKeyword, kNoKeyword}, 0},
    {"CMDS PELL;*TST?", {0x10001C00, 0x20001B0A}, {}, 2},
};

TEST_F(ScpiParserTest, MessagesGiveTheirCommandsAndQueueTheirErrors) {
    for (const MessageCase& c : kMessages) {
        SCOPED_TRACE(c.text.substr(0, 80));
        ASSERT_EQ(parser.ApiScpi_SelectCmdTree(c.set), 0);
        DrvScpi_SmInitial();
        EXPECT_EQ(ids(parse(c.text)), c.ids);
        EXPECT_EQ(drainErrors(), rows(c.errors));
        // Every refused unit is a command error in the event register.
        EXPECT_EQ((esr() & SCP_ESR_CME) != 0, !c.errors.empty());
    }
}

// Refused parameters (a malformed block, a string or expression not closed
// before the line feed, an over-long parameter text) mark a command error; the
// rest of their message goes, the next stays. Only the over-long text queues
// an error of its own (-223): the others leave -100 to the transport.
TEST_F(ScpiParserTest, RefusedParametersEndTheirMessageOnly) {
    const std::vector<std::tuple<std::string, Ids, std::vector<int>>> cases = {
        {"*CLS;MMEM:DEL #25A;*RST\n*IDN?", {kCls, kIdn}, {}},
        {"*CLS;MMEM:DEL #10;*RST", {kCls}, {}},
        {"*CLS;MMEM:DEL #3100HELLO;*RST", {kCls}, {}},
        {"*CLS;MMEM:DEL #15HELLOx;*RST\n*IDN?", {kCls, kIdn}, {}},
        {"*CLS;MMEM:DEL \"" + std::string(1278, 'x') + "\";*RST", {kCls}, {E223_TOO_MUCH_DATA}},
        {"*CLS;MMEM:DEL " + std::string(4000, 'x') + ";*RST\n*IDN?", {kCls, kIdn}, {E223_TOO_MUCH_DATA}},
        {"SYST:COMM:LAN:DESC \"lab\n*IDN?\n", {kIdn}, {}},
        {"SYST:COMM:LAN:DESC 'lab'x;*RST", {}, {}},
        {"MMEM:DEL (1,(2)\n*CLS;*RST", {kCls, kRst}, {}},
        {std::string("MMEM:DEL \"a\0\"\n*CLS", 18), {}, {}},
    };
    for (const auto& [text, expected, errors] : cases) {
        SCOPED_TRACE(text.substr(0, 80));
        DrvScpi_SmInitial();
        EXPECT_EQ(ids(parse(text)), expected);
        EXPECT_EQ(drainErrors(), rows(errors));
        EXPECT_NE(esr() & SCP_ESR_CME, 0);
    }
}

struct ElementCase {
    std::string params;
    std::vector<std::string> texts;
    std::vector<SCP_MSG_BLOCK_TYPE_EN> types;
};

const std::string kBinary("A;B,\n\0C ", 8);
const std::string kLongest = "\"" + std::string(1277, 'x') + "\"";
const std::string kBlock = "#41270" + std::string(1270, '\0');

const std::vector<ElementCase> kElements = {
    {"\t16", {"16"}, {SCP_BT_DECIMAL}},
    {" ", {}, {}},
    {",5", {"", "5"}, {SCP_BT_UNKNOWN, SCP_BT_DECIMAL}},
    {"  \"a  b\"  ,  x y  \r", {"\"a  b\"", "x y"}, {SCP_BT_STRING, SCP_BT_UNKNOWN}},
    {"-1.5E+3,.5,10 mV,1.5KHZ,MIN", {"-1.5E+3", ".5", "10 mV", "1.5KHZ", "MIN"},
     {SCP_BT_DECIMAL, SCP_BT_DECIMAL, SCP_BT_SUFFIX, SCP_BT_SUFFIX, SCP_BT_CHAR}},
    {"#H1F,#0,'it''s, ok',\"a;b\",(1,(2;3))", {"#H1F", "#0", "'it''s, ok'", "\"a;b\"", "(1,(2;3))"},
     {SCP_BT_NONDECIMAL, SCP_BT_NONDECIMAL, SCP_BT_STRING, SCP_BT_STRING, SCP_BT_EXPRESSION}},
    // Malformed numbers are handed over as typed: the converter or the
    // handler judges them, with its own error.
    {"1.2.3,1e,--5,10 m V", {"1.2.3", "1e", "--5", "10 m V"},
     {SCP_BT_UNKNOWN, SCP_BT_UNKNOWN, SCP_BT_UNKNOWN, SCP_BT_UNKNOWN}},
    {"#15HELLO", {"#15HELLO"}, {SCP_BT_ARBITRARY}},
    {"#18" + kBinary + ",#202xy ", {"#18" + kBinary, "#202xy"}, {SCP_BT_ARBITRARY, SCP_BT_ARBITRARY}},
    {"1,2,3,4,5,\"6\"", {"1", "2", "3", "4", "5", "\"6\""},
     {SCP_BT_DECIMAL, SCP_BT_DECIMAL, SCP_BT_DECIMAL, SCP_BT_DECIMAL, SCP_BT_DECIMAL, SCP_BT_STRING}},
    {kLongest, {kLongest}, {SCP_BT_STRING}},
    {kBlock, {kBlock}, {SCP_BT_ARBITRARY}},
};

TEST_F(ScpiParserTest, ParameterElementsAreHandedOverWhole) {
    for (const ElementCase& c : kElements) {
        SCOPED_TRACE(c.params.substr(0, 40));
        // Elements are cut before the row judges their count: a command that
        // takes fewer is handed over refused, with them.
        std::vector<ParsedCmd> got = parse("DATA:REM? " + c.params + ";*RST");
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(ids(got), (c.texts.size() > 2 ? Ids{kRst} : Ids{0x20002103, kRst}));
        EXPECT_EQ(got[0].elements, c.texts);
        EXPECT_EQ(got[0].types, c.types);
        EXPECT_EQ(drainErrors(), rows(std::vector<int>(c.texts.size() > 2, kNoParam)));
    }
}

TEST_F(ScpiParserTest, ResultsAndTheEndOfTheText) {
    int result = -1;
    parse(":" + std::string(1023, 'A'), &result);
    EXPECT_EQ(result, 0);  // within the bound: a header, though none the set knows
    EXPECT_EQ(drainErrors(), rows({kNoKeyword}));
    // A header over 1024 bytes: the transport reports the message as a whole.
    EXPECT_EQ(ids(parse("*CLS;" + std::string(1025, 'A') + ";*RST", &result)), Ids{kCls});
    EXPECT_EQ(result, E223_TOO_MUCH_DATA);
    parse(std::string("\0*CLS", 5), &result);
    EXPECT_EQ(result, E220_PARAMETER_ERROR);
    parse("", &result);
    EXPECT_EQ(result, E220_PARAMETER_ERROR);
    EXPECT_TRUE(drainErrors().empty());

    EXPECT_EQ(ids(parse(std::string("*CLS\0*RST", 9))), Ids{kCls});
    Ids got;  // only `length` bytes count; no NUL needed
    parser.ApiScpi_DoParse("*CLS;*RSTGARBAGE", 9, 0, [&got](const ScpiParsedCmd& c) { got.push_back(c.u32FuncId); });
    EXPECT_EQ(got, (Ids{kCls, kRst}));
    // The path does not carry into the next message.
    parse("SYST:ERR?");
    EXPECT_TRUE(ids(parse("VERS?")).empty());
}

TEST_F(ScpiParserTest, SetSelectionSwitchesTreeAndMapTogether) {
    EXPECT_EQ(parser.ApiScpi_CmdTreeGet(), SCPI_CMD_VORNA);
    EXPECT_EQ(execute.selected, SCPI_CMD_VORNA);
    ASSERT_EQ(parser.ApiScpi_SelectCmdTree(SCPI_CMD_CORVANE), 0);
    EXPECT_EQ(execute.selected, SCPI_CMD_CORVANE);
    int calls = execute.calls;
    EXPECT_EQ(parser.ApiScpi_SelectCmdTree(3), E220_PARAMETER_ERROR);
    EXPECT_EQ(parser.ApiScpi_SelectCmdTree(-1), E220_PARAMETER_ERROR);
    EXPECT_EQ(parser.ApiScpi_CmdTreeGet(), SCPI_CMD_CORVANE);
    EXPECT_EQ(execute.calls, calls);
    std::vector<ParsedCmd> got = parse("*TST?");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].set, SCPI_CMD_CORVANE);
}

} // namespace
