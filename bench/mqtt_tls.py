#!/usr/bin/python3
"""What TLS costs the cloud link: connect time and CPU, plain against TLS.

The real fieldhub binary in a fresh simulation root, one mosquitto with a
plain and a TLS listener on free loopback ports (certificates made with the
openssl command, an EC P-256 server key), and a paho-mqtt subscriber on the
plain listener.

  connect   the gateway reaches the broker through a small TCP relay of this
            script; a connect is timed from the relay's accept of the
            gateway's connection to the arrival of its online device_status
            at the subscriber (TCP and TLS handshakes, MQTT CONNECT, the two
            subscriptions and one publication). The relay then cuts the
            connection and the gateway connects again, --connects times.
  records   --records "digest" notifications (panel simulator, 100 nodes
            on the simulated CAN bus) published over each listener, --runs
            times in turn; the CPU time fieldhub spent (all its threads,
            /proc/PID/task/*/schedstat) from the first frame of the load to
            the last notification, whole record path included.
  board     with --board (the board build's build-board/emulated/fieldhub),
            one TLS connect (and one plain for comparison) of the ARM program
            under qemu-arm: the emulator's figure, not the board's.

Not part of `make test` or `make bench` (it takes about three minutes and
a broker). Run it with a Release build:

    make bench    # configures build-bench
    cmake --build build-bench --target fieldhub
    /usr/bin/python3 bench/mqtt_tls.py --fieldhub build-bench/fieldhub --board build-board/emulated/fieldhub
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
sys.path.insert(0, str(SOURCE / "tests" / "system"))
import panel as panel_sim  # noqa: E402
from canbus import Endpoint, bus_path  # noqa: E402
from certificates import make_certificates  # noqa: E402
from mqtt_records import PREFIX, free_port, wait_until  # noqa: E402


class Relay:
    """A TCP relay to the broker that notes when each connection was accepted
    and can cut the current one."""

    def __init__(self, target_port):
        self.target = target_port
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.accepted = queue.Queue()
        self.lock = threading.Lock()
        self.open = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            self.accepted.put(time.monotonic())
            upstream = socket.create_connection(("127.0.0.1", self.target))
            for end in (client, upstream):
                end.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.open += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def _pipe(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        try:
            sink.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def cut(self):
        with self.lock:
            ends, self.open = self.open, []
        for end in ends:
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

    def stop(self):
        self.server.close()
        self.cut()


class Subscriber:
    """Arrival times of online statuses and of digest notifications."""

    def __init__(self, port):
        self.online = queue.Queue()
        self.lock = threading.Lock()
        self.digests = set()
        self.last_digest = 0.0
        self.client = mqtt.Client(client_id=f"bench-tls-{os.getpid()}", clean_session=True)
        self.client.on_message = self._message
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *args: subscribed.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        self.client.subscribe([(PREFIX + "status", 1), (PREFIX + "updates", 1)])
        if not subscribed.wait(10):
            raise SystemExit("the broker did not acknowledge the subscription")

    def _message(self, client, userdata, message):
        now = time.monotonic()
        try:
            body = json.loads(message.payload)
        except ValueError:
            return
        if message.topic.endswith("/status"):
            if body["params"]["online"] and not message.retain:
                self.online.put(now)
        elif body.get("method") == "digest":
            device = body["params"]["device"]
            with self.lock:
                self.digests.add((device["can_id"], device["events"][0]))
                self.last_digest = now

    def count(self):
        with self.lock:
            return len(self.digests)

    def forget_digests(self):
        with self.lock:
            self.digests.clear()

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


class Site:
    """One fieldhub in a fresh root, pointed at a broker port."""

    def __init__(self, work, fieldhub, certificates, port, tls, name):
        self.root = work / name
        subprocess.run([str(SOURCE / "sim" / "mkroot"), str(self.root)], check=True, stdout=subprocess.DEVNULL)
        (self.root / "data" / "dps" / "can").write_text('{"port1":"krel","port2":"off","x2krel":false}')
        shutil.copy(certificates["ca"][0], self.root / "data" / "etc" / "mqtt-ca.pem")
        broker = {"host": "127.0.0.1", "user": "", "pass": "", "port": port}
        if tls:
            broker["tls"] = True
        # The backup is the same broker: cut connections count as failures.
        group = {"main": broker, "alt": broker}
        (self.root / "data" / "dps" / "mqtt").write_text(json.dumps(group, separators=(",", ":")))
        self.log_path = work / f"{name}.log"
        self.log = open(self.log_path, "wb")
        env = dict(os.environ, FIELDHUB_ROOT=str(self.root), FIELDHUB_WS_PORT=str(free_port()),
                   FIELDHUB_PULT_PORT=str(free_port()),
                   ASAN_OPTIONS=":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"])))
        self.proc = subprocess.Popen([fieldhub], stdout=self.log, stderr=subprocess.STDOUT, env=env,
                                     cwd=str(self.root))

    def logged(self, text):
        return text.encode() in self.log_path.read_bytes()

    def cpu_seconds(self):
        """CPU time of all of fieldhub's threads so far."""
        total = 0
        for task in Path(f"/proc/{self.proc.pid}/task").iterdir():
            try:
                total += int((task / "schedstat").read_text().split()[0])
            except (OSError, ValueError, IndexError):
                pass
        return total / 1e9

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def connect_times(work, fieldhub, certificates, broker_port, tls, count, subscriber, name, timeout=60):
    relay = Relay(broker_port)
    site = Site(work, fieldhub, certificates, relay.port, tls, name)
    times = []
    try:
        while not subscriber.online.empty():
            subscriber.online.get()
        for _ in range(count):
            accepted = relay.accepted.get(timeout=timeout)
            arrived = subscriber.online.get(timeout=timeout)
            times.append((arrived - accepted) * 1000.0)
            # Let the announcement finish, then cut: the gateway reconnects.
            time.sleep(0.5)
            relay.cut()
    finally:
        site.stop()
        relay.stop()
    return times


