"""The cloud link over TLS: the real binary against mosquitto TLS listeners
on free loopback ports, with certificates made by the openssl command
(conftest.make_certificates) and paho-mqtt over TLS as the cloud side.

The gateway trusts the CA in /data/etc/mqtt-ca.pem (else the system bundle),
presents /data/etc/mqtt-client.pem and .key when both exist, and names the
reason of a refused broker in one W line per failure streak."""
import json
import re
import shutil
import signal
import socket
import ssl
import threading
import time

import pytest

from conftest import MosquittoBroker
from test_mqtt import OFFLINE, PREFIX, UUID, clouds, connection_test, online, ws_login  # noqa: F401
from test_panel import configure_can, start_hub, start_panel  # noqa: F401

pytestmark = pytest.mark.skipif(shutil.which("mosquitto") is None, reason="mosquitto is not installed")

REFUSED = r"^TLS connection to 127\.0\.0\.1:(\d+) failed: (.*)$"


def settings(port, tls=False, host="127.0.0.1"):
    value = {"host": host, "user": "", "pass": "", "port": port}
    if tls:
        value["tls"] = True
    return value


def write_brokers(root, main, alt):
    (root / "data" / "dps" / "mqtt").write_text(json.dumps({"main": main, "alt": alt}, separators=(",", ":")))


def install(root, certificates, ca=True, client=False):
    etc = root / "data" / "etc"
    etc.mkdir(parents=True, exist_ok=True)
    if ca:
        shutil.copy(certificates["ca"][0], etc / "mqtt-ca.pem")
    if client:
        shutil.copy(certificates["client"][0], etc / "mqtt-client.pem")
        shutil.copy(certificates["client"][1], etc / "mqtt-client.key")


@pytest.fixture
def tls_brokers(tmp_path, certificates):
    """start(certificate name) -> a TLS mosquitto with that server
    certificate; clients=True makes it ask for a client certificate from the
    test CA. start(None) -> a plain mosquitto."""
    started = []

    def start(name, clients=False):
        tls = None
        if name is not None:
            certificate, key = certificates[name]
            tls = {"certfile": certificate, "keyfile": key, "cafile": certificates["ca"][0] if clients else None}
        broker = MosquittoBroker(tmp_path, f"{name or 'plain'}-{len(started)}", tls)
        started.append(broker)
        return broker

    yield start
    for broker in started:
        broker.stop()


def cloud_tls(certificates, client=False):
    context = ssl.create_default_context(cafile=str(certificates["ca"][0]))
    if client:
        context.load_cert_chain(str(certificates["client"][0]), str(certificates["client"][1]))
    return context


def tls_messages(hub):
    return [(level, message) for level, _, tag, message in hub.lines() if tag == "BrokerTls.cpp"]


def test_tls_broker_serves_as_the_plain_one(root, certificates, tls_brokers, clouds, start_hub, start_panel):
    # The broker admits only clients with a certificate of the test CA, so
    # the connection also shows the gateway's client certificate at work.
    broker = tls_brokers("server", clients=True)
    install(root, certificates, client=True)
    write_brokers(root, settings(broker.port, tls=True), settings(0))
    configure_can(root)
    cloud = clouds(broker.port, cloud_tls(certificates, client=True))
    hub = start_hub(root)

    text, _ = cloud.wait_for("status", online, timeout=30)
    assert json.loads(text)["params"]["is_boot"] is True
    hub.wait_for(r"^Done subscribing\. Main topic: " + PREFIX + "status$")

    cloud.publish("requests", '{"jsonrpc":"2.0","method":"reboot","id":"t1"}')
    text, _ = cloud.wait_for("responses")
    assert text == '{"jsonrpc":"2.0","result":"{"status":"success"}","id":"t1"}'

    start_panel(root, "--layout", "64", "--nodes", "3", "--period", "0.2")
    text, _ = cloud.wait_for("updates", lambda t: json.loads(t)["method"] == "digest", timeout=20)
    assert text.startswith('{"jsonrpc":"2.0","method":"digest","params":{"uuid":"' + UUID + '","device":{')

    cloud.publish("wsin", "{}")
    text, _ = cloud.wait_for("wsout")
    assert json.loads(text)["auth"] == "not authorized"

    hub.proc.send_signal(signal.SIGKILL)
    hub.proc.wait(timeout=10)
    text, _ = cloud.wait_for("status", lambda t: not online(t))
    assert text == OFFLINE
    assert tls_messages(hub) == []


