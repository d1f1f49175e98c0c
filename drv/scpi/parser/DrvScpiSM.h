// The IEEE 488.2 status model of the SCPI library: standard event status
// register and its enable, status byte, service request enable, power-on
// status clear flag, the OPERation and QUEStionable register sets, and the
// operations that change them. Every operation acts on the current interface
// and takes the library's lock.
#pragma once

#include <cstdint>

// Parser states.
enum SCP_SM_STATE_EN : uint8_t {
    SCP_SM_IDLE = 0,
    SCP_SM_READ = 1,
    SCP_SM_QUERY = 2,
    SCP_SM_SEND = 3,
    SCP_SM_RESPONSE = 4,
    SCP_SM_DONE = 5,
    SCP_SM_DEADLOCK = 6,
};

// Bits of the status byte and the standard event status register.
constexpr uint8_t SCP_STB_ERR_QUEUE = 0x04;     // the error queue holds entries
constexpr uint8_t SCP_STB_QUES_SUMMARY = 0x08;  // an enabled QUEStionable event
constexpr uint8_t SCP_STB_ESB = 0x20;           // an enabled standard event
constexpr uint8_t SCP_STB_MSS = 0x40;           // an enabled status byte bit: service requested
constexpr uint8_t SCP_ESR_OPC = 0x01;           // operation complete
constexpr uint8_t SCP_ESR_EXE = 0x10;           // execution error
constexpr uint8_t SCP_ESR_CME = 0x20;           // command error

// The values each enable register accepts.
constexpr uint8_t SCP_ESE_MASK = 0xBD;
constexpr uint8_t SCP_SRE_MASK = 0xBC;
constexpr uint16_t SCP_OPER_ENABLE_MASK = 0x0731;
constexpr uint16_t SCP_QUES_ENABLE_MASK = 0x5F37;

// A copy of every register, for the query handlers.
struct SCP_STATUS_REGS_S {
    uint8_t u8ScpESR;
    uint8_t u8ScpESE;
    uint8_t u8ScpSTB;
    uint8_t u8ScpSRE;
    bool bScpPsc;
    uint16_t u16ScpOSR_C;
    uint16_t u16ScpOSR_EV;
    uint16_t u16ScpOSR_E;
    uint16_t u16ScpQSR_C;
    uint16_t u16ScpQSR_EV;
    uint16_t u16ScpQSR_E;
};

// The power-on state: parser idle; with the power-on status clear flag set the
// enables become 0; then pending operations, events, conditions, the status
// byte and the standard event register become 0.
void DrvScpi_SmInitial();

// Failure hook, called by the hub for every failed handler and unknown id
// before the error is queued: sets the execution-error bit of the standard
// event register, and the event summary bit of the status byte when that
// event is enabled.
void SCP_ExecuteErrNotify();

// Completion hook: counts a pending operation down and completes a waiting
// *OPC / *OPC? when none is left.
void SCP_ExecuteDoneNotify();

// Register operations: 0, or E222_DATA_OUT_OF_RANGE (56) for a value the
// register does not take (which also sets the command-error event).
int IEEE488_CLS_Excu();
int IEEE488_ESE_Excu(int value);
int IEEE488_OPC_Excu();
int IEEE488_RST_Excu();
int IEEE488_SRE_Excu(int value);
int IEEE488_WAI_Excu();
int IEEE488_PSC_Excu(int value);
int SCPI_STAT_OPER_ENAB_Excu(int value);
int SCPI_STAT_QUES_ENAB_Excu(int value);
int SCPI_STAT_PRES_Excu();

// Reading the registers; the ReadClear forms clear what they return. The
// status byte is computed from the registers at each read: bit 2 while the
// error queue holds entries, bit 3 for an enabled QUEStionable event, bit 5
// for an enabled standard event, bit 6 when any other bit is on and enabled
// by *SRE. *STB?, VXI-11 and USBTMC all answer DrvScpi_StatusByte().
SCP_STATUS_REGS_S DrvScpi_GetStatusRegs();
uint8_t DrvScpi_StatusByte();
uint8_t IEEE488_ESR_ReadClear();
uint16_t SCPI_STAT_OPER_EVENT_ReadClear();
uint16_t SCPI_STAT_QUES_EVENT_ReadClear();

// Writers outside the library: the engine sets the QUEStionable condition
// bits under `mask` to the state of its latest reading (limit, overload);
// the calibration sets and clears OPERation condition bits. In both sets a
// bit that comes on is latched in the event register until that is read or
// cleared. The parser reports a command error (standard event bit 5).
void SCPI_STAT_QUES_ConditionSet(uint16_t mask, uint16_t bits);
void SCPI_STAT_OPER_ConditionBitsSet(uint16_t bits, bool on);
void SCP_CommandErrNotify();

// The parser state.
uint8_t DrvScpi_GetSmState();
void DrvScpi_SetSmState(uint8_t state);
