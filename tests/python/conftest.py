"""Shared pieces of the whole-process tests."""

import contextlib
import importlib.util
import os
import pathlib
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time
from datetime import datetime

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
PROTO = REPO / "protodata" / "proto_data.proto"


def load_proto_module(out_dir):
    """proto_data_pb2, generated from the schema with the system's protoc into out_dir (once per run)."""
    if "proto_data_pb2" in sys.modules:
        return sys.modules["proto_data_pb2"]
    protoc = shutil.which("protoc") or "/usr/bin/protoc"
    subprocess.run([protoc, f"-I{PROTO.parent}", f"--python_out={out_dir}", str(PROTO)], check=True)
    location = importlib.util.spec_from_file_location("proto_data_pb2", pathlib.Path(out_dir) / "proto_data_pb2.py")
    module = importlib.util.module_from_spec(location)
    sys.modules["proto_data_pb2"] = module
    location.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def proto_pb2(tmp_path_factory):
    """The generated message module of the schema."""
    return load_proto_module(tmp_path_factory.mktemp("pb"))


@pytest.fixture(scope="session")
def build_dir():
    """The CMake build directory (DMM_BUILD_DIR, set by CTest)."""
    build = os.environ.get("DMM_BUILD_DIR")
    if not build:
        pytest.skip("DMM_BUILD_DIR not set: no built programs to run")
    return pathlib.Path(build)


# ---------------------------------------------------------------------------
# The whole service process (MainService), shared by the tests that run it.
# Its ports are fixed, so these tests run one at a time.

REQUEST_PORT = 9999
NOTIFY_PORT = 9998
SCPI_PORT = 5025
VXI_PORT = 20712
PORTS = (REQUEST_PORT, NOTIFY_PORT, SCPI_PORT)
NOTIFY_FLAG = 0x80000000
PRODUCT_INFO_GET = 0x2000122E
IO_TIMEOUT = 20


def sanitized_build():
    """Whether DMM_BUILD_DIR holds a sanitizer build (its CMake cache names the sanitizers)."""
    cache = pathlib.Path(os.environ.get("DMM_BUILD_DIR", "")) / "CMakeCache.txt"
    if not os.environ.get("DMM_BUILD_DIR") or not cache.is_file():
        return False
    return any(line.startswith("DMM_SANITIZE:") and line.split("=", 1)[1].strip()
               for line in cache.read_text(errors="replace").splitlines())


START_TIMEOUT = 30
# A sanitizer build runs several times slower, and on a loaded machine its
# first commands after start or a reset (which rebuilds every setting) take
# that much longer: the wait for a ready service grows with it, within the
# time-out of a test (pytest.ini).
READY_TIMEOUT = IO_TIMEOUT * 4 if sanitized_build() else IO_TIMEOUT
# A bound on how long something may take is this many times longer in a sanitizer build:
# such a build does the same work several times slower, and a loaded machine slows it
# further (a UI listing measured 1.5 times its plain bound on two busy cores).
SLOW = 3 if sanitized_build() else 1
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:", "LeakSanitizer")
# The output is searched a block at a time: a long sanitizer run writes far more
# than is worth holding, and a report may come at any point of it.
OUTPUT_BLOCK = 1 << 20
SHOWN_REPORT = 4000


def sanitizer_report(path):
    """The start of the first sanitizer report in the file at path, or "" if none."""
    if not path.exists():
        return ""
    marks = [mark.encode() for mark in SANITIZER_MARKS]
    overlap = max(map(len, marks)) - 1  # a mark cut by a block's end is found whole in the next
    with open(path, "rb") as out:
        carried = b""
        while True:
            block = out.read(OUTPUT_BLOCK)
            if not block:
                return ""
            window = carried + block
            found = [at for at in (window.find(mark) for mark in marks) if at >= 0]
            if found:
                out.seek(out.tell() - len(window) + min(found))
                return out.read(SHOWN_REPORT).decode(errors="replace")
            carried = window[-overlap:]


NO_ERROR = '0,"No error"'
EXECUTION_ERROR = '-200,"Execution error"'


def as_int32(value):
    return value - (1 << 32) if value & 0x80000000 else value


