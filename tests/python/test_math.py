"""Math on the readings end to end: the simulated input, the measurement loop,
the math commands of remote control over PyVISA and the UI link's dB value."""

import math
import time

import pytest

from conftest import request
from test_readings import dmm, inputs, meter, values  # noqa: F401  (fixtures)

pytest.importorskip("pyvisa")

NO_ERROR = '0,"No error"'


def on_10v_range(meter, dmm, **given):
    inputs(meter, **given)
    dmm.query("MEAS:VOLT:DC? 10")  # DCV on the fixed 10 V range; math starts off


def test_statistics_follow_a_noisy_input(meter, dmm):
    on_10v_range(meter, dmm, dc_volts=1.5, noise=0.001, seed=7)
    dmm.write("CALC:AVER:STAT ON")
    time.sleep(1.5)
    mean, sdev, low, high = values(dmm.query("CALC:AVER:ALL?"))
    first = int(dmm.query("CALC:AVER:COUN?"))
    assert low <= mean <= high and low < high, (mean, low, high)
    assert abs(mean - 1.5) < 0.05 and 0 < sdev < 0.05
    time.sleep(1.0)
    assert int(dmm.query("CALC:AVER:COUN?")) > first > 0
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:AVER:STAT OFF")
    dmm.write("CALC:AVER:ALL?")
    assert dmm.query("SYST:ERR?").startswith("-400")


def test_decibels_against_a_reference(meter, dmm, proto_pb2):
    on_10v_range(meter, dmm, dc_volts=2.0)
    dmm.write("CALC:SCAL:FUNC DB;:CALC:SCAL:DB:REF 3;:CALC:SCAL ON")
    assert dmm.query("CALC:SCAL:FUNC?") == "DB"
    assert float(dmm.query("CALC:SCAL:DB:REF?")) == 3
    time.sleep(1.0)
    reply = request(proto_pb2, proto_pb2.DataPack(code=0x300))
    assert reply.stat == 0
    expected = 10 * math.log10(2.0 ** 2 / 600 * 1000) - 3
    assert abs(reply.data[0x802].f64Val - expected) < 0.01, reply
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:SCAL OFF")


def test_upper_limit_below_the_input_fails_the_reading(meter, dmm):
    on_10v_range(meter, dmm, dc_volts=2.0)
    dmm.write("*CLS;STAT:QUES:ENAB 4096")
    dmm.write("CALC:LIM:UPP 1;:CALC:LIM:LOW -1;:CALC:LIM ON")
    time.sleep(1.0)
    assert int(dmm.query("STAT:QUES:COND?")) & 0x1000
    assert int(dmm.query("*STB?")) & 0x08
    assert float(dmm.query("CALC:LIM:UPP?")) == 1.0
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:LIM OFF;:STAT:QUES:ENAB 0")


def read_until(dmm, query, target, tolerance, seconds=10):
    """Answers of `query` until one is within `tolerance` of `target` (the
    loop settles and auto-ranges first), or the last one at the deadline."""
    deadline = time.monotonic() + seconds
    while True:
        value = float(dmm.query(query))
        if abs(value - target) <= tolerance or time.monotonic() > deadline:
            return value


def test_millivolt_range_answers_in_volts(meter, dmm):
    inputs(meter, dc_volts=0.0123)
    dmm.write("CONF:VOLT:DC 0.1;:CALC:AVER:STAT ON")
    assert abs(read_until(dmm, "READ?", 0.0123, 1e-6) - 0.0123) <= 1e-6
    last = dmm.query("DATA:LAST?").split()
    assert abs(float(last[0]) - 0.0123) <= 1e-6 and last[1] == "VDC", last
    for query in ("CALC:AVER:MAX?", "CALC:AVER:AVER?", "DATA:REM? 1"):
        assert abs(float(dmm.query(query)) - 0.0123) <= 1e-6, query
    assert abs(float(dmm.query("CALC:LIM:UPP?")) - 0.11) <= 1e-9  # 1.1 x 100 mV
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:AVER:STAT OFF")


def test_offset_holds_across_an_auto_range_change(meter, dmm):
    inputs(meter, dc_volts=0.05)
    dmm.write("CONF:VOLT:DC")  # auto range: the 100 mV range
    assert abs(read_until(dmm, "READ?", 0.05, 1e-5) - 0.05) <= 1e-5
    dmm.write("VOLT:DC:NULL ON")
    assert abs(float(dmm.query("VOLT:DC:NULL:VAL?")) - 0.05) <= 1e-5
    inputs(meter, dc_volts=5)  # two ranges up: 10 V
    assert abs(read_until(dmm, "READ?", 4.95, 1e-3) - 4.95) <= 1e-3
    assert abs(float(dmm.query("VOLT:DC:NULL:VAL?")) - 0.05) <= 1e-5
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("VOLT:DC:NULL OFF")


def test_statistics_equal_the_readings_across_two_decades_of_bands(meter, dmm):
    # Statistics refuse an automatic range; the counter's display band
    # changes by itself, from Hz to kHz.
    inputs(meter, ac_volts=5, frequency=50)
    dmm.write("CONF:FREQ;:FREQ:VOLT:RANG 10;:TRIG:SOUR BUS")
    # One reading per trigger, each awaited: nothing is counted unseen.
    dmm.query("INIT;*TRG;FETC?")
    dmm.write("FREQ:NULL ON;:CALC:AVER:STAT ON")
    assert abs(float(dmm.query("FREQ:NULL:VAL?")) - 50) <= 0.5
    dmm.query("R?")  # the reading the offset was taken from
    taken = []
    for hertz in (50, 500, 5000):
        inputs(meter, ac_volts=5, frequency=hertz)
        for _ in range(5):
            dmm.query("INIT;*TRG;FETC?")
            block = dmm.query("R?")  # "#" digits length text
            taken += values(block[2 + int(block[1]):])
            if abs(taken[-1] - (hertz - 50)) <= 0.01 * hertz:
                break
        assert abs(taken[-1] - (hertz - 50)) <= 0.01 * hertz, taken
    mean, _, low, high = values(dmm.query("CALC:AVER:ALL?"))
    assert int(dmm.query("CALC:AVER:COUN?")) == len(taken)
    # The texts carry nine digits.
    assert mean == pytest.approx(sum(taken) / len(taken), rel=1e-7), taken
    assert (low, high) == pytest.approx((min(taken), max(taken)), rel=1e-7)
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:AVER:STAT OFF;:FREQ:NULL OFF;:TRIG:SOUR IMM")
