#!/usr/bin/python3
"""Simulated metering radio network: receivers (PR) on the simulated CAN bus
and the heat and water meters whose radio telegrams they hear.

Written from the protocol description, not from the firmware.

CMT message, as a receiver forwards one radio telegram (n bytes, n <= 256)::

    0          RSSI of the telegram at this receiver, signed dBm
    1 .. n-3   the radio telegram
    n-2, n-1   CRC-16/MODBUS of the telegram, low byte first

It travels in extended frames of 8 bytes (the last one shorter) whose
identifier is::

    bits 0-4 part index, bit 5 last part, bits 6-8 sequence, bits 9-28 address

Radio telegram::

    0-2   sender address        3   control: bit 1 RSSI answer wanted,
    4...  extra address bytes       bits 2-3 extra address bytes,
    then  tag path, tag value       bits 4-7 path length - 1

Tag path: numbers in 7-bit groups, low group first, bit 7 = more follows.
Tag value: items of a header byte (type << 6 | length) and data; types
0 boolean, 1 unsigned (low byte first), 2 float (IEEE single, low byte
first), 3 text. A heat meter's path is (10, 2, serial) with 13 items, a
water meter's (10, 1, serial) with 7.

Receivers also send one-frame reports: a serial announcement (8 bytes, the
serial low byte first, its low 20 bits being the receiver's address) and
service reports in frames whose low nine identifier bits are 0x5F::

    02 .. .. .. .. ..  YM B     version (YM months since 2021, build B)
    04 .. .. .. .. ..  .. S     bootloader state S
    08 SS L0 L1 L2 L3 .. ..     firmware length (SS 11 expected, 22 received)
    10 SS C0 C1 C2 C3 .. ..     firmware CRC (SS 11 match, 22 mismatch, 33 received)

A receiver records the RSSI answers the gateway sends it: 4 bytes, the
telegram's sender address and 2 x (RSSI + 90) + 1 limited to 1..255.

Command line::

    radio.py frames [--receiver R]... [--heat M]... [--water M]...
        prints every frame, one per line in the text form of canbus.py:
        each receiver's serial announcement and version report, then each
        meter's telegram as every receiver forwards it (parts interleaved).

    radio.py run BUS [--receiver R]... [--heat M]... [--water M]...
                 [--period SECONDS] [--announce SECONDS]
        joins the bus directory BUS, announces the receivers, sends every
        meter's telegram each period and serial announcements each announce
        interval. Prints "ready" when joined, "sent <kind> <serial> via
        <address> rssi <rssi>" per forwarded telegram and "rssi-answer
        <address> <sender> <value>" per answer received. Commands on
        standard input, one a line:
            send                     every meter's telegram now
            silence ADDRESS          the receiver stops sending anything
            resume ADDRESS           it announces itself and goes on
            announce ADDRESS         a serial announcement now
            version ADDRESS YM BUILD a version report
            bootloader ADDRESS CODE  a bootloader report (hex code)
            quit                     prints "lost N" (copies the bus
                                     gave up, see canbus.py) and ends

    R = ADDRESS[:RSSI[:SERIAL]]  address in hex (20 bits); RSSI in dBm
        (default -60); serial in hex or decimal, its low 20 bits must be the
        address (default 0x5052 << 32 | 0x100 << 20 | ADDRESS).
    M = key=value,...  a meter: serial, time, vbat (volts), fw, ack (1 asks
        for an RSSI answer), via (receiver addresses joined by "+"; default
        all); heat meters also model, heat, cold, volume, power, flow, tin,
        tout; water meters also flags, litres.
"""

import argparse
import os
import select
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from canbus import Endpoint, Frame  # noqa: E402

ADDRESS_MASK = 0xFFFFF
SERVICE_LOW_BITS = 0x5F
BUS_FRAMES_PER_SECOND = 7600  # extended frames on a fully loaded 1 Mbit/s bus
PACING_SLEEP_SECONDS = 0.001  # shorter sleeps are not worth their overshoot


def crc16_modbus(data):
    """CRC-16/MODBUS, bit by bit: crc16_modbus(b"123456789") == 0x4B37."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            if crc & 1:
                crc = (crc >> 1) ^ 0xA001
            else:
                crc >>= 1
    return crc


# -- tags --------------------------------------------------------------------

def path_number(number):
    """One path number in 7-bit groups: 12345 -> B9 60."""
    out = bytearray()
    while True:
        group = number & 0x7F
        number >>= 7
        if number:
            out.append(group | 0x80)
        else:
            out.append(group)
            return bytes(out)


def item(kind, data):
    if len(data) > 63:
        raise ValueError("an item carries at most 63 bytes")
    return bytes([kind << 6 | len(data)]) + data


def item_bool(value):
    return item(0, b"\x01" if value else b"\x00")


def item_unsigned(value):
    """An unsigned item in as few bytes as it needs; negative numbers go as
    their 32-bit two's complement."""
    value &= 0xFFFFFFFF
    data = bytearray()
    while True:
        data.append(value & 0xFF)
        value >>= 8
        if not value:
            return item(1, bytes(data))


