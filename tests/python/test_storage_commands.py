"""Mass-memory commands over SCPI and file operations over the UI link: folders,
stored states, the catalogue, paths kept inside the storage roots, the reports."""

import resource
import shutil
import subprocess
import time

import pytest
from google.protobuf import text_format

from conftest import (EXECUTION_ERROR, NO_ERROR, Service, listeners, next_notice, notifications, ready_session,
                      serve, ui_request)
from conftest import SLOW

pytest.importorskip("pyvisa")

FILE_DELETE, FOLDER_CREATE, FILE_COPY, FILE_SAVE = 0x10000F01, 0x10000F00, 0x10000F06, 0x10000F0A
FILE_OPERATION_STATUS = 2327
UI_PORTS = (9999, 9998)
INSTRUMENT_DESCRIPTORS = 1024
DEEPEST = 256  # folder levels a copy, move or delete goes down (README)


@pytest.fixture(scope="module")
def service(service_binary, tmp_path_factory):
    """The module's service under the instrument's descriptor limit."""
    limit = min(INSTRUMENT_DESCRIPTORS, resource.getrlimit(resource.RLIMIT_NOFILE)[1])
    yield from serve(Service(service_binary, tmp_path_factory.mktemp("module_root"), nofile=(limit, limit)))


def ui_operation(pb, code, **fields):
    """The reply's stat of a UI file request and, for a job it started, the (type, status, result)
    of its reports on the notification port, up to the one of its end."""
    with notifications() as notices:
        stat = ui_request(pb, code, **fields).stat
        reports = []
        while stat == 0 and code != FOLDER_CREATE and not (reports and reports[-1][1] == 1):
            note = next_notice(pb, notices, FILE_OPERATION_STATUS)
            info = pb.ProtoFileOperationInfo.FromString(note.data[FILE_OPERATION_STATUS].rawVal)
            reports.append((info.ms32OpType, info.ms32OpStatus, info.ms32OpResult))
    return stat, reports


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
    # A name whose stem ends in the extension still gets it.
    inst.write('MMEM:STOR:STAT "a.sta.sta"')
    assert inst.query("*OPC?") == "1"
    assert (service.root / "data" / "UserData" / "a.sta.sta.sta").is_file()
    inst.write('MMEM:DEL "a.sta.sta.sta"')
    assert inst.query("SYST:ERR?") == NO_ERROR


def test_a_name_cannot_break_the_catalogue(inst, service):
    user = service.root / "data" / "UserData"
    names = ['a",FOLD,0"\n+0,+0\n1', 'say "hi"']
    for name in names:
        (user / name).write_bytes(b"xy")
    try:
        catalogue = inst.query("MMEM:CAT?")
        # The next query reads its own answer: the catalogue was one line.
        assert inst.query("*ESE?") == "0"
        assert ',"a"",FOLD,0""?+0,+0?1,,2",' in catalogue + ",", catalogue
        assert ',"say ""hi"",,2"' in catalogue, catalogue
        assert inst.query("SYST:ERR?") == NO_ERROR
    finally:
        for name in names:
            (user / name).unlink()


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


def test_deleting_a_name_that_is_not_there_is_an_error(inst, service):
    inst.write('MMEM:STOR:STAT "gone"')
    inst.write('MMEM:DEL "INT:\\gone.sta"')
    assert inst.query("SYST:ERR?") == NO_ERROR
    for name in ("gone.sta", "never.sta", "nofolder\\x.sta"):
        inst.write(f'MMEM:DEL "INT:\\{name}"')
        assert inst.query("SYST:ERR?") == EXECUTION_ERROR, name
    assert service.log_has("no such file or folder: /data/UserData/never.sta")


def test_a_temporary_nothing_writes_is_the_users_to_delete(inst, service, service_binary, tmp_path):
    user = service.root / "data" / "UserData"
    ended = subprocess.Popen(["true"])
    ended.wait()
    # A program of the service's name, as an earlier build still running would be.
    shutil.copy("/bin/sleep", tmp_path / service_binary.name)
    copy = subprocess.Popen([str(tmp_path / service_binary.name), "600"])
    try:
        for pid, error in ((ended.pid, NO_ERROR), (copy.pid, EXECUTION_ERROR)):
            path = user / f".~dmm-temp.{pid}.1"
            path.write_text("")
            inst.write(f'MMEM:DEL "INT:/{path.name}"')
            assert inst.query("SYST:ERR?") == error, pid
            assert path.exists() == (error != NO_ERROR)
            path.unlink(missing_ok=True)
    finally:
        copy.kill()
        copy.wait()


