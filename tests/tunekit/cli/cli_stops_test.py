"""Stopping the tool: Ctrl-C at a terminal, SIGTERM, a reader that goes away, two runs into one folder.

A stop must come while the calibration is under way, not before it starts or after it wrote its result.
The tests make the tool block in a write of its own (the terminal or pipe it writes to is full) at a
known point of the calibration, send the signal there and only then let the output flow again.
"""
import fcntl
import os
import pty
import signal
import subprocess
import sys
import termios
import time

import pytest

from cli_helpers import ROOT, read_json, simulate, size_flags, tool

LISTS = ["--again-list", "1", "2", "--exp-time-list", "10", "20"]  # nothing left to infer, so no notes
WAIT = 60.0
SYS_WRITE = {"x86_64": "1", "aarch64": "64"}.get(os.uname().machine)
needs_syscall_view = pytest.mark.skipif(SYS_WRITE is None or not os.path.exists("/proc/self/syscall"),
                                        reason="needs /proc/<pid>/syscall to see where the tool waits")


def environment(**extra):
    return dict(os.environ, PYTHONPATH=ROOT, PYTHONDONTWRITEBYTECODE="1", **extra)


def command(*args):
    return [sys.executable, "-m", "tuning", *map(str, args)]


def wait_until_writing(pid, fd):
    """Returns once the process sits in a write to descriptor fd (its output is full)."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            fields = []
        if fields[:2] == [SYS_WRITE, hex(fd)]:
            return
        time.sleep(0.01)
    raise AssertionError(f"process {pid} never blocked writing to descriptor {fd}")


def fill(fd):
    """Writes into a non-blocking descriptor until it takes no more; returns the byte count.

    A terminal moves what it holds on to the reader's side a little later and then has room again, so
    the filling goes on until several rounds in a row find none."""
    total, idle = 0, 0
    while idle < 5:
        added = 0
        for size in (4096, 1):  # then byte by byte: the last bits of room come in small pieces
            while True:
                try:
                    added += os.write(fd, b"." * size)
                except BlockingIOError:
                    break
        total += added
        idle = idle + 1 if added == 0 else 0
        time.sleep(0.02)
    return total


def drain(fd):
    seen = b""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # a terminal reports the end of output this way
            return seen
        if not chunk:
            return seen
        seen += chunk


def earlier_result(tmp_path):
    """A capture set and an output folder holding the result of a finished run (of one exposure: the
    result of the run that is stopped would differ)."""
    captures = simulate(tmp_path / "set")
    out = tmp_path / "out"
    first = tool("blc", "-q", "-i", captures, "-o", out, *size_flags(), *LISTS, "--exp-time-list", "10")
    assert first.returncode == 0, first.stderr
    return captures, out, (out / "black_level.json").read_bytes(), (out / "tunekit-config.json").read_bytes()


def assert_left_as_it_was(out, result, config):
    assert (out / "black_level.json").read_bytes() == result
    assert (out / "tunekit-config.json").read_bytes() == config
    assert sorted(p.name for p in out.iterdir()) == ["black_level.json", "tunekit-config.json"]


@needs_syscall_view
def test_ctrl_c_at_a_terminal_stops_the_calibration_and_writes_nothing(tmp_path):
    captures, out, result, config = earlier_result(tmp_path)
    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[3] &= ~termios.ECHO  # the ^C the test types stays out of the output
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    # The terminal's output is full before the tool starts: its first progress line, written by the
    # hook after the first capture condition, waits there with three conditions still to go.
    filler = os.open(os.ttyname(slave), os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY)
    fill(filler)

    def own_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    proc = subprocess.Popen(command("blc", "-q", "-i", captures, "-o", out, *size_flags(), *LISTS),
                            stdin=slave, stdout=slave, stderr=slave, env=environment(), preexec_fn=own_terminal)
    os.close(slave)
    os.close(filler)
    try:
        wait_until_writing(proc.pid, 2)
        os.write(master, termios.tcgetattr(master)[6][termios.VINTR])  # Ctrl-C, as typed
        # The terminal drops what it still held when Ctrl-C comes; the blocked progress line is not
        # written either.
        seen = drain(master).decode(errors="replace").lstrip(".")
        status = proc.wait(WAIT)
    finally:
        proc.kill()
        os.close(master)
    assert status == 130, seen
    assert seen.splitlines() == ["tunekit: interrupted"]
    assert_left_as_it_was(out, result, config)


@needs_syscall_view
def test_sigterm_without_a_terminal_stops_the_calibration_and_exits_143(tmp_path):
    captures, out, result, config = earlier_result(tmp_path)
    # The routines' own lines go to standard output, unbuffered: with the pipe full, the routine waits
    # in its first line, inside the calibration.
    reader, writer = os.pipe()
    os.set_blocking(writer, False)
    filled = fill(writer)
    os.set_blocking(writer, True)
    with open(tmp_path / "stderr.txt", "wb") as errors:
        proc = subprocess.Popen(command("blc", "-i", captures, "-o", out, *size_flags(), *LISTS),
                                stdout=writer, stderr=errors, env=environment(PYTHONUNBUFFERED="1"))
    os.close(writer)
    try:
        wait_until_writing(proc.pid, 1)
        proc.send_signal(signal.SIGTERM)
        printed = drain(reader)[filled:]
        status = proc.wait(WAIT)
    finally:
        proc.kill()
        os.close(reader)
    assert status == 143
    assert (tmp_path / "stderr.txt").read_text().splitlines() == [
        "tunekit: terminated"]
    assert b"wrote" not in printed
    assert_left_as_it_was(out, result, config)


def test_a_reader_that_goes_away_ends_the_tool_quietly(tmp_path):
    captures = simulate(tmp_path)
    reader, writer = os.pipe()
    os.close(reader)  # `| head` that has already seen enough
    try:
        done = subprocess.run(command("inspect", captures, *size_flags()[:4]), stdout=writer,
                              stderr=subprocess.PIPE, env=environment(), timeout=WAIT)
    finally:
        os.close(writer)
    assert done.returncode == 128 + signal.SIGPIPE
    assert done.stderr == b""


HOLDER = """
import sys, time
from tuning.cli import folder_lock
with folder_lock.holding(sys.argv[1], "a test holding the folder"):
    print("held", flush=True)
    time.sleep(600)
