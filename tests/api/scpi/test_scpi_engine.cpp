// The SCPI engine with the generated tables: parsing into commands, parameter
// conversion, execution through the hub and the response text.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "CDataManage.h"
#include "DrvInterfaceManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "ScpiReplyBudget.h"
#include "scpi_engine_env.h"

using scpi_test::EngineTest;
using ValueMap = google::protobuf::Map<int, Value>;

namespace {

// Query handlers that answer one value of each kind, bound once under ids of
// a group no manager uses.
constexpr unsigned int kReplyBase = 0x2000FE00;

struct ReplyCase {
    const char* name;
    std::function<void(ValueMap&)> fill;
    std::string text;
};

const std::vector<ReplyCase>& replyCases() {
    static const std::vector<ReplyCase> cases = {
        {"s32", [](ValueMap& m) { insertS32(m, 1, static_cast<uint32_t>(-42)); }, "-42"},
        {"u32", [](ValueMap& m) { insertU32(m, 1, 4000000000u); }, "4000000000"},
        {"s64", [](ValueMap& m) { m[1].set_s64val(-5000000000LL); }, "-5000000000"},
        {"u64", [](ValueMap& m) { insertU64(m, 1, 18000000000000000000ULL); }, "18000000000000000000"},
        {"bool", [](ValueMap& m) { insertBval(m, 1, true); }, "1"},
        {"f64", [](ValueMap& m) { insertF64(m, 1, 1.5); }, "1.500000"},
        {"f32", [](ValueMap& m) { insertF32(m, 1, 0.5f); }, "0.500000"},
        {"overload", [](ValueMap& m) { insertF64(m, 1, 1e20); }, "100000000000000000000.000000"},
        {"text", [](ValueMap& m) { insertStr(m, 1, "abc"); }, "abc"},
        {"raw", [](ValueMap& m) { insertRaw(m, 1, std::string("A\0B;C", 5)); },
         std::string("#9000000005A\0B;C", 16)},
        {"unset", [](ValueMap& m) { m[1]; }, ""},
        {"largest key", [](ValueMap& m) {
             insertS32(m, 0x1B03, 7);
             insertStr(m, 0x40001B03, "seven");
         }, "seven"},
        // A line feed in a text would end the response early.
        {"control characters", [](ValueMap& m) { insertStr(m, 1, "a\nb\r\t\x7f\x01" "c"); }, "a?b????c"},
    };
    return cases;
}

void bindReplyHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (size_t i = 0; i < replyCases().size(); ++i) {
            auto fill = replyCases()[i].fill;
            CFEM::instance()->bindCallback(kReplyBase + static_cast<unsigned int>(i),
                                           [fill](unsigned int, const ValueMap&, ValueMap* out) {
                                               fill(*out);
                                               return 0;
                                           });
        }
    });
}

std::string errorText(int row) {
    return g_asErrInfo[row];
}

}  // namespace

