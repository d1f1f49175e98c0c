"""Remote resource exhaustion: idle connections that would take every descriptor, a
connect-send-reset loop, SCPI clients whose input waits behind a wait, notification and UI clients that never read, VXI-11 links that
hold input and replies, UI requests whose huge refused paths are logged. Each test prints
its figures (run pytest with -s)."""

import os
import resource
import select
import socket
import statistics
import struct
import threading
import time

import pytest

from conftest import (IO_TIMEOUT, NO_ERROR, NOTIFY_PORT, PORTS, REQUEST_PORT, SCPI_PORT, VXI_PORT, read_exact,
                      sanitized_build, ui_request, wait_for)
from conftest import SLOW

BOOT_FLAG = "sys.vorna.copperwren.boot_flag"
MIRROR = "vorna/data/mirrorconfig.xmir"
DCV_RANGE_SET = 0x10000652
IDLE = 1100
# The cap of the SCPI and VXI-11 ports at a descriptor limit of 1024, and the share
# of it one address may hold.
CAP = 1024 // 8
ADDRESS_SHARE = CAP - CAP // 8
SERVED_SCPI = 100
# The address that holds its share, and another one.
HOLDER = "127.0.0.2"
OTHER = "127.0.0.1"
CHURN_THREADS = 4
CHURNED_FIRST = 2000
# Connect-send-resets between two probes: each probe meets a loop still at work.
CHURNED_BETWEEN = 100
IDN_ROUNDS = 60
HOLDING_SCPI = 24
SILENT_NOTIFY = 800
READING_NOTIFY = 16
FILE_LIST = 0x10000F03
# One host's VXI-11 connections, each with as many links as it is given.
VXI_CONNECTIONS = 64
VXI_LINKS = 16
# Links that each hold a message of 1 MiB without END, and links that each read a reply of ~2 MB.
HOLDING_LINKS = 256
READING_LINKS = 24
SILENT_UI = 8
UI_REQUESTS = 64


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


def descriptors(service):
    return len(os.listdir(f"/proc/{service.proc.pid}/fd"))


def booted(service, ports=PORTS, big_folder=None):
    """The service started past its first boot, listening on ports; with a folder of
    big_folder = (count, name size) empty files of long names, a large listing."""
    if big_folder:
        folder = service.root / "data" / "UserData" / "big"
        folder.mkdir(parents=True)
        count, name_size = big_folder
        for i in range(count):
            (folder / f"{i:06d}".ljust(name_size, "n")).touch()
    service.set_prop(BOOT_FLAG, "0")
    service.start().wait_listening(ports)
    return service


def steady_rss(service, deadline=10):
    """The resident size once start-up has settled: two looks apart agree within 0.25 MiB."""
    last = [rss_mib(service)]

    def steady():
        was, last[0] = last[0], rss_mib(service)
        return abs(last[0] - was) < 0.25

    wait_for(steady, deadline, 0.2)
    return last[0]


def connect_many(port, count, rcvbuf=None, source=OTHER):
    socks = []
    for _ in range(count):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.settimeout(5)
        sock.bind((source, 0))
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


def scpi_served(socks):
    """Each connection answers *IDN?."""
    for sock in socks:
        assert scpi_query(sock, "*IDN?").startswith("Vorna Technologies,")


def vxi_served(socks):
    """Each connection makes a link and answers *IDN? over it."""
    for sock in socks:
        client = VxiConnection(sock=sock)
        error, lid = client.create_link()
        assert error == 0, f"create_link: error {error}"
        assert client.query(lid, "*IDN?").startswith("Vorna Technologies,")


@pytest.mark.parametrize("port, served, count", [(SCPI_PORT, scpi_served, SERVED_SCPI),
                                                 (VXI_PORT, vxi_served, VXI_LINKS)], ids=["scpi", "vxi11"])
