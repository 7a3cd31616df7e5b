"""Drives pipe_echo through real pipes as a host drives the command server:
each chunk must come back before the next is sent, and closing the pipe must
end the program with status 0 and nothing more on its output.

usage: check_pipe_echo.py COMMAND... (the emulator and the program)
"""
import os
import select
import subprocess
import sys
import time

# The first chunk also waits for wine to start, which takes seconds when the
# prefix's server is cold or 32-bit code runs through qemu.
TIMEOUT_S = 120

CHUNKS = [
    b"[ready]\n",
    b"a" * 999,  # one full read of the server's buffer
    b"line one\r\nline two\r\n",  # CRLF passes through untranslated
    bytes(range(1, 256)),
]


def read_exactly(fd, size):
    received = b""
    deadline = time.monotonic() + TIMEOUT_S
    while len(received) < size:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
            raise AssertionError(f"expected {size} echoed bytes within {TIMEOUT_S} s, found {len(received)}")
        data = os.read(fd, size - len(received))
        if not data:
            raise AssertionError(f"output closed after {len(received)} of {size} echoed bytes")
        received += data
    return received


def main(command):
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        for chunk in CHUNKS:
            proc.stdin.write(chunk)
            proc.stdin.flush()
            echoed = read_exactly(proc.stdout.fileno(), len(chunk))
            if echoed != chunk:
                raise AssertionError(f"echo: expected {chunk[:40]!r}..., found {echoed[:40]!r}...")
        proc.stdin.close()
        rest = proc.stdout.read()
        status = proc.wait(timeout=TIMEOUT_S)
        errors = proc.stderr.read().decode(errors="replace")
    finally:
        if proc.poll() is None:
            proc.kill()
    sys.stdout.write(errors)
    if rest:
        raise AssertionError(f"after end of input: expected no more output, found {rest[:40]!r}")
    if status != 0:
        raise AssertionError(f"exit status after end of input: expected 0, found {status}")
    print(f"{len(CHUNKS)} chunks echoed through pipes, exit status 0 after end of input")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1:])
