#!/usr/bin/python3
"""The modem thread of the real fieldhub against sim/modem.py.

1. Idle: fieldhub connected to a local mosquitto, the modem identified; the
   CPU time of the "Sim800" thread (/proc/<pid>/task/<tid>/stat) over
   --idle seconds (default 60). Target: below 0.1 % of a core.
2. Relay: the broker is stopped, fieldhub fails over to GPRS, dials, and
   runs a pppd of this script's own (it counts what it reads from its
   terminal and first writes --bytes bytes to it). Reported: bytes/s
   pppd -> channel 2 (counted by the modem simulator in data mode) and
   channel 2 -> pppd (the simulator floods --bytes bytes in 127-byte frames).
   A pseudo-terminal carries no line speed: these are what the relay itself
   manages; the modem line at 460800 baud carries at most 46 kB/s.

    bench/modem.py [--fieldhub BUILD/fieldhub] [--idle 60] [--bytes 1000000]

The decoder's throughput from memory and through a pseudo-terminal is
bench/bench_modem.cpp (make bench).
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]

BENCH_PPPD = r'''#!/usr/bin/python3
import os, sys, termios, time, tty
root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
tty.setraw(0)
attributes = termios.tcgetattr(0)
attributes[3] &= ~termios.ECHO
termios.tcsetattr(0, termios.TCSANOW, attributes)
with open(os.path.join(root, "var", "run", "ppp0.pid"), "w") as f:
    f.write(str(os.getpid()))
count = int(open(os.path.join(root, "var", "pppd.send")).read())
block = bytes(range(256)) * 4
sent = 0
while sent < count:
    sent += os.write(1, block[:min(len(block), count - sent)])
received, first, last, written = 0, 0.0, 0.0, 0.0
while True:
    data = os.read(0, 65536)
    if not data:
        break
    now = time.monotonic()
    if not received:
        first = now
    received += len(data)
    last = now
    if now - written > 0.1 or received >= count:
        with open(os.path.join(root, "var", "ppp0.count.new"), "w") as f:
            f.write(f"{received} {first:.6f} {last:.6f}")
        os.rename(os.path.join(root, "var", "ppp0.count.new"), os.path.join(root, "var", "ppp0.count"))
        written = now
'''


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Process:
    """A child whose output lines are collected by a thread."""

    def __init__(self, args, env=None, stdin=False):
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     stdin=subprocess.PIPE if stdin else subprocess.DEVNULL, env=env,
                                     errors="replace")
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait_for(self, text, timeout, start=0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for index in range(start, len(self.lines)):
                    if text in self.lines[index]:
                        return index, self.lines[index]
                if time.monotonic() > deadline:
                    raise SystemExit(f"timed out waiting for {text!r}")
                self.cond.wait(0.2)

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()


def thread_cpu(pid, name):
    """Seconds on a CPU (schedstat, in nanoseconds) and wake-ups (voluntary
    context switches) of the thread so named."""
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            if open(f"/proc/{pid}/task/{task}/comm").read().strip() == name:
                runtime = int(open(f"/proc/{pid}/task/{task}/schedstat").read().split()[0]) / 1e9
                status = open(f"/proc/{pid}/task/{task}/status").read()
                switches = int(status.split("voluntary_ctxt_switches:")[1].split()[0])
                return runtime, switches
        except OSError:
            pass
    raise SystemExit(f"no thread named {name}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fieldhub", default=str(SOURCE / "build-bench" / "fieldhub"))
    parser.add_argument("--idle", type=float, default=60.0)
    parser.add_argument("--bytes", type=int, default=1000000)
    args = parser.parse_args()
    if shutil.which("mosquitto") is None:
        raise SystemExit("mosquitto is not installed")

    workdir = Path(tempfile.mkdtemp(prefix="fieldhub-modem-bench."))
    root = workdir / "root"
    subprocess.run([str(SOURCE / "sim" / "mkroot"), str(root)], check=True, stdout=subprocess.DEVNULL)
    pppd = root / "usr" / "sbin" / "pppd"
    pppd.write_text(BENCH_PPPD)
    pppd.chmod(0o755)
    (root / "var" / "run").mkdir(parents=True, exist_ok=True)
    (root / "var" / "pppd.send").write_text(str(args.bytes))
    port = free_port()
    conf = workdir / "mosquitto.conf"
    conf.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    broker = subprocess.Popen(["mosquitto", "-c", str(conf)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    group = {"main": {"host": "127.0.0.1", "user": "", "pass": "", "port": port},
             "alt": {"host": "", "user": "", "pass": "", "port": 0}}
    (root / "data" / "dps" / "mqtt").write_text(json.dumps(group, separators=(",", ":")))
    modem = Process([sys.executable, str(SOURCE / "sim" / "modem.py"), str(root)], stdin=True)
    modem.wait_for("ready", 10)
    env = dict(os.environ, FIELDHUB_ROOT=str(root), FIELDHUB_WS_PORT=str(free_port()),
               FIELDHUB_PULT_PORT=str(free_port()), ASAN_OPTIONS="detect_leaks=0")
    hub = Process([args.fieldhub], env=env)
    try:
        hub.wait_for("Got IMEI", 30)
        hub.wait_for("Done subscribing", 30)
        pid = hub.proc.pid
        before, wakes_before = thread_cpu(pid, "Sim800")
        started = time.monotonic()
        time.sleep(args.idle)
        after, wakes_after = thread_cpu(pid, "Sim800")
        used = after - before
        elapsed = time.monotonic() - started
        print(f"Sim800 thread idle: {used * 1e3:.1f} ms CPU in {elapsed:.1f} s = {100 * used / elapsed:.4f} % of a core, "
              f"{(wakes_after - wakes_before) / elapsed:.2f} wake-ups/s")

        broker.terminate()
        broker.wait(timeout=10)
        hub.wait_for("Creating new PPPD process", 120)
        # pppd -> channel 2, counted by the simulator.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            mark = len(modem.lines)
            modem.command("stats")
            _, line = modem.wait_for("stats data=", 5, mark)
            fields = dict(part.split("=") for part in line.split()[1:])
            if int(fields["data"]) >= args.bytes:
                break
            time.sleep(0.2)
        data, first, last = int(fields["data"]), float(fields["first"]), float(fields["last"])
        print(f"pppd -> channel 2: {data} bytes in {last - first:.3f} s = {data / max(last - first, 1e-6) / 1e3:.0f} kB/s")
        # channel 2 -> pppd, counted by the bench pppd.
        modem.command(f"flood {args.bytes}")
        count_file = root / "var" / "ppp0.count"
        deadline = time.monotonic() + 60
        received = 0
        while time.monotonic() < deadline:
            if count_file.exists():
                received, first, last = (float(x) for x in count_file.read_text().split())
                if received >= args.bytes:
                    break
            time.sleep(0.2)
        print(f"channel 2 -> pppd: {int(received)} of {args.bytes} bytes in {last - first:.3f} s = "
              f"{received / max(last - first, 1e-6) / 1e3:.0f} kB/s")
    finally:
        hub.stop()
        modem.stop()
        if broker.poll() is None:
            broker.terminate()
        pid_file = root / "var" / "run" / "ppp0.pid"
        if pid_file.exists():
            try:
                os.kill(int(pid_file.read_text()), 15)
            except (OSError, ValueError):
                pass
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
