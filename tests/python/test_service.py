"""The whole service process: start-up, boot counter, ports, UI link, shutdown.

Each test starts MainService (from DMM_BUILD_DIR) in a fresh data root and
stops it; a process still alive at the end is killed. The ports are fixed
(9999 and 9998 for the UI link, 5025 for SCPI), so these tests run one at a time.
"""

import os
import pathlib
import re
import signal
import socket
import time

from conftest import (IO_TIMEOUT, NOTIFY_FLAG, NOTIFY_PORT, PORTS, PRODUCT_INFO_GET, REQUEST_PORT, SCPI_PORT,
                      as_int32, listening_ports, log_time, port_open, read_pack, request)

BOOT_FLAG = "sys.vorna.copperwren.boot_flag"
MIRROR = "vorna/data/mirrorconfig.xmir"
# Group 0x7F is owned by no manager: this id stays unbound.
UNBOUND_ID = 0x10007F7F

# What the bound managers push when a notification client connects.
CONNECT_PUSHES = {
    0x902: "ON_SYSTEM_IO_INFO_CHANGED",
    0x903: "ON_SYSTEM_INFO_CHANGED",
    0x906: "ON_PRODUCT_INFO_CHANGED",
    0x102: "UPDATE_FUNCTION_CONFIG",
    0x103: "UPDATE_FUNCTION2_CONFIG",
    0x105: "UPDATE_TRIGGER_CONFIG",
    0x104: "UPDATE_MATH_CONFIG",
    0x106: "UPDATE_SENSOR_CONFIG",
    0x907: "ON_STORAGE_IMAGE_INFO_CHANGED",
}


def system_info_on_connect(pb):
    """The ProtoSystemInfo that a new notification client receives."""
    with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=IO_TIMEOUT) as sock:
        sock.settimeout(IO_TIMEOUT)
        while True:
            pack = read_pack(pb, sock)
            if pack.code == as_int32(0x903 | NOTIFY_FLAG):
                return pb.ProtoSystemInfo.FromString(pack.data[0x903].rawVal)


def test_first_boot_counts_one_and_logs_the_build(running):
    assert running.prop(BOOT_FLAG) == "1"
    lines = running.log_lines()
    assert "BuildVersion: 00.01.00.00.20" in lines[0]
    assert re.search(r"\|    BuildTime: \w{3} [ \d]\d \d{4}, \d\d:\d\d:\d\d$", lines[1]), lines[1]
    assert "boot count = 0" in lines[2]
    # One file, named by the day and its first sequence number.
    logs = [p.name for p in (running.root / "data" / "logs").glob("*.log")]
    assert len(logs) == 1 and re.fullmatch(r"\d{4}-\d{2}-\d{2}_00\.log", logs[0]), logs


def start_with_old_mirror(make_service, boot_count):
    """A service whose boot counter stands at boot_count, with a mirror file present."""
    service = make_service()
    service.set_prop(BOOT_FLAG, boot_count)
    mirror = service.root / MIRROR
    mirror.parent.mkdir(parents=True)
    mirror.write_text("marker of the old mirror\n")
    service.start().wait_listening()
    return service, mirror


def test_fourth_boot_removes_the_mirror(make_service):
    service, mirror = start_with_old_mirror(make_service, "4")
    assert service.prop(BOOT_FLAG) == "1"
    assert service.log_has("remove /vorna/data/mirrorconfig.xmir")
    # Nothing of the old mirror was read: start-up found no file.
    assert service.log_has("StorageCore::Load() FileLoad failed, default config action")
    deadline = time.monotonic() + IO_TIMEOUT
    while not (mirror.exists() and "mProtoSysInfo" in mirror.read_text()):
        assert time.monotonic() < deadline, "the save timer wrote no new mirror"
        time.sleep(0.1)


def test_third_boot_keeps_the_mirror(make_service):
    service, _ = start_with_old_mirror(make_service, "3")
    assert service.prop(BOOT_FLAG) == "4"
    assert not service.log_has("remove /vorna/data/mirrorconfig.xmir")
    # It was there to be read (and is no valid mirror).
    assert service.log_has("StorageCore::Load() ParseFromString failed, default config action")


def test_saved_settings_survive_a_restart(make_service, proto_pb2):
    from google.protobuf import text_format

    first = make_service(name="first").start().wait_listening()
    mirror = first.root / MIRROR
    deadline = time.monotonic() + IO_TIMEOUT
    while not mirror.exists():
        assert time.monotonic() < deadline, "no mirror written"
        time.sleep(0.1)
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
    info = system_info_on_connect(proto_pb2)
    assert (info.mLastLoad, info.mTouchEnable, info.mLanguage) == (True, True, 9)


def test_ports_listen_and_an_unbound_id_answers_stat_2(running, proto_pb2):
    pb = proto_pb2
    assert set(PORTS) <= listening_ports()
    reply = request(pb, pb.DataPack(code=UNBOUND_ID))
    assert (reply.code, reply.stat, len(reply.data)) == (UNBOUND_ID, 2, 0)
    assert running.log_has("MID(HEX)=0x10007f7f, MID(EDC)=268468095, not bind")


