"""The panel network on the simulated CAN bus: fieldhub against the panel
simulator (sim/panel.py). Layout detection in both identifier layouts, one
"digest" record per node with the exact JSON, publication again after a
change, the answer to node 252, both ports on one bus with and without the
duplicate filter, and bad frames and a burst that leave the gateway working.

The expected records are worked out here from the simulator's register
contents and the digest description, independently of the firmware."""
import json
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

SIM = Path(__file__).resolve().parents[2] / "sim"
sys.path.insert(0, str(SIM))
import panel as panel_sim  # noqa: E402
from canbus import Endpoint, Frame, bus_path  # noqa: E402

PYTHON = "/usr/bin/python3"


class PanelProcess:
    """sim/panel.py as a process: its output lines, its commands."""

    def __init__(self, root, *args):
        self.proc = subprocess.Popen([PYTHON, str(SIM / "panel.py"), str(root), *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        self._lines = []
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.wait_for(r"^ready ")

    def _read(self):
        for line in self.proc.stdout:
            with self._cond:
                self._lines.append(line.rstrip("\n"))
                self._cond.notify_all()

    def lines(self):
        with self._cond:
            return list(self._lines)

    def wait_for(self, pattern, timeout=10.0, start=0):
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for index in range(start, len(self._lines)):
                    if regex.search(self._lines[index]):
                        return index
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.proc.poll() is not None and not self._reader.is_alive():
                    raise AssertionError(f"panel printed nothing matching {pattern!r}:\n" + "\n".join(self._lines[-30:]))
                self._cond.wait(min(remaining, 0.2))

    def command(self, text, timeout=10.0):
        start = len(self.lines())
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.wait_for("^ok " + re.escape(text) + "$", timeout, start)

    def received(self, pattern):
        return [line for line in self.lines() if line.startswith("rx ") and re.search(pattern, line)]

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def start_panel():
    started = []

    def start(root, *args):
        process = PanelProcess(root, *args)
        started.append(process)
        return process

    yield start
    for process in started:
        process.stop()


@pytest.fixture
def start_hub(start_fieldhub):
    """fieldhub in a root; a sanitizer report in its output fails the test."""
    hubs = []

    def start(root):
        hub = start_fieldhub(root)
        hubs.append(hub)
        return hub

    yield start
    for hub in hubs:
        assert "Sanitizer" not in hub.output, hub.output[-4000:]


def configure_can(root, port1="krel", port2="off", x2krel=False):
    dps = Path(root) / "data" / "dps"
    dps.mkdir(parents=True, exist_ok=True)
    (dps / "can").write_text(json.dumps({"port1": port1, "port2": port2, "x2krel": x2krel}))


# -- the expected record, from the digest description ----------------------

def koi8_name(field):
    """Up to the first NUL; KOI8-R letters (Ё and ё included), other bytes
    from 0x80 as spaces; double quote and backslash replaced as the record
    writer does."""
    text = ""
    for byte in field.split(b"\0")[0]:
        if byte < 0x80:
            text += chr(byte)
        elif byte >= 0xC0 or byte in (0xA3, 0xB3):
            text += bytes([byte]).decode("koi8_r")
        else:
            text += " "
    return text.replace('"', "'").replace("\\", "/")


def expected_record(node):
    r = [bytes(register) for register in node.digest]
    r0 = r[0]

    def bit(byte, n):
        return bool(byte >> n & 1)

    def u16(data, offset):
        return int.from_bytes(data[offset:offset + 2], "little")

    def u32(data, offset):
        return int.from_bytes(data[offset:offset + 4], "little")

    rf_state = 1 if bit(r0[7], 0) or bit(r0[7], 2) else 2 if bit(r0[7], 1) else 0
    return {"device": {
        "can_id": node.number,
        "serial": u32(r[1], 4),
        "name": koi8_name(r[2]),
        "config_hash": [u16(r[6], 2 * i) for i in range(4)],
        "fire_states": [bit(r0[0], i) for i in range(4)],
        "zone_states": [bit(r[4][4], 0), bit(r[4][4], 1)],
        "fault": bit(r0[0], 4),
        "inputs": [r0[1] & 15, r0[1] >> 4],
        "outputs": [r0[2] & 15, r0[2] >> 4],
        "valves": [r0[3] & 15, r0[3] >> 4, r0[4] & 15, r0[4] >> 4, r0[5] & 15, r0[5] >> 4, r0[6] & 15],
        "power_220": bit(r0[0], 5),
        "event_states": [bit(r0[0], 6), bit(r0[0], 7), bit(r0[6], 6), bit(r0[6], 7), bit(r0[7], 3)],
        "automation": r0[6] >> 4 & 3,
        "rf_state": rf_state,
        "stats": [u16(r[4], 0), u16(r[4], 2)],
        "events": [u32(r[3], 0), u32(r[3], 4), u32(r[5], 0), u32(r[5], 4)],
    }}


def record_text(record):
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False)


def digest_records(hub):
    """The JSON texts of the digest records fieldhub logged, in order."""
    return [m[len("Contents: "):] for m in hub.messages() if m.startswith('Contents: {"device":')]


def records_of(hub, node):
    return [text for text in digest_records(hub) if json.loads(text)["device"]["can_id"] == node]


def wait_records(hub, counts, timeout=15.0):
    """Waits until every node has at least the given number of records."""
    deadline = time.monotonic() + timeout
    while True:
        have = {node: len(records_of(hub, node)) for node in counts}
        if all(have[node] >= counts[node] for node in counts):
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"records per node {have}, wanted {counts}; log:\n{hub.output[-3000:]}")
        time.sleep(0.05)


