#!/usr/bin/python3
"""Endpoint of the simulated CAN bus, for device simulators and tests.

A bus is a directory (``<root>/run/can/<ifname>/``). Each endpoint on it is a
Unix datagram socket bound to its own file ``<bus>/<name>.sock``. One frame is
one 16-byte datagram holding the SocketCAN classic frame record in host byte
order::

    offset 0   identifier word: identifier in bits 0-28, flag bits
               31 (extended format), 30 (remote request), 29 (error)
    offset 4   data length
    offset 5   three padding bytes
    offset 8   eight data bytes

A sender delivers one copy to every other socket file of the directory, never
to itself, and a socket file nobody listens on any more is deleted. A
datagram queue may hold as few as 11 frames where a SocketCAN reader buffers
hundreds, so a copy that a full receiver refuses is tried again, with short
sleeps, for up to HOLD_SECONDS (20 ms); only a receiver that has taken nothing
for that long loses it, and then loses further copies at once until it reads
again (``lost`` counts them). ``send`` returns when every copy is delivered or
lost, so the order per receiver holds. The list of socket files is read again
after a send to a vanished or refused file, when the directory changed, and at
least once a second, so late joiners are reached. ``run/can/can1`` may be a
symlink to ``run/can/can0``: then both names are one bus.

Library use::

    bus = Endpoint(bus_path(root, "can0"), "panel")
    bus.send(Frame(0x1FFF0005, b"\\x01\\x02"))
    frame = bus.recv(timeout=1.0)

Command line (frames in the text form of Frame.parse)::

    canbus.py dump BUS [--name NAME] [--count N] [--timeout SECONDS]
                       [--pause-every N --pause-ms MS]
    canbus.py send BUS FRAME... [--name NAME]
    canbus.py send BUS --raw HEX...     (any datagram, for bad-input tests)
    canbus.py burst BUS COUNT [--name NAME] [--id HEX] [--hold-ms MS]

``dump`` prints "listening <socket file>" once it has joined, then one line
per received frame; with --pause-every it stops reading for MS milliseconds
after every N frames (a slow reader). ``burst`` sends COUNT extended frames
back to back, identifier HEX (default 100), the frame's number as 4 data
bytes, low byte first, and prints "lost N" at the end; --hold-ms sets how
long a full receiver is waited for (default 20).
"""

import argparse
import errno
import os
import select
import socket
import stat
import struct
import sys
import time
from pathlib import Path

EXTENDED_FLAG = 0x80000000
REMOTE_FLAG = 0x40000000
ERROR_FLAG = 0x20000000
EXTENDED_MASK = 0x1FFFFFFF
STANDARD_MASK = 0x7FF

RECORD = struct.Struct("=IB3s8s")  # native byte order, no alignment padding
assert RECORD.size == 16
FRAME_SIZE = RECORD.size

SOCKET_SUFFIX = ".sock"
REFRESH_SECONDS = 1.0
HOLD_SECONDS = 0.020  # how long a full receiver is waited for
RETRY_SECONDS = 0.0002  # the sleep between tries of a refused copy
SUN_PATH_MAX = 107  # sun_path is 108 bytes including the terminating zero


def bus_path(root, ifname):
    """The bus directory of an interface in a simulation root."""
    return Path(root) / "run" / "can" / ifname


