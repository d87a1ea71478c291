"""Outputs appear whole or not at all: the output helper on its own and
through the `geokern` command (failures, signals, links, FIFOs, devices,
modes and owners, outputs that are inputs)."""
import errno
import os
import resource
import signal
import stat
import subprocess
import threading
import time
import weakref

import pytest

from geokern_tools import _signals
from geokern_tools._errors import UsageError
from geokern_tools._output import output_file, output_folder, output_path
from geokern_tools._signals import Terminated

from .conftest import geokern_command, run_geokern, start_geokern, temporaries

ROWS = "lon,lat,h\n" + "".join(f"{i % 90}.5,{i % 45}.25,{i}\n" for i in range(2000))
CONVERT = ("convert", "--from", "wgs84", "--to", "ecef")


@pytest.fixture
def old(tmp_path):
    """An earlier output and the input of the new one."""
    (tmp_path / "in.csv").write_text(ROWS)
    out = tmp_path / "out.csv"
    out.write_text("earlier output\n")
    return tmp_path / "in.csv", out


def wait_for(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


# ============================================================================
# The helper in this process


@pytest.mark.parametrize("fault", [ValueError("bad row"), KeyboardInterrupt(),
                                   Terminated(signal.SIGTERM), OSError(errno.ENOSPC, "full")])
@pytest.mark.parametrize("helper", ["file", "path"])
def test_a_failure_leaves_the_earlier_output(old, fault, helper):
    _, out = old
    with pytest.raises(type(fault)):
        if helper == "file":
            with output_file(str(out)) as stream:
                stream.write(b"half of a new output")
                raise fault
        else:
            with output_path(str(out)) as path:
                with open(path, "w") as f:
                    f.write("half of a new output")
                raise fault
    assert out.read_text() == "earlier output\n"
    assert temporaries(out.parent) == []


def dataset(folder, *names):
    folder.mkdir()
    for name in names:
        (folder / name).write_text(name)


def test_a_folder_is_swapped_whole_or_kept(tmp_path):
    out = tmp_path / "ds"
    dataset(out, "part-0.parquet", "part-1.parquet", "_SUCCESS")
    is_part = lambda name: name.endswith(".parquet") or name == "_SUCCESS"  # noqa: E731
    with pytest.raises(KeyboardInterrupt):
        with output_folder(str(out), replaceable=is_part) as staging:
            open(os.path.join(staging, "part-0.parquet"), "w").close()
            raise KeyboardInterrupt
    assert sorted(os.listdir(out)) == ["_SUCCESS", "part-0.parquet", "part-1.parquet"]
    with output_folder(str(out), replaceable=is_part) as staging:
        with pytest.raises(BlockingIOError, match="another geokern run"):
            with output_folder(str(out)):
                pass
        with output_file(os.path.join(staging, "part-0.parquet")) as stream:
            stream.write(b"new")
    assert os.listdir(out) == ["part-0.parquet"]
    assert (out / "part-0.parquet").read_text() == "new"
    assert temporaries(tmp_path) == []
    (out / "notes.txt").write_text("mine")
    with pytest.raises(UsageError, match="holds notes.txt"):
        with output_folder(str(out), replaceable=is_part):
            pass
    assert sorted(os.listdir(out)) == ["notes.txt", "part-0.parquet"]


# ============================================================================
# The command


def test_fifos_devices_and_links_are_written_into(old, tmp_path):
    source, _ = old
    fifo = tmp_path / "fifo.csv"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
    reader.start()
    proc = run_geokern(*CONVERT, source, "-o", fifo)
    reader.join(30)
    assert proc.returncode == 0, proc.stderr
    assert got[0].startswith(b"X,Y,Z\n") and got[0].count(b"\n") == 2001
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert run_geokern(*CONVERT, source, "-o", "/dev/null").returncode == 0
    assert stat.S_ISCHR(os.lstat("/dev/null").st_mode)
    target, link = tmp_path / "target.csv", tmp_path / "link.csv"
    target.write_text("old")
    os.symlink("target.csv", link)
    assert run_geokern(*CONVERT, source, "-o", link).returncode == 0
    assert os.path.islink(link) and target.read_bytes() == got[0]


def test_a_replaced_file_keeps_its_mode_and_owner(old):
    source, out = old
    os.chmod(out, 0o640)
    owner = (1000, 1000) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(out, *owner)
    assert run_geokern(*CONVERT, source, "-o", out).returncode == 0
    st = os.stat(out)
    assert (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid) == (0o640, *owner)
    fresh = out.parent / "fresh.csv"
    assert run_geokern(*CONVERT, source, "-o", fresh).returncode == 0
    umask = os.umask(0o022)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(fresh).st_mode) == 0o666 & ~umask


