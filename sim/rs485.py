#!/usr/bin/python3
"""Simulated RS485 meters: Mercury 236 (three-phase) and Mercury 206
(single-phase) energy meters, and Vzlet 24, Vzlet 42 and Vist heat meters
(Modbus RTU), on the gateway's two RS485 lines.

Written from the protocol description, not from the firmware.

Each line is a pseudo-terminal whose slave is linked as <root>/dev/ttyS4
(line 1) or <root>/dev/ttyS6 (line 2). The simulator keeps the slave open,
so the line survives a restart of the gateway. A pseudo-terminal carries the
speed the gateway set but no parity or character size: meters check the
speed only, and ignore frames sent at another speed or to another address.

Frame: address, payload, CRC-16/MODBUS of both (low byte first). Every answer
is written in one piece once its line time has passed: the request's and the
answer's bytes at 10 bits each (11 with two stop bits) at the line's speed.

Mercury 236 (address: one byte; net address up to 9999, else from the serial:
a = n mod 1000, a > 239 -> a mod 100, 0 -> 1; 12345678 -> 78)::

    00                     channel test               -> 00
    01 01 P1..P6           open level-1 session        -> 00 (05 wrong password)
    05 00 T                energy of tariff T (1-4)    -> A+ A- R+ R-, 4 bytes each
    08 16 11 / 21          voltage / current, 3 phases -> 3 x 3 bytes
    08 16 00 / 08          active / reactive power     -> sum + 3 phases, 3 bytes each
    08 11 40               frequency                   -> 3 bytes
    08 02                  Kn, Kt                      -> 2 x 2 bytes, high byte first
    08 00                  serial and date made        -> 4 two-digit binary numbers, day month year

    4-byte value v as b1 b2 b3 b4: v = (b2 << 24) | (b1 << 16) | (b4 << 8) | b3
    3-byte value v as b1 b2 b3:    v = (b1 << 16) | (b3 << 8) | b2
    power direction: bit 23 (active) or bit 22 (reactive) set = negative
    units: energy 0.001 kWh, voltage and power 0.01, current 0.001 A, frequency 0.01 Hz
    reads before a session is open are answered 05.

Mercury 206 (address: the serial, four bytes, most significant first).
Answers are address, command, data in BCD (two digits a byte, most
significant first)::

    81   frequency (2 bytes, 0.01 Hz), tariff in use (1 byte)
    2E   number of tariffs (1 byte)
    27   active energy of tariffs 1-4 (4 x 4 bytes, 0.01 kWh)
    85   reactive energy of tariffs 1-4 (4 x 4 bytes)
    63   voltage (2 bytes, 0.1 V), current (2 bytes, 0.01 A), power (3 bytes)

Heat meters (Modbus RTU): address one byte, the net_id (default 1; a meter
at address 0 answers nothing, as broadcasts go unanswered); answers are
address, function, byte count, data, CRC; numbers big-endian. A request for
registers the meter does not have is answered with exception 02 (function
| 0x80, code).

Vzlet 24 and Vzlet 42, function 04 (input registers)::

    8000 +4              meter clock (u32), serial (u32)
    Vzlet 42  8030 + 4k  Qso of system k+1 (k = 0, 1), 8038 + 4k Qgvs,
                         8040 + 4k Qts, 8048-804B unused (zero)
    Vzlet 24  C0BE + 24k Wts of system k+1 (k = 0, 1, 2), C0C2 + 24k Wgv,
                         the other registers up to C105 zero

    each value 4 registers: integer part (u32), then the rest as a single

Vist::

    03 0017 +11          serial number as decimal text, zero-padded
    04 (4s+2)02 +8       flow exponents of points 1-3, 0, temperatures of
                         points 1-3 (0.01 degree), 0         (system s+1)
    04 (4s+3)06 +6       flow mantissas of points 1-3 (s32)
    14 07 06 00 s 00 00 00 30
                         file record s (48 registers): at record byte 22 the
                         volume mantissas of points 1-3 (s32), at 46 the work
                         time (u32, 0.01 h), at 50 the energy mantissa (u64),
                         at 58 the exponents of the three volumes and the
                         energy (one byte each); value = mantissa * 0.1^e

Command line::

    rs485.py ROOT [--meter M]... [--store] [--steady]

    M = key=value,... : model (236, 206, vzlet24, vzlet42 or vist), line (1
        or 2), serial, net_id, baud (default 9600), dev_id (for --store;
        default the next free one), fault (see below); 236 values: voltage,
        current, active, reactive (three numbers joined by "/"), frequency,
        kn, kt, made (d.m.yy), energy (A+ of tariffs 1-4 joined by "/", kWh),
        password (12 hex digits); 206 values: voltage, current, power,
        frequency, tariff, tariffs, active and reactive (four numbers joined
        by "/"); Vzlet values: time (meter clock, Unix seconds), wts and wgv
        (Vzlet 24, one number per system joined by "/"), qso, qgvs and qts
        (Vzlet 42, likewise); Vist values per system N (1-3): volumeN, flowN
        and tempN (three points joined by "/"), workN (hours), energyN, and
        for all systems the decimal exponents volume_exp, flow_exp and
        energy_exp (default 3).

    --store   writes the meters' records into <root>/data/xdev/ (merged with
              what is there) before the lines are made.
    --steady  values do not drift and energies do not grow.

Faults (fault=KIND, also at run time): silent, late:MS, badcrc, garbage,
zeros, onebyte, long (300 bytes), short:PAYLOAD (the answer to the payload
given in hex, e.g. short:0802, keeps only its first data byte, with a good
CRC; a heat meter's keeps function, byte count and half of its data),
wrongserial (reports serial + 1), wrongaddress (answers come from address + 1),
refuse (236: the session is refused), exception (heat meters: every answer
is exception 04), none. Energy of a Mercury 236: A- is 0, R+ a tenth of A+,
R- is not kept (FF FF FF FF).

Run-time commands, one a line, on standard input or written to the FIFO
<root>/run/sim/rs485::

    fault SERIAL KIND     set a meter's fault
    set SERIAL KEY=VALUE  change a value (as on the command line)
    quit

Output, one line each: "ready" once the lines exist; then per frame
"rx LINE SPEED T HEX" (T: monotonic seconds), "tx LINE SPEED T SERIAL HEX"
per answer written, "ignored LINE SPEED T REASON HEX" for frames no meter
takes, "silent LINE SPEED T SERIAL" for requests a silent meter drops.
"""

