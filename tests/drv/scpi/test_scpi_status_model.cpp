#include <gtest/gtest.h>

#include <tuple>

#include "DrvScpiErrDef.h"
#include "scpi_status_fixture.h"

using testing_support::ScpiStatusTest;

TEST_F(ScpiStatusTest, ExecutionErrorSetsSummaryOnlyWhenEnabled) {
    SCP_ExecuteErrNotify();
    EXPECT_EQ(esr(), SCP_ESR_EXE);
    EXPECT_FALSE(stb() & SCP_STB_ESB);

    EXPECT_EQ(IEEE488_ESE_Excu(16), 0);
    EXPECT_TRUE(stb() & SCP_STB_ESB) << "an event enabled later is summarised too";
    EXPECT_FALSE(stb() & SCP_STB_MSS);
    EXPECT_EQ(IEEE488_SRE_Excu(32), 0);
    EXPECT_EQ(stb(), SCP_STB_ESB | SCP_STB_MSS);
    EXPECT_EQ(DrvScpi_StatusByte(), stb());
    // Reading the event register takes its summary and the request with it.
    EXPECT_EQ(IEEE488_ESR_ReadClear(), SCP_ESR_EXE);
    EXPECT_EQ(esr(), 0);
    EXPECT_EQ(stb(), 0);
    SCP_ExecuteErrNotify();
    EXPECT_EQ(IEEE488_CLS_Excu(), 0);
    EXPECT_EQ(stb(), 0);
    EXPECT_EQ(DrvScpi_GetStatusRegs().u8ScpESE, 16);

    SCP_CommandErrNotify();
    EXPECT_EQ(esr(), SCP_ESR_CME);
    EXPECT_EQ(IEEE488_OPC_Excu(), 0);
    EXPECT_EQ(IEEE488_ESR_ReadClear(), SCP_ESR_CME | SCP_ESR_OPC);
}

TEST_F(ScpiStatusTest, RefusedEnableValuesKeepTheRegisterAndRaiseCommandError) {
    const struct {
        int (*op)(int);
        int refused, accepted;
    } cases[] = {
        {IEEE488_ESE_Excu, 66, 0xBD},          // bit 1 outside 0xBD
        {IEEE488_SRE_Excu, 64, 32},            // bit 6 outside 0xBC
        {IEEE488_PSC_Excu, 2, 0},
        {SCPI_STAT_OPER_ENAB_Excu, 2, 0x0731},
        {SCPI_STAT_QUES_ENAB_Excu, 8, 2048},   // bit 3 outside 0x5F37
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.op(c.accepted), 0) << c.accepted;
        SCP_STATUS_REGS_S before = DrvScpi_GetStatusRegs();
        EXPECT_EQ(c.op(c.refused), E222_DATA_OUT_OF_RANGE) << c.refused;
        SCP_STATUS_REGS_S after = DrvScpi_GetStatusRegs();
        auto enables = [](const SCP_STATUS_REGS_S& r) {
            return std::tie(r.u8ScpESE, r.u8ScpSRE, r.bScpPsc, r.u16ScpOSR_E, r.u16ScpQSR_E);
        };
        EXPECT_EQ(enables(after), enables(before)) << c.refused;
        EXPECT_EQ(IEEE488_ESR_ReadClear(), SCP_ESR_CME);
    }
    SCP_STATUS_REGS_S regs = DrvScpi_GetStatusRegs();
    EXPECT_EQ(regs.u8ScpESE, 0xBD);  // enables command errors for the summary bit
    EXPECT_EQ(regs.u8ScpSRE, 32);
    EXPECT_FALSE(regs.bScpPsc);
    EXPECT_EQ(regs.u16ScpQSR_E, 2048);
    EXPECT_EQ(regs.u8ScpSTB, 0) << "every refusal's event was read";
    // The library leaves queuing the refusal to its caller.
    EXPECT_EQ(SCP_GetErrQueueCount(1), 0u);
}

