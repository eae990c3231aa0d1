#!/usr/bin/env python3
"""smuxbridge end to end: net-snmp's snmpd (SMUX master on 127.0.0.1:199)
asked by net-snmp's clients, the daemon, two example subagents and raw
misbehaving ones, snmptrapd receiving the traps. One agent for the whole
table of checks; exit 77 (skipped) when root or net-snmp is missing."""

import argparse
import os
import re
import socket
import struct
import sys
import time
import threading
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay_env import OWN_OBJECT, RelayEnv, missing_peers, port_199_free, wait_for  # noqa: E402
from dpi_raw import RawSubagent, close_packet, int_response, open_packet, packet, unregister_packet  # noqa: E402

A = "1.3.6.1.4.1.59981.9.1"
B = "1.3.6.1.4.1.59981.9.2"
VALUES = [  # instance, what snmpget shows
    ("1.0", "INTEGER: 42"),
    ("2.0", "Hex-STRING: 00 01 FE FF"),
    ("3.0", 'STRING: "orvane example subagent"'),
    ("4.0", 'STRING: "1.3.6.1.4.1.59981.9"'),
    ("5.0", "IpAddress: 192.0.2.1"),
    ("6.0", "Counter32: 4000000000"),
    ("7.0", "Gauge32: 77"),
    ("8.0", "Timeticks: (8640000)"),
]


class Checks:
    def __init__(self, env):
        self.env = env
        self.failures = []
        self.count = 0

    def expect(self, cond, what, detail=""):
        self.count += 1
        if not cond:
            self.failures.append(what)
            print("FAIL: %s\n%s" % (what, detail))

    def get(self, oid, **kw):
        r = self.env.snmp("snmpget", oid, **kw)
        return r.stdout + r.stderr

    def served(self, what):
        out = self.get(A + ".1.0")
        self.expect(re.search(r"\.9\.1\.1\.0 = INTEGER: -?\d+", out) is not None,
                    "subagent A still served after " + what, out)
        self.expect(self.env.bridge.alive(), "daemon alive after " + what)


def own_object(c, env):
    port = env.dpi_port()
    c.expect(port is not None and port > 0, "the port object gives the DPI port")
    out = c.get("1.3.6.1.4.1.59981.2.1.1.1")
    c.expect("noSuchName" in out, "the port object's subtree itself is noSuchName", out)
    r = env.snmp("snmpgetnext", "1.3.6.1.4.1.59981.2.1.1")
    c.expect(r.stdout.startswith("." + OWN_OBJECT + " = INTEGER: %d" % port), "getnext finds the port object", r.stdout)


def every_type(c, env):
    for inst, shown in VALUES:
        out = c.get("%s.%s" % (A, inst))
        c.expect("%s.%s = %s" % (A, inst, shown) in out, "get of %s shows %s" % (inst, shown), out)
    out = c.get(A + ".9.0")
    c.expect("noSuchName" in out, "a Counter64 value is noSuchName for SNMPv1", out)
    out = c.get(A + ".99.0")
    c.expect("noSuchName" in out, "a missing instance is noSuchName", out)
    r = env.snmp("snmpget", A + ".1.0", B + ".3.0", OWN_OBJECT)
    c.expect(r.returncode == 0 and r.stdout.count(" = ") == 3, "one get across both subagents and the daemon", r.stdout + r.stderr)


def getnext_and_walk(c, env):
    r = env.snmp("snmpgetnext", A + ".13.0")
    c.expect(r.stdout.startswith("." + B + ".1.0 = INTEGER: 42"), "getnext past A's end goes to B", r.stdout + r.stderr)
    r = env.snmp("snmpgetnext", A + ".8.0")
    c.expect(r.stdout.startswith("." + A + ".10.0 = "), "getnext skips the Counter64 object", r.stdout)
    r = env.snmp("snmpgetnext", "1.3.6.1.4.1.59981.5")
    c.expect(r.stdout.startswith("." + A + ".1.0 = "), "getnext before A starts at A's first object", r.stdout)
    r = env.snmp("snmpgetnext", B + ".13.0")
    c.expect(r.returncode == 0 and "59981" not in r.stdout, "getnext past the last subtree leaves it", r.stdout + r.stderr)
    walk = env.snmp("snmpwalk", "1.3.6.1.4.1.59981")
    names = re.findall(r"^\.([\d.]+) = ", walk.stdout, re.M)
    want = [OWN_OBJECT] + ["%s.%d.0" % (t, i) for t in (A, B) for i in (1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13)]
    c.expect(names == want, "walk of the enterprise shows both tables", walk.stdout + walk.stderr)
    bulk = env.snmp("snmpbulkwalk", "1.3.6.1.4.1.59981", version="2c")
    c.expect(re.findall(r"^\.([\d.]+) = ", bulk.stdout, re.M) == want, "bulkwalk (SNMPv2c) agrees", bulk.stdout + bulk.stderr)


