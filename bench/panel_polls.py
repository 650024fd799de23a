#!/usr/bin/python3
"""Register polls of a full installation: the real fieldhub binary against
the panel simulator (sim/panel.py's Installation and Runner, in this
process) on the simulated CAN bus.

250 nodes of the 250-node layout, 4 radio devices each, digests every 3 s
so that every node stays alive. The simulator stamps each request it
receives and answers at the pace of a 1 Mbit/s bus: one answer every
0.2 ms (--gap), the bus time of an 8-byte answer (about 131 bits) and of
its request without data (about 67 bits); the digests share that pace.
--gap 0 answers as fast as the host allows, which measures the host more
than the firmware: the faster the answers come, the larger the share of
the wall time fieldhub is busy. Requests come in passes, one second apart;
a gap of more than 0.6 s without a request ends a pass. For each pass:

  wall      first request to last request of the pass
  CPU       fieldhub's user + system time over that span (/proc/<pid>/stat,
            sampled at most every 20 ms while requests come)
  frames    requests received (the answers are as many)
  timeouts  "IO timeout" lines fieldhub logged meanwhile (target 0)

The first pass reads every node's configuration; the full refresh at its
end (the first pass always refreshes) makes the second one read it again;
the third is a steady pass (hubs, power, the used-devices words and the
radio devices of every node). Target: fieldhub's CPU at most 25% of a
steady pass's wall time.

Not part of `make test` or `make bench` (the two configuration passes take
several minutes). Run:

    /usr/bin/python3 bench/panel_polls.py --fieldhub build-bench/fieldhub
    /usr/bin/python3 bench/panel_polls.py --fieldhub build/fieldhub --nodes 20

Options: --nodes (default 250), --devices (default 4), --passes (default 3),
--gap milliseconds between the simulator's frames (default 0.2), --keep
(leave the root and fieldhub's log). Exit status 0 when the steady pass met
the target without an IO timeout.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "sim"))
import panel as panel_sim  # noqa: E402
from canbus import Endpoint, bus_path  # noqa: E402

PASS_GAP = 0.6
SAMPLE_SECONDS = 0.02
TICKS = os.sysconf("SC_CLK_TCK")


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """User + system time of a process; fields 14 and 15 of its stat line."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class Pass:
    def __init__(self, at, cpu):
        self.first = self.last = at
        self.cpu_first = self.cpu_last = cpu
        self.requests = 0
        self.timeouts = 0


class StampedInstallation(panel_sim.Installation):
    """Counts the gateway's requests into passes as they arrive."""

    def __init__(self, pid, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.pid = pid
        self.passes = []
        self.sampled_at = 0.0

    def take(self, frame):
        description, answers = super().take(frame)
        now = time.monotonic()
        current = self.passes[-1] if self.passes else None
        if current is None or now - current.last > PASS_GAP:
            current = Pass(now, cpu_seconds(self.pid))
            self.passes.append(current)
            self.sampled_at = now
        elif now - self.sampled_at >= SAMPLE_SECONDS:
            current.cpu_last = cpu_seconds(self.pid)
            self.sampled_at = now
        current.last = now
        current.requests += 1
        return description, answers


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--fieldhub", default=os.environ.get("FIELDHUB_BIN", str(SOURCE / "build" / "fieldhub")))
    parser.add_argument("--nodes", type=int, default=250)
    parser.add_argument("--devices", type=int, default=4)
    parser.add_argument("--passes", type=int, default=3)
    parser.add_argument("--gap", type=float, default=0.2, help="milliseconds between the simulator's frames")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args(argv)
    args.fieldhub = str(Path(args.fieldhub).resolve())

    work = Path(tempfile.mkdtemp(prefix="panel-polls-"))
    root = work / "root"
    subprocess.run([str(SOURCE / "sim" / "mkroot"), str(root)], check=True, stdout=subprocess.DEVNULL)
    (root / "data" / "dps" / "can").write_text('{"port1":"krel","port2":"off","x2krel":false}')
    log_path = work / "fieldhub.log"
    log = open(log_path, "wb")
    env = dict(os.environ, FIELDHUB_ROOT=str(root), FIELDHUB_WS_PORT=str(free_port()),
               FIELDHUB_PULT_PORT=str(free_port(socket.SOCK_DGRAM)),
               ASAN_OPTIONS=":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"])))
    hub = subprocess.Popen([args.fieldhub], stdout=log, stderr=subprocess.STDOUT, env=env, cwd=str(root))
    endpoint = None
    try:
        deadline = time.monotonic() + 30
        while b"Listen digests" not in log_path.read_bytes():
            if time.monotonic() > deadline or hub.poll() is not None:
                raise SystemExit("fieldhub did not start")
            time.sleep(0.05)
        installation = StampedInstallation(hub.pid, 250, range(args.nodes), devices=args.devices)
        endpoint = Endpoint(bus_path(root, "can0"), "bench-panel")
        runner = panel_sim.Runner(installation, endpoint, period=3.0, gap=args.gap / 1000.0, rounds=-1, events=0,
                                  out=open(os.devnull, "w"), quiet=True)
        # Where fieldhub's log stood when each pass began.
        marks = []
        limit = time.monotonic() + 3600
        while len(installation.passes) <= args.passes:
            runner.step(None)
            while len(marks) < len(installation.passes):
                marks.append(os.path.getsize(log_path))
            if hub.poll() is not None:
                raise SystemExit("fieldhub ended")
            if time.monotonic() > limit:
                raise SystemExit(f"only {len(installation.passes)} passes in time")

        text = log_path.read_bytes()
        print(f"fieldhub: {args.fieldhub}")
        print(f"{args.nodes} nodes, {args.devices} radio devices each, 250-node layout, "
              f"simulator frames {args.gap} ms apart")
        steady = None
        for number, p in enumerate(installation.passes[:args.passes], 1):
            p.timeouts = text[marks[number - 1]:marks[number]].count(b"IO timeout")
            wall = p.last - p.first
            cpu = p.cpu_last - p.cpu_first
            kind = "configuration" if number <= 2 else "steady"
            share = 100.0 * cpu / wall if wall > 0 else 0.0
            print(f"pass {number} ({kind}): wall {wall:.2f} s, fieldhub CPU {cpu:.2f} s ({share:.1f}% of wall), "
                  f"{p.requests} requests ({p.requests / wall:.0f}/s), IO timeouts {p.timeouts}")
            if number >= 3:
                steady = (share, p.timeouts)
        print(f"bus copies dropped {endpoint.lost}")
        if steady is None:
            return 1
        return 0 if steady[0] <= 25.0 and steady[1] == 0 else 1
    finally:
        if endpoint is not None:
            endpoint.close()
        hub.send_signal(signal.SIGTERM)
        try:
            hub.wait(timeout=10)
        except subprocess.TimeoutExpired:
            hub.kill()
            hub.wait()
        log.close()
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