def test_a_bound_id_answers_the_product_identity(running, proto_pb2):
    pb = proto_pb2
    reply = request(pb, pb.DataPack(code=PRODUCT_INFO_GET))
    assert (reply.code, reply.stat) == (PRODUCT_INFO_GET, 0)
    info = pb.ProtoProductInfo.FromString(reply.data[0x122E].rawVal)
    assert (info.mModel, info.mSwVer, info.mSerialNum) == ("MV412E", "00.01.00.00.20", "MV4000001")


def test_notification_client_receives_the_connect_time_pushes(running, proto_pb2):
    pb = proto_pb2
    missing = dict(CONNECT_PUSHES)
    with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=IO_TIMEOUT) as sock:
        sock.settimeout(IO_TIMEOUT)
        deadline = time.monotonic() + IO_TIMEOUT
        while missing:
            assert time.monotonic() < deadline, f"not received: {sorted(missing.values())}"
            pack = read_pack(pb, sock)
            assert pack.code & 0xFFFFFFFF & NOTIFY_FLAG, hex(pack.code)
            if missing.pop(pack.code & 0x7FFFFFFF, None) == "ON_PRODUCT_INFO_CHANGED":
                info = pb.ProtoProductInfo.FromString(pack.data[0x906].rawVal)
                assert info.mModel == "MV412E"


def test_sigint_ends_the_service_with_status_0(running):
    status, took = running.stop(signal.SIGINT)
    assert status == 0, running.describe()
    assert took < 2.0
    # The log writer was drained before the end.
    assert running.log_has("MainService exits with status 0")


def test_sigterm_ends_the_service_with_status_0(running):
    status, _ = running.stop(signal.SIGTERM)
    assert status == 0, running.describe()


def test_threads_carry_their_names(running):
    task = pathlib.Path(f"/proc/{running.proc.pid}/task")
    names = [(t / "comm").read_text().strip() for t in task.iterdir()]
    cores = os.cpu_count()
    for i in range(cores):
        assert f"event poller {i}" in names, names
    for i in range(5):
        assert f"thread pool {i}" in names, names
    assert {"async log", "notify"} <= set(names), names
    # The clocks are read on demand: no thread wakes to keep them.
    assert "stamp thread" not in names, names


def test_a_broken_pipe_cannot_end_the_service(running):
    status = pathlib.Path(f"/proc/{running.proc.pid}/status").read_text()
    ignored = int(re.search(r"^SigIgn:\s*([0-9a-f]+)$", status, re.M).group(1), 16)
    assert ignored & (1 << (signal.SIGPIPE - 1)), status


def test_a_taken_scpi_port_leaves_the_service_running_without_it(make_service, proto_pb2):
    service = make_service()
    ui_ports = (REQUEST_PORT, NOTIFY_PORT)
    # Dual-stack, as the service listens: it cannot take the port either way.
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as holder:
        holder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        holder.bind(("::", SCPI_PORT))
        holder.listen()
        service.start(free_ports=ui_ports).wait_listening(ui_ports)
        deadline = time.monotonic() + IO_TIMEOUT
        while not service.log_has("Listen on :: 5025 failed"):
            assert time.monotonic() < deadline, service.describe()
            time.sleep(0.1)
    assert any(" E " in line and "Listen on :: 5025 failed" in line for line in service.log_lines())
    # The UI link still serves, and the process keeps running until told to stop.
    reply = request(proto_pb2, proto_pb2.DataPack(code=PRODUCT_INFO_GET))
    assert (reply.code, reply.stat) == (PRODUCT_INFO_GET, 0)
    assert service.proc.poll() is None
    assert service.stop()[0] == 0


def test_a_taken_ui_port_ends_the_service_with_an_error(make_service):
    service = make_service()
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as holder:
        holder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        holder.bind(("::", REQUEST_PORT))
        holder.listen()
        service.start(free_ports=(NOTIFY_PORT, SCPI_PORT))
        status = service.proc.wait(timeout=IO_TIMEOUT)
    assert status != 0
    assert service.log_has("cannot start the servers: Listen on 127.0.0.1 9999 failed")


FAIL_KNOB = "DMM_SIM_FAIL_OPENS"


def test_gpio_failing_twice_holds_the_ports_closed(make_service):
    service = make_service({FAIL_KNOB: "/dev/ord_gpio_ctl=2"}).start()
    start = time.monotonic()
    while time.monotonic() - start < 3.0:
        assert not any(port_open(p) for p in PORTS), "a port listens before the devices are connected"
        time.sleep(0.2)
    service.wait_listening()
    errors = [line for line in service.log_lines() if "GPIO CONNECT ERROR, try again 2s later!" in line]
    assert len(errors) == 2
    apart = (log_time(errors[1]) - log_time(errors[0])).total_seconds()
    assert 1.8 <= apart < 10
