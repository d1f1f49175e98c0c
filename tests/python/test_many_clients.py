"""Many clients on every door at once, for a fixed time (DMM_MANY_CLIENTS_SECONDS, 60 by
default): SCPI over the socket, VXI-11 and the USBTMC stand-in, and the UI link. Each client
runs a mix drawn from a seeded generator (DMM_MANY_CLIENTS_SEED, random by default; a failure
names the seed): set-and-query pairs of settings the others change too, reads under every
trigger source, waits, copies and deletes of trees, aborts, clears, and leaving in every way
a client can leave, then coming back as a new client.

What must hold throughout: every message of a live client is answered within BOUND, and it
is its own answer (each message ends in a set-and-query pair of an enable register with a
value of that client's own, which no other client's command may come between); a read
answers only readings of its own function, also a fetch in a later message than its INIT; what a client sent before it left still runs.
Afterwards the service's threads and descriptors are back where they were, and every door
answers *IDN?. A summary line tells what ran (pytest -s, or ctest -V).

Then clients leave on every door at once while a message of each waits: what they leave
keeps no worker of its own while another client's message holds the turn.

A run longer than CTest's 600 s for a module is one of pytest's own, e.g.
DMM_MANY_CLIENTS_SECONDS=1800 DMM_BUILD_DIR=build tests/python/isolated /usr/bin/python3 -m pytest -s \
tests/python/test_many_clients.py"""

import collections
import math
import os
import pathlib
import random
import re
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

import pytest

from conftest import (PORTS, VXI_PORT, NOTIFY_PORT, REQUEST_PORT, PRODUCT_INFO_GET, SCPI_PORT, Service, identity,
                      open_session, read_exact, read_pack, sanitized_build, serve, wait_for)
from test_usbtmc import INITIATE_CLEAR, REQUEST_DEV_DEP_MSG_IN, FakeUsbHost, clear_done, frame
from test_vxi11 import RESOURCE as VXI_RESOURCE, portmapper  # noqa: F401 (fixture)

pyvisa = pytest.importorskip("pyvisa")

SECONDS = float(os.environ.get("DMM_MANY_CLIENTS_SECONDS") or 60)
SEED = int(os.environ.get("DMM_MANY_CLIENTS_SEED") or random.SystemRandom().randrange(1 << 32))
# A sanitizer build runs several times slower: its *RST takes longer, and so do the
# messages queued behind one.
SLOW = 2 if sanitized_build() else 1
BOUND = 15 * SLOW
# A VXI-11 link's waits in the engine end after the I/O time-out of the write that sent
# the message (or of a longer read): its writes and reads are this long, reads repeated
# until BOUND.
VXI_READ_TIMEOUT = 5
# The USB device drops a request for a reply that is not there within 5 s: the host asks
# again after this long.
USB_REQUEST_WAIT = 7
# Settings a client leaves queued behind a wait as it leaves: well within what those that
# have left may leave together (256 lists), so that what the others leave still runs.
LONG_BACKLOG = 80
SOCKET_CLIENTS, VXI_CLIENTS = 8, 4
SCPI_SLOTS = SOCKET_CLIENTS + VXI_CLIENTS + 1  # the one USB host last

# Inputs whose readings tell the functions apart by orders of magnitude, and ranges that
# read them without overload.
INPUTS = {"VOLT:DC": 1.5, "RES": 4700.0, "CURR:DC": 0.012}
RANGES = {"VOLT:DC": ("10", "100"), "RES": ("10000", "100000"), "CURR:DC": ("0.1", "1")}
TOLERANCE = 0.05
SOURCE_TREE = {"a.txt": "a", "sub/b.txt": "bb", "sub/deeper/c.txt": "ccc"}


def mask_values(mask):
    return [value for value in range(mask + 1) if not value & ~mask]


# The settings a pair sets and queries, with the values each takes (the bits their
# registers keep); a client uses every SCPI_SLOTS-th one, so no two clients share a value.
TAG_VALUES = mask_values(0x5F37)  # STAT:QUES:ENAB
SRE_VALUES = mask_values(0xBC)
ESE_VALUES = mask_values(0xBD)
# Small sample counts, one per client: under the bus trigger a change of function owes
# that many readings at the slowest rate, which *OPC? waits for.
COUNT_VALUES = list(range(1, SCPI_SLOTS + 1))


class Failed(Exception):
    """A client found something wrong; the run notes it and every client stops."""


class NoAnswer(Exception):
    pass


class Message:
    """One program message: its commands, then the tag pair, whose answer is the last field."""

    def __init__(self, client, commands, check=None):
        self.tag = client.next_tag()
        self.text = ";:".join(list(commands) + [f"STAT:QUES:ENAB {self.tag}", "STAT:QUES:ENAB?"])
        self.check = check or exactly()

    def problem(self, line):
        fields = line.split(";")
        if fields[-1] != str(self.tag):
            return f"{self.text!r} answered {line!r}: not its own answer (its tag pair set {self.tag})"
        problem = self.check(fields[:-1])
        return problem and f"{self.text!r} answered {line!r}: {problem}"


def exactly(*answers):
    return lambda body: None if body == list(answers) else f"expected {list(answers)}"


