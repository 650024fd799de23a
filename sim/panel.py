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

Every node also keeps the registers the gateway reads on request (the
register map of its layout, RegisterMap below): power supply, hubs, device
information, the used-devices words, the radio devices (registers r0-r12
each) and three name lists. A read (a frame without a value) of a register
the node has is answered like a broadcast from the node, with all eight
data bytes and the register's length, which is its type: 1 a boolean, 4 an
integer, 5 a float (IEEE-754 single, little-endian), 8 a text (KOI8-R). A
write (a frame with a value) is stored with its length and echoed back.
Registers the node does not have are not answered.

Every frame the simulator receives is recorded and printed, decoded in the
installation's layout, so tests see the gateway's answers and its register
reads.

Command line::

    panel.py ROOT [--bus can0] [--layout 64|250] [--nodes 1,2,5]
                  [--period SECONDS] [--gap MILLISECONDS] [--rounds N]
                  [--node252] [--events SECONDS] [--devices N] [--quiet]
        joins ROOT/run/can/<bus> (ROOT may also name the bus directory itself
        with --bus-dir), prints "ready <socket file>", then every period sends
        each node's digest (frames --gap apart, at bus pace; answers go
        first). Prints "rx <frame> node=N reg=0xRRRR len=L data=HEX" per
        frame received (not with --quiet) and "round N" after each round's
        last frame. --events makes every node count an event every so many
        seconds (so its digest changes). --devices: radio devices per node
        (default 2).

    Commands on standard input, one a line (answered "ok <command>"):
        set NODE INDEX HEX       digest register INDEX of NODE (8 bytes, hex)
        name NODE TEXT           the node's name (KOI8-R, at most 8 letters)
        event NODE               count one event at the node
        silence NODE             the node stops sending
        resume NODE              it sends again
        send FRAME               one frame in the text form of canbus.py
        reg NODE REG LEN HEX     a readable register (REG decimal or 0x...)
                                 holds HEX (at most 8 bytes) with length LEN
        mute NODE REG            the register is no longer answered
        unmute NODE REG          it is answered again
        alarm NODE KIND DEVICE   alarm kind KIND (0, 1 fire states, 2, 3 zone
                                 states) at the node, radio device DEVICE in it
        calm NODE                no alarm at the node any more
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

# Register lengths, the type of a value.
BOOL, INTEGER, FLOAT, TEXT = 1, 4, 5, 8
RADIO_REGISTERS = 13
ALARM_KINDS = 4