def item_float(value):
    return item(2, struct.pack("<f", value))


def item_text(text):
    return item(3, text.encode("utf-8"))


def telegram(sender, path, items, *, answer=False, extra=b"", direction=False):
    """A radio telegram: 3 sender address bytes, the control byte, extra
    address bytes, the tag path and the tag value."""
    path_bytes = b"".join(path_number(n) for n in path)
    if not 1 <= len(path_bytes) <= 16 or len(extra) > 3 or len(sender) != 3:
        raise ValueError("telegram does not fit its header")
    control = ((len(path_bytes) - 1) << 4) | (len(extra) << 2) | (2 if answer else 0) | (1 if direction else 0)
    return bytes(sender) + bytes([control]) + bytes(extra) + path_bytes + b"".join(items)


# -- meters ------------------------------------------------------------------

def _scaled(value, factor):
    return int(round(float(value) * factor))


class Meter:
    kind = ""
    defaults = {}

    def __init__(self, spec):
        self.values = dict(self.defaults)
        for part in filter(None, spec.split(",")):
            key, sep, value = part.partition("=")
            if not sep or key not in self.values and key not in ("serial", "time", "via"):
                raise ValueError(f"bad meter setting {part!r}")
            self.values[key] = value
        self.serial = int(str(self.values.get("serial", "1")), 0)
        via = self.values.get("via")
        self.via = None if not via else [int(a, 16) for a in str(via).split("+")]

    @property
    def sender(self):
        return (self.serial & 0xFFFFFF).to_bytes(3, "little")

    def clock(self):
        return int(self.values.get("time", int(time.time())))

    def battery(self):
        return _scaled(self.values["vbat"], 10)  # units of 0.1 V

    def packet(self):
        return telegram(self.sender, (10, self.type_code, self.serial), self.items(),
                        answer=str(self.values["ack"]) == "1")


class HeatMeter(Meter):
    kind = "heat"
    type_code = 2
    defaults = {"vbat": "3.6", "model": "HM-5", "fw": "1.2.3", "heat": "1234.56", "cold": "0",
                "volume": "567.89", "power": "12.34", "flow": "0.1234", "tin": "65.43", "tout": "45.21",
                "ack": "0"}

    def items(self):
        v = self.values
        return [item_unsigned(self.clock()), item_unsigned(0), item_unsigned(self.battery()),
                item_text(v["model"]), item_text(v["fw"]), item_unsigned(_scaled(v["heat"], 100)),
                item_unsigned(_scaled(v["cold"], 100)), item_unsigned(_scaled(v["volume"], 100)),
                item_unsigned(0), item_unsigned(_scaled(v["power"], 100)),
                item_unsigned(_scaled(v["flow"], 10000)), item_unsigned(_scaled(v["tin"], 100)),
                item_unsigned(_scaled(v["tout"], 100))]

    def advance(self):
        """A little more energy and volume for the next reading."""
        self.values["heat"] = f"{float(self.values['heat']) + 0.25:.2f}"
        self.values["volume"] = f"{float(self.values['volume']) + 0.01:.2f}"


class WaterMeter(Meter):
    kind = "water"
    type_code = 1
    defaults = {"vbat": "3.6", "fw": "2.0.7", "flags": "0", "litres": "12345", "ack": "0"}

    def items(self):
        v = self.values
        return [item_unsigned(self.clock()), item_unsigned(int(v["flags"], 0)), item_unsigned(self.battery()),
                item_unsigned(0), item_text(v["fw"]), item_unsigned(0), item_unsigned(int(v["litres"], 0))]

    def advance(self):
        self.values["litres"] = str(int(self.values["litres"], 0) + 7)


# -- receivers ---------------------------------------------------------------

def identifier(address, sequence, part, last):
    return (address & ADDRESS_MASK) << 9 | (sequence & 7) << 6 | (0x20 if last else 0) | (part & 0x1F)


