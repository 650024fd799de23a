"""Clients that trickle bytes lose their place on the local API: their
handshake must be complete 10 s after accept, so sixteen of them keep a
seventeenth out no longer than that."""
import re
import select
import threading
import time

from api_client import HANDSHAKE, Client


def test_sixteen_slow_clients_are_closed_after_ten_seconds_and_a_normal_client_then_logs_in(root, start_fieldhub):
    hub = start_fieldhub(root)
    hub.wait_for(r"^WS started$")
    # Accepted after this moment: a limit of 10 s cannot end before it + 10.
    accepted = time.monotonic()
    slow = [Client(hub.ws_port, timeout=30) for _ in range(16)]
    closed_at = [None] * len(slow)

    def trickle(index, client):
        # One byte of the request a second, until the server closes.
        try:
            for byte in HANDSHAKE:
                client.sock.sendall(bytes([byte]))
                readable, _, _ = select.select([client.sock], [], [], 1.0)
                if readable:
                    break
        except OSError:
            pass
        closed_at[index] = time.monotonic() if client.closed_by_server() else None

    # In parallel: one after another they would take sixteen times as long.
    threads = [threading.Thread(target=trickle, args=(i, c), daemon=True) for i, c in enumerate(slow)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + 10
    while sum(1 for m in hub.messages() if m.startswith("WS connected")) < 16 and time.monotonic() < deadline:
        time.sleep(0.05)

    # The seventeenth is turned away while the sixteen hold their places...
    extra = Client(hub.ws_port)
    hub.wait_for(r"^WS rejected!$")
    assert extra.closed_by_server()

    # ...but no longer than about ten seconds.
    for thread in threads:
        thread.join(timeout=20)
    assert all(t is not None for t in closed_at), closed_at
    assert max(closed_at) - accepted < 13, [round(t - accepted, 1) for t in closed_at]
    assert min(closed_at) - accepted > 9.5, [round(t - accepted, 1) for t in closed_at]
    dropped = [m for m in hub.messages() if re.match(r"^WS: client \d+ dropped: handshake not complete after 10 s$", m)]
    assert len(dropped) == 16
    assert ("W", "PollMaster.cpp") in {(level, tag) for level, _, tag, message in hub.lines() if "dropped" in message}

    client = Client(hub.ws_port).open()
    client.send('{"login":"qtr","password":"5172839406"}')
    assert client.receive() == '{"auth":"done"}'
    client.close()
