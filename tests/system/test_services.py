"""The device services of the real binary in a simulation root: the avahi
service file, the watchdog, root access through the passwd stub, the supply
alarm over WebSocket with its LED burst, and the clock ("system"/"time" and
"set_time" over a real broker)."""
import json
import re
import shutil
import stat
import subprocess
import time

import pytest
import websocket

from conftest import SOURCE
from test_mqtt import Cloud

WS_PASSWORD = "5172839406"
SUPPLY = SOURCE / "sim" / "supply"

SERVICE = re.compile(
    r"""<\?xml version="1\.0" standalone='no'\?><!--\*-nxml-\*-->
<!DOCTYPE service-group SYSTEM "avahi-service\.dtd">

<service-group>

  <name replace-wildcards="yes">%h</name>

  <service>
    <type>_ws\._tcp</type>
    <port>80</port>
    <txt-record>fw_version=2023\.2\.7</txt-record>
    <txt-record>uptime=\d+</txt-record>
<txt-record>ip_eth0=(null|[\d.]+)</txt-record><txt-record>ip_eth1=(null|[\d.]+)</txt-record>  </service>
</service-group>
\Z""")


def eventually(condition, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} not reached in {timeout} s")
        time.sleep(0.05)


def read(path):
    try:
        return path.read_text()
    except OSError:
        return None


def log_in(hub):
    ws = websocket.create_connection(f"ws://127.0.0.1:{hub.ws_port}/", timeout=10)
    assert json.loads(ws.recv())["auth"] == "not authorized"
    ws.send(json.dumps({"login": "qtr", "password": WS_PASSWORD}))
    assert ws.recv() == '{"auth":"done"}'
    return ws


