#!/usr/bin/python3
"""A long mixed load on every door of a service of this build, for watching its memory.

Run it inside a network and mount namespace of its own (tests/python/isolated does
that), so that only loopback is reached and a port mapper started here meets no other:

  tests/python/isolated /usr/bin/python3 tools/soak/mixed_load.py --build build \\
      --minutes 130 --samples /work/soak/rss.tsv

Clients take turns at a bounded pace: the SCPI socket (long and short
connections), VXI-11 through the port mapper, the USBTMC stand-in, UI-link
requests and notification clients that come and go. Every minute the service's
RSS (KiB), threads and descriptors go to the samples file, with how many
steps each client has done (and failed) so far. --wrap runs the service under
another program (e.g. "heaptrack -o /tmp/prof"); samples still describe the
service's own process.
"""

import argparse
import os
import pathlib
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "python"))

import conftest as c  # noqa: E402

stop = threading.Event()
counts = {}
counts_lock = threading.Lock()


def note(name, ok=True):
    with counts_lock:
        key = name if ok else name + ".fail"
        counts[key] = counts.get(key, 0) + 1


def pace(seconds):
    return not stop.wait(seconds)


def looped(name, body, period):
    """Runs body() every `period` s until stopped; a failure is counted and retried."""
    def run():
        while pace(period):
            try:
                body()
                note(name)
            except Exception as error:  # the load goes on; the count says how often
                note(name, False)
                with counts_lock:
                    counts["last." + name] = repr(error)[:200]
                stop.wait(1)
    thread = threading.Thread(target=run, name=name, daemon=True)
    thread.start()
    return thread


SCPI_STEPS = [
    "*IDN?", "MEAS:VOLT:DC?", "SYST:ERR?", "CONF:RES;:READ?", "*ESE 0;*ESE?", "CONF:VOLT:AC;:READ?",
    "MEAS:CURR:DC?", "*STB?", "CALC:AVER:STAT ON;:READ?;:CALC:AVER:ALL?", "CALC:AVER:STAT OFF;*OPC?",
    "BADCMD;:SYST:ERR?", "TRIG:SOUR BUS;:INIT;*TRG;FETC?", "TRIG:SOUR IMM;*OPC?", "*ESR?", "CONF:VOLT:DC;*OPC?",
]


def scpi_line(sock, text):
    sock.sendall(text.encode() + b"\n")
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        reply += chunk
    return reply


class ScpiLong:
    """One connection that stays, a step at a time; reopened after each 200 steps."""
    def __init__(self):
        self.sock, self.step = None, 0

    def __call__(self):
        if self.sock is None or self.step % 200 == 0:
            if self.sock:
                self.sock.close()
            self.sock = socket.create_connection(("127.0.0.1", c.SCPI_PORT), timeout=c.IO_TIMEOUT)
        text = SCPI_STEPS[self.step % len(SCPI_STEPS)]
        self.step += 1
        try:
            scpi_line(self.sock, text if text.endswith("?") else text + ";*OPC?")
        except Exception:
            self.sock.close()
            self.sock = None
            raise


def scpi_short():
    with socket.create_connection(("127.0.0.1", c.SCPI_PORT), timeout=c.IO_TIMEOUT) as sock:
        scpi_line(sock, "*IDN?")


def scpi_abandoned():
    """A client that asks and leaves before its answer."""
    with socket.create_connection(("127.0.0.1", c.SCPI_PORT), timeout=c.IO_TIMEOUT) as sock:
        sock.sendall(b"MEAS:VOLT:DC?;*IDN?\n")


class Visa:
    def __init__(self, rm, resource):
        self.rm, self.resource, self.session, self.step = rm, resource, None, 0

    def __call__(self):
        if self.session is None or self.step % 50 == 0:
            if self.session is not None:
                self.session.close()
            self.session = c.open_session(self.rm, self.resource)
        self.step += 1
        try:
            self.session.query(SCPI_STEPS[self.step % len(SCPI_STEPS)] + ("" if self.step % 3 else ";*OPC?"))
            if self.step % 10 == 0 and self.resource.endswith("INSTR"):
                self.session.read_stb()
            if self.step % 25 == 0:
                self.session.clear()
        except Exception:
            self.session.close()
            self.session = None
            raise


class Usb:
    def __init__(self, node):
        self.node, self.host, self.step = node, None, 0

    def __call__(self):
        from test_usbtmc import FakeUsbHost
        if self.host is None or self.step % 100 == 0:
            if self.host is not None:
                self.host.close()
            self.host = FakeUsbHost(self.node)
        self.step += 1
        try:
            text = SCPI_STEPS[self.step % len(SCPI_STEPS)]
            self.host.query((text if text.endswith("?") else text + ";*OPC?") + "\n", transfer_size=512)
            if self.step % 20 == 0:
                self.host.control(128, 7)  # READ_STATUS_BYTE
        except Exception:
            self.host.close()
            self.host = None
            raise


def ui_requests(pb):
    c.request(pb, pb.DataPack(code=c.PRODUCT_INFO_GET))
    c.request(pb, pb.DataPack(code=0x20000652))  # DC voltage range


