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
