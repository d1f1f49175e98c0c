"""Trigger and read sequences as a script sends them, over the SCPI socket and VXI-11:
what each read answers, how many readings, and which errors."""

import os
import socket
import struct
import subprocess
import threading
import time

import pytest
pyvisa = pytest.importorskip("pyvisa")

from conftest import (PORTS, SCPI_PORT, SCPI_RESOURCE, VXI_PORT, Service, open_session, ready_session, serve,
                      ui_request, wait_for)
from conftest import SLOW
from test_vxi11 import RESOURCE as VXI_RESOURCE, portmapper  # noqa: F401 (fixture)


VOLTS = 1.5
OHMS = 4700
AMPS = 0.012
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
    # A count changed while an acquisition is armed applies from the next arming.
    "bus-count-change-after-init-applies-from-the-next-arming": (
        ["CONF:VOLT:DC 10", "TRIG:SOUR BUS", "INIT", "SAMP:COUN 2", "*TRG"], [], "FETC?", 1,
        [("SYST:ERR?", "0,"), ("INIT;*TRG;FETC?", lambda answer: len(answer.split(",")) == 2)]),
    # An armed acquisition is the operation pending: *OPC? and *WAI wait for it.
    "opc-query-waits-for-the-acquisition": (["TRIG:SOUR EXT", "INIT"], [0.5], "*OPC?", "1",
                                            [("SYST:ERR?", "0,")]),
    # The reading a change stores is pending too: *OPC? answers once it is in, and none follows.
    "opc-query-waits-for-the-reading-a-change-stores": (
        ["*RST", "CONF:VOLT:DC 10", "VOLT:DC:NPLC 5", "TRIG:SOUR BUS"], [], "*OPC?", "1",
        [("DATA:POIN?", "1"), ("*OPC?;DATA:POIN?", "1;1")]),
    # A change of trigger source ends the armed acquisition as ABORt does.
    "source-change-ends-the-acquisition": ([], [], "TRIG:SOUR BUS;INIT;TRIG:SOUR IMM;*OPC?", "1",
                                           [("SYST:ERR?", "0,")]),
    # A reset while an external-trigger acquisition is armed returns to the free run.
    "reset-while-armed-runs-free": (
        ["CONF:VOLT:DC 10;TRIG:SOUR EXT;SAMP:COUN 5", "*OPC?", "R?", "INIT;*RST;VOLT:DC:NPLC 0.4"], [],
        "*OPC?", "1", [("TRIG:SOUR?", "IMM"), ("DATA:POIN?", lambda answer: int(answer) >= 1)]),
}


@pytest.fixture(scope="module")
def meter(portmapper, service_binary, build_dir, tmp_path_factory):  # noqa: F811
    root = tmp_path_factory.mktemp("trigger_root")
    subprocess.run([str(build_dir / "dmm-sim-calibration"), str(root)], check=True, capture_output=True)
    (root / "sim").mkdir()
    (root / "sim" / "input.conf").write_text(f"dc_volts = {VOLTS}\nohms = {OHMS}\ndc_amps = {AMPS}\n")
    yield from serve(Service(service_binary, root), PORTS + (VXI_PORT,))


@pytest.fixture(params=sorted(TRANSPORTS))
def dmm(request, meter, rm):
    session = ready_session(rm, TRANSPORTS[request.param], setup="*RST;*CLS")
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
    answered = time.monotonic() - started
    writer.join()
    if isinstance(expected, int):
        readings = [float(v) for v in answer.split(",")]
        assert len(readings) == expected and all(abs(v - VOLTS) <= 1e-3 for v in readings), answer
    elif expected is not None:
        assert answer == expected
    if edges:
        assert answered >= edges[0] - 0.1, "answered before the first edge"
    for message, prefix in then:
        answer = dmm.query(message)
        assert prefix(answer) if callable(prefix) else answer.startswith(prefix), (message, answer)


def one_reading_and_no_error(answer):
    reading, error = answer.split(";")
    return abs(float(reading) - VOLTS) <= 1e-3 and error == '0,"No error"'


