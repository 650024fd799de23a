#!/usr/bin/python3
"""Simulated fire-alarm panel installation: panel nodes ("USO") on the
simulated CAN bus, repeating their digests.

Written from the protocol description, not from the firmware.

An installation uses one of two identifier layouts (29-bit extended
identifiers; the SocketCAN word adds bit 31 extended, bit 30 remote request)::

    64 nodes    a node sends with its number in bits 21-28 and the register
                in bits 1-12; bits 13-20 (the addressee) are 0 on broadcasts.
                The gateway sends with 1 in bits 21-28, the addressed node in
                bits 13-20, the register from bit 1 on, and sets bit 30 when
                the frame carries a value.
    250 nodes   the node in bits 5-12 and the register in bits 13-28, in both
                directions; bit 0 is set when the frame carries a value.

Every node repeats its digest: nine registers of 8 bytes, index 0 to 8, sent
in index order as registers 0xFF0-0xFF8 (64 nodes) or 0xFFF0-0xFFF8 (250)::

    0  state: byte 0 bits 0-3 fire states, 4 fault, 5 mains (220 V) present,
       6-7 event states; byte 1 inputs, byte 2 outputs (two nibbles each);
       bytes 3-5 and the low nibble of 6 seven valve states; byte 6 bits 4-5
       automation, 6-7 event states; byte 7 bits 0-2 radio state, 3 event
    1  bytes 0-3 hardware and firmware codes, bytes 4-7 serial (little-endian)
    2  name: 8 characters KOI8-R, NUL-padded
    3  event counters 0 and 1 (32-bit little-endian)
    4  two 16-bit statistics, byte 4 zone states (bits 0-1), bytes 5-7 spare
    5  event counters 2 and 3
    6  configuration hash: four 16-bit words
    7  8  further state, not published by the gateway

A node of number 252 (the gateway answers it with register 0xEEE0 and eight
zero bytes) can be added with --node252: it sends one frame per round.

Every frame the simulator receives is recorded and printed, decoded in the
installation's layout, so tests see the gateway's answers and (later) its
register reads.

Command line::

    panel.py ROOT [--bus can0] [--layout 64|250] [--nodes 1,2,5]
                  [--period SECONDS] [--gap MILLISECONDS] [--rounds N]
                  [--node252] [--events SECONDS]
        joins ROOT/run/can/<bus> (ROOT may also name the bus directory itself
        with --bus-dir), prints "ready <socket file>", then every period sends
        each node's digest (frames --gap apart, at bus pace). Prints
        "rx <frame> node=N reg=0xRRRR len=L data=HEX" per frame received and
        "round N" after each round's last frame. --events makes every node
        count an event every so many seconds (so its digest changes).

    Commands on standard input, one a line (answered "ok <command>"):
        set NODE INDEX HEX       digest register INDEX of NODE (8 bytes, hex)
        name NODE TEXT           the node's name (KOI8-R, at most 8 letters)
        event NODE               count one event at the node
        silence NODE             the node stops sending
        resume NODE              it sends again
        send FRAME               one frame in the text form of canbus.py
        round                    start the next round now
        sync                     print what has been received so far, then answer
        quit                     ends, printing "lost N" (copies the bus
                                 gave up, see canbus.py)

    panel.py frames [--layout 64|250] [--nodes 1,2,5]
        prints one round of digest frames in the text form of canbus.py.
"""

import argparse
import os
import select
import struct
import sys
import time
from collections import deque
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from canbus import Endpoint, Frame, bus_path  # noqa: E402

DIGEST_REGISTERS = 9
NODE_252 = 252
ANSWER_252 = 0xEEE0
GATEWAY_64 = 1  # the gateway's own node number in the 64-node layout


class Layout:
    """One identifier layout: how nodes address their frames and how the
    gateway addresses its own."""

    def __init__(self, nodes):
        if nodes not in (64, 250):
            raise ValueError("a layout has 64 or 250 nodes")
        self.nodes = nodes

    def digest_register(self, index):
        return (0xFF0 if self.nodes == 64 else 0xFFF0) + index

    def node_frame(self, node, reg, data=b""):
        """A frame a node sends (a broadcast in the 64-node layout)."""
        if self.nodes == 64:
            return Frame((node & 0xFF) << 21 | (reg & 0xFFF) << 1, data)
        return Frame((reg & 0xFFFF) << 13 | (node & 0xFF) << 5, data)

    def parse(self, frame):
        """(node, reg, carries_value) of a frame the gateway sent: the
        addressed node, the register and whether it carries a value."""
        ident = frame.can_id
        if self.nodes == 64:
            return (ident >> 13) & 0xFF, (ident >> 1) & 0xFFFF, frame.remote
        return (ident >> 5) & 0xFF, (ident >> 13) & 0xFFFF, bool(ident & 1)


