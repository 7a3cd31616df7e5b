#!/usr/bin/python3
"""Measures calvane through real pipes and prints figures; never fails.

  exit latency      time from writing "[exit]" until the process has ended
  commands/second   commands served back to back, each sent when the
                    previous one was acknowledged (so each is its own read)
  idle CPU          CPU time the server uses over one second of waiting

Usage: calvane_bench.py [path/to/calvane]   (default: CALVANE_BINARY or
build/calvane/calvane); CALVANE_LAUNCHER is an optional command prefix.
"""
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

EXIT_RUNS = 15
COMMANDS = 40
MODULES = [b"awb", b"blc", b"cac", b"cc", b"lsc", b"nc", b"xg"]


def start(binary, launcher, journal):
    env = {k: v for k, v in os.environ.items() if not k.startswith("CALVIX_")}
    env["CALVIX_JOURNAL"] = journal
    proc = subprocess.Popen(launcher + [binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=env, bufsize=0)
    read_exactly(proc, len(b"[ready]\n"))
    return proc


def read_exactly(proc, count):
    data = b""
    while len(data) < count:
        chunk = os.read(proc.stdout.fileno(), count - len(data))
        if not chunk:
            raise RuntimeError(f"server ended early after {data!r}")
        data += chunk
    return data


def send_and_wait_ack(proc, chunk):
    proc.stdin.write(chunk)
    read_exactly(proc, len(chunk) + len(b" OK\n"))


def exit_latency_ms(binary, launcher, journal):
    proc = start(binary, launcher, journal)
    begin = time.perf_counter()
    proc.stdin.write(b"[exit]")
    proc.wait()
    elapsed = time.perf_counter() - begin
    proc.stdout.close()
    proc.stdin.close()
    return elapsed * 1000.0


def commands_per_second(binary, launcher, journal):
    proc = start(binary, launcher, journal)
    begin = time.perf_counter()
    for i in range(COMMANDS):
        send_and_wait_ack(proc, b"[" + MODULES[i % len(MODULES)] + b"]")
    # The last command is complete once the next read is served.
    send_and_wait_ack(proc, b"sync")
    elapsed = time.perf_counter() - begin
    send_and_wait_ack(proc, b"[exit]")
    proc.wait()
    return COMMANDS / elapsed


def idle_cpu_seconds(binary, launcher, journal):
    proc = start(binary, launcher, journal)
    usage = lambda: sum(int(f) for f in open(f"/proc/{proc.pid}/stat").read()
                        .rsplit(")", 1)[1].split()[11:13]) / os.sysconf("SC_CLK_TCK")
    before = usage()
    time.sleep(1.0)
    used = usage() - before
    send_and_wait_ack(proc, b"[exit]")
    proc.wait()
    return used


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.environ.get(
        "CALVANE_BINARY", "build/calvane/calvane")
    launcher = shlex.split(os.environ.get("CALVANE_LAUNCHER", ""))
    with tempfile.TemporaryDirectory() as work:
        journal = os.path.join(work, "journal.txt")
        latencies = [exit_latency_ms(binary, launcher, journal) for _ in range(EXIT_RUNS)]
        rate = commands_per_second(binary, launcher, journal)
        idle = idle_cpu_seconds(binary, launcher, journal)
    print(f"calvane: {binary}")
    print(f"exit latency after [exit] ({EXIT_RUNS} runs): min {min(latencies):.1f} ms, "
          f"median {statistics.median(latencies):.1f} ms, max {max(latencies):.1f} ms")
    print(f"commands per second ({COMMANDS} commands, each acknowledged before the next): "
          f"{rate:.2f}/s ({1000.0 / rate:.1f} ms per command; the server pauses 100 ms "
          f"after each read)")
    print(f"idle CPU over 1 s: {idle * 1000.0:.0f} ms")


if __name__ == "__main__":
    try:
        main()
    except Exception as error:  # a benchmark reports, it never fails a build
        print(f"calvane_bench: could not measure: {error}")