import argparse
import errno
import heapq
import os
import random
import select
import stat
import struct
import sys
import termios
import time
import tty
from pathlib import Path

LINE_DEVICES = {1: "/dev/ttyS4", 2: "/dev/ttyS6"}
SPEEDS = {getattr(termios, f"B{rate}"): rate for rate in (
    50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
    230400, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000,
    3500000, 4000000) if hasattr(termios, f"B{rate}")}
DRIVER_INDEX = {"206": 2, "236": 3, "vzlet42": 6, "vzlet24": 7, "vist": 9}
MODBUS_MODELS = ("vzlet24", "vzlet42", "vist")
MODEL_KEYS = ("model", "line", "serial", "net_id", "baud", "dev_id", "drift")
STORE_FILE_SIZE = 904
RECORD_SIZE = 30


def crc16_modbus(data):
    """CRC-16/MODBUS, bit by bit: crc16_modbus(b"123456789") == 0x4B37."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(data):
    return bytes(data) + struct.pack("<H", crc16_modbus(data))


def bcd(value, count):
    """bcd(5000, 2) == b"\\x50\\x00"."""
    digits = f"{int(value):0{2 * count}d}"[-2 * count:]
    return bytes(int(digits[i:i + 2], 16) for i in range(0, 2 * count, 2))


def four_byte(value):
    value &= 0xFFFFFFFF
    return bytes([(value >> 16) & 0xFF, (value >> 24) & 0xFF, value & 0xFF, (value >> 8) & 0xFF])


def three_byte(value):
    return bytes([(value >> 16) & 0xFF, value & 0xFF, (value >> 8) & 0xFF])


def signed_three_byte(value, sign_bit):
    magnitude = min(abs(int(round(value))), 0x3FFFFF)
    return three_byte(magnitude | (sign_bit if value < 0 else 0))


def numbers(text, count):
    values = [float(part) for part in str(text).split("/")]
    if len(values) != count:
        raise ValueError(f"{text!r}: {count} values expected")
    return values


def register_value(value):
    """Integer part (u32) and the rest as a single, big-endian:
    register_value(123.5) == bytes.fromhex("0000007B3F000000")."""
    whole = min(max(int(value // 1), 0), 0xFFFFFFFF)
    return struct.pack(">If", whole, value - whole)


def mantissa(value, exponent):
    """The integer that is value * 10^exponent: mantissa(12.345, 3) == 12345."""
    return int(round(value * 10 ** exponent))


def modbus_defaults(model):
    if model == "vzlet24":
        return {"time": 1700000000, "wts": [123.5, 200.75, 310.0], "wgv": [45.25, 60.5, 12.125]}
    if model == "vzlet42":
        return {"time": 1700000000, "qso": [12.5, 99.0], "qgvs": [1.25, 2.5], "qts": [7.0, 123.5]}
    values = {"volume_exp": 3, "flow_exp": 3, "energy_exp": 3}
    for system in (1, 2, 3):
        values[f"volume{system}"] = [100.5 * system, 20.25 * system, 3.125 * system]
        values[f"flow{system}"] = [1.5 * system, 0.75, 0.25]
        values[f"temp{system}"] = [65.43, 43.21, 20.0 + system]
        values[f"work{system}"] = 1234.5 + system
        values[f"energy{system}"] = 9876.5 * system
    return values


class Meter:
    """One meter: its address, line speed, values and fault."""

    def __init__(self, spec, steady):
        self.model = spec.get("model", "236")
        if self.model not in DRIVER_INDEX:
            raise ValueError(f"unknown model {self.model!r}")
        self.modbus = self.model in MODBUS_MODELS
        self.line = int(spec.get("line", 1))
        self.serial = int(spec.get("serial", 12345678))
        self.net_id = int(spec["net_id"]) if spec.get("net_id") not in (None, "") else None
        if self.modbus and self.net_id is None:
            self.net_id = 1
        self.baud = int(spec.get("baud", 9600))
        self.dev_id = int(spec["dev_id"]) if "dev_id" in spec else None
        self.steady = steady or spec.get("drift") == "0"
        self.fault = "none"
        self.session = False
        self.last_update = time.monotonic()
        self.random = random.Random(self.serial)
        if self.modbus:
            self.values = modbus_defaults(self.model)
        elif self.model == "236":
            self.values = {"voltage": [230.1, 229.4, 231.2], "current": [1.25, 0.75, 2.5],
                           "active": [287.5, 172.0, -115.5], "reactive": [12.5, -8.25, 3.0],
                           "frequency": 50.0, "kn": 1, "kt": 1, "made": "15.6.21",
                           "energy": [1234.567, 345.25, 0.0, 12.5], "password": "070707070707"}
        else:
            self.values = {"voltage": 229.8, "current": 5.12, "power": 1175, "frequency": 50.0, "tariff": 1,
                           "tariffs": 2, "active": [4567.89, 1234.56, 0.0, 0.0], "reactive": [12.34, 5.67, 0.0, 0.0]}
        for key, value in spec.items():
            if key not in MODEL_KEYS:
                self.set(key, value)

    def set(self, key, value):
        if key == "fault":
            self.fault = value
            return
        if key not in self.values:
            raise ValueError(f"unknown value {key!r} for a {self.model} meter")
        current = self.values[key]
        if isinstance(current, list):
            self.values[key] = numbers(value, len(current))
        elif key in ("made", "password"):
            self.values[key] = value
        else:
            self.values[key] = float(value)

    # -- addressing ------------------------------------------------------------

    def address(self):
        if self.modbus:
            return bytes([self.net_id & 0xFF])
        if self.model == "206":
            return struct.pack(">I", (self.net_id if self.net_id is not None else self.serial) & 0xFFFFFFFF)
        if self.net_id is not None and self.net_id <= 9999:
            return bytes([self.net_id & 0xFF])
        n = (self.net_id if self.net_id is not None else self.serial) & 0xFFFFFFFF
        a = n % 1000
        if a > 239:
            a %= 100
        return bytes([a or 1])

    # -- values ----------------------------------------------------------------

    def drift(self):
        """Phase values wander a little; the energy of the tariff in use grows
        with the active power."""
        now = time.monotonic()
        hours = (now - self.last_update) / 3600.0
        self.last_update = now
        if self.steady:
            return
        wobble = self.random.uniform
        v = self.values
        if self.modbus:
            self.drift_heat(hours * 3600.0, hours)
        elif self.model == "236":
            v["voltage"] = [min(max(x + wobble(-0.3, 0.3), 200.0), 250.0) for x in v["voltage"]]
            v["current"] = [max(x + wobble(-0.02, 0.02), 0.0) for x in v["current"]]
            v["active"] = [x + wobble(-1.0, 1.0) for x in v["active"]]
            v["reactive"] = [x + wobble(-0.5, 0.5) for x in v["reactive"]]
            v["frequency"] = min(max(v["frequency"] + wobble(-0.01, 0.01), 49.8), 50.2)
            v["energy"][0] += max(sum(v["active"]), 0.0) * hours / 1000.0
        else:
            v["voltage"] = min(max(v["voltage"] + wobble(-0.3, 0.3), 200.0), 250.0)
            v["current"] = max(v["current"] + wobble(-0.02, 0.02), 0.0)
            v["power"] = max(v["power"] + wobble(-2.0, 2.0), 0.0)
            v["frequency"] = min(max(v["frequency"] + wobble(-0.01, 0.01), 49.8), 50.2)
            tariff = int(v["tariff"]) - 1
            if 0 <= tariff < 4:
                v["active"][tariff] += v["power"] * hours / 1000.0

    def drift_heat(self, seconds, hours):
        """The clock runs, counters grow with their flows."""
        v = self.values
        if "time" in v:
            v["time"] += seconds
            for key in ("wts", "wgv", "qso", "qgvs", "qts"):
                if key in v:
                    v[key] = [x + hours * 0.1 for x in v[key]]
            return
        for system in (1, 2, 3):
            v[f"volume{system}"] = [x + f * hours for x, f in zip(v[f"volume{system}"], v[f"flow{system}"])]
            v[f"work{system}"] += hours
            v[f"energy{system}"] += hours * 0.5

    # -- answers ---------------------------------------------------------------

    def answer(self, payload):
        """The answer's data (after the address) to a payload, or None."""
        self.drift()
        if self.modbus:
            return self.answer_modbus(payload)
        return self.answer_236(payload) if self.model == "236" else self.answer_206(payload)

    def answer_modbus(self, payload):
        if self.net_id & 0xFF == 0 or not payload:
            return None
        function = payload[0]
        if self.fault == "exception":
            return bytes([function | 0x80, 0x04])
        data = None
        if function in (0x03, 0x04) and len(payload) == 5:
            first, count = struct.unpack(">HH", payload[1:])
            words = self.registers(function)
            if 1 <= count <= 125 and all(first + i in words for i in range(count)):
                data = b"".join(words[first + i] for i in range(count))
        elif function == 0x14 and len(payload) == 9 and payload[1] == 7 and payload[2] == 6:
            number, record, length = struct.unpack(">HHH", payload[3:])
            data = self.file_record(number, record, length)
            if data is not None:
                return bytes([function, len(data) + 2, len(data) + 1, 6]) + data
        if data is None:
            return bytes([function | 0x80, 0x02])
        return bytes([function, len(data)]) + data

    def registers(self, function):
        """The meter's registers of one function: number -> two bytes."""
        v = self.values
        words = {}

        def put(first, data):
            for i in range(0, len(data), 2):
                words[first + i // 2] = data[i:i + 2]

        serial = self.serial + (1 if self.fault == "wrongserial" else 0)
        if self.model == "vist":
            if function == 0x03:
                put(0x0017, str(serial).encode()[:22].ljust(22, b"\0"))
                return words
            for s in range(3):
                exponent = int(v["flow_exp"])
                temps = [int(round(t * 100)) & 0xFFFF for t in v[f"temp{s + 1}"]]
                put((4 * s + 2) << 8 | 0x02, struct.pack(">4H4H", exponent, exponent, exponent, 0, *temps, 0))
                flows = [mantissa(f, exponent) for f in v[f"flow{s + 1}"]]
                put((4 * s + 3) << 8 | 0x06, struct.pack(">3i", *flows))
            return words
        if function != 0x04:
            return words
        put(0x8000, struct.pack(">II", int(v["time"]) & 0xFFFFFFFF, serial & 0xFFFFFFFF))
        if self.model == "vzlet42":
            put(0x8030, bytes(28 * 2))
            for k in range(2):
                put(0x8030 + 4 * k, register_value(v["qso"][k]))
                put(0x8038 + 4 * k, register_value(v["qgvs"][k]))
                put(0x8040 + 4 * k, register_value(v["qts"][k]))
        else:
            put(0xC0BE, bytes(72 * 2))
            for k in range(3):
                put(0xC0BE + 24 * k, register_value(v["wts"][k]))
                put(0xC0C2 + 24 * k, register_value(v["wgv"][k]))
        return words

    def file_record(self, number, record, length):
        """Vist file record `number` (system number + 1), or None."""
        if self.model != "vist" or number > 2 or record != 0 or not 1 <= length <= 0x30:
            return None
        v = self.values
        system = number + 1
        volume_exp, energy_exp = int(v["volume_exp"]), int(v["energy_exp"])
        data = bytearray(96)
        struct.pack_into(">3i", data, 22, *(mantissa(x, volume_exp) for x in v[f"volume{system}"]))
        struct.pack_into(">IQ", data, 46, int(round(v[f"work{system}"] * 100)),
                         mantissa(v[f"energy{system}"], energy_exp))
        struct.pack_into(">4B", data, 58, volume_exp, volume_exp, volume_exp, energy_exp)
        return bytes(data[:2 * length])

    def answer_236(self, payload):
        v = self.values
        if payload == b"\x00":
            return b"\x00"
        if len(payload) == 8 and payload[:2] == b"\x01\x01":
            self.session = self.fault != "refuse" and payload[2:].hex() == str(v["password"]).lower()
            return b"\x00" if self.session else b"\x05"
        if not self.session:
            return b"\x05"
        if len(payload) == 3 and payload[:2] == b"\x05\x00" and 1 <= payload[2] <= 4:
            a_plus = int(round(v["energy"][payload[2] - 1] * 1000))
            return four_byte(a_plus) + four_byte(0) + four_byte(a_plus // 10) + four_byte(0xFFFFFFFF)
        if payload == b"\x08\x16\x11":
            return b"".join(three_byte(int(round(x * 100))) for x in v["voltage"])
        if payload == b"\x08\x16\x21":
            return b"".join(three_byte(int(round(x * 1000))) for x in v["current"])
        if payload in (b"\x08\x16\x00", b"\x08\x16\x08"):
            key, sign_bit = ("active", 1 << 23) if payload[2] == 0 else ("reactive", 1 << 22)
            phases = [x * 100 for x in v[key]]
            return b"".join(signed_three_byte(x, sign_bit) for x in [sum(phases)] + phases)
        if payload == b"\x08\x11\x40":
            return three_byte(int(round(v["frequency"] * 100)))
        if payload == b"\x08\x02":
            return struct.pack(">HH", int(v["kn"]), int(v["kt"]))
        if payload == b"\x08\x00":
            serial = self.serial + (1 if self.fault == "wrongserial" else 0)
            digits = f"{serial % 100000000:08d}"
            day, month, year = (int(part) for part in str(v["made"]).split("."))
            return bytes(int(digits[i:i + 2]) for i in range(0, 8, 2)) + bytes([day, month, year % 100])
        return b"\x01"

    def answer_206(self, payload):
        if len(payload) != 1:
            return None
        v = self.values
        command = payload[0]
        if command == 0x81:
            data = bcd(round(v["frequency"] * 100), 2) + bytes([int(v["tariff"])])
        elif command == 0x2E:
            data = bytes([int(v["tariffs"])])
        elif command in (0x27, 0x85):
            key = "active" if command == 0x27 else "reactive"
            data = b"".join(bcd(round(x * 100), 4) for x in v[key])
        elif command == 0x63:
            data = bcd(round(v["voltage"] * 10), 2) + bcd(round(v["current"] * 100), 2) + bcd(round(v["power"]), 3)
        else:
            return None
        return bytes([command]) + data

    def frame(self, payload, data):
        """The whole answer frame, with this meter's fault applied."""
        frame = with_crc(self.address() + data)
        kind, _, argument = self.fault.partition(":")
        if kind == "badcrc":
            return frame[:-2] + bytes([frame[-2] ^ 0xFF, frame[-1]])
        if kind == "garbage":
            return bytes(self.random.randrange(1, 256) for _ in frame)
        if kind == "zeros":
            return bytes(len(frame))
        if kind == "onebyte":
            return frame[:1]
        if kind == "long":
            return with_crc(bytes(self.random.randrange(1, 256) for _ in range(298)))
        if kind == "short" and payload.hex() == argument.lower().replace(" ", ""):
            if self.modbus and len(data) > 2:
                half = (len(data) - 2) // 2
                return with_crc(self.address() + bytes([data[0], half]) + data[2:2 + half])
            return with_crc(self.address() + data[:1])
        if kind == "wrongaddress":
            return with_crc(bytes([(frame[0] + 1) & 0xFF]) + frame[1:-2])
        return frame

    def late_ms(self):
        kind, _, argument = self.fault.partition(":")
        return float(argument) if kind == "late" else 0.0

    def record(self):
        """The 30-byte record of the device store."""
        flags = self.line & 0x07
        if self.net_id is None:
            flags |= 0x10
        return struct.pack("<QQIH3sB B3s", self.serial, self.net_id or 0, self.baud, DRIVER_INDEX[self.model],
                           b"8n1", 0, flags, b"\0\0\0")


class Line:
    """One pseudo-terminal line and the frame being received on it."""

    def __init__(self, number, root):
        self.number = number
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        link = Path(str(root) + LINE_DEVICES[number])
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(os.ttyname(self.slave))
        self.received = bytearray()
        self.frame_arrived = 0.0
        self.frame_due = None

    def speed(self):
        attributes = termios.tcgetattr(self.master)
        return SPEEDS.get(attributes[5], 0), 11 if attributes[2] & termios.CSTOPB else 10


def write_store(root, meters):
    directory = Path(root) / "data" / "xdev"
    directory.mkdir(parents=True, exist_ok=True)
    used = set()
    for meter in meters:
        if meter.dev_id is not None:
            used.add(meter.dev_id)
    next_id = 1
    files = {}
    for meter in meters:
        dev_id = meter.dev_id
        if dev_id is None:
            while next_id in used:
                next_id += 1
            dev_id = next_id
            used.add(dev_id)
        if not 1 <= dev_id <= 1023:
            raise ValueError(f"dev_id {dev_id} outside 1 to 1023")
        number, slot = divmod(dev_id, 30)
        if number not in files:
            path = directory / f"{number:04d}"
            content = bytearray(path.read_bytes()[:STORE_FILE_SIZE]) if path.exists() else bytearray()
            files[number] = content + bytes(STORE_FILE_SIZE - len(content))
        content = files[number]
        bitmap = struct.unpack_from("<I", content)[0] | 1 << slot
        struct.pack_into("<I", content, 0, bitmap)
        content[4 + RECORD_SIZE * slot:4 + RECORD_SIZE * (slot + 1)] = meter.record()
    for number, content in files.items():
        path = directory / f"{number:04d}"
        temporary = path.with_name(path.name + ".sim")
        temporary.write_bytes(bytes(content))
        temporary.replace(path)


class Simulator:
    def __init__(self, root, meters):
        self.root = Path(root)
        self.meters = meters
        self.lines = {number: Line(number, root) for number in sorted({m.line for m in meters} or {1})}
        self.pending = []  # (due, sequence, line, bytes, serial)
        self.sequence = 0
        self.control = self.open_control()
        self.stdin_open = True

    def open_control(self):
        directory = self.root / "run" / "sim"
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / "rs485"
        if path.exists() and not stat.S_ISFIFO(path.stat().st_mode):
            path.unlink()
        if not path.exists():
            os.mkfifo(path)
        reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        # A writer of our own keeps the FIFO from reading end-of-file between
        # the writers that come and go.
        self.keep_open = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        self.control_buffer = b""
        return reader

    def emit(self, text):
        print(text, flush=True)

    def meter(self, serial):
        for meter in self.meters:
            if meter.serial == serial:
                return meter
        raise ValueError(f"no meter with serial {serial}")

    def command(self, text):
        words = text.split()
        if not words:
            return True
        try:
            if words[0] == "quit":
                return False
            if words[0] == "fault" and len(words) == 3:
                self.meter(int(words[1])).fault = words[2]
            elif words[0] == "set" and len(words) == 3 and "=" in words[2]:
                key, value = words[2].split("=", 1)
                self.meter(int(words[1])).set(key, value)
            else:
                raise ValueError(f"unknown command {text!r}")
            self.emit(f"ok {text}")
        except ValueError as error:
            self.emit(f"error {error}")
        return True

    def handle_frame(self, line, frame, arrived):
        speed, bits = line.speed()
        self.emit(f"rx {line.number} {speed} {arrived:.6f} {frame.hex().upper()}")
        if len(frame) < 3 or crc16_modbus(frame) != 0:
            self.emit(f"ignored {line.number} {speed} {arrived:.6f} crc {frame.hex().upper()}")
            return
        for meter in self.meters:
            if meter.line != line.number:
                continue
            address = meter.address()
            if not frame.startswith(address) or len(frame) < len(address) + 3:
                continue
            if meter.baud != speed:
                self.emit(f"ignored {line.number} {speed} {arrived:.6f} speed {frame.hex().upper()}")
                return
            if meter.fault == "silent":
                self.emit(f"silent {line.number} {speed} {arrived:.6f} {meter.serial}")
                return
            payload = frame[len(address):-2]
            data = meter.answer(payload)
            if data is None:
                return
            answer = meter.frame(payload, data)
            line_time = (len(frame) + len(answer)) * bits / speed
            due = arrived + line_time + meter.late_ms() / 1000.0
            self.sequence += 1
            heapq.heappush(self.pending, (due, self.sequence, line, answer, meter.serial))
            return
        self.emit(f"ignored {line.number} {speed} {arrived:.6f} address {frame.hex().upper()}")

    def run(self):
        self.emit("ready")
        while True:
            now = time.monotonic()
            while self.pending and self.pending[0][0] <= now:
                _, _, line, answer, serial = heapq.heappop(self.pending)
                try:
                    os.write(line.master, answer)
                except OSError as error:
                    if error.errno not in (errno.EAGAIN, errno.EIO):
                        raise
                speed, _ = line.speed()
                self.emit(f"tx {line.number} {speed} {time.monotonic():.6f} {serial} {answer.hex().upper()}")
            for line in self.lines.values():
                if line.frame_due is not None and line.frame_due <= now:
                    frame, arrived = bytes(line.received), line.frame_arrived
                    line.received.clear()
                    line.frame_due = None
                    self.handle_frame(line, frame, arrived)
            deadlines = [p[0] for p in self.pending[:1]] + [
                line.frame_due for line in self.lines.values() if line.frame_due is not None]
            timeout = max(0.0, min(deadlines) - time.monotonic()) if deadlines else None
            watched = [line.master for line in self.lines.values()] + [self.control]
            if self.stdin_open:
                watched.append(sys.stdin.fileno())
            readable, _, _ = select.select(watched, [], [], timeout)
            for fd in readable:
                if fd == self.control:
                    if not self.read_commands(os.read(self.control, 4096), "control"):
                        return
                elif fd == sys.stdin.fileno():
                    chunk = os.read(fd, 4096)
                    if not chunk:
                        self.stdin_open = False
                    elif not self.read_commands(chunk, "stdin"):
                        return
                else:
                    self.receive(fd)

    def read_commands(self, chunk, source):
        buffer = getattr(self, f"{source}_buffer", b"") + chunk
        *complete, rest = buffer.split(b"\n")
        setattr(self, f"{source}_buffer", rest)
        for text in complete:
            if not self.command(text.decode("utf-8", "replace")):
                return False
        return True

    def receive(self, fd):
        line = next(line for line in self.lines.values() if line.master == fd)
        try:
            chunk = os.read(fd, 4096)
        except OSError as error:
            if error.errno in (errno.EAGAIN, errno.EIO):
                return
            raise
        if not line.received:
            line.frame_arrived = time.monotonic()
        line.received += chunk
        # The frame ends when the line stays quiet for 3.5 characters.
        speed, bits = line.speed()
        line.frame_due = time.monotonic() + max(0.002, 3.5 * bits / max(speed, 1))


def parse_spec(text):
    spec = {}
    for part in text.split(","):
        if not part:
            continue
        key, sep, value = part.partition("=")
        if not sep:
            raise SystemExit(f"meter spec {text!r}: key=value expected")
        spec[key.strip()] = value.strip()
    return spec


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root")
    parser.add_argument("--meter", action="append", default=[])
    parser.add_argument("--store", action="store_true")
    parser.add_argument("--steady", action="store_true")
    args = parser.parse_args()
    try:
        meters = [Meter(parse_spec(text), args.steady) for text in args.meter]
    except ValueError as error:
        raise SystemExit(str(error))
    if args.store:
        write_store(args.root, meters)
    simulator = Simulator(args.root, meters)
    try:
        simulator.run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
