"""Result files under faults: a failing write, a full disk, a kill in the middle of a write.

Whatever happens, a result is either the earlier one or the new one whole, and the next run leaves no
stray partial file behind.
"""
import errno
import os
import signal
import stat
import subprocess
import sys
import tempfile

import pytest

from cli_helpers import ROOT, read_json, simulate, size_flags, tool
from tuning import atomic_write as files

EARLIER = '{"earlier": "result"}\n'


def dead_pid():
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    return gone.pid


def leftovers(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".partial"))


def test_a_run_removes_partials_of_dead_writers_and_a_rewrite_keeps_the_mode(tmp_path):
    captures = simulate(tmp_path / "set")
    out = tmp_path / "out"
    first = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
    assert first.returncode == 0, first.stderr
    assert stat.S_IMODE(os.stat(out / "black_level.json").st_mode) == 0o666 & ~0o022  # the tool runs with umask 022
    os.chmod(out / "black_level.json", 0o640)
    stale = f".black_level.json.{dead_pid()}-k1ll3d.partial"
    older = ".tunekit-config.json.x7q2m9ab.partial"  # named as before partials carried their writer
    busy = f".black_level.json.{os.getpid()}-wr1t1n.partial"  # a process that still runs
    other = f".notes.txt.{dead_pid()}-k1ll3d.partial"  # not a result this run writes
    for name in (stale, older, busy, other):
        (out / name).write_text("{\"trunc")
    again = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
    assert again.returncode == 0, again.stderr
    assert leftovers(out) == sorted([busy, other])
    assert stat.S_IMODE(os.stat(out / "black_level.json").st_mode) == 0o640
    assert read_json(out / "black_level.json")["module"] == "blc"


def full_disk(monkeypatch, folder):
    """Stand-in for a disk with no room left: the partial file's writes go to /dev/full."""
    real = tempfile.mkstemp

    def on_full_disk(*args, **kwargs):
        fd, path = real(*args, **kwargs)
        os.dup2(os.open("/dev/full", os.O_WRONLY), fd)
        return fd, path

    monkeypatch.setattr(tempfile, "mkstemp", on_full_disk)


def failing_rename(monkeypatch, folder):
    def refuse(source, target):
        raise OSError(errno.EIO, "Input/output error")

    monkeypatch.setattr(os, "replace", refuse)


def failing_sync(monkeypatch, folder):
    def refuse(fd):
        raise OSError(errno.EIO, "Input/output error")

    monkeypatch.setattr(os, "fsync", refuse)


@pytest.mark.parametrize("fault, text, error", [
    pytest.param(full_disk, "x" * 100000, OSError, id="full-disk"),
    pytest.param(failing_rename, "{}", OSError, id="failing-rename"),
    pytest.param(failing_sync, "{}", OSError, id="failing-sync"),
    pytest.param(None, "half written \udcff then unwritable", UnicodeEncodeError, id="failing-write"),
])
def test_a_write_that_fails_leaves_the_earlier_result_and_no_partial(tmp_path, monkeypatch, fault, text, error):
    path = tmp_path / "result.json"
    path.write_text(EARLIER)
    if fault:
        fault(monkeypatch, tmp_path)
    with pytest.raises(error):
        files.write_text_atomically(str(path), text)
    monkeypatch.undo()
    assert path.read_text() == EARLIER
    assert leftovers(tmp_path) == []


@pytest.fixture
def tiny_disk(tmp_path):
    """A 64 KiB file system of its own, where the machine lets the tests mount one."""
    mount = tmp_path / "disk"
    mount.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount)], capture_output=True)
    if made.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {made.stderr.decode().strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


def test_a_full_disk_stops_the_run_with_the_file_named_and_the_earlier_result_whole(tmp_path, tiny_disk):
    captures = simulate(tmp_path / "set")
    out = tiny_disk / "results"
    first = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
    assert first.returncode == 0, first.stderr
    result = (out / "black_level.json").read_bytes()
    filler = os.open(tiny_disk / "filler", os.O_WRONLY | os.O_CREAT)  # leaves no room for one more block
    try:
        with pytest.raises(OSError) as full:
            while True:
                os.write(filler, b"\0" * 4096)
    finally:
        os.close(filler)
    assert full.value.errno == errno.ENOSPC
    run = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
    assert run.returncode == 1
    assert f"tunekit blc: error: cannot write {out / 'black_level.json'}: No space left on device" in run.stderr
    assert "Traceback" not in run.stderr
    assert (out / "black_level.json").read_bytes() == result
    assert sorted(os.listdir(out)) == ["black_level.json", "tunekit-config.json"]


KILLED_WRITER = """
import os, sys
from tuning import atomic_write as files

def stop_here(source, target):  # the new text is all in the partial file, not yet the result
    print("written", flush=True)
    sys.stdin.read()

os.replace = stop_here
files.write_text_atomically(sys.argv[1], "{\\"new\\": " + "1" * 100000 + "}")
"""


def test_a_writer_killed_mid_write_leaves_the_earlier_result_and_the_next_run_clears_its_partial(tmp_path):
    captures = simulate(tmp_path / "set")
    out = tmp_path / "out"
    first = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
    assert first.returncode == 0, first.stderr
    result = (out / "black_level.json").read_bytes()
    writer = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(out / "black_level.json")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, PYTHONPATH=ROOT))
    try:
        assert writer.stdout.readline() == "written\n"
        writer.send_signal(signal.SIGKILL)
        writer.wait(60)
    finally:
        writer.kill()
        writer.stdin.close()
        writer.stdout.close()
    assert (out / "black_level.json").read_bytes() == result
    assert len(leftovers(out)) == 1
    again = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
    assert again.returncode == 0, again.stderr
    assert leftovers(out) == []
    assert (out / "black_level.json").read_bytes() == result  # the same captures give the same result
