"""Drives the built calvane program through real pipes, as the tuning
application does.

CALVANE_BINARY names the program; CALVANE_LAUNCHER, when set, is a command
prefix (for instance a Windows emulator) put in front of it.
"""
import os
import shlex
import signal
import subprocess
import threading
import time

import pytest

BINARY = os.environ.get("CALVANE_BINARY", "")
LAUNCHER = shlex.split(os.environ.get("CALVANE_LAUNCHER", ""))
TIMEOUT = 30.0 if LAUNCHER else 10.0

READY = b"[ready]\n"
ACK = b" OK\n"
MODULES = ["awb", "blc", "cac", "cc", "lsc", "nc", "xg"]
RUNTIME_FAILED = "Matlab Initialize Application Failed."
INIT_FAILED = "Orvel Calibration Tool DLL Initialize failed."

pytestmark = pytest.mark.skipif(not BINARY, reason="CALVANE_BINARY is not set")


def host_path(path):
    """The path as the server sees it (a drive path under an emulator)."""
    path = str(path)
    return "Z:" + path.replace("/", "\\") if LAUNCHER else path


def read_text(path):
    with open(path) as f:
        return f.read()


class Server:
    """One running server with a background reader of its standard output."""

    def __init__(self, tmp_path, collect=True, **variables):
        self.journal_path = tmp_path / "journal.txt"
        env = {k: v for k, v in os.environ.items() if not k.startswith("CALVIX_")}
        env["CALVIX_JOURNAL"] = host_path(self.journal_path)
        env.update(variables)
        self.proc = subprocess.Popen(
            LAUNCHER + [BINARY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=env, bufsize=0)
        self.output = bytearray()
        self.cursor = 0
        self.closed = False
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._collect, daemon=True)
        if collect:
            self.reader.start()

    def _collect(self):
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            with self.changed:
                if not data:
                    self.closed = True
                else:
                    self.output += data
                self.changed.notify_all()
            if not data:
                return

    def expect(self, data):
        """Waits for `data` as the next output bytes and consumes them."""
        end = self.cursor + len(data)
        with self.changed:
            self.changed.wait_for(lambda: len(self.output) >= end or self.closed, TIMEOUT)
            found = bytes(self.output[self.cursor:end])
        assert found == data, (f"expected {data!r} at output offset {self.cursor}, found {found!r}"
                               f"{self._ending()}")
        self.cursor = end

    def _ending(self):
        """How the server ended, when its output closed early: its status and what it wrote to stderr."""
        if not self.closed:
            return f"; after {TIMEOUT:g} s the server still runs: {self._threads()}"
        try:
            status = self.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            return "; output closed, the server still runs"
        return f"; the server ended with status {status}, stderr: {self.proc.stderr.read()!r}"

    def _threads(self):
        """Each thread's state and the kernel call it waits in, where /proc shows them."""
        states = []
        try:
            for tid in sorted(os.listdir(f"/proc/{self.proc.pid}/task")):
                stat = read_text(f"/proc/{self.proc.pid}/task/{tid}/stat").rsplit(")", 1)[1].split()[0]
                wchan = read_text(f"/proc/{self.proc.pid}/task/{tid}/wchan")
                states.append(f"thread {tid} {stat} in {wchan or '-'}")
        except OSError as error:
            return f"its threads cannot be read ({error})"
        return ", ".join(states)

    def expect_line(self):
        """Waits for and consumes the next complete line."""
        with self.changed:
            self.changed.wait_for(lambda: b"\n" in self.output[self.cursor:] or self.closed,
                                  TIMEOUT)
            end = self.output.find(b"\n", self.cursor) + 1
            assert end > 0, f"expected a line, found {bytes(self.output[self.cursor:])!r}"
            line = bytes(self.output[self.cursor:end])
        self.cursor = end
        return line

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def command(self, data):
        """Sends one chunk and waits for its echo and acknowledgement, so
        that the next chunk is a read of its own."""
        self.send(data)
        self.expect(data + ACK)

    def exit(self):
        """Sends "[exit]" and returns the status and what followed the
        acknowledgement."""
        self.command(b"[exit]")
        status = self.proc.wait(TIMEOUT)
        self.reader.join(TIMEOUT)
        return status, bytes(self.output[self.cursor:])

    def journal(self):
        if not self.journal_path.exists():
            return []
        return self.journal_path.read_text().splitlines()

    def cpu_seconds(self):
        fields = read_text(f"/proc/{self.proc.pid}/stat").rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass


@pytest.fixture
def start(tmp_path):
    servers = []

    def make(**variables):
        server = Server(tmp_path, **variables)
        servers.append(server)
        server.expect(READY)
        return server

    yield make
    for server in servers:
        server.kill()


def loads(*modules):
    return ["preload suit"] + [f"load {m}" for m in modules]


# --- start-up ---------------------------------------------------------------