class RegisterMap:
    """Where the nodes of a layout keep the registers the gateway reads.

    alarm         device-alarm registers per kind (fire state 0, fire state 1,
                  zone state 0, zone state 1); block b: register + b
    radio         r0-r12 of radio device 0; device d adds stride_a x d to
                  r0-r5 and stride_b x d to r6-r12: r0 serial, r1 type,
                  r2 r3 name (16 KOI8-R characters), r4 group, r5 disabled,
                  r6 status, r7 r8 main and backup voltage, r9 fault,
                  r10 signal (two bytes), r11 version, r12 hub
    names         name list -> (base, stride, count): name e is the two
                  registers base + stride x e and the one after
    used          used-devices words (base, stride, count); bit j of word k
                  is radio device 32k + j
    hubs          hubs used, hubs in fault
    power         main and backup voltage, main ok, backup ok
    device_info   code, version, radio channel, radio key words 0-3
    """

    def __init__(self, nodes):
        if nodes == 64:
            self.alarm = (0x0057, 0x0059, 0x0363, 0x0365)
            self.radio = (0x099F, 0x09A0, 0x09A9, 0x09AA, 0x09A2, 0x09A1,
                          0x0070, 0x006C, 0x006D, 0x0071, 0x028A, 0x028B, 0x028C)
            self.stride_a, self.stride_b = 12, 8
            self.names = {"event_names": (0x0D36, 2, 128), "rf_group_names": (0x08FF, 5, 32),
                          "valve_names": (0x0D22, 3, 7)}
            self.used = (0x0053, 1, 2)
            self.hubs = (0x08FD, 0x005B)
            self.power = (0x0007, 0x0008, 0x0009, 0x000A)
            self.device_info = (0x034A, 0x034B, 0x08FC, 0x049A, 0x049B, 0x049C, 0x049D)
        else:
            self.alarm = (0x0076, 0x007E, 0x0B8B, 0x0B93)
            self.radio = (0x82A7, 0x82A8, 0x82B1, 0x82B2, 0x82AA, 0x82A9,
                          0x00A3, 0x009F, 0x00A0, 0x00A4, 0x00A6, 0x00A7, 0x00A8)
            self.stride_a, self.stride_b = 12, 11
            self.names = {"event_names": (0x8EEF, 2, 255), "rf_group_names": (0x81A7, 8, 32),
                          "valve_names": (0x8075, 19, 7)}
            self.used = (0x0066, 1, 8)
            self.hubs = (0x8194, 0x008E)
            self.power = (0x0019, 0x001A, 0x001B, 0x001C)
            self.device_info = (0x0B82, 0x0B83, 0x818E, 0x818F, 0x8190, 0x8191, 0x8192)
        self.alarm_blocks = 8

    def radio_register(self, k, device):
        return self.radio[k] + (self.stride_a if k < 6 else self.stride_b) * device

    def name_registers(self, name_list, entry):
        base, stride, _ = self.names[name_list]
        return base + stride * entry, base + stride * entry + 1


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
            return (ident >> 13) & 0xFF, (ident >> 1) & 0xFFF, frame.remote
        return (ident >> 5) & 0xFF, (ident >> 13) & 0xFFFF, bool(ident & 1)

    def from_gateway(self, frame):
        """Whether a frame is the gateway's: in the 64-node layout it sends as
        node 1; in the 250-node layout a read has no data and a write bit 0."""
        if self.nodes == 64:
            return (frame.can_id >> 21) & 0xFF == GATEWAY_64
        return frame.dlc == 0 or bool(frame.can_id & 1)


def u16(*values):
    return b"".join(struct.pack("<H", v & 0xFFFF) for v in values)


def u32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def koi8(text, size=8):
    """Text as a NUL-padded KOI8-R field; letters the code lacks become '?'."""
    return text.encode("koi8_r", "replace")[:size].ljust(size, b"\0")


def f32(value):
    return struct.pack("<f", value)


def version_word(year, month, build, hash_build=False):
    """A version: months since January 2020 in bits 7-14, the build in bits
    0-6, bit 15 for a '#' build."""
    return ((year - 2020) * 12 + month - 1) << 7 | build & 0x7F | (0x8000 if hash_build else 0)


class RadioDevice:
    """One radio device of a node, as its registers r0-r12 hold it."""

    def __init__(self, serial, name, type_=1, group=0, disabled=0, status=0, v_main=3.0, v_backup=2.5,
                 fault=0, signal=(0x62, 0x5E), version=version_word(2024, 6, 17), hub=1):
        self.serial, self.name, self.type, self.group, self.disabled = serial, name, type_, group, disabled
        self.status, self.v_main, self.v_backup, self.fault = status, v_main, v_backup, fault
        self.signal, self.version, self.hub = signal, version, hub

    def registers(self):
        """(value bytes, length) of r0 to r12."""
        name = koi8(self.name, 16)
        return [(u32(self.serial), INTEGER), (u32(self.type), INTEGER), (name[:8], TEXT), (name[8:], TEXT),
                (u32(self.group), INTEGER), (u32(self.disabled), BOOL), (u32(self.status), INTEGER),
                (f32(self.v_main), FLOAT), (f32(self.v_backup), FLOAT), (u32(self.fault), INTEGER),
                (bytes([self.signal[1], self.signal[0], 0, 0]), INTEGER), (u32(self.version), INTEGER),
                (u32(self.hub), INTEGER)]


