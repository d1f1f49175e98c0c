"""Mass-memory commands over SCPI and a file copy over the UI link, on the
whole service: folders, stored states, the catalogue, paths kept inside the
storage roots, and the copy's reports on the notification port."""

import socket

import pytest

from conftest import IO_TIMEOUT, NOTIFY_FLAG, NOTIFY_PORT, as_int32, read_pack, request

pytest.importorskip("pyvisa")

NO_ERROR = '0,"No error"'
EXECUTION_ERROR = '-200,"Execution error"'
FILE_COPY = 0x10000F06
FILE_OPERATION_STATUS = 2327


def test_folder_and_state_are_catalogued(inst, service):
    inst.write('MMEM:MDIR "INT:\\d"')
    inst.write('MMEM:STOR:STAT "s"')
    catalogue = inst.query("MMEM:CAT?")
    assert inst.query("SYST:ERR?") == NO_ERROR
    assert '"d,FOLD,0"' in catalogue
    size = (service.root / "data" / "UserData" / "s.sta").stat().st_size
    assert f'"s.sta,STAT,{size}"' in catalogue
    assert inst.query("MMEM:CDIR?") == '"INT:\\"'
    inst.write('MMEM:STAT:REC:SEL "INT:\\s.sta"')
    assert inst.query("MMEM:STAT:REC:SEL?") == "/data/UserData/s.sta"


def test_paths_outside_the_roots_are_refused(inst, service):
    data = service.root / "vorna" / "data"
    data.mkdir(parents=True, exist_ok=True)
    (data / "keep").write_text("k")
    inst.write('MMEM:DEL "INT:/../../vorna/data"')
    assert inst.query("SYST:ERR?") == EXECUTION_ERROR
    inst.write('MMEM:DEL "INT:/x$(touch m)"')
    inst.write('MMEM:DEL "INT:/x`touch n`"')
    assert inst.query("*OPC?") == "1"
    assert (data / "keep").read_text() == "k"
    assert not [p for p in service.root.rglob("*") if p.name in ("m", "n")]


def test_storage_commands_take_effect_in_the_order_sent(inst, service):
    for i in range(5):
        inst.write(f'MMEM:MDIR "INT:\\o{i}"')
        for name in "ab":
            inst.write(f'MMEM:STOR:STAT "INT:\\o{i}\\{name}"')
        inst.write(f'MMEM:DEL "INT:\\o{i}\\a.sta"')
        inst.write(f'MMEM:DEL "INT:\\o{i}\\b.sta"')
        inst.write(f'MMEM:RDIR "INT:\\o{i}"')
        assert inst.query("SYST:ERR?") == NO_ERROR
        assert not (service.root / "data" / "UserData" / f"o{i}").exists()


def test_a_stored_state_restores_a_changed_range(inst):
    inst.write("VOLT:DC:RANG 10")
    inst.write('MMEM:STOR:STAT "r"')
    inst.write("VOLT:DC:RANG 100mV")
    assert inst.query("VOLT:DC:RANG?") == "1.00000000E-01"
    inst.write('MMEM:LOAD:STAT "r"')
    assert inst.query("VOLT:DC:RANG?") == "1.00000000E+01"
    inst.write('MMEM:LOAD:STAT "missing"')
    assert inst.query("SYST:ERR?") == EXECUTION_ERROR


def test_a_ui_copy_reports_on_the_notification_port(proto_pb2, inst, service):
    inst.write('MMEM:STOR:STAT "c"')
    inst.write('MMEM:MDIR "INT:/copies"')
    assert inst.query("*OPC?") == "1"
    with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=IO_TIMEOUT) as notices:
        notices.settimeout(IO_TIMEOUT)
        pack = proto_pb2.DataPack(code=FILE_COPY)
        pack.data[0xF10].strVal = "/data/UserData/c.sta"
        pack.data[0xF11].strVal = "data/UserData/copies"
        assert request(proto_pb2, pack).stat == 0
        seen = []
        while len(seen) < 2:
            note = read_pack(proto_pb2, notices)
            if note.code == as_int32(FILE_OPERATION_STATUS | NOTIFY_FLAG):
                info = proto_pb2.ProtoFileOperationInfo.FromString(note.data[FILE_OPERATION_STATUS].rawVal)
                seen.append((info.ms32OpType, info.ms32OpStatus, info.ms32OpResult))
    assert seen == [(0, 0, 0), (0, 1, 0)]
    assert (service.root / "data" / "UserData" / "copies" / "c.sta").is_file()