class Receiver:
    def __init__(self, address, rssi=-60, serial=None, version=(27, 3)):
        self.address = address & ADDRESS_MASK
        self.rssi = rssi
        self.serial = serial if serial is not None else (0x5052 << 32) | (0x100 << 20) | self.address
        if self.serial & ADDRESS_MASK != self.address:
            raise ValueError(f"serial {self.serial:#x} does not end in address {self.address:#x}")
        self.version = version
        self.sequence = 0
        self.silent = False
        self.answers = []  # (sender address bytes, value) of every RSSI answer
        self._incoming = {}  # sequence -> {part: data}, and the last part's index

    @classmethod
    def parse(cls, text):
        fields = text.split(":")
        address = int(fields[0], 16)
        rssi = int(fields[1]) if len(fields) > 1 and fields[1] else -60
        serial = int(fields[2], 0) if len(fields) > 2 and fields[2] else None
        return cls(address, rssi, serial)

    def serial_frame(self):
        return Frame(identifier(self.address, 0, 0, False), self.serial.to_bytes(8, "little"))

    def _service(self, data):
        return Frame(self.address << 9 | SERVICE_LOW_BITS, bytes(data).ljust(8, b"\0"))

    def version_frame(self):
        year_month, build = self.version
        return self._service([0x02, 0, 0, 0, 0, 0, year_month, build])

    def bootloader_frame(self, code):
        return self._service([0x04, 0, 0, 0, 0, 0, 0, code])

    def firmware_length_frame(self, sub_code, length):
        return self._service(bytes([0x08, sub_code]) + length.to_bytes(4, "little"))

    def firmware_crc_frame(self, sub_code, crc):
        return self._service(bytes([0x10, sub_code]) + crc.to_bytes(4, "little"))

    def forward(self, packet, rssi=None):
        """The frames of one CMT message carrying a radio telegram."""
        rssi = self.rssi if rssi is None else rssi
        message = struct.pack("b", rssi) + packet + crc16_modbus(packet).to_bytes(2, "little")
        if len(message) > 256:
            raise ValueError("a CMT message holds at most 256 bytes")
        sequence = self.sequence
        self.sequence = (self.sequence + 1) & 7
        chunks = [message[i:i + 8] for i in range(0, len(message), 8)]
        return [Frame(identifier(self.address, sequence, part, part == len(chunks) - 1), chunk)
                for part, chunk in enumerate(chunks)]

    def hear(self, frame):
        """Takes a frame from the bus; returns a complete message addressed to
        this receiver (without its CRC), else None. Messages above 4 bytes
        must carry a valid CRC."""
        if not frame.extended or (frame.can_id >> 9) & ADDRESS_MASK != self.address:
            return None
        sequence = (frame.can_id >> 6) & 7
        part = frame.can_id & 0x1F
        state = self._incoming.setdefault(sequence, {"parts": {}, "last": None})
        state["parts"][part] = frame.data
        if frame.can_id & 0x20:
            state["last"] = part
        last = state["last"]
        if last is None or any(i not in state["parts"] for i in range(last + 1)):
            return None
        del self._incoming[sequence]
        message = b"".join(state["parts"][i] for i in range(last + 1))
        if len(message) > 4:
            if len(message) < 7 or crc16_modbus(message) != 0:
                return None
            message = message[:-2]
        if len(message) == 4:
            self.answers.append((message[:3], message[3]))
        return message


def interleave(frame_lists):
    """Parts of several messages in turn, as receivers share the bus."""
    out = []
    for i in range(max((len(f) for f in frame_lists), default=0)):
        out.extend(f[i] for f in frame_lists if i < len(f))
    return out


def heard_by(meter, receivers):
    return [r for r in receivers if meter.via is None or r.address in meter.via]


def identity_frames(receivers):
    frames = []
    for receiver in receivers:
        frames += [receiver.serial_frame(), receiver.version_frame()]
    return frames


def reading_frames(meter, receivers):
    packet = meter.packet()
    return interleave([r.forward(packet) for r in heard_by(meter, receivers)])


# -- command line ------------------------------------------------------------

def build_site(args):
    receivers = [Receiver.parse(text) for text in args.receiver]
    meters = [HeatMeter(spec) for spec in args.heat] + [WaterMeter(spec) for spec in args.water]
    return receivers, meters


def print_frames(args):
    receivers, meters = build_site(args)
    frames = [] if args.no_identity else identity_frames(receivers)
    for meter in meters:
        frames += reading_frames(meter, receivers)
    for frame in frames:
        print(frame)
    return 0


