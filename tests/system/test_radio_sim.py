"""The radio simulator (sim/radio.py) on its own: what its receivers put on the
bus and how they take the gateway's RSSI answers. Its telegrams are checked
against fieldhub's decoder by the unit tests VolmarDecodeTest and
VolmarCanThread."""
import subprocess
import sys
import time
from pathlib import Path

import pytest

SIM = Path(__file__).resolve().parents[2] / "sim"
sys.path.insert(0, str(SIM))
import radio  # noqa: E402
from canbus import Endpoint, Frame  # noqa: E402


def test_crc_and_tag_encoding():
    assert radio.crc16_modbus(b"123456789") == 0x4B37
    assert radio.path_number(12345) == bytes.fromhex("B960")
    assert radio.item_unsigned(-500) == bytes.fromhex("440CFEFFFF")
    assert radio.telegram(b"\x01\x02\x03", (10, 1, 42), [radio.item_unsigned(7)], answer=True) == \
        bytes.fromhex("010203 22 0A012A 4107")


@pytest.mark.parametrize("frames, answers", [
    # A 4-byte answer travels without CRC, with the extended and remote flags.
    ([(0x1A2B3, 0, 0, True, "0500003D")], [(bytes.fromhex("050000"), 61)]),
    # 7 bytes and their CRC in two frames: taken, but not an RSSI answer.
    ([(0x1A2B3, 1, 0, False, "00010203040506A1"), (0x1A2B3, 1, 1, True, "C6")], []),
    # A wrong CRC, and frames for another receiver, are not taken.
    ([(0x1A2B3, 2, 0, False, "00010203040506A1"), (0x1A2B3, 2, 1, True, "C7")], []),
    ([(0x2C4D5, 0, 0, True, "0500003D")], []),
])
def test_receiver_takes_messages_addressed_to_it(frames, answers):
    receiver = radio.Receiver(0x1A2B3)
    taken = None
    for address, sequence, part, last, data in frames:
        frame = Frame(radio.identifier(address, sequence, part, last), bytes.fromhex(data), remote=True)
        taken = receiver.hear(Frame.unpack(frame.pack()))
    assert receiver.answers == answers
    if frames[0][4] == "00010203040506A1" and frames[1][4] == "C6":
        assert taken == bytes(range(7))


def test_run_announces_forwards_answers_and_goes_silent(tmp_path):
    bus = tmp_path / "run" / "can" / "can0"
    with Endpoint(bus, "gateway") as gateway:
        process = subprocess.Popen(
            [sys.executable, str(SIM / "radio.py"), "run", str(bus), "--receiver", "1A2B3:-60",
             "--receiver", "2C4D5:-75", "--heat", "serial=5,ack=1", "--first", "0.2", "--period", "600"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert process.stdout.readline().strip() == "ready"
            received = []
            deadline = time.monotonic() + 10
            # Announcements and versions of both receivers, then 2 x 7 parts.
            while len(received) < 18 and time.monotonic() < deadline:
                frame = gateway.recv(timeout=1)
                if frame is not None:
                    received.append(str(frame))
            assert received[:4] == ["03456600#B3A2011052500000", "0345665F#0200000000001B03",
                                    "0589AA00#D5C4021052500000", "0589AA5F#0200000000001B03"]
            assert sum(1 for text in received if int(text[:8], 16) & 0x20) == 2, "one last part per receiver"
            assert [process.stdout.readline().split() for _ in range(2)] == [
                ["sent", "heat", "5", "via", "1A2B3", "rssi", "-60"], ["sent", "heat", "5", "via", "2C4D5", "rssi", "-75"]]

            gateway.send(Frame(radio.identifier(0x1A2B3, 0, 0, True), bytes.fromhex("0500003D"), remote=True))
            assert process.stdout.readline().split() == ["rssi-answer", "1A2B3", "050000", "61"]

            process.stdin.write("silence 1A2B3\nsend\n")
            process.stdin.flush()
            assert process.stdout.readline().split() == ["sent", "heat", "5", "via", "2C4D5", "rssi", "-75"]
            process.stdin.write("quit\n")
            process.stdin.flush()
            assert process.wait(timeout=10) == 0
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
