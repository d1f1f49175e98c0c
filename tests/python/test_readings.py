"""Readings end to end on a calibrated simulated front end, over PyVISA on port 5025:
measurement, math, sensors and calibration."""

import math
import subprocess

import pytest

from conftest import NO_ERROR, Service, ready_session, request, serve, set_inputs, ui_request, wait_for

pytest.importorskip("pyvisa")


@pytest.fixture(scope="module")
def meter(service_binary, build_dir, tmp_path_factory):
    """A service whose data root holds the simulator's calibration set."""
    root = tmp_path_factory.mktemp("meter")
    subprocess.run([str(build_dir / "dmm-sim-calibration"), str(root)], check=True, capture_output=True)
    (root / "sim").mkdir()
    yield from serve(Service(service_binary, root), stop_within=2)


@pytest.fixture
def dmm(meter, rm):
    session = ready_session(rm, setup="*CLS")
    session.write("TRIG:SOUR IMM")
    yield session
    session.close()


def inputs(meter, **values):
    set_inputs(meter, "".join(f"{k} = {v}\n" for k, v in values.items()))


def values(text):
    return [float(v) for v in text.split(",")]


@pytest.mark.parametrize("query,given,expected,count", [
    ("MEAS:VOLT:DC?", {"dc_volts": 1.234}, 1.234, 1e-4),        # auto range: 10 V row
    ("MEAS:VOLT:DC? 1", {"dc_volts": 0.5}, 0.5, 1e-5),          # fixed 1 V row
    ("MEAS:VOLT:DC? 1", {"dc_volts": 1.5}, 9.9e37, 0),          # above 1.2 x full scale
    ("MEAS:VOLT:DC? 1", {"dc_volts": -1.5}, -9.9e37, 0),        # the negative overload
    ("MEAS:CURR:DC?", {"dc_amps": 0.012}, 0.012, 1e-6),
])
def test_measure_answers_the_input(meter, dmm, query, given, expected, count):
    inputs(meter, **given)
    answer = dmm.query(query)
    assert abs(float(answer) - expected) <= count, answer
    assert dmm.query("SYST:ERR?") == NO_ERROR
    # A voltage or current overload is questionable data (bit 0 or 1) while it lasts.
    assert (int(dmm.query("STAT:QUES:COND?")) & 0x3 != 0) == (abs(expected) == 9.9e37)


def test_two_wire_minus_four_wire_is_twice_the_lead(meter, dmm):
    inputs(meter, ohms=1000, lead_ohms=0.5)
    two = float(dmm.query("MEAS:RES?"))
    four = float(dmm.query("MEAS:FRES?"))
    assert abs((two - four) - 1.0) <= 0.02, (two, four)


def near(target, tolerance):
    return lambda answer: abs(float(answer) - target) <= tolerance


def all_near(count, target, tolerance):
    """A check of readings near target: count of them, or any number when count is None."""
    return lambda answer: (count in (None, len(values(answer))) and
                           all(abs(v - target) <= tolerance for v in values(answer)))


def block_of(check):
    """A check of a definite-length block ("#", digits, length, text) and of its text."""
    def passes(block):
        digits = int(block[1])
        text = block[2 + digits:]
        return block[0] == "#" and len(text) == int(block[2:2 + digits]) and check(text)
    return passes


def run(meter, dmm, steps):
    """Sends each step: new inputs (a dict), a command, or (query, expected[, seconds]) where a
    float is a reading within 1e-3 of it, a text the exact answer (or, ending in ",", the start
    of an error) and a function a check of the answer; with seconds, the query is repeated until
    the answer passes or they are up (the loop settles and auto-ranges first)."""
    for step in steps:
        if isinstance(step, dict):
            inputs(meter, **step)
        elif isinstance(step, str):
            dmm.write(step)
        else:
            query, expected, *seconds = step
            if isinstance(expected, float):
                expected = near(expected, 1e-3 * max(1.0, abs(expected)))
            elif isinstance(expected, str):
                text = expected
                expected = (lambda a: a.startswith(text)) if text.endswith(",") else (lambda a: a == text)
            answers = []

            def passes():
                answers.append(dmm.query(query))
                return expected(answers[-1])
            assert (wait_for(passes, *seconds) if seconds else passes()), (query, answers[-1])