class Node:
    """One panel node: its digest registers and the other registers that the
    gateway may read (not answered yet, only recorded)."""

    def __init__(self, number, serial=None, name=None, devices=2):
        self.number = number
        self.silent = False
        self.serial = 1050000 + number if serial is None else serial
        self.events = [100 + number, 200 + number, 300 + number, 400 + number]
        self.digest = [bytearray(8) for _ in range(DIGEST_REGISTERS)]
        # What the readable registers hold (see registers()).
        self.v_main, self.v_backup, self.main_ok, self.backup_ok = 24.0, 13.5, True, True
        self.hubs_used, self.hubs_fault = 1 + number % 4, 0
        self.code, self.version, self.rf_channel = 0x1000 + number, version_word(2024, 6, 17), number % 16
        self.rf_key = [0x11111111 * (k + 1) for k in range(4)]
        # Radio devices: the used ones, and empty places (serial 0) up to 2,
        # since the gateway reads devices 0 and 1 of every node.
        self.radio = [RadioDevice(3000 + 10 * number + d, f"Датчик {d + 1}", group=d % 4) if d < devices
                      else RadioDevice(0, "") for d in range(max(devices, 2))]
        self.used_devices = devices
        self.name_lists = {"event_names": lambda e: f"Событие {e + 1}", "valve_names": lambda e: f"Клапан {e + 1}",
                           "rf_group_names": lambda e: f"Группа {e + 1}"}
        # Register number -> (8 bytes, length), made by registers().
        self.registers = {}
        self.muted = set()
        self.received = deque(maxlen=100000)
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

    def make_registers(self, regmap):
        """Fills the readable registers from the node's values."""
        values = {}
        power = [(f32(self.v_main), FLOAT), (f32(self.v_backup), FLOAT), (u32(self.main_ok), BOOL),
                 (u32(self.backup_ok), BOOL)]
        values.update(zip(regmap.power, power))
        values[regmap.hubs[0]] = (u32(self.hubs_used), INTEGER)
        values[regmap.hubs[1]] = (u32(self.hubs_fault), INTEGER)
        info = [self.code, self.version, self.rf_channel] + self.rf_key
        values.update((reg, (u32(word), INTEGER)) for reg, word in zip(regmap.device_info, info))
        base, stride, count = regmap.used
        bits = (1 << self.used_devices) - 1
        for k in range(count):
            values[base + stride * k] = (u32(bits >> (32 * k)), INTEGER)
        for d, device in enumerate(self.radio):
            for k, value in enumerate(device.registers()):
                values[regmap.radio_register(k, d)] = value
        for name_list, (_, _, count) in regmap.names.items():
            for e in range(count):
                text = koi8(self.name_lists[name_list](e), 16)
                first, second = regmap.name_registers(name_list, e)
                values[first], values[second] = (text[:8], TEXT), (text[8:], TEXT)
        for kind in range(ALARM_KINDS):
            for block in range(regmap.alarm_blocks):
                values[regmap.alarm[kind] + block] = (u32(0), INTEGER)
        self.registers = {reg: (data.ljust(8, b"\0"), length) for reg, (data, length) in values.items()}

    def set_value(self, reg, data, length):
        self.registers[reg] = (bytes(data)[:8].ljust(8, b"\0"), length)

    def raise_alarm(self, regmap, kind, device):
        if kind < 2:
            self.digest[0][0] |= 1 << kind
        else:
            self.digest[4][4] |= 1 << (kind - 2)
        reg = regmap.alarm[kind] + device // 32
        word = int.from_bytes(self.registers[reg][0][:4], "little") | 1 << device % 32
        self.set_value(reg, u32(word), INTEGER)

    def calm(self, regmap):
        self.digest[0][0] &= ~0x03
        self.digest[4][4] &= ~0x03
        for kind in range(ALARM_KINDS):
            for block in range(regmap.alarm_blocks):
                self.set_value(regmap.alarm[kind] + block, u32(0), INTEGER)

    def answer(self, layout, reg, value):
        """The frames the node sends to a gateway read (value None) or write
        of one of its registers."""
        if value is not None:
            self.registers[reg] = (bytes(value[0]).ljust(8, b"\0"), value[1])
        if reg in self.muted or reg not in self.registers:
            return []
        data, length = self.registers[reg]
        frame = layout.node_frame(self.number, reg, data)
        frame.dlc = length
        return [frame]


