"""Function settings of the whole service: over the UI link (9999/9998) and
over SCPI (5025) in the own command set and in the Corvane set."""

import socket
import time

import pytest

from conftest import IO_TIMEOUT, NOTIFY_FLAG, NOTIFY_PORT, as_int32, read_pack, request

pyvisa = pytest.importorskip("pyvisa")

UPDATE_FUNCTION_CONFIG = 258
FUNC_SET = 0x1000040C
DCV_RANGE_SET = 0x10000652
CONT_THRESHOLD_SET = 0x10000643
CMD_SET = 0x10001C00
NO_ERROR = '0,"No error"'


def ui_request(pb, code, key, **value):
    pack = pb.DataPack(code=code)
    for kind, v in value.items():
        setattr(pack.data[key], kind, v)
    return request(pb, pack)


def wait_function_config(pb, sock, key, value):
    """Reads notifications until an UPDATE_FUNCTION_CONFIG carries `value` under
    `key` (pushes of start-up and connect may come first)."""
    deadline = time.monotonic() + IO_TIMEOUT
    while time.monotonic() < deadline:
        pack = read_pack(pb, sock)
        if pack.code == as_int32(UPDATE_FUNCTION_CONFIG | NOTIFY_FLAG) and pack.data[key].s32Val == value:
            return
    raise AssertionError(f"no function configuration with {value} under {key:#x} was notified")


@pytest.fixture
def notices(service):
    with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=IO_TIMEOUT) as sock:
        sock.settimeout(IO_TIMEOUT)
        yield sock


def test_ui_selects_a_function_and_gets_its_notification(proto_pb2, notices):
    assert ui_request(proto_pb2, FUNC_SET, 0, s32Val=1).stat == 0
    wait_function_config(proto_pb2, notices, 0x40C, 1)


def test_ui_refuses_a_range_text_and_clamps_the_threshold(proto_pb2, notices):
    assert ui_request(proto_pb2, DCV_RANGE_SET, 0x652, strVal="abc").stat == 31
    assert ui_request(proto_pb2, CONT_THRESHOLD_SET, 0x643, s32Val=5000).stat == 130
    wait_function_config(proto_pb2, notices, 0x643, 1000)


def check_no_error(inst):
    assert inst.query("SYST:ERR?") == NO_ERROR


@pytest.mark.parametrize("command_set", [0, 1], ids=["own", "Corvane"])
def test_scpi_function_and_range(proto_pb2, inst, command_set):
    assert ui_request(proto_pb2, CMD_SET, 0x1C00, s32Val=command_set).stat == 0
    try:
        inst.write('FUNC "VOLT:AC"')
        assert inst.query("FUNC?") == '"VOLT:AC"'
        inst.write("VOLT:DC:RANG 10")
        assert inst.query("VOLT:DC:RANG?") == "1.00000000E+01"
        check_no_error(inst)
        if command_set == 0:
            inst.write("VOLT:DC:RANG 100mV")
            assert inst.query("VOLT:DC:RANG?") == "1.00000000E-01"
            check_no_error(inst)
    finally:
        ui_request(proto_pb2, CMD_SET, 0x1C00, s32Val=0)