def notify_client(pb):
    """A notification client that stays a while, reading what is pushed, then goes."""
    with c.notifications() as sock:
        sock.settimeout(1)
        end = time.monotonic() + 20
        while time.monotonic() < end and not stop.is_set():
            try:
                if not sock.recv(65536):
                    raise ConnectionError("notifications closed")
            except socket.timeout:
                pass


def rss_row(pid):
    status = pathlib.Path(f"/proc/{pid}/status").read_text()
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    rss = int(fields["VmRSS"].split()[0])
    threads = int(fields["Threads"])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return rss, threads, fds


def service_pid(launched):
    """The MainService process: `launched` itself, or under --wrap its descendant."""
    todo = [launched.pid]
    while todo:
        pid = todo.pop()
        try:
            if os.path.basename(os.readlink(f"/proc/{pid}/exe")) == "MainService":
                return pid
            for task in os.listdir(f"/proc/{pid}/task"):
                todo += [int(c) for c in pathlib.Path(f"/proc/{pid}/task/{task}/children").read_text().split()]
        except OSError:
            pass
    return None


def start_portmapper(root):
    if c.port_open(111):
        return None
    proc = subprocess.Popen(["/usr/sbin/rpcbind", "-f"], stdout=subprocess.DEVNULL,
                            stderr=open(root / "rpcbind.err", "wb"))
    assert c.wait_for(lambda: c.port_open(111), 5), "rpcbind did not start"
    return proc


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(REPO / "build"))
    parser.add_argument("--minutes", type=float, default=130)
    parser.add_argument("--samples", default="rss.tsv")
    parser.add_argument("--interval", type=float, default=60, help="seconds between samples")
    parser.add_argument("--wrap", default="", help="program (with arguments) to run the service under")
    args = parser.parse_args()

    build = pathlib.Path(args.build).resolve()
    root = pathlib.Path(tempfile.mkdtemp(prefix="dmm_soak_"))
    subprocess.run([str(build / "dmm-sim-calibration"), str(root)], check=True, stdout=subprocess.DEVNULL)
    pb = c.load_proto_module(root)
    portmapper = start_portmapper(root)
    env = {"PATH": "/usr/bin:/bin", "DMM_ROOT": str(root), "DMM_USBTMC_STANDIN": "1"}
    out = open(root / "service.out", "wb")
    service = subprocess.Popen(shlex.split(args.wrap) + [str(build / "MainService")], cwd=root, env=env,
                               stdout=out, stderr=subprocess.STDOUT)
    assert c.wait_for(lambda: all(c.port_open(p) for p in c.PORTS + (c.VXI_PORT,)), 120), "service did not listen"
    pid = service_pid(service)

    import pyvisa
    rm = pyvisa.ResourceManager("@py")
    looped("scpi_long_a", ScpiLong(), 0.2)
    looped("scpi_long_b", ScpiLong(), 0.5)
    looped("scpi_short", scpi_short, 0.5)
    looped("scpi_abandoned", scpi_abandoned, 2)
    looped("vxi11", Visa(rm, "TCPIP::127.0.0.1::INSTR"), 0.3)
    looped("vxi11_socket", Visa(rm, c.SCPI_RESOURCE), 0.5)
    looped("usbtmc", Usb(root / "dev" / "usbtmc_dev"), 0.3)
    looped("ui_request", lambda: ui_requests(pb), 0.3)
    looped("ui_notify_a", lambda: notify_client(pb), 0.5)
    looped("ui_notify_b", lambda: notify_client(pb), 3)

    samples = pathlib.Path(args.samples)
    samples.parent.mkdir(parents=True, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    begin = time.monotonic()
    with open(samples, "w") as tsv:
        tsv.write("minute\ttime\trss_kib\tthreads\tfds\tcounts\n")
        try:
            while not stop.is_set():
                minute = (time.monotonic() - begin) / 60
                rss, threads, fds = rss_row(pid)
                with counts_lock:
                    done = " ".join(f"{k}={v}" for k, v in sorted(counts.items()) if not k.startswith("last."))
                    last = {k: v for k, v in counts.items() if k.startswith("last.")}
                tsv.write(f"{minute:.2f}\t{time.strftime('%H:%M:%S')}\t{rss}\t{threads}\t{fds}\t{done}\n")
                tsv.flush()
                if last:
                    print(last, file=sys.stderr, flush=True)
                if minute >= args.minutes or service.poll() is not None:
                    break
                stop.wait(args.interval)
        except KeyboardInterrupt:
            pass
    stop.set()
    time.sleep(2)
    # A wrapper passes no signal on: the service itself is asked to stop,
    # and the wrapper then ends with it.
    os.kill(pid, signal.SIGINT)
    try:
        service.wait(timeout=120)
    except subprocess.TimeoutExpired:
        os.kill(pid, signal.SIGKILL)
        service.wait(timeout=30)
    if portmapper is not None:
        portmapper.terminate()
    print(f"service ended with {service.returncode}; data root {root}", file=sys.stderr)


if __name__ == "__main__":
    main()
