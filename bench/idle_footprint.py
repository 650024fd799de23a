#!/usr/bin/python3
"""Idle footprint and login round trip of the real fieldhub binary.

fieldhub runs in a fresh simulation root with a real mosquitto on a free
loopback port as its main broker and no other traffic. Once it is connected
the script lets it settle, then samples /proc over the measuring time:

  cpu         user + system time of the process as a share of one core
  wake-ups    voluntary context switches of all threads per second (a thread
              that sleeps in poll() or a timed wait switches once per wake-up)
  rss         VmRSS at the end
  threads     number of threads

and lists the wake-ups per thread, so a thread that steps in short sleeps
shows up. Then it logs in 200 times over the local API (connect, opening
handshake, greeting, login, {"auth":"done"}) and reports the round trip
median and 99th percentile.

Not part of `make test` or `make bench` (it takes a minute and a broker). Run
against a Release build:

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DFIELDHUB_FUZZ=OFF
    cmake --build build-bench -j2 --target fieldhub
    /usr/bin/python3 bench/idle_footprint.py --fieldhub build-bench/fieldhub

Options: --seconds (measuring time, default 60), --settle (default 5),
--logins (default 200), --keep (leave the root for inspection).
"""
import argparse
import base64
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
PASSWORD = "5172839406"  # the default wsc/password


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Process:
    def __init__(self, args, env=None, cwd=None):
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, cwd=cwd)
        self.output = bytearray()
        self.lock = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                break
            with self.lock:
                self.output += chunk
                self.lock.notify_all()

    def wait_for(self, text, timeout):
        deadline = time.monotonic() + timeout
        with self.lock:
            while text.encode() not in self.output:
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise SystemExit(f"timed out waiting for {text!r}:\n{self.output[-3000:].decode(errors='replace')}")
                self.lock.wait(min(left, 0.2))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def thread_switches(pid):
    """Voluntary context switches by thread id, with the thread's name."""
    result = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            status = (task / "status").read_text()
            name = (task / "comm").read_text().strip()
        except OSError:
            continue
        m = re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M)
        if m:
            result[int(task.name)] = (name, int(m.group(1)))
    return result


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


def status_value(pid, key):
    m = re.search(rf"^{key}:\s+(\d+)", Path(f"/proc/{pid}/status").read_text(), re.M)
    return int(m.group(1)) if m else -1


def frame(text):
    """A masked client text frame (RFC 6455, section 5.2)."""
    payload = text.encode()
    mask = os.urandom(4)
    masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    length = len(payload)
    header = bytes([0x81, 0x80 | length]) if length < 126 else bytes([0x81, 0xFE, length >> 8, length & 0xFF])
    return header + mask + masked


def read_until(sock, wanted):
    data = b""
    while wanted not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise SystemExit(f"connection closed before {wanted!r}: {data!r}")
        data += chunk
    return data


def login_once(port):
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        read_until(sock, b"not authorized")
        sock.sendall(frame('{"login":"qtr","password":"%s"}' % PASSWORD))
        read_until(sock, b'{"auth":"done"}')
        elapsed = time.perf_counter() - started
    return elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fieldhub", default=str(SOURCE / "build-bench" / "fieldhub"))
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--settle", type=float, default=5)
    parser.add_argument("--logins", type=int, default=200)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    if shutil.which("mosquitto") is None:
        raise SystemExit("mosquitto is not installed")

    root = Path(tempfile.mkdtemp(prefix="fieldhub-idle-"))
    subprocess.run([str(SOURCE / "sim" / "mkroot"), str(root)], check=True, stdout=subprocess.DEVNULL)
    mqtt_port, ws_port = free_port(), free_port()
    (root / "var" / "mosquitto.conf").write_text(
        f"listener {mqtt_port} 127.0.0.1\nallow_anonymous true\npersistence false\nmessage_size_limit 65536\n")
    (root / "data" / "dps" / "mqtt").write_text(
        '{"main":{"host":"127.0.0.1","user":"","pass":"","port":%d},'
        '"alt":{"host":"","user":"","pass":"","port":0}}' % mqtt_port)
    env = dict(os.environ, FIELDHUB_ROOT=str(root), FIELDHUB_WS_PORT=str(ws_port))
    broker = Process(["mosquitto", "-c", str(root / "var" / "mosquitto.conf")])
    hub = None
    try:
        hub = Process([os.path.abspath(args.fieldhub)], env=env, cwd=str(root))
        hub.wait_for("Done subscribing", 60)
        hub.wait_for("WS started", 10)
        time.sleep(args.settle)
        pid = hub.proc.pid
        before, cpu_before, t_before = thread_switches(pid), cpu_seconds(pid), time.monotonic()
        time.sleep(args.seconds)
        after, cpu_after, t_after = thread_switches(pid), cpu_seconds(pid), time.monotonic()
        span = t_after - t_before
        total = sum(after[t][1] - before[t][1] for t in after if t in before)
        print(f"idle over {span:.0f} s with the broker connected:")
        print(f"  cpu       {100 * (cpu_after - cpu_before) / span:.3f} % of one core")
        print(f"  wake-ups  {total / span:.1f} /s (voluntary context switches, all threads)")
        print(f"  rss       {status_value(pid, 'VmRSS') / 1024:.1f} MB")
        print(f"  threads   {status_value(pid, 'Threads')}")
        print("  per thread (tid name: wake-ups/s):")
        for tid in sorted(after):
            if tid in before:
                name, count = after[tid]
                print(f"    {tid} {name}: {(count - before[tid][1]) / span:.2f}")

        times = [login_once(ws_port) for _ in range(args.logins)]
        times.sort()
        p99 = times[min(len(times) - 1, int(round(0.99 * len(times))) - 1)]
        print(f"login round trip over {len(times)} logins: median {1000 * statistics.median(times):.2f} ms, "
              f"p99 {1000 * p99:.2f} ms")
    finally:
        if hub is not None:
            hub.stop()
        broker.stop()
        if args.keep:
            print(f"root kept: {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
