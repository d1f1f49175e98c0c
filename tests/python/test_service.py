"""The whole service process, each test in a fresh data root: start-up, boot
counter, ports, UI link, storage at start-up, calibration, LAN reports, shutdown."""

import contextlib
import os
import pathlib
import re
import signal
import socket
import struct
import time

import pytest

from conftest import (EXECUTION_ERROR, IO_TIMEOUT, NO_ERROR, NOTIFY_FLAG, NOTIFY_PORT, OUTPUT_BLOCK, PORTS,
                      PRODUCT_INFO_GET, REQUEST_PORT, SCPI_PORT, Service, identity, listeners, log_time, next_notice, notifications, open_session,
                      port_open, read_exact, read_pack, request, set_inputs, ui_request, wait_for)
from conftest import SLOW

BOOT_FLAG = "sys.vorna.copperwren.boot_flag"
MIRROR = "vorna/data/mirrorconfig.xmir"
# Group 0x7F is owned by no manager: this id stays unbound.
UNBOUND_ID = 0x10007F7F

# What the bound managers push when a notification client connects.
CONNECT_PUSHES = {
    0x902: "ON_SYSTEM_IO_INFO_CHANGED", 0x903: "ON_SYSTEM_INFO_CHANGED", 0x906: "ON_PRODUCT_INFO_CHANGED",
    0x102: "UPDATE_FUNCTION_CONFIG", 0x103: "UPDATE_FUNCTION2_CONFIG", 0x105: "UPDATE_TRIGGER_CONFIG",
    0x104: "UPDATE_MATH_CONFIG", 0x106: "UPDATE_SENSOR_CONFIG", 0x907: "ON_STORAGE_IMAGE_INFO_CHANGED",
}


def test_first_boot_counts_one_and_logs_the_build(running):
    assert running.prop(BOOT_FLAG) == "1"
    lines = running.log_lines()
    assert "BuildVersion: 00.01.00.00.20" in lines[0]
    assert re.search(r"\|    BuildTime: \w{3} [ \d]\d \d{4}, \d\d:\d\d:\d\d$", lines[1]), lines[1]
    assert "boot count = 0" in lines[2]
    # One file, named by the day and its first sequence number.
    logs = [p.name for p in (running.root / "data" / "logs").glob("*.log")]
    assert len(logs) == 1 and re.fullmatch(r"\d{4}-\d{2}-\d{2}_00\.log", logs[0]), logs


@pytest.mark.parametrize("boot_count, counted, removed, loaded", [
    # Nothing of the old mirror is read: start-up finds no file; the save timer writes a new one.
    ("4", "1", True, "StorageCore::Load() FileLoad failed, default config action"),
    # It is there to be read (and is no valid mirror).
    ("3", "4", False, "StorageCore::Load() ParseFromString failed, default config action"),
])
def test_every_fourth_boot_removes_the_mirror(make_service, boot_count, counted, removed, loaded):
    service = make_service()
    service.set_prop(BOOT_FLAG, boot_count)
    mirror = service.root / MIRROR
    mirror.parent.mkdir(parents=True)
    mirror.write_text("marker of the old mirror\n")
    service.start().wait_listening()
    assert service.prop(BOOT_FLAG) == counted
    assert service.log_has("remove /vorna/data/mirrorconfig.xmir") == removed
    assert service.log_has(loaded)
    if removed:
        assert wait_for(lambda: mirror.exists() and "mProtoSysInfo" in mirror.read_text()), "no new mirror"