@pytest.mark.parametrize("how", ["symlink", "hard link", "stdin", "stdout appended"])
def test_an_output_that_is_an_input_is_refused(old, how):
    source, _ = old
    alias = source.parent / "alias.csv"
    if how == "symlink":
        os.symlink(source, alias)
    elif how == "hard link":
        os.link(source, alias)
    if how == "stdin":
        with open(source, "rb") as f:
            proc = subprocess.run([*_cmd(), "-o", str(source)], stdin=f, capture_output=True,
                                  text=True)
    elif how == "stdout appended":
        with open(source, "ab") as f:
            proc = subprocess.run([*_cmd(), str(source)], stdout=f, stderr=subprocess.PIPE,
                                  text=True)
    else:
        proc = run_geokern(*CONVERT, source, "-o", alias)
    assert proc.returncode == 2 and "is the input" in proc.stderr, proc.stderr
    assert source.read_text() == ROWS


def _cmd():
    return [geokern_command(), *CONVERT]


def _others_may_run(command):
    """Whether a user other than the owner may run `command`: every folder
    above it searchable and the file executable by others."""
    path = os.path.realpath(command)
    folders = [os.path.dirname(path)]
    while folders[-1] != "/":
        folders.append(os.path.dirname(folders[-1]))
    return (os.stat(path).st_mode & stat.S_IXOTH
            and all(os.stat(folder).st_mode & stat.S_IXOTH for folder in folders))


def _as_nobody():
    os.setgid(65534)
    os.setuid(65534)


@pytest.mark.parametrize("case", ["missing folder", "read-only folder", "file size limit",
                                  "full device", "normals, file size limit"])
def test_write_errors_name_the_output_and_keep_the_old_one(old, tmp_path, case):
    source, out = old
    extra = {}
    if case == "missing folder":
        out = tmp_path / "nowhere" / "out.csv"
        message = f"{out}: No such file or directory"
    elif case == "read-only folder":
        folder = tmp_path / "ro"
        folder.mkdir()
        out = folder / "out.csv"
        os.chmod(folder, 0o555)
        if os.geteuid() == 0:  # root writes anywhere: run as nobody
            if not _others_may_run(geokern_command()):
                pytest.skip("the geokern command lies in a folder only its owner may enter")
            os.chmod(tmp_path, 0o755)
            os.chmod(source, 0o644)
            extra["preexec_fn"] = _as_nobody
        message = f"{out}: Permission denied"
    elif case == "full device":
        if not stat.S_ISCHR(os.stat("/dev/full").st_mode):
            pytest.skip("/dev/full is not the full device here")
        out = "/dev/full"
        message = "/dev/full: No space left on device"
    else:
        extra["preexec_fn"] = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        message = f"{out}: File too large"
    if case.startswith("normals"):
        out = out.with_suffix(".obj")
        out.write_text("earlier output\n")
        message = f"{out}: File too large"
        mesh = tmp_path / "in.obj"
        mesh.write_text("".join(f"v {i} {i * i % 7} {i % 3}\n" for i in range(3000))
                        + "".join(f"f {i} {i + 1} {i + 2}\n" for i in range(1, 2998)))
        proc = run_geokern("normals", mesh, out, "--mode", "smooth", **extra)
    else:
        proc = run_geokern(*CONVERT, source, "-o", out, **extra)
    assert proc.returncode == 1
    assert proc.stderr == f"geokern: {message}\n"
    if case in ("file size limit", "normals, file size limit"):
        assert out.read_text() == "earlier output\n"
    assert temporaries(tmp_path) == []