# A VISA trigger (device_trigger) is *TRG on that link, sent right after the link's write: (that write, the query
# after the trigger, its answer or a test of it).
VISA_TRIGGERS = {
    "takes-the-reading-the-bus-trigger-owes": ("TRIG:SOUR BUS;SAMP:COUN 1;TRIG:COUN 1;INIT", "FETC?;:SYST:ERR?",
                                               one_reading_and_no_error),
    "nothing-armed": ("TRIG:SOUR BUS", "SYST:ERR?", '-200,"Execution error"'),
    "armed-for-another-source": ("TRIG:SOUR EXT;INIT", "SYST:ERR?", '-211,"Trigger ignored"'),
}


@pytest.mark.parametrize("name", list(VISA_TRIGGERS))
def test_a_visa_trigger_is_the_instruments_trg(meter, rm, name):
    before, query, expected = VISA_TRIGGERS[name]
    vxi = ready_session(rm, VXI_RESOURCE, setup="*RST;*CLS")
    try:
        vxi.write(before)
        vxi.assert_trigger()
        answer = vxi.query(query)
        assert expected(answer) if callable(expected) else answer == expected, answer
    finally:
        vxi.write("ABOR")
        vxi.close()


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
        assert time.monotonic() - started <= 5 + SLOW
    finally:
        dmm.close()


# How a read waiting for an edge that never comes is ended: ABORt on its own
# connection or on another one, or a VXI-11 device clear of its link or of
# another. The waits of *OPC? and FETC? on an armed acquisition end the same
# way. The waiting client's own abort or clear drops its answer (None); one
# by another client completes the wait, which answers.
def abort(session):
    session.write("ABOR")


ARMING = "TRIG:SOUR BUS;SAMP:COUN 5;INIT;*OPC?"
ENDINGS = {  # waiting transport, messages, transport of the other client, who ends it, the waiter's answer
    "abort-on-its-connection": ("socket", ["READ?"], "socket", "waiting", abort, None),
    "abort-from-another-client": ("socket", ["READ?"], "socket", "other", abort, '""'),
    "device-clear": ("vxi11", ["READ?"], "socket", "waiting", lambda s: s.clear(), None),
    "fetch-abort-from-another-client": ("socket", ["INIT", "FETC?"], "socket", "other", abort, '""'),
    "opc-query-abort-from-another-client": ("socket", ["INIT", "*OPC?"], "socket", "other", abort, "1"),
    "opc-query-device-clear": ("vxi11", ["INIT", "*OPC?"], "socket", "waiting", lambda s: s.clear(), None),
    "opc-query-in-its-message-abort-from-another-client": ("socket", [ARMING], "socket", "other", abort, "1"),
    "opc-query-device-clear-of-another-link": ("socket", [ARMING], "vxi11", "other", lambda s: s.clear(), "1"),
}


@pytest.mark.parametrize("name", list(ENDINGS))
def test_a_waiting_read_holds_no_other_client_and_ends_at_once(meter, rm, name):
    transport, messages, other_transport, ender, end, answer = ENDINGS[name]
    waiting = rm.open_resource(TRANSPORTS[transport], read_termination="\n", write_termination="\n", timeout=20000)
    other = rm.open_resource(TRANSPORTS[other_transport], read_termination="\n", write_termination="\n",
                             timeout=2000 * SLOW)
    try:
        waiting.write("*RST;*CLS;TRIG:SOUR EXT")
        assert waiting.query("*OPC?") == "1"
        for message in messages:
            waiting.write(message)
        started = time.monotonic()
        assert other.query("*IDN?").count(",") == 3
        assert time.monotonic() - started <= SLOW
        # Still waiting: no answer yet.
        waiting.timeout = 300
        with pytest.raises(pyvisa.errors.VisaIOError):
            waiting.read()
        started = time.monotonic()
        end(waiting if ender == "waiting" else other)
        waiting.timeout = 2000 * SLOW
        if answer is not None:
            assert waiting.read() == answer
        # Lists run in order: this answers only once the wait has ended, and
        # after the waiter's own answer if it has one.
        assert waiting.query("*OPC?") == "1"
        assert time.monotonic() - started <= SLOW
    finally:
        waiting.close()
        other.close()


