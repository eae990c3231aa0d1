"""Peers of the smuxbridge black-box tests and of the demonstration: a private
net-snmp agent with its SMUX master on 127.0.0.1:199, a trap receiver, the
daemon and DPI subagents, all started from files in one temporary directory
and stopped whatever happens.

The daemon reads the fixed path /etc/snmpd.peers. It runs under `unshare -m`
(a private mount namespace, so root is needed): there the test's own peers
file is bind-mounted over that path; when the machine has no such file, a
private overlay of /etc (upper layer on a tmpfs of the namespace) provides
the mount point. Nothing outside the temporary directory is written."""

import fcntl
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from runprog import Program  # noqa: E402

IDENTITY = "1.3.6.1.4.1.59981.2.1.1.1"
PASSWORD = "relay-secret"
OWN_OBJECT = "1.3.6.1.4.1.59981.2.1.1.1.0"
NETSNMP_TOOLS = ("snmpd", "snmptrapd", "snmpget", "snmpgetnext", "snmpwalk", "snmpset", "unshare")

# Runs its arguments with /etc/snmpd.peers replaced by the file $1.
PEERS_MOUNT = r"""
set -e
peers=$1; work=$2; shift 2
if [ ! -e /etc/snmpd.peers ]; then
  mkdir -p "$work/etc-ovl"
  mount -t tmpfs -o size=1m,mode=0700 tmpfs "$work/etc-ovl"
  mkdir "$work/etc-ovl/upper" "$work/etc-ovl/work"
  mount -t overlay overlay \
    -o "lowerdir=/etc,upperdir=$work/etc-ovl/upper,workdir=$work/etc-ovl/work" /etc
  : > /etc/snmpd.peers
fi
mount --bind "$peers" /etc/snmpd.peers
exec "$@"
"""


def find(name):
    return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin:/usr/bin:/bin")


def missing_peers():
    """Why the peers cannot run here, or None."""
    if os.geteuid() != 0:
        return "not root (the daemon needs a private mount namespace)"
    for t in NETSNMP_TOOLS:
        if not find(t):
            return "%s is not installed (Debian packages snmpd, snmp, snmptrapd)" % t
    # The private mount namespace and mounts need CAP_SYS_ADMIN, which some
    # containers withhold even from root.
    with tempfile.TemporaryDirectory(prefix="smuxbridge-probe-") as d:
        peers = os.path.join(d, "peers")
        with open(peers, "w") as f:
            f.write("probe\n")
        r = subprocess.run([find("unshare"), "-m", "--propagation", "private", "/bin/sh", "-c", PEERS_MOUNT, "sh",
                            peers, d, "/bin/cat", "/etc/snmpd.peers"], capture_output=True, text=True)
        if r.returncode != 0 or r.stdout != "probe\n":
            return "cannot mount a private /etc/snmpd.peers: " + (r.stderr.strip() or r.stdout.strip())
    return None