class Frame:
    """One CAN frame. ``can_id`` is the identifier without flags; ``dlc`` is
    the data length as sent (may be set above 8 to make a bad frame)."""

    __slots__ = ("can_id", "extended", "remote", "error", "dlc", "data", "padding")

    def __init__(self, can_id, data=b"", *, extended=True, remote=False, error=False, dlc=None,
                 padding=b"\0\0\0"):
        data = bytes(data)
        if len(data) > 8:
            raise ValueError("a classic CAN frame carries at most 8 data bytes")
        self.can_id = can_id & (EXTENDED_MASK if extended else STANDARD_MASK)
        self.extended = extended
        self.remote = remote
        self.error = error
        self.dlc = len(data) if dlc is None else dlc
        self.data = data
        self.padding = bytes(padding)

    @property
    def word(self):
        """The 32-bit identifier word with the flag bits."""
        return (self.can_id | (EXTENDED_FLAG if self.extended else 0) | (REMOTE_FLAG if self.remote else 0)
                | (ERROR_FLAG if self.error else 0))

    def pack(self):
        return RECORD.pack(self.word, self.dlc & 0xFF, self.padding, self.data.ljust(8, b"\0"))

    @classmethod
    def unpack(cls, datagram):
        """The frame of a 16-byte record; None for any other size. ``data``
        holds the first min(dlc, 8) bytes."""
        if len(datagram) != FRAME_SIZE:
            return None
        word, dlc, padding, data = RECORD.unpack(datagram)
        extended = bool(word & EXTENDED_FLAG)
        return cls(word, data[:min(dlc, 8)], extended=extended, remote=bool(word & REMOTE_FLAG),
                   error=bool(word & ERROR_FLAG), dlc=dlc, padding=padding)

    @classmethod
    def parse(cls, text):
        """Text form as in can-utils: ``<id>#<data>``. An id of 3 hex digits is
        a standard frame, 8 digits an extended one; ``R`` (optionally followed by
        a length digit) makes a remote request.

            123#DEADBEEF      standard id 0x123, 4 bytes
            1FFF0005#0102     extended id 0x1FFF0005, 2 bytes
            00200FF0#R        extended remote request, length 0
        """
        ident, sep, rest = text.partition("#")
        if not sep or len(ident) not in (3, 8):
            raise ValueError(f"not a frame: {text!r}")
        extended = len(ident) == 8
        can_id = int(ident, 16)
        if rest[:1] in ("R", "r"):
            dlc = int(rest[1:], 16) if rest[1:] else 0
            return cls(can_id, extended=extended, remote=True, dlc=dlc)
        return cls(can_id, bytes.fromhex(rest.replace(".", "")), extended=extended)

    def __str__(self):
        ident = f"{self.can_id:08X}" if self.extended else f"{self.can_id:03X}"
        flags = ("!E" if self.error else "")
        if self.remote:
            return f"{ident}#R{self.dlc if self.dlc else ''}{flags}"
        body = self.data.hex().upper()
        if self.dlc != len(self.data):
            body += f"_{self.dlc}"  # a length that does not match the data (bad frame)
        return f"{ident}#{body}{flags}"

    def __repr__(self):
        return f"Frame({self})"

    def __eq__(self, other):
        return isinstance(other, Frame) and self.pack() == other.pack()

    def __hash__(self):
        return hash(self.pack())


