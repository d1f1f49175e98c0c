// What a refused program message unit reports. The parser and the parameter
// converter find these errors before anything of the message runs, but they
// belong to the unit's turn: `*CLS;FOO` must leave FOO's error behind, not
// have the *CLS erase it. So they are recorded with the unit and reported
// when execution reaches it (or at once, for a message that never runs).
#pragma once

#include <cstdint>
#include <vector>

struct ScpiRefusal {
    uint8_t u8Event;  // standard event bit it sets (SCP_ESR_CME, SCP_ESR_EXE), 0 none
    int32_t s32Row;   // row of g_asErrInfo it queues, -1 none
};

using ScpiRefusals = std::vector<ScpiRefusal>;

// The refusal of a parser or library result code: the command-error event
// and the row SCP_ErrCodePro would queue for the code.
ScpiRefusal ScpiRefusalOfCode(uint32_t code);

// Sets the events and queues the errors, in order.
void ScpiReportRefusals(const ScpiRefusals& refusals);