"""


def test_a_second_run_into_a_folder_in_use_is_refused_until_its_holder_is_gone(tmp_path):
    captures = simulate(tmp_path / "set")
    out = tmp_path / "out"
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(out)], stdout=subprocess.PIPE, text=True,
                              env=environment())
    try:
        assert holder.stdout.readline() == "held\n"
        refused = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
        assert refused.returncode == 1
        assert f"the output folder {out} is in use by another run (process {holder.pid} on " in refused.stderr
        assert "a test holding the folder" in refused.stderr and "Traceback" not in refused.stderr
        assert sorted(p.name for p in out.iterdir()) == [".tunekit.lock"]
        holder.kill()  # dies holding it: the lock file stays behind
        holder.wait(WAIT)
    finally:
        holder.kill()
        holder.stdout.close()
    assert (out / ".tunekit.lock").exists()
    taken_over = tool("blc", "-q", "-i", captures, "-o", out, *size_flags())
    assert taken_over.returncode == 0, taken_over.stderr
    assert read_json(out / "black_level.json")["module"] == "blc"
    assert sorted(p.name for p in out.iterdir()) == ["black_level.json", "tunekit-config.json"]


def test_sigterm_handed_back_as_a_plain_keyboard_interrupt_still_ends_as_terminated(monkeypatch, capsys):
    # A core that stops on a pending signal raises KeyboardInterrupt, whichever signal it was.
    from tuning.cli import main as tool_main, stopping

    def stopped_by_a_core(argv):
        try:
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(5)  # the handler raises here
        except stopping.Terminated:
            raise KeyboardInterrupt() from None

    previous = signal.getsignal(signal.SIGTERM)
    monkeypatch.setattr(tool_main, "_run", stopped_by_a_core)
    monkeypatch.setattr(stopping, "_terminated", False)
    try:
        assert tool_main.main([]) == 143
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert capsys.readouterr().err == "tunekit: terminated\n"


def snapshot(folder):
    """Every file under folder (hidden ones too) with its bytes."""
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def test_a_simulation_stopped_while_writing_leaves_the_earlier_set_and_a_finished_one_keeps_other_files(tmp_path):
    out = tmp_path / "sim"
    small = ["--width", 64, "--height", 48, "--kinds", "dark", "--captures", 1]
    assert tool("simulate", out, *small).returncode == 0
    (out / "captures" / "notes.txt").write_text("bench 3, lens cap on\n")
    before = snapshot(out)
    proc = subprocess.Popen(command("simulate", out, "--width", 1024, "--height", 768, "--seed", 5),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=environment())
    try:
        def new_capture_written():  # a whole one, wherever it is written
            now = snapshot(out)
            return any(before.get(name) != data for name, data in now.items() if not name.endswith(".partial"))
        deadline = time.monotonic() + WAIT
        while not new_capture_written():
            assert proc.poll() is None and time.monotonic() < deadline, "no new capture was written"
            time.sleep(0.01)
        proc.send_signal(signal.SIGTERM)
        status = proc.wait(WAIT)
    finally:
        proc.kill()
    assert status == 143, proc.stderr.read()
    assert snapshot(out) == before  # neither a new capture nor the staging folder, the old truth kept
    assert tool("simulate", out, *small, "--seed", 9).returncode == 0
    after = snapshot(out)
    assert after["captures/notes.txt"] == before["captures/notes.txt"]
    assert sorted(after) == sorted(before)
    assert after["truth.json"] != before["truth.json"]
    assert [name for name in after if after[name] != before[name] and name.startswith("captures/")]
