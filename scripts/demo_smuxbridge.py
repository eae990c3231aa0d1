#!/usr/bin/env python3
"""Demonstration: smuxbridge between a private net-snmp agent (its SMUX
master on 127.0.0.1:199) and the example DPI subagent; snmpwalk reads the
subagent's table through the agent, snmpset makes the subagent send a trap,
and snmptrapd shows it arriving. Everything is stopped at the end."""

import argparse
import os
import re
import shlex
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "snmp", "relay"))
from relay_env import OWN_OBJECT, RelayEnv, missing_peers, port_199_free, wait_for  # noqa: E402

SUBTREE = "1.3.6.1.4.1.59981.9.1"


def show(env, tool, *args, **kw):
    r = env.snmp(tool, *args, **kw)
    shown = [tool, "-v" + kw.get("version", "1"), "-c", kw.get("community", "public"),
             "127.0.0.1:%d" % env.agent_port] + list(args)
    print("$ " + " ".join(shlex.quote(a) for a in shown))
    print((r.stdout + r.stderr).rstrip("\n"))
    print()


def reports(log):
    return "\n".join(l for l in log.splitlines() if not re.match(r"^\S+\(\d+\): ", l)).strip("\n") + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--smuxbridge", required=True)
    ap.add_argument("--subagent", required=True)
    ap.add_argument("--emulator", default="")
    opts = ap.parse_args()
    why = missing_peers()
    if why:
        print("smuxbridge demonstration skipped: " + why)
        return 0
    with RelayEnv(opts.smuxbridge, opts.subagent, opts.emulator, trace=32) as env:
        if not port_199_free():
            print("smuxbridge demonstration skipped: something else listens on 127.0.0.1:199")
            return 0
        print("smuxbridge: a private snmpd (SNMP on 127.0.0.1:%d, SMUX on 127.0.0.1:199)" % env.agent_port)
        print("--- snmpd.conf ---\n" + open(env.path("snmpd.conf")).read())
        print("--- /etc/snmpd.peers (bind-mounted for the daemon only) ---\n" + open(env.path("snmpd.peers")).read())
        env.start_agent()
        env.start_trapd()
        env.start_bridge()
        if not env.wait_bridge("ready to receive requests", 60):
            print(env.bridge_log())
            return 1
        env.wait_registered(0, "1.3.6.1.4.1.59981.2.1.1.1")
        print("--- smuxbridge says (its reports, without the traces of -d 32) ---\n" + reports(env.bridge_log()))
        print("--- the daemon publishes its DPI port through the agent ---")
        show(env, "snmpget", OWN_OBJECT)
        sub = env.start_subagent(SUBTREE, "example_subagent")
        print("--- example_subagent says ---\n" + sub.log())
        print("--- the subagent's table, read through the agent ---")
        show(env, "snmpwalk", SUBTREE)
        show(env, "snmpset", SUBTREE + ".3.0", "s", "rack 4, row 2", community="private")
        show(env, "snmpget", SUBTREE + ".3.0")
        print("--- setting the trap object makes the subagent send a trap ---")
        show(env, "snmpset", SUBTREE + ".13.0", "i", "7", community="private")
        wait_for(lambda: "Enterprise Specific Trap (7)" in env.traps(), 10)
        print("--- snmptrapd received ---\n" + env.traps().rstrip("\n"))
        print()
    print("smuxbridge demonstration: everything stopped.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
