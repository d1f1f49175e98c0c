"""Storage seen from the whole process: an oversized file refused while every
client is still served, and start-up after saves that were cut off."""

import time

import pytest

from conftest import IO_TIMEOUT, SCPI_RESOURCE

pytest.importorskip("pyvisa")

EXECUTION_ERROR = '-200,"Execution error"'


def test_an_oversized_state_file_is_refused_and_the_service_stays_whole(make_service, rm):
    service = make_service().start().wait_listening()
    with open(service.root / "data" / "UserData" / "huge.sta", "wb") as huge:
        huge.truncate(3 << 30)  # sparse: no disk space taken
    loader = rm.open_resource(SCPI_RESOURCE, read_termination="\n", write_termination="\n", timeout=IO_TIMEOUT * 1000)
    other = rm.open_resource(SCPI_RESOURCE, read_termination="\n", write_termination="\n", timeout=2000)
    started = time.monotonic()
    loader.write('MMEM:LOAD:STAT "huge"')
    assert other.query("*IDN?")
    assert loader.query("SYST:ERR?") == EXECUTION_ERROR
    assert time.monotonic() - started < 2.0
    # Nothing of the refused load is left running: after an abort a waiting
    # read still waits its whole time-out.
    loader.write("TRIG:SOUR EXT")
    loader.write("ABOR")
    assert loader.query("*OPC?") == "1"
    started = time.monotonic()
    assert loader.query("DATA:REM? 3,WAIT;SYST:ERR?").startswith("-365")
    assert time.monotonic() - started >= 4.5
    other.close()
    loader.close()
    assert service.stop()[0] == 0, service.describe()


def test_no_temporary_of_a_cut_off_save_survives_a_start(make_service):
    service = make_service()
    user = service.root / "data" / "UserData"
    usb = service.root / "mnt" / "media_rw" / "udiskh"
    for folder in (user / "sub", usb):
        folder.mkdir(parents=True)
    debris = [user / "s2.sta.tmp.4242.7", user / "sub" / "d.csv.tmp.17.1", usb / "p.prf.tmp.99.3"]
    kept = [user / "notes.tmp.txt", user / "s2.sta.tmp", usb / "x.tmp.1.y"]
    for path in debris + kept:
        path.write_text("")
    service.start().wait_listening()
    assert [p for p in debris if p.exists()] == []
    assert [p for p in kept if not p.exists()] == []
    assert service.stop()[0] == 0