TEST_F(ScpiStatusTest, ClearResetAndPresetKeepTheirEnables) {
    for (int (*reset)() : {IEEE488_CLS_Excu, IEEE488_RST_Excu, SCPI_STAT_PRES_Excu}) {
        const bool preset = reset == SCPI_STAT_PRES_Excu;
        IEEE488_ESE_Excu(0x10);
        IEEE488_SRE_Excu(0x20);
        SCPI_STAT_OPER_ENAB_Excu(0x10);
        SCPI_STAT_QUES_ENAB_Excu(0x800);
        SCPI_STAT_QUES_ConditionSet(0x800, 0x800);
        SCP_ExecuteErrNotify();
        SCP_WriteErrorQueue(g_asErrInfo[E200_EXECUTION_ERROR]);
        EXPECT_EQ(stb(), SCP_STB_ERR_QUEUE | SCP_STB_QUES_SUMMARY | SCP_STB_ESB | SCP_STB_MSS);

        EXPECT_EQ(reset(), 0);
        SCP_STATUS_REGS_S regs = DrvScpi_GetStatusRegs();
        EXPECT_FALSE(regs.u8ScpSTB & SCP_STB_ERR_QUEUE);
        EXPECT_EQ(SCP_GetErrQueueCount(1), 0u);
        EXPECT_EQ(regs.u8ScpESE, 0x10);
        EXPECT_EQ(regs.u8ScpSRE, 0x20);
        // Preset zeroes the SCPI enables; clear and reset empty the events.
        EXPECT_EQ(regs.u16ScpOSR_E, preset ? 0 : 0x10);
        EXPECT_EQ(regs.u16ScpQSR_E, preset ? 0 : 0x800);
        if (!preset) {
            EXPECT_EQ(regs.u8ScpSTB, 0);
            EXPECT_EQ(regs.u8ScpESR, 0);
            EXPECT_EQ(regs.u16ScpQSR_EV, 0);
            EXPECT_EQ(regs.u16ScpQSR_C, 0x800);  // conditions stay
        }
        SCPI_STAT_QUES_ConditionSet(0x800, 0);
        IEEE488_CLS_Excu();
    }
}

TEST_F(ScpiStatusTest, ConditionsFollowTheStateAndEventsLatchUntilRead) {
    SCPI_STAT_QUES_ConditionSet(0x1800, 0x1000);
    EXPECT_FALSE(stb() & SCP_STB_QUES_SUMMARY);
    SCPI_STAT_QUES_ENAB_Excu(0x0800);
    SCPI_STAT_QUES_ConditionSet(0x1800, 0x0800);  // the other limit now
    SCPI_STAT_QUES_ConditionSet(0x0001, 0x0001);  // bits outside a mask are kept
    EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_C, 0x0801);
    EXPECT_TRUE(stb() & SCP_STB_QUES_SUMMARY);
    SCPI_STAT_QUES_ConditionSet(0x1800, 0);
    EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_C, 0x0001);
    EXPECT_TRUE(stb() & SCP_STB_QUES_SUMMARY) << "the event outlives its condition";
    EXPECT_EQ(SCPI_STAT_QUES_EVENT_ReadClear(), 0x1801);
    EXPECT_EQ(SCPI_STAT_QUES_EVENT_ReadClear(), 0);
    EXPECT_FALSE(stb() & SCP_STB_QUES_SUMMARY);
    SCPI_STAT_QUES_ConditionSet(0x0001, 0x0001);  // still on: no new event
    EXPECT_EQ(SCPI_STAT_QUES_EVENT_ReadClear(), 0);
    SCPI_STAT_OPER_ConditionBitsSet(0x0001, true);
    SCPI_STAT_OPER_ConditionBitsSet(0x0002, true);
    SCPI_STAT_OPER_ConditionBitsSet(0x0001, false);
    EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpOSR_C, 0x0002);
    EXPECT_EQ(SCPI_STAT_OPER_EVENT_ReadClear(), 0x0003);
    SCPI_STAT_OPER_ConditionBitsSet(0x0002, true);  // already on: no new event
    EXPECT_EQ(SCPI_STAT_OPER_EVENT_ReadClear(), 0);
}

TEST_F(ScpiStatusTest, PowerOnStateHonoursThePowerOnClearFlag) {
    IEEE488_ESE_Excu(0x10);
    SCPI_STAT_QUES_ENAB_Excu(0x800);
    IEEE488_PSC_Excu(0);
    DrvScpi_SmInitial();
    EXPECT_EQ(DrvScpi_GetStatusRegs().u8ScpESE, 0x10);
    EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_E, 0x800);
    IEEE488_PSC_Excu(1);
    DrvScpi_SmInitial();
    EXPECT_EQ(DrvScpi_GetStatusRegs().u8ScpESE, 0);
    EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_E, 0);
    // Setting the interface up again leaves its queue intact.
    SCP_WriteErrorQueue(g_asErrInfo[E100_CMD_ERROR]);
    EXPECT_EQ(Interface_SCPManage(1), 1);
    EXPECT_EQ(drainErrors(), std::vector<std::string>{"-100,\"Command error\""});
    EXPECT_EQ(Interface_SCPManage(SCP_INTERFACE_NUM), SCP_INTERFACE_INVALID);
}
