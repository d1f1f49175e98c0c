"""Mass-memory commands over SCPI and a file copy over the UI link, on the
whole service: folders, stored states, the catalogue, paths kept inside the
storage roots, and the copy's reports on the notification port."""

import socket
import time

import pytest

from conftest import IO_TIMEOUT, NOTIFY_FLAG, NOTIFY_PORT, SCPI_RESOURCE, as_int32, read_pack, request

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



FILE_DELETE, FOLDER_CREATE, FILE_SAVE = 0x10000F01, 0x10000F00, 0x10000F0A
UI_PORTS = (9999, 9998)


def ui_operation(proto_pb2, code, **fields):
    """The reply's stat of a UI request and, for a job it started, the result of its end report."""
    with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=IO_TIMEOUT) as notices:
        notices.settimeout(IO_TIMEOUT)
        pack = proto_pb2.DataPack(code=code)
        for key, text in fields.items():
            pack.data[int(key[1:], 16)].strVal = text
        stat = request(proto_pb2, pack).stat
        while stat == 0 and code != FOLDER_CREATE:
            note = read_pack(proto_pb2, notices)
            if note.code == as_int32(FILE_OPERATION_STATUS | NOTIFY_FLAG):
                info = proto_pb2.ProtoFileOperationInfo.FromString(note.data[FILE_OPERATION_STATUS].rawVal)
                if info.ms32OpStatus == 1:
                    return stat, info.ms32OpResult
    return stat, None


def ui_listeners():
    """The local addresses that listen on the UI ports, from the kernel's socket tables."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                fields = row.split()
                address, port = fields[1].rsplit(":", 1)
                if fields[3] == "0A" and int(port, 16) in UI_PORTS:
                    found.add((address, int(port, 16)))
    return found


@pytest.mark.parametrize("code,fields", [
    (FILE_DELETE, {"x0F01": "/"}),
    (FILE_DELETE, {"x0F01": "/data/UserData"}),
    (FILE_DELETE, {"x0F01": "/data/UserData/.."}),
    (FILE_SAVE, {"x0F0C": "/../x.sh", "x0F0D": "echo"}),
    (FILE_SAVE, {"x0F0C": "/vorna/data/x.sh", "x0F0D": "echo"}),
    (FOLDER_CREATE, {"x0F00": "/data/UserData/../../made"}),
    (FILE_COPY, {"x0F10": "/vorna/data/keep", "x0F11": "/data/UserData"}),
])
def test_ui_file_operations_stay_in_the_roots(proto_pb2, inst, service, code, fields):
    data = service.root / "vorna" / "data"
    data.mkdir(parents=True, exist_ok=True)
    (data / "keep").write_text("k")
    (data / "keep").chmod(0o600)
    assert ui_operation(proto_pb2, code, **fields) == (44, None)
    assert (data / "keep").read_text() == "k" and (data / "keep").stat().st_mode & 0o777 == 0o600
    assert (service.root / "data" / "UserData").is_dir() and (service.root / "data" / "logs").is_dir()
    assert not [p for p in service.root.rglob("*") if p.name in ("x.sh", "made", "keep") and p.parent != data]
    assert inst.query("*IDN?")
    # The UI app runs on the same board: nothing else may reach these ports.
    assert {address for address, _ in ui_listeners()} == {"0100007F"}
    assert {port for _, port in ui_listeners()} == set(UI_PORTS)


def test_a_ui_copy_leaves_its_source_mode(proto_pb2, service):
    source = service.root / "data" / "UserData" / "mine.txt"
    source.write_text("m")
    source.chmod(0o640)
    assert ui_operation(proto_pb2, FILE_COPY, x0F10="/data/UserData/mine.txt", x0F11="/data/UserData/copy.txt") == (0, 0)
    assert source.stat().st_mode & 0o777 == 0o640
    assert source.with_name("copy.txt").stat().st_mode & 0o002 == 0


def test_a_link_named_by_its_stem_is_not_followed_out(inst, service):
    inst.write('FUNC "RES"')
    inst.write('MMEM:STOR:STAT "away"')
    inst.write('MMEM:STOR:PREF "away"')
    assert inst.query("SYST:ERR?") == NO_ERROR
    inst.write('FUNC "VOLT"')
    outside = service.root / "outside"
    outside.mkdir()
    usb = service.root / "mnt" / "media_rw" / "udiskh"
    usb.mkdir(parents=True, exist_ok=True)
    for name in ("away.sta", "away.prf"):
        (service.root / "data" / "UserData" / name).rename(outside / name)
        (service.root / "data" / "UserData" / ("leak" + name[4:])).symlink_to(outside / name)
        (usb / ("leak" + name[4:])).symlink_to(outside / name)
    # A state beside the internal root, where its root taken as a name would lead.
    (service.root / "data" / "UserData.sta").write_bytes((outside / "away.sta").read_bytes())
    function = inst.query("FUNC?")
    for command in ('MMEM:LOAD:STAT "leak"', 'MMEM:LOAD:STAT "USB:/leak"', 'MMEM:LOAD:PREF "leak"',
                    'MMEM:LOAD:STAT "/"'):
        inst.write(command)
        assert inst.query("SYST:ERR?") == EXECUTION_ERROR, command
    assert inst.query("FUNC?") == function
    (service.root / "data" / "UserData.sta").unlink()


@pytest.mark.parametrize("command", [
    'MMEM:STOR:STAT "/"', 'MMEM:STOR:STAT "."', 'MMEM:STOR:STAT "INT:\\"', 'MMEM:STOR:STAT "x/.."',
    'MMEM:STOR:PREF "/"', 'MMEM:STOR:DATA RDG_STORE,"USB:/"',
])
def test_a_root_is_no_file_name(inst, service, command):
    (service.root / "mnt" / "media_rw" / "udiskh").mkdir(parents=True, exist_ok=True)
    inst.write(command)
    assert inst.query("SYST:ERR?") == EXECUTION_ERROR
    beside = [service.root / "data" / "UserData.sta", service.root / "data" / "UserData.prf",
              service.root / "mnt" / "media_rw" / "udiskh.csv"]
    assert not [p for p in beside if p.exists()]


def test_a_catalogue_beside_a_link_to_the_top_stays_in_its_root(inst, service):
    usb = service.root / "mnt" / "media_rw" / "udiskh"
    usb.mkdir(parents=True, exist_ok=True)
    (usb / "top").symlink_to("/")
    started = time.monotonic()
    catalogue = inst.query('MMEM:CAT? "USB:/"')
    assert time.monotonic() - started < 1.0
    entry = next(e for e in catalogue.split('"') if e.startswith("top,"))
    assert int(entry.rsplit(",", 1)[1]) < 4096, entry