# (main broker's certificate, "tls" in the main settings, broker asks for a
# client certificate, the reason in the W line; None: no W line)
REFUSALS = {
    "expired": ("expired", True, False, "certificate expired"),
    "other CA": ("otherca", True, False, "unknown CA"),
    "self-signed": ("selfsigned", True, False, "unknown CA"),
    "other host name": ("otherhost", True, False, "host name mismatch"),
    "no client certificate": ("server", True, True, r"refused by the broker \(.*certificate required\)"),
    "plain broker set as TLS": (None, True, False, r"no TLS handshake \(.*\)"),
    "TLS broker set as plain": ("server", False, False, None),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refused_broker_is_named_once_and_the_plain_backup_takes_over(case, root, certificates, tls_brokers,
                                                                      clouds, start_hub):
    name, tls, clients, reason = REFUSALS[case]
    main = tls_brokers(name, clients=clients)
    backup = tls_brokers(None)
    install(root, certificates)
    write_brokers(root, settings(main.port, tls=tls), settings(backup.port))
    cloud = clouds(backup.port)
    hub = start_hub(root)

    cloud.wait_for("status", online, timeout=40)
    messages = hub.messages()
    attempts = [m for m in messages if m.startswith("Connecting ")]
    assert attempts == ["Connecting main mqtt"] * 3 + ["Connecting backup mqtt"], hub.output[-4000:]
    assert messages.count("Connection failed!") == 3
    said = tls_messages(hub)
    if reason is None:
        assert said == []
    else:
        assert len(said) == 1, said
        level, message = said[0]
        found = re.match(REFUSED, message)
        assert level == "W" and found and int(found.group(1)) == main.port, said
        assert re.fullmatch(reason, found.group(2)), said


@pytest.mark.parametrize("content", [b"not a certificate\n", b""], ids=["garbage", "empty"])
def test_unusable_ca_file_stops_the_connect_with_one_error(content, root, certificates, tls_brokers, clouds,
                                                           start_hub):
    broker = tls_brokers("server")
    install(root, certificates, ca=False)
    ca_file = root / "data" / "etc" / "mqtt-ca.pem"
    ca_file.write_bytes(content)
    write_brokers(root, settings(broker.port, tls=True), settings(broker.port, tls=True))
    hub = start_hub(root)

    hub.wait_for(r"^Connecting backup mqtt$", timeout=30)
    hub.wait_for(r"^Connection failed!$", start=len(hub.messages()))
    assert tls_messages(hub) == [("E", "CA file /data/etc/mqtt-ca.pem unusable (does not load): "
                                       "no certificate to verify the broker with")]
    assert not any(m.startswith("Done subscribing") for m in hub.messages())
    assert hub.proc.poll() is None

    # Mended: a good CA file, or none at all with the CA in the system bundle.
    if content:
        shutil.copy(certificates["ca"][0], ca_file)
    else:
        ca_file.unlink()
        bundle = root / "etc" / "ssl" / "certs"
        bundle.mkdir(parents=True, exist_ok=True)
        shutil.copy(certificates["ca"][0], bundle / "ca-certificates.crt")
    cloud = clouds(broker.port, cloud_tls(certificates))
    cloud.wait_for("status", online, timeout=30)
    assert len(tls_messages(hub)) == 1


def test_connection_test_with_tls(root, certificates, tls_brokers, start_hub):
    plain = tls_brokers(None)
    good = tls_brokers("server")
    expired = tls_brokers("expired")
    install(root, certificates)
    write_brokers(root, settings(plain.port), settings(0))
    hub = start_hub(root)
    hub.wait_for(r"^Done subscribing")
    ws = ws_login(hub)

    def result_of_test(port):
        tried = settings(port, tls=True)
        result = connection_test(ws, tried, timeout=40)
        assert result["mqtt"] == json.dumps(tried, separators=(",", ":")).replace('"', "'")
        return result["result"]

    assert result_of_test(good.port) is True
    assert result_of_test(expired.port) is False
    said = tls_messages(hub)
    assert said == [("W", f"TLS connection to 127.0.0.1:{expired.port} failed: certificate expired")]
    assert hub.messages().count("Testing attempt 2") == 1  # three attempts, one W line
    # The stored plain broker comes back.
    start = len(hub.messages())
    hub.wait_for(r"^Done subscribing", timeout=20, start=start)
    ws.close()


def test_settings_without_tls_keep_their_text(root, start_hub, tls_brokers):
    broker = tls_brokers(None)
    main = '{"host":"127.0.0.1","user":"gw\'1","pass":"p/w","port":%d}' % broker.port
    stored = '{"main":%s,"alt":{"host":"backup.example","user":"","pass":"","port":8883}}' % main
    (root / "data" / "dps" / "mqtt").write_text(stored)
    hub = start_hub(root)
    hub.wait_for(r"^Done subscribing")
    ws = ws_login(hub)
    group = None
    while group is None:
        text = ws.recv()
        if text.startswith('{"mqtt":'):
            group = text
    assert group == '{"mqtt":%s}' % stored

    # Applying the same main broker writes the file back unchanged; a TLS
    # backup adds "tls" to that member only.
    ws.send('{"mqtt":{"main":%s}}' % main)
    wait_for_file(root / "data" / "dps" / "mqtt", stored)
    tls_alt = '{"host":"backup.example","user":"","pass":"","port":8883,"tls":true}'
    ws.send('{"mqtt":{"alt":%s}}' % tls_alt)
    wait_for_file(root / "data" / "dps" / "mqtt", '{"main":%s,"alt":%s}' % (main, tls_alt))
    ws.close()


def wait_for_file(path, expected, timeout=10):
    deadline = time.monotonic() + timeout
    while path.read_text() != expected:
        assert time.monotonic() < deadline, f"{path} holds {path.read_text()!r}"
        time.sleep(0.05)


class StallingBroker:
    """A loopback port whose first connection is accepted and then never
    answered (the gateway's handshake stalls); later connections are passed
    through to the real broker as over a slow link: the broker's first answer
    is held back a little, so the handshake cannot finish in one step."""

    FIRST_ANSWER_DELAY = 0.3

    def __init__(self, target_port):
        self.target = target_port
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.held = []
        self.running = True
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while self.running:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            if not self.held:
                self.held.append(client)
                continue
            upstream = socket.create_connection(("127.0.0.1", self.target))
            self.held += [client, upstream]
            for a, b, delay in ((client, upstream, 0), (upstream, client, self.FIRST_ANSWER_DELAY)):
                threading.Thread(target=self._pipe, args=(a, b, delay), daemon=True).start()

    @staticmethod
    def _pipe(source, sink, first_delay):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                time.sleep(first_delay)
                first_delay = 0
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        self.running = False
        self.server.close()
        for connection in self.held:
            connection.close()


def test_stalled_handshake_ends_at_the_connect_time_out(root, certificates, tls_brokers, clouds, start_hub):
    # Then the slow link: the handshake that takes several steps must still
    # be verified against the broker's address (the library used to check an
    # empty host name then and refuse the broker).
    broker = tls_brokers("server")
    staller = StallingBroker(broker.port)
    try:
        install(root, certificates)
        write_brokers(root, settings(staller.port, tls=True), settings(0))
        cloud = clouds(broker.port, cloud_tls(certificates))
        hub = start_hub(root)
        hub.wait_for(r"^Connecting main mqtt$")
        began = time.monotonic()
        hub.wait_for(r"^Connection failed!$", timeout=60)
        stalled = time.monotonic() - began
        # One second of pause before the attempt, then the library's 30 s.
        assert 29 < stalled < 45, stalled
        cloud.wait_for("status", online, timeout=30)
        assert hub.messages().count("Connection failed!") == 1
        assert tls_messages(hub) == [], "a timed-out attempt is not probed"
    finally:
        staller.stop()