def set_then_get(c, env):
    for inst, typ, val, shown in [("1.0", "i", "-1234", "INTEGER: -1234"),
                                  ("3.0", "s", "rack 4", 'STRING: "rack 4"'),
                                  ("2.0", "x", "DEADBEEF", "Hex-STRING: DE AD BE EF"),
                                  ("5.0", "a", "10.1.2.3", "IpAddress: 10.1.2.3"),
                                  ("7.0", "u", "123456", "Gauge32: 123456"),
                                  ("8.0", "t", "4500", "Timeticks: (4500)")]:
        r = env.snmp("snmpset", "%s.%s" % (A, inst), typ, val, community="private")
        c.expect(r.returncode == 0, "set of %s to %s" % (inst, val), r.stdout + r.stderr)
        out = c.get("%s.%s" % (A, inst))
        c.expect(shown in out, "get after set shows %s" % shown, out)


def set_errors(c, env):
    for inst, typ, val, reason in [("10.0", "i", "1", "readOnly"),
                                   ("99.0", "i", "1", "noSuchName"),
                                   ("11.0", "i", "500", "badValue"),
                                   ("1.0", "s", "text", "badValue"),
                                   ("12.0", "i", "1", "genError")]:
        r = env.snmp("snmpset", "%s.%s" % (A, inst), typ, val, community="private")
        out = r.stdout + r.stderr
        c.expect(r.returncode != 0 and "(%s)" % reason in out and "Failed object: .%s.%s" % (A, inst) in out,
                 "set of %s %s %s fails with %s" % (inst, typ, val, reason), out)
    out = c.get(A + ".11.0")
    c.expect("INTEGER: 50" in out, "a refused set changes nothing", out)


def counter64_set(c, env):
    """A set of a Counter64 value (SNMPv2c, built by hand: the tools need a
    MIB for that type) reaches the daemon as a request it cannot decode."""
    oid = bytes([0x2B, 6, 1, 4, 1, 0x83, 0xD4, 0x4D, 9, 1, 1, 0])
    vb = b"\x06" + bytes([len(oid)]) + oid + b"\x46\x01\x05"
    vbs = b"\x30" + bytes([len(vb) + 2]) + b"\x30" + bytes([len(vb)]) + vb
    pdu = b"\x02\x01\x33\x02\x01\x00\x02\x01\x00" + vbs
    pdu = b"\xA3" + bytes([len(pdu)]) + pdu
    msg = b"\x02\x01\x01\x04\x07private" + pdu
    msg = b"\x30" + bytes([len(msg)]) + msg
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(10)
    s.sendto(msg, ("127.0.0.1", env.agent_port))
    try:
        answer = s.recv(4096)
    except socket.timeout:
        answer = b""
    s.close()
    # The status follows the request id 0x33: 02 01 33 02 01 <status>.
    m = re.search(rb"\x02\x01\x33\x02\x01(.)", answer, re.S)
    c.expect(m is not None and m.group(1) != b"\x00", "a Counter64 set is refused", answer.hex())
    c.served("a Counter64 set")


def trap(c, env):
    r = env.snmp("snmpset", A + ".13.0", "i", "7", community="private")
    c.expect(r.returncode == 0, "set of the trap object", r.stdout + r.stderr)
    got = wait_for(lambda: re.search(r"\.%s Enterprise Specific Trap \(7\)" % re.escape(A), env.traps()), 10)
    c.expect(got is not None, "the subagent's trap arrives at snmptrapd", env.traps())
    c.expect('.%s.3.0 = STRING: "rack 4"' % A in env.traps() or "%s.3.0" % A in env.traps(),
             "the trap carries its bindings", env.traps())
    c.expect("Cold Start Trap (0)" in env.traps(), "each registration is announced with a trap", env.traps())


