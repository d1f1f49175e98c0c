"""Shared pieces of the whole-process tests."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
PROTO = REPO / "protodata" / "proto_data.proto"


def load_proto_module(out_dir):
    """proto_data_pb2, generated from the schema with the system's protoc into out_dir (once per run)."""
    if "proto_data_pb2" in sys.modules:
        return sys.modules["proto_data_pb2"]
    protoc = shutil.which("protoc") or "/usr/bin/protoc"
    subprocess.run([protoc, f"-I{PROTO.parent}", f"--python_out={out_dir}", str(PROTO)], check=True)
    spec = importlib.util.spec_from_file_location("proto_data_pb2", pathlib.Path(out_dir) / "proto_data_pb2.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["proto_data_pb2"] = module
    spec.loader.exec_module(module)
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