def one_of(*bodies):
    return lambda body: None if body in [list(b) for b in bodies] else f"expected one of {bodies}"


def numbers(count):
    """DATA:REM? n,WAIT: n readings (any function: the memory holds every client's), or
    none when its wait timed out."""
    def check(body):
        if body and (len(body) != count or not all(re.fullmatch(r"[-+0-9.E]+", v) for v in body)):
            return f"expected {count} readings"
    return check


class Run:
    """What the clients share: the clock, the failures and the figures."""

    def __init__(self, meter, rm, pb, conf):
        self.meter, self.rm, self.pb, self.conf = meter, rm, pb, conf
        self.deadline = time.monotonic() + SECONDS
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.visa_lock = threading.Lock()
        self.failures = []
        self.counts = collections.Counter()
        self.served = collections.Counter()  # answers each client got
        self.slowest = (0.0, "")
        self.log = LogWatch(meter)
        self.seq = 0

    def over(self):
        return self.stop.is_set() or time.monotonic() > self.deadline

    def fail(self, client, text):
        with self.lock:
            self.failures.append(f"{client.name}: {text}")
        self.stop.set()
        raise Failed(text)

    def note(self, what, count=1):
        with self.lock:
            self.counts[what] += count

    def answered(self, client, seconds, text):
        with self.lock:
            self.counts["messages"] += 1
            self.served[client.name] += 1
            if seconds > self.slowest[0]:
                self.slowest = (seconds, text)

    def marker(self, client):
        with self.lock:
            self.seq += 1
            return f"mcl_{client.slot}_{self.seq}"


class LogWatch:
    """Which departing clients' folders the service has taken in: it logs every SCPI
    message as it takes it ("SCPI cmd = ..."). Reads the log on from where it left off."""

    def __init__(self, meter):
        self.logs = meter.root / "data" / "logs"
        self.lock = threading.Lock()
        self.path, self.offset, self.rest, self.seen = None, 0, b"", set()

    def took(self, marker):
        return wait_for(lambda: self._seen(marker), BOUND, 0.02)

    def _seen(self, marker):
        with self.lock:
            files = sorted(self.logs.glob("*.log"))
            for path in files[files.index(self.path):] if self.path in files else files[-1:]:
                if path != self.path:
                    self.path, self.offset, self.rest = path, 0, b""
                with open(path, "rb") as log:
                    log.seek(self.offset)
                    data = self.rest + log.read()
                self.offset += len(data) - len(self.rest)
                *lines, self.rest = data.split(b"\n")
                self.seen.update(m.decode() for line in lines if b"SCPI cmd = " in line
                                 for m in re.findall(rb"mcl_\d+_\d+", line))
            return marker in self.seen


def tree(path):
    return sorted((str(p.relative_to(path)), p.read_text() if p.is_file() else None) for p in path.rglob("*"))


def edges(meter, stop):
    """The external trigger input, an edge every 0.1 s: a read under EXT always gets one."""
    fifo = meter.root / "sim" / "ext_trigger"
    while not stop.wait(0.1):
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            continue  # the waiter is between two opens
        try:
            os.write(fd, b"x")
        except OSError:
            pass
        finally:
            os.close(fd)


# ---------------------------------------------------------------------------
# The messages of the mix. Each takes the client (for its values and its generator).

def pick_function(client):
    function = client.rng.choice(sorted(INPUTS))
    return function, client.rng.choice(RANGES[function])


def readings_of(client, function, count, may_time_out=False):
    """A read's answer: at most `count` readings, every one of `function`; fewer when
    another client cut it short (-230, in the one error queue of all clients)."""
    def check(body):
        if not body:
            if may_time_out:  # -365: an edge comes every 0.1 s, but a loaded machine may miss 5 s of them
                client.shared.note("reads timed out")
                return None
            return "no reading"
        values = [] if body == ['""'] else [float(v) for v in body[0].split(",")]
        if len(body) != 1 or len(values) > count:
            return f"more than {count} readings"
        wrong = [v for v in values if abs(v - INPUTS[function]) > TOLERANCE * INPUTS[function]]
        if wrong:
            return f"readings {wrong} are not of {function} ({INPUTS[function]})"
        client.shared.note("reads whole" if len(values) == count else "reads cut short")
    return check


def fetched(client, function, count):
    """*CLS;FETC?;SYST:ERR? in a later message than its INIT: readings of its own function,
    and -230 (nothing in the message waits: no other client's) only with fewer of them."""
    def check(body):
        cut = len(body) == 2 and (body[0] == '""' or len(body[0].split(",")) < count)
        if len(body) != 2 or body[1] not in ['0,"No error"'] + ['-230,"Data corrupt or stale"'] * cut:
            return "expected its readings, and -230 only with fewer"
        return readings_of(client, function, count)(body[:1])
    return check


def own_value(client, values):
    return client.rng.choice(values[client.slot::SCPI_SLOTS])


def pair(command, values):
    def make(client):
        value = own_value(client, values)
        return Message(client, [f"{command} {value}", f"{command}?"], exactly(str(value)))
    return make


def configure(client):
    function, range_ = pick_function(client)
    return Message(client, [f"CONF:{function} {range_}", "CONF?"], exactly(client.shared.conf[function, range_]))