def u16(*values):
    return b"".join(struct.pack("<H", v & 0xFFFF) for v in values)


def u32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def koi8(text, size=8):
    """Text as a NUL-padded KOI8-R field; letters the code lacks become '?'."""
    return text.encode("koi8_r", "replace")[:size].ljust(size, b"\0")


class Node:
    """One panel node: its digest registers and the other registers that the
    gateway may read (not answered yet, only recorded)."""

    def __init__(self, number, serial=None, name=None):
        self.number = number
        self.silent = False
        self.serial = 1050000 + number if serial is None else serial
        self.events = [100 + number, 200 + number, 300 + number, 400 + number]
        self.digest = [bytearray(8) for _ in range(DIGEST_REGISTERS)]
        # Registers other than the digest: number -> 8 bytes.
        self.registers = {}
        self.received = []
        self.digest[0][:] = bytes([
            0x20,                       # mains present, no fire, no fault
            (number % 4) | 0x10,        # inputs: low nibble, high nibble
            0x02,                       # outputs
            0x00, 0x00, 0x00,           # valves
            0x10,                       # automation 1
            0x00,                       # radio state
        ])
        self.digest[1][:] = bytes([0x01, 0x04, 0x17, 0x00]) + u32(self.serial)
        self.set_name(name if name is not None else f"УСО {number}")
        self.digest[4][:] = u16(10 + number, 20) + bytes([0x00, 0x00, 0x00, 0x00])
        self.digest[6][:] = u16(0x1000 + number, 0x2000, 0x3000, 0x4000)
        self.digest[7][:] = bytes([0, 0, 0, 0, 0, 0, 0, number & 0xFF])
        self.digest[8][:] = bytes(8)
        self._store_events()

    def set_name(self, text):
        self.digest[2][:] = koi8(text)

    def set_register(self, index, data):
        data = bytes(data)
        if len(data) != 8:
            raise ValueError("a digest register holds 8 bytes")
        self.digest[index][:] = data

    def count_event(self, counter=0):
        self.events[counter] += 1
        self._store_events()

    def _store_events(self):
        self.digest[3][:] = u32(self.events[0], self.events[1])
        self.digest[5][:] = u32(self.events[2], self.events[3])

    def digest_frames(self, layout):
        return [layout.node_frame(self.number, layout.digest_register(i), bytes(self.digest[i]))
                for i in range(DIGEST_REGISTERS)]


class Installation:
    """The nodes of one installation and what they send per round."""

    def __init__(self, layout, numbers, node252=False):
        self.layout = Layout(layout)
        for n in numbers:
            if not 0 <= n <= (64 if layout == 64 else 250):
                raise ValueError(f"node {n} does not exist in a {layout}-node installation")
        self.nodes = {n: Node(n) for n in numbers}
        self.node252 = node252
        self.received = []

    def round_frames(self):
        frames = []
        for node in self.nodes.values():
            if not node.silent:
                frames.extend(node.digest_frames(self.layout))
        if self.node252:
            # A read of register 1 from the node-252 station.
            frames.append(self.layout.node_frame(NODE_252, 0x0001))
        return frames

    def take(self, frame):
        """Records a frame heard on the bus; returns its description."""
        node, reg, value = self.layout.parse(frame)
        self.received.append(frame)
        if node in self.nodes:
            self.nodes[node].received.append((reg, frame.data if value else None))
        return f"rx {frame} node={node} reg=0x{reg:04X} len={frame.dlc} data={frame.data.hex().upper()}"


