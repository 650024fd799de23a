#!/usr/bin/python3
"""Simulated SIM800 GSM/Bluetooth modem on the gateway's modem line.

Written from the modem's AT command set and 3GPP TS 27.010 (basic option),
not from the firmware.

The line is a pseudo-terminal whose slave is linked as <root>/dev/ttyS9; the
simulator keeps the slave open, so the line survives a restart of the
gateway. It notes the line speed the gateway set at every AT line.

Before the multiplexer: AT lines end at a carriage return and are answered
"\\r\\nOK\\r\\n" ("AT+IPR=..." and "AT+CMUX=0" included); "AT+CMUX=0" starts
the multiplexer.

Multiplexer: frames are F9, address (DLCI << 2 | EA | C/R), control, length
(one octet n << 1 | 1, or two: (n % 128) << 1, n >> 7), information, FCS
(CRC-8, reflected polynomial 0xE0, start 0xFF, complemented; over address,
control and length, for frames other than UIH over the information too), F9.
Every frame received has its FCS checked. SABM and DISC are answered with UA;
each opened channel 1 to 3 is followed by a modem status command on channel 0
(E3 05 <DLCI << 2 | 3> 8D: ready to receive) unless withheld.

Channel 1 (AT): AT+GSN (IMEI), AT+CSQ ("+CSQ: n,0"), AT+BTSTATUS?
("+BTSTATUS: 5"), AT+BTHOST, AT+BTPAIRCFG, AT+BTPOWER, AT+BTACPT: OK.
Channel 2: AT+CGDCONT: OK; ATD: "CONNECT 115200" and data mode, "NO
CARRIER" or no answer, by the dial setting; in data mode everything
received is data (printed), "+++" ends it ("OK"), and ATH0 answers OK.

Command line::

    modem.py ROOT [--csq N] [--imei DIGITS] [--dial connect|nocarrier|none]
                  [--frames answer|line] [--no-msc] [--silent]

Run-time commands, one a line, on standard input or written to the FIFO
<root>/run/sim/modem::

    csq N                 signal quality of the +CSQ answer (20: -73 dBm, 99: none)
    sim absent|present    absent: +CSQ 99 and "ERROR" to AT+GSN; dialling "NO CARRIER"
    registration off|on   off: dialling gets "NO CARRIER"
    dial connect|nocarrier|none
    silent on|off         answers nothing (the line stays open)
    silent midframe       the next frame sent stops half-way, then silent on
    frames answer|line    one frame per answer, or one per answer line
    msc on|off            send (or withhold) ready to receive for opened channels
    bt connecting|connect|disconn|status0
                          a Bluetooth event on channel 1 (SPP)
    send CH TEXT          a frame on channel CH (TEXT with \\r, \\n, \\xNN escapes)
    garbage               bytes outside any frame
    broken                a frame with a wrong FCS, then one without its closing flag
    long                  an answer frame of 300 bytes (two-octet length)
    flood N               N bytes of data on channel 2 in 127-byte frames, as fast as possible
    stats                 "stats data=N first=T last=T": data-mode bytes received and when
    quit

Output, one line each: "ready" once the line exists; "at SPEED TEXT" per AT
line before the multiplexer; "mux SPEED" when it starts; "rx CH CONTROL HEX"
per good frame received; "fcs-error HEX" and "frame-error HEX" for bad
ones; "sabm CH", "disc CH"; "cmd CH TEXT" per command on a channel;
"data HEX" per data-mode payload ("data N bytes" above 64); "tx CH HEX" per frame sent; "ok ..." or
"error ..." per run-time command.
"""

import argparse
import errno
import os
import select
import stat
import sys
import termios
import time
import tty
from pathlib import Path

DEVICE = "/dev/ttyS9"
SPEEDS = {getattr(termios, f"B{rate}"): rate for rate in (
    9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600) if hasattr(termios, f"B{rate}")}
FLAG = 0xF9
UIH, SABM, UA, DISC = 0xEF, 0x2F, 0x63, 0x43
POLL = 0x10
MAX_FRAME = 32768