class Endpoint:
    """One endpoint on a bus directory. Not thread-safe: use it from one thread
    (or guard it)."""

    def __init__(self, bus_dir, name=None, *, clock=time.monotonic, sleep=time.sleep, hold=HOLD_SECONDS,
                 create=True):
        """``clock`` and ``sleep`` are the time source of the list refresh
        and of waiting for a full receiver; a test that replaces the clock
        replaces sleep with something that advances it. ``hold``: how long a
        receiver that takes nothing is waited for."""
        self.bus_dir = Path(bus_dir)
        self._clock = clock
        self._sleep = sleep
        self._hold = hold
        if create:
            self.bus_dir.mkdir(parents=True, exist_ok=True)
        self._dir_fd = os.open(self.bus_dir, os.O_RDONLY | os.O_DIRECTORY)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setblocking(False)
        base = name or f"py-{os.getpid()}-{id(self) & 0xFFFF:04x}"
        self.name = self._bind(base)
        self.path = self.bus_dir / self.name
        self._identity = os.stat(self.path, follow_symlinks=False).st_ino
        self._peers = []
        self._refusing_since = {}  # peer file -> first refusal since it last took a copy
        self._listed_at = None
        self._listed_stamp = None
        self.lost = 0  # copies given up because a receiver did not read
        self.refresh()

    # -- addresses ---------------------------------------------------------

    def _address(self, file_name):
        """Socket address of a file of the bus; long paths go through the
        directory descriptor (/proc/self/fd/N/file)."""
        full = os.path.join(os.fsdecode(bytes(self.bus_dir)), file_name)
        if len(os.fsencode(full)) <= SUN_PATH_MAX:
            return full
        return f"/proc/self/fd/{self._dir_fd}/{file_name}"

    def _bind(self, base):
        for attempt in range(1, 100):
            file_name = (base if attempt == 1 else f"{base}-{attempt}") + SOCKET_SUFFIX
            for _ in range(2):
                try:
                    self.sock.bind(self._address(file_name))
                    return file_name
                except OSError as e:
                    if e.errno != errno.EADDRINUSE:
                        raise
                if not self._remove_if_stale(file_name):
                    break
        raise OSError(errno.EADDRINUSE, f"no free endpoint name for {base!r} in {self.bus_dir}")

    def _is_socket(self, file_name):
        try:
            return stat.S_ISSOCK(os.stat(file_name, dir_fd=self._dir_fd, follow_symlinks=False).st_mode)
        except OSError:
            return False

    def _remove_if_stale(self, file_name):
        """Deletes a socket file nobody is bound to; True when it did."""
        if not self._is_socket(file_name):
            return False
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            probe.connect(self._address(file_name))
            return False
        except ConnectionRefusedError:
            try:
                os.unlink(file_name, dir_fd=self._dir_fd)
            except FileNotFoundError:
                pass
            return True
        except OSError:
            return False
        finally:
            probe.close()

    # -- peers -------------------------------------------------------------

    def _dir_stamp(self):
        try:
            return os.stat(self._dir_fd).st_mtime_ns
        except OSError:
            return None

    def refresh(self):
        """Reads the list of other endpoints again."""
        self._listed_at = self._clock()
        self._listed_stamp = self._dir_stamp()
        peers = []
        try:
            entries = os.listdir(self._dir_fd)
        except OSError:
            entries = []
        for entry in entries:
            if entry == self.name or not entry.endswith(SOCKET_SUFFIX):
                continue
            if self._is_socket(entry):
                peers.append(entry)
        self._peers = sorted(peers)
        self._refusing_since = {peer: since for peer, since in self._refusing_since.items() if peer in peers}

    @property
    def peers(self):
        return list(self._peers)

    # -- sending -----------------------------------------------------------

    def send(self, frame):
        """Sends a frame (a Frame or a 16-byte record) to every other endpoint.
        Returns how many copies were delivered."""
        return self.send_raw(frame.pack() if isinstance(frame, Frame) else bytes(frame))

    def send_raw(self, datagram):
        """Sends any datagram, of any size, the way a frame is sent."""
        # A join or leave changes the directory's time stamp; the stamp is
        # coarse, so the list is also read again once a second.
        if self._clock() - self._listed_at >= REFRESH_SECONDS or self._dir_stamp() != self._listed_stamp:
            self.refresh()
        delivered = 0
        relist = False
        waiting = list(self._peers)
        # Full receivers are waited for together, so several of them cost
        # one hold time, not one each.
        while True:
            refused = []
            for peer in waiting:
                outcome = self._try(peer, datagram)
                if outcome == "sent":
                    delivered += 1
                elif outcome == "refused":
                    refused.append(peer)
                elif outcome == "gone":
                    relist = True
            waiting = refused
            if not waiting:
                break
            self._sleep(RETRY_SECONDS)
        if relist:
            self.refresh()
        return delivered

    def _try(self, peer, datagram):
        """One send to one receiver: "sent", "refused" (try again), "lost"
        (given up and counted), "gone" or "failed"."""
        try:
            self.sock.sendto(datagram, self._address(peer))
        except BlockingIOError:
            now = self._clock()
            since = self._refusing_since.setdefault(peer, now)
            if now - since < self._hold:
                return "refused"
            self.lost += 1
            return "lost"
        except ConnectionRefusedError:
            self._remove_if_stale(peer)
            return "gone"
        except FileNotFoundError:
            return "gone"
        except OSError:
            return "failed"
        self._refusing_since.pop(peer, None)
        return "sent"

    # -- receiving ---------------------------------------------------------

    def fileno(self):
        return self.sock.fileno()

    def recv(self, timeout=None):
        """The next frame, waiting up to ``timeout`` seconds (None: forever,
        0: not at all); None when none came. Datagrams that are not 16 bytes
        long are dropped."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                datagram = self.sock.recv(FRAME_SIZE + 1)
            except BlockingIOError:
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return None
                select.select([self.sock], [], [], remaining)
                continue
            frame = Frame.unpack(datagram)
            if frame is not None:
                return frame

    def drain(self):
        """Every frame that is already queued."""
        frames = []
        while (frame := self.recv(timeout=0)) is not None:
            frames.append(frame)
        return frames

    # -- leaving -----------------------------------------------------------

    def close(self):
        if self.sock.fileno() < 0:
            return
        try:
            if os.stat(self.path, follow_symlinks=False).st_ino == self._identity:
                os.unlink(self.path)
        except OSError:
            pass
        self.sock.close()
        os.close(self._dir_fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _main(argv):
    parser = argparse.ArgumentParser(description="Simulated CAN bus endpoint")
    sub = parser.add_subparsers(dest="command", required=True)
    dump = sub.add_parser("dump", help="print received frames")
    dump.add_argument("bus")
    dump.add_argument("--name")
    dump.add_argument("--count", type=int, default=0, help="stop after this many frames (0: never)")
    dump.add_argument("--timeout", type=float, default=None, help="stop after this many idle seconds")
    dump.add_argument("--pause-every", type=int, default=0, help="pause after every N frames (0: never)")
    dump.add_argument("--pause-ms", type=float, default=0.0, help="milliseconds of each pause")
    send = sub.add_parser("send", help="send frames")
    send.add_argument("bus")
    send.add_argument("frames", nargs="+")
    send.add_argument("--name")
    send.add_argument("--raw", action="store_true", help="the arguments are hex datagrams of any size")
    burst = sub.add_parser("burst", help="send numbered frames back to back")
    burst.add_argument("bus")
    burst.add_argument("count", type=int)
    burst.add_argument("--name")
    burst.add_argument("--id", default="100", help="extended identifier in hex")
    burst.add_argument("--hold-ms", type=float, default=HOLD_SECONDS * 1000.0,
                       help="milliseconds a full receiver is waited for")
    args = parser.parse_args(argv)

    hold = getattr(args, "hold_ms", HOLD_SECONDS * 1000.0) / 1000.0
    with Endpoint(args.bus, args.name, hold=hold) as endpoint:
        if args.command == "burst":
            can_id = int(args.id, 16)
            for number in range(args.count):
                endpoint.send(Frame(can_id, number.to_bytes(4, "little")))
            print(f"lost {endpoint.lost}", flush=True)
            return 0
        if args.command == "send":
            for text in args.frames:
                if args.raw:
                    endpoint.send_raw(bytes.fromhex(text))
                else:
                    endpoint.send(Frame.parse(text))
            return 0
        print(f"listening {endpoint.path}", flush=True)
        received = 0
        while args.count == 0 or received < args.count:
            frame = endpoint.recv(timeout=args.timeout)
            if frame is None:
                return 1
            print(frame, flush=True)
            received += 1
            if args.pause_every and received % args.pause_every == 0:
                time.sleep(args.pause_ms / 1000.0)
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