def test_preload_is_done_before_ready(start):
    # The journal line is written when the call has finished; slowing the
    # call down makes an early "[ready]" show.
    server = start(CALVIX_DELAY_MS="300")
    assert server.journal() == ["preload suit"]
    status, _ = server.exit()
    assert status == 0
    assert server.journal() == ["preload suit"]


@pytest.mark.parametrize("variables, message", [
    ({"CALVIX_FAIL_INIT": "1"}, INIT_FAILED),
    ({"CALVIX_FAIL_RUNTIME": "1"}, RUNTIME_FAILED),
    ({"CALVIX_THROW_MODULE": "suit"}, "preload failed"),
    ({"CALVIX_LIBRARY": "/nonexistent/calvix-library"}, "calvix-library"),
])
def test_startup_failure_writes_nothing_to_stdout(tmp_path, variables, message):
    env = {k: v for k, v in os.environ.items() if not k.startswith("CALVIX_")}
    env.update(variables)
    env["CALVIX_JOURNAL"] = host_path(tmp_path / "journal.txt")
    done = subprocess.run(LAUNCHER + [BINARY], input=b"[awb]\n", capture_output=True,
                          env=env, timeout=TIMEOUT)
    assert done.returncode != 0
    assert done.stdout == b""
    assert message in done.stderr.decode(errors="replace")
    journal = tmp_path / "journal.txt"
    assert not journal.exists() or "load awb" not in journal.read_text()


# --- the command table ------------------------------------------------------

def test_burst_of_every_module_is_served_in_order(start):
    server = start()
    for module in MODULES:
        server.command(f"[{module}]".encode())
    status, _ = server.exit()
    assert status == 0
    assert server.journal() == loads(*MODULES)


# Each chunk is sent as a read of its own; the journal shows which calls ran.
@pytest.mark.parametrize("chunks, modules", [
    pytest.param([b"[blc]\r\n"], ["blc"], id="crlf-marker"),
    pytest.param([b"[lsc][awb]"], ["awb"], id="table-order-over-text-order"),
    pytest.param([b"[cac]", b"[cc]"], ["cac", "cc"], id="cac-is-not-cc"),
    pytest.param([b"hello, no command here\n", b"[nc]"], ["nc"], id="no-marker"),
    pytest.param([b"." * 995 + b"[xg]"], ["xg"], id="full-999-byte-chunk"),
    pytest.param([b"[bl", b"c]"], [], id="marker-split-across-reads"),
])
def test_chunks_run_the_commands_of_the_table(start, chunks, modules):
    server = start()
    for chunk in chunks:
        server.command(chunk)
    status, _ = server.exit()
    assert status == 0
    assert server.journal() == loads(*modules)


def test_exit_with_another_marker_only_shuts_down(start):
    server = start()
    server.command(b"[awb][exit]\n")
    assert server.proc.wait(TIMEOUT) == 0
    assert server.journal() == loads()


# --- chunks -----------------------------------------------------------------

def test_input_longer_than_a_chunk_is_served_as_two_reads(start):
    # One write of 1200 bytes arrives as a 999-byte read and a 201-byte read:
    # "[awb]" lies inside the first, "[cc]" straddles the boundary, and the
    # second read must not see the tail of the first.
    server = start()
    data = b"." * 990 + b"[awb]" + b".." + b"[cc]" + b"," * 199
    assert len(data) == 1200
    server.send(data)
    server.expect(data[:999] + ACK)
    server.expect(data[999:] + ACK)
    server.exit()
    assert server.journal() == loads("awb")


def test_marker_split_across_two_reads_is_not_recognised(start):
    server = start()
    server.command(b"[bl")
    server.command(b"c]")
    server.exit()
    assert server.journal() == loads()


def test_chunk_text_is_copied_plainly_to_the_buffered_stream(start):
    # Printf directives must come out as typed; the buffered copy of every
    # chunk reaches the host when the process ends.
    server = start()
    server.command(b"%s%n%s%n%x")
    status, tail = server.exit()
    assert status == 0
    assert tail == b"%s%n%s%n%x[exit]"


# --- library failures and slow calls ----------------------------------------

def test_failing_call_is_reported_and_the_next_command_served(start):
    server = start(CALVIX_THROW_MODULE="lsc")
    server.command(b"[lsc]")
    line = server.expect_line()
    assert line.startswith(b"[error] load lsc: ") and line.count(b"\n") == 1
    server.command(b"[awb]")
    status, _ = server.exit()
    assert status == 0
    assert server.journal() == loads("lsc", "awb")


