"""The GSM modem of the real binary against sim/modem.py: start-up bytes and
line speeds, the IMEI and signal pushed to a WebSocket client, an SPP
connection accepted, damaged frames, a silent modem, and the GPRS fail-over
through the pppd stub when the broker stays unreachable."""
import json
import os
import signal
import sys
import time

from conftest import SOURCE, SimulatorProcess, free_port
from test_session import compact, group_of, log_in, receive_until

MODEM = SOURCE / "sim" / "modem.py"
IMEI = "861234567890123"
PPPD_ARGS = "pppd -detach defaultroute defaultroute-metric 322 noauth"


def start_modem(root, *args):
    modem = SimulatorProcess([sys.executable, str(MODEM), str(root), *args], "modem")
    modem.wait_for(r"^ready$")
    return modem


def wait_until(condition, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def gsm_status(ws, wanted, timeout=20.0):
    def matches(text):
        name, value = group_of(text)
        return name == "gsm_status" and wanted(value)
    return group_of(receive_until(ws, matches, timeout)[-1])[1]


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_start_up_identity_signal_spp_and_damaged_frames(root, start_fieldhub):
    modem = start_modem(root)
    try:
        hub = start_fieldhub(root)
        hub.wait_for(r"^Got IMEI: " + IMEI + "$", timeout=20)
        # The power-on line at 115200 baud, then the multiplexer at 460800.
        at_lines = [line for line in modem.output() if line.startswith("at ")]
        assert at_lines[:2] == ["at 115200 ATE0Q0+IPR=460800;", "at 460800 AT+CMUX=0"]
        assert [line for line in modem.output() if line.startswith("sabm ")] == [f"sabm {n}" for n in range(4)]
        for command in ("AT+GSN", "AT+BTHOST=QTR-90;", "AT+BTPAIRCFG=1,2958", "AT+BTPOWER=1"):
            modem.wait_for(r"^cmd 1 " + command.replace("+", r"\+") + "$")
        assert not [line for line in modem.output() if line.startswith(("fcs-error", "frame-error"))]

        ws = log_in(hub)
        status = gsm_status(ws, lambda value: value["rssi"] == -73, timeout=15)
        assert status == {"rssi": -73, "imei": int(IMEI)}
        assert list(json.loads(compact(status))) == ["rssi", "imei"]

        modem.command("bt connecting")
        modem.wait_for(r"^cmd 1 AT\+BTACPT=1$")
        modem.command("bt connect")
        hub.wait_for(r"^Got new SPP connection, id: 1$")

        # A frame with a wrong FCS and one without its closing flag carry
        # +CSQ 1 and 2: neither may reach the signal value.
        modem.command("broken")
        hub.wait_for(r"^FCS error$")
        hub.wait_for(r"^end error$")
        modem.command("garbage")
        hub.wait_for(r"^start error :0$")
        modem.command(r"send 1 \r\n+CSQ: 10,0\r\n")
        status = gsm_status(ws, lambda value: value["rssi"] != -73, timeout=15)
        assert status["rssi"] == -93
        # Text with control characters is quoted on one line.
        modem.command(r"send 1 \r\n+BTSTATUS: 5\x07\r\n")
        assert all("\r" not in line[3] and "\n" not in line[3] for line in hub.lines())
        assert hub.proc.poll() is None
        ws.close()
    finally:
        modem.stop()


def test_silent_modem_is_restarted_without_spinning(root, start_fieldhub):
    modem = start_modem(root, "--silent")
    try:
        hub = start_fieldhub(root)
        hub.wait_for(r"^No IMEI, restarting modem$", timeout=20)
        assert [line for line in modem.output() if line.startswith("at ")][:1] == ["at 115200 ATE0Q0+IPR=460800;"]
        before = cpu_seconds(hub.proc.pid)
        modem.command("silent off")
        hub.wait_for(r"^Got IMEI: " + IMEI + "$", timeout=20)
        # The whole process over a start-up round, idle but for it.
        assert cpu_seconds(hub.proc.pid) - before < 1.0
        assert len([line for line in modem.output() if line == "at 115200 ATE0Q0+IPR=460800;"]) == 2
    finally:
        modem.stop()


def test_dead_brokers_bring_up_ppp_relay_it_and_hang_up_when_pppd_dies(root, start_fieldhub):
    group = {"main": {"host": "127.0.0.1", "user": "", "pass": "", "port": free_port()},
             "alt": {"host": "127.0.0.1", "user": "", "pass": "", "port": free_port()}}
    (root / "data" / "dps" / "mqtt").write_text(json.dumps(group, separators=(",", ":")))
    modem = start_modem(root)
    try:
        hub = start_fieldhub(root)
        hub.wait_for(r"^Switching backup on$", timeout=60)
        hub.wait_for(r"^Trying to dialup\.\.\.$", timeout=40)
        modem.wait_for(r'^cmd 2 AT\+CGDCONT=1,"IP","internet"$')
        modem.wait_for(r"^cmd 2 ATD\*99\*\*\*1#$")
        hub.wait_for(r"^Creating new PPPD process$")
        wait_until(lambda: PPPD_ARGS in hub.commands(), "pppd in the commands log")
        assert hub.commands().count(PPPD_ARGS) == 1
        pid_file = root / "var" / "run" / "ppp0.pid"
        wait_until(pid_file.exists, "the pppd stub's pid file")
        # pppd -> channel 2: the stub's greeting reaches the modem as data.
        modem.wait_for(r"^data " + b"pppd stub greeting".hex().upper())
        # channel 2 -> pppd.
        modem.command("send 2 ~from the network~")
        received = root / "var" / "ppp0.rx"
        wait_until(lambda: received.exists() and b"~from the network~" in received.read_bytes(), "data for pppd")
        # With the link up the broker is tried again, over PPP.
        start = len(hub.messages())
        hub.wait_for(r"^Connecting (main|backup) mqtt$", timeout=20, start=start)

        os.kill(int(pid_file.read_text()), signal.SIGTERM)
        hub.wait_for(r"^pppd ended", timeout=10)
        hub.wait_for(r"^Hanging up\.\.\.$", timeout=10)
        modem.wait_for(r"^escape$", timeout=10)
        modem.wait_for(r"^cmd 2 ATH0$", timeout=10)
        assert not (root / "var" / "net" / "ppp0").exists()
        assert hub.commands().count(PPPD_ARGS) == 1
        # No zombie left behind.
        children = open(f"/proc/{hub.proc.pid}/task/{hub.proc.pid}/children").read().split()
        for child in children:
            assert "Z" not in open(f"/proc/{child}/stat").read().rsplit(")", 1)[1].split()[0]
        assert hub.proc.poll() is None
    finally:
        modem.stop()
