"""Function settings over the UI link and over SCPI in the own and the Corvane command set."""

import pytest

from conftest import NO_ERROR, next_notice, notifications, ui_request

pytest.importorskip("pyvisa")

UPDATE_FUNCTION_CONFIG = 258
FUNC_SET = 0x1000040C
DCV_RANGE_SET = 0x10000652
CONT_THRESHOLD_SET = 0x10000643
CMD_SET = 0x10001C00


def test_ui_settings_are_notified_refused_or_clamped(proto_pb2, service):
    pb = proto_pb2

    def notified(key, value):
        # Pushes of start-up and connect may come first.
        next_notice(pb, notices, UPDATE_FUNCTION_CONFIG, lambda pack: pack.data[key].s32Val == value)

    with notifications() as notices:
        assert ui_request(pb, FUNC_SET, k0=pb.Value(s32Val=1)).stat == 0
        notified(0x40C, 1)
        assert ui_request(pb, DCV_RANGE_SET, k652="abc").stat == 31
        assert ui_request(pb, CONT_THRESHOLD_SET, k643=pb.Value(s32Val=5000)).stat == 130
        notified(0x643, 1000)


@pytest.mark.parametrize("command_set", [0, 1], ids=["own", "Corvane"])
def test_scpi_function_and_range(proto_pb2, inst, command_set):
    assert ui_request(proto_pb2, CMD_SET, k1C00=proto_pb2.Value(s32Val=command_set)).stat == 0
    try:
        inst.write('FUNC "VOLT:AC"')
        assert inst.query("FUNC?") == '"VOLT:AC"'
        for text, answer in [("10", "1.00000000E+01"), ("100mV", "1.00000000E-01")][:2 - command_set]:
            inst.write(f"VOLT:DC:RANG {text}")
            assert inst.query("VOLT:DC:RANG?") == answer
            assert inst.query("SYST:ERR?") == NO_ERROR
    finally:
        ui_request(proto_pb2, CMD_SET, k1C00=proto_pb2.Value(s32Val=0))