def misbehaving(c, env):
    port = env.dpi_port()
    # Garbage: not a DPI packet.
    s = RawSubagent(port)
    s.send(b"\x00\x05hello")
    c.expect(s.closed_by_peer(5), "garbage ends the connection")
    s.close()
    c.served("garbage")
    # A truncated packet: end of file in the middle.
    s = RawSubagent(port)
    s.send(b"\x00\x64" + b"\x02\x02\x00\x00\x01\x08")
    s.s.shutdown(socket.SHUT_WR)
    c.expect(s.closed_by_peer(5), "a truncated packet ends the connection")
    s.close()
    c.served("a truncated packet")
    # 4094 bytes are taken (an OPEN is answered), 4095 are not.
    s = RawSubagent(port)
    big = open_packet(password=b"p" * (4096 - len(open_packet())))
    c.expect(len(big) == 4096, "the big OPEN has a prefix of 4094", str(len(big)))
    s.send(big)
    r = s.read_packet(10)
    c.expect(len(r) > 8 and r[7] == 5 and r[8] == 0, "a 4094-byte packet is answered", r.hex())
    s.send(b"\x0f\xff" + b"\x00" * 4095)
    c.expect(s.closed_by_peer(10), "a 4095-byte packet ends the connection")
    s.close()
    c.served("oversize packets")
    # The sixth connection is closed at once; the five others stay.
    idle = [RawSubagent(port) for _ in range(3)]
    time.sleep(0.5)
    sixth = RawSubagent(port)
    c.expect(sixth.closed_by_peer(5), "the sixth subagent connection is closed")
    sixth.close()
    for s in idle:
        s.send(packet(15))
        r = s.read_packet(5)
        c.expect(len(r) > 7 and r[7] == 5, "the five connected subagents are still answered", r.hex())
        s.close()
    c.served("a sixth connection")
    # A subagent that closes while its request is relayed: the client gets
    # genErr, the association stays, the subtree goes.
    s = RawSubagent(port)
    before = env.registrations("1.3.6.1.4.1.59981.9.5")
    codes = s.register("1.3.6.1.4.1.59981.9.5")
    c.expect(codes == [0, 0] and env.wait_registered(before, "1.3.6.1.4.1.59981.9.5"), "a raw subagent registers", str(codes))
    t = threading.Thread(target=lambda: (s.read_packet(20), s.close()))
    t.start()
    gone = env.withdrawals("1.3.6.1.4.1.59981.9.5")
    out = c.get("1.3.6.1.4.1.59981.9.5.1.0")
    t.join()
    c.expect(env.wait_withdrawn(gone, "1.3.6.1.4.1.59981.9.5"), "its subtree is withdrawn from the agent")
    # The agent turns any failed get into noSuchName; the daemon answered genErr.
    c.expect("noSuchName" in out and "rc=5 from rmt_call()" in env.bridge_log(),
             "a subagent closing during its request fails the request", out)
    c.served("a subagent closing during a request")
    out = c.get("1.3.6.1.4.1.59981.9.5.1.0")
    c.expect("noSuchName" in out, "its subtree is withdrawn", out)
    # A subagent that never answers: genErr after the 8-second wait.
    s = RawSubagent(port)
    before = env.registrations("1.3.6.1.4.1.59981.9.6")
    c.expect(s.register("1.3.6.1.4.1.59981.9.6") == [0, 0] and env.wait_registered(before, "1.3.6.1.4.1.59981.9.6"),
             "a silent subagent registers")
    start = time.time()
    gone = env.withdrawals("1.3.6.1.4.1.59981.9.6")
    out = c.get("1.3.6.1.4.1.59981.9.6.1.0", timeout=30)
    took = time.time() - start
    c.expect("noSuchName" in out and 7 <= took < 20, "an unanswered request fails after 8 s", "%s (%.1f s)" % (out, took))
    c.expect(s.closed_by_peer(5) and env.wait_withdrawn(gone, "1.3.6.1.4.1.59981.9.6"),
             "the silent subagent is dropped and its subtree withdrawn")
    s.close()
    c.served("a silent subagent")
    # Half a packet, then silence: dropped after 8 seconds.
    s = RawSubagent(port)
    s.send(open_packet()[:10])
    c.expect(s.closed_by_peer(20), "half a packet and silence end the connection")
    s.close()
    c.served("a subagent stalled in a packet")