def test_saved_settings_survive_a_restart(make_service, proto_pb2):
    from google.protobuf import text_format

    first = make_service(name="first").start().wait_listening()
    mirror = first.root / MIRROR
    assert wait_for(mirror.exists), "no mirror written"
    assert first.stop()[0] == 0
    saved = text_format.Parse(mirror.read_text(), proto_pb2.ProtoMirrorInfo())
    assert len(saved.mProtoFunctionInfo.mProtoBaseFuncInfo.mProtoFuncCfgs) == 12
    assert not list(mirror.parent.glob("*.tmp"))

    # Power-on recall on: the stored settings come back and reach the UI.
    saved.mProtoSysInfo.mLastLoad = True
    saved.mProtoSysInfo.mTouchEnable = True
    saved.mProtoSysInfo.mLanguage = 9
    mirror.write_text(text_format.MessageToString(saved, as_utf8=True))
    first.start().wait_listening()
    assert first.log_has("StorageCore::Load() last")
    with notifications() as sock:
        info = proto_pb2.ProtoSystemInfo.FromString(next_notice(proto_pb2, sock, 0x903).data[0x903].rawVal)
    assert (info.mLastLoad, info.mTouchEnable, info.mLanguage) == (True, True, 9)


def test_the_ui_link_answers_and_pushes_on_connect(running, proto_pb2):
    pb = proto_pb2
    assert set(PORTS) <= {port for _, port in listeners()}
    reply = request(pb, pb.DataPack(code=UNBOUND_ID))
    assert (reply.code, reply.stat, len(reply.data)) == (UNBOUND_ID, 2, 0)
    assert running.log_has("MID(HEX)=0x10007f7f, MID(EDC)=268468095, not bind")
    reply = request(pb, pb.DataPack(code=PRODUCT_INFO_GET))
    assert (reply.code, reply.stat) == (PRODUCT_INFO_GET, 0)
    info = pb.ProtoProductInfo.FromString(reply.data[0x122E].rawVal)
    assert (info.mModel, info.mSwVer, info.mSerialNum) == ("MV412E", "00.01.00.00.20", "MV4000001")

    missing = dict(CONNECT_PUSHES)
    deadline = time.monotonic() + IO_TIMEOUT
    with notifications() as sock:
        while missing:
            assert time.monotonic() < deadline, f"not received: {sorted(missing.values())}"
            pack = read_pack(pb, sock)
            assert pack.code & 0xFFFFFFFF & NOTIFY_FLAG, hex(pack.code)
            if missing.pop(pack.code & 0x7FFFFFFF, None) == "ON_PRODUCT_INFO_CHANGED":
                assert pb.ProtoProductInfo.FromString(pack.data[0x906].rawVal).mModel == "MV412E"


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_named_threads_no_broken_pipe_and_a_signal_ends_it(running, sig):
    names = [(t / "comm").read_text().strip() for t in pathlib.Path(f"/proc/{running.proc.pid}/task").iterdir()]
    assert {f"event poller {i}" for i in range(os.cpu_count())} <= set(names), names
    assert {f"thread pool {i}" for i in range(5)} | {"async log", "notify"} <= set(names), names
    # The clocks are read on demand: no thread wakes to keep them.
    assert "stamp thread" not in names, names
    status = pathlib.Path(f"/proc/{running.proc.pid}/status").read_text()
    ignored = int(re.search(r"^SigIgn:\s*([0-9a-f]+)$", status, re.M).group(1), 16)
    assert ignored & (1 << (signal.SIGPIPE - 1)), status

    status, took = running.stop(sig)
    assert status == 0 and took < 2.0 * SLOW, running.describe()
    # The log writer was drained before the end, and the logger's closing
    # record ends the log.
    assert running.log_has("MainService exits with status 0")
    assert running.log_lines()[-1].endswith(" ~Logger | "), running.log_lines()[-3:]


@contextlib.contextmanager
def taken(port):
    """Holds port dual-stack, as the service listens: it cannot take the port either way."""
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as holder:
        holder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        holder.bind(("::", port))
        holder.listen()
        yield


def test_a_taken_scpi_port_leaves_the_service_running_without_it(make_service, proto_pb2):
    service = make_service()
    ui_ports = (REQUEST_PORT, NOTIFY_PORT)
    with taken(SCPI_PORT):
        service.start(free_ports=ui_ports).wait_listening(ui_ports)
        assert service.log_has("Listen on :: 5025 failed", IO_TIMEOUT), service.describe()
    assert any(" E " in line and "Listen on :: 5025 failed" in line for line in service.log_lines())
    # The UI link still serves, and the process keeps running until told to stop.
    reply = request(proto_pb2, proto_pb2.DataPack(code=PRODUCT_INFO_GET))
    assert (reply.code, reply.stat) == (PRODUCT_INFO_GET, 0)
    assert service.proc.poll() is None
    assert service.stop()[0] == 0


