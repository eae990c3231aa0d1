"""Hand-built DPI 2.0 packets and raw subagent connections for the tests of
misbehaving subagents."""

import socket
import struct
import time

_packet_id = 0


def packet(ptype, body=b""):
    """Length prefix, header (major 2, version 2, release 0, id, type), body."""
    global _packet_id
    _packet_id = (_packet_id + 1) & 0xFFFF
    p = bytes([2, 2, 0]) + struct.pack(">H", _packet_id) + bytes([ptype]) + body
    return struct.pack(">H", len(p)) + p


def open_packet(password=b"", identity=b"1.3.6.1.4.1.59981.9", description=b"raw test subagent"):
    return packet(8, struct.pack(">HHB", 8, 1, 0) + identity + b"\0" + description + b"\0" +
                  struct.pack(">H", len(password)) + password)


def register_packet(subtree):
    return packet(6, struct.pack(">iHBB", -1, 8, 0, 0) + subtree.encode() + b"\0")


def unregister_packet(subtree, reason=2):
    return packet(7, bytes([reason]) + subtree.encode() + b"\0")


def close_packet(reason=1):
    return packet(9, bytes([reason]))


def int_response(request, group, instance, value):
    """RESPONSE to `request` (its packet id) with one Integer32 binding."""
    body = bytes([0]) + struct.pack(">i", 0) + group.encode() + b"\0" + instance.encode() + b"\0" + \
        bytes([129]) + struct.pack(">H", 4) + struct.pack(">i", value)
    p = bytes([2, 2, 0]) + request[5:7] + bytes([5]) + body
    return struct.pack(">H", len(p)) + p


class RawSubagent:
    def __init__(self, port, timeout=30):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout)

    def send(self, data):
        self.s.sendall(data)

    def read_packet(self, timeout=30):
        """The next packet (prefix included), or b"" at end of file."""
        self.s.settimeout(timeout)
        head = self._exactly(2)
        if len(head) < 2:
            return b""
        n = struct.unpack(">H", head)[0]
        return head + self._exactly(n)

    def _exactly(self, n):
        out = b""
        while len(out) < n:
            chunk = self.s.recv(n - len(out))
            if not chunk:
                break
            out += chunk
        return out

    def closed_by_peer(self, timeout):
        """True when the daemon closes the connection within `timeout`."""
        self.s.settimeout(timeout)
        end = time.time() + timeout
        try:
            while time.time() < end:
                if self.s.recv(4096) == b"":
                    return True
        except socket.timeout:
            return False
        except OSError:
            return True
        return False

    def register(self, subtree):
        """OPEN and REGISTER; the two answers' error codes."""
        codes = []
        for p in (open_packet(), register_packet(subtree + ".")):
            self.send(p)
            r = self.read_packet()
            codes.append(r[8] if len(r) > 8 and r[7] == 5 else None)
        return codes

    def close(self):
        try:
            self.s.close()
        except OSError:
            pass