MV = 0.0123


@pytest.mark.parametrize("steps", [
    [{"dc_volts": 2.5}, ("MEAS:VOLT:DC?", 2.5), "SAMP:COUN 5", ("READ?", all_near(5, 2.5, 1e-4)),
     ("R?", block_of(all_near(None, 2.5, 1e-4))), "SAMP:COUN 1"],
    # Frequency's auto range moves frequency's range, not AC volts'; it
    # answers the range in use and keeps it when auto range goes off.
    [{"ac_volts": 0.05, "frequency": 1000},
     'FUNC "VOLT:AC"', "VOLT:AC:RANG 750", 'FUNC "FREQ"', "FREQ:VOLT:RANG:AUTO ON", ("READ?", 1000.0),
     ("VOLT:AC:RANG?", "7.50000000E+02"), ("FREQ:VOLT:RANG?", "1.00000000E-01"), "FREQ:VOLT:RANG:AUTO OFF",
     ("FREQ:VOLT:RANG?", "1.00000000E-01"), ("FREQ:VOLT:RANG:AUTO?", "0"), 'FUNC "VOLT:AC"',
     "VOLT:AC:RANG:AUTO ON"],
    # A refused parameter: the whole command changes nothing.
    [{"dc_volts": 0.5}, "CONF:VOLT:DC 1", "CONF:TEMP TC,Q", ("SYST:ERR?", "-220,"),
     ("CONF?", "VOLT 1.00000000E+00,1.00000000E-05")],
    # MEASure? from diode and continuity takes its range as CONFigure does.
    [{"dc_volts": 5}, "CONF:VOLT:DC 0.1", "CONF:DIOD", ("MEAS:VOLT:DC? 10", 5.0),
     ("CONF?", "VOLT 1.00000000E+01,1.00000000E-04")],
    [{"ohms": 50000}, "CONF:RES 1e5", "CONF:CONT", ("MEAS:RES?", 50000.0), ("RES:RANG:AUTO?", "1")],
    # A unit change shows on the next reading (K type at 4.096 mV is 100 degC).
    [{"dc_volts": 0.004096, "cold_junction_celsius": 0},
     "CONF:TEMP TC,K", ("READ?", 100.0), "UNIT:TEMP F", ("READ?", 212.0), "UNIT:TEMP C", ("READ?", 100.0)],
    # The limit test fails a reading above the upper limit.
    [{"dc_volts": 2.0}, ("MEAS:VOLT:DC? 10", 2.0), "*CLS;STAT:QUES:ENAB 4096",
     "CALC:LIM:UPP 1;:CALC:LIM:LOW -1;:CALC:LIM ON", ("STAT:QUES:COND?", lambda a: int(a) & 0x1000, 10),
     ("*STB?", lambda a: int(a) & 0x08), ("CALC:LIM:UPP?", near(1, 0)), ("SYST:ERR?", NO_ERROR),
     "CALC:LIM OFF;:STAT:QUES:ENAB 0"],
    # The millivolt range answers in volts, in readings, statistics and the limit it sets (1.1 x 100 mV).
    [{"dc_volts": MV}, "CONF:VOLT:DC 0.1;:CALC:AVER:STAT ON", ("READ?", near(MV, 1e-6), 10),
     ("DATA:LAST?", lambda a: near(MV, 1e-6)(a.split()[0]) and a.split()[1] == "VDC"),
     ("CALC:AVER:MAX?", near(MV, 1e-6)), ("CALC:AVER:AVER?", near(MV, 1e-6)), ("DATA:REM? 1", near(MV, 1e-6)),
     ("CALC:LIM:UPP?", near(0.11, 1e-9)), ("SYST:ERR?", NO_ERROR), "CALC:AVER:STAT OFF"],
    # An offset holds across an auto-range change: 100 mV up two ranges to 10 V.
    [{"dc_volts": 0.05}, "CONF:VOLT:DC", ("READ?", near(0.05, 1e-5), 10), "VOLT:DC:NULL ON",
     ("VOLT:DC:NULL:VAL?", near(0.05, 1e-5)), {"dc_volts": 5}, ("READ?", near(4.95, 1e-3), 10),
     ("VOLT:DC:NULL:VAL?", near(0.05, 1e-5)), ("SYST:ERR?", NO_ERROR), "VOLT:DC:NULL OFF"],
    # An offset taken from a reading is the input's: right after CONF from the
    # next reading, with an offset in force from the reading before the null.
    [{"dc_volts": 1.234}, "CONF:VOLT:DC 10", "VOLT:DC:NULL:VAL:AUTO ON", ("VOLT:DC:NULL:VAL?", near(1.234, 1e-4), 10),
     "VOLT:DC:NULL ON", ("READ?", near(0, 1e-4)), "VOLT:DC:NULL:VAL:AUTO ON", ("VOLT:DC:NULL:VAL?", near(1.234, 1e-4)),
     "VOLT:DC:NULL OFF"],
    # Crossing limits are refused, and both stay (1.1 x the 10 V range).
    [{"dc_volts": 1}, "CONF:VOLT:DC 10", "CALC:LIM:UPP 2;:CALC:LIM:LOW 3", ("SYST:ERR?", "-221,"),
     ("CALC:LIM:LOW?", near(-11, 1e-6)), ("CALC:LIM:UPP?", near(2, 1e-6))],
    # A limit crossing the other as sent is refused, also where the range the
    # auto range stepped down to would clamp it below the other.
    [{"dc_volts": 50}, "CONF:VOLT:DC", ("VOLT:DC:RANG?", "1.00000000E+02", 10),
     "CALC:LIM:UPP 100;:CALC:LIM:LOW -50", {"dc_volts": 0.5}, ("VOLT:DC:RANG?", "1.00000000E+00", 10),
     "CALC:LIM:LOW 150", ("SYST:ERR?", "-221,"), ("CALC:LIM:LOW?", near(-50, 1e-6)),
     ("CALC:LIM:UPP?", near(100, 1e-6))],
    # CONFigure of the continuity measured keeps the reading memory, as of any function:
    # counted in the same message, before the loop could refill an emptied one.
    [{"ohms": 5}, "CONF:CONT", ("DATA:POIN?", lambda a: int(a) >= 100, 30),
     ("CONF:CONT;:DATA:POIN?", lambda a: int(a) >= 100)],
    # The 1 mF range reads a twentieth of itself and less, within its count of 1 uF.
    [{"farads": 50e-6}, "CONF:CAP 0.001", ("READ?", near(50e-6, 1e-6), 10), {"farads": 2.2e-6},
     ("READ?", near(2.2e-6, 1e-6), 10)],
], ids=["sample-count", "auto-range-frequency", "refused", "meas-from-diode", "meas-from-continuity", "unit",
        "upper-limit", "millivolts", "offset-across-ranges", "offset-of-the-input", "crossing-limits",
        "limit-after-step-down", "conf-continuity-keeps-memory", "small-capacitance-on-1-mF"])