def test_a_taken_ui_port_ends_the_service_with_an_error(make_service):
    service = make_service()
    with taken(REQUEST_PORT):
        service.start(free_ports=(NOTIFY_PORT, SCPI_PORT))
        status = service.proc.wait(timeout=IO_TIMEOUT)
    assert status != 0
    assert service.log_has("cannot start the servers: Listen on 127.0.0.1 9999 failed")


FAIL_KNOB = "DMM_SIM_FAIL_OPENS"


def test_gpio_failing_twice_holds_the_ports_closed(make_service):
    service = make_service({FAIL_KNOB: "/dev/ord_gpio_ctl=2"}).start()
    assert not wait_for(lambda: any(port_open(p) for p in PORTS), 3.0, 0.2), "a port listens before the devices connect"
    service.wait_listening()
    errors = [line for line in service.log_lines() if "GPIO CONNECT ERROR, try again 2s later!" in line]
    assert len(errors) == 2
    apart = (log_time(errors[1]) - log_time(errors[0])).total_seconds()
    assert 1.8 <= apart < 10


def test_an_oversized_state_file_is_refused_and_the_service_stays_whole(running, rm):
    with open(running.root / "data" / "UserData" / "huge.sta", "wb") as huge:
        huge.truncate(3 << 30)  # sparse: no disk space taken
    loader, other = open_session(rm), open_session(rm, timeout=2 * SLOW)
    started = time.monotonic()
    loader.write('MMEM:LOAD:STAT "huge"')
    assert other.query("*IDN?")
    assert loader.query("SYST:ERR?") == EXECUTION_ERROR
    assert time.monotonic() - started < 2.0 * SLOW
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
    assert running.stop()[0] == 0, running.describe()


def test_a_start_removes_cut_off_temporaries_and_keeps_user_files(make_service):
    service = make_service()
    user = service.root / "data" / "UserData"
    usb = service.root / "mnt" / "media_rw" / "udiskh"
    for folder in (user / "sub", usb):
        folder.mkdir(parents=True)
    # The files saves or copies were filling.
    debris = [user / ".~dmm-temp.4242.7", usb / ".~dmm-temp.99.3"]
    # The user's own names, whatever they look like, and the tree a move
    # across media was filling: a folder is the user's to delete.
    tree = user / "sub" / ".~dmm-temp.17.1"
    kept = [user / "notes.tmp.txt", user / "s2.sta.tmp", usb / "x.tmp.1.y", user / "results.tmp.2024.06",
            user / "sub" / "log.tmp.7.7", usb / "scan.csv.tmp.1.2", user / "s2.sta.tmp.4242.7",
            user / "keep" / ".~dmm-temp.3.4" / "f.sta", tree / "proj" / "f.sta"]
    for path in debris + kept:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("")
    # The runs that left the debris; the user's folder from a PC is of none.
    (service.root / "vorna" / "data").mkdir(parents=True, exist_ok=True)
    (service.root / "vorna" / "data" / "temporary_runs").write_text("17\n4242\n99\n")
    service.start().wait_listening()
    assert [p for p in debris if p.exists()] == []
    assert [p for p in kept if not p.exists()] == []
    assert service.stop()[0] == 0




def test_a_ui_copy_cut_by_a_kill_leaves_no_part_under_its_name(make_service, proto_pb2):
    service = make_service()
    user = service.root / "data" / "UserData"
    user.mkdir(parents=True)
    source, target = user / "big.bin", user / "copy.bin"
    with open(source, "wb") as big:
        big.truncate(1 << 30)  # sparse: read fast, written for long
    service.start().wait_listening()
    reply = ui_request(proto_pb2, 0x10000F06, x0F10="/data/UserData/big.bin", x0F11="/data/UserData/copy.bin")
    assert reply.stat == 0
    assert wait_for(lambda: list(user.glob(".~dmm-temp.*")), IO_TIMEOUT, 0.005)
    service.kill()
    # Killed while it wrote: what bears the name, if anything, is the whole file.
    assert not target.exists() or target.stat().st_size == source.stat().st_size
    service.start().wait_listening()
    assert sorted(p.name for p in user.iterdir()) in (["big.bin"], ["big.bin", "copy.bin"])
    assert service.stop()[0] == 0