def read_under(source, fetch=False):
    """Configures and reads in one message. The source goes to IMM first, so that the
    changes owe no readings at the slowest rate."""
    def make(client):
        function, range_ = pick_function(client)
        count = client.rng.randint(1, 3)
        commands = ["TRIG:SOUR IMM", f"SAMP:COUN {count}", "TRIG:COUN 1", f"CONF:{function} {range_}",
                    f"{function}:NPLC 0.4"]
        commands += [] if source == "IMM" else [f"TRIG:SOUR {source}"]
        commands += ["INIT", "*TRG", "FETC?"] if fetch else ["READ?"]
        return Message(client, commands, readings_of(client, function, count, source == "EXT"))
    return make


def measure(client):
    function, range_ = pick_function(client)
    return Message(client, [f"MEAS:{function}? {range_}"], readings_of(client, function, 1))


def hold(client):
    """Holds the message turn for a while: each *RST rebuilds every setting."""
    return Message(client, ["*RST"] * client.rng.randint(2, 6) + ["*OPC?"], one_of([], ["1"]))


def long_wait(client):
    """Waits until its own client's ABOR or clear ends it (or 5 s without a reading)."""
    return Message(client, ["DATA:REM? 100000,WAIT"])


SIMPLE = {  # name: (maker, weight)
    "sre-pair": (pair("*SRE", SRE_VALUES), 8),
    "ese-pair": (pair("*ESE", ESE_VALUES), 5),
    "count-pair": (pair("SAMP:COUN", COUNT_VALUES), 6),
    "configure-pair": (configure, 8),
    "read-imm": (read_under("IMM"), 6),
    "read-bus": (read_under("BUS"), 4),
    "read-ext": (read_under("EXT"), 4),
    "init-trg-fetch": (read_under("BUS", fetch=True), 3),
    "measure": (measure, 2),
    "opc": (lambda client: Message(client, ["*OPC?"], one_of([], ["1"])), 3),
    "remove-wait": (lambda client: Message(client, ["DATA:REM? 2,WAIT"], numbers(2)), 3),
    "hold": (hold, 3),
}


def simple(client):
    maker = client.rng.choices([m for m, _ in SIMPLE.values()], [w for _, w in SIMPLE.values()])[0]
    return maker(client)


# ---------------------------------------------------------------------------
# An SCPI client: a door (socket, VXI-11 link, USB host) and the actions of its mix.

class ScpiClient(threading.Thread):
    def __init__(self, run, slot, name):
        super().__init__(name=name, daemon=True)
        self.shared, self.slot, self.name = run, slot, name
        self.rng = random.Random(f"{SEED}/{name}")
        self.door = None
        self.last_tag = None

    def next_tag(self):
        self.last_tag = self.rng.choice([t for t in TAG_VALUES[self.slot::SCPI_SLOTS] if t != self.last_tag])
        return self.last_tag

    def run(self):
        try:
            self.door = self.connect()
            # Served at least once, however long its first drawn action lasts (a flood
            # of 30 s may outlast a short run).
            self.ask_simple()
            while not self.shared.over():
                action = self.rng.choices(list(self.actions), list(self.actions.values()))[0]
                action(self)
        except Failed:
            pass
        except Exception as error:  # noqa: BLE001 (any surprise is a failure of the run)
            try:
                self.shared.fail(self, f"{type(error).__name__}: {error}")
            except Failed:
                pass
        finally:
            if self.door is not None:
                self.close(self.door)

    def answer(self, message, since, earlier=None, bound=BOUND):
        """Reads the answer to `message`, sent at `since`; before it may come the answer
        of `earlier`, a message cut off by this client's own abort or clear."""
        while True:
            try:
                line = self.door.line(since + bound)
            except NoAnswer:
                self.shared.fail(self, f"no answer within {bound} s to {message.text!r}")
            if line is None:
                self.shared.fail(self, f"the service ended the connection before answering {message.text!r}")
            if earlier is not None and earlier.problem(line) is None:
                earlier = None
                continue
            seconds = time.monotonic() - since
            self.shared.answered(self, seconds, message.text)
            if seconds > bound:
                self.shared.fail(self, f"{message.text!r} answered after {seconds:.1f} s")
            problem = message.problem(line)
            if problem:
                self.shared.fail(self, problem)
            return time.monotonic()

    def ask(self, message, earlier=None, bound=BOUND):
        since = time.monotonic()
        self.door.send(message.text)
        return self.answer(message, since, earlier, bound)

    def ask_simple(self):
        self.ask(simple(self))

    def slow_backlog(self):
        """Slow settings sent back to back, then a query behind them: the others' messages
        take turns with them, none waits for the whole backlog. Only the client's own
        answer waits for all of it, each of its messages a turn."""
        count = self.rng.randint(5, 20)
        for _ in range(count):
            self.door.send("*RST")
        self.shared.note("slow settings in a backlog", count)
        self.ask(Message(self, ["*OPC?"], one_of([], ["1"])), bound=BOUND + count * SLOW)

    def copy_and_delete(self):
        name = self.shared.marker(self).replace("mcl", "mcc")
        user = self.shared.meter.root / "data" / "UserData"
        source, target = user / "mc_src", user / name
        self.ask(Message(self, [f'MMEM:COPY "INT:/mc_src","INT:/{name}"']))
        if tree(target) != tree(source):
            self.shared.fail(self, f"MMEM:COPY answered with {tree(target)} copied of {tree(source)}")
        self.ask(Message(self, [f'MMEM:DEL "INT:/{name}"']))
        if target.exists():
            self.shared.fail(self, f"MMEM:DEL answered with {target} still there")
        self.shared.note("trees copied and deleted")

    def init_then_fetch(self):
        """INIT in one message, FETC? in a later one: another client may arm between."""
        function, range_ = pick_function(self)
        count = self.rng.randint(1, 3)
        self.ask(Message(self, ["TRIG:SOUR IMM", f"SAMP:COUN {count}", "TRIG:COUN 1", f"CONF:{function} {range_}",
                                f"{function}:NPLC 0.4", "INIT"]))
        self.ask(Message(self, ["*CLS", "FETC?", "SYST:ERR?"], fetched(self, function, count)))

    def abort_own_wait(self):
        """A wait, then ABOR behind it: the wait ends unanswered (unless it ended first)."""
        waiting = long_wait(self)
        self.door.send(waiting.text)
        self.door.send("ABOR")
        self.shared.note("aborts")
        self.ask(Message(self, ["*OPC?"], one_of([], ["1"])), earlier=waiting)

    def leave_with_a_long_backlog(self, leave, kind):
        """A wait, a long backlog of its own settings queued behind it, and it leaves: what
        it left is served by the one worker of the clients that have left, not one of its own."""
        self.door.send(long_wait(self).text)
        for _ in range(LONG_BACKLOG):
            self.door.send(f"STAT:QUES:ENAB {self.next_tag()}")
        leave(self.shared.marker(self), [])
        self.shared.note(f"left with a long backlog by {kind}")
        self.door = self.connect()

    def leave_with_work(self, leave, kind):
        """Sends a few messages and a folder of its own, leaves with them queued, comes
        back as a new client; what it sent runs all the same, so the folder appears."""
        marker = self.shared.marker(self)
        sent = [simple(self) for _ in range(self.rng.randint(1, 3))]
        for message in sent:
            self.door.send(message.text)
        self.door.send(f'MMEM:MDIR "INT:/{marker}"')
        landed = leave(marker, sent)
        self.shared.note(f"left by {kind}")
        self.door = self.connect()
        folder = self.shared.meter.root / "data" / "UserData" / marker
        # Each list it left may still be running (one that waits, or, after a plain
        # close, all of them: the service answers until it finds no one to answer).
        if landed and not wait_for(folder.exists, (len(sent) + 1) * BOUND):
            self.shared.fail(self, f"left by {kind}: its MMEM:MDIR of {marker} never ran")