def test_idle_connections_of_one_address_leave_places_to_others_and_descriptors_to_files(make_service, proto_pb2,
                                                                                         port, served, count):
    # The soft limit a board starts services with; the hard one of the adversarial run.
    service = booted(make_service(nofile=(256, 1024)), PORTS + (VXI_PORT,))
    base = descriptors(service)
    idle = connect_many(port, IDLE, source=HOLDER)
    try:
        start = time.monotonic()
        reply = ui_request(proto_pb2, DCV_RANGE_SET, k652="10")
        waited = time.monotonic() - start
        # The service keeps the address's share, under its cap of an eighth of the hard
        # limit of 1024, and ends the rest.
        still_open = lambda: [sock for sock in idle if not closed_by_peer(sock)]  # noqa: E731
        assert wait_for(lambda: len(still_open()) <= ADDRESS_SHARE, IO_TIMEOUT), f"{len(still_open())} kept"
        kept, held = still_open(), descriptors(service)
        # Another address is served on the same port, and files are saved.
        start = time.monotonic()
        other = connect_many(port, 1)
        served(other)
        other_waited = time.monotonic() - start
        other[0].close()
        with connect_many(SCPI_PORT, 1)[0] as sock:
            sock.sendall(b'MMEM:STOR:STAT "held"\n')
            assert scpi_query(sock, "SYST:ERR?") == NO_ERROR
        print(f"\n{IDLE} idle connections of {HOLDER} on {port}: UI reply after {waited * 1000:.1f} ms; "
              f"kept {len(kept)}; service descriptors {base} before, {held} with them; "
              f"{OTHER} served after {other_waited * 1000:.1f} ms")
        # Served while the idle connections are held: within the request's own
        # time-out, however slow the machine.
        assert reply.stat == 0
        mirror = service.root / MIRROR
        assert wait_for(lambda: mirror.exists() and "ms32Range: " in mirror.read_text(), 5), "mirror not written"
        assert (service.root / "data" / "UserData" / "held.sta").is_file()
        assert len(kept) == ADDRESS_SHARE >= count
        served(kept[:count])
        assert not any("leads out of its storage root" in line for line in service.log_lines())
    finally:
        for sock in idle:
            sock.close()
    with socket.create_connection(("127.0.0.1", SCPI_PORT), timeout=10) as sock:
        assert wait_for(lambda: scpi_query(sock, "*OPC?") == "1", 10)


def churn(stop, made):
    """Connects from HOLDER, sends a query and resets the connection, until stopped."""
    while not stop.is_set():
        with socket.socket() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.bind((HOLDER, 0))
            try:
                sock.connect(("127.0.0.1", SCPI_PORT))
                sock.send(b"*IDN?\n")
            except OSError:
                pass
        made[0] += 1


def test_a_connect_send_reset_loop_of_one_address_leaves_another_served(make_service):
    service = booted(make_service())
    stop, made = threading.Event(), [0]
    loops = [threading.Thread(target=churn, args=(stop, made), daemon=True) for _ in range(CHURN_THREADS)]
    for loop in loops:
        loop.start()
    waits, failures, held = [], [], []
    try:
        assert wait_for(lambda: made[0] >= CHURNED_FIRST, IO_TIMEOUT)
        for _ in range(IDN_ROUNDS):
            start = time.monotonic()
            try:
                with connect_many(SCPI_PORT, 1)[0] as sock:
                    assert scpi_query(sock, "*IDN?").startswith("Vorna Technologies,")
            except OSError as error:
                failures.append(repr(error))
            waits.append(time.monotonic() - start)
            held.append(descriptors(service))
            churned = made[0]
            assert wait_for(lambda: made[0] >= churned + CHURNED_BETWEEN, IO_TIMEOUT)
    finally:
        stop.set()
        for loop in loops:
            loop.join()
    print(f"\n{made[0]} connect-send-resets of {HOLDER}: *IDN? of {OTHER} answered "
          f"{IDN_ROUNDS - len(failures)} of {IDN_ROUNDS} times, after {statistics.median(waits) * 1000:.1f} ms "
          f"(median), {max(waits) * 1000:.1f} ms at most; service descriptors up to {max(held)}")
    assert not failures, failures[:3]


def send_until_held_up(sock, data, most=16 << 20):
    """Sends data over and over until the service has taken nothing for a second (or most bytes)."""
    sock.settimeout(1)
    sent = 0
    try:
        while sent < most:
            sent += sock.send(data)
    except socket.timeout:
        pass