def plant_huge(path):
    path.write_bytes(b"")
    os.truncate(path, 300 << 20)  # sparse: no disk space taken


fifo, zero_link = os.mkfifo, lambda path: path.symlink_to("/dev/zero")
INI = "vorna/data/productconfig.ini"


# What is planted under the name of a file read at start, and the line that
# says it was refused: the service starts with that file taken as missing.
@pytest.mark.parametrize("relative, plant, refused", [
    (INI, zero_link, f"/{INI} refused: not a regular file"),
    (INI, fifo, f"/{INI} refused: not a regular file"),
    (INI, plant_huge, f"/{INI} refused: larger than 1048576 bytes"),
    (f"properties/{BOOT_FLAG}", fifo, f"{BOOT_FLAG} refused: "),
    ("vorna/data/cali_0_1.cal", fifo, "Open cali_0_1.cal failed: not a regular file"),
    ("vorna/data/cali.acc", zero_link, "Open cali.acc failed: not a regular file"),
    ("sim/input.conf", fifo, "/sim/input.conf refused: not a regular file"),
], ids=["ini-dev-zero", "ini-fifo", "ini-huge", "boot-flag-fifo", "cal-fifo", "acc-dev-zero", "sim-input-fifo"])
def test_a_start_file_that_is_no_sane_file_is_refused_and_the_service_starts(make_service, proto_pb2, relative,
                                                                             plant, refused):
    service = make_service()
    path = service.root / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    plant(path)
    service.start().wait_listening()
    assert service.log_has(refused), service.describe()
    assert identity(proto_pb2).split(",")[2] == "MV4000001"
    assert service.stop()[0] == 0, service.describe()


def test_an_empty_data_root_is_calibrated_over_scpi(make_service, rm):
    svc = make_service()
    (svc.root / "sim").mkdir()
    svc.start().wait_listening()
    dmm = open_session(rm)
    dmm.write("TRIG:SOUR IMM")
    set_inputs(svc, "dc_volts = 0.5\n")
    assert float(dmm.query("MEAS:VOLT:DC? 1")) == 0  # no table: samples read 0
    for volts in (0, 1):
        set_inputs(svc, f"dc_volts = {volts}\n")
        dmm.write(f"CAL:DATA {volts}")
        assert int(dmm.query("STAT:OPER:COND?")) & 1
        assert wait_for(lambda: dmm.query("CAL:STAT?") != "RUNNING", 10)
        assert dmm.query("CAL:STAT?") == "STOPED"
        assert int(dmm.query("STAT:OPER:COND?")) & 1 == 0
    assert dmm.query("CAL:SAVE CURR;*OPC?") == "1"
    assert (svc.root / "vorna" / "data" / "cali_0_1.cal").stat().st_size == 48
    set_inputs(svc, "dc_volts = 0.5\n")
    assert abs(float(dmm.query("MEAS:VOLT:DC? 1")) - 0.5) <= 1e-4
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.close()
    assert svc.stop()[0] == 0, svc.describe()


NET_PORT = 1998
RECORD = struct.Struct("<8h4s4s4s4s4s64s64s17s3s")
UNLINK, LINK, INIT, SUCCESS = 0, 1, 2, 3
ON_SYSTEM_IO_INFO_CHANGED = 2306


def net_record(status, ip="0.0.0.0", mode=0):
    addr = socket.inet_aton(ip)
    mask = socket.inet_aton("255.255.255.0")
    return RECORD.pack(0, status, 1, 0, 0, mode, 100, 1, addr, addr, mask, addr, addr,
                       b"lab.example", b"", b"02:00:00:00:00:01", b"")


