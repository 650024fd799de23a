"""The cloud link with the panel simulator on the simulated CAN bus: the
device_status "devices" masks follow the alive panel nodes, digest records
reach the broker as notifications, the client moves between the main and
the backup broker, and a broker with a password file takes the configured
credentials and refuses wrong ones."""
import json
import os
import subprocess
import time

import pytest

from conftest import free_port
from test_mqtt import PREFIX, UUID, Broker, brokers, clouds, online, write_brokers  # noqa: F401
from test_panel import configure_can, expected_record, panel_sim, start_hub, start_panel  # noqa: F401


def masks(*nodes):
    """The 32 "devices" masks for the given alive node numbers."""
    result = [0] * 32
    for node in nodes:
        result[node // 8] |= 1 << node % 8
    return result


def devices(text):
    return json.loads(text)["params"].get("devices")


def test_device_status_follows_the_alive_panel_nodes(root, start_hub, start_panel, brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    configure_can(root)
    cloud = clouds(broker.port)
    hub = start_hub(root)
    sim = start_panel(root, "--layout", "64", "--nodes", "1,2,5,12", "--period", "0.2")

    text, _ = cloud.wait_for("status", lambda t: online(t) and devices(t) == masks(1, 2, 5, 12), timeout=30)
    params = json.loads(text)["params"]
    assert list(params)[:1] == ["uuid"] and params["timezone"] == 0
    hub.wait_for(r"^Updating device_status$")

    # A node that falls silent is dead 10 s later; the status drops its bit.
    sim.command("silence 5")
    text, _ = cloud.wait_for("status", lambda t: online(t) and devices(t) == masks(1, 2, 12), timeout=30)
    assert json.loads(text)["params"]["is_boot"] is False
    late = clouds(broker.port)
    text, retained = late.wait_for("status")
    assert retained and devices(text) == masks(1, 2, 12)

    # And comes back when it speaks again.
    sim.command("resume 5")
    cloud.wait_for("status", lambda t: online(t) and devices(t) == masks(1, 2, 5, 12), timeout=30)
    assert hub.proc.poll() is None


def test_digest_records_arrive_as_notifications_with_uuid_first(root, start_hub, start_panel, brokers, clouds):
    broker = brokers()
    write_brokers(root, broker.port)
    configure_can(root)
    cloud = clouds(broker.port)
    hub = start_hub(root)
    hub.wait_for(r"^Done subscribing")
    sim = start_panel(root, "--layout", "250", "--nodes", "3,17", "--period", "0.2")

    def digest_of(node):
        return lambda t: json.loads(t)["method"] == "digest" and json.loads(t)["params"]["device"]["can_id"] == node

    for node in (3, 17):
        text, retained = cloud.wait_for("updates", digest_of(node), timeout=20)
        assert not retained
        assert text.startswith('{"jsonrpc":"2.0","method":"digest","params":{"uuid":"' + UUID + '",')
        params = json.loads(text)["params"]
        assert list(params) == ["uuid", "device"]
        assert {"device": params["device"]} == expected_record(panel_sim.Node(node))

    # A change on the bus is one more notification with the new state.
    sim.command("event 17")
    changed = panel_sim.Node(17)
    changed.count_event()
    text, _ = cloud.wait_for("updates", digest_of(17), timeout=20)
    assert {"device": json.loads(text)["params"]["device"]} == expected_record(changed)
    messages = hub.messages()
    assert "Skipping MeterData!" not in messages and "Publishing error!" not in messages


def test_fail_over_to_the_backup_and_back_to_main(root, start_hub, brokers, clouds):
    # The main broker is dead at start: three attempts, then the backup.
    # Once the backup connection has held for more than 30 s, its loss sends
    # the client back to the main broker first. (The 300 s limit on the
    # backup is covered by the unit tests.)
    main = brokers("main")
    main.stop()
    backup = brokers("backup")
    write_brokers(root, main.port, backup.port)
    backup_cloud = clouds(backup.port)
    hub = start_hub(root)
    backup_cloud.wait_for("status", online, timeout=30)
    connected_at = time.monotonic()
    attempts = [m for m in hub.messages() if m.startswith("Connecting ")]
    assert attempts == ["Connecting main mqtt"] * 3 + ["Connecting backup mqtt"]

    main.start()
    main_cloud = clouds(main.port)
    # More than 30 s, counted in whole seconds from before the first status.
    time.sleep(max(0.0, connected_at + 33 - time.monotonic()))
    start = len(hub.messages())
    backup.stop()
    hub.wait_for(r"^Mqtt disconencted$", start=start)
    text, _ = main_cloud.wait_for("status", online, timeout=30)
    after = hub.messages()[start:]
    assert [m for m in after if m.startswith("Connecting ")][0] == "Connecting main mqtt", hub.output[-6000:]
    assert "Connection failed!" not in after
    assert json.loads(text)["params"]["is_boot"] is False


class PasswordBroker(Broker):
    """A mosquitto that admits one user, from a password file made with
    mosquitto_passwd."""

    def __init__(self, directory, user, password):
        self.port = free_port()
        passwords = directory / "passwords"
        passwords.write_text("")
        passwords.chmod(0o600)
        subprocess.run(["mosquitto_passwd", "-b", str(passwords), user, password], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.config = directory / "password.conf"
        # Started as root, mosquitto drops to its own user, which may not
        # read a password file in the test's directory.
        stay_root = "user root\n" if os.geteuid() == 0 else ""
        self.config.write_text(f"listener {self.port} 127.0.0.1\nallow_anonymous false\n"
                               f"password_file {passwords}\npersistence false\n{stay_root}")
        self.start()

    def subscribe_once(self, user, password, topic, timeout=10):
        """mosquitto_sub for one message: (exit code, text)."""
        done = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-u", user, "-P", password,
                               "-t", topic, "-C", "1", "-W", str(timeout)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout + 5)
        return done.returncode, done.stdout


@pytest.fixture
def password_broker(tmp_path):
    broker = PasswordBroker(tmp_path, "gateway", "s3cret")
    yield broker
    broker.stop()


def test_password_broker_refuses_wrong_credentials_and_takes_the_right_ones(root, start_hub, password_broker):
    broker = password_broker
    code, text = broker.subscribe_once("gateway", "wrong", PREFIX + "status")
    assert code != 0 and "not authori" in text, "the broker must refuse a wrong password"

    # Main: this broker with a wrong password; backup: the same broker with
    # the right one. The refused attempts are counted, then the backup works.
    group = {"main": {"host": "127.0.0.1", "user": "gateway", "pass": "wrong", "port": broker.port},
             "alt": {"host": "127.0.0.1", "user": "gateway", "pass": "s3cret", "port": broker.port}}
    (root / "data" / "dps" / "mqtt").write_text(json.dumps(group, separators=(",", ":")))
    hub = start_hub(root)
    hub.wait_for(r"^Connecting backup mqtt$", timeout=30)
    messages = hub.messages()
    assert messages.count("Connection failed!") == 3
    assert not any(m.startswith("Done subscribing") for m in messages)
    hub.wait_for(r"^Done subscribing", timeout=30)

    code, text = broker.subscribe_once("gateway", "s3cret", PREFIX + "status")
    assert code == 0 and online(text.strip())
    assert hub.proc.poll() is None
