#!/usr/bin/env python3
"""Benchmark of smuxbridge (a script, not a test): sequential SNMPv1 GETs
through a private net-snmp agent for an agent-native object (sysDescr.0), the
daemon's own object (its DPI port) and an object of the example DPI
subagent, one request at a time; then the daemon's resident memory before
and after many relayed requests. Needs root (the daemon's private
/etc/snmpd.peers) and net-snmp, like the end-to-end test; uses port 199.

    bench/smuxbridge_bench.py --build build/dev [--requests 3000] [--relayed 100000]
"""

import argparse
import os
import socket
import statistics
import struct
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "snmp", "relay"))
from relay_env import OWN_OBJECT, RelayEnv, missing_peers, port_199_free, wait_for  # noqa: E402

SUBTREE = "1.3.6.1.4.1.59981.9.1"


def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        head = bytes([n])
    else:
        b = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(b)]) + b
    return bytes([tag]) + head + body


def oid_bytes(text):
    parts = [int(x) for x in text.split(".")]
    out = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        out += bytes(reversed(chunk))
    return out


class Client:
    def __init__(self, port):
        self.port = port
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.settimeout(10)
        self.s.connect(("127.0.0.1", port))
        self.reqid = 1

    def get(self, oid):
        self.reqid = (self.reqid + 1) & 0x7FFFFFFF
        vb = tlv(0x30, tlv(0x30, tlv(0x06, oid_bytes(oid)) + b"\x05\x00"))
        pdu = tlv(0xA0, tlv(0x02, struct.pack(">i", self.reqid)) + b"\x02\x01\x00\x02\x01\x00" + vb)
        self.s.send(tlv(0x30, b"\x02\x01\x00" + tlv(0x04, b"public") + pdu))
        while True:
            reqid, status = parse_response(self.s.recv(4096))
            if reqid == self.reqid:
                return status == 0


def read_tlv(b, i):
    """(tag, content start, content end) of the TLV at b[i]."""
    tag, n = b[i], b[i + 1]
    i += 2
    if n & 0x80:
        k = n & 0x7F
        n = int.from_bytes(b[i:i + k], "big")
        i += k
    return tag, i, i + n


def parse_response(b):
    _, i, _ = read_tlv(b, 0)               # message
    _, _, i = read_tlv(b, i)               # version
    _, _, i = read_tlv(b, i)               # community
    _, i, _ = read_tlv(b, i)               # PDU
    _, s, e = read_tlv(b, i)               # request id
    reqid = int.from_bytes(b[s:e], "big", signed=True)
    _, s2, e2 = read_tlv(b, e)             # error status
    return reqid, int.from_bytes(b[s2:e2], "big")


def measure(client, oids, n, batch=50):
    """Requests per second and median latency (us) for each oid. The three
    kinds take turns in batches, so that a load change on the machine
    weighs on all of them alike."""
    lat = {o: [] for o in oids}
    spent = {o: 0.0 for o in oids}
    done = 0
    while done < n:
        for o in oids:
            start = time.perf_counter()
            for _ in range(batch):
                t = time.perf_counter()
                if not client.get(o):
                    raise RuntimeError("error answer for " + o)
                lat[o].append(time.perf_counter() - t)
            spent[o] += time.perf_counter() - start
        done += batch
    return {o: (len(lat[o]) / spent[o], statistics.median(lat[o]) * 1e6) for o in oids}


def ok(client, oid):
    try:
        return client.get(oid)
    except OSError:
        return False


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "dev"))
    ap.add_argument("--requests", type=int, default=3000)
    ap.add_argument("--relayed", type=int, default=100000)
    opts = ap.parse_args()
    why = missing_peers()
    if why:
        print("cannot run: " + why)
        return 1
    relay = os.path.join(opts.build, "snmp", "relay")
    # Without tracing, as in production: every report is a write of its own.
    with RelayEnv(os.path.join(relay, "smuxbridge"), os.path.join(relay, "example_subagent"), trace=0) as env:
        if not port_199_free():
            print("cannot run: something else listens on 127.0.0.1:199")
            return 1
        env.start_agent()
        env.start_bridge()
        env.wait_bridge("ready to receive requests", 60)
        c = Client(env.agent_port)
        wait_for(lambda: ok(c, OWN_OBJECT), 20)
        env.start_subagent(SUBTREE, "example_subagent")
        wait_for(lambda: ok(c, SUBTREE + ".1.0"), 20)
        kinds = (("agent-native sysDescr.0", "1.3.6.1.2.1.1.1.0"),
                 ("daemon's own object", OWN_OBJECT),
                 ("DPI subagent object", SUBTREE + ".1.0"))
        oids = [o for _, o in kinds]
        measure(c, oids, 200)  # warm up
        result = measure(c, oids, opts.requests)
        for name, oid in kinds:
            rate, p50 = result[oid]
            print("%-26s %8.0f requests/s   p50 %7.1f us" % (name, rate, p50))
        base = result[oids[0]][0]
        print("own object at %.0f%% of the agent-native rate (target >= 50%%); "
              "subagent object at %.0f%% (target >= 33%%)"
              % (100 * result[oids[1]][0] / base, 100 * result[oids[2]][0] / base))
        sys.stdout.flush()
        pid = env.bridge.p.pid
        before = rss_kib(pid)
        start = time.perf_counter()
        for _ in range(opts.relayed):
            c.get(SUBTREE + ".3.0")
        took = time.perf_counter() - start
        after = rss_kib(pid)
        print("daemon RSS %d KiB before and %d KiB after %d relayed requests (%.0f s)"
              % (before, after, opts.relayed, took))
    return 0


if __name__ == "__main__":
    sys.exit(main())
