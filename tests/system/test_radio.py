"""The metering radio end to end: the real binary with a port in volmar mode,
the radio simulator (sim/radio.py) on the simulated bus, a real mosquitto and
a WebSocket client. A meter's reading, heard by several receivers, becomes
one "metering" notification and one "marm" record with the values the meter
sent, the strongest and weakest reception and the receivers' serials; a
receiver that stops talking is reported offline once and is back with its
next announcement.

The expected values are the simulator's settings, scaled by the record's
units here, independently of the firmware's decoder."""
import json
import queue
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import paho.mqtt.client as mqtt
import pytest
import websocket

SIM = Path(__file__).resolve().parents[2] / "sim"
PYTHON = "/usr/bin/python3"
UUID = "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01"  # the identity sim/mkroot writes
UPDATES = f"fire_alarm/{UUID}/updates"
WS_PASSWORD = "5172839406"

# Three receivers: address, RSSI at which they hear every meter, serial.
STRONG = (0x1A2B3, -60, 0x5052_1001_A2B3)
MIDDLE = (0x2C4D5, -75, 0x5052_1002_C4D5)
WEAK = (0x3E6F7, -90, 0x5052_1003_E6F7)
RECEIVERS = (STRONG, MIDDLE, WEAK)

HEAT = {"serial": 7340033, "time": 1767225600, "vbat": "3.4", "model": "HM-7", "fw": "4.5.6",
        "heat": "2345.67", "cold": "12.5", "volume": "321.09", "power": "7.25", "flow": "0.5", "tin": "70.5",
        "tout": "40.25"}
WATER = {"serial": 9123456, "time": 1767225700, "vbat": "3.0", "fw": "2.1.0", "flags": "5", "litres": "20061234",
         "via": f"{MIDDLE[0]:X}"}


def meter_spec(values):
    return ",".join(f"{key}={value}" for key, value in values.items())


def configure_site(root, broker=None):
    dps = Path(root) / "data" / "dps"
    (dps / "can").write_text(json.dumps({"port1": "volmar", "port2": "off", "x2krel": False}))
    if broker is not None:
        broker.write_settings(root)


class RadioProcess:
    """sim/radio.py in run mode on can0: its output lines and its commands."""

    def __init__(self, root, receivers, meters=(), announce=600.0):
        args = [PYTHON, str(SIM / "radio.py"), "run", str(Path(root) / "run" / "can" / "can0"),
                "--first", "600", "--period", "600", "--announce", str(announce)]
        for address, rssi, serial in receivers:
            args += ["--receiver", f"{address:X}:{rssi}:{serial:#x}"]
        for kind, values in meters:
            args += [f"--{kind}", meter_spec(values)]
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.lines.get(timeout=10) == "ready"

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def quit(self):
        """Ends the simulator; the number of copies its bus endpoint lost."""
        self.command("quit")
        while not (line := self.lines.get(timeout=10)).startswith("lost "):
            pass
        self.proc.wait(timeout=5)
        return int(line.split()[1])

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def start_radio():
    started = []

    def start(*args, **kwargs):
        radio = RadioProcess(*args, **kwargs)
        started.append(radio)
        return radio

    yield start
    for radio in started:
        radio.stop()


class Subscriber:
    """A paho-mqtt client on the gateway's notification topic."""

    def __init__(self, port):
        self.messages = queue.Queue()
        self.client = mqtt.Client(client_id=f"radio-test-{time.monotonic_ns()}", clean_session=True)
        self.client.on_message = lambda client, userdata, message: self.messages.put(json.loads(message.payload))
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *args: subscribed.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        self.client.subscribe(UPDATES, qos=1)
        assert subscribed.wait(10), "the broker did not acknowledge the subscription"

    def metering(self, timeout, count=None):
        """The "metering" notifications that arrive within the timeout, or
        the first `count` of them."""
        found = []
        deadline = time.monotonic() + timeout
        while (remaining := deadline - time.monotonic()) > 0 and len(found) != count:
            try:
                message = self.messages.get(timeout=remaining)
            except queue.Empty:
                break
            if message.get("method") == "metering":
                found.append(message["params"])
        return found

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


