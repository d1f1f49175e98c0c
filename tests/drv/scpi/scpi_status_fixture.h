#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DrvInterfaceManage.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"

namespace testing_support {

// Interface 1 set up as the remote-control manager does at start, then every
// register, enable and the error queue back to the power-on state.
class ScpiStatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Interface_SCPManage(1), 1);
        SCP_SetInterfaceIsUsed(1);
        IEEE488_PSC_Excu(1);
        DrvScpi_SmInitial();
        SCP_ClearErrQueue(1);
    }

    static std::vector<std::string> drainErrors() {
        std::vector<std::string> texts;
        while (const char* text = SCP_ReadErrQueue(1)) {
            texts.push_back(text);
        }
        return texts;
    }
    static uint8_t stb() { return DrvScpi_GetStatusRegs().u8ScpSTB; }
    static uint8_t esr() { return DrvScpi_GetStatusRegs().u8ScpESR; }
};

} // namespace testing_support