def wait_for(predicate, timeout=IO_TIMEOUT, interval=0.05):
    """Whether predicate() came true within timeout seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return True
    except OSError:
        return False


def listeners():
    """(hex address, port) of every socket in LISTEN state, from the kernel's socket tables."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                fields = row.split()
                if fields[3] == "0A":
                    address, port = fields[1].rsplit(":", 1)
                    found.add((address, int(port, 16)))
    return found


def read_exact(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise ConnectionError(f"connection closed after {len(data)} of {size} bytes")
        data += chunk
    return data


def read_pack(pb, sock):
    """The next length-prefixed DataPack."""
    length = int.from_bytes(read_exact(sock, 4), "little")
    return pb.DataPack.FromString(read_exact(sock, length))


def request(pb, pack):
    """One UI-link request on a connection of its own; its reply."""
    with socket.create_connection(("127.0.0.1", REQUEST_PORT), timeout=IO_TIMEOUT) as sock:
        sock.settimeout(IO_TIMEOUT)
        sock.sendall(pack.SerializeToString())
        return read_pack(pb, sock)


def ui_request(pb, code, **fields):
    """One UI request whose fields are k<hex key>=pb.Value(...) or a text; its reply."""
    pack = pb.DataPack(code=code)
    for key, value in fields.items():
        pack.data[int(key[1:], 16)].CopyFrom(pb.Value(strVal=value) if isinstance(value, str) else value)
    return request(pb, pack)


def identity(pb):
    """The *IDN? answer the product record of the UI link makes."""
    reply = request(pb, pb.DataPack(code=PRODUCT_INFO_GET))
    info = pb.ProtoProductInfo.FromString(reply.data[0x122E].rawVal)
    return ",".join(["Vorna Technologies", info.mModel, info.mSerialNum, info.mSwVer])


@contextlib.contextmanager
def notifications():
    """A notification client of the UI link, once the service serves it: a connection is
    accepted before its session exists, and what is pushed meanwhile never reaches it. The
    service greets a new client with its current settings; the first byte of them (peeked,
    not taken) says the session is there."""
    with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=IO_TIMEOUT) as sock:
        sock.settimeout(IO_TIMEOUT)
        sock.recv(1, socket.MSG_PEEK)
        yield sock


def next_notice(pb, sock, code, match=lambda pack: True):
    """The next notification of code for which match is true; others are passed over."""
    deadline = time.monotonic() + IO_TIMEOUT
    while time.monotonic() < deadline:
        pack = read_pack(pb, sock)
        if pack.code == as_int32(code | NOTIFY_FLAG) and match(pack):
            return pack
    raise AssertionError(f"no notification {code:#x} as expected")


def log_time(line):
    """The time stamp that begins a log line."""
    return datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")


LOG_WAIT = 1.0


def set_inputs(service, text):
    """Writes the simulated inputs and waits until the service has read them
    (it notes each read, numbered)."""
    reads = lambda: sum("sim inputs read (" in line for line in service.log_lines())
    before = reads()
    (service.root / "sim" / "input.conf").write_text(text)
    assert wait_for(lambda: reads() > before, IO_TIMEOUT, 0.02), "the service did not read its inputs"


