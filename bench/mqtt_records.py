#!/usr/bin/python3
"""Records per second from the panel network to the cloud, end to end.

The real fieldhub binary in a fresh simulation root, panel nodes of the
simulator (sim/panel.py's Installation, 250-node layout) on the simulated CAN
bus, a real mosquitto on a free loopback port, and a paho-mqtt subscriber on
the gateway's "updates" topic.

Every round each node counts one event (its digest register 3 changes), so
every round gives one "digest" record per node; rounds are paced so that the
records come at the wanted rate, frames spread evenly over the round. After a
warm-up (every node published once) the load runs for the given time; then
the script waits for the stragglers and counts:

  lost      records that never reached the subscriber; "Skipping MeterData!"
            and "Publishing error!" in fieldhub's log tell where they were
            dropped (each is also a missing notification)
  delay     from the moment the changed register went onto the bus to the
            arrival of its notification at the subscriber (median, 99th
            percentile), both clocks being this process's monotonic clock

It also reports frames the bus could not deliver (receiver queue full) and
"Buffer overflow!" lines of the panel thread, which would explain a loss.

Not part of `make test` or `make bench` (it takes a minute and a broker). Run:

    /usr/bin/python3 bench/mqtt_records.py --fieldhub build-bench/fieldhub
    /usr/bin/python3 bench/mqtt_records.py --fieldhub build/fieldhub --rate 500 --seconds 60

Options: --rate records/s (default 600), --nodes (default 100), --seconds
(default 60), --keep (leave the root and fieldhub's log for inspection).
Exit status 0 when the rate was held with zero loss.
"""
import argparse
import json
import os
import queue
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

import paho.mqtt.client as mqtt

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "sim"))
import panel as panel_sim  # noqa: E402
from canbus import Endpoint, bus_path  # noqa: E402

UUID = "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01"  # the identity sim/mkroot writes
PREFIX = f"fire_alarm/{UUID}/"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.05)


