"""Register polls, the console link and the register bridge of the real
binary against the panel simulator (sim/panel.py), a real mosquitto and
real WebSocket and UDP clients: every poll record on the broker,
"get_connect_data", an unanswered register, "krel_rx"/"krel_tx" with both
ports on one bus, and the console link in client and server mode with
peers on 127.0.0.2 and 127.0.0.3 on the console port.

The expected records are worked out here from the simulator's node model
and the record descriptions, independently of the firmware."""
import json
import os
import socket
import time

from test_mqtt import UUID, brokers, clouds, write_brokers, ws_login  # noqa: F401
from test_panel import configure_can, koi8_name, panel_sim, start_hub, start_panel  # noqa: F401
from canbus import Frame, bus_path  # noqa: E402


# -- the expected records, from the simulator's model ----------------------

def version_text(word):
    months = word >> 7 & 0xFF
    build = word & 0x7F
    date = f"{2020 + months // 12}-{months % 12 + 1:02d}"
    return f"{date}#{build}" if word & 0x8000 else f"{date}({build})"


def radio_record(number, d, device):
    inner = {"number": d + 1, "serial": device.serial}
    if device.serial:
        inner.update(name=koi8_name(panel_sim.koi8(device.name, 16)), type=device.type, group=device.group,
                     status=device.status, fault=device.fault)
        if not device.type & 0x80:
            inner.update(signal_quality=[device.signal[0] - 128, device.signal[1] - 128],
                         fw_ver=version_text(device.version), hub=device.hub, v_main=device.v_main,
                         v_backup=device.v_backup)
        inner["disabled"] = bool(device.disabled)
    return {"can_id": number, "device": inner}