class Runner:
    """The simulator's loop: rounds of digests at bus pace, received frames,
    commands from standard input."""

    def __init__(self, installation, endpoint, period, gap, rounds, events, out=sys.stdout):
        self.installation = installation
        self.endpoint = endpoint
        self.period = period
        self.gap = gap
        self.rounds_left = rounds
        self.events = events
        self.out = out
        self.outbox = deque()
        self.round = 0
        self.next_round = time.monotonic()
        self.next_frame = self.next_round
        self.next_event = self.next_round + events if events else None
        self.running = True

    def say(self, text):
        print(text, file=self.out, flush=True)

    def command(self, line):
        words = line.split()
        if not words:
            return
        verb, args = words[0], words[1:]
        nodes = self.installation.nodes
        try:
            if verb == "set":
                nodes[int(args[0])].set_register(int(args[1]), bytes.fromhex(args[2]))
            elif verb == "name":
                nodes[int(args[0])].set_name(line.split(None, 2)[2] if len(args) > 1 else "")
            elif verb == "event":
                nodes[int(args[0])].count_event()
            elif verb == "silence":
                nodes[int(args[0])].silent = True
            elif verb == "resume":
                nodes[int(args[0])].silent = False
            elif verb == "send":
                self.outbox.appendleft(Frame.parse(args[0]))
            elif verb == "round":
                self.next_round = time.monotonic()
            elif verb == "sync":
                self.receive()
            elif verb == "quit":
                self.running = False
            else:
                self.say(f"error unknown command {verb}")
                return
        except (IndexError, KeyError, ValueError) as e:
            self.say(f"error {line.strip()}: {e}")
            return
        self.say(f"ok {line.strip()}")

    def receive(self):
        while (frame := self.endpoint.recv(timeout=0)) is not None:
            self.say(self.installation.take(frame))

    def step(self, commands):
        now = time.monotonic()
        if self.next_event is not None and now >= self.next_event:
            for node in self.installation.nodes.values():
                node.count_event()
            self.next_event = now + self.events
        if not self.outbox and now >= self.next_round and self.rounds_left != 0:
            self.outbox.extend(self.installation.round_frames())
            self.outbox.append(None)  # marks the end of the round
            self.next_round = now + self.period
        if self.outbox and now >= self.next_frame:
            frame = self.outbox.popleft()
            if frame is None:
                self.round += 1
                self.say(f"round {self.round}")
                if self.rounds_left > 0:
                    self.rounds_left -= 1
            else:
                self.endpoint.send(frame)
                self.next_frame = now + self.gap
        if self.outbox:
            timeout = max(0.0, self.next_frame - time.monotonic())
        elif self.rounds_left != 0:
            timeout = max(0.0, self.next_round - time.monotonic())
        else:
            timeout = 0.5
        sources = [self.endpoint] + ([commands] if commands is not None else [])
        readable, _, _ = select.select(sources, [], [], timeout)
        if self.endpoint in readable:
            self.receive()
        if commands is not None and commands in readable:
            lines = commands.read_lines()
            if lines is None:
                return commands_closed
            for line in lines:
                self.command(line)
        return None


commands_closed = object()


class CommandReader:
    """Whole lines from a descriptor, read without blocking the loop (a
    buffered file would hide lines from select())."""

    def __init__(self, fd):
        self.fd = fd
        self.pending = b""

    def fileno(self):
        return self.fd

    def read_lines(self):
        """The complete lines that arrived; None at end of input."""
        chunk = os.read(self.fd, 4096)
        if not chunk:
            return None
        self.pending += chunk
        *lines, self.pending = self.pending.split(b"\n")
        return [line.decode("utf-8", "replace") for line in lines]


def parse_nodes(text):
    numbers = []
    for part in text.split(","):
        if "-" in part:
            first, last = part.split("-")
            numbers.extend(range(int(first), int(last) + 1))
        elif part:
            numbers.append(int(part))
    return numbers


def main(argv):
    parser = argparse.ArgumentParser(description="Simulated fire-alarm panel nodes on the simulated CAN bus")
    parser.add_argument("root", help="simulation root, or 'frames' to print one round")
    parser.add_argument("--bus", default="can0", help="interface name (default can0)")
    parser.add_argument("--bus-dir", help="bus directory, instead of ROOT/run/can/BUS")
    parser.add_argument("--layout", type=int, choices=(64, 250), default=64)
    parser.add_argument("--nodes", default="1,2,5", help="node numbers, e.g. 1,2,5 or 1-10")
    parser.add_argument("--period", type=float, default=1.0, help="seconds between digest rounds")
    parser.add_argument("--gap", type=float, default=1.0, help="milliseconds between frames")
    parser.add_argument("--rounds", type=int, default=-1, help="stop sending after N rounds (-1: never)")
    parser.add_argument("--node252", action="store_true", help="add the node-252 station")
    parser.add_argument("--events", type=float, default=0, help="count an event every N seconds (0: never)")
    args = parser.parse_args(argv)

    installation = Installation(args.layout, parse_nodes(args.nodes), node252=args.node252)
    if args.root == "frames":
        for frame in installation.round_frames():
            print(frame)
        return 0

    directory = Path(args.bus_dir) if args.bus_dir else bus_path(args.root, args.bus)
    with Endpoint(directory, f"panel-{args.layout}") as endpoint:
        runner = Runner(installation, endpoint, args.period, args.gap / 1000.0, args.rounds, args.events)
        runner.say(f"ready {endpoint.path}")
        commands = CommandReader(sys.stdin.fileno()) if not sys.stdin.isatty() else None
        try:
            while runner.running:
                if runner.step(commands) is commands_closed:
                    commands = None
        except KeyboardInterrupt:
            pass
        runner.say(f"lost {endpoint.lost}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