def record_cpu(work, fieldhub, certificates, broker_port, tls, records, rate, subscriber, name):
    site = Site(work, fieldhub, certificates, broker_port, tls, name)
    try:
        wait_until(lambda: site.logged("Done subscribing"), 60, "the broker connection")
        installation = panel_sim.Installation(250, range(1, 101))
        nodes = list(installation.nodes.values())
        endpoint = Endpoint(bus_path(site.root, "can0"), f"bench-{name}")
        frame_seconds = len(nodes) / rate / (len(nodes) * panel_sim.DIGEST_REGISTERS)

        def send_round():
            start = time.monotonic()
            for k, (node, index) in enumerate((n, i) for n in nodes for i in range(panel_sim.DIGEST_REGISTERS)):
                if index == 0:
                    node.count_event()
                delay = start + k * frame_seconds - time.monotonic()
                if delay > 0.0005:
                    time.sleep(delay)
                endpoint.send(installation.layout.node_frame(node.number, installation.layout.digest_register(index),
                                                             bytes(node.digest[index])))

        # Warm-up: every node alive and published once.
        subscriber.forget_digests()
        warm = time.monotonic()
        while subscriber.count() < len(nodes):
            send_round()
            if time.monotonic() - warm > 30:
                raise SystemExit("warm-up: not every node published")
        time.sleep(1)
        before = subscriber.count()
        cpu_before = site.cpu_seconds()
        began = time.monotonic()
        for _ in range(records // len(nodes)):
            send_round()
        wait_until(lambda: subscriber.count() >= before + records, 30, f"{records} notifications")
        cpu = site.cpu_seconds() - cpu_before
        seconds = subscriber.last_digest - began
        endpoint.close()
        lost = site.log_path.read_bytes().count(b"Skipping MeterData!")
        return cpu, seconds, lost
    finally:
        site.stop()


def describe(times):
    return (f"median {statistics.median(times):.0f} ms, min {min(times):.0f} ms, max {max(times):.0f} ms "
            f"({len(times)} connects)")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--fieldhub", default=str(SOURCE / "build-bench" / "fieldhub"))
    parser.add_argument("--board", help="the board build's emulated/fieldhub, for one connect under qemu-arm")
    parser.add_argument("--connects", type=int, default=5)
    parser.add_argument("--records", type=int, default=1000)
    parser.add_argument("--rate", type=float, default=250.0, help="records per second of the load")
    parser.add_argument("--runs", type=int, default=3, help="record runs per listener")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args(argv)
    fieldhub = str(Path(args.fieldhub).resolve())
    if shutil.which("mosquitto") is None or shutil.which("openssl") is None:
        raise SystemExit("mosquitto and openssl are needed")

    work = Path(tempfile.mkdtemp(prefix="mqtt-tls-bench-"))
    certificates = make_certificates(work / "certificates")
    plain_port, tls_port = free_port(), free_port()
    config = work / "broker.conf"
    config.write_text(f"allow_anonymous true\npersistence false\nmax_queued_messages 100000\n"
                      f"{'user root' if os.geteuid() == 0 else ''}\n"
                      f"listener {plain_port} 127.0.0.1\n"
                      f"listener {tls_port} 127.0.0.1\ncertfile {certificates['server'][0]}\n"
                      f"keyfile {certificates['server'][1]}\n")
    broker = subprocess.Popen(["mosquitto", "-c", str(config)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subscriber = None
    try:
        def listening(port):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return False

        wait_until(lambda: listening(plain_port) and listening(tls_port), 10, "mosquitto")
        subscriber = Subscriber(plain_port)
        print(f"fieldhub: {fieldhub}")
        results = {}
        for label, port, tls in (("plain", plain_port, False), ("TLS", tls_port, True)):
            results[label] = connect_times(work, fieldhub, certificates, port, tls, args.connects, subscriber,
                                           f"connect-{label}")
            print(f"connect {label:5}: {describe(results[label])}")
        print(f"connect TLS - plain: {statistics.median(results['TLS']) - statistics.median(results['plain']):.0f} ms "
              "(medians)")
        # Alternating runs: the difference is small against the CPU time of
        # the whole record path, and the host is shared.
        cpu = {"plain": [], "TLS": []}
        for run in range(args.runs):
            for label, port, tls in (("plain", plain_port, False), ("TLS", tls_port, True)):
                used, seconds, lost = record_cpu(work, fieldhub, certificates, port, tls, args.records, args.rate,
                                                 subscriber, f"records-{label}-{run}")
                cpu[label].append(used * 1000.0)
                print(f"{args.records} records {label:5}: fieldhub CPU {used * 1000:.0f} ms in {seconds:.1f} s, "
                      f"'Skipping MeterData!' {lost}")
        plain_ms, tls_ms = statistics.median(cpu["plain"]), statistics.median(cpu["TLS"])
        per_record = (tls_ms - plain_ms) * 1000 / args.records
        print(f"records, median of {args.runs}: plain {plain_ms:.0f} ms, TLS {tls_ms:.0f} ms CPU; "
              f"TLS - plain {tls_ms - plain_ms:.0f} ms ({per_record:.0f} us per record), "
              f"spread of the runs {max(max(v) - min(v) for v in cpu.values()):.0f} ms")
        if args.board:
            board = str(Path(args.board).resolve())
            print(f"board build under qemu-arm: {board}")
            for label, port, tls in (("plain", plain_port, False), ("TLS", tls_port, True)):
                times = connect_times(work, board, certificates, port, tls, 1, subscriber, f"board-{label}",
                                      timeout=180)
                print(f"qemu-arm connect {label:5}: {times[0]:.0f} ms")
        return 0
    finally:
        if subscriber is not None:
            subscriber.stop()
        broker.terminate()
        broker.wait(timeout=10)
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