def feed_and_wait(proc, folder, rows=ROWS):
    """Feeds half of the rows, waits for the output's temporary, feeds a
    little more: the command is then in the middle of writing."""
    lines = rows.splitlines(keepends=True)
    try:
        proc.stdin.write("".join(lines[:1000]).encode())
        proc.stdin.flush()
        wait_for(lambda: temporaries(folder))
        proc.stdin.write("".join(lines[1000:1100]).encode())
        proc.stdin.flush()
    except BaseException:
        proc.kill()
        raise
    time.sleep(0.2)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".npy"])
def test_signals_mid_write_exit_cleanly(tmp_path, signum, suffix):
    out = tmp_path / f"out{suffix}"
    out.write_bytes(b"earlier output")
    proc = start_geokern(*CONVERT, "-o", out, stdin=subprocess.PIPE,
                         env=dict(os.environ, GEOKERN_BATCH_BYTES="2000"))
    feed_and_wait(proc, tmp_path)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=30)
    assert (proc.returncode, err) == (128 + signum, b"")
    assert out.read_bytes() == b"earlier output"
    assert temporaries(tmp_path) == []


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGHUP])
def test_a_signal_ignored_at_start_stays_ignored(tmp_path, signum):
    # As under nohup, or for a background job of a shell without job control.
    out = tmp_path / "out.csv"
    proc = start_geokern(*CONVERT, "-o", out, stdin=subprocess.PIPE, ignored=(signum,))
    feed_and_wait(proc, tmp_path)
    proc.send_signal(signum)
    proc.stdin.write("".join(ROWS.splitlines(keepends=True)[1100:]).encode())
    _, err = proc.communicate(timeout=30)
    assert (proc.returncode, err) == (0, b"")
    assert out.read_text().count("\n") == 2001


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_raised_where_python_drops_it_still_sets_the_status(capfd, signum):
    # A handler that runs inside a weak-reference callback raises where the
    # exception cannot propagate: no "Exception ignored", and the run ends
    # with the signal's status.
    class Thing:
        pass

    with _signals.handled():
        thing = Thing()
        keep = weakref.ref(thing, lambda _: _signals._handler(signum, None))
        del thing
        assert keep() is None
        assert _signals.lost_status(0) == 128 + signum
    assert capfd.readouterr().err == ""


def test_sigkill_leaves_one_temporary_that_the_next_run_removes(old, tmp_path):
    source, out = old
    proc = start_geokern(*CONVERT, "-o", out, stdin=subprocess.PIPE)
    feed_and_wait(proc, tmp_path)
    proc.kill()
    proc.communicate(timeout=30)
    assert len(temporaries(tmp_path)) == 1 and out.read_text() == "earlier output\n"
    assert run_geokern(*CONVERT, source, "-o", out).returncode == 0
    assert temporaries(tmp_path) == [] and out.read_text().count("\n") == 2001


def test_closed_standard_streams_give_one_line(old):
    source, _ = old
    command = _cmd()
    closed_out = subprocess.run([*command, str(source)], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True,
                                preexec_fn=lambda: os.close(1))
    closed_in = subprocess.run(command, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               text=True, preexec_fn=lambda: os.close(0))
    assert (closed_out.returncode, closed_out.stderr) == (
        1, "geokern: <stdout>: standard output is closed\n")
    assert (closed_in.returncode, closed_in.stderr) == (
        1, "geokern: <stdin>: standard input is closed\n")
    assert source.read_text() == ROWS
