"""The instrument as a VISA resource over VXI-11, found through the port mapper (rpcbind,
started when none answers and stopped afterwards by its own process id)."""

import shutil
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import (IO_TIMEOUT, PORTS, VXI_PORT, Service, open_session, port_open, read_exact, ready_session, serve,
                      wait_for)
from conftest import SLOW
from status_sequences import UNKNOWN, run_status_steps

pyvisa = pytest.importorskip("pyvisa")
vxi11 = pytest.importorskip("pyvisa_py.protocols.vxi11")

RESOURCE = "TCPIP::127.0.0.1::INSTR"
CORE_PROGRAM = 395183
RPCBIND = "/usr/sbin/rpcbind"
RPCINFO = "/usr/sbin/rpcinfo"
RPCBIND_START = 5  # s
# How often the service looks at its port-mapper entry here (ms).
PORTMAP_CHECK_MS = 200
REREGISTERED = "VXI-11 core program registered again with the port mapper"


@pytest.fixture(scope="module")
def portmapper(tmp_path_factory):
    if port_open(111):
        yield None
        return
    if not shutil.which(RPCBIND):
        pytest.skip("rpcbind is not installed (scripts/setup installs it)")
    # Its messages go to a file: a pipe nobody reads could fill and stall it.
    errors = tmp_path_factory.mktemp("rpcbind") / "stderr"
    with open(errors, "wb") as err:
        proc = subprocess.Popen([RPCBIND, "-f"], stdout=subprocess.DEVNULL, stderr=err)
    try:
        # It binds its ports at once or exits (another one holds its lock file).
        deadline = time.monotonic() + RPCBIND_START
        while not port_open(111):
            if proc.poll() is not None:
                pytest.skip(f"rpcbind did not start: {errors.read_text(errors='replace')}")
            assert time.monotonic() < deadline, f"rpcbind did not open port 111: {errors.read_text()}"
            time.sleep(0.05)
        yield proc
    finally:
        if proc.poll() is None:
            proc.terminate()
            proc.wait(timeout=IO_TIMEOUT)


@pytest.fixture(scope="module")
def service(portmapper, service_binary, tmp_path_factory):
    env = {"DMM_VXI_PORTMAP_CHECK_MS": str(PORTMAP_CHECK_MS)}
    yield from serve(Service(service_binary, tmp_path_factory.mktemp("vxi_root"), env), PORTS + (VXI_PORT,))


@pytest.fixture
def inst(service, rm):
    session = ready_session(rm, RESOURCE, setup="*CLS")
    yield session
    session.close()


def core_rows():
    listing = subprocess.run([RPCINFO, "-p", "127.0.0.1"], capture_output=True, text=True, timeout=IO_TIMEOUT)
    rows = {tuple(line.split()[:4]) for line in listing.stdout.splitlines()[1:]}
    return {row for row in rows if row[0] == str(CORE_PROGRAM)}


CORE_ROWS = {(str(CORE_PROGRAM), "1", proto, str(VXI_PORT)) for proto in ("tcp", "udp")}


def test_portmapper_lists_the_core_program(service):
    assert core_rows() == CORE_ROWS


def test_portmapper_entry_comes_back_once_lost(service):
    again = lambda: sum(REREGISTERED in line for line in service.log_lines())
    before = again()
    subprocess.run([RPCINFO, "-d", str(CORE_PROGRAM), "1"], check=True, timeout=IO_TIMEOUT)
    assert wait_for(lambda: again() > before, IO_TIMEOUT), "the lost entry was not registered again"
    assert core_rows() == CORE_ROWS


def test_status_model_steps_over_read_stb(inst):
    def write(text):
        if text != UNKNOWN:
            inst.write(text)
            return
        # A message that names no command fails its write; its errors are queued all the same.
        with pytest.raises(pyvisa.errors.VisaIOError) as failed:
            inst.write(text)
        assert failed.value.error_code == pyvisa.constants.StatusCode.error_io

    run_status_steps(inst, inst.read_stb, write)


def test_a_long_message_a_broken_one_and_a_device_clear(inst):
    identity = inst.query("*IDN?").split(",")
    assert len(identity) == 4 and all(identity), identity
    inst.write("*ESE 0;" * 14286 + "*ESE 4")  # above 100 kB
    assert inst.query("*ESE?;SYST:ERR?") == '4;0,"No error"'
    # A message that does not parse fails its write; its errors are queued.
    with pytest.raises(pyvisa.errors.VisaIOError) as failed:
        inst.write("BADCMD")
    assert failed.value.error_code == pyvisa.constants.StatusCode.error_io
    assert inst.query("SYST:ERR?").startswith("-113,")
    inst.clear()
    assert inst.query("*IDN?").split(",") == identity


