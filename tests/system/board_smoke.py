"""Smoke test of the board build: the armel fieldhub, run under qemu-arm in a
fresh simulation root, starts, logs in the exact layout and ends cleanly on
SIGTERM. FIELDHUB_BIN names a wrapper that execs the emulator, so signals
sent to the process reach the emulated program; FIELDHUB_PROGRAM names the
ARM executable itself.

Run by the cross build's CTest (make board-test); the host build does not
collect this file."""
import os
import re
import signal
from pathlib import Path

ELF_MACHINE_ARM = 40


def test_program_under_test_is_32_bit_arm():
    header = Path(os.environ["FIELDHUB_PROGRAM"]).read_bytes()[:20]
    assert header[:4] == b"\x7fELF"
    assert header[4] == 1, "ELFCLASS32"
    assert int.from_bytes(header[18:20], "little") == ELF_MACHINE_ARM


def test_starts_logs_in_layout_and_exits_zero_on_sigterm(root, start_fieldhub):
    hub = start_fieldhub(root)
    hub.wait_for(r"^App started!$", timeout=60)
    uptime = re.search(r"\r\n\[I\](\d+) *\|main\.cpp *: App started!", hub.output).group(1)
    # CR LF, level, uptime left-aligned in six columns, tag in seventeen.
    assert "\r\n[I]" + f"{int(uptime):<6d}" + "|" + f"{'main.cpp':<17}" + ": App started!" in hub.output

    hub.wait_signals_blocked(timeout=60)
    hub.signal(signal.SIGTERM)
    assert hub.wait_exit(timeout=60) == 0
    assert hub.last_message_of("main.cpp") == "Received signal 15: Exiting"
