"""SCPI over the raw socket (TCP 5025), driven by PyVISA's pure-Python backend.

One MainService (from DMM_BUILD_DIR) serves the whole module; each test works
with its own VISA session and starts from a clear status (*CLS). The service is
stopped at the end, and its output checked for sanitizer reports.
"""

import socket
import time

import pytest

from conftest import (IO_TIMEOUT, NOTIFY_FLAG, NOTIFY_PORT, PRODUCT_INFO_GET, SCPI_RESOURCE, as_int32,
                      read_pack, request)

pyvisa = pytest.importorskip("pyvisa")

ON_LOCAL_STATE_CHANGE = 2313
# Status byte bits: error queue not empty, standard event summary.
STB_ERROR_QUEUE = 0x04
STB_EVENT_SUMMARY = 0x20
# Standard event register bits: execution error, command error.
ESR_EXECUTION_ERROR = 0x10
ESR_COMMAND_ERROR = 0x20
NO_ERROR = '0,"No error"'


def errors(inst):
    """Reads the error queue empty: every entry before the first 0,"No error"."""
    texts = []
    for _ in range(25):
        text = inst.query("SYST:ERR?")
        if text == NO_ERROR:
            return texts
        texts.append(text)
    raise AssertionError(f"the error queue does not drain: {texts}")


def test_idn_answers_the_maker_and_the_identity(inst, proto_pb2):
    pb = proto_pb2
    reply = request(pb, pb.DataPack(code=PRODUCT_INFO_GET))
    info = pb.ProtoProductInfo.FromString(reply.data[0x122E].rawVal)
    expected = ",".join(["Vorna Technologies", info.mModel, info.mSerialNum, info.mSwVer])
    assert inst.query("*IDN?") == expected
    assert inst.query("*idn?") == expected


def test_execution_error_sets_its_event_bit_and_the_summary(inst):
    inst.write("*ESE 16")
    inst.write("*ESE 66")  # bit 1 is not an enable bit: refused, -222
    # The refused value marks bit 5 as well, as every refused enable value does.
    assert int(inst.query("*ESR?")) == ESR_EXECUTION_ERROR | ESR_COMMAND_ERROR
    stb = int(inst.query("*STB?"))
    assert stb == STB_EVENT_SUMMARY | STB_ERROR_QUEUE
    # *ESR? cleared the event register; the status byte keeps its bit until *CLS.
    assert int(inst.query("*ESR?")) == 0
    assert int(inst.query("*STB?")) == stb
    assert inst.query("*ESE?") == "16"
    assert errors(inst) == ['-222,"Data out of range"']
    assert int(inst.query("*STB?")) == STB_EVENT_SUMMARY


def test_unknown_command_sets_the_command_error_bit(inst):
    assert inst.query("*ESE 16;*ESE?") == "16"
    inst.write("FOO:BAR")
    assert int(inst.query("*ESR?")) == ESR_COMMAND_ERROR
    # Only execution errors are enabled: no summary bit, just queued errors.
    assert int(inst.query("*STB?")) == STB_ERROR_QUEUE
    # -100 follows when the command reached the service as a message of its
    # own; TCP may have joined it with the writes around it.
    queued = errors(inst)
    assert queued[0] == '-113,"Undefined header; keyword cannot be found"'
    assert queued[1:] in ([], ['-100,"Command error"']), queued
    assert inst.query("SYST:ERR?") == NO_ERROR
    assert int(inst.query("*STB?")) == 0


def test_twenty_five_errors_keep_nineteen_and_the_overflow(inst):
    for _ in range(25):
        inst.write("*ESE 66")
    queued = errors(inst)
    assert queued == ['-222,"Data out of range"'] * 19 + ['-350,"Queue overflow"']
    assert inst.query("SYST:ERR?") == NO_ERROR


def test_rst_answers_nothing(inst):
    inst.write("*RST")
    # Anything *RST had sent would arrive ahead of this reply.
    assert inst.query("*OPC?") == "1"
    assert errors(inst) == []


def test_a_piece_without_terminator_is_served_after_a_pause(service):
    with socket.create_connection(("127.0.0.1", 5025), timeout=IO_TIMEOUT) as sock:
        sock.settimeout(IO_TIMEOUT)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The piece after the line feed never gets one of its own.
        sock.sendall(b"*ESE 36;*ESE?\n*OPC?")
        reply = b""
        while reply.count(b"\n") < 2:
            reply += sock.recv(64)
        assert reply == b"36\n1\n"


def wait_local_state(pb, sock, local):
    """Reads notifications until the local/remote state `local` is told."""
    deadline = time.monotonic() + IO_TIMEOUT
    while time.monotonic() < deadline:
        pack = read_pack(pb, sock)
        if pack.code == as_int32(ON_LOCAL_STATE_CHANGE | NOTIFY_FLAG):
            if pack.data[ON_LOCAL_STATE_CHANGE].bVal == local:
                return
    raise AssertionError(f"local state {local} was not notified")


def test_a_client_switches_to_remote_and_its_leaving_back_to_local(service, rm, proto_pb2):
    with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=IO_TIMEOUT) as ui:
        ui.settimeout(IO_TIMEOUT)
        # The managers' connect-time pushes show that this client is attached.
        read_pack(proto_pb2, ui)
        session = rm.open_resource(SCPI_RESOURCE, read_termination="\n", write_termination="\n")
        wait_local_state(proto_pb2, ui, local=False)
        assert session.query("*OPC?") == "1"
        session.close()
        wait_local_state(proto_pb2, ui, local=True)