def test_sequences(meter, dmm, steps):
    run(meter, dmm, steps + [("SYST:ERR?", NO_ERROR)])


CMD_SET = 0x10001C00


# The Corvane set sends a range as its index ("10" is 2, DEF 2, MAX 4); a
# refused range would leave the function before selected and READ? read it.
def test_corvane_configure_and_measure_take_the_range_index(meter, dmm, proto_pb2):
    inputs(meter, dc_volts=2.5, dc_amps=0.05)
    dmm.query("MEAS:CURR:DC? 0.1")
    assert ui_request(proto_pb2, CMD_SET, k1C00=proto_pb2.Value(s32Val=1)).stat == 0
    try:
        run(meter, dmm, [
            "CONF:VOLT:DC 10", ("READ?", 2.5), ("CONF?", "VOLT 1.00000000E+01,1.00000000E-04"),
            ("MEAS:CURR:DC? 0.1", 0.05), ("MEAS:VOLT:DC? DEF", 2.5), ("CONF?", "VOLT 1.00000000E+01,1.00000000E-04"),
            "CONF:VOLT:DC MAX,MAX", ("CONF?", "VOLT 1.00000000E+03,1.00000000E+00"), ("READ?", near(2.5, 0.01)),
            ("SYST:ERR?", NO_ERROR)])
    finally:
        ui_request(proto_pb2, CMD_SET, k1C00=proto_pb2.Value(s32Val=0))