class SocketDoor:
    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", SCPI_PORT), timeout=BOUND)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""

    def send(self, *texts):
        self.sock.sendall("".join(text + "\n" for text in texts).encode())

    def line(self, deadline):
        """The next answer line, or None when the service has ended the connection."""
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise NoAnswer()
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                raise NoAnswer() from None
            if not chunk:
                if self.pending:
                    raise ConnectionError(f"connection ended after {self.pending!r}")
                return None
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class SocketClient(ScpiClient):
    """A client of the SCPI socket: raw, so that it can pipeline, reset and half-close."""

    def connect(self):
        return SocketDoor()

    def close(self, door):
        door.sock.close()

    def pipeline(self):
        """A few messages in one write: answered one by one, in the order sent."""
        messages = [simple(self) for _ in range(self.rng.randint(2, 4))]
        since = time.monotonic()
        self.door.send(*(message.text for message in messages))
        for message in messages:
            since = self.answer(message, since)
        self.shared.note("pipelined messages", len(messages))

    def leave_by_reset(self, marker, sent):
        # Only what the service has taken in is sure to run: half the time the client
        # waits until it has, half the time it resets at once.
        landed = self.rng.random() < 0.5 and self.shared.log.took(marker)
        self.door.reset()
        return landed

    def leave_by_close(self, marker, sent):
        self.door.sock.close()  # a plain close ends only its input: everything runs
        return True

    def send_until_held_up(self, text, seconds):
        """Sends `text` over and over without reading, until the service takes no more
        for a second, `seconds` have passed or the service has ended the connection."""
        data, deadline = text.encode() * 512, time.monotonic() + seconds
        self.door.sock.settimeout(1)
        try:
            while time.monotonic() < deadline:
                self.door.sock.send(data)
        except socket.timeout:
            return True
        except OSError:
            return False
        return True

    def reset_with_a_backlog(self):
        """A wait, a backlog of its own settings behind it that the service has not read, and
        a reset: what it left takes turns with the others' messages, none waits for all of it."""
        self.door.send(long_wait(self).text)
        self.send_until_held_up(f"STAT:QUES:ENAB {self.next_tag()}\n", 3)
        self.door.reset()
        self.shared.note("resets with a backlog")
        self.door = self.connect()

    def dropped_for_not_reading(self):
        """Pipelines queries and never reads: the service ends the connection once its
        replies have waited 10 s, and what the client left holds no one up."""
        dropped = not self.send_until_held_up("*ESE?\n", 30)
        if not dropped:
            # While the service still writes its answers into the kernel it reads
            # on, slowly under a sanitizer; past a while the client leaves anyway.
            self.door.sock.settimeout(BOUND)
            deadline = time.monotonic() + 4 * BOUND
            try:
                while self.door.sock.send(b"*ESE?\n" * 512) and time.monotonic() < deadline:
                    pass
            except socket.timeout:
                pass
            except OSError:
                dropped = True
        self.shared.note("dropped for not reading" if dropped else "left while pipelining unread")
        self.door.sock.close()
        self.door = self.connect()

    def leave_by_half_close(self, marker, sent):
        self.door.sock.shutdown(socket.SHUT_WR)
        since = time.monotonic()
        for message in sent:
            since = self.answer(message, since)
        try:
            if self.door.line(since + BOUND) is not None:
                self.shared.fail(self, "a half-closed connection got more than its answers")
        except NoAnswer:
            self.shared.fail(self, f"a half-closed connection still open {BOUND} s after its last answer")
        self.door.sock.close()
        return True

    actions = {
        ScpiClient.ask_simple: 60,
        ScpiClient.slow_backlog: 1,
        pipeline: 6,
        ScpiClient.copy_and_delete: 3,
        ScpiClient.abort_own_wait: 3,
        ScpiClient.init_then_fetch: 4,
        lambda self: self.leave_with_work(self.leave_by_reset, "reset"): 6,
        lambda self: self.leave_with_work(self.leave_by_close, "close"): 3,
        lambda self: self.leave_with_work(self.leave_by_half_close, "half-close"): 3,
        reset_with_a_backlog: 2,
        lambda self: self.leave_with_a_long_backlog(self.leave_by_reset, "reset"): 1,
        dropped_for_not_reading: 1,
    }


