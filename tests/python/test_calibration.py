"""Calibrating a range of an uncalibrated instrument from a script: points
taken on the simulated input over PyVISA, saved, then in force for readings."""

import time

import pytest

from conftest import SCPI_RESOURCE, Service
from test_readings import dmm, inputs, meter  # noqa: F401 (fixtures)

pyvisa = pytest.importorskip("pyvisa")


def set_input(root, volts):
    (root / "sim" / "input.conf").write_text(f"dc_volts = {volts}\n")
    time.sleep(0.5)  # re-read within 200 ms


def take_point(dmm, volts):
    dmm.write(f"CAL:DATA {volts}")
    assert int(dmm.query("STAT:OPER:COND?")) & 1
    deadline = time.monotonic() + 10
    while dmm.query("CAL:STAT?") == "RUNNING":
        assert time.monotonic() < deadline
        time.sleep(0.05)
    assert dmm.query("CAL:STAT?") == "STOPED"
    assert int(dmm.query("STAT:OPER:COND?")) & 1 == 0


def test_an_empty_data_root_is_calibrated_over_scpi(service_binary, tmp_path_factory, rm):
    root = tmp_path_factory.mktemp("uncalibrated")
    (root / "sim").mkdir()
    svc = Service(service_binary, root)
    svc.start().wait_listening()
    try:
        dmm = rm.open_resource(SCPI_RESOURCE, read_termination="\n", write_termination="\n", timeout=20000)
        dmm.write("TRIG:SOUR IMM")
        set_input(root, 0.5)
        assert float(dmm.query("MEAS:VOLT:DC? 1")) == 0  # no table: samples read 0
        for volts in (0, 1):
            set_input(root, volts)
            take_point(dmm, volts)
        assert dmm.query("CAL:SAVE CURR;*OPC?") == "1"
        assert (root / "vorna" / "data" / "cali_0_1.cal").stat().st_size == 48
        set_input(root, 0.5)
        assert abs(float(dmm.query("MEAS:VOLT:DC? 1")) - 0.5) <= 1e-4
        assert dmm.query("SYST:ERR?") == '0,"No error"'
        dmm.close()
        status, _ = svc.stop()
        assert status == 0, svc.describe()
    finally:
        svc.kill()
    svc.check_sanitizers()


def cal_files(root):
    return {p.name: p.read_bytes() for p in (root / "vorna" / "data").glob("*.cal")}


WAIT = "until the point is taken or given up"


def wait_stopped(dmm):
    deadline = time.monotonic() + 10
    while dmm.query("CAL:STAT?") == "RUNNING":
        assert time.monotonic() < deadline
        time.sleep(0.05)


@pytest.mark.parametrize("given,steps,error,removed,reading", [
    # A reference that is no number takes no point: the save writes what was there.
    ({"dc_volts": 0.5}, ["CONF:VOLT:DC 1", "CAL:DATA abc", "CAL:SAVE CURR"], "-220,", set(), None),
    # A refused save writes nothing.
    ({"dc_volts": 0.5}, ["CONF:VOLT:DC 1", "CAL:DATA 0.4", WAIT, "CAL:SAVE FOO"], "-220,", set(), None),
    # A point whose range changed under it is not taken, and says so.
    ({"dc_volts": 0.5}, ["CONF:VOLT:DC 1", "CAL:DATA 0.4", "VOLT:DC:RANG 10", WAIT], "-200,", set(), None),
    # Frequency points go to the counter's table, the one its readings use;
    # without it frequency reads 0 as every other function does.
    ({"ac_volts": 1, "frequency": 1000}, ['FUNC "FREQ"', "CAL:DATA 1000", WAIT, "CAL:SAVE CURR", "CAL:DELETE CURR"],
     None, {"cali_10_0.cal"}, 0.0),
], ids=["not-a-number", "refused-save", "abandoned", "frequency"])
def test_calibration_hazards(meter, dmm, given, steps, error, removed, reading):
    inputs(meter, **given)
    before = cal_files(meter.root)
    for step in steps:
        if step == WAIT:
            wait_stopped(dmm)
        else:
            dmm.write(step)
    assert dmm.query("SYST:ERR?").startswith(error or "0,")
    assert dmm.query("SYST:ERR?") == '0,"No error"'
    after = cal_files(meter.root)
    assert set(before) - set(after) == removed and set(after) <= set(before)
    assert all(after[name] == before[name] for name in after)
    if reading is not None:
        assert float(dmm.query("READ?")) == reading
