"""The simulated front end of a host build as a running service and scripts/run see it."""
import contextlib
import os
import signal
import stat
import subprocess

import pytest

from conftest import PORTS, REPO, port_open, set_inputs, wait_for


def test_input_file_is_reread_and_the_trigger_fifo_is_open(running):
    fifo = running.root / "sim" / "ext_trigger"
    assert wait_for(fifo.exists, 30)
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    # A reader holds it: a writer that does not wait can open it and send edges.
    fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    os.write(fd, b"\x01\x01")
    os.close(fd)

    conf = running.root / "sim" / "input.conf"
    conf.write_text("dc_volts = 1\nbogus = 2\n")
    line = 'sim input: unknown name "bogus" ignored'
    assert running.log_has(line, 5), running.describe()
    set_inputs(running, "# changed\ndc_volts = 2\nbogus = 3\n")  # the name is reported once only
    assert sum(line in text for text in running.log_lines()) == 1


def test_a_flood_of_trigger_edges_is_dropped_and_reported(running):
    fifo = running.root / "sim" / "ext_trigger"
    assert wait_for(fifo.exists, 30)
    fd = os.open(fifo, os.O_WRONLY)
    try:
        for _ in range(64):
            os.write(fd, b"x" * 16384)
    finally:
        os.close(fd)
    # 1 MiB of edges: the input keeps 256 of them for the trigger waiter.
    assert running.log_has(" edges dropped in all, at most 256 wait for the trigger input", 10), running.describe()


def test_scripts_run_gives_a_fresh_root_the_calibration_set(build_dir, tmp_path):
    if build_dir.resolve() != (REPO / "build").resolve():
        pytest.skip("scripts/run builds and runs ./build only")
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DMM_ROOT": str(tmp_path)}
    # The service of an earlier test may still be letting go of its ports.
    assert wait_for(lambda: not any(port_open(p) for p in PORTS), 30), "ports taken by another process"
    out = tmp_path / "run.out"
    with open(out, "wb") as sink:
        proc = subprocess.Popen([str(REPO / "scripts" / "run")], cwd=REPO, env=env, stdout=sink,
                                stderr=subprocess.STDOUT, start_new_session=True,
                                # A runner started in the background ignores SIGINT, and a shell
                                # cannot trap a signal that was ignored when it started.
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert wait_for(lambda: b"MainService is up" in out.read_bytes(), 300), out.read_text()
        cal = sorted(p.name for p in (tmp_path / "vorna" / "data").glob("*.cal"))
        assert len(cal) == 47
        assert "cali_0_0.cal" in cal and "cali_10_0.cal" in cal
        assert (tmp_path / "vorna" / "data" / "cali_0_0.cal").stat().st_size == 48
        assert (tmp_path / "vorna" / "data" / MARKER).is_file()
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            assert proc.wait(timeout=30) == 0, out.read_text()
        finally:
            # Nothing it started may outlive the test and hold the ports of the next ones.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)


@pytest.mark.parametrize("script, args, status, stream", [
    ("run", ["--help"], 0, "stdout"),
    ("run", ["-h"], 0, "stdout"),
    ("run", ["build"], 2, "stderr"),
    ("test", ["--help"], 0, "stdout"),  # its first argument is a build folder, but not this one
])
def test_scripts_run_with_an_argument_only_explains_itself(tmp_path, script, args, status, stream):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DMM_ROOT": str(tmp_path / "root")}
    done = subprocess.run([str(REPO / "scripts" / script), *args], cwd=REPO, env=env,
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == status
    assert f"Usage: scripts/{script}" in getattr(done, stream)
    # Nothing was installed, built or started: not even the data root exists.
    assert not (tmp_path / "root").exists()


STALE_WARNING = "write it again with dmm-sim-calibration"
MARKER = "sim_frontend.model"


def calibrated_root(build_dir, root, marker):
    """A data root with the tool's set whose marker is then made `marker`:
    None (a set from before markers), "older" or "current"."""
    done = subprocess.run([str(build_dir / "dmm-sim-calibration"), str(root)], check=True,
                          capture_output=True, text=True)
    path = root / "vorna" / "data" / MARKER
    if marker is None:
        path.unlink(missing_ok=True)
        return
    assert path.is_file(), done.stdout
    if marker == "older":
        path.write_text(f"{int(path.read_text()) - 1}\n")


@pytest.mark.parametrize("marker, warned", [(None, True), ("older", True), ("current", False)])
def test_a_service_warns_once_of_a_set_for_an_older_front_end(build_dir, make_service, marker, warned):
    service = make_service()
    calibrated_root(build_dir, service.root, marker)
    service.start().wait_listening()
    # The set is loaded (and any warning logged) before the ports open; its
    # load lines say the log has got that far.
    assert service.log_has("load cal data [", 5), service.describe()
    lines = [line for line in service.log_lines() if STALE_WARNING in line]
    assert len(lines) == (1 if warned else 0), lines


@pytest.mark.parametrize("given, rewritten, says", [
    ("none", True, None),
    (None, True, "has no front-end marker (it may come from an instrument): kept in "),
    ("older", True, "writing it again"),
    ("current", False, None),
])
def test_the_tool_writes_a_set_again_only_when_none_or_older(build_dir, tmp_path, given, rewritten, says):
    data = tmp_path / "vorna" / "data"
    if given != "none":
        calibrated_root(build_dir, tmp_path, given)
        (data / "cali_0_0.cal").write_bytes(b"kept")
    done = subprocess.run([str(build_dir / "dmm-sim-calibration"), "--when-needed", str(tmp_path)],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert len(list(data.glob("*.cal"))) == 47
    assert ((data / "cali_0_0.cal").stat().st_size == 48) == rewritten
    assert (data / MARKER).is_file()
    assert (says in done.stdout) if says else ("again" not in done.stdout), done.stdout
    assert bool(done.stdout) == rewritten, done.stdout
    # A set without a marker, perhaps an instrument's, is kept aside whole.
    kept = data / "kept-cal-set"
    assert kept.is_dir() == (given is None)
    if given is None:
        assert (kept / "cali_0_0.cal").read_bytes() == b"kept" and f"kept in {kept}," in done.stdout


@pytest.mark.parametrize("args, status", [
    (["--help"], 0),
    (["-h"], 0),
    (["--when-needed", "{typo}"], 1),
    (["{typo}"], 1),
])
def test_the_tool_says_what_it_does_and_names_a_root_that_is_not_there(build_dir, tmp_path, args, status):
    typo = tmp_path / "typo"
    done = subprocess.run([str(build_dir / "dmm-sim-calibration"), *(a.format(typo=typo) for a in args)],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == status, done.stderr
    if status == 0:
        # More than the usage line, where a reader looks for it.
        assert done.stdout.startswith("usage: dmm-sim-calibration") and done.stdout.count("\n") > 3, done.stdout
        assert not done.stderr
    else:
        assert str(typo) in done.stderr and not done.stdout
    assert not typo.exists()
