"""USBTMC through the gadget stand-in of a running service (DMM_USBTMC_STANDIN=1): a fake
host takes the stand-in's bulk and control ends from the UNIX socket at the node's path."""

import fcntl
import select
import socket
import struct
import termios
import time

import pytest

from conftest import IO_TIMEOUT, SCPI_PORT, START_TIMEOUT, Service, identity, read_exact, serve, wait_for

DEV_DEP_MSG_OUT = 1
REQUEST_DEV_DEP_MSG_IN = 2
SIG_IN_EP0 = 1
CLASS_INTERFACE_IN = 0xA1
INITIATE_CLEAR = 5
CHECK_CLEAR_STATUS = 6
GET_CAPABILITIES = 7
READ_STATUS_BYTE = 128


def frame(msg_id, tag, size, attr, data=b""):
    out = struct.pack("<BBBBIBBH", msg_id, tag, ~tag & 0xFF, 0, size, attr, 0, 0) + data
    return out + b"\0" * (-len(out) % 4)


class FakeUsbHost:
    def __init__(self, node):
        assert wait_for(node.exists, START_TIMEOUT), f"{node} never appeared"
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as attach:
            attach.connect(str(node))
            _, fds, _, _ = socket.recv_fds(attach, 1, 2)
        self.bulk = socket.socket(fileno=fds[0])
        self.ctl = socket.socket(fileno=fds[1])
        for s in (self.bulk, self.ctl):
            s.settimeout(IO_TIMEOUT)
        self.tag = 0

    def close(self):
        self.bulk.close()
        self.ctl.close()

    def all_taken_in(self):
        """Whether the device has read every bulk byte this host sent."""
        unread = fcntl.ioctl(self.bulk.fileno(), termios.TIOCOUTQ, struct.pack("i", 0))
        return struct.unpack("i", unread)[0] == 0

    def next_tag(self):
        self.tag = self.tag % 255 + 1
        return self.tag

    def write(self, text):
        data = text.encode()
        self.bulk.sendall(frame(DEV_DEP_MSG_OUT, self.next_tag(), len(data), 1, data))

    def read(self, transfer_size):
        """The whole reply, in DEV_DEP_MSG_IN transfers of at most transfer_size bytes."""
        reply = b""
        while True:
            tag = self.next_tag()
            self.bulk.sendall(frame(REQUEST_DEV_DEP_MSG_IN, tag, transfer_size, 0))
            msg_id, got_tag, inverse, _, size, attr = struct.unpack("<BBBBIB3x", read_exact(self.bulk, 12))
            assert (msg_id, got_tag, inverse) == (2, tag, ~tag & 0xFF)
            assert size <= transfer_size
            reply += read_exact(self.bulk, size + (-size % 4))[:size]
            if attr & 1:
                return reply.decode()

    def query(self, text, transfer_size=1 << 20):
        self.write(text)
        return self.read(transfer_size)

    def control(self, b_request, value=0):
        self.ctl.send(struct.pack("<IBBHHH", SIG_IN_EP0, CLASS_INTERFACE_IN, b_request, value, 0, 0))
        return self.ctl.recv(64)


@pytest.fixture(scope="module")
def service(service_binary, tmp_path_factory):
    yield from serve(Service(service_binary, tmp_path_factory.mktemp("usbtmc_root"), {"DMM_USBTMC_STANDIN": "1"}))


@pytest.fixture
def host(service):
    fake = FakeUsbHost(service.root / "dev" / "usbtmc_dev")
    yield fake
    fake.close()


@pytest.fixture(scope="module")
def idn(service, proto_pb2):
    return identity(proto_pb2)


@pytest.fixture
def other(service):
    """A client on the raw socket beside the USB host."""
    with socket.create_connection(("127.0.0.1", SCPI_PORT), timeout=IO_TIMEOUT) as sock:
        yield sock


def reply_line(sock, timeout):
    """The next response line, or None when none comes within timeout s."""
    line = b""
    deadline = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        if not select.select([sock], [], [], max(0.0, deadline - time.monotonic()))[0]:
            return None
        chunk = sock.recv(4096)
        assert chunk, "the service closed the connection"
        line += chunk
    return line.decode().rstrip("\n")


def test_replies_come_back_whole_in_transfers_of_any_size(host, idn):
    assert host.query("*IDN?\n") == idn + "\n"
    assert host.query("*IDN?\n", transfer_size=7) == idn + "\n"
    count = 8000
    reply = host.query("*IDN?;" * (count - 1) + "*IDN?\n", transfer_size=65536)
    assert len(reply) > 300_000
    assert reply == ";".join([idn] * count) + "\n"


