"""Sensor readings end to end: a thermocouple with the simulated cold junction
and a user curve, on the simulated DC input."""

import math

import pytest

from conftest import request
from test_readings import NO_ERROR, dmm, inputs, meter  # noqa: F401 (fixtures)

pytest.importorskip("pyvisa")

# Type K reference function, 0 .. 1372 degC (mV).
K_COEF = [-0.017600413686, 0.038921204975, 1.8558770032e-05, -9.9457592874e-08, 3.1840945719e-10,
          -5.6072844889e-13, 5.6075059059e-16, -3.2020720003e-19, 9.7151147152e-23, -1.2104721275e-26]


def k_emf(t):
    return sum(c * t ** i for i, c in enumerate(K_COEF)) + 0.1185976 * math.exp(-0.0001183432 * (t - 126.9686) ** 2)


def ui(pb, code, **values):
    """One UI request: code with {key: Value}; its stat."""
    pack = pb.DataPack(code=code)
    for key, value in values.items():
        pack.data[int(key[1:], 16)].CopyFrom(value)
    return request(pb, pack).stat


# Whatever probe was measured before, a thermocouple is measured in DC volts.
@pytest.mark.parametrize("before", [None, "CONF:TEMP FRTD,385", "MEAS:TEMP? FTH,5000", "CONF:TEMP THER,5000"])
def test_thermocouple_with_its_cold_junction(meter, dmm, before):
    if before:
        dmm.query(before) if "?" in before else dmm.write(before)
    inputs(meter, dc_volts=(k_emf(100.0) - k_emf(23.5)) / 1000, cold_junction_celsius=23.5)
    dmm.write("CONF:TEMP TC,K")
    assert dmm.query("SYST:ERR?") == NO_ERROR
    assert dmm.query("CONF?") == "TEMP TC,K"
    assert abs(float(dmm.query("READ?")) - 100.0) <= 0.1
    dmm.write("FUNC \"VOLT:DC\"")
    assert abs(float(dmm.query("MEAS:TEMP? TC,K")) - 100.0) <= 0.1


def test_user_curve_reads_its_line(meter, dmm, proto_pb2):
    pb = proto_pb2
    inputs(meter, dc_volts=0.5)
    assert ui(pb, 0x10001707, k1707=pb.Value(bVal=False)) == 0
    assert ui(pb, 0x10001705, k1705=pb.Value(s32Val=0)) == 0  # measured as DC volts
    for x, y in ((0.0, 0.0), (1000.0, 100.0)):
        assert ui(pb, 0x10001701, k0=pb.Value(s32Val=-1), k1=pb.Value(f64Val=x), k2=pb.Value(f64Val=y),
                  k3=pb.Value(bVal=x == 0), k4=pb.Value(s32Val=0)) == 0
    assert ui(pb, 0x10001708) == 0
    assert abs(float(dmm.query("READ?")) - 50.0) <= 0.01
