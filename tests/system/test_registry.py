"""Stored settings groups at start-up: hand-written, damaged and missing files
under data/dps/ never stop fieldhub, and loading never rewrites them."""
import signal

GOOD = {
    "mqtt": b'{"main":{"host":"broker.local","user":"u","pass":"p","port":1883},'
            b'"alt":{"host":"","user":"","pass":"","port":0}}',
    "can": b'{"port1":"krel","port2":"off","x2krel":true}',
    "power_limits": b'{"main":{"min":21,"max":29},"need_both":false}',
}

DAMAGED = {
    "rs485": bytes(range(256)) * 40960,  # 10 MB of binary
    "pult": b'{"is_server":true,"target":"192.16',  # cut off mid-string
    "root": b"{",  # one character
    "wsc": b"",  # empty
    "factory": b"not json at all",
}


def snapshot(directory):
    return {path.name: path.read_bytes() for path in sorted(directory.iterdir())}


def test_stored_groups_good_and_damaged_leave_startup_and_files_alone(root, start_fieldhub):
    dps = root / "data" / "dps"
    for name, content in {**GOOD, **DAMAGED}.items():
        (dps / name).write_bytes(content)
    (dps / "mqtt_status").write_bytes(b'{"connected":true}')  # not a persisted group: never read
    before = snapshot(dps)

    hub = start_fieldhub(root)
    hub.wait_for(r"^App version: ")
    hub.wait_signals_blocked()
    hub.signal(signal.SIGTERM)
    assert hub.wait_exit() == 0
    assert "Received signal 15: Exiting" in hub.messages()
    registry_errors = [line for line in hub.lines() if line[0] == "E" and line[2].startswith(("Entry", "Registry"))]
    assert not registry_errors

    # Nothing is written until a real change: every file as it was, none added.
    assert snapshot(dps) == before


def test_missing_data_directory_is_not_created_by_loading(root, start_fieldhub):
    dps = root / "data" / "dps"
    dps.rmdir()
    hub = start_fieldhub(root)
    hub.wait_for(r"^App version: ")
    hub.wait_signals_blocked()
    hub.signal(signal.SIGTERM)
    assert hub.wait_exit() == 0
    assert not dps.exists()