def test_a_stored_state_restores_a_changed_range(inst):
    inst.write("VOLT:DC:RANG 10")
    inst.write('MMEM:STOR:STAT "r"')
    inst.write("VOLT:DC:RANG 100mV")
    assert inst.query("VOLT:DC:RANG?") == "1.00000000E-01"
    inst.write('MMEM:LOAD:STAT "r"')
    assert inst.query("VOLT:DC:RANG?") == "1.00000000E+01"
    inst.write('MMEM:LOAD:STAT "missing"')
    assert inst.query("SYST:ERR?") == EXECUTION_ERROR


def user_record(inst, service, command, name, message):
    """The record a store command of the service wrote, parsed, and its file."""
    inst.write(f'{command} "{name}"')
    assert inst.query("*OPC?") == "1"
    path = service.root / "data" / "UserData" / name
    return text_format.Parse(path.read_text(), message()), path


def set_limits(math, low, high):
    math.mProtoLimit.mf64Low, math.mProtoLimit.mf64High = low, high


@pytest.mark.parametrize("edit,error,query,accept", [
    (lambda m: setattr(m, "ms32MathFunc", 100), EXECUTION_ERROR, None, None),
    (lambda m: set_limits(m, 1.0, -1.0), EXECUTION_ERROR, None, None),
    (lambda m: setattr(m.mProtoCalcCfgs[0], "mf64RELValue", 1e300), NO_ERROR,
     "VOLT:DC:NULL:VAL?", lambda a: 0 < float(a) <= 1200),
], ids=["math function 100", "limits crossed", "offset 1e300"])
def test_a_state_file_meets_the_setters_rules(proto_pb2, inst, service, edit, error, query, accept):
    inst.write("*RST")
    state, path = user_record(inst, service, "MMEM:STOR:STAT", "h.sta", proto_pb2.ProtoMirrorInfo)
    edit(state.mProtoFunctionInfo.mProtoMathFuncInfo)
    path.write_text(text_format.MessageToString(state))
    inst.write('MMEM:LOAD:STAT "h"')
    assert inst.query("SYST:ERR?") == error
    if query:
        assert accept(inst.query(query))
    assert inst.query("SYST:ERR?") == NO_ERROR


def test_a_preference_file_cannot_point_recall_outside_the_roots(proto_pb2, inst, service):
    info, path = user_record(inst, service, "MMEM:STOR:PREF", "p.prf", proto_pb2.ProtoSystemInfo)
    info.mLastLoad, info.mLoadName = True, "/vorna/data/mirrorconfig.xmir"
    path.write_text(text_format.MessageToString(info))
    inst.write('MMEM:LOAD:PREF "p"')
    assert inst.query("SYST:ERR?") == NO_ERROR
    assert inst.query("MMEM:STAT:REC:SEL?") == '""'
    assert service.log_has("mLoadName /vorna/data/mirrorconfig.xmir refused: outside the storage roots")
    inst.write("MMEM:STAT:REC:AUTO OFF")


def test_a_ui_copy_reports_on_the_notification_port(proto_pb2, inst, service):
    inst.write('MMEM:STOR:STAT "c"')
    inst.write('MMEM:MDIR "INT:/copies"')
    assert inst.query("*OPC?") == "1"
    copy = ui_operation(proto_pb2, FILE_COPY, x0F10="/data/UserData/c.sta", x0F11="data/UserData/copies")
    assert copy == (0, [(0, 0, 0), (0, 1, 0)])
    assert (service.root / "data" / "UserData" / "copies" / "c.sta").is_file()



@pytest.mark.parametrize("code,fields", [
    (FILE_DELETE, {"x0F01": "/"}),
    (FILE_DELETE, {"x0F01": "/data/UserData"}),
    (FILE_DELETE, {"x0F01": "/data/UserData/.."}),
    (FILE_SAVE, {"x0F0C": "/../x.sh", "x0F0D": "echo"}),
    (FILE_SAVE, {"x0F0C": "/vorna/data/x.sh", "x0F0D": "echo"}),
    (FOLDER_CREATE, {"x0F00": "/data/UserData/../../made"}),
    (FILE_COPY, {"x0F10": "/vorna/data/keep", "x0F11": "/data/UserData"}),
    # A NUL would cut the name the system opens.
    (FILE_SAVE, {"x0F0C": "/data/UserData/x.sh\0.sta", "x0F0D": "echo"}),
    (FOLDER_CREATE, {"x0F00": "/data/UserData/made\0x"}),
])
def test_ui_file_operations_stay_in_the_roots(proto_pb2, inst, service, code, fields):
    data = service.root / "vorna" / "data"
    data.mkdir(parents=True, exist_ok=True)
    (data / "keep").write_text("k")
    (data / "keep").chmod(0o600)
    assert ui_operation(proto_pb2, code, **fields) == (44, [])
    assert (data / "keep").read_text() == "k" and (data / "keep").stat().st_mode & 0o777 == 0o600
    assert (service.root / "data" / "UserData").is_dir() and (service.root / "data" / "logs").is_dir()
    assert not [p for p in service.root.rglob("*") if p.name in ("x.sh", "made", "keep") and p.parent != data]
    assert inst.query("*IDN?")
    # The UI app runs on the same board: nothing else may reach these ports.
    assert {(address, port) for address, port in listeners() if port in UI_PORTS} == {
        ("0100007F", port) for port in UI_PORTS}