class VxiDoor:
    def __init__(self, run):
        self.shared = run
        with run.visa_lock:
            self.session = open_session(run.rm, VXI_RESOURCE, timeout=VXI_READ_TIMEOUT)

    def send(self, text):
        self.session.write(text)

    def line(self, deadline):
        while True:
            try:
                return self.session.read()
            except pyvisa.errors.VisaIOError as error:
                if error.error_code != pyvisa.constants.StatusCode.error_timeout:
                    raise
                if time.monotonic() > deadline:
                    raise NoAnswer() from None

    def close(self):
        with self.shared.visa_lock:
            self.session.close()  # destroys the link


class VxiClient(ScpiClient):
    """A VISA client over VXI-11 (PyVISA's pure-Python backend)."""

    def connect(self):
        return VxiDoor(self.shared)

    def close(self, door):
        door.close()

    def clear_own_wait(self):
        """A wait, then a device clear of its link: it ends unanswered."""
        waiting = long_wait(self)
        self.door.send(waiting.text)
        self.door.session.clear()
        self.shared.note("device clears")
        self.ask(Message(self, ["*OPC?"], one_of([], ["1"])), earlier=waiting)

    def leave_by_destroying_the_link(self, marker, sent):
        self.door.close()  # each write was taken before it returned
        return True

    actions = {
        ScpiClient.ask_simple: 60,
        ScpiClient.slow_backlog: 1,
        ScpiClient.copy_and_delete: 3,
        ScpiClient.abort_own_wait: 3,
        clear_own_wait: 3,
        ScpiClient.init_then_fetch: 4,
        lambda self: self.leave_with_work(self.leave_by_destroying_the_link, "destroyed link"): 6,
        lambda self: self.leave_with_a_long_backlog(self.leave_by_destroying_the_link, "destroyed link"): 1,
    }


class UsbDoor:
    def __init__(self, run, rng):
        self.host = FakeUsbHost(run.meter.root / "dev" / "usbtmc_dev")
        self.host.tag = rng.randrange(255)  # a reply left by an earlier host cannot pass for its answer
        self.asked = collections.deque(maxlen=8)  # tags of its requests not answered yet

    def send(self, text):
        self.host.write(text + "\n")

    def line(self, deadline):
        """The reply, asked for again as a host does when a request of its went unanswered:
        the device answers a request within 5 s or drops it."""
        bulk, reply = self.host.bulk, b""
        while True:
            tag = self.host.next_tag()
            self.asked.append(tag)
            bulk.sendall(frame(REQUEST_DEV_DEP_MSG_IN, tag, 1 << 20, 0))
            bulk.settimeout(max(0.01, min(USB_REQUEST_WAIT, deadline - time.monotonic())))
            try:
                header = read_exact(bulk, 12)
            except socket.timeout:
                if time.monotonic() > deadline:
                    raise NoAnswer() from None
                continue
            msg_id, got_tag, inverse, _, size, attr = struct.unpack("<BBBBIB3x", header)
            # A request given up by the host may still be answered, by a device slower
            # than its 5 s on a loaded machine: any request of this host's may be.
            if (msg_id, inverse) != (2, ~got_tag & 0xFF) or got_tag not in self.asked:
                raise AssertionError(f"a reply header {header!r} to requests of tags {list(self.asked)}")
            self.asked.remove(got_tag)
            bulk.settimeout(BOUND)
            reply += read_exact(bulk, size + (-size % 4))[:size]
            if attr & 1:
                return reply.decode().rstrip("\n")


