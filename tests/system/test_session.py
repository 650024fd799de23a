"""The local API session of the real binary with real WebSocket clients:
login, the settings groups a client receives, and a change that is saved,
reaches the other clients and survives a restart."""
import json
import time

import websocket

GREETING = '{"auth":"not authorized","device":"qtr90"}'
DONE = '{"auth":"done"}'
INCORRECT = '{"auth":"incorrect"}'
DEFAULT_PASSWORD = "5172839406"

# The order of the root's children.
TOP_LEVEL_ORDER = [
    "power_status", "power_limits", "eth_status", "eth0", "eth1", "mqtt", "mqtt_status", "mqtt_test", "wsc",
    "fw_update", "reset", "system", "factory", "gsm_status", "can", "krel_tx", "krel_rx", "krel_devices_list",
    "pult", "rs485", "rs485_status", "rs485_device", "root", "factoryTest", "reset_factory_tests"]
# Settings nobody but a client changes: each comes exactly once after login.
SETTINGS_GROUPS = ["power_limits", "eth0", "eth1", "mqtt", "wsc", "can", "pult", "rs485", "root"]


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def start(root, start_fieldhub):
    hub = start_fieldhub(root)
    hub.wait_for(r"^WS started$")
    return hub


def connect(hub):
    ws = websocket.create_connection(f"ws://127.0.0.1:{hub.ws_port}/", timeout=5)
    assert ws.recv() == GREETING
    return ws


def log_in(hub, password=DEFAULT_PASSWORD):
    ws = connect(hub)
    ws.send(compact({"login": "qtr", "password": password}))
    assert ws.recv() == DONE
    return ws


def receive_until(ws, wanted, timeout=10.0):
    """Texts received until one for which wanted(text) holds (included)."""
    texts = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        texts.append(ws.recv())
        if wanted(texts[-1]):
            return texts
    raise AssertionError(f"nothing wanted among {texts}")


def group_of(text):
    value = json.loads(text)
    assert isinstance(value, dict) and len(value) == 1, text
    return next(iter(value.items()))


def initial_groups(ws):
    """The group objects sent after login, up to the last group of a running board."""
    return [group_of(text) for text in receive_until(ws, lambda text: text.startswith('{"root":'))]


def file_content(path, wanted, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and path.read_text() == wanted:
            return wanted
        time.sleep(0.05)
    return path.read_text() if path.exists() else None


def test_wrong_logins_and_pings_keep_the_client_unauthorised(root, start_fieldhub):
    hub = start(root, start_fieldhub)
    ws = connect(hub)
    for text, reply in [
        (compact({"login": "QTR", "password": DEFAULT_PASSWORD}), INCORRECT),
        (compact({"password": DEFAULT_PASSWORD}), INCORRECT),
        ("garbage", INCORRECT),
        ('{"type":"ping"}', '{"type":"pong"}'),
        ('{"type": "ping"}', INCORRECT),
        (compact({"wsc": {"password": "taken"}}), INCORRECT),
    ]:
        ws.send(text)
        assert ws.recv() == reply, text
    assert "WS authorized!" not in hub.messages()
    ws.send(compact({"login": "qtr", "password": DEFAULT_PASSWORD}))
    assert ws.recv() == DONE
    hub.wait_for(r"^WS authorized!$")
    assert not (root / "data" / "dps" / "wsc").exists()


def test_groups_after_login_and_a_change_saved_shared_and_kept_over_a_restart(root, start_fieldhub):
    hub = start(root, start_fieldhub)
    writer = log_in(hub)
    groups = initial_groups(writer)
    names = [name for name, _ in groups]
    first_seen = list(dict.fromkeys(names))
    assert first_seen == sorted(first_seen, key=TOP_LEVEL_ORDER.index), names
    assert names[0] == "power_status"
    for name in SETTINGS_GROUPS:
        assert names.count(name) == 1, (name, names)
    endpoints = {"mqtt_test", "fw_update", "reset", "krel_tx", "krel_rx", "rs485_device"}
    assert not endpoints & set(names)
    received = dict(groups)
    assert received["wsc"] == {"password": DEFAULT_PASSWORD}
    assert received["power_limits"]["need_both"] is True

    reader = log_in(hub)
    initial_groups(reader)
    outsider = connect(hub)

    writer.send(compact({"pult": {"target": "10.1.2.3", "enabled": True}, "wsc": {"password": "s3cret"},
                         "me": "marm_on"}))
    dps = root / "data" / "dps"
    assert file_content(dps / "wsc", '{"password":"s3cret"}') == '{"password":"s3cret"}'
    pult = '{"is_server":false,"target":"10.1.2.3","enabled":true}'
    assert file_content(dps / "pult", pult) == pult
    assert not (dps / "wsc.new").exists()

    for ws in (writer, reader):
        changed = dict(group_of(text) for text in receive_until(ws, lambda text: text.startswith('{"pult":')))
        assert changed["wsc"] == {"password": "s3cret"}
        assert changed["pult"]["target"] == "10.1.2.3"

    # The one that never logged in got nothing but its greeting.
    outsider.send('{"type":"ping"}')
    assert outsider.recv() == '{"type":"pong"}'

    stale = connect(hub)
    stale.send(compact({"login": "qtr", "password": DEFAULT_PASSWORD}))
    assert stale.recv() == INCORRECT
    for ws in (writer, reader, outsider, stale):
        ws.close()

    hub.stop()
    again = start(root, start_fieldhub)
    ws = log_in(again, "s3cret")
    restarted = dict(initial_groups(ws))
    assert restarted["wsc"] == {"password": "s3cret"}
    assert restarted["pult"]["target"] == "10.1.2.3"
    ws.close()