# Clients queue *CLS behind a wait until their sends are held up, then reset: what they
# hold costs a bounded amount, another client is served all along, and the memory goes
# back once their work has run.
@pytest.mark.timeout(360)  # what the clients left runs on for a while after they have gone
def test_scpi_input_held_behind_waits_is_bounded_and_its_memory_returned(make_service):
    # The bound is on what the service holds, about 22 MiB here; a resident size
    # counts the allocator's free space too. Starved of the processor by other
    # work, the service takes its clients' input in other orders and leaves up to
    # as much again free between the messages it keeps (35 to 59 MiB above its
    # start at loads of 13 to 39 on 8 cores). Input held without a bound would be
    # several times that: each client sends up to 16 MiB.
    service = booted(make_service())
    base = steady_rss(service)
    holders = connect_many(SCPI_PORT, HOLDING_SCPI)
    for sock in holders:
        sock.sendall(b"DATA:REM? 100000,WAIT\n")
        send_until_held_up(sock, b"*CLS\n" * 4096)
    held = rss_mib(service)
    for sock in holders:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
    start = time.monotonic()
    with connect_many(SCPI_PORT, 1)[0] as sock:
        assert scpi_query(sock, "*IDN?").startswith("Vorna Technologies,")
    answered = time.monotonic() - start
    print(f"\n{HOLDING_SCPI} SCPI clients holding *CLS behind a wait: RSS base {base:.1f} MiB, held {held:.1f}, "
          f"after their reset {rss_mib(service):.1f}; another *IDN? answered in {answered:.2f} s")
    assert answered < IO_TIMEOUT
    if sanitized_build():
        return  # a sanitizer's allocator keeps what is freed
    assert held - base < 72
    # The departed clients' lists still run, taking turns; on a loaded machine
    # that takes a while. The bound is on what is kept, not on how soon.
    returned = wait_for(lambda: rss_mib(service) - base < 8, 300, 0.5)
    assert returned, f"{rss_mib(service) - base:.1f} MiB kept after the clients' work had run"


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
    service = booted(make_service())
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


def ended_after_unread(sock):
    """Whether the service has ended a connection that left what it was sent unread: what
    is left is read first, then the end must come within a second."""
    sock.settimeout(1)
    try:
        while sock.recv(1 << 20):
            pass
        return True
    except socket.timeout:
        return False
    except OSError:
        return True


class VxiConnection:
    """A VXI-11 client connection from a loopback source address of its choice, or on the
    connected socket sock."""

    def __init__(self, source="127.0.0.1", sock=None):
        self.sock = sock or connect_many(VXI_PORT, 1, source=source)[0]
        self.sock.settimeout(IO_TIMEOUT)
        self.xid = 0

    def call(self, proc, *words, data=None):
        """The results of a core procedure whose arguments are 32-bit words, then opaque data."""
        self.xid += 1
        args = struct.pack(f">{len(words)}i", *words)
        if data is not None:
            args += struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)
        body = struct.pack(">10I", self.xid, 0, 2, 395183, 1, proc, 0, 0, 0, 0) + args
        self.sock.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)
        reply = read_exact(self.sock, struct.unpack(">I", read_exact(self.sock, 4))[0] & 0x7FFFFFFF)
        assert reply[8:24] == b"\0" * 16, "call not accepted"  # no verifier, accepted and run
        return reply[24:]

    def create_link(self):
        """(error, link id)."""
        return struct.unpack(">ii", self.call(10, 0, 0, 0, data=b"inst0")[:8])

    def write(self, lid, data, end=True):
        return struct.unpack(">i", self.call(11, lid, 1000, 0, 8 if end else 0, data=data)[:4])[0]

    def query(self, lid, text):
        """The whole reply to text, read up to 1 MiB at a time until END."""
        assert self.write(lid, text.encode() + b"\n") == 0
        answer, reason = b"", 0
        while not reason & 4:
            reply = self.call(12, lid, 1 << 20, IO_TIMEOUT * 1000, 0, 0, 0)
            error, reason, length = struct.unpack(">iiI", reply[:12])
            assert error == 0, f"read error {error}"
            answer += reply[12:12 + length]
        return answer.decode(errors="replace")