def test_command_sent_during_a_slow_call_is_served_after_it(start):
    server = start(CALVIX_DELAY_MS="400")
    server.command(b"[awb]")
    server.send(b"[blc]")  # the awb call is still running
    server.expect(b"[blc]" + ACK)
    # The second chunk was read only after the first call had finished: the
    # awb call is in the journal by the time blc is acknowledged (whether the
    # blc call has finished too depends on scheduling, so it is not checked).
    assert server.journal()[:2] == loads("awb")
    server.exit()
    assert server.journal() == loads("awb", "blc")


# --- shutdown ---------------------------------------------------------------

def test_end_of_input_shuts_down(start):
    server = start()
    server.command(b"[cc]")
    server.proc.stdin.close()
    assert server.proc.wait(TIMEOUT) == 0
    server.reader.join(TIMEOUT)
    assert server.closed
    assert server.journal() == loads("cc")


def test_host_gone_ends_the_server_without_running_the_command(tmp_path):
    server = Server(tmp_path, collect=False)
    try:
        assert os.read(server.proc.stdout.fileno(), len(READY)) == READY
        server.proc.stdout.close()
        server.send(b"[awb]")
        assert server.proc.wait(TIMEOUT) == 0
        assert server.journal() == loads()
    finally:
        server.kill()


@pytest.mark.skipif(bool(LAUNCHER), reason="an emulator hands the program streams of its own")
def test_standard_streams_left_closed_are_an_end_of_input_and_a_sink(tmp_path):
    # A closed descriptor 0 must not become the server's own close-request pipe, which the reader
    # would then wait on for ever.
    env = {k: v for k, v in os.environ.items() if not k.startswith("CALVIX_")}
    env["CALVIX_JOURNAL"] = str(tmp_path / "journal.txt")
    without_input = subprocess.run([BINARY], stdin=subprocess.DEVNULL, capture_output=True, env=env,
                                   timeout=TIMEOUT, preexec_fn=lambda: os.close(0))
    assert (without_input.returncode, without_input.stdout) == (0, READY), without_input.stderr
    reader, writer = os.pipe()
    os.write(writer, b"[awb]\n")
    os.close(writer)
    try:
        without_output = subprocess.run([BINARY], stdin=reader, capture_output=True, env=env, timeout=TIMEOUT,
                                        preexec_fn=lambda: os.close(1))
    finally:
        os.close(reader)
    assert (without_output.returncode, without_output.stderr) == (0, b"")
    assert read_text(tmp_path / "journal.txt").splitlines() == ["preload suit", "preload suit", "load awb"]


# --- signals: every close is the same orderly one ----------------------------

SIGNALS = [getattr(signal, name) for name in ("SIGTERM", "SIGINT", "SIGHUP") if hasattr(signal, name)]
needs_signals = pytest.mark.skipif(bool(LAUNCHER), reason="signals reach the emulator, not the program")


@needs_signals
@pytest.mark.parametrize("number", SIGNALS, ids=lambda n: signal.Signals(n).name)
def test_termination_signal_shuts_down_while_idle(start, number):
    server = start()
    server.proc.send_signal(number)
    assert server.proc.wait(TIMEOUT) == 0


@needs_signals
@pytest.mark.parametrize("number", SIGNALS, ids=lambda n: signal.Signals(n).name)
def test_termination_signal_during_a_call_lets_it_finish_as_exit_does(start, number):
    # The host saw the acknowledgement: the call must end in the journal, as
    # it does when "[exit]" or the end of input follows it; a chunk sent
    # after the signal is not taken.
    server = start(CALVIX_DELAY_MS="800")
    server.command(b"[awb]")
    server.proc.send_signal(number)
    time.sleep(0.2)
    server.send(b"[blc]")
    assert server.proc.wait(TIMEOUT) == 0
    server.reader.join(TIMEOUT)
    assert server.journal() == loads("awb")
    assert b"[blc]" not in bytes(server.output[server.cursor:])


@needs_signals
@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc to see the library loaded")
@pytest.mark.parametrize("number", SIGNALS, ids=lambda n: signal.Signals(n).name)
def test_termination_signal_during_start_up_closes_in_order(tmp_path, number):
    # Sent while the preload runs: the process ends by its own exit, never
    # by the signal, and the preload is not cut short.
    server = Server(tmp_path, CALVIX_DELAY_MS="600")
    try:
        # Once the library is mapped the preload is under way.
        deadline = time.monotonic() + TIMEOUT
        while "calvix" not in read_text(f"/proc/{server.proc.pid}/maps"):
            assert time.monotonic() < deadline, "the library was never loaded"
            time.sleep(0.01)
        server.proc.send_signal(number)
        assert server.proc.wait(TIMEOUT) == 0
        assert server.journal() == ["preload suit"]
    finally:
        server.kill()


def test_idle_server_does_not_spin(start):
    server = start()
    server.command(b"[awb]")
    before = server.cpu_seconds()
    time.sleep(1.0)
    used = server.cpu_seconds() - before
    assert used < 0.05, f"idle server used {used:.3f} s of CPU in 1 s"
    server.exit()
