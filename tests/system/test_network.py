"""The Ethernet configuration of the real binary: settings from a WebSocket
client written to dhcpcd.conf and read back after a restart, the fallback
button, the configuration saved by it, the connection data over a broker,
and the service endpoints' reset commands (answered by the root's stubs)."""
import json
import time

from conftest import STUBS, make_root
from test_factory import in_order
from test_session import compact, group_of, log_in, receive_until, start

GLOBAL = "hostname\nclientid\npersistent\noption rapid_commit\nslaac private\n"
DENY = "denyinterfaces can0\ndenyinterfaces can1\ndenyinterfaces ppp0\n\n"
DHCP_BOTH = DENY + "interface eth0\nmetric 800\n\ninterface eth1\nmetric 801\n\n"
ETH0_STATIC = (DENY + "interface eth0\nmetric 800\nstatic ip_address=10.0.0.5/16\nstatic routers=10.0.0.1\n"
               "static domain_name_servers=8.8.8.8 4.4.4.4\n\ninterface eth1\nmetric 801\n\n")
FALLBACK = (DENY + "interface eth0\nmetric 800\nstatic ip_address=192.168.0.101/24\nstatic routers=null\n"
            "static domain_name_servers=8.8.8.8 4.4.4.4\n\n"
            "interface eth1\nmetric 801\nstatic ip_address=192.168.0.102/24\nstatic routers=null\n"
            "static domain_name_servers=8.8.8.8 4.4.4.4\n\n")


def conf(root):
    return root / "data" / "etc" / "dhcpcd.conf"