class UsbClient(ScpiClient):
    """The host of the USBTMC stand-in: one at a time, each new one a new client."""

    def connect(self):
        return UsbDoor(self.shared, self.rng)

    def close(self, door):
        door.host.close()

    def clear_own_wait(self):
        """A wait, then INITIATE_CLEAR, and CHECK_CLEAR_STATUS until it is done."""
        waiting = long_wait(self)
        self.door.send(waiting.text)
        initiated = self.door.host.control(INITIATE_CLEAR)
        if initiated != b"\x01" or not clear_done(self.door.host):
            self.shared.fail(self, f"a USBTMC clear answered {initiated} and did not come to success")
        self.shared.note("USBTMC clears")
        self.ask(Message(self, ["*OPC?"], one_of([], ["1"])), earlier=waiting)

    def leave_for_a_new_host(self, marker, sent):
        # What the host sent and the device has not read goes with it: wait until it has.
        if not wait_for(self.door.host.all_taken_in, BOUND):
            self.shared.fail(self, f"the device did not take in what its host sent within {BOUND} s")
        self.door.host.close()
        return True

    actions = {
        ScpiClient.ask_simple: 60,
        ScpiClient.slow_backlog: 1,
        ScpiClient.copy_and_delete: 3,
        ScpiClient.abort_own_wait: 3,
        clear_own_wait: 3,
        lambda self: self.leave_with_work(self.leave_for_a_new_host, "new USB host"): 6,
        lambda self: self.leave_with_a_long_backlog(self.leave_for_a_new_host, "new USB host"): 1,
    }


# ---------------------------------------------------------------------------
# The UI link's clients: requests on 9999, notifications on 9998. They change nothing
# the SCPI clients check; they must be served all along and may leave as they like.

class UiClient(threading.Thread):
    def __init__(self, run, name):
        super().__init__(name=name, daemon=True)
        self.shared, self.name = run, name
        self.rng = random.Random(f"{SEED}/{name}")

    def run(self):
        try:
            while not self.shared.over():
                self.visit()
        except Failed:
            pass
        except Exception as error:  # noqa: BLE001
            try:
                self.shared.fail(self, f"{type(error).__name__}: {error}")
            except Failed:
                pass

    def leave(self, sock):
        if self.rng.random() < 0.5:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.shared.note("UI clients left by reset")
        else:
            self.shared.note("UI clients left by close")
        sock.close()


class UiRequester(UiClient):
    """Asks for the identity, a few times per connection."""

    def visit(self):
        pb = self.shared.pb
        with socket.create_connection(("127.0.0.1", REQUEST_PORT), timeout=BOUND) as sock:
            for _ in range(self.rng.randint(1, 20)):
                if self.shared.stop.wait(0.02):  # a pace the UI app keeps, not a flood
                    break
                since = time.monotonic()
                sock.sendall(pb.DataPack(code=PRODUCT_INFO_GET).SerializeToString())
                try:
                    reply = read_pack(pb, sock)
                except socket.timeout:
                    self.shared.fail(self, f"a UI request not answered within {BOUND} s")
                self.shared.answered(self, time.monotonic() - since, "UI identity request")
                info = pb.ProtoProductInfo.FromString(reply.data[PRODUCT_INFO_GET & 0xFFFF].rawVal)
                named = ",".join(["Vorna Technologies", info.mModel, info.mSerialNum, info.mSwVer])
                if (reply.code, reply.stat, named) != (PRODUCT_INFO_GET, 0, self.shared.identity):
                    self.shared.fail(self, f"the UI link answered {reply.code:#x}, {reply.stat}, {named!r}")
            self.leave(sock)


class UiListener(UiClient):
    """A notification client: attached once greeted, reads a while, leaves."""

    def visit(self):
        with socket.create_connection(("127.0.0.1", NOTIFY_PORT), timeout=BOUND) as sock:
            read_pack(self.shared.pb, sock)  # the settings pushed to a new client
            stay = time.monotonic() + self.rng.uniform(0.2, 3)
            sock.settimeout(0.2)
            while time.monotonic() < stay and not self.shared.over():
                try:
                    if not sock.recv(65536):
                        self.shared.fail(self, "the service dropped a notification client that reads")
                except socket.timeout:
                    pass
            self.leave(sock)


# ---------------------------------------------------------------------------
# The service, and what is looked at before and after the clients.

# Threads and descriptors the service may keep beyond its count before the run: a
# client's worker or connection ends a moment after its client.
THREAD_SLACK, DESCRIPTOR_SLACK = 2, 4


@pytest.fixture(scope="module")
def meter(portmapper, service_binary, build_dir):  # noqa: F811
    # Not among pytest's temporaries: pytest removes old ones, and other runs share
    # them. A run that fails keeps it, with the service's log and output in it.
    root = pathlib.Path(tempfile.mkdtemp(prefix="dmm-many-clients-"))
    subprocess.run([str(build_dir / "dmm-sim-calibration"), str(root)], check=True, capture_output=True)
    (root / "sim").mkdir()
    (root / "sim" / "input.conf").write_text(
        f"dc_volts = {INPUTS['VOLT:DC']}\nohms = {INPUTS['RES']}\ndc_amps = {INPUTS['CURR:DC']}\n")
    for name, text in SOURCE_TREE.items():
        path = root / "data" / "UserData" / "mc_src" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    service = Service(service_binary, root, {"DMM_USBTMC_STANDIN": "1"})
    service.passed = False
    yield from serve(service, PORTS + (VXI_PORT,))
    if service.passed:
        shutil.rmtree(root, ignore_errors=True)


