"""The simulators' CAN bus library (sim/canbus.py) against the bus rules: one
copy to every other endpoint, wrong sizes dropped, stale files removed, late
joiners reached, a full receiver waited for up to 20 ms and then losing its
copies, without holding up the others any longer. The
firmware's own endpoint is checked against this library by the unit test
CanBusInterop."""
import os
import socket
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))
import canbus  # noqa: E402
from canbus import Endpoint, Frame  # noqa: E402


class ManualClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def bus(tmp_path):
    return tmp_path / "run" / "can" / "can0"


@pytest.mark.parametrize("text, word, dlc, data", [
    ("123#DEADBEEF", 0x123, 4, b"\xde\xad\xbe\xef"),
    ("1FFF0005#0102030405060708", 0x9FFF0005, 8, bytes(range(1, 9))),
    ("00200FF0#R", 0xC0200FF0, 0, b""),
    ("7FF#", 0x7FF, 0, b""),
])
def test_frame_text_and_record(text, word, dlc, data):
    frame = Frame.parse(text)
    assert str(frame) == text
    record = frame.pack()
    assert len(record) == 16
    assert int.from_bytes(record[0:4], sys.byteorder) == word
    assert record[4] == dlc and record[5:8] == b"\0\0\0"
    assert record[8:8 + len(data)] == data and record[8 + len(data):] == bytes(8 - len(data))
    assert Frame.unpack(record) == frame
    assert Frame.unpack(record + b"\0") is None and Frame.unpack(record[:15]) is None


def test_every_other_endpoint_gets_one_copy(bus):
    with Endpoint(bus, "a") as a, Endpoint(bus, "b") as b, Endpoint(bus, "c") as c:
        assert (bus / "a.sock").exists()
        frame = Frame(0x1FFF0005, b"\x01\x02")
        assert a.send(frame) == 2
        for peer in (b, c):
            assert peer.recv(timeout=1) == frame
            assert peer.recv(timeout=0) is None
        assert a.recv(timeout=0) is None, "no echo to the sender"


def test_wrong_sizes_are_dropped(bus):
    with Endpoint(bus, "a") as a, Endpoint(bus, "b") as b:
        frame = Frame(0x42, b"\x07", extended=False)
        for size in (0, 15, 17, 100):
            a.send_raw(frame.pack().ljust(size, b"\0")[:size])
        a.send(frame)
        assert b.recv(timeout=1) == frame
        assert b.recv(timeout=0) is None


def test_stale_files_are_removed_and_plain_files_left(bus):
    bus.mkdir(parents=True)
    crashed = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    crashed.bind(str(bus / "crashed.sock"))
    crashed.close()
    (bus / "notes.sock").write_text("not a socket")
    with Endpoint(bus, "a") as a, Endpoint(bus, "b") as b:
        assert b.peers == ["a.sock", "crashed.sock"]
        assert b.send(Frame(1)) == 1
        assert not (bus / "crashed.sock").exists()
        assert (bus / "notes.sock").exists()
        assert b.peers == ["a.sock"]
        # A stale file under the name asked for is taken over.
        crashed = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        crashed.bind(str(bus / "node.sock"))
        crashed.close()
        with Endpoint(bus, "node") as node, Endpoint(bus, "node") as twin:
            assert (node.name, twin.name) == ("node.sock", "node-2.sock")


def test_late_joiner_is_reached_within_a_second(bus):
    clock = ManualClock()
    with Endpoint(bus, "a", clock=clock) as a, Endpoint(bus, "b") as b:
        with Endpoint(bus, "late") as late:
            assert a.send(Frame(1)) == 2, "a join changes the directory"
            assert late.recv(timeout=1) == Frame(1)
            assert b.recv(timeout=1) == Frame(1)
        # Two changes within one time stamp tick look like none.
        a.refresh()
        stamp = os.stat(bus)
        with Endpoint(bus, "later") as later:
            os.utime(bus, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
            clock.now += 0.999
            a.send(Frame(2))
            assert b.recv(timeout=1) == Frame(2)
            assert later.recv(timeout=0) is None
            clock.now += 0.001
            a.send(Frame(3))
            assert later.recv(timeout=1) == Frame(3)


class SteppingClock(ManualClock):
    """A clock that only a sleep moves; ``during_sleep`` runs at every sleep,
    as other endpoints would act while the sender waits."""

    def __init__(self, during_sleep=None):
        super().__init__()
        self.slept = 0.0
        self.during_sleep = during_sleep

    def sleep(self, seconds):
        self.now += seconds
        self.slept += seconds
        if self.during_sleep is not None:
            self.during_sleep()


def test_receiver_that_never_reads_is_waited_for_once_then_loses_its_copies(bus):
    clock = SteppingClock()
    with Endpoint(bus, "sender", clock=clock, sleep=clock.sleep) as sender, Endpoint(bus, "stalled") as stalled, \
            Endpoint(bus, "reader") as reader:
        count = 2000
        for i in range(count):
            assert sender.send(Frame(i)) >= 1
            assert reader.recv(timeout=0) == Frame(i)
        # It has not read for the hold time: further copies go at once.
        assert canbus.HOLD_SECONDS <= clock.slept < canbus.HOLD_SECONDS + 0.005
        queued = stalled.drain()
        assert queued == [Frame(i) for i in range(len(queued))]
        assert sender.lost == count - len(queued)
        # Reading again, it is waited for again.
        assert sender.send(Frame(count)) == 2
        assert stalled.recv(timeout=0) == Frame(count)


def test_slow_receiver_gets_every_frame_in_order(bus):
    with Endpoint(bus, "slow") as slow:
        got = []

        def slow_reader_takes_a_few():
            for _ in range(3):
                frame = slow.recv(timeout=0)
                if frame is not None:
                    got.append(frame)

        clock = SteppingClock(slow_reader_takes_a_few)
        with Endpoint(bus, "sender", clock=clock, sleep=clock.sleep) as sender:
            for i in range(500):
                assert sender.send(Frame(i)) == 1
        got += slow.drain()
        assert got == [Frame(i) for i in range(500)]
        assert sender.lost == 0


def test_receiver_that_goes_while_waited_for_is_not_waited_for_any_longer(bus):
    leaving = Endpoint(bus, "leaving")
    clock = SteppingClock(leaving.close)
    with Endpoint(bus, "sender", clock=clock, sleep=clock.sleep) as sender:
        sent = 0
        while clock.slept == 0:  # until its queue is full and it leaves
            sender.send(Frame(sent))
            sent += 1
        assert clock.slept < canbus.HOLD_SECONDS / 2
        assert sender.lost == 0 and sender.peers == []


def test_linked_directories_are_one_bus(bus):
    bus.mkdir(parents=True)
    (bus.parent / "can1").symlink_to("can0")
    with Endpoint(bus, "port1") as port1, Endpoint(bus.parent / "can1", "port2") as port2:
        port1.send(Frame(6, b"\x06"))
        assert port2.recv(timeout=1) == Frame(6, b"\x06")


def test_deep_directories(tmp_path):
    deep = tmp_path / ("d" * 60) / ("e" * 60) / "can0"
    assert len(str(deep / "a.sock")) > canbus.SUN_PATH_MAX
    with Endpoint(deep, "a") as a, Endpoint(deep, "b") as b:
        assert (deep / "a.sock").exists()
        a.send(Frame(4, b"\x04"))
        assert b.recv(timeout=1) == Frame(4, b"\x04")