class FakeNetService:
    """The network-status service as the instrument's listens: it takes the client's 184-byte
    request and sends 184-byte records (host byte order)."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", NET_PORT))
        self.listener.listen(1)
        self.listener.settimeout(IO_TIMEOUT)
        self.client = None

    def accept(self):
        self.client, _ = self.listener.accept()
        request = read_exact(self.client, RECORD.size)
        assert int.from_bytes(request[:4], "little") == 0x10000
        assert request[4:] == bytes(RECORD.size - 4)

    def send(self, *args, **kwargs):
        self.client.sendall(net_record(*args, **kwargs))

    def close(self):
        if self.client:
            self.client.close()
        self.listener.close()


@pytest.fixture
def net_service():
    services = [FakeNetService()]
    yield services
    for service in services:
        service.close()


def io_info_with_ip(pb, sock, ip):
    """The next I/O record with ip that the UI is told."""
    def parse(pack):
        return pb.ProtoUtilityIOInfo.FromString(pack.data[ON_SYSTEM_IO_INFO_CHANGED].rawVal)
    return parse(next_notice(pb, sock, ON_SYSTEM_IO_INFO_CHANGED, lambda pack: parse(pack).mStrIp == ip))


def link_updates(service):
    service.log_has("Lan link update: ")
    return [line.split("Lan link update: ")[1] for line in service.log_lines() if "Lan link update: " in line]


def test_link_reports_reach_the_ui_and_scpi_and_reconnects_stay_quiet(make_service, net_service, proto_pb2, rm):
    pb = proto_pb2
    service = make_service().start()
    net_service[0].accept()
    net_service[0].send(LINK)
    # A change while the service starts, before the hub has the LAN handlers.
    net_service[0].send(INIT)
    service.wait_listening()

    with notifications() as ui:
        io_info_with_ip(pb, ui, "0.0.0.0")  # the connect-time record: LINK, no address yet
        net_service[0].send(SUCCESS, "10.0.0.5")
        info = io_info_with_ip(pb, ui, "10.0.0.5")
    assert (info.mLanLinkStatus, info.mStrSubNetMask, info.mStrVisa) == (0, "255.255.255.0",
                                                                          "TCPIP::10.0.0.5::INSTR")
    with contextlib.closing(open_session(rm)) as inst:
        assert inst.query("SYST:COMM:LAN:IPAD?") == '"10.0.0.5"'
    assert link_updates(service) == ["3"]
    assert not service.log_has("not bind")

    # The service restarts: the first record of the new connection differs
    # from the last report and still calls nobody; the next change does.
    net_service[0].close()
    net_service.append(FakeNetService())
    net_service[1].accept()
    net_service[1].send(UNLINK)
    net_service[1].send(LINK)
    assert service.log_has("Lan link update: 1", IO_TIMEOUT), service.log_lines()[-30:]
    assert link_updates(service) == ["3", "1"]
    assert service.stop()[0] == 0


# About what a two-minute sanitizer run of the service writes to its output.
SERVICE_LINES = b"D/JNI: [scpi] SCPI cmd = *IDN?\\n,  cmd len = 6\n" * 55_000
RACE_REPORT = b"WARNING: ThreadSanitizer: data race (pid=7)\n  Write of size 4 at 0x7b08 by thread T3:\n"


@pytest.mark.parametrize("before, after, reported", [
    (b"", SERVICE_LINES, True),  # early in a long run
    (b"x" * (OUTPUT_BLOCK - 10), SERVICE_LINES, True),  # cut by the end of a read block
    (SERVICE_LINES, b"", True),  # the last thing written
    (SERVICE_LINES, SERVICE_LINES, False),
], ids=["early", "across_blocks", "last", "none"])
def test_the_sanitizer_check_finds_a_report_anywhere_in_the_output(tmp_path, before, after, reported):
    service = Service(tmp_path / "MainService", tmp_path)
    service.output.write_bytes(before + (RACE_REPORT if reported else b"") + after)
    if not reported:
        service.check_sanitizers()
        return
    with pytest.raises(AssertionError) as failed:
        service.check_sanitizers()
    # What it shows is the report itself, not the output's tail.
    assert str(failed.value).splitlines()[0] == RACE_REPORT.decode().splitlines()[0]
