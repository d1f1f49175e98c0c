"""Every query of the three command sets (from the data files the build turns into the
parser's tables) answers exactly one line, or nothing and queues its error."""

import importlib.util
import re

import pytest

from conftest import REPO, open_session, ui_request

pytest.importorskip("pyvisa")

TREES = REPO / "drv" / "scpi" / "parser" / "trees"
SETS = ("vorna", "corvane", "pello")
CMD_SET = 0x10001C00
ERROR_LINE = re.compile(r'^[+-]?\d+,".*"$')
# What a query needs to run at all; the rest are sent bare.
PARAMETERS = {
    "DATA:REMove?": " 1,WAIT",
    "MMEMory:STATe:VALid?": ' "x.sta"',
    "SYSTem:COMMunicate:LAN:VISA?": " SOCK",
}


def load_trees():
    location = importlib.util.spec_from_file_location("gen_trees", TREES / "gen_trees.py")
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def queries():
    trees = load_trees()
    for number, name in enumerate(SETS):
        for cmd in trees.load(str(TREES / f"{name}.tree")).commands:
            if cmd.reachable and cmd.path.endswith("?"):
                header = re.sub(r"\[[^]]*\]", "", cmd.path)
                yield pytest.param(number, header + PARAMETERS.get(header, ""), id=f"{name}:{header}")


@pytest.fixture(scope="module")
def session(service, rm):
    inst = open_session(rm, timeout=15)
    inst.encoding = "latin-1"  # identity texts may come from files in any encoding
    inst.selected = 0
    yield inst
    inst.close()


@pytest.mark.parametrize("cmd_set, query", list(queries()))
def test_a_query_answers_one_line_or_queues_its_error(proto_pb2, session, cmd_set, query):
    if session.selected != cmd_set:
        assert ui_request(proto_pb2, CMD_SET, k1C00=proto_pb2.Value(s32Val=cmd_set)).stat == 0
        session.selected = cmd_set
    session.write("*CLS")
    for text in (query, "SYST:ERR?", "*OPC?"):
        session.write(text)
    first = session.read()
    if ERROR_LINE.match(first) and not first.startswith("0,"):
        assert session.read() == "1", f"{query} failed with {first} and still answered"
        return
    second = session.read()
    assert second != "1", f"{query} answered nothing and queued no error"
    assert ERROR_LINE.match(second), f"{query} answered more than one line: {first!r}, {second!r}"
    assert session.read() == "1"