class Service:
    """One MainService process with its own data root."""

    def __init__(self, binary, root, extra_env=None, nofile=None):
        self.binary = binary
        self.root = root
        self.extra_env = extra_env or {}
        self.nofile = nofile  # (soft, hard) descriptor limit of the process, when given
        self.proc = None
        self.output = root / "service.out"

    def prop(self, name):
        path = self.root / "properties" / name
        return path.read_text() if path.exists() else None

    def set_prop(self, name, value):
        (self.root / "properties").mkdir(parents=True, exist_ok=True)
        (self.root / "properties" / name).write_text(value)

    def log_lines(self):
        logs = sorted((self.root / "data" / "logs").glob("*.log"))
        return logs[-1].read_text(errors="replace").splitlines() if logs else []

    def log_has(self, text, wait=LOG_WAIT):
        """Whether the log holds text, waiting up to `wait` s: the service's log
        writer batches its records for a few milliseconds."""
        return wait_for(lambda: any(text in line for line in self.log_lines()), wait, 0.02)

    def start(self, free_ports=PORTS):
        """Starts the process once free_ports are free (another test's process may still hold them)."""
        deadline = time.monotonic() + START_TIMEOUT
        while any(port_open(p) for p in free_ports):
            assert time.monotonic() < deadline, f"ports {free_ports} are taken by another process"
            time.sleep(0.1)
        env = {"PATH": "/usr/bin:/bin", "DMM_ROOT": str(self.root)}
        env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        env.update(self.extra_env)
        with open(self.output, "wb") as out:
            limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, self.nofile)) if self.nofile else None
            self.proc = subprocess.Popen([str(self.binary)], stdout=out, stderr=subprocess.STDOUT,
                                         cwd=self.root, env=env, preexec_fn=limit)
        return self

    def wait_listening(self, ports=PORTS):
        deadline = time.monotonic() + START_TIMEOUT
        while not all(port_open(p) for p in ports):
            assert self.proc.poll() is None, f"service exited with {self.proc.returncode}:\n{self.describe()}"
            assert time.monotonic() < deadline, f"service did not open its ports:\n{self.describe()}"
            time.sleep(0.05)
        return self

    def stop(self, sig=signal.SIGINT, timeout=IO_TIMEOUT):
        """Sends sig; returns (exit status, seconds until the process ended)."""
        start = time.monotonic()
        self.proc.send_signal(sig)
        status = self.proc.wait(timeout=timeout)
        return status, time.monotonic() - start

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)

    def describe(self):
        return self.output.read_text(errors="replace")[-4000:] if self.output.exists() else ""

    def check_sanitizers(self):
        """A sanitizer build reports into the output; the process ends with _exit,
        so the report is all there is to see."""
        report = sanitizer_report(self.output)
        assert not report, report


@pytest.fixture(scope="session")
def service_binary(build_dir):
    binary = build_dir / "MainService"
    assert binary.is_file(), f"{binary} missing: build the MainService target"
    return binary


@pytest.fixture
def make_service(service_binary, tmp_path):
    """Makes services in fresh data roots; every one is killed at the end."""
    made = []

    def make(extra_env=None, name="root", nofile=None):
        root = tmp_path / name
        root.mkdir()
        service = Service(service_binary, root, extra_env, nofile)
        made.append(service)
        return service

    yield make
    for service in made:
        service.kill()
    for service in made:
        service.check_sanitizers()


@pytest.fixture
def running(make_service):
    return make_service().start().wait_listening()


# ---------------------------------------------------------------------------
# One service per test module, reached over SCPI with PyVISA's pure-Python backend.

SCPI_RESOURCE = "TCPIP0::127.0.0.1::5025::SOCKET"


def serve(svc, ports=PORTS, stop_within=IO_TIMEOUT):
    """Runs svc for a module's tests, once `ports` listen; it must stop with status 0 within stop_within s."""
    svc.start(free_ports=ports).wait_listening(ports)
    yield svc
    try:
        status, seconds = svc.stop()
        assert status == 0 and seconds < stop_within, svc.describe()
    finally:
        svc.kill()
    svc.check_sanitizers()


@pytest.fixture(scope="module")
def service(service_binary, tmp_path_factory):
    """One service for all tests of a module (a module may override it)."""
    yield from serve(Service(service_binary, tmp_path_factory.mktemp("module_root")))


@pytest.fixture(scope="module")
def rm():
    pyvisa = pytest.importorskip("pyvisa")
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def open_session(rm, resource=SCPI_RESOURCE, timeout=IO_TIMEOUT):
    return rm.open_resource(resource, read_termination="\n", write_termination="\n", timeout=timeout * 1000)


def ready_session(rm, resource=SCPI_RESOURCE, setup=None, timeout=IO_TIMEOUT):
    """A session once the service has run `setup` and answered *OPC?, waited
    for up to READY_TIMEOUT; then its I/O time-out is `timeout` s."""
    session = open_session(rm, resource, timeout=READY_TIMEOUT)
    # Lists of one client run in order: *OPC? answers once setup has run.
    if setup:
        session.write(setup)
    assert session.query("*OPC?") == "1"
    session.timeout = timeout * 1000
    return session


@pytest.fixture
def inst(service, rm):
    # Parse errors are marked when the text arrives, execution happens later:
    # wait until *CLS has run so that it cannot wipe what the test provokes.
    # The enable registers outlive a session: an earlier test's stay set.
    session = ready_session(rm, setup="*CLS;*ESE 0;*SRE 0")
    yield session
    session.close()