def close_and_unregister(c, env):
    """DPI CLOSE is answered and leaves the connection open; UNREGISTER has
    no effect: the subtree goes only with the connection."""
    sub = "1.3.6.1.4.1.59981.9.7"
    s = RawSubagent(env.dpi_port())
    before = env.registrations(sub)
    c.expect(s.register(sub) == [0, 0] and env.wait_registered(before, sub), "a raw subagent registers " + sub)
    s.send(unregister_packet(sub + "."))
    s.send(close_packet())
    r = s.read_packet(10)
    c.expect(len(r) > 8 and r[7] == 5 and r[8] == 0, "a DPI CLOSE is answered", r.hex())

    def answer():
        q = s.read_packet(20)
        if len(q) > 7 and q[7] == 1:
            s.send(int_response(q, sub + ".", "1.0", 99))
    t = threading.Thread(target=answer)
    t.start()
    out = c.get(sub + ".1.0")
    t.join()
    c.expect("INTEGER: 99" in out, "after UNREGISTER and CLOSE the subtree is still relayed", out)
    gone = env.withdrawals(sub)
    s.close()
    c.expect(env.wait_withdrawn(gone, sub), "the subtree goes with the connection")


def disconnect(c, env):
    gone = env.withdrawals(B)
    env.subagents[1].stop()
    c.expect(env.wait_withdrawn(gone, B), "a disconnected subagent's subtree is withdrawn")
    out = c.get(B + ".1.0")
    c.expect("noSuchName" in out, "a disconnected subagent's subtree is gone", out)
    c.served("a subagent disconnecting")


def agent_restart(c, env):
    before = env.bridge_log().count("connected to agent, ready")
    env.stop_agent()
    c.expect(env.wait_bridge("Lost connection to agent", 10), "the daemon notices the agent going")
    since = len(env.bridge_log())
    c.expect(env.wait_bridge("Connect to agent failed, will retry", 12, since),
             "with the agent down the daemon reports its retries")
    env.start_agent()
    ok = wait_for(lambda: env.bridge_log().count("connected to agent, ready") > before, 20)
    c.expect(ok, "the daemon reconnects", env.bridge_log()[-2000:])
    # The subagent's subtree is registered with the new association.
    out = wait_for(lambda: (lambda o: o if "INTEGER: -1234" in o else None)(c.get(A + ".1.0")), 10) or c.get(A + ".1.0")
    c.expect("INTEGER: -1234" in out, "service comes back after the agent restarts", out)
    c.expect(env.dpi_port() is not None, "the port object comes back")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--smuxbridge", required=True)
    ap.add_argument("--subagent", required=True)
    ap.add_argument("--emulator", default="")
    opts = ap.parse_args()
    why = missing_peers()
    if why:
        print("SKIP: " + why)
        return 77
    with RelayEnv(opts.smuxbridge, opts.subagent, opts.emulator) as env:
        if not port_199_free():
            print("SKIP: something else listens on 127.0.0.1:199 (an SNMP agent with SMUX?)")
            return 77
        c = Checks(env)
        try:
            env.start_agent()
            env.start_trapd()
            env.start_bridge()
            if not env.wait_bridge("ready to receive requests", 60) or \
                    not env.wait_registered(0, "1.3.6.1.4.1.59981.2.1.1.1"):
                print(env.bridge_log())
                return 1
            env.start_subagent(A, "subagent-a")
            env.start_subagent(B, "subagent-b")
            for step in (own_object, every_type, getnext_and_walk, set_then_get, set_errors, counter64_set,
                         trap, misbehaving, close_and_unregister, disconnect, agent_restart):
                print("--- %s" % step.__name__)
                sys.stdout.flush()
                try:
                    step(c, env)
                except Exception:
                    c.expect(False, step.__name__ + " raised", traceback.format_exc())
        finally:
            if c.failures if "c" in dir() else True:
                print("--- daemon log (tail)\n" + env.bridge_log()[-6000:])
                print("--- agent log (tail)\n" + env.agent_log()[-2000:])
        print("%d checks, %d failed" % (c.count, len(c.failures)))
        return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
