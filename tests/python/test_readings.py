"""Readings end to end: the simulated input file, the measurement loop and the
reading queries of remote control over PyVISA on port 5025."""

import subprocess
import time

import pytest

from conftest import SCPI_RESOURCE, Service

pyvisa = pytest.importorskip("pyvisa")

NO_ERROR = '0,"No error"'


@pytest.fixture(scope="module")
def meter(service_binary, build_dir, tmp_path_factory):
    """A service whose data root holds the simulator's calibration set."""
    root = tmp_path_factory.mktemp("meter")
    subprocess.run([str(build_dir / "dmm-sim-calibration"), str(root)], check=True, capture_output=True)
    (root / "sim").mkdir()
    svc = Service(service_binary, root)
    svc.start().wait_listening()
    yield svc
    try:
        status, seconds = svc.stop()
        assert status == 0 and seconds < 2, svc.describe()
    finally:
        svc.kill()
    svc.check_sanitizers()


@pytest.fixture
def dmm(meter, rm):
    session = rm.open_resource(SCPI_RESOURCE, read_termination="\n", write_termination="\n", timeout=20000)
    assert session.query("*CLS;*OPC?") == "1"
    session.write("TRIG:SOUR IMM")
    yield session
    session.close()


def inputs(meter, **values):
    (meter.root / "sim" / "input.conf").write_text("".join(f"{k} = {v}\n" for k, v in values.items()))
    time.sleep(0.5)  # re-read within 200 ms


def values(text):
    return [float(v) for v in text.split(",")]


@pytest.mark.parametrize("query,given,expected,count", [
    ("MEAS:VOLT:DC?", {"dc_volts": 1.234}, 1.234, 1e-4),        # auto range: 10 V row
    ("MEAS:VOLT:DC? 1", {"dc_volts": 0.5}, 0.5, 1e-5),          # fixed 1 V row
    ("MEAS:VOLT:DC? 1", {"dc_volts": 1.5}, 9.9e37, 0),          # above 1.2 x full scale
    ("MEAS:CURR:DC?", {"dc_amps": 0.012}, 0.012, 1e-6),
])
def test_measure_answers_the_input(meter, dmm, query, given, expected, count):
    inputs(meter, **given)
    dmm.query("STAT:QUES?")  # reads the event register empty
    answer = dmm.query(query)
    assert abs(float(answer) - expected) <= count, answer
    assert dmm.query("SYST:ERR?") == NO_ERROR
    # A voltage or current overload is questionable data (bit 0 or 1).
    assert (int(dmm.query("STAT:QUES?")) & 0x3 != 0) == (expected == 9.9e37)


def test_two_wire_minus_four_wire_is_twice_the_lead(meter, dmm):
    inputs(meter, ohms=1000, lead_ohms=0.5)
    two = float(dmm.query("MEAS:RES?"))
    four = float(dmm.query("MEAS:FRES?"))
    assert abs((two - four) - 1.0) <= 0.02, (two, four)


def test_sample_count_read_and_block(meter, dmm):
    inputs(meter, dc_volts=2.5)
    dmm.query("MEAS:VOLT:DC?")
    dmm.write("SAMP:COUN 5")
    readings = values(dmm.query("READ?"))
    assert len(readings) == 5 and all(abs(v - 2.5) <= 1e-4 for v in readings)
    block = dmm.query("R?")
    digits = int(block[1])
    length = int(block[2:2 + digits])
    text = block[2 + digits:]
    assert block[0] == "#" and len(text) == length
    assert all(abs(v - 2.5) <= 1e-4 for v in values(text))
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("SAMP:COUN 1")