def another_host_served():
    """Seconds a client of another loopback address waits for a link and its *IDN? answer."""
    start = time.monotonic()
    with VxiConnection("127.0.0.2").sock as sock:
        vxi_served([sock])
    return time.monotonic() - start


def test_vxi11_links_of_one_host_leave_memory_and_links_for_another(make_service):
    service = booted(make_service(), PORTS + (VXI_PORT,), big_folder=(8000, 240))
    base = steady_rss(service)
    conns, links = [], []
    try:
        for _ in range(VXI_CONNECTIONS):
            conns.append(VxiConnection())
            for _ in range(VXI_LINKS):
                error, lid = conns[-1].create_link()
                if error == 0:
                    links.append((conns[-1], lid))
        waited = [another_host_served()]
        # Replies of ~2 MB read whole, one link after the other.
        for conn, lid in links[:READING_LINKS]:
            assert len(conn.query(lid, 'MMEM:CAT? "INT:\\big"')) > 1_900_000
        # The buffers of replies read are given back.
        handed_back = wait_for(lambda: rss_mib(service) - base < 24, 5, 0.2)
        after_replies = rss_mib(service)
        # Messages without END, up to 1 MiB, held by many links at once.
        piece = b"*ESE 0;" * (65536 // 7)
        for conn, lid in links[:HOLDING_LINKS]:
            for _ in range((1 << 20) // len(piece)):
                conn.write(lid, piece, end=False)
        holding = rss_mib(service)
        waited.append(another_host_served())
    finally:
        for conn in conns:
            conn.sock.close()
    print(f"\n{len(links)} VXI-11 links of one host: RSS base {base:.1f} MiB, after {READING_LINKS} replies of ~2 MB "
          f"read {after_replies:.1f}, with {HOLDING_LINKS} links holding input {holding:.1f}; another host waited "
          f"{waited[0] * 1000:.0f} and {waited[1] * 1000:.0f} ms")
    assert all(w < 2 * SLOW for w in waited)
    if not sanitized_build():
        assert handed_back, f"{after_replies - base:.1f} MiB kept after the replies were read"
        assert holding - base < 64


class SilentUiClient(threading.Thread):
    """A UI client that asks for a listing again and again and never reads a reply."""

    def __init__(self, request):
        super().__init__(daemon=True)
        self.sock = connect_many(REQUEST_PORT, 1, rcvbuf=1024)[0]
        self.sock.settimeout(IO_TIMEOUT)
        self.request, self.sent = request, 0

    def run(self):
        try:
            for _ in range(UI_REQUESTS):
                self.sock.sendall(self.request)
                self.sent += 1
        except OSError:
            pass  # ended by the service


def test_ui_clients_that_never_read_their_replies_are_dropped_and_another_served(make_service, proto_pb2):
    service = booted(make_service(), big_folder=(4000, 200))
    base = steady_rss(service)
    listing = proto_pb2.DataPack(code=FILE_LIST)
    listing.data[0xF03].CopyFrom(proto_pb2.Value(rawVal=b"/data/UserData/big"))
    held_before = descriptors(service)
    silent = [SilentUiClient(listing.SerializeToString()) for _ in range(SILENT_UI)]
    try:
        for client in silent:
            client.start()
        # Another client is served while the silent ones are at it.
        assert wait_for(lambda: all(client.sent for client in silent), IO_TIMEOUT)
        start = time.monotonic()
        reply = ui_request(proto_pb2, FILE_LIST, k0F03=proto_pb2.Value(rawVal=b"/data/UserData/big"))
        waited = time.monotonic() - start
        # Served while they are at it: before the service has let go of them,
        # however slowly a loaded machine or a sanitizer makes both happen.
        served_alongside = descriptors(service) >= held_before + SILENT_UI
        # The peak over the silent clients' whole stay: until the service has
        # let go of every one of their connections.
        samples = []

        def all_let_go():
            samples.append(rss_mib(service))
            return descriptors(service) <= held_before

        wait_for(all_let_go, 2 * IO_TIMEOUT)
        peak = max(samples)
        dropped = sum(ended_after_unread(client.sock) for client in silent)
    finally:
        for client in silent:
            client.sock.close()
    size = len(reply.data[0xF03].rawVal)
    print(f"\n{SILENT_UI} silent UI clients asking for a {size / 1e6:.2f} MB listing: RSS base {base:.1f} MiB, "
          f"peak {peak:.1f}; {dropped} ended by the service after {[c.sent for c in silent]} requests; another "
          f"client waited {waited * 1000:.0f} ms")
    assert reply.stat == 0 and size > 900_000
    assert served_alongside, f"the reply came after the silent clients were ended ({waited:.2f} s)"
    assert dropped == SILENT_UI
    if not sanitized_build():
        assert peak - base < 64



FILE_SIZE = 0x10000F04
# A path that leads out of the storage root, about as long as a UI request may be.
REFUSED_PATH = b"/data/UserData/../" + b"a" * ((6 << 20) - 64)
REFUSING_UI = 4
REFUSING_SECONDS = 6


class RefusedUiClient(threading.Thread):
    """A UI client that asks for the size of a file its path does not reach, again and
    again for REFUSING_SECONDS, reading each reply."""

    def __init__(self, request):
        super().__init__(daemon=True)
        self.sock = connect_many(REQUEST_PORT, 1)[0]
        self.sock.settimeout(IO_TIMEOUT)
        self.request, self.answered, self.failed = request, 0, []

    def run(self):
        deadline = time.monotonic() + REFUSING_SECONDS
        try:
            while time.monotonic() < deadline:
                self.sock.sendall(self.request)
                read_exact(self.sock, struct.unpack("<I", read_exact(self.sock, 4))[0])
                self.answered += 1
        except OSError as error:
            self.failed.append(repr(error))


def logged_bytes(service):
    """Bytes of the service's log: its files and its console lines."""
    files = (service.root / "data" / "logs").glob("*.log")
    with open(service.output, "rb") as out:
        console = sum(len(line) for line in out if line[1:7] == b"/JNI: ")
    return console + sum(f.stat().st_size for f in files)


def test_ui_requests_with_huge_refused_paths_leave_memory_and_the_log_bounded(make_service, proto_pb2):
    service = booted(make_service())
    base, logged_before = steady_rss(service), logged_bytes(service)
    pack = proto_pb2.DataPack(code=FILE_SIZE)
    pack.data[0xF04].CopyFrom(proto_pb2.Value(rawVal=REFUSED_PATH))
    clients = [RefusedUiClient(pack.SerializeToString()) for _ in range(REFUSING_UI)]
    samples = []
    try:
        for client in clients:
            client.start()

        def answered():
            samples.append(rss_mib(service))
            return not any(client.is_alive() for client in clients)

        wait_for(answered, REFUSING_SECONDS + 2 * IO_TIMEOUT, 0.1)
    finally:
        for client in clients:
            client.sock.close()
    # Once the log has caught up and the clients are gone, the memory goes back.
    handed_back = wait_for(lambda: rss_mib(service) - base < 32, 10, 0.2)
    settled = rss_mib(service)
    requests = sum(client.answered for client in clients)
    logged = logged_bytes(service) - logged_before
    print(f"\n{REFUSING_UI} UI clients, {REFUSING_SECONDS} s of requests with a refused path of "
          f"{len(REFUSED_PATH) / 2**20:.1f} MiB: {requests} answered; RSS base {base:.1f} MiB, peak {max(samples):.1f}, "
          f"settled {settled:.1f}; {logged / 1e6:.1f} MB logged to the console and the files; "
          f"{sum(len(client.failed) for client in clients)} clients ended by the service")
    assert requests >= REFUSING_UI
    # The log says what was refused, and how long it was.
    assert service.log_has(f"... ({len('path refused: ') + len(REFUSED_PATH)} bytes)")
    assert logged < requests * 64 * 1024
    if not sanitized_build():
        assert max(samples) - base < 256
        assert handed_back, f"{settled - base:.1f} MiB kept after the clients closed"