def expected_polls(node, regmap):
    """(method, params without uuid) of every record of a node's first pass."""
    n = node.number
    records = []
    for name_list in ("event_names", "valve_names", "rf_group_names"):
        count = regmap.names[name_list][2]
        for part in range((count + 15) // 16):
            names = [node.name_lists[name_list](e) for e in range(16 * part, min(16 * part + 16, count))]
            records.append((name_list, {"can_id": n, "part": part, "names": names}))
    key = "".join(f"{word:08X}" for word in node.rf_key)
    records.append(("device_info", {"can_id": n, "code": node.code, "fw_ver": version_text(node.version),
                                    "rf_channel": node.rf_channel, "rf_key": key}))
    records += [("rf_dev", radio_record(n, d, node.radio[d])) for d in range(2)]
    records.append(("hubs", {"can_id": n, "hubs_used": node.hubs_used, "hubs_fault": node.hubs_fault}))
    records.append(("power", {"can_id": n, "v_main": node.v_main, "v_backup": node.v_backup,
                              "v_main_ok": node.main_ok, "v_backup_ok": node.backup_ok}))
    used = (1 << node.used_devices) - 1
    records.append(("rf_dev_used", {"can_id": n, "devices": list(used.to_bytes(32, "little"))}))
    records += [("rf_dev", radio_record(n, d, node.radio[d])) for d in range(node.used_devices)]
    return records


def logged_records(hub, method_keys):
    """JSON of the records fieldhub logged whose members start with the keys."""
    found = []
    for message in hub.messages():
        if message.startswith("Contents: {"):
            record = json.loads(message[len("Contents: "):])
            if list(record)[:len(method_keys)] == method_keys:
                found.append(record)
    return found


def logged_in(hub):
    hub.wait_for(r"^WS started$")
    return ws_login(hub)


def ws_answer(ws, key, timeout=10):
    """The next text that is an answer of the endpoint `key`."""
    deadline = time.monotonic() + timeout
    while True:
        ws.settimeout(max(0.1, deadline - time.monotonic()))
        text = ws.recv()
        message = json.loads(text)
        if list(message) == [key]:
            return message[key]
        assert time.monotonic() < deadline, f"no {key} answer"


# -- tests -----------------------------------------------------------------

def test_every_poll_record_reaches_the_broker_and_get_connect_data_repeats_them(root, start_hub, start_panel,
                                                                                   brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    configure_can(root)
    cloud = clouds(broker.port)
    hub = start_hub(root)
    hub.wait_for(r"^Done subscribing")
    sim = start_panel(root, "--layout", "64", "--nodes", "2", "--period", "0.5", "--devices", "3")
    node = panel_sim.Installation(64, [2], devices=3).nodes[2]
    hub.wait_for(r"^Started KREL PollThread$", timeout=20)

    expected = expected_polls(node, panel_sim.RegisterMap(64))
    received = []
    deadline = time.monotonic() + 60
    while len(received) < len(expected):
        assert time.monotonic() < deadline, f"only {received} of {expected}"
        text, retained = cloud.wait_for("updates", timeout=deadline - time.monotonic())
        message = json.loads(text)
        if message["method"] == "digest":
            continue
        assert not retained and '"hub_time"' not in text
        assert text.startswith('{"jsonrpc":"2.0","method":"' + message["method"] + '","params":{"uuid":"' + UUID)
        params = message["params"]
        del params["uuid"]
        received.append((message["method"], params))
    assert received == expected
    assert hub.messages().count("Polling config of USO 2") >= 1

    # The cloud asks for everything again: answered at once, then the next
    # pass publishes the digest and reads the configuration again.
    configs = hub.messages().count("Polling config of USO 2")
    cloud.publish("requests", '{"jsonrpc":"2.0","method":"get_connect_data","id":5}')
    text, _ = cloud.wait_for("responses")
    assert text == '{"jsonrpc":"2.0","result":"{"status":"success"}","id":5}'
    cloud.wait_for("updates", lambda t: json.loads(t)["method"] == "digest", timeout=20)
    cloud.wait_for("updates", lambda t: json.loads(t)["method"] == "device_info", timeout=20)
    assert hub.messages().count("Polling config of USO 2") > configs
    assert "IO timeout" not in hub.messages()


def test_an_unanswered_register_is_an_io_timeout_and_the_pass_goes_on(root, start_hub, start_panel):
    configure_can(root)
    hub = start_hub(root)
    sim = start_panel(root, "--layout", "250", "--nodes", "3,5", "--period", "0.5", "--quiet")
    regmap = panel_sim.RegisterMap(250)
    sim.command(f"mute 3 {regmap.hubs[0]}")
    hub.wait_for(r"^250 USO System detected!$")
    hub.wait_for(r"^IO timeout$", timeout=30)
    start = len(hub.messages())
    # The next pass: node 3's power and node 5's hubs still come, node 3's hubs never.
    hub.wait_for(r"^IO timeout$", timeout=30, start=start)
    hubs = logged_records(hub, ["can_id", "hubs_used"])
    power = logged_records(hub, ["can_id", "v_main"])
    assert [r["can_id"] for r in hubs if r["can_id"] == 3] == []
    assert any(r["can_id"] == 5 for r in hubs)
    assert any(r["can_id"] == 3 and r["v_main"] == 24.0 for r in power)
    timeouts = [(level, tag) for level, _, tag, message in hub.lines() if message == "IO timeout"]
    assert set(timeouts) == {("W", "PollThread.cpp")}
    assert hub.proc.poll() is None


def test_local_client_reads_and_writes_registers_with_both_ports_on_one_bus(root, start_hub, start_panel):
    # Each port hears the other's copy of every request: a read decodes as
    # its own answer, a write as "ok". Neither may count as the node's answer.
    bus = bus_path(root, "can0")
    bus.mkdir(parents=True, exist_ok=True)
    os.symlink("can0", bus_path(root, "can1"))
    configure_can(root, "krel", "krel", False)
    hub = start_hub(root)
    ws = logged_in(hub)
    ws.send(json.dumps({"krel_rx": {"ppk": 3, "reg": 4100}}))
    assert ws_answer(ws, "krel_rx") == {"status": "no devices"}

    sim = start_panel(root, "--layout", "250", "--nodes", "3", "--period", "0.5", "--quiet")
    hub.wait_for(r"^250 USO System detected!$")
    # The node hears each request twice (once per port) and answers twice;
    # a register is read back only after it was written, so a late copy of
    # an earlier answer carries the same value.
    sim.command("reg 3 4100 4 11000000")
    ws.send(json.dumps({"krel_rx": {"ppk": 3, "reg": 4100}}))
    assert ws_answer(ws, "krel_rx") == {"ppk": 3, "reg": 4100, "status": "ok", "value": 17}
    ws.send(json.dumps({"krel_tx": {"ppk": 3, "reg": 4102, "value": 1.5}}))
    assert ws_answer(ws, "krel_tx") == {"ppk": 3, "reg": 4102, "status": "ok"}
    ws.send(json.dumps({"krel_rx": {"ppk": 3, "reg": 4102}}))
    assert ws_answer(ws, "krel_rx") == {"ppk": 3, "reg": 4102, "status": "ok", "value": 1.5}
    ws.send(json.dumps({"krel_tx": {"ppk": 3, "reg": 4104, "value": "Щит"}}, ensure_ascii=False))
    assert ws_answer(ws, "krel_tx")["status"] == "ok"
    ws.send(json.dumps({"krel_rx": {"ppk": 3, "reg": 4104}}))
    assert ws_answer(ws, "krel_rx")["value"] == "Щит"

    # A register the node does not answer, and a node that cannot exist.
    sim.command("mute 3 4101")
    asked = time.monotonic()
    ws.send(json.dumps({"krel_tx": {"ppk": 3, "reg": 4101, "value": 5}}))
    ws.send(json.dumps({"krel_rx": {"ppk": 300, "reg": 4100}}))
    assert ws_answer(ws, "krel_tx") == {"ppk": 3, "reg": 4101, "status": "no answer"}
    assert time.monotonic() - asked > 3
    assert ws_answer(ws, "krel_rx") == {"ppk": 300, "reg": 4100, "status": "no answer"}

    # The polls store what the node answered, not their own requests' zeros.
    hub.wait_for(r'^Contents: \{"can_id":3,"v_main":', timeout=30)
    power = logged_records(hub, ["can_id", "v_main"])
    assert power and all(r["v_main"] == 24.0 for r in power)
    assert "IO timeout" not in hub.messages()
    ws.close()


class ConsolePeer:
    """A console on a loopback address, on the gateway's console port."""

    def __init__(self, address, port):
        self.address = address
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))

    def send(self, frame):
        self.sock.sendto(frame.pack() if isinstance(frame, Frame) else frame, ("127.0.0.1", self.port))

    def pending(self):
        """The frames already queued (loopback delivers within the send)."""
        frames = []
        self.sock.setblocking(False)
        try:
            while True:
                frames.append(Frame.unpack(self.sock.recv(64)))
        except BlockingIOError:
            pass
        return frames

    def wait_frame(self, predicate, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                frame = Frame.unpack(self.sock.recv(64))
            except socket.timeout:
                break
            if frame is not None and predicate(frame):
                return frame
        raise AssertionError(f"{self.address}: no such frame")

    def close(self):
        self.sock.close()


def test_console_link_as_client_then_as_server(root, start_hub, start_panel):
    configure_can(root)
    (root / "data" / "dps" / "pult").write_text('{"is_server":false,"target":"127.0.0.2","enabled":true}')
    hub = start_hub(root)
    target = ConsolePeer("127.0.0.2", hub.console_port)
    other = ConsolePeer("127.0.0.3", hub.console_port)
    try:
        hub.wait_for(r"^Pult served 0k packets\. 0 dropped$")
        sim = start_panel(root, "--layout", "64", "--nodes", "1", "--period", "0.2")
        # The bus reaches the target, not the other peer.
        for _ in range(3):
            target.wait_frame(lambda f: f.can_id >> 21 == 1 and f.can_id >> 1 & 0xFFF == 0xFF0)
        assert other.pending() == []

        # From the target onto the bus; from anyone else, and bad sizes, not.
        from_target = Frame(9 << 21 | 0x57 << 1, b"\x01\x02")
        from_other = Frame(9 << 21 | 0x58 << 1, b"\x03")
        other.send(from_other)
        for size in (0, 15, 17, 1000):
            target.send(bytes(size))
        target.send(from_target)
        sim.wait_for(r"^rx 012000AE#0102 ")
        sim.command("sync")
        assert sim.received(r"^rx 012000B0#") == []

        # Server mode from a client's change, without a restart.
        ws = logged_in(hub)
        start = len(hub.messages())
        ws.send(json.dumps({"pult": {"is_server": True}}))
        hub.wait_for(r"^Changing target$", start=start)
        ws.close()
        other.send(from_other)  # a new peer: onto the bus, and it hears the bus from now on
        sim.wait_for(r"^rx 012000B0#03 ")
        target.send(from_target)
        relayed = other.wait_frame(lambda f: f == from_target)
        assert relayed == from_target
        bus_frame = lambda f: f.can_id >> 1 & 0xFFF == 0xFF0  # noqa: E731
        other.wait_frame(bus_frame)
        target.wait_frame(bus_frame)
    finally:
        target.close()
        other.close()
    assert hub.proc.poll() is None