def threads_and_descriptors(meter):
    pid = meter.proc.pid
    return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd"))


def scpi_workers(meter):
    """The threads running or waiting to run a client's SCPI lists."""
    count = 0
    for task in os.listdir(f"/proc/{meter.proc.pid}/task"):
        try:
            count += pathlib.Path(f"/proc/{meter.proc.pid}/task/{task}/comm").read_text().strip() == "scpi client"
        except OSError:
            pass  # ended meanwhile
    return count


def watch_workers(meter, stop, most):
    """Keeps the most SCPI workers seen at once until `stop` is set."""
    while not stop.wait(0.2):
        most[:] = [max(most + [scpi_workers(meter)])]


def settled_counts(meter):
    """Threads and descriptors once two looks half a second apart agree."""
    looks = [None]

    def same():
        looks.append(threads_and_descriptors(meter))
        return looks[-1] == looks[-2]

    wait_for(same, 10 * SLOW, 0.5)
    return looks[-1]


def identities(meter, rm, pb):
    """*IDN? on every door, each asked by a client of its own."""
    door = SocketDoor()
    door.send("*IDN?")
    answers = {"socket": door.line(time.monotonic() + BOUND)}
    door.sock.close()
    vxi = open_session(rm, VXI_RESOURCE, timeout=BOUND)
    answers["vxi11"] = vxi.query("*IDN?")
    vxi.close()
    host = FakeUsbHost(meter.root / "dev" / "usbtmc_dev")
    host.tag = 200
    answers["usbtmc"] = host.query("*IDN?\n").rstrip("\n")
    host.close()
    answers["ui"] = identity(pb)
    return answers


def configure_answers():
    """What CONF? answers after each CONFigure the mix sends, asked of a service at rest."""
    door = SocketDoor()
    door.send("*RST;*CLS;*OPC?")
    assert door.line(time.monotonic() + BOUND) == "1"
    answers = {}
    for function, ranges in RANGES.items():
        for range_ in ranges:
            door.send(f"CONF:{function} {range_};:CONF?")
            answers[function, range_] = door.line(time.monotonic() + BOUND)
    door.sock.close()
    return answers


def start_clients(run):
    scpi = [SocketClient(run, n, f"socket-{n}") for n in range(SOCKET_CLIENTS)]
    scpi += [VxiClient(run, SOCKET_CLIENTS + n, f"vxi11-{n}") for n in range(VXI_CLIENTS)]
    scpi.append(UsbClient(run, SCPI_SLOTS - 1, "usbtmc"))
    clients = scpi + [UiRequester(run, "ui-requests"), UiListener(run, "ui-notifications")]
    for client in clients:
        client.start()
    return clients


def summary(run, clients):
    counts = dict(sorted(run.counts.items()))
    seconds, text = run.slowest
    return (f"\nmany clients (seed {SEED}): {len(clients)} clients for {SECONDS:.0f} s, {counts.pop('messages', 0)} "
            f"messages answered, {counts}; slowest answer {seconds:.2f} s, to {text[:80]!r}")


TIMEOUT = SECONDS + 10 * BOUND + 120


@pytest.mark.timeout(TIMEOUT)
def test_many_clients_on_every_door(meter, rm, proto_pb2, capsys):
    started = time.monotonic()
    expected = identity(proto_pb2)
    conf = configure_answers()
    assert set(identities(meter, rm, proto_pb2).values()) == {expected}
    before = settled_counts(meter)
    run = Run(meter, rm, proto_pb2, conf)
    run.identity = expected
    ticking = threading.Event()
    ticker = threading.Thread(target=edges, args=(meter, ticking), daemon=True)
    ticker.start()
    most_workers = []
    watcher = threading.Thread(target=watch_workers, args=(meter, ticking, most_workers), daemon=True)
    watcher.start()
    clients = start_clients(run)
    try:
        for client in clients:
            client.join(max(0.0, run.deadline - time.monotonic()) + 8 * BOUND)
            if client.is_alive():
                run.failures.append(f"{client.name}: still busy {8 * BOUND} s after the end of the run")
    finally:
        run.stop.set()
        ticking.set()
        ticker.join()
        watcher.join()
    # A worker per connected client, one per client that has just left while the list it
    # was running ends (the one before a client's new connection, link or host), and one
    # for all those that have left, however many left with however long backlogs.
    if max(most_workers, default=0) > 2 * SCPI_SLOTS + 1 + THREAD_SLACK:
        run.failures.append(f"{max(most_workers)} SCPI workers at once for {SCPI_SLOTS} clients")
    with capsys.disabled():
        print(summary(run, clients))
    seed = (f"seed {SEED} (DMM_MANY_CLIENTS_SEED={SEED} draws the same mixes); the service's root is kept in "
            f"{meter.root} (its log in data/logs, its output in service.out)")
    assert not run.failures, f"{seed}: " + "\n".join(run.failures[:8])
    assert all(run.served[client.name] for client in clients if not isinstance(client, UiListener)), run.served
    # What departed clients left still runs, a list a turn, on workers named after the
    # clients they serve; each worker ends with its client's last list.
    workers, since = [], time.monotonic()
    drained = wait_for(lambda: workers.append(scpi_workers(meter)) or workers[-1] == 0,
                       max(10 * SLOW, started + TIMEOUT - 30 - time.monotonic()), 0.5)
    with capsys.disabled():
        print(f"what departed clients left ran {time.monotonic() - since:.1f} s after the others were done")
    assert drained, f"{seed}: {workers[-1]} clients' lists still running or queued"
    looks = []
    back = wait_for(lambda: looks.append(threads_and_descriptors(meter)) or (
        looks[-1][0] <= before[0] + THREAD_SLACK and looks[-1][1] <= before[1] + DESCRIPTOR_SLACK), 10 * SLOW, 0.2)
    assert back, f"{seed}: (threads, descriptors) {before} before the clients, {looks[-1]} after they left"
    assert identities(meter, rm, proto_pb2) == dict.fromkeys(("socket", "vxi11", "usbtmc", "ui"), expected), seed
    meter.passed = True