def test_a_ui_copy_leaves_its_source_mode(proto_pb2, service):
    source = service.root / "data" / "UserData" / "mine.txt"
    source.write_text("m")
    source.chmod(0o640)
    assert ui_operation(proto_pb2, FILE_COPY, x0F10="/data/UserData/mine.txt", x0F11="/data/UserData/copy.txt")[1][-1] == (0, 1, 0)
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
    assert time.monotonic() - started < 1.0 * SLOW
    entry = next(e for e in catalogue.split('"') if e.startswith("top,"))
    assert int(entry.rsplit(",", 1)[1]) < 4096, entry



def nested(top, levels):
    """`levels` nested folders from top down, a file at the foot; the foot's path below top."""
    folder = top.joinpath(*["d"] * (levels - 1))
    folder.mkdir(parents=True)
    (folder / "foot").write_text("f")
    return (folder / "foot").relative_to(top)


def each(sessions, command):
    """Sends command (with n, the session's number) from every session, then checks every error queue."""
    for n, session in enumerate(sessions):
        session.write(command.format(n=n))
    return [session.query("SYST:ERR?") for session in sessions]


def test_clients_side_by_side_copy_move_and_delete_the_deepest_tree(rm, service):
    """Each client's commands run on a worker of its own: four walks of the deepest tree at once
    fit in the descriptors and in a worker's stack, sanitizer builds included."""
    user = service.root / "data" / "UserData"
    foot = nested(user / "deep", DEEPEST)
    before = set(user.iterdir())
    sessions = [ready_session(rm, setup="*CLS") for _ in range(4)]
    try:
        assert '"deep,FOLD,' in sessions[0].query('MMEM:CAT? "INT:\\"')
        assert each(sessions, 'MMEM:COPY "INT:\\deep","INT:\\c{n}"') == [NO_ERROR] * 4
        assert each(sessions, 'MMEM:MOVE "INT:\\c{n}","INT:\\m{n}"') == [NO_ERROR] * 4
        assert all((user / f"m{n}" / foot).read_text() == "f" for n in range(4))
        assert each(sessions, 'MMEM:DEL "INT:\\m{n}"') == [NO_ERROR] * 4
        assert set(user.iterdir()) == before
        # One level more is refused.
        (user / "deep" / foot.parent / "d").mkdir()
        sessions[0].write('MMEM:COPY "INT:\\deep","INT:\\too"')
        assert sessions[0].query("SYST:ERR?") == EXECUTION_ERROR
        assert service.log_has(f"folder tree deeper than {DEEPEST} levels")
    finally:
        for session in sessions:
            session.close()
        for name in ("deep", "too"):
            shutil.rmtree(user / name, ignore_errors=True)


def file_at_each_level(top, levels):
    """`levels` nested folders from top down, a file in each."""
    folder = top
    for _ in range(levels):
        folder.mkdir(parents=True)
        (folder / "f").write_text("f")
        folder = folder / "d"


def scpi_error(inst, command):
    inst.write(command)
    return inst.query("SYST:ERR?")


def ui_delete(pb, path):
    return ui_operation(pb, FILE_DELETE, x0F01=path)[1][-1]


# A tree deeper than the walks go, made on the host: refused before anything
# is changed, whichever door asks.
@pytest.mark.parametrize("operation,failed", [
    (lambda inst, pb: scpi_error(inst, 'MMEM:DEL "INT:\\deep"'), EXECUTION_ERROR),
    (lambda inst, pb: scpi_error(inst, 'MMEM:COPY "INT:\\deep","INT:\\copy"'), EXECUTION_ERROR),
    (lambda inst, pb: scpi_error(inst, 'MMEM:MOVE "INT:\\deep","INT:\\copy"'), EXECUTION_ERROR),
    (lambda inst, pb: ui_delete(pb, "/data/UserData/deep"), (4, 1, 44)),
], ids=["SCPI delete", "SCPI copy", "SCPI move", "UI delete"])
def test_a_tree_too_deep_is_left_as_it_was(proto_pb2, inst, service, operation, failed):
    user = service.root / "data" / "UserData"
    levels = DEEPEST + 44
    file_at_each_level(user / "deep", levels)
    try:
        assert operation(inst, proto_pb2) == failed
        files = [p for p in (user / "deep").rglob("f")]
        assert len(files) == levels
        assert not [p for p in files if p.stat().st_mode & 0o777 == 0o777], "modes set by a refused move"
        assert not (user / "copy").exists()
        assert not [p for p in user.iterdir() if p.name.startswith(".~dmm-temp.")]
    finally:
        shutil.rmtree(user / "deep", ignore_errors=True)

