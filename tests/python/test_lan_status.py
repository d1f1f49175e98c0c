"""The network-status service's reports reaching the UI and SCPI. A fake service listens
on 127.0.0.1:1998 as the instrument's does: it takes the client's 184-byte request and
sends 184-byte records (host byte order)."""

import socket
import struct

import pytest

from conftest import IO_TIMEOUT, SCPI_PORT, next_notice, notifications, read_exact

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


def scpi_query(text):
    with socket.create_connection(("127.0.0.1", SCPI_PORT), timeout=IO_TIMEOUT) as sock:
        sock.sendall(text.encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = sock.recv(256)
            assert chunk, "connection closed before the reply"
            reply += chunk
        return reply.decode().strip()


def link_updates(service):
    service.log_has("Lan link update: ")
    return [line.split("Lan link update: ")[1] for line in service.log_lines() if "Lan link update: " in line]


def test_link_reports_reach_the_ui_and_scpi_and_reconnects_stay_quiet(make_service, net_service, proto_pb2):
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
    assert scpi_query("SYST:COMM:LAN:IPAD?") == '"10.0.0.5"'
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
