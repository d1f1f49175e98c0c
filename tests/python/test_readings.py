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
    ("MEAS:VOLT:DC? 1", {"dc_volts": -1.5}, -9.9e37, 0),        # the negative overload
    ("MEAS:CURR:DC?", {"dc_amps": 0.012}, 0.012, 1e-6),
])
def test_measure_answers_the_input(meter, dmm, query, given, expected, count):
    inputs(meter, **given)
    answer = dmm.query(query)
    assert abs(float(answer) - expected) <= count, answer
    assert dmm.query("SYST:ERR?") == NO_ERROR
    # A voltage or current overload is questionable data (bit 0 or 1) while it lasts.
    assert (int(dmm.query("STAT:QUES:COND?")) & 0x3 != 0) == (abs(expected) == 9.9e37)


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


def run(dmm, steps):
    """Sends each step: a command, or (query, expected) where a float is a
    reading within 1e-3 of it and a text is the exact answer (or, ending in
    ",", the start of an error)."""
    for step in steps:
        if isinstance(step, str):
            dmm.write(step)
            continue
        query, expected = step
        answer = dmm.query(query)
        if isinstance(expected, float):
            assert abs(float(answer) - expected) <= 1e-3 * max(1.0, abs(expected)), (query, answer)
        elif expected.endswith(","):
            assert answer.startswith(expected), (query, answer)
        else:
            assert answer == expected, (query, answer)


@pytest.mark.parametrize("given,steps", [
    # Frequency's auto range moves frequency's range, not AC volts'; it
    # answers the range in use and keeps it when auto range goes off.
    ({"ac_volts": 0.05, "frequency": 1000},
     ['FUNC "VOLT:AC"', "VOLT:AC:RANG 750", 'FUNC "FREQ"', "FREQ:VOLT:RANG:AUTO ON", ("READ?", 1000.0),
      ("VOLT:AC:RANG?", "7.50000000E+02"), ("FREQ:VOLT:RANG?", "1.00000000E-01"), "FREQ:VOLT:RANG:AUTO OFF",
      ("FREQ:VOLT:RANG?", "1.00000000E-01"), ("FREQ:VOLT:RANG:AUTO?", "0"), 'FUNC "VOLT:AC"',
      "VOLT:AC:RANG:AUTO ON"]),
], ids=["frequency"])
def test_auto_range_changes_only_its_own_function(meter, dmm, given, steps):
    inputs(meter, **given)
    run(dmm, steps + [("SYST:ERR?", NO_ERROR)])


@pytest.mark.parametrize("given,steps", [
    # A refused parameter: the whole command changes nothing.
    ({"dc_volts": 0.5}, ["CONF:VOLT:DC 1", "CONF:TEMP TC,Q", ("SYST:ERR?", "-220,"),
                         ("CONF?", "VOLT 1.00000000E+00,1.00000000E-05")]),
    # MEASure? from diode and continuity takes its range as CONFigure does.
    ({"dc_volts": 5}, ["CONF:VOLT:DC 0.1", "CONF:DIOD", ("MEAS:VOLT:DC? 10", 5.0),
                       ("CONF?", "VOLT 1.00000000E+01,1.00000000E-04")]),
    ({"ohms": 50000}, ["CONF:RES 1e5", "CONF:CONT", ("MEAS:RES?", 50000.0), ("RES:RANG:AUTO?", "1")]),
    # A unit change shows on the next reading (K type at 4.096 mV is 100 degC).
    ({"dc_volts": 0.004096, "cold_junction_celsius": 0},
     ["CONF:TEMP TC,K", ("READ?", 100.0), "UNIT:TEMP F", ("READ?", 212.0), "UNIT:TEMP C", ("READ?", 100.0)]),
], ids=["refused", "meas-from-diode", "meas-from-continuity", "unit"])
def test_refused_or_ignored_parameters(meter, dmm, given, steps):
    inputs(meter, **given)
    run(dmm, steps + [("SYST:ERR?", NO_ERROR)])
