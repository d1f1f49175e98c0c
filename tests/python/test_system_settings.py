"""System settings over SCPI: identity, clock, brightness, power-on recall and screen copy
(with the capture stand-in that scripts/run installs, so a copy is a real image file)."""

import shutil
import socket
import struct
import time
import zlib

import pytest

from conftest import IO_TIMEOUT, NO_ERROR, REPO, SCPI_PORT, Service, read_exact, serve, wait_for
from conftest import SLOW

TOO_MUCH_DATA = '-223,"Too much data"'

pytest.importorskip("pyvisa")

TOOL = REPO / "tools" / "screencap_standin" / "screencap_vorna"
WIDTH, HEIGHT = 800, 480


@pytest.fixture(scope="module")
def service(service_binary, tmp_path_factory):
    root = tmp_path_factory.mktemp("system_root")
    tools = root / "vorna" / "tools"
    tools.mkdir(parents=True)
    shutil.copy(TOOL, tools / "screencap_vorna")
    yield from serve(Service(service_binary, root))


def test_idn_reflects_the_serial_number_set(inst):
    inst.write('SYST:SER "MV4-2025_77"')
    assert inst.query("SYST:SER?") == "MV4-2025_77"
    assert inst.query("*IDN?").split(",")[2] == "MV4-2025_77"
    inst.write('SYST:SER "MV4$(reboot)"')
    assert inst.query("SYST:ERR?").startswith("-224,")
    assert inst.query("*IDN?").split(",")[2] == "MV4-2025_77"


def test_date_set_is_answered_while_the_host_clock_stays(inst):
    host_before = time.time()
    inst.write("SYST:DATE 2025,1,9")
    assert inst.query("SYST:DATE?") == "+2025,+01,+09"
    assert abs(time.time() - host_before) < 30
    assert time.localtime().tm_year != 2025 or time.localtime().tm_mon != 1
    inst.write("SYST:DATE 2025,13,9")
    assert inst.query("SYST:ERR?").startswith("-222,")
    assert inst.query("SYST:DATE?") == "+2025,+01,+09"


def test_brightness_out_of_range_is_refused(inst):
    inst.write("SYST:DISP:BRIG 40")
    inst.write("SYST:DISP:BRIG 101")
    assert inst.query("SYST:ERR?").startswith("-222,")
    assert inst.query("SYST:ERR?").startswith("0,")
    assert wait_for(lambda: inst.query("SYST:DISP:BRIG?") == "40", 10)


@pytest.mark.parametrize("command, recall, error", [
    ("SYST:CONF:POW LAST", "1", "0,"),
    ("SYST:CONF:POW DEF", "0", "0,"),
    ("MMEM:STAT:REC:AUTO ON", "1", "0,"),
    ("SYST:CONF:POW 7", "1", "-220,"),   # neither state: refused, unchanged
])
def test_power_on_recall_follows_what_was_accepted(inst, command, recall, error):
    inst.write(command)
    assert inst.query("SYST:ERR?").startswith(error)
    assert inst.query("MMEM:STAT:REC:AUTO?") == recall


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, size = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        assert zlib.crc32(kind + body) == struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        if kind == b"IHDR":
            size = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    assert len(zlib.decompress(idat)) == size[1] * (1 + size[0] * 3)
    return size


def bmp_size(data):
    magic, file_size, _, _, offset = struct.unpack("<2sIHHI", data[:14])
    assert magic == b"BM" and file_size == len(data)
    width, height = struct.unpack("<ii", data[18:26])
    assert offset + ((width * 3 + 3) & ~3) * height == len(data)
    return width, height


@pytest.mark.parametrize("form, check", [("PNG", png_size), ("BMP", bmp_size)])
def test_screen_copy_is_a_whole_image_of_the_format_set(inst, form, check):
    inst.write(f"HCOP:SDUM:DATA:FORM {form}")
    assert inst.query("HCOP:SDUM:DATA:FORM?") == form
    inst.write("HCOP:SDUM:DATA?")
    head = inst.read_bytes(11)
    assert head[:2] == b"#9"
    data = inst.read_bytes(int(head[2:]))
    assert inst.read_bytes(1) == b"\n"
    assert check(data) == (WIDTH, HEIGHT)
    assert inst.query("SYST:ERR?").startswith("0,")


RESPONSE_BOUND = 16 << 20


def read_block(sock):
    """One "#9" block of the response and the byte after it (";" or the line feed)."""
    head = read_exact(sock, 11)
    assert head[:2] == b"#9", head
    size = int(head[2:])
    read_exact(sock, size)
    return size, read_exact(sock, 1)


def test_copies_past_the_response_bound_end_their_message_and_hold_no_other_client(service, inst):
    # 60 copies of 1.1 MB: far above what one response may hold.
    inst.write("HCOP:SDUM:DATA:FORM BMP")
    assert inst.query("*OPC?") == "1"
    # The engine logs the head of each block as it joins it to the response.
    copies = lambda: sum("HEAD=#9" in line for line in service.log_lines())
    before = copies()
    with socket.create_connection(("127.0.0.1", SCPI_PORT), timeout=IO_TIMEOUT) as sock:
        sock.sendall(b":HCOP:SDUM:DATA?;" * 59 + b":HCOP:SDUM:DATA?\n")
        # Copies are being taken: another client is answered meanwhile.
        assert wait_for(lambda: copies() > before, IO_TIMEOUT, 0.01)
        started = time.monotonic()
        assert inst.query("*IDN?").count(",") == 3
        assert time.monotonic() - started <= SLOW
        size, after = read_block(sock)
        blocks = 1
        while after == b";":
            _, after = read_block(sock)
            blocks += 1
        assert after == b"\n"
        assert RESPONSE_BOUND - (size + 12) < blocks * (size + 12) <= RESPONSE_BOUND
        sock.sendall(b"SYST:ERR?;ERR?\n")
        assert read_exact(sock, len(TOO_MUCH_DATA) + len(NO_ERROR) + 2) == \
            f"{TOO_MUCH_DATA};{NO_ERROR}\n".encode()
