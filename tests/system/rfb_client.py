"""A minimal RFB (VNC) client for the tests: no authentication, no picture;
it only plays the person at the host's keyboard and mouse."""
import socket
import struct


class RfbClient:
    def __init__(self, port, host="127.0.0.1", timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        version = self._recv(12)
        if not version.startswith(b"RFB 003."):
            raise RuntimeError(f"not an RFB server: {version!r}")
        self.sock.sendall(b"RFB 003.008\n")
        count = self._recv(1)[0]
        if count == 0:
            raise RuntimeError("server refused: " + self._reason())
        types = self._recv(count)
        if 1 not in types:
            raise RuntimeError(f"server wants authentication: {list(types)}")
        self.sock.sendall(b"\x01")
        if struct.unpack(">I", self._recv(4))[0] != 0:
            raise RuntimeError("security handshake failed: " + self._reason())
        self.sock.sendall(b"\x01")  # shared session
        self.width, self.height = struct.unpack(">HH", self._recv(4))
        self._recv(16)  # pixel format
        self.name = self._recv(struct.unpack(">I", self._recv(4))[0]).decode(errors="replace")

    def _recv(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise RuntimeError("RFB server closed the connection")
            data += chunk
        return data

    def _reason(self):
        return self._recv(struct.unpack(">I", self._recv(4))[0]).decode(errors="replace")

    def pointer(self, x, y, buttons=0):
        self.sock.sendall(struct.pack(">BBHH", 5, buttons, x, y))

    def click(self, x, y):
        self.pointer(x, y, 0)
        self.pointer(x, y, 1)
        self.pointer(x, y, 0)

    def key(self, keysym):
        for down in (1, 0):
            self.sock.sendall(struct.pack(">BBHI", 4, down, 0, keysym))

    def close(self):
        self.sock.close()
