"""The status model as a client sees it, one table for every transport: each step sends
its commands, waits for the QUEStionable condition the readings give, then reads the status
byte (the transport's own way and *STB?), *ESR? and STAT:QUES:EVEN? (which both clear). The
service reads 0 V (no calibration): a lower limit of 0.5 V fails every reading, -1 V passes."""

from conftest import wait_for

SETUP = "*CLS;*ESE 0;*SRE 0;:STAT:QUES:ENAB 0;:CONF:VOLT:DC 10"
CLEANUP = "CALC:LIM OFF;:*SRE 0;*ESE 0;:STAT:QUES:ENAB 0;*CLS"

UNKNOWN = "BADCMD"

# (commands, QUES condition, status byte, *ESR?, QUES event)
STEPS = [
    ("*ESE 60;*SRE 32", 0, 0, 0, 0),
    # Command error, enabled: error queue, event summary and service request.
    (UNKNOWN, 0, 0x64, 0x20, 0),
    # *ESR? took the event and its summary; the error stays queued.
    ("", 0, 0x04, 0, 0),
    ("*ESE 66", 0, 0x64, 0x30, 0),  # refused: execution and command error
    ("*CLS", 0, 0, 0, 0),
    # A parameter that is no number is a command error as well: *ESE stays 60.
    ("*ESE abc", 0, 0x64, 0x20, 0),
    # A refused command's error comes in its turn: the *CLS before it does not erase it.
    ("*CLS;" + UNKNOWN, 0, 0x64, 0x20, 0),
    ("*CLS", 0, 0, 0, 0),
    # A failing reading: condition and latched event, summary when enabled.
    ("STAT:QUES:ENAB 2048;:CALC:LIM:LOW 0.5;:CALC:LIM:UPP 1;:CALC:LIM ON", 0x0800, 0x08, 0, 0x0800),
    ("", 0x0800, 0, 0, 0),  # read: no new event while the failure lasts
    ("CALC:LIM:LOW -1", 0, 0, 0, 0),  # readings pass again: the condition clears
    ("*SRE 8;:CALC:LIM:LOW 0.5", 0x0800, 0x48, 0, 0x0800),
    ("*SRE 72", 0x0800, 0x24, 0x30, 0),  # bit 6 is no enable bit: refused, *SRE stays 8
]


def run_status_steps(inst, read_stb, write=None):
    write = write or inst.write
    inst.write(SETUP)
    assert inst.query("*OPC?") == "1"
    try:
        for commands, cond, stb, esr, event in STEPS:
            if commands:
                write(commands)
            assert wait_for(lambda: int(inst.query("STAT:QUES:COND?")) == cond), (commands, cond)
            got = (read_stb(), int(inst.query("*STB?")), int(inst.query("*ESR?")),
                   int(inst.query("STAT:QUES:EVEN?")))
            assert got == (stb, stb, esr, event), commands
    finally:
        inst.write(CLEANUP)
        assert inst.query("*OPC?") == "1"