TEST_F(EngineTest, RepliesJoinWithSemicolonsAndEndWithLineFeed) {
    const std::string idn = ask("*IDN?\n");
    EXPECT_EQ(idn.rfind("Vorna Technologies,", 0), 0u) << idn;
    EXPECT_EQ(std::count(idn.begin(), idn.end(), ','), 3);
    ASSERT_EQ(idn.back(), '\n');
    const std::pair<std::string, std::string> cases[] = {
        {"*idn?\n", idn},
        {"*IDN?;*OPC?\n", idn.substr(0, idn.size() - 1) + ";1\n"},
        {"SYST:ERR?;VERS?\n", errorText(E0_NO_ERROR) + ";1999.0\n"},
        // ";" stands only between answers: a failed query (nobody serves
        // LANG? here) or a command after the last query adds none.
        {"SYST:VERS?;:SYST:LANG?\n", "1999.0\n"},
        {"*IDN?;*CLS\n", idn},
        {"*ESE?;*SRE?;*CLS;*CLS\n", "0;0\n"},
        {"*CLS;*ESE 0;*SRE 0\n", ""},
        // A refused unit's error lands in its turn, after the *CLS before it.
        {"*CLS;FOO:BAR:BAZ 1;*ESR?;SYST:ERR?\n", "32;" + errorText(E113_UNDIFINED_HEADER_NOT_FOUND_KEYWORD) + "\n"},
        {"*CLS;XXXXXXXXXXXXXXXXXXXX;*ESR?;:SYST:ERR?\n", "32;" + errorText(E113_UNDIFINED_HEADER_NOT_FOUND_KEYWORD) + "\n"},
        {"*CLS;*ESE 12abc;SYST:ERR?\n", errorText(E220_PARAMETER_ERROR) + "\n"},
        {"*CLS;MMEM:DEL #10\n*ESR?\n", "32\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ask(c.first), c.second) << c.first;
    }
    EXPECT_EQ(execute(scpi_test::listOf({0x20001B0A, 0x20001B0A})), "0;0\n");
}

TEST_F(EngineTest, ReplyTextFollowsTheValueKind) {
    bindReplyHandlers();
    for (size_t i = 0; i < replyCases().size(); ++i) {
        EXPECT_EQ(execute(scpi_test::listOf({kReplyBase + static_cast<unsigned int>(i)})),
                  replyCases()[i].text.empty() ? "" : replyCases()[i].text + "\n")
            << replyCases()[i].name;
    }
    // An unset value contributes nothing but keeps its separator.
    unsigned int unset = kReplyBase + 10, text = kReplyBase + 8;
    EXPECT_EQ(execute(scpi_test::listOf({unset, text})), ";abc\n");
    int result = -1;
    EXPECT_EQ(execute(scpi_test::listOf({text, 0x2000FDFF}), &result), "abc\n");
    EXPECT_EQ(result, E101_INVALID_CHARACTER);
}

TEST_F(EngineTest, ResetIsSilentAndReloadsDefaults) {
    ProtoTriggerFuncInfo defaults, changed, after;
    CDataManage::instance()->ProtoTriggerFuncInfoDefault(defaults);
    changed.CopyFrom(defaults);
    changed.set_mu32sample(defaults.mu32sample() + 7);
    CDataManage::instance()->ProtoTriggerFuncInfoSet(changed);
    EXPECT_EQ(ask("*ESE 16;*SRE 64\n"), "");
    EXPECT_EQ(ask("*RST\n"), "");
    CDataManage::instance()->ProtoTriggerFuncInfoGet(after);
    EXPECT_EQ(after.mu32sample(), defaults.mu32sample());
    // Queue and events are emptied, the enables kept.
    EXPECT_EQ(ask("*STB?;*ESR?;*ESE?;SYST:ERR?\n"), "0;0;16;" + errorText(E0_NO_ERROR) + "\n");
}

TEST_F(EngineTest, ParametersConvertByTheirType) {
    // More than 63 bytes of text arrive whole, up to the parser's bound.
    for (size_t length : {100u, 1200u}) {
        std::string description = "\"" + std::string(length, 'd') + "\"";
        auto cmds = parse("SYST:COMM:LAN:DESC " + description + "\n");
        ASSERT_EQ(cmds.size(), 1u);
        ASSERT_EQ(cmds[0].params.count(0x121E), 1u);
        EXPECT_EQ(cmds[0].params.at(0x121E).strval(), description);
    }
    // The three declared elements convert; a fourth is refused with the command.
    auto date = parse("SYST:DATE 2024,5,6;:SYST:DATE 2024,5,6,7\n");
    ASSERT_EQ(date.size(), 2u);
    EXPECT_EQ(date[0].params.at(0x1238).strval(), "2024");
    EXPECT_EQ(date[0].params.at(0x123A).strval(), "6");
    EXPECT_TRUE(date[1].refused);
    EXPECT_TRUE(date[1].params.empty());
    execute({date[1]});  // its error comes in its turn
    EXPECT_EQ(ask("SYST:ERR?\n"), errorText(E108_PARAMETER_NOT_ALLOWED) + "\n");

    auto on = parse("SYST:BEEP:STAT Yes;:SYST:BEEP:STAT off\n");
    ASSERT_EQ(on.size(), 2u);
    EXPECT_TRUE(on[0].params.at(0x700).bval());
    EXPECT_FALSE(on[1].params.at(0x700).bval());
    auto bad = parse("SYST:BEEP:STAT 2\n");
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_TRUE(bad[0].params.empty());
    execute(bad);

    auto enumerated = parse("SYST:CONF:POW LAST;:SYST:CONF:POW 3\n");
    ASSERT_EQ(enumerated.size(), 2u);
    EXPECT_EQ(enumerated[0].params.at(0x1224).s32val(), 1);
    EXPECT_EQ(enumerated[1].params.at(0x1224).s32val(), 3);
    EXPECT_EQ(parse("*SRE 48\n")[0].params.at(0x1B07).s32val(), 48);
    EXPECT_EQ(ask("SYST:ERR?;ERR?\n"), errorText(E220_PARAMETER_ERROR) + ";" + errorText(E0_NO_ERROR) + "\n");
}

// Numbers are read whole and refused rather than cut or wrapped; the row
// tells the integer, keyword and real conversions apart. Text that is no
// number is a command error, a number beyond its type an execution error.
TEST_F(EngineTest, NumericParametersAreReadWholeOrRefused) {
    constexpr int kNone = 0, kExe = SCP_ESR_EXE, kCme = SCP_ESR_CME;
    const struct {
        const char* text;
        int key;
        int32_t value;
        int error;
        int event;
    } cases[] = {
        {"*ESE 1e2\n", 0x1B01, 100, 0, kNone},
        {"*SRE #H24\n", 0x1B07, 36, 0, kNone},
        {"STAT:QUES:ENAB #B100000000000\n", 0x1D05, 2048, 0, kNone},
        {"DATA:POIN:EVEN:THR 1e3\n", 0x2102, 1000, 0, kNone},
        {"*ESE -2.5\n", 0x1B01, -3, 0, kNone},
        {"*ESE NaN\n", 0, 0, E224_ILLEGAL_PARAMETER_VALUE, kExe},
        {"*ESE 9.9e37\n", 0, 0, E222_DATA_OUT_OF_RANGE, kExe},
        {"DATA:POIN:EVEN:THR 4294967297\n", 0, 0, E222_DATA_OUT_OF_RANGE, kExe},
        {"*ESE 12abc\n", 0, 0, E220_PARAMETER_ERROR, kCme},
        {"*SRE abc\n", 0, 0, E220_PARAMETER_ERROR, kCme},
        {"CAL:DATA abc\n", 0, 0, E220_PARAMETER_ERROR, kCme},
        {"SYST:CONF:POW 4294967296\n", 0, 0, E222_DATA_OUT_OF_RANGE, kExe},
        {"CAL:DATA nan\n", 0, 0, E224_ILLEGAL_PARAMETER_VALUE, kExe},
        {"CAL:DATA -1e999\n", 0, 0, E222_DATA_OUT_OF_RANGE, kExe},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto cmds = parse(c.text);
        ASSERT_EQ(cmds.size(), 1u);
        EXPECT_EQ(cmds[0].refused, c.error != 0);
        if (c.error == 0) {
            ASSERT_EQ(cmds[0].params.count(c.key), 1u);
            EXPECT_EQ(cmds[0].params.at(c.key).s32val(), c.value);
        } else {
            execute(cmds);  // refused: it only reports
        }
        EXPECT_EQ(ask("SYST:ERR?;ERR?;*ESR?\n"),
                  errorText(c.error) + ";" + errorText(E0_NO_ERROR) + ";" + std::to_string(c.event) + "\n");
    }
}

TEST_F(EngineTest, CommandSetSelection) {
    ValueMap request, reply;
    insertS32(request, 0x1C00, 3);
    EXPECT_EQ(CFEM::handleMessage(2, 0x10001C00, request, &reply), E220_PARAMETER_ERROR);
    EXPECT_EQ(ScpiManage::instance().ApiScpi_CmdTreeGet(), 0);
    EXPECT_EQ(CFEM::handleMessage(2, 0x10001C00, ValueMap(), &reply), E109_MISSING_PARAMETER);
    // *TST? belongs to the other two sets; the keyword map follows the tree
    // (CORV is a keyword of the third).
    const struct {
        int set;
        const char* text;
        const char* reply;
    } cases[] = {{1, "*TST?\n", "0\n"}, {2, "CMDS?\n", "PELL\n"}, {2, "CMDS CORV\n", ""}};
    for (const auto& c : cases) {
        request[0x1C00].set_s32val(c.set);
        EXPECT_EQ(CFEM::handleMessage(2, 0x10001C00, request, &reply), 0);
        EXPECT_EQ(ask(c.text), c.reply) << c.text;
    }
    EXPECT_EQ(ScpiManage::instance().ApiScpi_CmdTreeGet(), 1);
    ScpiManage::instance().start();
    EXPECT_EQ(ScpiManage::instance().ApiScpi_CmdTreeGet(), 0);
}

// A parameter the command does not take is one mistake, in every set: -108
// alone (the message is no empty one), and the command does not run.
TEST_F(EngineTest, ParametersBeyondTheRowQueueOneErrorAndRunNothing) {
    const struct {
        int set;
        const char* text;
    } cases[] = {{0, "*IDN? 5\n"}, {0, "*ESE 4,5\n"}, {0, "ABOR 1\n"},  {1, "*IDN? 5\n"},
                 {1, "*ESE 4,5\n"}, {2, "*ESE 4,5\n"}, {2, "CMDS 0,1\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ValueMap request, reply;
        insertS32(request, 0x1C00, c.set);
        ASSERT_EQ(CFEM::handleMessage(2, 0x10001C00, request, &reply), 0);
        EXPECT_EQ(ScpiManage::instance().ApiScpi_ProcessMessage(c.text, static_cast<uint32_t>(std::strlen(c.text)),
                                                                nullptr),
                  ScpiManage::MessageResult::Posted);
        EXPECT_TRUE(scpi_test::drainEngine());
        EXPECT_EQ(ScpiManage::instance().ApiScpi_CmdTreeGet(), c.set);
        EXPECT_EQ(ask("*ESE?;SYST:ERR?;ERR?\n"), "0;" + errorText(E108_PARAMETER_NOT_ALLOWED) + ";" +
                                                      errorText(E0_NO_ERROR) + "\n");
    }
    ScpiManage::instance().start();
}

TEST_F(EngineTest, MessagesThatYieldNothingAreRejected) {
    int result = 0;
    EXPECT_TRUE(parse(std::string("\0*IDN?\n", 7), &result).empty());
    EXPECT_EQ(result, E220_PARAMETER_ERROR);
    EXPECT_EQ(parse(std::string(1100, 'A') + "\n", &result).size(), 0u);
    EXPECT_EQ(result, E223_TOO_MUCH_DATA);
    // Refused parameters mark the command error; the queue then holds -100
    // alone, the transport's entry for a message that listed nothing, a
    // command error too: an empty message and a header too long as well.
    for (const std::string& text :
         {std::string("\0", 1), std::string("MMEM:DEL #10\n"), std::string("SYST:COMM:LAN:DESC \"lab\n"),
          std::string("X (1\n"), std::string(";"), std::string("\n"), std::string(1100, 'A') + "\n"}) {
        SCOPED_TRACE(text.substr(0, 20));
        EXPECT_EQ(ScpiManage::instance().ApiScpi_ProcessMessage(text.data(), static_cast<uint32_t>(text.size()),
                                                                nullptr),
                  ScpiManage::MessageResult::Rejected);
        EXPECT_EQ(ask("SYST:ERR?;ERR?;*ESR?\n"),
                  errorText(E100_CMD_ERROR) + ";" + errorText(E0_NO_ERROR) + ";" + std::to_string(SCP_ESR_CME) + "\n");
    }
}

namespace {

// Answers a block of as many bytes as its parameter asks; counts its runs.
constexpr unsigned int kSizedBlock = 0x2000FC00;
std::atomic<int> sizedRuns{0};

std::vector<structScpiInfo> blocksOf(const std::vector<int>& sizes) {
    static std::once_flag once;
    std::call_once(once, [] {
        CFEM::instance()->bindCallback(kSizedBlock, [](unsigned int, const ValueMap& in, ValueMap* out) {
            ++sizedRuns;
            insertRaw(*out, 1, std::string(static_cast<size_t>(in.at(1).s32val()), 'x'));
            return 0;
        });
    });
    std::vector<structScpiInfo> cmds;
    for (int size : sizes) {
        cmds.emplace_back();
        cmds.back().funcID = kSizedBlock;
        cmds.back().query = true;
        insertS32(cmds.back().params, 1, static_cast<uint32_t>(size));
    }
    return cmds;
}

}  // namespace

// One response stays within its bound, and within what the unread replies of
// all clients leave; past it the rest of the message is not executed and
// -223 says why. Short answers always fit.
TEST_F(EngineTest, ResponsesAreBoundedAloneAndOverAllClients) {
    constexpr int kMiB = 1 << 20;
    struct Case {
        const char* name;
        uint64_t heldByOthers;
        std::vector<structScpiInfo> cmds;
        size_t blocks;  // answered before the bound
        bool refused;
    };
    const Case cases[] = {
        {"within the bound", 0, blocksOf({kMiB, kMiB, kMiB}), 3, false},
        {"one response above 16 MiB", 0, blocksOf(std::vector<int>(20, kMiB)), 15, true},
        {"a short answer while the budget is spent", ScpiReplyBudget::kTotal, blocksOf({100, 100}), 2, false},
        {"a long answer while the budget is spent", ScpiReplyBudget::kTotal, blocksOf({100, kMiB, 100}), 1, true},
        {"a long answer that fits what is left", ScpiReplyBudget::kTotal - 4u * kMiB, blocksOf({kMiB, kMiB}), 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IEEE488_CLS_Excu();
        sizedRuns = 0;
        ScpiReplyBudget::instance().hold(c.heldByOthers);
        int result = 0;
        const std::string reply = execute(c.cmds, &result);
        ScpiReplyBudget::instance().release(c.heldByOthers);
        EXPECT_EQ(static_cast<size_t>(std::count(reply.begin(), reply.end(), '#')), c.blocks);
        EXPECT_EQ(reply.back(), '\n');
        EXPECT_NE(reply[reply.size() - 2], ';');
        // The command that would pass the bound ran; none after it.
        EXPECT_EQ(static_cast<size_t>(sizedRuns.load()), c.refused ? c.blocks + 1 : c.cmds.size());
        EXPECT_EQ(result, c.refused ? E223_TOO_MUCH_DATA : 0);
        EXPECT_EQ(ask("SYST:ERR?\n"), errorText(c.refused ? E223_TOO_MUCH_DATA : E0_NO_ERROR) + "\n");
    }
}

// A query that hands readings over (R?, DATA:REM?) removes them only with an
// answer that is sent: refused by a bound, it leaves the memory as it was.
TEST_F(EngineTest, ReadingsStayWhenTheirAnswerIsRefused) {
    static std::once_flag once;
    std::call_once(once, [] {
        CFEM::instance()->bindCallback(0x20000610, [](unsigned int s, const ValueMap& in, ValueMap* out) {
            return CDataManage::instance()->cbMeasDataR(s, in, out);
        });
        CFEM::instance()->bindCallback(0x20002103, [](unsigned int s, const ValueMap& in, ValueMap* out) {
            return CDataManage::instance()->cbDataRemove(s, in, out);
        });
    });
    constexpr size_t kStored = 8000;  // over 64 KiB of text
    const struct {
        const char* name;
        uint64_t heldByOthers;
        std::initializer_list<int> blocksBefore;
        unsigned int id;
        int count;    // readings asked for (0: all)
        size_t left;  // kStored: refused
    } cases[] = {
        {"R? while the budget is spent", ScpiReplyBudget::kTotal, {}, 0x20000610, 0, kStored},
        {"DATA:REM? while the budget is spent", ScpiReplyBudget::kTotal, {}, 0x20002103, 7000, kStored},
        {"R? past the bound of one response", 0, {15 << 20, 1000000}, 0x20000610, 0, kStored},
        {"a short R? while the budget is spent", ScpiReplyBudget::kTotal, {100}, 0x20000610, 100, kStored - 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IEEE488_CLS_Excu();
        CDataManage::instance()->m_buffer.assign(kStored, structReading{0.5, 1.0, 1.2f});
        std::vector<structScpiInfo> cmds = blocksOf(c.blocksBefore);
        cmds.push_back(scpi_test::listOf({c.id}).front());
        cmds.back().query = true;
        if (c.count > 0) {
            insertS32(cmds.back().params, static_cast<int>(c.id & 0xFFFF), static_cast<uint32_t>(c.count));
        }
        ScpiReplyBudget::instance().hold(c.heldByOthers);
        int result = 0;
        const std::string reply = execute(cmds, &result);
        ScpiReplyBudget::instance().release(c.heldByOthers);
        const bool refused = c.left == kStored;
        // What was answered before it is sent; the refused query sends nothing.
        EXPECT_EQ(static_cast<size_t>(std::count(reply.begin(), reply.end(), '#')),
                  c.blocksBefore.size() + (refused ? 0 : 1));
        EXPECT_EQ(CDataManage::instance()->m_buffer.size(), c.left);
        EXPECT_EQ(result, refused ? E223_TOO_MUCH_DATA : 0);
        EXPECT_EQ(ask("SYST:ERR?\n"), errorText(refused ? E223_TOO_MUCH_DATA : E0_NO_ERROR) + "\n");
    }
    CDataManage::instance()->BufferClean();
}

// *CLS leaves no *OPC waiting: the armed acquisition's end sets nothing.
TEST_F(EngineTest, ClearStatusCancelsAPendingOpc) {
    CDataManage::instance()->acqArm(0, 1);
    EXPECT_EQ(ask("*OPC;*CLS\n"), "");
    CDataManage::instance()->DM_AbortRead();
    EXPECT_EQ(ask("*ESR?\n"), "0\n");
}