def ws_client_with_meter_stream(hub):
    ws = websocket.create_connection(f"ws://127.0.0.1:{hub.ws_port}/", timeout=10)
    assert json.loads(ws.recv())["auth"] == "not authorized"
    ws.send(json.dumps({"login": "qtr", "password": WS_PASSWORD}))
    assert json.loads(ws.recv()) == {"auth": "done"}
    ws.send(json.dumps({"me": "marm_on"}))
    # Commands are handled in order: the answer to the ping shows the stream is on.
    ws.send('{"type":"ping"}')  # matched as exact text
    while json.loads(ws.recv()) != {"type": "pong"}:
        pass
    return ws


def ws_records(ws, count, timeout=10.0):
    """The next `count` "marm" records, skipping settings groups."""
    records = []
    deadline = time.monotonic() + timeout
    while len(records) < count:
        ws.settimeout(max(0.1, deadline - time.monotonic()))
        message = json.loads(ws.recv())
        if "marm" in message:
            records.append(message["marm"])
    return records


def wait_announced(hub, receivers, start=0):
    for _, _, serial in receivers:
        hub.wait_for(f"^Got PR serial={serial:016X}$", timeout=10, start=start)


def expected_heat():
    return {"type": "heat_meter", "model": HEAT["model"], "serial": HEAT["serial"],
            "trx_sn": STRONG[2], "rssi": STRONG[1], "min_trx_sn": WEAK[2], "min_rssi": WEAK[1],
            "v_bat": float(HEAT["vbat"]), "modem_fw_ver": HEAT["fw"], "volume": float(HEAT["volume"]),
            "flow": float(HEAT["flow"]), "sum_heat": float(HEAT["heat"]), "sum_cold": float(HEAT["cold"]),
            "power": float(HEAT["power"]), "temp_in": float(HEAT["tin"]), "temp_out": float(HEAT["tout"]),
            "device_time": HEAT["time"]}


def expected_water():
    # Heard by one receiver only: it is both the strongest and the weakest.
    return {"type": "water_meter", "meter_sn": WATER["serial"], "trx_sn": MIDDLE[2], "rssi": MIDDLE[1],
            "min_trx_sn": MIDDLE[2], "min_rssi": MIDDLE[1], "volume": int(WATER["litres"]) / 1000,
            "v_bat": float(WATER["vbat"]), "modem_fw_ver": WATER["fw"], "flags": int(WATER["flags"]),
            "device_time": WATER["time"]}


def assert_record(record, expected, sent_at):
    assert set(record) - {"uuid"} == set(expected) | {"hub_time"}, record
    for key, value in expected.items():
        if isinstance(value, float):
            assert record[key] == pytest.approx(value, abs=0.0006), key
        else:
            assert record[key] == value, key
    # The gateway stamps the record with its own clock, the host's in a fresh root.
    assert abs(record["hub_time"] - sent_at) <= 5


def test_reading_heard_by_three_receivers_is_one_record_on_broker_and_websocket(
        root, start_fieldhub, mosquitto_broker, start_radio):
    configure_site(root, mosquitto_broker)
    cloud = Subscriber(mosquitto_broker.port)
    try:
        hub = start_fieldhub(root)
        hub.wait_for(r"^Can CMT Protocol started$")
        hub.wait_for(r"^Done subscribing\.", timeout=15)
        ws = ws_client_with_meter_stream(hub)
        radio = start_radio(root, RECEIVERS, [("heat", HEAT), ("water", WATER)])
        wait_announced(hub, RECEIVERS)

        sent_at = time.time()
        radio.command("send")
        # Four copies on the bus, two readings out: a record for a copy the
        # filter failed to merge would follow within its window of 250 ms.
        records = cloud.metering(timeout=10.0, count=2)
        records += cloud.metering(timeout=1.0)
        assert sorted(record.get("type") for record in records) == ["heat_meter", "water_meter"], records
        by_type = {record["type"]: record for record in records}
        assert by_type["heat_meter"]["uuid"] == UUID
        assert_record(by_type["heat_meter"], expected_heat(), sent_at)
        assert_record(by_type["water_meter"], expected_water(), sent_at)

        streamed = {record["data"]["type"]: record for record in ws_records(ws, 2)}
        assert {record["method"] for record in streamed.values()} == {"metering"}
        for kind, record in by_type.items():
            # The same record, member for member, without the gateway's uuid.
            assert streamed[kind]["data"] == {key: value for key, value in record.items() if key != "uuid"}
        ws.close()
        assert "Sanitizer" not in hub.output
    finally:
        cloud.stop()


