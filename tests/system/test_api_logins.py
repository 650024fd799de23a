"""Password guessing on the local API: failed logins are logged and answered
late, five close the connection, and five from one address back that address
off for 30 s while other addresses log in as usual."""
import time

from api_client import Client

DONE = '{"auth":"done"}'
INCORRECT = '{"auth":"incorrect"}'
GOOD = '{"login":"qtr","password":"5172839406"}'
WRONG = '{"login":"qtr","password":"guess"}'


def test_five_wrong_passwords_close_the_connection_and_back_off_the_address(root, start_fieldhub):
    hub = start_fieldhub(root)
    hub.wait_for(r"^WS started$")
    guesser = Client(hub.ws_port).open()
    client_id = int(hub.wait_for(r"^WS connected, id: (\d+)$").group(1))
    for attempt in range(5):
        sent = time.monotonic()
        guesser.send(WRONG)
        assert guesser.receive() == INCORRECT
        assert time.monotonic() - sent > 0.9, "the answer to a failed login is held back"
    failed = time.monotonic()
    assert guesser.closed_by_server()
    warnings = [(level, tag) for level, _, tag, message in hub.lines() if message == f"Login failed, client {client_id}"]
    assert warnings == [("W", "JSONData.cpp")] * 5

    # The right password from the same address is refused until the back-off ends...
    owner = Client(hub.ws_port).open()
    owner.send(GOOD)
    assert owner.receive() == INCORRECT
    assert "WS authorized!" not in hub.messages()
    owner.close()

    # ...while another address logs in at once.
    started = time.monotonic()
    neighbour = Client(hub.ws_port, source="127.0.0.2").open()
    neighbour.send(GOOD)
    assert neighbour.receive() == DONE
    assert time.monotonic() - started < 1
    neighbour.close()

    # 30 s after the fifth failure the address may log in again.
    time.sleep(max(0.0, failed + 30.5 - time.monotonic()))
    owner = Client(hub.ws_port).open()
    owner.send(GOOD)
    assert owner.receive() == DONE
    owner.close()