class Site:
    def __init__(self, endpoint, receivers, meters):
        self.endpoint = endpoint
        self.receivers = receivers
        self.meters = meters

    def receiver(self, text):
        address = int(text, 16)
        for receiver in self.receivers:
            if receiver.address == address:
                return receiver
        raise ValueError(f"no receiver {text}")

    def send(self, frames):
        # Back to back at the pace of the bus, as receivers that heard one
        # telegram share it; a reader whose queue is momentarily full is
        # waited for by the bus endpoint.
        started = time.monotonic()
        for number, frame in enumerate(frames):
            ahead = started + number / BUS_FRAMES_PER_SECOND - time.monotonic()
            if ahead > PACING_SLEEP_SECONDS:
                time.sleep(ahead)
            self.endpoint.send(frame)

    def announce(self, receivers=None):
        self.send(identity_frames([r for r in (receivers or self.receivers) if not r.silent]))

    def readings(self):
        for meter in self.meters:
            live = [r for r in heard_by(meter, self.receivers) if not r.silent]
            if not live:
                continue
            packet = meter.packet()
            self.send(interleave([r.forward(packet) for r in live]))
            for r in live:
                print(f"sent {meter.kind} {meter.serial} via {r.address:05X} rssi {r.rssi}", flush=True)
            meter.advance()

    def listen(self):
        for frame in self.endpoint.drain():
            for receiver in self.receivers:
                message = receiver.hear(frame)
                if message is not None and len(message) == 4:
                    print(f"rssi-answer {receiver.address:05X} {message[:3].hex().upper()} {message[3]}", flush=True)

    def command(self, line):
        words = line.split()
        if not words:
            return True
        verb = words[0]
        if verb == "quit":
            return False
        if verb == "send":
            self.readings()
        elif verb == "silence":
            self.receiver(words[1]).silent = True
        elif verb == "resume":
            receiver = self.receiver(words[1])
            receiver.silent = False
            self.announce([receiver])
        elif verb == "announce":
            self.send([self.receiver(words[1]).serial_frame()])
        elif verb == "version":
            receiver = self.receiver(words[1])
            receiver.version = (int(words[2], 0), int(words[3], 0))
            self.send([receiver.version_frame()])
        elif verb == "bootloader":
            self.send([self.receiver(words[1]).bootloader_frame(int(words[2], 16))])
        else:
            print(f"unknown command {verb}", flush=True)
        return True


def run_site(args):
    receivers, meters = build_site(args)
    with Endpoint(args.bus, args.name) as endpoint:
        site = Site(endpoint, receivers, meters)
        print("ready", flush=True)
        site.announce()
        next_reading = time.monotonic() + args.first
        next_announce = time.monotonic() + args.announce
        stdin_open = True
        pending = b""
        while True:
            now = time.monotonic()
            if now >= next_reading:
                site.readings()
                next_reading = now + args.period
            if now >= next_announce:
                site.announce()
                next_announce = now + args.announce
            wait = max(0.0, min(next_reading, next_announce) - time.monotonic())
            watched = [endpoint] + ([sys.stdin] if stdin_open else [])
            readable, _, _ = select.select(watched, [], [], wait)
            if endpoint in readable:
                site.listen()
            if sys.stdin in readable:
                # Raw reads: a buffered readline would hide further lines from select().
                chunk = os.read(sys.stdin.fileno(), 4096)
                if not chunk:
                    stdin_open = False
                pending += chunk
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    try:
                        if not site.command(line.decode()):
                            print(f"lost {endpoint.lost}", flush=True)
                            return 0
                    except (ValueError, IndexError) as error:
                        print(f"bad command: {error}", flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description="Simulated metering radio receivers and meters")
    sub = parser.add_subparsers(dest="command", required=True)
    for name in ("frames", "run"):
        command = sub.add_parser(name)
        if name == "run":
            command.add_argument("bus", help="bus directory, e.g. ROOT/run/can/can0")
            command.add_argument("--name", default=f"radio-{os.getpid()}")
            command.add_argument("--period", type=float, default=5.0, help="seconds between readings")
            command.add_argument("--first", type=float, default=1.0, help="seconds to the first reading")
            command.add_argument("--announce", type=float, default=10.0,
                                 help="seconds between serial announcements")
        else:
            command.add_argument("--no-identity", action="store_true",
                                 help="leave out serial announcements and version reports")
        command.add_argument("--receiver", action="append", default=[], help="ADDRESS[:RSSI[:SERIAL]]")
        command.add_argument("--heat", action="append", default=[], help="heat meter key=value,...")
        command.add_argument("--water", action="append", default=[], help="water meter key=value,...")
    args = parser.parse_args(argv)
    if args.command == "frames":
        return print_frames(args)
    return run_site(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
