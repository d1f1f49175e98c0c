"""Trigger and read sequences as a script sends them, over the SCPI socket and VXI-11:
what each read answers, how many readings, and which errors."""

import os
import subprocess
import threading
import time

import pytest

from conftest import PORTS, SCPI_RESOURCE, VXI_PORT, Service, open_session, serve
from test_vxi11 import RESOURCE as VXI_RESOURCE, portmapper  # noqa: F401 (fixture)

pytest.importorskip("pyvisa")

VOLTS = 1.5
TRANSPORTS = {"socket": SCPI_RESOURCE, "vxi11": VXI_RESOURCE}

# (setup messages (a query's answer is passed over), edges into the trigger input (seconds after the query
# is sent), query, readings it answers or its exact answer, then (message, answer prefix) pairs checked after).
SEQUENCES = {
    "ext-init-then-fetch": (["TRIG:SOUR EXT", "INIT"], [0.3, 0.6], "FETC?", 1, [("SYST:ERR?", "0,")]),
    "bus-after-reset": (["CONF:VOLT:DC 10,0.001", "SAMP:COUN 3", "TRIG:SOUR BUS", "INIT", "*TRG"], [],
                        "FETC?", 3, [("SYST:ERR?", "0,")]),
    "bus-each-trigger-takes-the-samples": (
        ["CONF:VOLT:DC 10", "TRIG:COUN 3", "SAMP:COUN 2", "TRIG:SOUR BUS", "INIT", "*TRG", "*TRG", "*TRG"], [],
        "FETC?", 6, [("SYST:ERR?", "0,"), ("*TRG;SYST:ERR?", "-200,")]),
    "ext-each-edge-takes-the-samples": (["CONF:VOLT:DC 10", "TRIG:COUN 2", "SAMP:COUN 2", "TRIG:SOUR EXT"],
                                        [0.5, 2.5], "READ?", 4, []),
    "ext-read-waits-for-an-edge": (["MEAS:VOLT:DC?", "TRIG:SOUR EXT"], [1.0], "READ?", 1, []),
    "reset-restores-the-trigger-count": (["TRIG:COUN 3", "*RST"], [], "TRIG:COUN?", "1", []),
    "empty-memory-is-an-empty-block": (["TRIG:SOUR BUS"], [], "R?", None, [("R?;*STB?", "#10;")]),
    "second-display-right-after-its-change": (["CONF:VOLT:DC 10", 'VOLT:AC:SEC "FREQ"'], [], "DATA2?", None,
                                              [("SYST:ERR?", "0,")]),
    "bus-trigger-not-armed": (["TRIG:SOUR BUS"], [], "*TRG;SYST:ERR?", "-200,\"Execution error\"", []),
    "fetch-with-nothing-armed-answers-a-line": (["TRIG:SOUR BUS"], [], "FETC?", '""', [("SYST:ERR?", "0,")]),
}


@pytest.fixture(scope="module")
def meter(portmapper, service_binary, build_dir, tmp_path_factory):  # noqa: F811
    root = tmp_path_factory.mktemp("trigger_root")
    subprocess.run([str(build_dir / "dmm-sim-calibration"), str(root)], check=True, capture_output=True)
    (root / "sim").mkdir()
    (root / "sim" / "input.conf").write_text(f"dc_volts = {VOLTS}\n")
    yield from serve(Service(service_binary, root), PORTS + (VXI_PORT,))


@pytest.fixture(params=sorted(TRANSPORTS))
def dmm(request, meter, rm):
    session = open_session(rm, TRANSPORTS[request.param])
    session.write("*RST;*CLS")
    assert session.query("*OPC?") == "1"
    yield session
    session.write("ABOR")
    session.close()


def edges_later(meter, delays):
    def write():
        start = time.monotonic()
        for delay in delays:
            time.sleep(max(0.0, start + delay - time.monotonic()))
            fd = os.open(meter.root / "sim" / "ext_trigger", os.O_WRONLY | os.O_NONBLOCK)
            os.write(fd, b"x")
            os.close(fd)
    thread = threading.Thread(target=write)
    thread.start()
    return thread


@pytest.mark.parametrize("name", list(SEQUENCES))
def test_trigger_and_read_sequence(meter, dmm, name):
    setup, edges, query, expected, then = SEQUENCES[name]
    for message in setup:
        if message.endswith("?"):
            dmm.query(message)
        else:
            dmm.write(message)
    started = time.monotonic()
    dmm.write(query)
    writer = edges_later(meter, edges)
    answer = dmm.read()
    writer.join()
    if isinstance(expected, int):
        readings = [float(v) for v in answer.split(",")]
        assert len(readings) == expected and all(abs(v - VOLTS) <= 1e-3 for v in readings), answer
    elif expected is not None:
        assert answer == expected
    if edges:
        assert time.monotonic() - started >= edges[0] - 0.1, "answered before the first edge"
    for message, prefix in then:
        assert dmm.query(message).startswith(prefix), message


def test_a_long_read_succeeds_and_a_missing_trigger_times_out(meter, rm):
    # The reading time-out is the last VXI-11 client's I/O time-out: 5 s.
    vxi = open_session(rm, VXI_RESOURCE, timeout=5)
    assert vxi.query("*OPC?") == "1"
    vxi.close()
    dmm = open_session(rm, timeout=30)
    try:
        dmm.write("*RST;*CLS")
        dmm.write("CONF:VOLT:DC 10;SAMP:COUN 20")
        readings = dmm.query("READ?").split(",")
        assert len(readings) == 20 and dmm.query("SYST:ERR?").startswith("0,")
        dmm.write("SAMP:COUN 1;TRIG:SOUR EXT")
        started = time.monotonic()
        assert dmm.query("READ?;SYST:ERR?").startswith("-365,")
        assert time.monotonic() - started <= 5 + 1
    finally:
        dmm.close()


# How a read waiting for an edge that never comes is ended: ABORt on its own
# connection or on another one, or a VXI-11 device clear on its link.
ENDINGS = {
    "abort-on-its-connection": ("socket", lambda waiting, other: waiting.write("ABOR")),
    "abort-from-another-client": ("socket", lambda waiting, other: other.write("ABOR")),
    "device-clear": ("vxi11", lambda waiting, other: waiting.clear()),
}


@pytest.mark.parametrize("name", list(ENDINGS))
def test_a_waiting_read_holds_no_other_client_and_ends_at_once(meter, rm, name):
    transport, end = ENDINGS[name]
    waiting = rm.open_resource(TRANSPORTS[transport], read_termination="\n", write_termination="\n", timeout=20000)
    other = rm.open_resource(TRANSPORTS["socket"], read_termination="\n", write_termination="\n", timeout=2000)
    try:
        waiting.write("*RST;*CLS;TRIG:SOUR EXT")
        assert waiting.query("*OPC?") == "1"
        waiting.write("READ?")
        started = time.monotonic()
        assert other.query("*IDN?").count(",") == 3
        assert time.monotonic() - started <= 1
        started = time.monotonic()
        end(waiting, other)
        # Lists run in order: this answers only once the read has ended, and
        # it is the first answer (the aborted read's is dropped).
        waiting.timeout = 2000
        assert waiting.query("*OPC?") == "1"
        assert time.monotonic() - started <= 1
    finally:
        waiting.close()
        other.close()
