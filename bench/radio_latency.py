#!/usr/bin/python3
"""Latency of the metering radio path: from a telegram's last CAN frame on the
simulated bus to its "metering" notification at a broker subscriber.

It runs the real fieldhub in a fresh simulation root with port 1 in volmar
mode, a mosquitto of its own on a free loopback port and a paho-mqtt
subscriber, and puts two receivers on can0 itself (the classes of
sim/radio.py). Each round sends one new heat meter reading as both receivers
forward it (parts interleaved), stamps the moment the last frame left, and
waits for the notification. The delay includes the receiver filter's window of
250 ms; the target is a 99th percentile under 300 ms.

    bench/radio_latency.py [--fieldhub BUILD/fieldhub] [--count N]

Not part of the test run: it takes about N x 0.3 s.
"""
import argparse
import json
import os
import queue
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import paho.mqtt.client as mqtt

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "sim"))
import radio  # noqa: E402
from canbus import Endpoint  # noqa: E402

TIMEOUT_SECONDS = 5.0
WARM_UP_ROUNDS = 3


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def default_fieldhub():
    for build in ("build-bench", "build-demo", "build"):
        candidate = SOURCE / build / "fieldhub"
        if candidate.exists():
            return str(candidate)
    return str(SOURCE / "build" / "fieldhub")


class Output:
    """fieldhub's log, read by a thread so the pipe never fills."""

    def __init__(self, stream):
        self.text = ""
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for chunk in iter(lambda: stream.read1(65536), b""):
            with self.cond:
                self.text += chunk.decode("utf-8", "replace")
                self.cond.notify_all()

    def wait_for(self, needle, timeout=15.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while needle not in self.text:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise SystemExit(f"fieldhub did not log {needle!r}:\n{self.text[-3000:]}")
                self.cond.wait(remaining)


def start_broker(directory):
    port = free_port()
    config = directory / "mosquitto.conf"
    config.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    proc = subprocess.Popen(["mosquitto", "-c", str(config)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            if time.monotonic() > deadline or proc.poll() is not None:
                proc.kill()
                raise SystemExit("mosquitto did not start")
            time.sleep(0.02)


def subscribe(port, topic):
    """A subscriber that stamps every "metering" notification on arrival."""
    arrivals = queue.Queue()

    def on_message(client, userdata, message):
        stamp = time.monotonic()
        notification = json.loads(message.payload)
        if notification.get("method") == "metering":
            arrivals.put((stamp, notification["params"].get("sum_heat")))

    client = mqtt.Client(client_id=f"latency-{os.getpid()}", clean_session=True)
    client.on_message = on_message
    subscribed = threading.Event()
    client.on_subscribe = lambda *args: subscribed.set()
    client.connect("127.0.0.1", port)
    client.loop_start()
    client.subscribe(topic, qos=1)
    if not subscribed.wait(10):
        raise SystemExit("the broker did not acknowledge the subscription")
    return client, arrivals


def measure(endpoint, arrivals, count):
    receivers = [radio.Receiver(0x1A2B3, -60), radio.Receiver(0x2C4D5, -80)]
    meter = radio.HeatMeter("serial=7340033")
    for frame in radio.identity_frames(receivers):
        endpoint.send(frame)
    delays = []
    for round_number in range(WARM_UP_ROUNDS + count):
        meter.advance()  # a new reading: the filter must not take it for a copy of the last
        frames = radio.interleave([r.forward(meter.packet()) for r in receivers])
        for index, frame in enumerate(frames):
            if index:
                time.sleep(radio.FRAME_GAP_SECONDS)  # the simulator's pace on the bus
            endpoint.send(frame)
        sent = time.monotonic()  # the last frame is on the bus
        try:
            arrived, _ = arrivals.get(timeout=TIMEOUT_SECONDS)
        except queue.Empty:
            raise SystemExit(f"round {round_number}: no notification within {TIMEOUT_SECONDS} s")
        if round_number >= WARM_UP_ROUNDS:
            delays.append((arrived - sent) * 1000.0)
        endpoint.drain()  # RSSI answers and whatever else the gateway sent
    return delays


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, max(0, int(round(fraction * len(sorted_values) + 0.5)) - 1))
    return sorted_values[index]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fieldhub", default=os.environ.get("FIELDHUB_BIN", default_fieldhub()))
    parser.add_argument("--count", type=int, default=200, help="measured readings")
    args = parser.parse_args(argv)
    args.fieldhub = str(Path(args.fieldhub).resolve())
    if shutil.which("mosquitto") is None:
        raise SystemExit("mosquitto is not installed")

    with tempfile.TemporaryDirectory(prefix="radio-latency.") as temp:
        directory = Path(temp)
        root = directory / "root"
        subprocess.run([str(SOURCE / "sim" / "mkroot"), str(root)], check=True, stdout=subprocess.DEVNULL)
        uuid = next(line.split("=", 1)[1] for line in (root / "var" / "uboot.env").read_text().splitlines()
                    if line.startswith("uuid="))
        broker, port = start_broker(directory)
        hub = None
        client = None
        try:
            dps = root / "data" / "dps"
            (dps / "can").write_text('{"port1":"volmar","port2":"off","x2krel":false}')
            (dps / "mqtt").write_text(json.dumps({"main": {"host": "127.0.0.1", "user": "", "pass": "", "port": port},
                                                  "alt": {"host": "", "user": "", "pass": "", "port": 0}}))
            client, arrivals = subscribe(port, f"fire_alarm/{uuid}/updates")
            env = dict(os.environ, FIELDHUB_ROOT=str(root), FIELDHUB_WS_PORT=str(free_port()),
                       FIELDHUB_PULT_PORT=str(free_port()), ASAN_OPTIONS="detect_leaks=0")
            hub = subprocess.Popen([args.fieldhub], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                                   cwd=str(root))
            output = Output(hub.stdout)
            output.wait_for("Can CMT Protocol started")
            output.wait_for("Done subscribing.")
            with Endpoint(root / "run" / "can" / "can0", "latency") as endpoint:
                delays = measure(endpoint, arrivals, args.count)
        finally:
            if client is not None:
                client.loop_stop()
                client.disconnect()
            if hub is not None and hub.poll() is None:
                hub.terminate()
                try:
                    hub.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    hub.kill()
            broker.terminate()
            broker.wait(timeout=10)

    delays.sort()
    print(f"radio latency, last frame to broker subscriber, {len(delays)} readings ({args.fieldhub}):")
    print(f"  min {delays[0]:.1f} ms  median {statistics.median(delays):.1f} ms  "
          f"p99 {percentile(delays, 0.99):.1f} ms  max {delays[-1]:.1f} ms  (target p99 < 300 ms)")
    return 0 if percentile(delays, 0.99) < 300.0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
