"""Factory identity at start: a commissioned board runs normally with its
U-Boot identity; a blank board makes up an identity, enters factory-test mode,
and is commissioned from the identity the tester left in data/dps/factory."""
import json
import signal
import time

LOOPBACK = "auto lo\niface lo inet loopback\n\n"


def interfaces(mac1, mac2):
    def stanza(port, mac):
        return f"auto {port}\niface {port} inet manual\n        hwaddress ether {mac}\n\n"
    return LOOPBACK + stanza("eth0", mac1) + stanza("eth1", mac2)


def in_order(expected, commands):
    """True when the expected commands appear in this order among the commands."""
    position = 0
    for command in commands:
        if position < len(expected) and command == expected[position]:
            position += 1
    return position == len(expected)


def wait_for_command(hub, command, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if command in hub.commands():
            return
        time.sleep(0.05)
    raise AssertionError(f"{command!r} never ran; commands: {hub.commands()}")


def stop(hub):
    hub.signal(signal.SIGTERM)
    assert hub.wait_exit() == 0
    assert hub.last_message_of("main.cpp") == "Received signal 15: Exiting"


def test_commissioned_board_starts_with_its_uboot_identity(root, start_fieldhub):
    before = (root / "data/etc/network/interfaces").read_text()
    hub = start_fieldhub(root)
    hub.wait_for(r"^App version: ")
    # The LED greeting comes only in normal operation.
    leds = [root / "run" / "gpio" / name for name in ("yellow", "red", "blue")]
    deadline = time.monotonic() + 10
    while not all(led.read_text() == "101010" for led in leds):
        assert time.monotonic() < deadline, "no LED greeting"
        time.sleep(0.05)
    stop(hub)

    messages = hub.messages()
    assert messages.count("Loading factory parameters") == 1
    assert "No need to change macs" in messages
    assert "No FabSettings detected. Entering factory test mode" not in messages
    assert (root / "data/etc/hostname").read_text() == "QTR90-100042"
    assert (root / "data/etc/network/interfaces").read_text() == before
    commands = hub.commands()
    assert commands[0] == "fw_printenv serial uuid ethaddr mac2"
    assert not [c for c in commands if c.startswith(("fw_setenv", "reboot", "S40network"))], commands


def test_blank_board_enters_factory_test_mode_and_still_ends_on_sigterm(blank_root, start_fieldhub):
    hub = start_fieldhub(blank_root)
    hub.wait_for(r"^No FabSettings detected\. Entering factory test mode$")
    hub.wait_signals_blocked()
    # Sent while the stored-identity loader still waits for its 5 s.
    stop(hub)
    assert not (blank_root / "data/etc/hostname").exists()
    assert not [c for c in hub.commands() if c.startswith(("fw_setenv", "reboot"))]


def test_blank_board_generates_identity_then_is_commissioned(blank_root, start_fieldhub):
    root = blank_root
    urandom = root / "dev" / "urandom"
    urandom.unlink()
    urandom.write_bytes(bytes(range(1, 13)))
    identity = {"serial": "100043", "uuid": "5a1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a02",
                "mac1": "02:51:90:00:00:2B", "mac2": "02:51:90:00:01:2B", "test_result": True}
    (root / "data/dps/factory").write_text(json.dumps(identity))

    hub = start_fieldhub(root)
    hub.wait_for(r"^No FabSettings detected\. Entering factory test mode$")
    messages = hub.messages()
    # fw_printenv reports each missing variable on its error output, which
    # lands after the message logged before it.
    assert len([m for m in messages if m.startswith("Loading factory parameters")]) == 2
    assert "Using generated uuid 943c0917-8ebb-46f0-94c8-030201070605" in messages
    warnings = [line[3] for line in hub.lines() if line[0] == "W"]
    assert "Failed to read factory parameters!" in warnings
    assert "No FabSettings detected. Entering factory test mode" in warnings
    # Random unicast addresses from the fixed random bytes 01..0c.
    assert (root / "data/etc/network/interfaces").read_text() == interfaces("00:02:03:04:05:06", "06:08:09:0A:0B:0C")

    # About 5 s after start the stored identity is loaded: the test passed, so
    # it moves into U-Boot and the board reboots.
    hub.wait_for(r"^Saving factory settings$", timeout=20)
    wait_for_command(hub, "reboot -d 1")
    stop(hub)

    commands = hub.commands()
    assert commands[:2] == ["fw_printenv serial uuid ethaddr mac2"] * 2
    restart = ["dhcpcd -x", "S40network stop", "S40network start", "dhcpcd"]
    assert in_order(restart + ["ip a flush dev eth0", "ip a flush dev eth1", "fw_printenv",
                               "fw_setenv serial 100043", "fw_setenv uuid 5a1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a02",
                               "fw_setenv ethaddr 02:51:90:00:00:2B", "fw_setenv mac2 02:51:90:00:01:2B"]
                    + restart + ["reboot -d 1"], commands), commands
    assert (root / "var/uboot.env").read_text() == (
        "serial=100043\nuuid=5a1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a02\n"
        "ethaddr=02:51:90:00:00:2B\nmac2=02:51:90:00:01:2B\n")
    assert not (root / "data/dps/factory").exists()
    assert (root / "data/etc/hostname").read_text() == "QTR90-100043"
    assert (root / "data/etc/network/interfaces").read_text() == interfaces("02:51:90:00:00:2B", "02:51:90:00:01:2B")
