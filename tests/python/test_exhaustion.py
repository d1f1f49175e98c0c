"""Remote resource exhaustion: idle connections that would take every descriptor, and
notification clients that never read. Each test prints its figures (run pytest with -s)."""

import os
import resource
import select
import socket
import threading
import time

import pytest

from conftest import IO_TIMEOUT, NOTIFY_PORT, SCPI_PORT, sanitized_build, ui_request, wait_for

BOOT_FLAG = "sys.vorna.copperwren.boot_flag"
MIRROR = "vorna/data/mirrorconfig.xmir"
DCV_RANGE_SET = 0x10000652
IDLE_SCPI = 1100
SCPI_CAP = 1024 // 8
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
        return next(int(line.split()[1]) / 1024 for line in f if line.startswith("VmRSS:"))


def steady_rss(service, deadline=10):
    """The resident size once start-up has settled: two looks apart agree within 0.25 MiB."""
    last = [rss_mib(service)]

    def steady():
        was, last[0] = last[0], rss_mib(service)
        return abs(last[0] - was) < 0.25

    wait_for(steady, deadline, 0.2)
    return last[0]


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
    try:
        return bool(poller.poll(0)) and sock.recv(4096, socket.MSG_PEEK) == b""
    except OSError:
        return True


def scpi_query(sock, text):
    sock.settimeout(10)
    sock.sendall(text.encode() + b"\n")
    answer = b""
    while not answer.endswith(b"\n"):
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed")
        answer += chunk
    return answer.decode().strip()


def test_idle_connections_leave_descriptors_for_files_and_other_clients(make_service, proto_pb2):
    # The soft limit a board starts services with; the hard one of the adversarial run.
    service = make_service(nofile=(256, 1024))
    service.set_prop(BOOT_FLAG, "0")
    service.start().wait_listening()
    idle = connect_many(SCPI_PORT, IDLE_SCPI)
    try:
        start = time.monotonic()
        reply = ui_request(proto_pb2, DCV_RANGE_SET, k652="10")
        waited = time.monotonic() - start
        # The service keeps at most its cap, an eighth of the hard limit of 1024, and ends the rest.
        still_open = lambda: [sock for sock in idle if not closed_by_peer(sock)]  # noqa: E731
        assert wait_for(lambda: len(still_open()) <= SCPI_CAP, IO_TIMEOUT), f"{len(still_open())} kept"
        kept = still_open()
        print(f"\n{IDLE_SCPI} idle SCPI: UI reply after {waited * 1000:.1f} ms; kept {len(kept)}; "
              f"service descriptors {len(os.listdir(f'/proc/{service.proc.pid}/fd'))}")
        assert reply.stat == 0 and waited < 2
        mirror = service.root / MIRROR
        assert wait_for(lambda: mirror.exists() and "ms32Range: " in mirror.read_text(), 5), "mirror not written"
        assert len(kept) >= SERVED_SCPI
        for sock in kept[:SERVED_SCPI]:
            assert scpi_query(sock, "*IDN?").startswith("Vorna Technologies,")
        assert not any("leads out of its storage root" in line for line in service.log_lines())
    finally:
        for sock in idle:
            sock.close()
    with socket.create_connection(("127.0.0.1", SCPI_PORT), timeout=10) as sock:
        assert wait_for(lambda: scpi_query(sock, "*OPC?") == "1", 10)


class Reader(threading.Thread):
    """A notification client that reads all the time."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=5)
        self.sock.settimeout(0.2)
        self.received, self.ended, self.stop = 0, False, threading.Event()

    def run(self):
        while not self.stop.is_set():
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                data = b""
            self.ended = not data
            if self.ended:
                return
            self.received += len(data)


def test_notification_clients_that_never_read_are_bounded_and_their_memory_returned(make_service):
    service = make_service()
    service.set_prop(BOOT_FLAG, "0")
    service.start().wait_listening()
    base = steady_rss(service)
    readers = [Reader() for _ in range(READING_NOTIFY)]
    for reader in readers:
        reader.start()
    silent = connect_many(NOTIFY_PORT, SILENT_NOTIFY, rcvbuf=1024)
    # The exposure itself: 8 s of readings pushed to clients that never read.
    peak = max(rss_mib(service) for _ in range(40) if time.sleep(0.2) is None)
    before_close = [reader.received for reader in readers]
    dropped = sum(closed_by_peer(sock) for sock in silent)
    for sock in silent:
        sock.close()
    handed_back = wait_for(lambda: rss_mib(service) - base < 16, 5, 0.2)
    after = rss_mib(service)
    for reader in readers:
        reader.stop.set()
        reader.join()
    print(f"\n{SILENT_NOTIFY} silent notification clients: RSS base {base:.1f} MiB, peak {peak:.1f}, "
          f"after close {after:.1f}; {dropped} ended by the service")
    assert not any(reader.ended for reader in readers), "a reading client was dropped"
    assert all(count > 0 for count in before_close)
    if not sanitized_build():
        assert peak - base < 64
        assert handed_back, f"{after - base:.1f} MiB kept after the clients closed"
