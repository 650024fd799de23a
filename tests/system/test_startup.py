"""Start-up, log layout, LED greeting and shutdown of the real binary."""
import os
import signal
import subprocess
import time

import pytest

from conftest import FIELDHUB_BIN, LINE, STUBS

def test_log_layout_and_version_lines(root, start_fieldhub):
    hub = start_fieldhub(root)
    hub.wait_for(r"^App version: 2023\.2\.7$")
    lines = hub.lines()
    assert lines[0][1] == 0, "the first message shows uptime 0"
    for level, _, _, message in lines:
        assert level != "?", f"line out of layout: {message!r}"
    messages = [line[3] for line in lines]
    started = messages.index("App started!")
    assert messages[started + 1] == "App version: 2023.2.7"
    assert lines[started][2] == "main.cpp"
    # Every line starts with CR LF and has the fixed-width prefix.
    raw = hub.output
    assert raw.startswith("\r\n[")
    for chunk in raw.split("\r\n")[1:]:
        assert LINE.match(chunk), chunk


def wait_for_greeting(hub, root):
    leds = [root / "run" / "gpio" / name for name in ("yellow", "red", "blue")]
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if all(led.read_text() == "101010" for led in leds):
            return
        time.sleep(0.05)
    raise AssertionError([led.read_text() for led in leds])


def test_led_greeting_then_sigterm_exits_zero(root, start_fieldhub):
    hub = start_fieldhub(root)
    wait_for_greeting(hub, root)
    hub.signal(signal.SIGTERM)
    assert hub.wait_exit() == 0
    assert hub.last_message_of("main.cpp") == "Received signal 15: Exiting"


def test_sigint_during_greeting_is_acted_on_after_it(root, start_fieldhub):
    hub = start_fieldhub(root)
    hub.wait_signals_blocked()
    hub.signal(signal.SIGINT)
    assert hub.wait_exit() == 0
    assert hub.last_message_of("main.cpp") == "Received signal 2: Exiting"
    # The greeting was not cut short: every LED blinked three times.
    for name in ("yellow", "red", "blue"):
        assert (root / "run" / "gpio" / name).read_text() == "101010"


def test_missing_led_files_do_not_stop_startup(root, start_fieldhub):
    for name in ("yellow", "red", "blue"):
        (root / "run" / "gpio" / name).unlink()
    hub = start_fieldhub(root)
    hub.wait_for(r"^App version")
    hub.wait_signals_blocked()
    hub.signal(signal.SIGTERM)
    assert hub.wait_exit() == 0
    assert "Received signal 15: Exiting" in hub.messages()


def test_root_that_is_no_directory_is_refused(tmp_path):
    missing = tmp_path / "no-such-root"
    env = dict(os.environ, FIELDHUB_ROOT=str(missing), ASAN_OPTIONS="detect_leaks=0")
    result = subprocess.run([FIELDHUB_BIN], env=env, capture_output=True, timeout=20)
    assert result.returncode != 0
    assert b"FIELDHUB_ROOT" in result.stdout
    assert b"App started!" not in result.stdout


def test_only_stubs_run_and_nothing_outside_the_root_is_written(root, start_fieldhub, tmp_path):
    before = set(os.listdir(tmp_path))
    hub = start_fieldhub(root)
    wait_for_greeting(hub, root)
    hub.signal(signal.SIGTERM)
    assert hub.wait_exit() == 0
    for line in hub.commands():
        assert line.split()[0] in STUBS, line
    assert set(os.listdir(tmp_path)) == before
    assert not os.path.exists("/data/dps")