def on_10v_range(meter, dmm, **given):
    inputs(meter, **given)
    dmm.query("MEAS:VOLT:DC? 10")  # DCV on the fixed 10 V range; math starts off


def test_statistics_follow_a_noisy_input(meter, dmm):
    on_10v_range(meter, dmm, dc_volts=1.5, noise=0.001, seed=7)
    dmm.write("CALC:AVER:STAT ON")
    count = lambda: int(dmm.query("CALC:AVER:COUN?"))
    assert wait_for(lambda: count() >= 5)
    mean, sdev, low, high = values(dmm.query("CALC:AVER:ALL?"))
    first = count()
    assert low <= mean <= high and low < high, (mean, low, high)
    assert abs(mean - 1.5) < 0.05 and 0 < sdev < 0.05
    assert wait_for(lambda: count() > first)
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:AVER:STAT OFF")
    dmm.write("CALC:AVER:ALL?")
    assert dmm.query("SYST:ERR?").startswith("-400")


def test_decibels_against_a_reference(meter, dmm, proto_pb2):
    on_10v_range(meter, dmm, dc_volts=2.0)
    dmm.write("CALC:SCAL:FUNC DB;:CALC:SCAL:DB:REF 3;:CALC:SCAL ON")
    assert dmm.query("CALC:SCAL:FUNC?") == "DB"
    assert float(dmm.query("CALC:SCAL:DB:REF?")) == 3
    expected = 10 * math.log10(2.0 ** 2 / 600 * 1000) - 3
    # The next reading after the switch carries the value.
    decibels = lambda: request(proto_pb2, proto_pb2.DataPack(code=0x300))
    assert wait_for(lambda: abs(decibels().data[0x802].f64Val - expected) < 0.01)
    reply = decibels()
    assert reply.stat == 0 and abs(reply.data[0x802].f64Val - expected) < 0.01, reply
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:SCAL OFF")


def test_statistics_equal_the_readings_across_two_decades_of_bands(meter, dmm):
    # Statistics refuse an automatic range; the counter's display band
    # changes by itself, from Hz to kHz.
    inputs(meter, ac_volts=5, frequency=50)
    dmm.write("CONF:FREQ;:FREQ:VOLT:RANG 10;:TRIG:SOUR BUS")
    # One reading per trigger, each awaited: nothing is counted unseen.
    dmm.query("INIT;*TRG;FETC?")
    dmm.write("FREQ:NULL ON;:CALC:AVER:STAT ON")
    assert abs(float(dmm.query("FREQ:NULL:VAL?")) - 50) <= 0.5
    dmm.query("R?")  # the reading the offset was taken from
    taken = []
    for hertz in (50, 500, 5000):
        inputs(meter, ac_volts=5, frequency=hertz)
        for _ in range(5):
            dmm.query("INIT;*TRG;FETC?")
            block = dmm.query("R?")  # "#" digits length text
            taken += values(block[2 + int(block[1]):])
            if abs(taken[-1] - (hertz - 50)) <= 0.01 * hertz:
                break
        assert abs(taken[-1] - (hertz - 50)) <= 0.01 * hertz, taken
    mean, _, low, high = values(dmm.query("CALC:AVER:ALL?"))
    assert int(dmm.query("CALC:AVER:COUN?")) == len(taken)
    # The texts carry nine digits.
    assert mean == pytest.approx(sum(taken) / len(taken), rel=1e-7), taken
    assert (low, high) == pytest.approx((min(taken), max(taken)), rel=1e-7)
    assert dmm.query("SYST:ERR?") == NO_ERROR
    dmm.write("CALC:AVER:STAT OFF;:FREQ:NULL OFF;:TRIG:SOUR IMM")


# Type K reference function, 0 .. 1372 degC (mV).
K_COEF = [-0.017600413686, 0.038921204975, 1.8558770032e-05, -9.9457592874e-08, 3.1840945719e-10,
          -5.6072844889e-13, 5.6075059059e-16, -3.2020720003e-19, 9.7151147152e-23, -1.2104721275e-26]


