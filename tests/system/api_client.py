"""A raw WebSocket client for the API tests that need what client libraries
hide: a chosen source address, bytes sent one at a time, or the exact moment
the server closes."""
import os
import socket

GREETING = b'{"auth":"not authorized","device":"qtr90"}'
HANDSHAKE = (b"GET / HTTP/1.1\r\nHost: hub\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")


def text_frame(text):
    """A masked client text frame (RFC 6455, section 5.2), under 126 bytes."""
    payload = text.encode()
    mask = os.urandom(4)
    return bytes([0x81, 0x80 | len(payload)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


class Client:
    def __init__(self, port, source="127.0.0.1", timeout=10):
        self.sock = socket.socket()
        self.sock.bind((source, 0))
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.data = b""

    def open(self):
        """Handshake; returns once the greeting has come."""
        self.sock.sendall(HANDSHAKE)
        self._read_until(lambda: GREETING in self.data)
        self.data = self.data[self.data.index(GREETING) + len(GREETING):]
        return self

    def _read_until(self, condition):
        while not condition():
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError(self.data)
            self.data += chunk

    def send(self, text):
        self.sock.sendall(text_frame(text))

    def receive(self):
        """The next text frame the server sent (unmasked, short)."""
        self._read_until(lambda: len(self.data) >= 2 and len(self.data) >= 2 + self.data[1])
        length = self.data[1]
        text, self.data = self.data[2:2 + length], self.data[2 + length:]
        return text.decode()

    def closed_by_server(self):
        """Waits until the server closes; True when it did."""
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    return True
        except (ConnectionResetError, socket.timeout):
            return False

    def close(self):
        self.sock.close()

