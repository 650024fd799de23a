#!/usr/bin/python3
"""RS485 exchanges and poll rounds of the real fieldhub against the meter
simulator (sim/rs485.py) at 9600 baud.

Exchanges: four Mercury 236 meters, two per line, polled until more than
1,000 exchanges have passed. Reported: fieldhub's CPU time per exchange (the
process's utime + stime from /proc, also net of its idle rate measured
beforehand; target under 5 ms), and the wall-clock overhead of an exchange
beyond its line time (the time from one request to the next request of the
same poll, less the request's and the answer's bytes at 10 bits each), as
median and 99th percentile. The floor of that overhead is set by the I/O
thread's own pauses: up to one 5 ms pass until the answer is seen, 1 ms to
collect it and 10 ms after handing it over.

Poll rounds: N = 1, 16 and 64 meters (Mercury 236 and 206 alternating, split
over both lines), poll interval 0 (a slot per second). Per round: its wall
time against the summed line time of its exchanges, fieldhub's CPU time, and
the resident set size at each round start, over --rounds rounds.

    bench/rs485_round.py [--fieldhub BUILD/fieldhub] [--rounds 10] [--only exchanges|rounds]

Build the binary first:
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DFIELDHUB_FUZZ=OFF && cmake --build build-bench -j2 --target fieldhub

Not part of the test run: with 10 rounds it takes about 20 minutes, most of
it the slots of the 64-meter rounds.
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
PYTHON = "/usr/bin/python3" if Path("/usr/bin/python3").exists() else sys.executable
BITS_PER_BYTE = 10
BAUD = 9600
TICK = os.sysconf("SC_CLK_TCK")


def default_fieldhub():
    for build in ("build-bench", "build-demo", "build"):
        candidate = SOURCE / build / "fieldhub"
        if candidate.exists():
            return str(candidate)
    return str(SOURCE / "build-bench" / "fieldhub")


class Lines:
    """A process's output lines, read by a thread so the pipe never fills."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.cond.notify_all()

    def snapshot(self):
        with self.cond:
            return list(self.lines)

    def wait(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate(self.lines):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise SystemExit(f"timed out waiting for {what}:\n" + "\n".join(self.lines[-20:]))
                self.cond.wait(remaining)


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


class Site:
    """A fresh root, the simulator with its meters, and fieldhub."""

    def __init__(self, fieldhub, meters):
        self.root = Path(tempfile.mkdtemp(prefix="rs485-bench-"))
        subprocess.run([str(SOURCE / "sim" / "mkroot"), str(self.root)], check=True, stdout=subprocess.DEVNULL)
        (self.root / "data" / "dps" / "rs485").write_text(json.dumps({"poll": bool(meters), "poll_interval": 0}))
        args = [PYTHON, str(SOURCE / "sim" / "rs485.py"), str(self.root), "--store"]
        for meter in meters or [{"model": "236", "line": 1, "serial": 1}]:
            args += ["--meter", ",".join(f"{k}={v}" for k, v in meter.items())]
        if not meters:
            args.remove("--store")
        self.sim = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.sim_lines = Lines(self.sim.stdout)
        self.hub = None
        try:
            self.start_hub(fieldhub)
        except BaseException:
            self.close()
            raise

    def start_hub(self, fieldhub):
        self.sim_lines.wait(lambda lines: "ready" in lines, 10, "the simulator")
        env = dict(os.environ, FIELDHUB_ROOT=str(self.root), FIELDHUB_WS_PORT=str(free_port()),
                   FIELDHUB_PULT_PORT=str(free_port()))
        self.hub = subprocess.Popen([fieldhub], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                                    cwd=str(self.root))
        self.hub_lines = Lines(self.hub.stdout)
        self.hub_lines.wait(lambda lines: any("serial devices" in line for line in lines), 15, "fieldhub's store count")

    def exchanges(self):
        """(line, request time, request bytes, answer bytes) per answered request."""
        pending = {}
        done = []
        for words in (line.split() for line in self.sim_lines.snapshot()):
            if not words:
                continue
            if words[0] == "rx":
                pending[words[1]] = (float(words[3]), len(words[4]) // 2)
            elif words[0] == "tx" and words[1] in pending:
                started, request = pending.pop(words[1])
                done.append((words[1], started, request, len(words[5]) // 2))
        return done

    def close(self):
        for proc in (self.hub, self.sim):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def line_time(request, answer):
    return (request + answer) * BITS_PER_BYTE / BAUD


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def idle_rate(fieldhub, seconds=10.0):
    site = Site(fieldhub, [])
    try:
        time.sleep(1.0)
        before, began = cpu_seconds(site.hub.pid), time.monotonic()
        time.sleep(seconds)
        return (cpu_seconds(site.hub.pid) - before) / (time.monotonic() - began)
    finally:
        site.close()


def bench_exchanges(fieldhub, minimum=1000):
    idle = idle_rate(fieldhub)
    meters = [{"model": "236", "line": 1 + i % 2, "serial": 12345600 + 11 * i + 1, "dev_id": i + 1} for i in range(4)]
    site = Site(fieldhub, meters)
    try:
        site.sim_lines.wait(lambda lines: any(line.startswith("tx ") for line in lines), 30, "the first answer")
        cpu_start, wall_start = cpu_seconds(site.hub.pid), time.monotonic()
        first = len(site.exchanges())
        site.sim_lines.wait(lambda lines: sum(1 for line in lines if line.startswith("tx ")) >= first + minimum,
                            600, f"{minimum} exchanges")
        cpu_used, wall_used = cpu_seconds(site.hub.pid) - cpu_start, time.monotonic() - wall_start
        exchanges = site.exchanges()
        count = len(exchanges) - first
        overheads = []
        by_line = {}
        for line, started, request, answer in exchanges:
            by_line.setdefault(line, []).append((started, request, answer))
        for items in by_line.values():
            for (started, request, answer), (following, _, _) in zip(items, items[1:]):
                gap = following - started - line_time(request, answer)
                if gap < 0.5:  # within one poll; the next poll starts a slot later
                    overheads.append(gap * 1000.0)
        return {
            "exchanges": count,
            "cpu_ms_per_exchange": cpu_used / count * 1000.0,
            "cpu_ms_per_exchange_net_of_idle": max(0.0, cpu_used - idle * wall_used) / count * 1000.0,
            "idle_cpu_share": idle,
            "overhead_ms_median": statistics.median(overheads),
            "overhead_ms_p99": percentile(overheads, 0.99),
            "overhead_samples": len(overheads),
        }
    finally:
        site.close()


def channel_test_frame(address):
    body = bytes([address, 0x00])
    crc = 0xFFFF
    for byte in body:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return (body + bytes([crc & 0xFF, crc >> 8])).hex().upper()


def bench_rounds(fieldhub, count, rounds):
    meters = []
    for i in range(count):
        model = "236" if i % 2 == 0 else "206"
        # Mercury 236 addresses i + 1 (1 to 64): one per meter on its line.
        serial = 31000000 + 1000 * i + i + 1 if model == "236" else 30000000 + i
        meters.append({"model": model, "line": 1 + (i // 2) % 2, "serial": serial, "dev_id": i + 1})
    # A round begins with the channel test of meter 0 (a Mercury 236, address 1).
    first_request = channel_test_frame(1)
    site = Site(fieldhub, meters)
    try:
        samples = []  # cpu and rss when each round start was seen
        for number in range(rounds + 1):
            site.sim_lines.wait(lambda lines: sum(1 for line in lines if line.startswith("rx 1 ") and
                                                  line.endswith(" " + first_request)) > number,
                                60 + 3 * count, f"round {number + 1}")
            samples.append((cpu_seconds(site.hub.pid), rss_kib(site.hub.pid)))
        lines = [line.split() for line in site.sim_lines.snapshot()]
        starts = [float(words[3]) for words in lines if words[:2] == ["rx", "1"] and words[4] == first_request]
        exchanges = site.exchanges()
        results = []
        for index, (t0, t1) in enumerate(zip(starts, starts[1:rounds + 1])):
            inside = [e for e in exchanges if t0 <= e[1] < t1]
            results.append({"wall_s": t1 - t0, "line_s": sum(line_time(e[2], e[3]) for e in inside),
                            "cpu_s": samples[index + 1][0] - samples[index][0]})
        rss = [sample[1] for sample in samples]
        return {
            "meters": count,
            "rounds": len(results),
            "round_wall_s_median": statistics.median(r["wall_s"] for r in results),
            "round_line_time_s": statistics.median(r["line_s"] for r in results),
            "round_cpu_s_median": statistics.median(r["cpu_s"] for r in results),
            "rss_kib_first": rss[0],
            "rss_kib_last": rss[-1],
            "rss_kib_max": max(rss),
        }
    finally:
        site.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fieldhub", default=default_fieldhub())
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--only", choices=("exchanges", "rounds"))
    args = parser.parse_args()
    if not Path(args.fieldhub).exists():
        raise SystemExit(f"{args.fieldhub} is missing; build it first (see --help)")
    args.fieldhub = str(Path(args.fieldhub).resolve())
    print(f"fieldhub: {args.fieldhub}")
    if args.only in (None, "exchanges"):
        result = bench_exchanges(args.fieldhub)
        print("exchanges at 9600 baud: {exchanges}; CPU per exchange {cpu_ms_per_exchange:.2f} ms "
              "({cpu_ms_per_exchange_net_of_idle:.2f} ms net of the idle {idle_cpu_share:.1%} of a core); "
              "overhead beyond the line time: median {overhead_ms_median:.1f} ms, p99 {overhead_ms_p99:.1f} ms "
              "({overhead_samples} gaps)".format(**result))
    if args.only in (None, "rounds"):
        for count in (1, 16, 64):
            result = bench_rounds(args.fieldhub, count, args.rounds)
            print("{meters:2d} meters: round {round_wall_s_median:.1f} s (line time {round_line_time_s:.2f} s), "
                  "CPU {round_cpu_s_median:.3f} s per round; RSS over {rounds} rounds {rss_kib_first} -> "
                  "{rss_kib_last} KiB (max {rss_kib_max})".format(**result), flush=True)


if __name__ == "__main__":
    main()
