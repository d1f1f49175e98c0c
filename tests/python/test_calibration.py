"""Calibrating a range of an uncalibrated instrument from a script: points
taken on the simulated input over PyVISA, saved, then in force for readings."""

import time

import pytest

from conftest import SCPI_RESOURCE, Service

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