def receive(ws, wanted, timeout=15.0):
    """The first text received for which wanted(text) holds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ws.settimeout(max(0.1, deadline - time.monotonic()))
        text = ws.recv()
        if wanted(text):
            return text
    raise AssertionError("nothing wanted arrived")


def test_service_file_is_written_at_once_and_the_watchdog_waits_for_its_device(root, start_fieldhub):
    watchdog = root / "dev" / "watchdog"
    watchdog.unlink()
    services = root / "etc" / "avahi" / "services"
    hub = start_fieldhub(root)
    hub.wait_for(r"^App version")

    service = services / "ws.service"
    text = eventually(lambda: read(service), what="ws.service")
    assert SERVICE.match(text), text
    assert "imei" not in text
    assert stat.S_IMODE(service.stat().st_mode) == 0o644
    assert sorted(p.name for p in services.iterdir()) == ["ws.service"]

    # The open is retried quietly and never creates the device.
    assert not watchdog.exists()
    watchdog.touch()
    eventually(lambda: watchdog.stat().st_size >= 2, what="keep-alives")
    first, started = watchdog.stat().st_size, time.monotonic()
    eventually(lambda: watchdog.stat().st_size >= first + 6, what="six more keep-alives")
    # Twice a second, not faster: six beats take about three seconds.
    assert time.monotonic() - started > 2.4
    assert hub.proc.poll() is None


def test_root_access_follows_the_settings_through_passwd(root, start_fieldhub):
    shadow = root / "etc" / "shadow"
    stdin_log = root / "var" / "passwd.stdin"
    hub = start_fieldhub(root)
    hub.wait_for(r"^WS started$")
    ws = log_in(hub)

    # A password that a shell would run.
    password = "$(touch pwned)`touch pwned2`"
    ws.send(json.dumps({"root": {"login_enabled": True, "password": password}}))
    hub.wait_for(r"^Enabling SSH access$")
    eventually(lambda: read(stdin_log) == f"{password}\n{password}\n", what="passwd input")
    eventually(lambda: read(shadow).startswith("root:$sim$"), what="password set")
    assert not list(root.rglob("pwned*"))
    commands = hub.commands()
    assert "passwd root" in commands
    assert not any("touch" in line for line in commands)
    assert password not in hub.output

    ws.send(json.dumps({"root": {"login_enabled": False}}))
    hub.wait_for(r"^Disabling SSH access$")
    eventually(lambda: read(shadow).startswith("root:!"), what="password locked")
    assert "passwd -l root" in hub.commands()

    # Login wanted without a password: refused, the account stays locked.
    ws.send(json.dumps({"root": {"login_enabled": True, "password": ""}}))
    hub.wait_for(r"^Root password not set: empty or holds a line break$")
    ws.close()
    hub.stop()

    # A restart compares the stored setting with the shadow file and applies
    # the setting again when they differ.
    (root / "data" / "dps" / "root").write_text('{"login_enabled":true,"password":"second"}')
    restarted = start_fieldhub(root)
    restarted.wait_for(r"^Root mismatch detected\. New status: 1$")
    restarted.wait_for(r"^Enabling SSH access$")
    eventually(lambda: read(stdin_log).endswith("second\nsecond\n"), what="second password")
    eventually(lambda: read(shadow).startswith("root:$sim$"), what="password set again")


def test_a_dropped_backup_supply_raises_the_alarm_and_flashes_the_yellow_led(root, start_fieldhub):
    hub = start_fieldhub(root)
    hub.wait_for(r"^WS started$")
    ws = log_in(hub)
    healthy = '{"power_status":{"main":24.00,"backup":24.00,"alarm":false}}'
    receive(ws, lambda text: text == healthy)

    subprocess.run([str(SUPPLY), str(root), "backup", "0"], check=True, stdout=subprocess.DEVNULL)
    receive(ws, lambda text: text == '{"power_status":{"main":24.00,"backup":0.00,"alarm":true}}')
    # Three flashes, at most every 10 s once the application runs.
    yellow = root / "run" / "gpio" / "yellow"
    eventually(lambda: read(yellow) == "0101010", timeout=25, what="LED burst")

    subprocess.run([str(SUPPLY), str(root), "backup", "24"], check=True, stdout=subprocess.DEVNULL)
    receive(ws, lambda text: text == healthy)


def test_system_time_sets_the_clock_and_the_rtc_and_refuses_what_is_no_time(root, start_fieldhub):
    rtc = root / "dev" / "rtc0"
    hub = start_fieldhub(root, {"TZ": "UTC0"})
    hub.wait_for(r"^WS started$")
    ws = log_in(hub)
    receive(ws, lambda text: text.startswith('{"root":'))  # the last group sent after login

    ws.send('{"system":{"time":1700000000}}')
    hub.wait_for(r"^Saving time to RTC$")
    eventually(lambda: re.fullmatch(r"2023-11-14 22:13:2\d\n", read(rtc) or ""), what="RTC text")
    shown = json.loads(receive(ws, lambda text: text.startswith('{"system":')))["system"]["time"]
    assert 1700000000 <= shown < 1700000000 + 30

    saved = read(rtc)
    for value in ['"abc"', "null", "-1", '""']:
        ws.send('{"system":{"time":%s}}' % value)
    hub.wait_for(r'^Bad time value: $')
    assert hub.messages().count("Saving time to RTC") == 1
    assert read(rtc) == saved
    assert "Bad time value: abc" in hub.messages()


@pytest.mark.skipif(shutil.which("mosquitto") is None, reason="mosquitto is not installed")
def test_set_time_over_the_broker_answers_success_and_leaves_the_clock(root, start_fieldhub, mosquitto_broker):
    mosquitto_broker.write_settings(root)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Done subscribing")
    cloud = Cloud(mosquitto_broker.port)
    try:
        cloud.publish("requests", '{"jsonrpc":"2.0","method":"set_time","id":3,"params":{"time":1}}')
        text, retained = cloud.wait_for("responses")
        assert text == '{"jsonrpc":"2.0","result":"{"status":"success"}","id":3}'
        assert not retained
    finally:
        cloud.stop()
    hub.wait_for(r'^Got set time rpc with: \{"time":1\}$')
    assert "Saving time to RTC" not in hub.messages()
