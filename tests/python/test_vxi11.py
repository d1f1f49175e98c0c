"""The instrument as a VISA resource over VXI-11 (TCPIP::host::INSTR), opened by
PyVISA's pure-Python backend, which finds the server through the port mapper.

A port mapper (rpcbind) is started when none answers and stopped afterwards,
by its own process id; then one MainService serves the module.
"""

import shutil
import subprocess
import time

import pytest

from conftest import IO_TIMEOUT, PORTS, VXI_PORT, Service, port_open, serve
from status_sequences import UNKNOWN, run_status_steps

pyvisa = pytest.importorskip("pyvisa")

RESOURCE = "TCPIP::127.0.0.1::INSTR"
CORE_PROGRAM = 395183
RPCBIND = "/usr/sbin/rpcbind"
RPCINFO = "/usr/sbin/rpcinfo"
STB_ERROR_QUEUE = 0x04


@pytest.fixture(scope="module")
def portmapper():
    if port_open(111):
        yield None
        return
    if not shutil.which(RPCBIND):
        pytest.skip("rpcbind is not installed (scripts/setup installs it)")
    proc = subprocess.Popen([RPCBIND, "-f"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + IO_TIMEOUT
        while not port_open(111):
            if proc.poll() is not None:
                pytest.skip(f"rpcbind did not start: {proc.stderr.read().decode(errors='replace')}")
            assert time.monotonic() < deadline, "rpcbind did not open port 111"
            time.sleep(0.05)
        yield proc
    finally:
        if proc.poll() is None:
            proc.terminate()
            proc.wait(timeout=IO_TIMEOUT)


@pytest.fixture(scope="module")
def service(portmapper, service_binary, tmp_path_factory):
    yield from serve(Service(service_binary, tmp_path_factory.mktemp("vxi_root")), PORTS + (VXI_PORT,))


def open_instr(rm):
    return rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n", timeout=IO_TIMEOUT * 1000)


@pytest.fixture
def inst(service, rm):
    session = open_instr(rm)
    assert session.query("*CLS;*OPC?") == "1"
    yield session
    session.close()


def test_portmapper_lists_the_core_program(service):
    listing = subprocess.run([RPCINFO, "-p", "127.0.0.1"], capture_output=True, text=True, timeout=IO_TIMEOUT)
    rows = {tuple(line.split()[:4]) for line in listing.stdout.splitlines()[1:]}
    for proto in ("tcp", "udp"):
        assert (str(CORE_PROGRAM), "1", proto, str(VXI_PORT)) in rows, listing.stdout


def test_identity_status_byte_and_clear(inst):
    identity = inst.query("*IDN?").split(",")
    assert len(identity) == 4 and all(identity), identity
    # An out-of-range value queues an error, which shows in the status byte.
    inst.write("*ESE 999")
    assert inst.query("*OPC?") == "1"
    stb = inst.read_stb()
    assert stb & STB_ERROR_QUEUE
    assert stb == int(inst.query("*STB?"))
    inst.clear()
    assert inst.query("*IDN?").split(",") == identity


def test_status_model_steps_over_read_stb(inst):
    def write(commands):
        try:
            inst.write(commands)
        except pyvisa.errors.VisaIOError:
            # A message that parses to no command fails its write here.
            if commands != UNKNOWN:
                raise

    run_status_steps(inst, inst.read_stb, write)


def test_long_message_is_accepted(inst):
    message = "*ESE 0;" * 14286 + "*ESE 4"
    assert len(message) > 100_000
    inst.write(message)
    assert inst.query("*ESE?;SYST:ERR?") == '4;0,"No error"'


def test_two_clients_lock_in_turn(service, rm):
    first, second = open_instr(rm), open_instr(rm)
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