def test_a_query_not_read_never_answers_the_next(inst):
    # A frequency takes its gate time: its answer comes after the next query
    # was sent, whose read must not take it.
    identity = inst.query("*IDN?")
    inst.write("MEAS:FREQ?")
    inst.write("*IDN?")
    assert inst.read() == identity
    errors = iter(lambda: inst.query("SYST:ERR?"), '0,"No error"')
    assert list(errors) == ['-410,"Query INTERRUPTED"']


def test_two_clients_lock_in_turn(service, rm):
    first, second = open_session(rm, RESOURCE), open_session(rm, RESOURCE)
    try:
        first.lock_excl()
        with pytest.raises(pyvisa.errors.VisaIOError):
            second.lock_excl(timeout=200)
        first.unlock()
        second.lock_excl()
        assert second.query("*OPC?") == "1"
        second.unlock()
        first.lock_excl()
        first.unlock()
    finally:
        first.close()
        second.close()


class RawClient:
    """A VXI-11 client on a connection of its own that sends calls and takes
    their replies when the test says, so that it can leave a call waiting."""

    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", VXI_PORT), timeout=IO_TIMEOUT)
        self.xid = 0

    def call(self, proc, parms, params):
        """The whole record of one call of proc whose parameters pack as pack_<parms>_parms."""
        self.xid += 1
        packer = vxi11.Vxi11Packer()
        null_auth = (vxi11.rpc.AuthorizationFlavor.null, b"")
        packer.pack_callheader(self.xid, vxi11.DEVICE_CORE_PROG, vxi11.DEVICE_CORE_VERS, proc, null_auth, null_auth)
        getattr(packer, f"pack_{parms}_parms")(params)
        body = packer.get_buf()
        return struct.pack(">I", 0x80000000 | len(body)) + body

    def reply(self, unpack, timeout=IO_TIMEOUT):
        self.sock.settimeout(timeout)
        (mark,) = struct.unpack(">I", read_exact(self.sock, 4))
        unpacker = vxi11.Vxi11Unpacker(read_exact(self.sock, mark & 0x7FFFFFFF))
        unpacker.unpack_replyheader()
        return unpack(unpacker)()

    def create_link(self):
        self.sock.sendall(self.call(vxi11.CREATE_LINK, "create_link", (1, False, 0, "inst0")))
        error, lid, _, _ = self.reply(lambda u: u.unpack_create_link_resp)
        assert error == 0
        return lid


def stall_half_record(raw, inst, done):
    lid = raw.create_link()
    write = raw.call(vxi11.DEVICE_WRITE, "device_write", (lid, 1000, 0, 8, b"*" * 960))
    raw.sock.sendall(write[:44])  # its mark and call header


def stall_half_mark(raw, inst, done):
    raw.sock.sendall(b"\x80\x00")


def stall_byte_per_second(raw, inst, done):
    call = raw.call(vxi11.CREATE_LINK, "create_link", (1, False, 0, "inst0"))

    def drip():
        for byte in call[1:]:
            if done.wait(1.0):
                return
            raw.sock.send(bytes([byte]))

    raw.sock.send(call[:1])
    threading.Thread(target=drip, daemon=True).start()


def stall_long_read(raw, inst, done):
    lid = raw.create_link()
    raw.sock.sendall(raw.call(vxi11.DEVICE_READ, "device_read", (lid, 100, 60000, 0, 0, 0)))


def stall_long_lock_wait(raw, inst, done):
    lid = raw.create_link()
    inst.lock_excl()
    lock = (lid, vxi11.OP_FLAG_WAIT_BLOCK, 60000)
    raw.sock.sendall(raw.call(vxi11.DEVICE_LOCK, "device_lock", lock))

    def handed_over():
        inst.unlock()
        start = time.monotonic()
        assert raw.reply(lambda u: u.unpack_device_error, timeout=5) == 0
        assert time.monotonic() - start < 1.0 * SLOW

    return handed_over


@pytest.mark.parametrize("stall", [stall_half_record, stall_half_mark, stall_byte_per_second, stall_long_read,
                                   stall_long_lock_wait])
def test_one_stalled_client_holds_up_no_other(inst, stall):
    raw = RawClient()
    done = threading.Event()
    try:
        after = stall(raw, inst, done)
        inst.timeout = 2000
        for _ in range(20):
            start = time.monotonic()
            assert inst.query("*IDN?")
            assert time.monotonic() - start < 0.1 * SLOW
        if after:
            after()
    finally:
        done.set()
        raw.sock.close()