def k_emf(t):
    return sum(c * t ** i for i, c in enumerate(K_COEF)) + 0.1185976 * math.exp(-0.0001183432 * (t - 126.9686) ** 2)


# Whatever probe was measured before, a thermocouple is measured in DC volts.
@pytest.mark.parametrize("before", [None, "CONF:TEMP FRTD,385", "MEAS:TEMP? FTH,5000", "CONF:TEMP THER,5000"])
def test_thermocouple_with_its_cold_junction(meter, dmm, before):
    if before:
        dmm.query(before) if "?" in before else dmm.write(before)
    inputs(meter, dc_volts=(k_emf(100.0) - k_emf(23.5)) / 1000, cold_junction_celsius=23.5)
    dmm.write("CONF:TEMP TC,K")
    assert dmm.query("SYST:ERR?") == NO_ERROR
    assert dmm.query("CONF?") == "TEMP TC,K"
    assert abs(float(dmm.query("READ?")) - 100.0) <= 0.1
    dmm.write("FUNC \"VOLT:DC\"")
    assert abs(float(dmm.query("MEAS:TEMP? TC,K")) - 100.0) <= 0.1


def test_user_curve_reads_its_line(meter, dmm, proto_pb2):
    pb = proto_pb2
    inputs(meter, dc_volts=0.5)
    assert ui_request(pb, 0x10001707, k1707=pb.Value(bVal=False)).stat == 0
    assert ui_request(pb, 0x10001705, k1705=pb.Value(s32Val=0)).stat == 0  # measured as DC volts
    for x, y in ((0.0, 0.0), (1000.0, 100.0)):
        assert ui_request(pb, 0x10001701, k0=pb.Value(s32Val=-1), k1=pb.Value(f64Val=x), k2=pb.Value(f64Val=y),
                  k3=pb.Value(bVal=x == 0), k4=pb.Value(s32Val=0)).stat == 0
    assert ui_request(pb, 0x10001708).stat == 0
    assert abs(float(dmm.query("READ?")) - 50.0) <= 0.01


def cal_files(root):
    return {p.name: p.read_bytes() for p in (root / "vorna" / "data").glob("*.cal")}


WAIT = "until the point is taken or given up"


@pytest.mark.parametrize("given,steps,error,removed,reading", [
    # A reference that is no number takes no point: the save writes what was there.
    ({"dc_volts": 0.5}, ["CONF:VOLT:DC 1", "CAL:DATA abc", "CAL:SAVE CURR"], "-220,", set(), None),
    # A refused save writes nothing.
    ({"dc_volts": 0.5}, ["CONF:VOLT:DC 1", "CAL:DATA 0.4", WAIT, "CAL:SAVE FOO"], "-220,", set(), None),
    # A point whose range changed under it is not taken, and says so.
    ({"dc_volts": 0.5}, ["CONF:VOLT:DC 1", "CAL:DATA 0.4", "VOLT:DC:RANG 10", WAIT], "-200,", set(), None),
    # Frequency points go to the counter's table, the one its readings use;
    # without it frequency reads 0 as every other function does.
    ({"ac_volts": 1, "frequency": 1000}, ['FUNC "FREQ"', "CAL:DATA 1000", WAIT, "CAL:SAVE CURR", "CAL:DELETE CURR"],
     None, {"cali_10_0.cal"}, 0.0),
], ids=["not-a-number", "refused-save", "abandoned", "frequency"])
def test_calibration_hazards(meter, dmm, given, steps, error, removed, reading):
    inputs(meter, **given)
    before = cal_files(meter.root)
    for step in steps:
        if step == WAIT:
            assert wait_for(lambda: dmm.query("CAL:STAT?") != "RUNNING", 10)
        else:
            dmm.write(step)
    assert dmm.query("SYST:ERR?").startswith(error or "0,")
    assert dmm.query("SYST:ERR?") == NO_ERROR
    after = cal_files(meter.root)
    assert set(before) - set(after) == removed and set(after) <= set(before)
    assert all(after[name] == before[name] for name in after)
    if reading is not None:
        assert float(dmm.query("READ?")) == reading
