"""The UI link seen by a real client: ui_link_fixture serves ports 9999/9998 with one test
manager bound: 0x1000F001 pushes UPDATE_MEASURE_DATA with the request's u32 under key 1,
0x2000F002 answers how often 0x1000F001 ran, and a new notification client gets
UPDATE_FUNCTION_CONFIG. Replies and notifications are a 4-byte little-endian length and a DataPack."""

import signal
import socket
import subprocess
import time

import pytest

from conftest import IO_TIMEOUT, NOTIFY_FLAG, NOTIFY_PORT, REQUEST_PORT, as_int32, port_open, read_exact

NOTIFY_ID = 0x1000F001
CALLS_ID = 0x2000F002
UNBOUND_ID = 0x1000F0FF
UPDATE_MEASURE_DATA = 0x100
UPDATE_FUNCTION_CONFIG = 0x102


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
    sock.settimeout(IO_TIMEOUT)
    return sock


def read_frame(sock):
    """The length prefix and the body of the next frame."""
    prefix = read_exact(sock, 4)
    return prefix, read_exact(sock, int.from_bytes(prefix, "little"))


def request(pb, sock, pack):
    sock.sendall(pack.SerializeToString())
    return pb.DataPack.FromString(read_frame(sock)[1])


def read_until(pb, sock, match):
    """The next notification (parsed, and its bytes) for which match is true."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        body = read_frame(sock)[1]
        pack = pb.DataPack.FromString(body)
        if match(pack):
            return pack, body
    raise AssertionError("expected notification did not arrive")


def measure_tagged(tag):
    return lambda pack: pack.code == as_int32(UPDATE_MEASURE_DATA | NOTIFY_FLAG) and pack.data[1].u32Val == tag


def attach(pb):
    """A notification client that is attached: it has received the state pushed for it."""
    sock = connect(NOTIFY_PORT)
    read_until(pb, sock, lambda pack: pack.code == as_int32(UPDATE_FUNCTION_CONFIG | NOTIFY_FLAG))
    return sock


def push(pb, sock, tag):
    pack = pb.DataPack(code=NOTIFY_ID)
    pack.data[1].u32Val = tag
    reply = request(pb, sock, pack)
    assert (reply.code, reply.stat, reply.data[1].u32Val) == (NOTIFY_ID, 0, tag)


def handler_calls(pb, sock):
    reply = request(pb, sock, pb.DataPack(code=CALLS_ID))
    assert reply.stat == 0
    return reply.data[CALLS_ID & 0xFFFF].u32Val


def serving(pb):
    """True once both ports serve. Each probe that connects is answered before
    it is closed, so that no connection is still being set up when a test
    starts (or stops the process)."""
    try:
        with connect(REQUEST_PORT) as sock:
            handler_calls(pb, sock)
        attach(pb).close()
    except ConnectionRefusedError:
        return False
    return True


@pytest.fixture
def ui_link(proto_pb2, build_dir, tmp_path):
    """The running fixture process; always killed at the end."""
    program = build_dir / "tests" / "ui_link_fixture"
    assert program.is_file(), f"{program} missing: build the ui_link_fixture target"
    assert not any(port_open(p) for p in (REQUEST_PORT, NOTIFY_PORT)), "the UI ports are served by another process"
    log_path = tmp_path / "ui_link_fixture.log"
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([str(program)], stdout=log, stderr=subprocess.STDOUT, cwd=tmp_path,
                                env={"DMM_ROOT": str(tmp_path), "PATH": "/usr/bin:/bin"})
    try:
        deadline = time.monotonic() + 30
        while not serving(proto_pb2):
            assert proc.poll() is None, f"fixture exited with {proc.returncode}:\n{log_path.read_text(errors='replace')}"
            assert time.monotonic() < deadline, "fixture did not open its ports"
            time.sleep(0.05)
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=30)


def test_two_notification_clients_and_one_closing(proto_pb2, ui_link):
    pb = proto_pb2
    first = attach(pb)
    second = attach(pb)
    with connect(REQUEST_PORT) as requests, second:
        with first:
            push(pb, requests, 77)
            first_pack, first_bytes = read_until(pb, first, measure_tagged(77))
            second_pack, second_bytes = read_until(pb, second, measure_tagged(77))
            assert first_bytes == second_bytes and first_pack.stat == 0
        # The first client has gone: the second goes on receiving. (Pushes made
        # by separate requests are delivered by different pool workers, so
        # their order is not fixed.)
        wanted = {78, 79, 80}
        for tag in sorted(wanted):
            push(pb, requests, tag)
        while wanted:
            pack, _ = read_until(pb, second, lambda p: p.code == as_int32(UPDATE_MEASURE_DATA | NOTIFY_FLAG))
            wanted.discard(pack.data[1].u32Val)


def test_unbound_ids_and_garbage_call_no_handler_and_the_server_stays_up(proto_pb2, ui_link):
    pb = proto_pb2
    with connect(REQUEST_PORT) as sock:
        before = handler_calls(pb, sock)
        pack = pb.DataPack(code=UNBOUND_ID)
        pack.data[1].u32Val = 5
        sock.sendall(pack.SerializeToString())
        prefix, body = read_frame(sock)
        assert prefix == len(body).to_bytes(4, "little")
        reply = pb.DataPack.FromString(body)
        assert (reply.code, reply.stat, len(reply.data)) == (UNBOUND_ID, 2, 0)
        # The code of the pushing handler, then a field of the invalid wire type 7.
        sock.sendall(pb.DataPack(code=NOTIFY_ID).SerializeToString() + b"\x0f")
        reply = pb.DataPack.FromString(read_frame(sock)[1])
        assert (reply.code, reply.stat, len(reply.data)) == (NOTIFY_ID, 2, 0)
        sock.sendall(b"\xff\xff\xff")
        reply = pb.DataPack.FromString(read_frame(sock)[1])
        assert (reply.code, reply.stat, len(reply.data)) == (0, 2, 0)
        assert handler_calls(pb, sock) == before

    assert ui_link.poll() is None
    with connect(REQUEST_PORT) as sock:
        listener = attach(pb)
        with listener:
            push(pb, sock, 5)
            read_until(pb, listener, measure_tagged(5))
        assert handler_calls(pb, sock) == before + 1


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_stops_cleanly_on_signal(ui_link, signum):
    ui_link.send_signal(signum)
    assert ui_link.wait(timeout=30) == 0
