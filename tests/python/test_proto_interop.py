"""The schema seen from another protobuf runtime: messages the C++ side (the build's
proto_roundtrip helper) serialises parse here, and messages serialised here parse there."""

import subprocess

import pytest
from google.protobuf import text_format
from google.protobuf.message import DecodeError

GOLDEN_HEX = "08 ae a4 80 80 02 12 06 08 05 12 02 08 01"
OHM = "\u03a9"


@pytest.fixture(scope="module")
def pb(proto_pb2):
    """The generated module proto_data_pb2."""
    return proto_pb2


@pytest.fixture(scope="module")
def roundtrip(build_dir):
    tool = build_dir / "tests" / "proto_roundtrip"
    assert tool.is_file(), f"{tool} missing: build the proto_roundtrip target"
    return str(tool)


def golden_pack(pb):
    pack = pb.DataPack(code=0x2000122E)
    pack.data[5].s32Val = -1
    return pack


def every_kind_pack(pb):
    """The same message as proto_samples::everyKindPack() of the C++ tests."""
    pack = pb.DataPack(code=0x2000122E, stat=-55)
    pack.data[1].s32Val = -5
    pack.data[2].u32Val = 4000000000
    pack.data[3].s64Val = -(1 << 40)
    pack.data[4].u64Val = (1 << 63) + 1
    pack.data[5].bVal = True
    pack.data[6].f32Val = 1.5
    pack.data[7].f64Val = -2.25
    pack.data[8].strVal = "100K" + OHM
    pack.data[9].rawVal = b"a\x00b\xff"
    return pack


def sample_data_info(pb):
    """The same record as sampleDataInfo() of the C++ helper."""
    return pb.ProtoDataInfo(mstrFuncType="2WR", mstrRange="100K" + OHM, ms32Rate=2, mstrUnit=OHM,
                            mf64DataMax=9.9e37, mf64DataMin=-1.5, mDataBuffer=[-1.5, 0.0, 9.9e37])


def unset_fields(msg, prefix=""):
    """Fields of msg (recursively) left at their default, or empty lists."""
    missing = []
    for field in msg.DESCRIPTOR.fields:
        name = prefix + field.name
        value = getattr(msg, field.name)
        if field.label == field.LABEL_REPEATED:
            if len(value) == 0:
                missing.append(name)
            if field.message_type is not None and not field.message_type.GetOptions().map_entry:
                for i, item in enumerate(value):
                    missing += unset_fields(item, f"{name}[{i}].")
        elif field.message_type is not None:
            if not msg.HasField(field.name):
                missing.append(name)
            else:
                missing += unset_fields(value, name + ".")
        elif value == field.default_value:
            missing.append(name)
    return missing


def test_golden_bytes_and_the_stored_field_spellings(pb):
    assert golden_pack(pb).SerializeToString() == bytes.fromhex(GOLDEN_HEX)
    assert pb.DataPack().SerializeToString() == b""
    with pytest.raises(text_format.ParseError):
        text_format.Parse("mProtoSensorInfo { mbTemperature: true }", pb.ProtoMirrorInfo())
    assert pb.ProtoSensorFuncInfo.DESCRIPTOR.fields_by_name["mbTempture"].number == 3
    assert pb.ProtoTempProperty.DESCRIPTOR.fields_by_name["mbTcCodeTerminalInt"].number == 8
    assert pb.ProtoSegProperty.DESCRIPTOR.fields_by_name["mu32BeginPoi"].number == 2
    assert pb.ProtoFileOperationInfo.DESCRIPTOR.fields_by_name["ms32OpResult"].number == 5


def test_messages_cross_between_cpp_and_python(pb, roundtrip, tmp_path):
    subprocess.run([roundtrip, "write", str(tmp_path)], check=True)

    golden = (tmp_path / "golden_pack.bin").read_bytes()
    assert golden == bytes.fromhex(GOLDEN_HEX)
    assert pb.DataPack.FromString(golden) == golden_pack(pb)

    every = pb.DataPack.FromString((tmp_path / "every_kind.bin").read_bytes())
    assert every == every_kind_pack(pb)
    assert every.data[8].strVal.encode("utf-8") == b"100K\xce\xa9"
    assert every.data[9].WhichOneof("value") == "rawVal"

    info = pb.ProtoDataInfo.FromString((tmp_path / "data_info.bin").read_bytes())
    assert info == sample_data_info(pb)

    mirror = pb.ProtoMirrorInfo.FromString((tmp_path / "mirror.bin").read_bytes())
    assert unset_fields(mirror) == []
    assert mirror.mProtoSensorInfo.mbTempture
    from_text = text_format.Parse((tmp_path / "mirror.txt").read_text(encoding="utf-8"), pb.ProtoMirrorInfo())
    assert from_text == mirror

    with pytest.raises((DecodeError, UnicodeDecodeError)):
        pb.DataPack.FromString((tmp_path / "bad_utf8.bin").read_bytes())

    # The mirror comes from the C++ text form, so both sides mean the same record.
    (tmp_path / "py_golden_pack.bin").write_bytes(golden_pack(pb).SerializeToString())
    (tmp_path / "py_every_kind.bin").write_bytes(every_kind_pack(pb).SerializeToString())
    (tmp_path / "py_data_info.bin").write_bytes(sample_data_info(pb).SerializeToString())
    (tmp_path / "py_mirror.bin").write_bytes(mirror.SerializeToString())
    (tmp_path / "py_mirror.txt").write_text(text_format.MessageToString(mirror, as_utf8=True), encoding="utf-8")

    result = subprocess.run([roundtrip, "check", str(tmp_path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr

