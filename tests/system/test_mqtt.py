"""The cloud link of the real binary against real mosquitto brokers on free
loopback ports, with a paho-mqtt client as the cloud side."""
import json
import queue
import shutil
import signal
import threading
import time

import paho.mqtt.client as mqtt
import pytest
import websocket

from conftest import MosquittoBroker, free_port

UUID = "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01"  # the identity sim/mkroot writes
PREFIX = f"fire_alarm/{UUID}/"
OFFLINE = ('{"jsonrpc":"2.0","method":"device_status","params":{"uuid":"' + UUID +
           '","model":"QTR90","sn":"100042","fw_ver":"2023.2.7","online":false}}')
WS_PASSWORD = "5172839406"

pytestmark = pytest.mark.skipif(shutil.which("mosquitto") is None, reason="mosquitto is not installed")


Broker = MosquittoBroker


class Cloud:
    """The cloud side: a paho-mqtt client that records every message of the gateway."""

    def __init__(self, port, tls=None):
        self.messages = queue.Queue()
        self.client = mqtt.Client(client_id=f"cloud-{port}-{time.monotonic_ns()}", clean_session=True)
        if tls is not None:
            self.client.tls_set_context(tls)  # an ssl.SSLContext for a TLS broker
        self.client.on_message = lambda client, userdata, message: self.messages.put(
            (message.topic[len(PREFIX):], message.payload.decode("utf-8", "replace"), message.retain))
        subscribed = threading.Event()
        self.client.on_subscribe = lambda client, userdata, mid, granted_qos: subscribed.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        result, mid = self.client.subscribe(PREFIX + "#", qos=1)
        assert result == mqtt.MQTT_ERR_SUCCESS
        assert subscribed.wait(10), "the broker did not acknowledge the subscription"

    def publish(self, suffix, payload):
        self.client.publish(PREFIX + suffix, payload, qos=1).wait_for_publish()

    def wait_for(self, suffix, predicate=lambda text: True, timeout=15.0):
        """The next message on the suffix that satisfies the predicate."""
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no message on {suffix!r} in time")
            try:
                topic, text, retained = self.messages.get(timeout=remaining)
            except queue.Empty:
                continue
            if topic == suffix and predicate(text):
                return text, retained

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


def write_brokers(root, main_port, alt_port=0):
    group = {"main": {"host": "127.0.0.1", "user": "", "pass": "", "port": main_port},
             "alt": {"host": "127.0.0.1", "user": "", "pass": "", "port": alt_port}}
    (root / "data" / "dps" / "mqtt").write_text(json.dumps(group, separators=(",", ":")))


def online(text):
    params = json.loads(text)["params"]
    return params["online"] is True


@pytest.fixture
def brokers(tmp_path):
    started = []

    def start(name="main"):
        broker = Broker(tmp_path, name)
        started.append(broker)
        return broker

    yield start
    for broker in started:
        broker.stop()


@pytest.fixture
def clouds():
    started = []

    def start(port, tls=None):
        cloud = Cloud(port, tls)
        started.append(cloud)
        return cloud

    yield start
    for cloud in started:
        cloud.stop()


def test_online_status_is_retained_and_the_will_marks_offline(root, start_fieldhub, brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    watcher = clouds(broker.port)
    hub = start_fieldhub(root)

    first, retained = watcher.wait_for("status")
    status = json.loads(first)
    assert status["method"] == "device_status"
    assert status["params"]["online"] is True and status["params"]["is_boot"] is True
    assert status["params"]["uuid"] == UUID and status["params"]["sn"] == "100042"
    assert status["params"]["devices"] == [0] * 32
    second, _ = watcher.wait_for("status")
    assert json.loads(second)["params"]["is_boot"] is False
    hub.wait_for(r"^Done subscribing\. Main topic: " + PREFIX + "status$")

    # A client that comes later gets the retained online status.
    late = clouds(broker.port)
    text, retained = late.wait_for("status")
    assert retained and text == second

    hub.proc.send_signal(signal.SIGKILL)
    hub.proc.wait(timeout=10)
    text, _ = watcher.wait_for("status", lambda t: not online(t))
    assert text == OFFLINE
    text, retained = clouds(broker.port).wait_for("status")
    assert retained and text == OFFLINE


def test_reboot_is_answered_and_unknown_or_broken_requests_are_not(root, start_fieldhub, brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Done subscribing")
    cloud = clouds(broker.port)

    for payload in ['{"jsonrpc":"2.0","method":"no_such_method","id":1}',
                    '{"jsonrpc":"2.0","method":"reboot"}',
                    'not json', '',
                    '{"method":"reboot","id":2,"params":{}}']:
        cloud.publish("requests", payload)
    cloud.publish("requests", '{"jsonrpc":"2.0","method":"reboot","id":"r1","params":{"delay":1}}')
    text, retained = cloud.wait_for("responses")
    assert text == '{"jsonrpc":"2.0","result":"{"status":"success"}","id":"r1"}'
    assert not retained
    assert "reboot -d 1" in hub.commands()
    # Answers go out in arrival order, so the first answer being r1's shows
    # that none of the earlier requests was answered; each was logged.
    messages = hub.messages()
    taken = messages.count("Got incoming RPC")
    assert taken >= 5  # the empty payload may carry no text at all
    assert messages.count("RPC invalid") == taken - 1


def test_fail_over_from_a_dead_main_broker_to_the_backup(root, start_fieldhub, brokers, clouds):
    backup = brokers("backup")
    write_brokers(root, free_port(), backup.port)
    cloud = clouds(backup.port)
    hub = start_fieldhub(root)
    text, _ = cloud.wait_for("status", online, timeout=30)
    messages = hub.messages()
    attempts = [m for m in messages if m.startswith("Connecting ")]
    assert attempts[:4] == ["Connecting main mqtt"] * 3 + ["Connecting backup mqtt"]
    assert messages.count("Connection failed!") == 3

    cloud.publish("requests", '{"jsonrpc":"2.0","method":"reboot","id":5}')
    text, _ = cloud.wait_for("responses")
    assert text.endswith('"id":5}')


def test_broker_restart_is_followed_by_a_new_connection(root, start_fieldhub, brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Done subscribing")
    broker.stop()
    hub.wait_for(r"^Mqtt disconencted$")
    start = len(hub.messages())
    broker.start()
    cloud = clouds(broker.port)
    text, _ = cloud.wait_for("status", online, timeout=30)
    hub.wait_for(r"^Done subscribing", start=start)
    cloud.publish("requests", '{"jsonrpc":"2.0","method":"reboot","id":6}')
    text, _ = cloud.wait_for("responses")
    assert text.endswith('"id":6}')


def ws_login(hub):
    ws = websocket.create_connection(f"ws://127.0.0.1:{hub.ws_port}/", timeout=10)
    assert json.loads(ws.recv())["auth"] == "not authorized"
    ws.send(json.dumps({"login": "qtr", "password": WS_PASSWORD}))
    assert json.loads(ws.recv()) == {"auth": "done"}
    return ws


def test_tunnelled_client_logs_in_and_reads_settings(root, start_fieldhub, brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Done subscribing")
    cloud = clouds(broker.port)

    cloud.publish("wsin", "{}")
    text, _ = cloud.wait_for("wsout")
    assert json.loads(text)["auth"] == "not authorized"
    text, _ = cloud.wait_for("wsout")
    assert json.loads(text) == {"auth": "incorrect"}
    hub.wait_for(r"^Creating new WSOM$")

    cloud.publish("wsin", json.dumps({"login": "qtr", "password": WS_PASSWORD}))
    text, _ = cloud.wait_for("wsout")
    assert json.loads(text) == {"auth": "done"}
    text, _ = cloud.wait_for("wsout", lambda t: t.startswith('{"mqtt":'))
    assert json.loads(text)["mqtt"]["main"]["port"] == broker.port
    assert hub.messages().count("Creating new WSOM") == 1


def connection_test(ws, tried, timeout=30):
    """Asks for a broker connection test over the local API; the answer's
    "mqtt_test" object."""
    ws.send(json.dumps({"mqtt_test": {"mqtt": tried, "gsm": False}}))
    deadline = time.monotonic() + timeout
    while True:
        assert time.monotonic() < deadline, "no connection-test result"
        text = ws.recv()
        if text.startswith('{"mqtt_test":'):
            return json.loads(text)["mqtt_test"]


def test_connection_test_from_a_local_client(root, start_fieldhub, brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Done subscribing")
    ws = ws_login(hub)

    tried = {"host": "127.0.0.1", "user": "", "pass": "", "port": broker.port}
    expected_settings = json.dumps(tried, separators=(",", ":")).replace('"', "'")
    assert connection_test(ws, tried) == {"mqtt": expected_settings, "gsm": False, "result": True}
    hub.wait_for(r"^Performing MQTT test\. Gsm: 0$")
    # Then the normal connection comes back with the stored settings.
    start = len(hub.messages())
    hub.wait_for(r"^Done subscribing", timeout=20, start=start)
    ws.close()