# Clients that leave while a message of theirs waits, on every door at once: the socket,
# VXI-11 links and a USB host.
LEAVING_SOCKETS, LEAVING_LINKS = 30, 30
# *RSTs timed before the message that holds the turn while they leave, which holds it
# for about BOUND: as long as the departures are given, however slow the machine.
TIMED_RESETS = 10


def resets_lasting(seconds):
    door = SocketDoor()
    start = time.monotonic()
    door.send(";".join(["*RST"] * TIMED_RESETS + ["*OPC?"]))
    assert door.line(start + BOUND) == "1"
    each = (time.monotonic() - start) / TIMED_RESETS
    door.sock.close()
    return max(TIMED_RESETS, math.ceil(seconds / each))


def has_answer(door):
    return bool(select.select([door.sock], [], [], 0)[0])


@pytest.mark.timeout(60 + 20 * BOUND)
def test_clients_that_leave_while_waiting_keep_no_worker_each(meter, rm):
    """Each message makes a folder as it begins, then waits, a setting and a folder after its
    wait; once all have begun, another client's message holds the turn and they all leave.
    While it still holds the turn, the workers of those that left have ended: what they
    left waits on the one worker of the clients that have left, and then runs."""
    user = meter.root / "data" / "UserData"
    markers = [f"lw_{n}" for n in range(LEAVING_SOCKETS + LEAVING_LINKS + 1)]

    def waiting(marker):
        return (f'MMEM:MDIR "INT:/{marker}_begun";:DATA:REM? 100000,WAIT;:SAMP:COUN 1;'
                f':MMEM:MDIR "INT:/{marker}_done"')

    def all_made(suffix):
        return wait_for(lambda: all((user / f"{m}_{suffix}").exists() for m in markers), BOUND, 0.05)

    try:
        sockets = [SocketDoor() for _ in range(LEAVING_SOCKETS)]
        # Its waits last as long as the I/O time-out of the write that sent it.
        links = [open_session(rm, VXI_RESOURCE, timeout=10 * BOUND) for _ in range(LEAVING_LINKS)]
        host = FakeUsbHost(meter.root / "dev" / "usbtmc_dev")
        for door, marker in zip(sockets, markers):
            door.send(waiting(marker))
        for link, marker in zip(links, markers[LEAVING_SOCKETS:]):
            link.write(waiting(marker))
        host.write(waiting(markers[-1]) + "\n")
        assert all_made("begun"), "not every waiting message began"
        hold_resets = resets_lasting(BOUND)
        holder = SocketDoor()
        holder.send(";".join(['MMEM:MDIR "INT:/lw_holder"'] + ["*RST"] * hold_resets + ["*OPC?"]))
        assert wait_for((user / "lw_holder").exists, BOUND, 0.02), "the holder's message never began"
        for door in sockets:
            door.reset()
        for link in links:
            link.close()  # destroys the link
        host.close()
        host = FakeUsbHost(meter.root / "dev" / "usbtmc_dev")  # a new host: the old one has left
        # The holder's worker and the one of those that have left.
        most = 2 + THREAD_SLACK
        looks = []  # (workers, whether the holder had answered after they were counted)

        def look():
            looks.append((scpi_workers(meter), has_answer(holder)))  # counted first
            return looks[-1][1] or looks[-1][0] <= most

        assert wait_for(look, BOUND, 0.05) and not looks[-1][1], (
            f"{looks[-1][0]} SCPI workers for {len(markers)} clients that left while waiting and one "
            f"that holds the turn")
        assert holder.line(time.monotonic() + 3 * BOUND) == "1"
        assert all_made("done"), "what a client that left while waiting sent after its wait never ran"
        assert wait_for(lambda: scpi_workers(meter) == 0, BOUND, 0.1), f"{scpi_workers(meter)} SCPI workers"
        holder.sock.close()
        host.close()
    except BaseException:
        meter.passed = False  # the root is kept, with the service's log
        raise