# One client leaves lists that wait for readings no trigger will take, then
# a setting, in one write, and stays or leaves (resets its connection: one
# that only shuts down its sending side is still answered). Another client,
# over either transport, is answered meanwhile, also for a query that itself
# runs off the command poller (the catalogue); the one that left waits for
# nothing, so its setting takes effect at once, or, behind more lists than a
# client may have queued, once the service has seen it leave.
HOLDERS = {  # the holding client leaves, its waiting lists, transport of the other client
    "connected-holder-socket": (False, 6, "socket"),
    "connected-holder-vxi11": (False, 6, "vxi11"),
    "gone-holder-socket": (True, 6, "socket"),
    "gone-holder-vxi11": (True, 6, "vxi11"),
    "gone-holder-of-many-lists": (True, 1000, "socket"),
}


def reset(sock):
    """Leaves as a client that has gone; one that ends its sending side is still answered."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


@pytest.mark.parametrize("name", list(HOLDERS))
def test_one_clients_waiting_lists_hold_up_no_other(meter, rm, name):
    leaves, lists, transport = HOLDERS[name]
    ready_session(rm, setup="*RST;*CLS").close()
    holder = socket.create_connection(("127.0.0.1", SCPI_PORT))
    holder.sendall(("TRIG:SOUR BUS;:SAMP:COUN 2\n" + "DATA:REM? 100000,WAIT\n" * lists + "SAMP:COUN 3\n").encode())
    if leaves:
        reset(holder)
    # Under a read time-out of 5 s, one of the holder's waits alone outlasts this.
    other = open_session(rm, TRANSPORTS[transport], timeout=2)
    try:
        assert other.query("MMEM:CAT?").count(",") >= 1
        if leaves:
            # At once, or behind lists held back, once the service has seen it leave.
            assert wait_for(lambda: other.query("SAMP:COUN?") == "3", timeout=2 + 3)
            assert other.query("SYST:ERR?").startswith("0,")  # none of its lists was refused
        else:
            holder.settimeout(0.3)
            with pytest.raises(socket.timeout):
                holder.recv(1)  # its first wait goes on
    finally:
        if holder.fileno() != -1:
            reset(holder)  # its waits would go on for it, and queue their time-outs
        other.close()


# A VXI-11 read's I/O time-out is its link's reading time-out alone: a socket
# client's reads keep the engine's 5 s, shorter or longer than that read's.
VXI_TIMEOUTS = {  # the VXI-11 read's I/O time-out (s), the socket client's query, its answer's check
    "short": (0.001, "*RST;:MEAS:VOLT:DC?", lambda answer: abs(float(answer) - VOLTS) <= 1e-3),
    "long": (60, "TRIG:SOUR BUS;:DATA:REM? 100000,WAIT;:SYST:ERR?",
             lambda answer: answer.startswith("-365,")),
}


@pytest.mark.parametrize("name", list(VXI_TIMEOUTS))
def test_a_vxi11_read_timeout_is_its_own_links(meter, rm, name):
    io_timeout, query, check = VXI_TIMEOUTS[name]
    vxi = open_session(rm, VXI_RESOURCE, timeout=io_timeout)
    dmm = open_session(rm, timeout=5 + 3)
    try:
        vxi.write("*OPC?")
        try:
            vxi.read()  # with 1 ms its answer may come too late: the time-out is given all the same
        except pyvisa.errors.VisaIOError:
            pass
        assert check(dmm.query(query))
    finally:
        dmm.write("*RST;*CLS")
        dmm.close()
        vxi.close()


# A read or fetch that another client cuts short answers the readings its
# acquisition took (three triggers of one sample armed, `taken` of them come
# before the end) and queues one -230, so that a script tells it from a whole
# answer. A count change does not cut it short: the armed acquisition keeps the
# counts it was armed with (a new count applies from the next arming), so the
# triggers still to come (`rest`) bring the whole answer, with no error, and
# the reading memory holds every reading of it.
CUT_SHORT = {  # trigger source, query, readings taken, transport of the other client, its end, triggers to come
    "fetch-abort-from-another-client": ("BUS", "FETC?", 1, "socket", abort, None),
    "fetch-device-clear-of-another-link": ("BUS", "FETC?", 1, "vxi11", lambda s: s.clear(), None),
    "fetch-function-change-by-another-client": ("BUS", "FETC?", 1, "socket", lambda s: s.write("CONF:RES 10000"),
                                                None),
    "read-abort-from-another-client": ("EXT", "READ?", 1, "socket", abort, None),
    "read-source-change-by-another-client": ("EXT", "READ?", 1, "vxi11", lambda s: s.write("TRIG:SOUR IMM"), None),
    "read-function-change-before-any-reading": ("EXT", "READ?", 0, "socket", lambda s: s.write("CONF:RES 10000"),
                                                None),
    "read-range-change-by-another-client": ("EXT", "READ?", 1, "socket", lambda s: s.write("VOLT:DC:RANG 100"),
                                            None),
    "fetch-null-change-by-another-client": ("BUS", "FETC?", 1, "socket",
                                            lambda s: s.write("VOLT:DC:NULL:VAL 1;:VOLT:DC:NULL ON"), None),
    "read-null-as-it-is-by-another-client": ("EXT", "READ?", 1, "vxi11", lambda s: s.write("VOLT:DC:NULL OFF"), 2),
    "read-sample-count-change-by-another-client": ("EXT", "READ?", 1, "socket", lambda s: s.write("SAMP:COUN 2"), 2),
    "fetch-trigger-count-change-by-another-client": ("BUS", "FETC?", 1, "vxi11", lambda s: s.write("TRIG:COUN 2"),
                                                     2),
    "read-trigger-count-as-it-is-by-another-client": ("EXT", "READ?", 1, "vxi11", lambda s: s.write("TRIG:COUN 3"),
                                                      2),
    "fetch-sample-count-as-it-is-by-another-client": ("BUS", "FETC?", 1, "socket", lambda s: s.write("SAMP:COUN 1"),
                                                      2),
}


def points_reach(session, count):
    deadline = time.monotonic() + 5
    while int(session.query("DATA:POIN?")) < count and time.monotonic() < deadline:
        pass
    return int(session.query("DATA:POIN?")) == count


def trigger(meter, other, source):
    """One trigger event, from the other client under BUS, into the trigger input under EXT."""
    if source == "BUS":
        other.write("*TRG")
    else:
        edges_later(meter, [0]).join()


def read_while_another_acts(meter, rm, source, query, taken, other_transport, act, rest):
    """`query` waits for three triggers of one reading each; `taken` of them come, another client acts, then
    `rest` more come (None: none). Checks the answer's readings (None: cut short, `taken` of them, and one
    -230; otherwise all of them and no error, and the memory holds them too)."""
    waiting = open_session(rm, timeout=20)
    other = open_session(rm, TRANSPORTS[other_transport], timeout=2)
    try:
        waiting.write(f"*RST;*CLS;CONF:VOLT:DC 10;TRIG:SOUR {source};SAMP:COUN 1;TRIG:COUN 3")
        assert waiting.query("*OPC?") == "1"  # the readings the changes store are in
        stored = int(other.query("DATA:POIN?"))
        if source == "BUS":
            waiting.write("INIT" + ";*TRG" * taken)
        waiting.write(query)
        # Still waiting: no answer yet.
        waiting.timeout = 300
        with pytest.raises(pyvisa.errors.VisaIOError):
            waiting.read()
        if source == "EXT":
            edges_later(meter, [0] * taken).join()
        assert points_reach(other, stored + taken)
        act(other)
        for n in range(rest or 0):
            # Each trigger once the reading before is stored: one reading per pass.
            trigger(meter, other, source)
            assert points_reach(other, stored + taken + n + 1)
        waiting.timeout = 2000
        answer = waiting.read()
        expected = taken + (rest or 0)
        if expected:
            readings = [float(v) for v in answer.split(",")]
            assert len(readings) == expected and all(abs(v - VOLTS) <= 1e-3 for v in readings), answer
        else:
            assert answer == '""'
        if rest is None:
            assert waiting.query("SYST:ERR?") == '-230,"Data corrupt or stale"'
        else:
            assert int(other.query("DATA:POIN?")) == stored + expected
        assert waiting.query("SYST:ERR?").startswith("0,")
        return answer, stored + expected
    finally:
        waiting.close()
        other.close()


@pytest.mark.parametrize("name", list(CUT_SHORT))
def test_a_read_cut_short_by_another_client_answers_its_readings_and_queues_one_error(meter, rm, name):
    read_while_another_acts(meter, rm, *CUT_SHORT[name])


CONT_THRESHOLD_SET, DCV_RATE_SET, RANGE_SET = 0x10000643, 0x10000662, 0x10000648


# A setting over the UI link while a read waits: one that changes no reading (the continuity threshold
# while DC volts are measured, any setting sent as it is) leaves the acquisition and the reading memory
# alone, also once the acquisition is complete; one that does change the readings cuts the read short.
UI_SETTINGS = {  # trigger source, query, the setting (id, key, value; None: as it is), whether it changes readings
    "fetch-threshold": ("BUS", "FETC?", (CONT_THRESHOLD_SET, "k643", 500), False),
    "read-threshold-as-it-is": ("EXT", "READ?", (CONT_THRESHOLD_SET, "k643", None), False),
    "fetch-rate-as-it-is": ("BUS", "FETC?", (DCV_RATE_SET, "k662", None), False),
    "read-range-as-it-is": ("EXT", "READ?", (RANGE_SET, "k648", None), False),
    "read-rate": ("EXT", "READ?", (DCV_RATE_SET, "k662", 1), True),
}


@pytest.mark.parametrize("name", list(UI_SETTINGS))
def test_a_ui_setting_while_a_read_waits_cuts_it_short_only_if_it_changes_the_readings(meter, rm, proto_pb2,
                                                                                       name):
    source, query, (code, key, value), changes = UI_SETTINGS[name]

    def setting(_):
        sent = value
        if sent is None:  # the setting's own query answers under the same key
            sent = ui_request(proto_pb2, code & 0xFFFF | 0x20000000).data[int(key[1:], 16)].s32Val
        assert ui_request(proto_pb2, code, **{key: proto_pb2.Value(s32Val=sent)}).stat == 0

    answer, points = read_while_another_acts(meter, rm, source, query, 1, "socket", setting,
                                             None if changes else 2)
    if not changes:
        dmm = open_session(rm)
        try:
            setting(dmm)
            assert dmm.query("DATA:POIN?;:FETC?;:SYST:ERR?") == f'{points};{answer};0,"No error"'
        finally:
            dmm.close()


# A reading at 20 NPLC while the UI link sends one continuity threshold after another: none of them
# restarts it.
def test_a_reading_completes_while_the_ui_link_keeps_setting_the_threshold(meter, rm, proto_pb2):
    dmm = ready_session(rm, setup="*RST;*CLS;CONF:VOLT:DC 10", timeout=10)
    done = threading.Event()
    sent = []  # the status of each setting

    def keep_setting():
        while not done.is_set():
            ohms = proto_pb2.Value(s32Val=10 + len(sent) % 2)
            sent.append(ui_request(proto_pb2, CONT_THRESHOLD_SET, k643=ohms).stat)

    changer = threading.Thread(target=keep_setting)
    changer.start()
    try:
        assert wait_for(lambda: len(sent) >= 2)
        answer = dmm.query("READ?;:SYST:ERR?")
    finally:
        done.set()
        changer.join()
        dmm.close()
    reading, error = answer.split(";")
    assert abs(float(reading) - VOLTS) <= 1e-3 and error == '0,"No error"', answer
    assert len(sent) >= 3 and set(sent) == {0}, "no threshold was set while the reading was taken"


def armed(session):
    """An acquisition is armed: a bus trigger is ignored (-211) rather than refused (-200)."""
    return wait_for(lambda: session.query("*TRG;SYST:ERR?").startswith("-211,"))


# A reader that leaves ends its acquisition as a read that times out does: the
# other clients' *OPC? and FETC? answer at once (before the 5 s a wait on it
# would take), and no later trigger hands them readings taken for it.
# A socket client leaves by a reset (a plain close only ends its input), a VXI-11
# client by destroying its link.
def read_and_reset(rm):
    leaving = socket.create_connection(("127.0.0.1", SCPI_PORT))
    leaving.sendall(b"READ?\n")
    return lambda: (leaving.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)),
                    leaving.close())


def read_and_destroy_link(rm):
    leaving = open_session(rm, VXI_RESOURCE)
    leaving.write("READ?")
    return leaving.close


@pytest.mark.parametrize("read_then_leave", [read_and_reset, read_and_destroy_link], ids=["socket", "vxi11"])
def test_a_reader_that_leaves_ends_its_acquisition(meter, rm, read_then_leave):
    other = ready_session(rm, setup="*RST;*CLS;TRIG:SOUR EXT", timeout=4)
    try:
        leave = read_then_leave(rm)
        try:
            assert armed(other)
        finally:
            leave()
        assert other.query("*OPC?") == "1"
        assert other.query("FETC?") == '""'
        stored = int(other.query("DATA:POIN?"))
        edges_later(meter, [0]).join()
        assert wait_for(lambda: int(other.query("DATA:POIN?")) > stored)
        assert other.query("FETC?;:SYST:ERR?") == '"";0,"No error"'
    finally:
        other.close()


MEAS_DATA_READ = 0x2000060F


# A UI read while a remote read waits is refused (status 92, -284) and changes
# nothing: the remote read, armed before it, still gets its own reading.
def test_a_refused_ui_read_leaves_the_waiting_read_alone(meter, rm, proto_pb2):
    waiting = ready_session(rm, setup="*RST;*CLS;TRIG:SOUR EXT", timeout=4)
    other = ready_session(rm)
    try:
        waiting.write("READ?")
        # READ? takes the one reader's place before it arms.
        assert armed(other)
        assert ui_request(proto_pb2, MEAS_DATA_READ).stat == 92
        edges_later(meter, [0]).join()
        assert abs(float(waiting.read()) - VOLTS) <= 1e-3
        assert waiting.query("SYST:ERR?") == '-284,"Program currently running"'
        assert waiting.query("SYST:ERR?").startswith("0,")
    finally:
        waiting.close()
        other.close()


def esr_bits(session, timeout):
    """The standard event bits seen until operation complete (bit 0) shows or timeout s pass."""
    seen = 0
    deadline = time.monotonic() + timeout
    while not seen & 1 and time.monotonic() < deadline:
        seen |= int(session.query("*ESR?"))
    return seen


# *OPC with an acquisition armed: how the acquisition ends, and whether that
# sets operation complete (a reset ends it with the event register cleared,
# and a later acquisition does not set it either).
OPC_ENDINGS = {
    "edge": ("socket", lambda dmm, meter: edges_later(meter, [0.5]).join(), 1),
    "abort": ("socket", lambda dmm, meter: dmm.write("ABOR"), 1),
    "device-clear": ("vxi11", lambda dmm, meter: dmm.clear(), 1),
    "reset": ("socket", lambda dmm, meter: dmm.query("*RST;TRIG:SOUR BUS;INIT;*TRG;FETC?"), 0),
}


@pytest.mark.parametrize("name", list(OPC_ENDINGS))
def test_opc_sets_operation_complete_when_the_acquisition_ends(meter, rm, name):
    transport, end, expected = OPC_ENDINGS[name]
    dmm = open_session(rm, TRANSPORTS[transport], timeout=5)
    try:
        dmm.write("*RST;*CLS;TRIG:SOUR EXT;INIT;*OPC")
        assert dmm.query("*ESR?") == "0"
        end(dmm, meter)
        assert esr_bits(dmm, 2 if expected else 0.5) & 1 == expected
    finally:
        dmm.write("ABOR")
        dmm.close()


CMD_SET, CORVANE = 0x10001C00, 1


@pytest.fixture
def corvane(meter, proto_pb2):
    """The Corvane command set, which has *WAI (the own set has none)."""
    assert ui_request(proto_pb2, CMD_SET, k1C00=proto_pb2.Value(s32Val=CORVANE)).stat == 0
    yield
    ui_request(proto_pb2, CMD_SET, k1C00=proto_pb2.Value(s32Val=0))


def test_wai_holds_the_next_command_until_the_acquisition_ends(meter, rm, corvane):
    dmm = open_session(rm, timeout=5)
    try:
        dmm.write("*RST;*CLS;TRIG:SOUR EXT")
        assert dmm.query("*WAI;*IDN?").count(",") == 3
        dmm.write("INIT")
        started = time.monotonic()
        dmm.write("*WAI;*IDN?")
        writer = edges_later(meter, [0.5])
        assert dmm.read().count(",") == 3
        assert time.monotonic() - started >= 0.4, "answered before the edge"
        writer.join()
        assert dmm.query("SYST:ERR?").startswith("0,")
    finally:
        dmm.close()


# Three clients, each with its own function, send "configure; read" at the same moment, and take every
# function in turn: each message runs whole, so each answer is its own function's reading, none is cut short
# and no error is queued.
FUNCTIONS = [("VOLT:DC 10", VOLTS), ("RES 10000", OHMS), ("CURR:DC 0.1", AMPS)]


def test_messages_of_several_clients_run_whole(meter, rm):
    clients = [ready_session(rm, resource, setup="*RST;*CLS")
               for resource in (SCPI_RESOURCE, SCPI_RESOURCE, VXI_RESOURCE)]
    start = threading.Barrier(len(clients))
    wrong = []

    def measure(client, function, value):
        start.wait()
        answer = client.query(f"CONF:{function};:READ?")
        try:
            right = abs(float(answer) - value) <= 1e-3 * value
        except ValueError:
            right = False
        if not right:
            wrong.append((function, answer))

    try:
        for rounds in range(12):
            threads = [threading.Thread(target=measure, args=(client,) + FUNCTIONS[(i + rounds) % 3])
                       for i, client in enumerate(clients)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        assert wrong == []
        assert clients[0].query("SYST:ERR?").startswith("0,")
    finally:
        for client in clients:
            client.close()


# A client leaves with a wait and a setting behind it; a client that comes after it has gone sets the same
# thing in a message of its own, which runs whole, and the gone client's setting still runs, before or after
# it (each takes its turn). A socket client leaves by a reset (a plain close of a socket is only the end of
# its input), a VXI-11 client by destroying its link.
def leave_socket(meter, rm):
    setting = "SCPI cmd = SAMP:COUN 7"
    before = sum(setting in line for line in meter.log_lines())
    holder = socket.create_connection(("127.0.0.1", SCPI_PORT))
    holder.sendall(b"DATA:REM? 100000,WAIT\nSAMP:COUN 7\n")
    # Read by the service (it logs each message it takes), so the reset cannot discard it.
    assert wait_for(lambda: sum(setting in line for line in meter.log_lines()) > before)
    return lambda: (holder.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)),
                    holder.close())


def leave_vxi11(meter, rm):
    holder = open_session(rm, VXI_RESOURCE)
    holder.write("DATA:REM? 100000,WAIT")
    holder.write("SAMP:COUN 7")
    return holder.close


@pytest.mark.parametrize("leave", [leave_socket, leave_vxi11], ids=["socket-reset", "vxi11-destroyed-link"])
def test_what_a_gone_client_sent_still_runs_taking_turns(meter, rm, leave):
    ready_session(rm, setup="*RST;*CLS;TRIG:SOUR BUS").close()
    ran = "sample = 7"  # the log line of the gone client's setting
    for _ in range(8):
        before = sum(ran in line for line in meter.log_lines())
        leave(meter, rm)()
        later = socket.create_connection(("127.0.0.1", SCPI_PORT))
        later.settimeout(5)
        answers = later.makefile()
        later.sendall(b"SAMP:COUN 3;:SAMP:COUN?\n")
        assert answers.readline().strip() == "3"
        assert wait_for(lambda: sum(ran in line for line in meter.log_lines()) > before)
        later.close()