def wait_more_rounds(sim, count):
    """Waits until the simulator has finished `count` more rounds."""
    start = len(sim.lines())
    for _ in range(count):
        start = sim.wait_for(r"^round \d+$", start=start) + 1


# -- tests -----------------------------------------------------------------

def test_64_node_installation_each_node_published_once(root, start_hub, start_panel):
    configure_can(root)
    hub = start_hub(root)
    hub.wait_for(r"^Listen digests$")
    sim = start_panel(root, "--layout", "64", "--nodes", "1,2,5", "--period", "0.2")
    hub.wait_for(r"^64 USO System detected!$")
    wait_records(hub, {1: 1, 2: 1, 5: 1})
    wait_more_rounds(sim, 3)  # the same digests again publish nothing more
    for number in (1, 2, 5):
        assert records_of(hub, number) == [record_text(expected_record(panel_sim.Node(number)))]
    assert "Cannot detect max USO number" not in hub.messages()
    assert hub.messages().count("64 USO System detected!") == 1
    logged = [(level, tag) for level, _, tag, message in hub.lines() if message.startswith('Contents: {"device":')]
    assert set(logged) == {("W", "MeterData.cpp")}


def test_250_node_installation_answers_node_252(root, start_hub, start_panel):
    configure_can(root)
    hub = start_hub(root)
    sim = start_panel(root, "--layout", "250", "--nodes", "3,250", "--node252", "--period", "0.2")
    hub.wait_for(r"^250 USO System detected!$")
    sim.wait_for(r"^rx \S+ node=252 reg=0xEEE0 len=8 data=0000000000000000$")
    wait_records(hub, {3: 1, 250: 1})
    for number in (3, 250):
        assert records_of(hub, number) == [record_text(expected_record(panel_sim.Node(number)))]


def test_a_changed_register_is_published_again(root, start_hub, start_panel):
    configure_can(root)
    hub = start_hub(root)
    sim = start_panel(root, "--layout", "64", "--nodes", "1,2", "--period", "0.2")
    wait_records(hub, {1: 1, 2: 1})

    changed = panel_sim.Node(2)
    changed.set_register(0, bytes.fromhex("6113020000001008"))  # fire 0, mains, event states, radio
    sim.command("set 2 0 6113020000001008")
    wait_records(hub, {2: 2})
    changed.set_name('Щит "A"')
    sim.command('name 2 Щит "A"')
    wait_records(hub, {2: 3})
    before_rename = panel_sim.Node(2)
    before_rename.set_register(0, bytes(changed.digest[0]))
    records = records_of(hub, 2)
    assert records[1] == record_text(expected_record(before_rename))
    assert records[2] == record_text(expected_record(changed))
    assert json.loads(records[2])["device"]["name"] == "Щит 'A'"
    assert len(records_of(hub, 1)) == 1


@pytest.mark.parametrize("x2krel, answers", [(True, 2), (False, 4)])
def test_both_ports_on_one_bus(root, start_hub, start_panel, x2krel, answers):
    # The factory jig: can1 is can0. Every frame reaches fieldhub twice.
    bus = bus_path(root, "can0")
    bus.mkdir(parents=True, exist_ok=True)
    os.symlink("can0", bus_path(root, "can1"))
    configure_can(root, "krel", "krel", x2krel)
    hub = start_hub(root)
    sim = start_panel(root, "--layout", "250", "--nodes", "1,2", "--period", "0.2")
    hub.wait_for(r"^250 USO System detected!$")
    wait_records(hub, {1: 1, 2: 1})

    # One read from node 252: answered once per delivered copy, on both ports.
    sim.command("send 80003F80#")
    sim.wait_for(r"^rx .* node=252 reg=0xEEE0")
    # Frames sent after that answer are handled after both copies of the
    # read, so once their record is logged every answer is on its way.
    sim.command("set 1 7 0102030405060708")
    wait_records(hub, {1: 2})
    sim.command("sync")
    assert len(sim.received(r"node=252 reg=0xEEE0 len=8 data=0{16}$")) == answers
    assert len(records_of(hub, 2)) == 1


def test_bad_frames_and_a_burst_leave_the_gateway_working(root, start_hub, start_panel):
    configure_can(root)
    hub = start_hub(root)
    sim = start_panel(root, "--layout", "64", "--nodes", "1", "--period", "0.2")
    wait_records(hub, {1: 1})

    with Endpoint(bus_path(root, "can0"), "noise") as noise:
        good = Frame(1 << 21 | 0x57 << 1, b"\x01")
        for size in (0, 1, 15, 17, 64):
            noise.send_raw(good.pack().ljust(size, b"\xff")[:size])
        noise.send(Frame(good.can_id, bytes(8), dlc=15))          # length above 8
        noise.send(Frame(good.can_id, remote=True, dlc=8))         # remote request
        noise.send(Frame(good.can_id, bytes(8), error=True))       # error frame
        noise.send(Frame(200 << 21 | 0xFF0 << 1, bytes(8)))        # node 200 in a 64-node installation
        noise.send(Frame(0x123, b"\x01", extended=False))          # standard frame
        for i in range(10000):                                      # far beyond bus speed
            noise.send(Frame(7 << 21 | 0x57 << 1, i.to_bytes(4, "little")))

    sim.command("set 1 3 FFFFFFFF00000000")
    wait_records(hub, {1: 2})
    assert hub.proc.poll() is None
