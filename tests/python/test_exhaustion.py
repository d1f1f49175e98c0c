"""Remote resource exhaustion: idle connections that would take every descriptor, and
notification clients that never read. Each test prints its figures (run pytest with -s)."""

import os
import resource
import select
import socket
import threading
import time

import pytest

from conftest import NOTIFY_PORT, REQUEST_PORT, SCPI_PORT, read_pack, wait_for

BOOT_FLAG = "sys.vorna.copperwren.boot_flag"
MIRROR = "vorna/data/mirrorconfig.xmir"
DCV_RANGE_SET = 0x10000652
UPDATE_MEASURE_DATA = 0x100
IDLE_SCPI = 1100
SERVED_SCPI = 100
SILENT_NOTIFY = 800
READING_NOTIFY = 16


@pytest.fixture(scope="module", autouse=True)
def room_for_clients():
    """This process holds well over a thousand client sockets."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def rss_mib(service):
    with open(f"/proc/{service.proc.pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS")


def descriptors(service):
    return len(os.listdir(f"/proc/{service.proc.pid}/fd"))


def connect_many(port, count, rcvbuf=None):
    socks = []
    for _ in range(count):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.settimeout(5)
        sock.connect(("127.0.0.1", port))
        socks.append(sock)
    return socks


def closed_by_peer(sock):
    """Whether the service has ended this connection (without waiting)."""
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    if not poller.poll(0):
        return False
    try:
        return sock.recv(4096, socket.MSG_PEEK) == b""
    except OSError:
        return True


def timed_request(pb, pack, timeout):
    """(reply or None, seconds waited) of one UI request on a connection of its own."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", REQUEST_PORT), timeout=timeout) as sock:
            sock.settimeout(timeout)
            sock.sendall(pack.SerializeToString())
            return read_pack(pb, sock), time.monotonic() - start
    except OSError:
        return None, time.monotonic() - start


def scpi_query(sock, text):
    sock.sendall(text.encode() + b"\n")
    answer = b""
    while not answer.endswith(b"\n"):
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed")
        answer += chunk
    return answer.decode().strip()


def test_idle_connections_leave_descriptors_for_files_and_other_clients(make_service, proto_pb2):
    pb = proto_pb2
    # The soft limit a board starts services with; the hard one of the adversarial run.
    service = make_service(nofile=(256, 1024))
    service.set_prop(BOOT_FLAG, "0")
    service.start().wait_listening()
    idle = connect_many(SCPI_PORT, IDLE_SCPI)
    try:
        change = pb.DataPack(code=DCV_RANGE_SET)
        change.data[0x652].strVal = "10"
        reply, waited = timed_request(pb, change, timeout=10)
        wait_for(lambda: sum(map(closed_by_peer, idle)) + SERVED_SCPI <= IDLE_SCPI, 3)
        kept = [sock for sock in idle if not closed_by_peer(sock)]
        print(f"\n{IDLE_SCPI} idle SCPI connections: UI request answered={reply is not None} after {waited * 1000:.1f} ms; "
              f"SCPI connections kept {len(kept)}, closed {IDLE_SCPI - len(kept)}; "
              f"service descriptors {descriptors(service)}")
        assert reply is not None and reply.stat == 0, "the UI request was not served"
        assert waited < 2
        mirror = service.root / MIRROR
        assert wait_for(lambda: mirror.exists() and "ms32Range: " in mirror.read_text(), 5), "mirror not written"
        # The connections within the cap are served, at least a hundred of them at once.
        assert len(kept) >= SERVED_SCPI
        for sock in kept[:SERVED_SCPI]:
            sock.settimeout(10)
            assert scpi_query(sock, "*IDN?").startswith("Vorna Technologies,")
        assert not any("leads out of its storage root" in line for line in service.log_lines())
    finally:
        for sock in idle:
            sock.close()
    with socket.create_connection(("127.0.0.1", SCPI_PORT), timeout=10) as sock:
        sock.settimeout(10)
        assert wait_for(lambda: scpi_query(sock, "*OPC?") == "1", 10)