def test_class_requests_answer(host):
    # A packet that is not one request is refused, and requests go on.
    for packet in (b"", b"\x01\x00\x00", bytes(20)):
        host.ctl.send(packet)
        assert host.ctl.recv(64) == b""
    capabilities = host.control(GET_CAPABILITIES)
    assert capabilities == bytes([1, 0, 0, 1, 4, 0] + [0] * 6 + [0, 1, 6, 15] + [0] * 8)
    status_byte = int(host.query("*STB?\n").strip())
    assert host.control(READ_STATUS_BYTE, 0x45) == bytes([1, 0x45, status_byte])


def leave_an_unread_reply(old):
    old.write("*IDN?\n")
    old.bulk.sendall(frame(REQUEST_DEV_DEP_MSG_IN, old.next_tag(), 64, 0))
    # The reply is there, unread, when the host goes.
    assert select.select([old.bulk], [], [], IO_TIMEOUT)[0], "no reply to leave unread"


# What a host leaves behind when it goes: a transfer announced as 4 GiB, and a
# reply it asked for and never read.
LEFT_BEHIND = [
    lambda old: old.bulk.sendall(frame(DEV_DEP_MSG_OUT, old.next_tag(), 0xFFFFFFFF, 1, b"*IDN?\n")),
    leave_an_unread_reply,
]


@pytest.mark.parametrize("leave", LEFT_BEHIND, ids=["a 4 GiB transfer", "an unread reply"])
def test_a_new_host_starts_afresh(service, idn, leave):
    node = service.root / "dev" / "usbtmc_dev"
    old = FakeUsbHost(node)
    leave(old)
    old.close()
    new = FakeUsbHost(node)
    new.tag = 100  # tags of its own: a reply left by the old host cannot pass for its answer
    try:
        assert new.query("*IDN?\n") == idn + "\n"
    finally:
        new.close()


def clear_done(host):
    """Whether CHECK_CLEAR_STATUS, asked as a host asks, comes to success: it answers
    pending (0x02) while the host's lists that the clear stopped are still ending."""
    answer = b"\x02\x00"
    deadline = time.monotonic() + IO_TIMEOUT
    while answer == b"\x02\x00" and time.monotonic() < deadline:
        answer = host.control(CHECK_CLEAR_STATUS)
    return answer == b"\x01\x00"


# The host's READ? waits for an edge of the external trigger that never comes,
# its reads behind it for readings; a clear ends all of that at once, for the
# other client waiting for the acquisition as for the host.
def test_a_clear_ends_the_hosts_lists_and_the_acquisition(host, other, idn):
    host.write("*CLS;TRIG:SOUR EXT\n")
    host.write("READ?\n")
    for _ in range(3):
        host.write("DATA:REM? 100000,WAIT\n")

    def armed():
        # A bus trigger is ignored (-211) by an armed acquisition, refused (-200) with none.
        other.sendall(b"*TRG;SYST:ERR?\n")
        return reply_line(other, IO_TIMEOUT).startswith("-211,")

    assert wait_for(armed), "the host's READ? armed no acquisition"
    other.sendall(b"*OPC?\n")
    assert reply_line(other, 0.3) is None, "*OPC? did not wait for the acquisition"
    assert host.control(INITIATE_CLEAR) == b"\x01"
    assert clear_done(host)
    # Ended by the clear, not by the READ?'s time-out (-365), nor by its own.
    assert reply_line(other, IO_TIMEOUT) == "1"
    other.sendall(b"SYST:ERR?;:TRIG:SOUR IMM\n")
    assert reply_line(other, IO_TIMEOUT).startswith("0,")
    assert host.query("*IDN?\n") == idn + "\n"


# All the reads one host may have queued, then a setting; the host goes
# without a word (no unlink signal) and another attaches.
def test_a_new_host_is_a_new_client(service, idn):
    node = service.root / "dev" / "usbtmc_dev"
    old = FakeUsbHost(node)
    old.write("TRIG:SOUR BUS;:SAMP:COUN 2\n")
    for _ in range(255):
        old.write("DATA:REM? 100000,WAIT\n")
    old.write("SAMP:COUN 3\n")
    # What a host leaves unread goes with it: this one left nothing.
    assert wait_for(old.all_taken_in), "the service did not take in what the old host sent"
    old.close()
    new = FakeUsbHost(node)
    new.tag = 100
    try:
        assert new.query("*IDN?\n") == idn + "\n"
        # The old host's setting runs in its order, its reads wait for nothing.
        assert wait_for(lambda: new.query("SAMP:COUN?\n") == "3\n")
        assert new.query("SYST:ERR?;:TRIG:SOUR IMM\n").startswith("0,")
    finally:
        new.close()