class Subscriber:
    """Arrival time of every digest notification, by (node, event count)."""

    def __init__(self, port):
        self.arrivals = {}
        self.duplicates = 0
        self.other = 0
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=f"bench-{os.getpid()}", clean_session=True)
        self.client.on_message = self._message
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *args: subscribed.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        self.client.subscribe(PREFIX + "updates", qos=1)
        if not subscribed.wait(10):
            raise SystemExit("the broker did not acknowledge the subscription")

    def _message(self, client, userdata, message):
        now = time.monotonic()
        try:
            params = json.loads(message.payload)["params"]
            key = (params["device"]["can_id"], params["device"]["events"][0])
        except (ValueError, KeyError, TypeError, IndexError):
            with self.lock:
                self.other += 1
            return
        with self.lock:
            if key in self.arrivals:
                self.duplicates += 1
            else:
                self.arrivals[key] = now

    def count(self):
        with self.lock:
            return len(self.arrivals)

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--fieldhub", default=os.environ.get("FIELDHUB_BIN", str(SOURCE / "build" / "fieldhub")))
    parser.add_argument("--rate", type=float, default=600.0, help="records per second")
    parser.add_argument("--nodes", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args(argv)
    args.fieldhub = str(Path(args.fieldhub).resolve())
    if shutil.which("mosquitto") is None:
        raise SystemExit("mosquitto is not installed")

    work = Path(tempfile.mkdtemp(prefix="mqtt-bench-"))
    root = work / "root"
    subprocess.run([str(SOURCE / "sim" / "mkroot"), str(root)], check=True, stdout=subprocess.DEVNULL)
    (root / "data" / "dps" / "can").write_text('{"port1":"krel","port2":"off","x2krel":false}')
    port = free_port()
    config = work / "broker.conf"
    config.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                      "max_queued_messages 100000\n")
    broker = subprocess.Popen(["mosquitto", "-c", str(config)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    brokers = {"main": {"host": "127.0.0.1", "user": "", "pass": "", "port": port},
               "alt": {"host": "", "user": "", "pass": "", "port": 0}}
    (root / "data" / "dps" / "mqtt").write_text(json.dumps(brokers, separators=(",", ":")))
    def broker_listens():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    wait_until(broker_listens, 10, "mosquitto")

    log_path = work / "fieldhub.log"
    log = open(log_path, "wb")
    env = dict(os.environ, FIELDHUB_ROOT=str(root), FIELDHUB_WS_PORT=str(free_port()),
               FIELDHUB_PULT_PORT=str(free_port()),
               ASAN_OPTIONS=":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"])))
    try:
        hub = subprocess.Popen([args.fieldhub], stdout=log, stderr=subprocess.STDOUT, env=env, cwd=str(root))
    except OSError:
        broker.terminate()
        broker.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
        raise
    subscriber = None
    try:
        wait_until(lambda: b"Done subscribing" in log_path.read_bytes(), 30, "the broker connection")
        subscriber = Subscriber(port)

        installation = panel_sim.Installation(250, range(1, args.nodes + 1))
        nodes = list(installation.nodes.values())
        layout = installation.layout
        endpoint = Endpoint(bus_path(root, "can0"), "bench-panel")
        changed_at = {}

        def send_round(deadline_per_frame, start):
            """One round: each node counts an event and sends its digest;
            frame k waits for start + k * deadline_per_frame."""
            k = 0
            for node in nodes:
                node.count_event()
                for index in range(panel_sim.DIGEST_REGISTERS):
                    due = start + k * deadline_per_frame
                    delay = due - time.monotonic()
                    if delay > 0.0005:
                        time.sleep(delay)
                    endpoint.send(layout.node_frame(node.number, layout.digest_register(index),
                                                    bytes(node.digest[index])))
                    if index == 3:
                        changed_at[(node.number, node.events[0])] = time.monotonic()
                    k += 1

        frames_per_round = len(nodes) * panel_sim.DIGEST_REGISTERS
        round_seconds = len(nodes) / args.rate
        frame_seconds = round_seconds / frames_per_round

        # Warm-up: the nodes become alive and each publishes once.
        warm = time.monotonic()
        while subscriber.count() < len(nodes):
            send_round(frame_seconds, time.monotonic())
            if time.monotonic() - warm > 30:
                raise SystemExit(f"warm-up: only {subscriber.count()} of {len(nodes)} nodes published")
        warm_keys = set(changed_at)
        log_mark = len(log_path.read_bytes())
        lost_before = endpoint.lost

        began = time.monotonic()
        rounds = 0
        while time.monotonic() - began < args.seconds:
            send_round(frame_seconds, began + rounds * round_seconds)
            rounds += 1
        sent_seconds = time.monotonic() - began
        expected = {key for key in changed_at if key not in warm_keys}
        wait_until_done = time.monotonic() + 15
        while time.monotonic() < wait_until_done:
            with subscriber.lock:
                if expected <= subscriber.arrivals.keys():
                    break
            time.sleep(0.1)
        bus_lost = endpoint.lost - lost_before
        endpoint.close()

        text = log_path.read_bytes()[log_mark:].decode("utf-8", "replace")
        skipping = text.count("Skipping MeterData!")
        publishing = text.count("Publishing error!")
        overflow = text.count("Buffer overflow!")
        with subscriber.lock:
            arrived = {key: subscriber.arrivals[key] for key in expected if key in subscriber.arrivals}
            duplicates = subscriber.duplicates
        missing = len(expected) - len(arrived)
        delays = sorted((arrived[key] - changed_at[key]) * 1000.0 for key in arrived)
        # A skipped record is also a missing notification: the lost records
        # are the missing ones, the log lines say where they were lost.
        lost = max(missing, skipping + publishing)

        print(f"fieldhub: {args.fieldhub}")
        print(f"nodes {len(nodes)}, {rounds} rounds in {sent_seconds:.1f} s, "
              f"{rounds * frames_per_round / sent_seconds:.0f} frames/s on the bus")
        print(f"records sent {len(expected)} ({len(expected) / sent_seconds:.1f}/s), "
              f"notifications received {len(arrived)}, duplicates {duplicates}")
        print(f"lost {lost}: missing notifications {missing}, of them logged 'Skipping MeterData!' {skipping}, "
              f"'Publishing error!' {publishing}")
        print(f"bus copies dropped {bus_lost}, 'Buffer overflow!' {overflow}")
        if delays:
            p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))]
            print(f"delay bus -> subscriber: median {statistics.median(delays):.1f} ms, "
                  f"99th percentile {p99:.1f} ms, max {delays[-1]:.1f} ms")
        held = len(expected) / sent_seconds >= 0.98 * args.rate
        return 0 if lost == 0 and held else 1
    finally:
        if subscriber is not None:
            subscriber.stop()
        hub.send_signal(signal.SIGTERM)
        try:
            hub.wait(timeout=10)
        except subprocess.TimeoutExpired:
            hub.kill()
            hub.wait()
        log.close()
        broker.terminate()
        broker.wait(timeout=10)
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
