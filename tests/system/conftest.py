"""Shared fixtures of the system tests: a fresh simulation root and the real
fieldhub binary running in it, with its log read from standard output."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

from certificates import make_certificates

SOURCE = Path(os.environ.get("FIELDHUB_SOURCE", Path(__file__).resolve().parents[2]))
FIELDHUB_BIN = os.environ.get("FIELDHUB_BIN", str(SOURCE / "build" / "fieldhub"))
MKROOT = SOURCE / "sim" / "mkroot"

# Every program the simulation root answers with a stub.
STUBS = {"fw_printenv", "fw_setenv", "dhcpcd", "ip", "reboot", "killall", "umount", "flash_erase",
         "passwd", "ping", "lsusb", "blkid", "S10data", "S40network", "pppd"}

# "\r\n[I]12    |main.cpp         : App started!"
LINE = re.compile(r"^\[([IWEDV])\](\d+) *\|(.{17,}?): (.*)$", re.S)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_root(path, blank=False):
    args = [str(MKROOT)] + (["--blank"] if blank else []) + [str(path)]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    return Path(path)


class Fieldhub:
    """The fieldhub process; its output is collected by a reader thread."""

    def __init__(self, root, extra_env=None):
        self.root = Path(root)
        self.ws_port = free_port()
        self.console_port = free_port(socket.SOCK_DGRAM)
        env = dict(os.environ)
        env.update({
            "FIELDHUB_ROOT": str(self.root),
            "FIELDHUB_WS_PORT": str(self.ws_port),
            "FIELDHUB_PULT_PORT": str(self.console_port),
            "ASAN_OPTIONS": "detect_leaks=0",
        })
        env.update(extra_env or {})
        self._output = bytearray()
        self._lock = threading.Condition()
        self.proc = subprocess.Popen([FIELDHUB_BIN], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=env, cwd=str(self.root))
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                break
            with self._lock:
                self._output += chunk
                self._lock.notify_all()

    @property
    def output(self):
        with self._lock:
            return bytes(self._output).decode("utf-8", "replace")

    def lines(self):
        """The log messages so far, each as (level, uptime, tag, message)."""
        result = []
        for raw in self.output.split("\r\n")[1:]:
            m = LINE.match(raw)
            result.append((m.group(1), int(m.group(2)), m.group(3).rstrip(), m.group(4)) if m else ("?", -1, "", raw))
        return result

    def messages(self):
        return [line[3] for line in self.lines()]

    def last_message_of(self, tag):
        """The last message logged from one source file (workers may still log
        after main's last line, until the process ends)."""
        own = [line[3] for line in self.lines() if line[2] == tag]
        return own[-1] if own else None

    def wait_for(self, pattern, timeout=10.0, start=0):
        """Waits until a log message matches the regular expression; returns the match."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            for message in self.messages()[start:]:
                m = regex.search(message)
                if m:
                    return m
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self.proc.poll() is not None and not self._reader.is_alive():
                raise AssertionError(f"no log message matching {pattern!r}; output:\n{self.output[-4000:]}")
            with self._lock:
                self._lock.wait(min(remaining, 0.2))

    def wait_signals_blocked(self, timeout=10.0):
        """Waits until SIGINT and SIGTERM are blocked, i.e. they reach the
        signal descriptor instead of ending the process. Static initialisation
        runs commands with posix_spawn, which blocks every signal for a moment,
        so the mask only counts once main has logged its version line."""
        self.wait_for(r"^App version", timeout)
        wanted = (1 << (signal.SIGINT - 1)) | (1 << (signal.SIGTERM - 1))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                status = Path(f"/proc/{self.proc.pid}/status").read_text()
            except OSError:
                break
            for line in status.splitlines():
                if line.startswith("SigBlk:") and int(line.split()[1], 16) & wanted == wanted:
                    return
            time.sleep(0.01)
        raise AssertionError("SIGINT and SIGTERM were not blocked in time")

    def signal(self, number):
        self.proc.send_signal(number)

    def wait_exit(self, timeout=10.0):
        status = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)
        return status

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def commands(self):
        log = self.root / "var" / "commands.log"
        return log.read_text().splitlines() if log.exists() else []


class SimulatorProcess:
    """A simulator of sim/ as a process: its output lines (read by a thread,
    so the pipe never fills), commands on its standard input, "quit" to stop."""

    def __init__(self, args, name):
        self.name = name
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, bufsize=1)
        self._lines = []
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self._cond:
                self._lines.append(line.rstrip("\n"))
                self._cond.notify_all()

    def output(self):
        with self._cond:
            return list(self._lines)

    def wait_for(self, pattern, timeout=10.0, start=0):
        """Waits until an output line matches the regular expression; returns its index."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for index in range(start, len(self._lines)):
                    if regex.search(self._lines[index]):
                        return index
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.proc.poll() is not None and not self._reader.is_alive():
                    raise AssertionError(f"{self.name} printed nothing matching {pattern!r}:\n" +
                                         "\n".join(self._lines[-30:]))
                self._cond.wait(min(remaining, 0.2))

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def root(tmp_path):
    return make_root(tmp_path / "root")


@pytest.fixture
def blank_root(tmp_path):
    return make_root(tmp_path / "root", blank=True)


@pytest.fixture
def start_fieldhub():
    started = []

    def start(root, extra_env=None):
        hub = Fieldhub(root, extra_env)
        started.append(hub)
        return hub

    yield start
    for hub in started:
        hub.stop()


class MosquittoBroker:
    """A mosquitto of the test's own on a free loopback port; stop() and
    start() again restart it on the same port. `tls` makes it a TLS listener:
    a dict with "certfile" and "keyfile", and "cafile" to require client
    certificates signed by that CA."""

    def __init__(self, directory, name="broker", tls=None):
        self.port = free_port()
        self.tls = tls
        self.config = Path(directory) / f"{name}.conf"
        # The gateway reads a message whole before it can drop an over-long
        # one: the broker refuses them (docs/mqtt.md).
        lines = [f"listener {self.port} 127.0.0.1", "allow_anonymous true", "persistence false",
                 "message_size_limit 65536"]
        if tls:
            lines += [f"certfile {tls['certfile']}", f"keyfile {tls['keyfile']}"]
            if tls.get("cafile"):
                lines += [f"cafile {tls['cafile']}", "require_certificate true"]
            # Started as root, mosquitto drops to its own user, which may not
            # read the key files in the test's directory.
            if os.geteuid() == 0:
                lines.append("user root")
        self.config.write_text("\n".join(lines) + "\n")
        self.start()

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    self.stop()
                    raise AssertionError("mosquitto did not start")
                time.sleep(0.02)

    def write_settings(self, root):
        """Makes this broker the root's main broker (the "mqtt" settings group)."""
        group = {"main": {"host": "127.0.0.1", "user": "", "pass": "", "port": self.port},
                 "alt": {"host": "", "user": "", "pass": "", "port": 0}}
        (Path(root) / "data" / "dps" / "mqtt").write_text(json.dumps(group, separators=(",", ":")))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    """The certificates of make_certificates, made once per test run; skips
    where the openssl command is missing."""
    if shutil.which("openssl") is None:
        pytest.skip("openssl is not installed")
    return make_certificates(tmp_path_factory.mktemp("certificates"))


@pytest.fixture
def mosquitto_broker(tmp_path):
    """A running mosquitto; skips the test where mosquitto is not installed."""
    if shutil.which("mosquitto") is None:
        pytest.skip("mosquitto is not installed")
    broker = MosquittoBroker(tmp_path)
    yield broker
    broker.stop()