def wait_until(condition, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not happen in time")
        time.sleep(0.05)


def file_is(path, text):
    return lambda: path.exists() and path.read_text() == text


def eth_status(ws, wanted, timeout=20.0):
    """The first "eth_status" group that has the wanted members."""
    def matches(text):
        name, value = group_of(text)
        return name == "eth_status" and all(value.get(k) == v for k, v in wanted.items())
    return group_of(receive_until(ws, matches, timeout)[-1])[1]


def test_static_settings_from_a_client_reach_dhcpcd_and_survive_a_restart(root, start_fieldhub):
    conf(root).write_text(GLOBAL + DHCP_BOTH)
    hub = start(root, start_fieldhub)
    ws = log_in(hub)
    # After the first reload both ports have DHCP addresses from the stub.
    eth_status(ws, {"ip1": "192.168.1.100", "mask1": "255.255.255.0", "gateway1": "192.168.1.1",
                    "ip2": "192.168.1.101"})
    before = len(hub.commands())

    ws.send(compact({"eth0": {"dhcp": False, "ip": "10.0.0.5", "netmask": "255.255.0.0", "gateway": "10.0.0.1"}}))
    wait_until(file_is(conf(root), GLOBAL + ETH0_STATIC), "the static eth0 section")
    status = eth_status(ws, {"ip1": "10.0.0.5"})
    assert status == {"ip1": "10.0.0.5", "ip2": "192.168.1.101", "mask1": "255.255.0.0", "mask2": "255.255.255.0",
                      "gateway1": "10.0.0.1", "gateway2": "192.168.1.1"}
    commands = hub.commands()[before:]
    assert in_order(["fw_printenv", "fw_printenv usedhcp ipaddr", "fw_setenv usedhcp 0", "fw_setenv ipaddr 10.0.0.5",
                     "dhcpcd -k", "dhcpcd -x", "dhcpcd"], commands), commands
    env = (root / "var" / "uboot.env").read_text()
    assert "usedhcp=0\n" in env and "ipaddr=10.0.0.5\n" in env

    # A value that is no plain address is refused whole; the client sees the
    # settings unchanged and nothing is run.
    before = len(hub.commands())
    ws.send(compact({"eth0": {"ip": "10.0.0.9 ;reboot", "gateway": "10.0.0.2"}}))
    hub.wait_for(r"^Refused invalid eth0 settings$")
    name, eth0 = group_of(receive_until(ws, lambda text: text.startswith('{"eth0":'))[-1])
    assert eth0["ip"] == "10.0.0.5" and eth0["gateway"] == "10.0.0.1"
    ws.send('{"type":"ping"}')
    receive_until(ws, lambda text: text == '{"type":"pong"}')
    assert hub.commands()[before:] == [c for c in hub.commands()[before:] if c.startswith("ip ")]
    ws.close()

    hub.stop()
    again = start(root, start_fieldhub)
    again.wait_for(r"^Reading config$")
    again.wait_for(r"^Done!$", start=again.messages().index("Reading config"))
    ws = log_in(again)
    groups = dict(group_of(text) for text in receive_until(ws, lambda text: text.startswith('{"root":')))
    assert groups["eth0"] == {"ip": "10.0.0.5", "netmask": "255.255.0.0", "gateway": "10.0.0.1", "dns1": "8.8.8.8",
                              "dns2": "4.4.4.4", "dhcp": False, "static_fallback": False, "add_default_dns": True}
    assert groups["eth1"]["dhcp"] is True
    # The first reload of the restart writes the same file again: nothing changes.
    again.wait_for(r"^Reloading network$")
    eth_status(ws, {"ip1": "10.0.0.5"})
    assert conf(root).read_text() == GLOBAL + ETH0_STATIC
    ws.close()


def test_fifty_applies_in_a_second_keep_the_last_and_the_server_answering(root, start_fieldhub):
    hub = start(root, start_fieldhub)
    ws = log_in(hub)
    eth_status(ws, {"ip1": "192.168.1.100"})
    before = len(hub.commands())
    started = time.monotonic()
    for n in range(1, 51):
        ws.send(compact({"eth0": {"dhcp": False, "ip": f"10.0.1.{n}", "netmask": "255.255.255.0"}}))
    ws.send('{"type":"ping"}')
    receive_until(ws, lambda text: text == '{"type":"pong"}', timeout=5)
    assert time.monotonic() - started < 5, "the WebSocket thread was held up"
    wait_until(lambda: "static ip_address=10.0.1.50/24\n" in conf(root).read_text(), "the last setting")
    eth_status(ws, {"ip1": "10.0.1.50"})
    # Changes that arrived together are loaded together, not one by one.
    assert hub.commands()[before:].count("dhcpcd") <= 3
    ws.close()


def press(button, level):
    """Writes one byte in place, as the board's GPIO file changes."""
    with open(button, "r+b", buffering=0) as f:
        f.write(level)


def test_button_applies_the_fallback_and_a_client_change_keeps_it(root, start_fieldhub):
    original = GLOBAL + ETH0_STATIC
    conf(root).write_text(original)
    button = root / "run" / "gpio" / "button1"
    press(button, b"0")  # held while the board starts
    hub = start_fieldhub(root)
    hub.wait_for(r"^Detected fallback request$", timeout=20)
    for n in range(11):
        time.sleep(0.1)
        press(button, b"1" if n % 2 == 0 else b"0")
    hub.wait_for(r"^Counts: 11$", timeout=20)
    hub.wait_for(r"^Enabling fallback net settings$")
    saved = conf(root).with_name("dhcpcd.conf.fb")
    wait_until(file_is(saved, original), "the saved copy")
    wait_until(file_is(conf(root), GLOBAL + FALLBACK), "the fallback configuration")
    wait_until(lambda: "inet 192.168.0.101/24" in (root / "var/net/eth0").read_text(errors="replace")
               if (root / "var/net/eth0").exists() else False, "the fallback address")

    # A change within the four minutes keeps the fallback, with the change.
    hub.wait_for(r"^WS started$")
    ws = log_in(hub)
    groups = dict(group_of(text) for text in receive_until(ws, lambda text: text.startswith('{"root":')))
    assert groups["eth0"]["ip"] == "192.168.0.101" and groups["eth1"]["ip"] == "192.168.0.102"
    ws.send(compact({"eth1": {"gateway": "192.168.0.1"}}))
    kept = GLOBAL + FALLBACK[:FALLBACK.rindex("static routers=null")] + "static routers=192.168.0.1" + \
        FALLBACK[FALLBACK.rindex("static routers=null") + len("static routers=null"):]
    wait_until(file_is(conf(root), kept), "the fallback kept with the change", timeout=30)
    wait_until(lambda: not saved.exists(), "the saved copy dropped")
    hub.wait_for(r"^Reading config$")
    assert "Recovering saved dhcpcd config" not in hub.messages()
    ws.close()


def test_configuration_saved_by_the_button_comes_back_at_start(root, start_fieldhub):
    conf(root).write_text(GLOBAL + FALLBACK)
    saved = conf(root).with_name("dhcpcd.conf.fb")
    saved.write_text(GLOBAL + ETH0_STATIC)
    hub = start_fieldhub(root)
    hub.wait_for(r"^Recovering saved dhcpcd config$")
    hub.wait_for(r"^Reading config$", timeout=20)
    hub.wait_for(r"^Done!$", start=hub.messages().index("Reading config"))
    assert conf(root).read_text() == GLOBAL + ETH0_STATIC
    assert not saved.exists()
    messages = [m for m in hub.messages() if m in ("Recovering saved dhcpcd config", "Reloading network", "Done!",
                                                   "Reading config")]
    assert messages[:5] == ["Recovering saved dhcpcd config", "Reloading network", "Done!", "Reading config", "Done!"]


def test_connection_data_over_a_broker(root, start_fieldhub, mosquitto_broker):
    from test_mqtt import UUID, Cloud
    mosquitto_broker.write_settings(root)
    cloud = Cloud(mosquitto_broker.port)
    try:
        hub = start_fieldhub(root)
        hub.wait_for(r"^Done subscribing", timeout=40)
        cloud.publish("requests", '{"jsonrpc":"2.0","method":"caneth_config","id":5}')
        text, _ = cloud.wait_for("responses")
        assert text == (
            '{"jsonrpc":"2.0","result":{"uuid":"' + UUID + '","ethernet":{"ip_type":"DHCP",'
            '"ip":"192.168.1.100","ip2":"192.168.1.101","mask":"255.255.255.0","mask2":"255.255.255.0",'
            '"gateway":"192.168.1.1","gateway2":"192.168.1.1","id_virtual_network":"none","network_name":"none"},'
            '"mqtt":{"proto":"MQTT/TCP","broker":"127.0.0.1","broker2":"","port":' + str(mosquitto_broker.port) +
            ',"port2":0,"client_id_prefix":"","username":"","username2":""},'
            '"can":{"can_id":100,"visibility":false,"groups":[]}},"id":5}')
    finally:
        cloud.stop()


def reset(hub, value):
    ws = log_in(hub)
    ws.send(compact({"reset": value}))
    answer = receive_until(ws, lambda text: text.startswith('{"reset":'))[-1]
    return ws, json.loads(answer)["reset"]["result"]


def test_mass_erase_runs_its_commands_in_order_and_only_once(root, start_fieldhub):
    hub = start(root, start_fieldhub)
    hub.wait_for(r"^Reading config$")
    ws, result = reset(hub, "mass_erase")
    assert result == "ok"
    commands = hub.commands()
    real = root.resolve()
    assert in_order(["killall -9 dhcpcd", f"umount -l {real}/data", f"flash_erase -j {real}/dev/mtd5 0 0",
                     "S10data start", "S10data stop", "reboot -d 1"], commands), commands
    # The factory addresses were checked again against the interfaces file.
    assert hub.messages().count("No need to change macs") == 2
    for line in commands:
        assert line.split()[0] in STUBS, line

    ws.send(compact({"reset": "reboot"}))
    assert json.loads(receive_until(ws, lambda text: text.startswith('{"reset":'))[-1]) == \
        {"reset": {"result": "error"}}
    hub.wait_for(r"^Reset already running$")
    assert hub.commands().count("reboot -d 1") == 1
    ws.close()


def test_mqtt_erase_removes_only_the_mqtt_settings_in_an_awkward_root(tmp_path, start_fieldhub):
    root = make_root(tmp_path / "site a'b;c")
    dps = root / "data" / "dps"
    (dps / "mqtt").write_text('{"main":{"host":"h","user":"","pass":"","port":1}}')
    (dps / "can").write_text('{"port1":"off","port2":"off","x2krel":false}')
    # What a command split at the root's space or ";" would reach.
    decoy = tmp_path / "site"
    decoy.write_text("a word of the root's path")
    hub = start(root, start_fieldhub)
    hub.wait_for(r"^Reading config$")
    ws, result = reset(hub, "mqtt_erase")
    assert result == "ok"
    assert "reboot -d 1" in hub.commands()
    assert not (dps / "mqtt").exists()
    assert (dps / "can").exists() and decoy.exists()
    ws.close()