def port_199_free():
    """True when nothing listens on the SMUX port of the loopback address."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", 199))
        return True
    except OSError:
        return False
    finally:
        s.close()


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(pred, timeout, step=0.05):
    end = time.time() + timeout
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


class Proc:
    """A child process with its output in a file of the work directory."""

    def __init__(self, argv, logpath, env=None):
        self.logpath = logpath
        self.log_file = open(logpath, "wb")
        self.p = subprocess.Popen(argv, stdout=self.log_file, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, env=env)

    def log(self):
        with open(self.logpath, "rb") as f:
            return f.read().decode(errors="replace")

    def alive(self):
        return self.p.poll() is None

    def stop(self, sig_timeout=3):
        if self.p.poll() is None:
            self.p.terminate()
            try:
                self.p.wait(sig_timeout)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        self.log_file.close()


class RelayEnv:
    """snmpd (SMUX on 127.0.0.1:199), snmptrapd, smuxbridge and subagents."""

    def __init__(self, smuxbridge, subagent, emulator="", trace=224, workdir=None):
        # Port 199 is one for the whole machine: the CTest lock keeps one
        # test run in order, this lock also keeps apart runs of other build
        # directories, the demonstration and the benchmark.
        self.lock = open(os.path.join(tempfile.gettempdir(), "orvane-smux-port-199.lock"), "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.bridge_prog = Program(smuxbridge, emulator)
        self.sub_prog = Program(subagent, emulator)
        self.trace = trace
        self.own_tmp = workdir is None
        self.dir = workdir or tempfile.mkdtemp(prefix="smuxbridge-")
        self.agent_port = free_udp_port()
        self.trap_port = free_udp_port()
        self.agent = self.trapd = self.bridge = None
        self.subagents = []
        # The agent writes its state back into a file named like its
        # configuration when it stops: a directory of its own for that.
        os.makedirs(self.path("state"), exist_ok=True)
        self.env = dict(os.environ, MIBS="", MIBDIRS="/dev/null", SNMP_PERSISTENT_DIR=self.path("state"),
                        SNMPCONFPATH=self.path("state"), HOME=self.dir)
        self.write("snmpd.conf",
                   "agentaddress udp:127.0.0.1:%d\n"
                   "rocommunity public 127.0.0.1\n"
                   "rwcommunity private 127.0.0.1\n"
                   "smuxsocket 127.0.0.1\n"
                   "smuxpeer %s %s\n"
                   "trapsink 127.0.0.1:%d public\n" % (self.agent_port, IDENTITY, PASSWORD, self.trap_port))
        self.write("snmptrapd.conf", "disableAuthorization yes\n")
        self.write_peers("# identity and password of the relay\n"
                         "smuxbridge \"%s\" \"%s\"\n" % (IDENTITY, PASSWORD))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def write_peers(self, text):
        # In place: the file is bind-mounted into the daemon's namespace.
        with open(self.path("snmpd.peers"), "r+" if os.path.exists(self.path("snmpd.peers")) else "w") as f:
            f.write(text)
            f.truncate()

    # --- peers ---------------------------------------------------------
    def start_agent(self, extra=()):
        for f in ("snmpd.log",):
            if os.path.exists(self.path(f)):
                os.remove(self.path(f))
        self.agent = Proc([find("snmpd"), "-f", "-C", "-c", self.path("snmpd.conf"), "-M", "/dev/null",
                           "-m", "", "-Lf", self.path("snmpd.log"), "-p", self.path("snmpd.pid")] + list(extra),
                          self.path("snmpd.out"), env=self.env)
        if not wait_for(self.agent_answers, 20, 0.2):
            raise RuntimeError("snmpd did not start:\n" + self.agent_log())

    def agent_answers(self):
        r = self.snmp("snmpget", "1.3.6.1.2.1.1.3.0", timeout=1)
        return r.returncode == 0 and "Timeticks" in r.stdout

    def agent_log(self):
        text = ""
        for f in ("snmpd.log", "snmpd.out"):
            if os.path.exists(self.path(f)):
                text += open(self.path(f), errors="replace").read()
        return text

    def stop_agent(self):
        if self.agent:
            self.agent.stop()
            self.agent = None

    def start_trapd(self):
        self.trapd = Proc([find("snmptrapd"), "-f", "-C", "-c", self.path("snmptrapd.conf"), "-M", "/dev/null",
                           "-m", "", "-On", "-Lf", self.path("traps.log"), "-p", self.path("snmptrapd.pid"),
                           "udp:127.0.0.1:%d" % self.trap_port], self.path("snmptrapd.out"), env=self.env)
        wait_for(lambda: os.path.exists(self.path("traps.log")), 10)

    def traps(self):
        p = self.path("traps.log")
        return open(p, errors="replace").read() if os.path.exists(p) else ""

    def start_bridge(self, argv0="smuxbridge", args=None):
        args = ["-d", str(self.trace)] if args is None else args
        if self.bridge_prog.emulator:
            cmd = self.bridge_prog.argv(argv0, args)
        else:
            # exec -a gives the native program the chosen argv[0].
            cmd = ["/bin/bash", "-c", 'exec -a "$0" "$@"', argv0, self.bridge_prog.path] + list(args)
        argv = [find("unshare"), "-m", "--propagation", "private", "/bin/sh", "-c", PEERS_MOUNT, "sh",
                self.path("snmpd.peers"), self.dir] + cmd
        self.bridge = Proc(argv, self.path("smuxbridge.log"))
        return self.bridge

    def bridge_log(self):
        return self.bridge.log() if self.bridge else ""

    def wait_bridge(self, text, timeout=20, since=0):
        return wait_for(lambda: text in self.bridge_log()[since:], timeout)

    def registrations(self, subtree=""):
        """How many registrations (of the subtree) the agent has answered."""
        return len(re.findall(r"Registration answered: \d+ for register %s" % re.escape(subtree), self.bridge_log()))

    def withdrawals(self, subtree=""):
        """How many withdrawals (of the subtree) the agent has answered."""
        return len(re.findall(r"Registration answered: -?\d+ for delete %s" % re.escape(subtree), self.bridge_log()))

    def wait_withdrawn(self, before, subtree="", timeout=20):
        """Waits until the agent has answered the withdrawal of the subtree:
        a request sent to the agent while the withdrawal is on its way can be
        taken for the daemon's answer (net-snmp's SMUX master does that)."""
        return wait_for(lambda: self.withdrawals(subtree) > before, timeout)

    def wait_registered(self, before, subtree="", timeout=20):
        return wait_for(lambda: self.registrations(subtree) > before, timeout)

    def dpi_port(self):
        r = self.snmp("snmpget", OWN_OBJECT)
        m = re.search(r"INTEGER: (\d+)", r.stdout)
        return int(m.group(1)) if m else None

    def start_subagent(self, subtree, name=None):
        name = name or "subagent-%d" % len(self.subagents)
        env = dict(self.env, SNMP_PORT=str(self.agent_port))
        argv = self.sub_prog.argv("example_subagent", ["-s", subtree])
        if not self.sub_prog.emulator:
            argv[0] = self.sub_prog.path
        before = self.registrations(subtree)
        p = Proc(argv, self.path(name + ".log"), env=env)
        if not wait_for(lambda: "registered" in p.log() or not p.alive(), 60) or \
                (self.trace & 32 and not self.wait_registered(before, subtree)):
            raise RuntimeError("subagent did not register:\n" + p.log())
        self.subagents.append(p)
        return p

    # --- clients -------------------------------------------------------
    def snmp(self, tool, *args, community="public", version="1", timeout=10):
        argv = [find(tool), "-v" + version, "-r", "0", "-t", str(timeout), "-M", "/dev/null", "-m", "",
                "-On", "-c", community, "udp:127.0.0.1:%d" % self.agent_port] + list(args)
        return subprocess.run(argv, capture_output=True, text=True, env=self.env, timeout=timeout * 4 + 30)

    def close(self):
        for p in self.subagents:
            p.stop()
        for p in (self.bridge, self.trapd, self.agent):
            if p:
                p.stop()
        if self.own_tmp and not os.environ.get("SMUXBRIDGE_KEEP"):
            shutil.rmtree(self.dir, ignore_errors=True)
        if self.lock:
            self.lock.close()
            self.lock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