def fcs(octets):
    crc = 0xFF
    for octet in octets:
        crc ^= octet
        for _ in range(8):
            crc = (crc >> 1) ^ 0xE0 if crc & 1 else crc >> 1
    return 0xFF - crc


def frame(channel, payload, control=UIH, command=False):
    address = channel << 2 | 1 | (2 if command else 0)
    n = len(payload)
    length = bytes([n << 1 | 1]) if n < 128 else bytes([(n % 128) << 1, n >> 7])
    header = bytes([address, control]) + length
    checked = header if control & ~POLL == UIH else header + payload
    return bytes([FLAG]) + header + payload + bytes([fcs(checked), FLAG])


def unescape(text):
    """"a\\r\\n\\x07" -> b"a\\r\\n\\x07" as bytes."""
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


class Modem:
    def __init__(self, root, args):
        self.root = Path(root)
        self.csq = args.csq
        self.imei = args.imei
        self.dial = args.dial
        self.frames = args.frames
        self.msc = not args.no_msc
        self.silent = args.silent
        self.sim_present = True
        self.registered = True
        self.cut_next = False
        self.mux = False
        self.data_mode = False
        self.line = bytearray()      # AT text before the multiplexer
        self.received = bytearray()  # multiplexer bytes not yet parsed
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        os.set_blocking(self.master, False)
        link = Path(str(self.root) + DEVICE)
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(os.ttyname(self.slave))
        self.control = self.open_control()
        self.stdin_open = True
        self.buffers = {}
        self.data_bytes = 0
        self.data_first = self.data_last = 0.0

    def open_control(self):
        directory = self.root / "run" / "sim"
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / "modem"
        if path.exists() and not stat.S_ISFIFO(path.stat().st_mode):
            path.unlink()
        if not path.exists():
            os.mkfifo(path)
        reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.keep_open = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        return reader

    def emit(self, text):
        print(text, flush=True)

    def speed(self):
        return SPEEDS.get(termios.tcgetattr(self.master)[5], 0)

    def write(self, data):
        try:
            os.write(self.master, data)
        except OSError as error:
            if error.errno not in (errno.EAGAIN, errno.EIO):
                raise

    def send(self, channel, payload, control=UIH):
        if self.silent:
            return
        data = frame(channel, payload, control)
        if self.cut_next:
            self.cut_next = False
            self.silent = True
            data = data[:len(data) // 2]
        self.emit(f"tx {channel} {data.hex().upper()}")
        self.write(data)

    def flood(self, count):
        """count bytes of data on channel 2 in 127-byte frames, written as
        fast as the line takes them."""
        chunk = bytes(range(127))
        stream = b"".join(frame(2, chunk) for _ in range(count // 127 + (count % 127 > 0)))
        at = 0
        while at < len(stream):
            select.select([], [self.master], [], 1.0)
            try:
                at += os.write(self.master, stream[at:at + 4096])
            except OSError as error:
                if error.errno != errno.EAGAIN:
                    raise

    def answer(self, channel, lines):
        """Lines of one answer, each framed "\\r\\n<line>\\r\\n"."""
        texts = [b"\r\n" + line + b"\r\n" for line in lines]
        if self.frames == "line":
            for text in texts:
                self.send(channel, text)
        else:
            self.send(channel, b"".join(texts))

    # Before the multiplexer.
    def receive_plain(self, chunk):
        self.line += chunk
        while b"\r" in self.line:
            text, _, rest = bytes(self.line).partition(b"\r")
            self.line = bytearray(rest)
            text = text.strip(b"\n").decode("latin-1")
            if not text:
                continue
            self.emit(f"at {self.speed()} {text}")
            if self.silent:
                continue
            self.write(b"\r\nOK\r\n")
            if text.upper().startswith("AT+CMUX=0"):
                self.mux = True
                self.emit(f"mux {self.speed()}")

    # Multiplexer.
    def receive_mux(self, chunk):
        self.received += chunk
        while True:
            start = self.received.find(bytes([FLAG]))
            if start < 0:
                self.received.clear()
                return
            del self.received[:start]
            while len(self.received) > 1 and self.received[1] == FLAG:
                del self.received[0]
            if len(self.received) < 5:
                return
            length = self.received[3] >> 1
            header_size = 3
            if not self.received[3] & 1:
                if len(self.received) < 6:
                    return
                length |= self.received[4] << 7
                header_size = 4
            if length > MAX_FRAME:
                self.emit(f"frame-error {bytes(self.received[:8]).hex().upper()}")
                del self.received[0]
                continue
            end = 1 + header_size + length + 2
            if len(self.received) < end:
                return
            data = bytes(self.received[:end])
            header = data[1:1 + header_size]
            payload = data[1 + header_size:1 + header_size + length]
            control = header[1]
            checked = header if control & ~POLL == UIH else header + payload
            if data[-1] != FLAG:
                self.emit(f"frame-error {data.hex().upper()}")
                del self.received[0]
                continue
            # The closing flag may open the next frame.
            del self.received[:end - 1]
            if data[-2] != fcs(checked):
                self.emit(f"fcs-error {data.hex().upper()}")
                continue
            self.handle_frame(header[0] >> 2, control, payload)

    def handle_frame(self, channel, control, payload):
        self.emit(f"rx {channel} {control:02X} {payload.hex().upper()}")
        kind = control & ~POLL
        if kind == SABM:
            self.emit(f"sabm {channel}")
            self.send(channel, b"", UA | POLL)
            if channel in (1, 2, 3) and self.msc:
                self.send(0, bytes([0xE3, 0x05, channel << 2 | 3, 0x8D]))
        elif kind == DISC:
            self.emit(f"disc {channel}")
            self.send(channel, b"", UA | POLL)
        elif kind == UIH:
            if channel == 1:
                self.at_commands(payload)
            elif channel == 2:
                self.data_channel(payload)

    def commands_of(self, channel, payload):
        buffer = self.buffers.get(channel, b"") + payload
        *complete, rest = buffer.split(b"\r")
        self.buffers[channel] = rest[-1024:]
        for text in complete:
            text = text.strip(b"\n").decode("latin-1")
            if text:
                self.emit(f"cmd {channel} {text}")
                yield text

    def at_commands(self, payload):
        for text in self.commands_of(1, payload):
            if self.silent:
                continue
            upper = text.upper()
            if upper == "AT+GSN":
                self.answer(1, [self.imei.encode(), b"OK"] if self.sim_present else [b"ERROR"])
            elif upper == "AT+CSQ":
                csq = self.csq if self.sim_present else 99
                self.answer(1, [f"+CSQ: {csq},0".encode(), b"OK"])
            elif upper == "AT+BTSTATUS?":
                self.answer(1, [b"+BTSTATUS: 5", b"OK"])
            elif upper.startswith("AT+BT") or upper.startswith("AT"):
                self.answer(1, [b"OK"])

    def data_channel(self, payload):
        if self.data_mode:
            if payload == b"+++":
                self.data_mode = False
                self.emit("escape")
                self.answer(2, [b"OK"])
                return
            now = time.monotonic()
            if not self.data_bytes:
                self.data_first = now
            self.data_bytes += len(payload)
            self.data_last = now
            if len(payload) <= 64:
                self.emit(f"data {payload.hex().upper()}")
            else:
                self.emit(f"data {len(payload)} bytes")
            return
        for text in self.commands_of(2, payload):
            if self.silent:
                continue
            upper = text.upper()
            if upper.startswith("ATD"):
                dial = self.dial if self.sim_present and self.registered else "nocarrier"
                if dial == "connect":
                    self.answer(2, [b"CONNECT 115200"])
                    self.data_mode = True
                elif dial == "nocarrier":
                    self.answer(2, [b"NO CARRIER"])
            else:
                self.answer(2, [b"OK"])

    def command(self, text):
        words = text.split(" ", 2)
        if not words or not words[0]:
            return True
        name, argument = words[0], words[1] if len(words) > 1 else ""
        try:
            if name == "quit":
                return False
            if name == "csq":
                self.csq = int(argument)
            elif name == "sim":
                self.sim_present = argument != "absent"
            elif name == "registration":
                self.registered = argument != "off"
            elif name == "dial" and argument in ("connect", "nocarrier", "none"):
                self.dial = argument
            elif name == "silent" and argument in ("on", "off"):
                self.silent = argument == "on"
            elif name == "silent" and argument == "midframe":
                self.cut_next = True
            elif name == "frames" and argument in ("answer", "line"):
                self.frames = argument
            elif name == "msc" and argument in ("on", "off"):
                self.msc = argument == "on"
            elif name == "bt":
                events = {
                    "connecting": b'+BTCONNECTING: "11:22:33:44:55:66","SPP"',
                    "connect": b'+BTCONNECT: 1,"phone",11:22:33:44:55:66,"SPP"',
                    "disconn": b'+BTDISCONN: "phone",11:22:33:44:55:66,"SPP"',
                    "status0": b"+BTSTATUS: 0",
                }
                if argument not in events:
                    raise ValueError(f"unknown event {argument!r}")
                self.answer(1, [events[argument]])
            elif name == "send" and len(words) == 3:
                self.send(int(argument), unescape(words[2]))
            elif name == "garbage":
                self.write(bytes([0x00, 0x13, 0x7E, 0x55]))
            elif name == "broken":
                good = frame(1, b"\r\n+CSQ: 1,0\r\n")
                self.write(good[:-2] + bytes([good[-2] ^ 0xFF, FLAG]))
                self.write(frame(1, b"\r\n+CSQ: 2,0\r\n")[:-1] + b"\x00")
            elif name == "flood":
                self.flood(int(argument))
            elif name == "stats":
                self.emit(f"stats data={self.data_bytes} first={self.data_first:.6f} last={self.data_last:.6f}")
            elif name == "long":
                self.send(1, b"\r\n" + b"L" * 296 + b"\r\n")
            else:
                raise ValueError(f"unknown command {text!r}")
            self.emit(f"ok {text}")
        except ValueError as error:
            self.emit(f"error {error}")
        return True

    def read_commands(self, chunk, source):
        buffer = getattr(self, f"{source}_buffer", b"") + chunk
        *complete, rest = buffer.split(b"\n")
        setattr(self, f"{source}_buffer", rest)
        for text in complete:
            if not self.command(text.decode("utf-8", "replace").strip()):
                return False
        return True

    def run(self):
        self.emit("ready")
        while True:
            watched = [self.master, self.control] + ([sys.stdin.fileno()] if self.stdin_open else [])
            readable, _, _ = select.select(watched, [], [])
            for fd in readable:
                if fd == self.control:
                    if not self.read_commands(os.read(self.control, 4096), "control"):
                        return
                elif fd == self.master:
                    try:
                        chunk = os.read(self.master, 65536)
                    except OSError as error:
                        if error.errno in (errno.EAGAIN, errno.EIO):
                            continue
                        raise
                    if self.mux and self.speed() == 115200:
                        # The gateway powered the modem off and on: it
                        # talks at the power-on speed again.
                        self.emit("reset")
                        self.mux = self.data_mode = False
                        self.silent = self.silent and not self.cut_next
                        self.received.clear()
                        self.buffers = {}
                    if self.mux:
                        self.receive_mux(chunk)
                    else:
                        self.receive_plain(chunk)
                else:
                    chunk = os.read(fd, 4096)
                    if not chunk:
                        self.stdin_open = False
                    elif not self.read_commands(chunk, "stdin"):
                        return


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root")
    parser.add_argument("--csq", type=int, default=20)
    parser.add_argument("--imei", default="861234567890123")
    parser.add_argument("--dial", choices=("connect", "nocarrier", "none"), default="connect")
    parser.add_argument("--frames", choices=("answer", "line"), default="answer")
    parser.add_argument("--no-msc", action="store_true")
    parser.add_argument("--silent", action="store_true")
    args = parser.parse_args()
    modem = Modem(args.root, args)
    try:
        modem.run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
