"""System settings over SCPI: identity, clock, brightness, power-on recall and screen copy
(with the capture stand-in that scripts/run installs, so a copy is a real image file)."""

import shutil
import struct
import time
import zlib

import pytest

from conftest import REPO, Service, serve, wait_for

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