def test_twenty_readings_forwarded_back_to_back_by_three_receivers_are_twenty_records(
        root, start_fieldhub, start_radio):
    # 20 telegrams, each forwarded by three receivers, parts in turn and no
    # pause between them: about 400 frames, far more than a datagram queue
    # holds. Every copy must reach the gateway, or a record misses its
    # weakest receiver (or is not made at all).
    configure_site(root)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Can CMT Protocol started$")
    meters = [("heat", dict(HEAT, serial=str(HEAT["serial"] + n))) for n in range(20)]
    radio = start_radio(root, RECEIVERS, meters)
    wait_announced(hub, RECEIVERS)
    start = len(hub.messages())
    radio.command("send")

    serials = [HEAT["serial"] + n for n in range(20)]
    for serial in serials:
        hub.wait_for(rf'^Contents: {{"type":"heat_meter".*"serial":{serial}[,}}]', timeout=15, start=start)
    # A copy that missed its telegram's merge window (250 ms) would make a
    # record of its own just after.
    time.sleep(0.5)
    records = {}
    for message in hub.messages()[start:]:
        match = re.search(r'^Contents: (\{"type":"heat_meter".*\})$', message)
        if match:
            record = json.loads(match.group(1))
            records.setdefault(record["serial"], []).append(record)
    assert sorted(records) == serials
    for serial, copies in records.items():
        assert len(copies) == 1, copies
        record = copies[0]
        assert (record["rssi"], record["trx_sn"]) == (STRONG[1], STRONG[2]), record
        assert (record["min_rssi"], record["min_trx_sn"]) == (WEAK[1], WEAK[2]), record
    assert radio.quit() == 0, "the bus gave up copies to the gateway"
    assert "Sanitizer" not in hub.output


def test_silent_receiver_is_offline_once_and_back_with_its_next_announcement(root, start_fieldhub, start_radio):
    configure_site(root)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Can CMT Protocol started$")
    # The strong receiver announces itself every 5 s and never goes offline.
    radio = start_radio(root, (STRONG, WEAK), [("heat", HEAT)], announce=5.0)
    wait_announced(hub, (STRONG, WEAK))
    radio.command(f"silence {WEAK[0]:X}")

    offline = f"^Can ID {WEAK[0]} is offline!$"
    # About 36 s after its last sign of life.
    hub.wait_for(offline, timeout=45)
    # The next offline check (they run every 2 s) must not report it again.
    time.sleep(2.5)
    messages = hub.messages()
    assert sum(1 for m in messages if re.search(offline, m)) == 1
    assert not any(re.search(f"^Can ID {STRONG[0]} is offline!$", m) for m in messages)

    start = len(messages)
    radio.command(f"resume {WEAK[0]:X}")
    wait_announced(hub, (WEAK,), start=start)
    radio.command("send")
    hub.wait_for(r"^Received HMS from CMT$", timeout=5, start=start)
    record = hub.wait_for(r'^Contents: (\{"type":"heat_meter".*\})$', timeout=5, start=start)
    contents = json.loads(record.group(1))
    assert (contents["min_trx_sn"], contents["min_rssi"]) == (WEAK[2], WEAK[1])
    assert "Sanitizer" not in hub.output
