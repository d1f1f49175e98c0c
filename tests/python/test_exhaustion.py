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


def sanitized(service):
    """A sanitizer's allocator keeps freed memory: the resident size says nothing then."""
    with open(f"/proc/{service.proc.pid}/maps") as maps:
        mapped = maps.read()
    return "libasan" in mapped or "libtsan" in mapped


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


def settled(look, pause=0.5):
    """look()'s result once two looks a pause apart agree on its length."""
    before, now = None, look()
    while before is None or len(now) != len(before):
        time.sleep(pause)
        before, now = now, look()
    return now


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
        kept = settled(lambda: [sock for sock in idle if not closed_by_peer(sock)])
        print(f"\n{IDLE_SCPI} idle SCPI connections: UI request answered={reply is not None} "
              f"after {waited * 1000:.1f} ms; "
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


class Reader(threading.Thread):
    """A notification client that reads all the time."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=5)
        self.received = 0
        self.ended = False
        self.stop = threading.Event()

    def run(self):
        self.sock.settimeout(0.2)
        while not self.stop.is_set():
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                data = b""
            if not data:
                self.ended = True
                return
            self.received += len(data)


def test_notification_clients_that_never_read_are_bounded_and_their_memory_returned(make_service):
    service = make_service()
    service.set_prop(BOOT_FLAG, "0")
    service.start().wait_listening()
    time.sleep(1)  # start-up settles: the base figure
    base = rss_mib(service)
    readers = [Reader() for _ in range(READING_NOTIFY)]
    for reader in readers:
        reader.start()
    silent = connect_many(NOTIFY_PORT, SILENT_NOTIFY, rcvbuf=1024)
    peak = base
    for _ in range(40):  # 8 s of readings and state pushes
        peak = max(peak, rss_mib(service))
        time.sleep(0.2)
    before_close = [reader.received for reader in readers]
    dropped = len(settled(lambda: [sock for sock in silent if closed_by_peer(sock)]))
    for sock in silent:
        sock.close()
    after = min(rss_mib(service) for _ in range(25) if time.sleep(0.2) is None)
    for reader in readers:
        reader.stop.set()
        reader.join()
    print(f"\n{SILENT_NOTIFY} silent notification clients: RSS base {base:.1f} MiB, peak {peak:.1f} MiB, "
          f"after they closed {after:.1f} MiB; {dropped} of them ended by the service")
    assert not any(reader.ended for reader in readers), "a reading client was dropped"
    assert all(count > 0 for count in before_close)
    if not sanitized(service):
        assert peak - base < 64
        assert after - base < 16