class Installation:
    """The nodes of one installation and what they send per round."""

    def __init__(self, layout, numbers, node252=False, devices=2):
        self.layout = Layout(layout)
        self.regmap = RegisterMap(layout)
        for n in numbers:
            if not 0 <= n <= (64 if layout == 64 else 250):
                raise ValueError(f"node {n} does not exist in a {layout}-node installation")
        self.nodes = {n: Node(n, devices=devices) for n in numbers}
        for node in self.nodes.values():
            node.make_registers(self.regmap)
        self.node252 = node252
        self.received = deque(maxlen=100000)

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
        """Records a frame heard on the bus; returns its description and the
        nodes' answers to send."""
        node, reg, value = self.layout.parse(frame)
        self.received.append(frame)
        answers = []
        if node in self.nodes:
            self.nodes[node].received.append((reg, frame.data if value else None))
            if self.layout.from_gateway(frame) and not frame.error:
                answers = self.nodes[node].answer(self.layout, reg, (frame.data, frame.dlc) if value else None)
        return f"rx {frame} node={node} reg=0x{reg:04X} len={frame.dlc} data={frame.data.hex().upper()}", answers


class Runner:
    """The simulator's loop: rounds of digests at bus pace, received frames,
    commands from standard input."""

    def __init__(self, installation, endpoint, period, gap, rounds, events, out=sys.stdout, quiet=False):
        self.installation = installation
        self.endpoint = endpoint
        self.period = period
        self.gap = gap
        self.rounds_left = rounds
        self.events = events
        self.out = out
        self.quiet = quiet
        self.outbox = deque()
        self.answers = deque()
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
        regmap = self.installation.regmap
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
            elif verb == "reg":
                data = bytes.fromhex(args[3])
                if len(data) > 8:
                    raise ValueError("a register holds at most 8 bytes")
                nodes[int(args[0])].set_value(int(args[1], 0), data, int(args[2]))
            elif verb == "mute":
                nodes[int(args[0])].muted.add(int(args[1], 0))
            elif verb == "unmute":
                nodes[int(args[0])].muted.discard(int(args[1], 0))
            elif verb == "alarm":
                kind, device = int(args[1]), int(args[2])
                if not 0 <= kind < ALARM_KINDS or not 0 <= device < 32 * regmap.alarm_blocks:
                    raise ValueError("no such alarm kind or device")
                nodes[int(args[0])].raise_alarm(regmap, kind, device)
            elif verb == "calm":
                nodes[int(args[0])].calm(regmap)
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
            description, answers = self.installation.take(frame)
            self.answers.extend(answers)
            if not self.quiet:
                self.say(description)

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
        if self.answers and now >= self.next_frame:
            self.endpoint.send(self.answers.popleft())
            self.next_frame = now + self.gap
        elif self.outbox and now >= self.next_frame:
            frame = self.outbox.popleft()
            if frame is None:
                self.round += 1
                self.say(f"round {self.round}")
                if self.rounds_left > 0:
                    self.rounds_left -= 1
            else:
                self.endpoint.send(frame)
                self.next_frame = now + self.gap
        if self.outbox or self.answers:
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
    parser.add_argument("--devices", type=int, default=2, help="radio devices per node (default 2)")
    parser.add_argument("--quiet", action="store_true", help="do not print received frames")
    args = parser.parse_args(argv)

    installation = Installation(args.layout, parse_nodes(args.nodes), node252=args.node252, devices=args.devices)
    if args.root == "frames":
        for frame in installation.round_frames():
            print(frame)
        return 0

    directory = Path(args.bus_dir) if args.bus_dir else bus_path(args.root, args.bus)
    with Endpoint(directory, f"panel-{args.layout}") as endpoint:
        runner = Runner(installation, endpoint, args.period, args.gap / 1000.0, args.rounds, args.events,
                        quiet=args.quiet)
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
