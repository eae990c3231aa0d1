#!/usr/bin/env python3
"""standin-proxy against tinyproxy, squid and nginx as forward proxies, all in
front of one nginx origin (a script, not a test; one run prints every figure).

    bench/standin_bench.py --build build/dev [--seconds 10] [--rounds 3]
                           [--targets direct,standin-proxy] [--loads /10m:1]
                           [--baseline OTHER/standin-proxy]

Targets: nginx direct (the baseline), tinyproxy, squid (no cache), nginx as
a forward proxy (1 worker), standin-proxy (origin pool on, no plug-ins), and
standin-proxy with a pass-through transmogrifier (host/examples/pass_mogrify.c).
Each round runs every target once, the order reversed every other round;
wrk -t1 asks for /1k at 1, 16 and 64 connections and /10m at 1, by absolute
URL (a Lua script sets wrk.path and Host). Figures are medians over the
rounds: requests/s, p50 and p99 latency, requests per proxy CPU-second
(user + system of the proxy and its threads and children, from
/proc/PID/stat), MB/s, the proxy's peak RSS, and its memory per idle
connection (1000 idle keep-alive connections, once per round).
--targets and --loads pick a part of the table (the origin always runs;
with /1k absent from the loads the idle-connection figure is left out);
--baseline runs a second standin-proxy program (an older build) in the
same rounds, so that a change is measured against it in one machine state.

Everything runs on loopback from private configurations in a temporary
directory; every program started is stopped by its pid.
"""

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

from connmgr_bench import free_port, start, stop, wait_port

TICK = os.sysconf("SC_CLK_TCK")


def children(pid):
    out = [pid]
    try:
        for c in open(f"/proc/{pid}/task/{pid}/children").read().split():
            out += children(int(c))
    except OSError:
        pass
    return out


def cpu_seconds(pid):
    """User + system time of the process (all its threads) and its children."""
    total = 0
    for p in children(pid):
        try:
            f = open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()
            total += int(f[11]) + int(f[12])
        except OSError:
            pass
    return total / TICK


def rss_kib(pid, field="VmRSS"):
    total = 0
    for p in children(pid):
        try:
            m = re.search(field + r":\s+(\d+)", open(f"/proc/{p}/status").read())
            total += int(m.group(1)) if m else 0
        except OSError:
            pass
    return total


def seconds_of(text):
    m = re.match(r"([\d.]+)(us|ms|s|m)", text)
    if not m:
        return 0.0
    return float(m.group(1)) * {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0}[m.group(2)]


def wrk(port, url, host, connections, seconds, d, pid):
    script = os.path.join(d, "abs.lua")
    with open(script, "w") as f:
        f.write(f'wrk.path = "{url}"\nwrk.headers["Host"] = "{host}"\n')
    target = f"http://127.0.0.1:{port}/"
    before = cpu_seconds(pid) if pid else 0
    out = subprocess.run(["wrk", "-t1", "-c", str(connections), "-d", f"{seconds}s", "--latency", "-s", script,
                          target], capture_output=True, text=True).stdout
    cpu = (cpu_seconds(pid) - before) if pid else 0
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    tr = re.search(r"Transfer/sec:\s+([\d.]+)(\w+)", out)
    # The distribution's own lines: "72.50%" in the thread stats is not one.
    p50 = re.search(r"^\s+50%\s+(\S+)", out, re.M)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.M)
    n = re.search(r"(\d+) requests in", out)
    errors = re.search(r"Socket errors: (.*)", out)
    mb = 0.0
    if tr:
        mb = float(tr.group(1)) * {"B": 1 / 2**20, "KB": 1 / 1024, "MB": 1, "GB": 1024}.get(tr.group(2), 0)
    return {"rps": float(rps.group(1)) if rps else 0.0, "mbs": mb,
            "p50": seconds_of(p50.group(1)) if p50 else 0.0, "p99": seconds_of(p99.group(1)) if p99 else 0.0,
            "per_cpu": (int(n.group(1)) / cpu) if n and cpu > 0 else 0.0,
            "errors": errors.group(1) if errors else ""}


def per_idle_connection(pid, port, url, host, n=1000):
    """Bytes of RSS grown per idle keep-alive connection that made one request."""
    request = f"GET {url} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()
    before = rss_kib(pid)
    socks = []
    try:
        for _ in range(n):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(request)
            got = b""
            while b"\r\n\r\n" not in got or len(got) < got.index(b"\r\n\r\n") + 4 + 1024:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
            socks.append(s)
        time.sleep(0.5)
        after = rss_kib(pid)
    finally:
        for s in socks:
            s.close()
    return (after - before) * 1024 / max(1, len(socks))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--targets", default="direct,tinyproxy,squid,nginx-proxy,standin-proxy,standin+passtr",
                    help="comma-separated targets to run")
    ap.add_argument("--loads", default="/1k:1,/1k:16,/1k:64,/10m:1",
                    help="comma-separated PATH:CONNECTIONS loads")
    ap.add_argument("--baseline", help="another standin-proxy program, run beside it as standin-base")
    a = ap.parse_args()
    wanted = set(a.targets.split(","))
    loads = [(p, int(c)) for p, c in (x.rsplit(":", 1) for x in a.loads.split(","))]
    d = tempfile.mkdtemp(prefix="standin-bench.")
    os.chmod(d, 0o755)
    started = []
    try:
        for sub in ("html", "tmp", "squid", "tinyproxy", "fwd"):
            os.makedirs(os.path.join(d, sub))
            os.chmod(os.path.join(d, sub), 0o777)
        with open(os.path.join(d, "html", "1k"), "wb") as f:
            f.write(b"k" * 1024)
        with open(os.path.join(d, "html", "10m"), "wb") as f:
            f.write(os.urandom(10 * 2**20))
        temps = "".join(f" {k}_temp_path {d}/tmp;\n" for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        ng = free_port()
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(f"daemon off;\nmaster_process off;\nworker_processes 1;\npid {d}/nginx.pid;\n"
                    f"error_log {d}/nginx-error.log;\nevents {{ worker_connections 8192; }}\n"
                    f"http {{\n access_log off;\n{temps} keepalive_requests 1000000;\n"
                    f" server {{ listen 127.0.0.1:{ng}; root {d}/html; }}\n}}\n")
        origin = start(["/usr/sbin/nginx", "-e", f"{d}/nginx-error.log", "-p", d, "-c", f"{d}/nginx.conf"],
                       f"{d}/nginx.out", ng)
        started.append(origin)
        host = f"127.0.0.1:{ng}"
        targets = [("direct", ng, None)] if "direct" in wanted else []

        if "tinyproxy" in wanted:
            tp = free_port()
            with open(os.path.join(d, "tinyproxy", "tinyproxy.conf"), "w") as f:
                f.write(("User nobody\nGroup nogroup\n" if os.geteuid() == 0 else "") +
                        f"Port {tp}\nListen 127.0.0.1\nTimeout 30\nPidFile \"{d}/tinyproxy/pid\"\n"
                        f"LogFile \"{d}/tinyproxy/log\"\nLogLevel Warning\nMaxClients 256\nAllow 127.0.0.0/8\n")
            p = start(["tinyproxy", "-d", "-c", f"{d}/tinyproxy/tinyproxy.conf"], f"{d}/tinyproxy/out", tp)
            started.append(p)
            targets.append(("tinyproxy", tp, p))

        if "squid" in wanted:
            sp = free_port()
            with open(os.path.join(d, "squid", "squid.conf"), "w") as f:
                f.write(f"http_port 127.0.0.1:{sp}\nworkers 1\nacl loopback src 127.0.0.0/8\n"
                        f"http_access allow loopback\nhttp_access deny all\ncache deny all\ncache_mem 0 MB\n"
                        f"icp_port 0\nhtcp_port 0\nsnmp_port 0\npinger_enable off\ndns_nameservers 127.0.0.1\n"
                        f"pid_filename {d}/squid/squid.pid\ncache_log {d}/squid/cache.log\naccess_log none\n"
                        f"cache_store_log none\ncoredump_dir {d}/squid\nnetdb_filename none\n"
                        f"shutdown_lifetime 0 seconds\n" + ("cache_effective_user proxy\n" if os.geteuid() == 0 else ""))
            p = start(["squid", "-N", "-f", f"{d}/squid/squid.conf"], f"{d}/squid/out", sp)
            started.append(p)
            targets.append(("squid", sp, p))

        if "nginx-proxy" in wanted:
            fp = free_port()
            with open(os.path.join(d, "fwd", "nginx.conf"), "w") as f:
                f.write(f"daemon off;\nmaster_process off;\nworker_processes 1;\npid {d}/fwd/nginx.pid;\n"
                        f"error_log {d}/fwd/error.log;\nevents {{ worker_connections 8192; }}\n"
                        f"http {{\n access_log off;\n{temps} keepalive_requests 1000000;\n"
                        f" server {{ listen 127.0.0.1:{fp}; location / {{ proxy_pass http://$http_host$request_uri;"
                        f" proxy_http_version 1.1; proxy_set_header Connection \"\"; }} }}\n}}\n")
            p = start(["/usr/sbin/nginx", "-e", f"{d}/fwd/error.log", "-p", f"{d}/fwd", "-c", f"{d}/fwd/nginx.conf"],
                      f"{d}/fwd/out", fp)
            started.append(p)
            targets.append(("nginx-proxy", fp, p))

        # standin-proxy as it is, an older binary beside it (--baseline), and
        # the same with a transmogrifier that takes part in every answer and
        # changes nothing: what the plug-in stream costs (its answers go
        # close-delimited, so every request is a new client connection).
        program = os.path.join(a.build, "host", "standin-proxy")
        passtr = (f"TransmogrifierPlugin http://* {os.path.join(a.build, 'host', 'pass_mogrify.so')}"
                  " pass_open pass_write pass_close pass_error\n")
        hosts = [(n, prog, extra) for n, prog, extra in
                 [("standin-proxy", program, ""), ("standin+passtr", program, passtr)] if n in wanted]
        if a.baseline:
            hosts.append(("standin-base", a.baseline, ""))
        for name, prog, extra in hosts:
            hp = free_port()
            with open(os.path.join(d, f"{name}.conf"), "w") as f:
                f.write(f"ListenAddress 127.0.0.1\nListenPort {hp}\nWorkerThreads 32\nServerConnPool on\n"
                        f"ServerIdleLimit 60\nMaxSocketPerServer 256\nAccessLog off\n" + extra)
            p = start([prog, "--config", f"{d}/{name}.conf"], f"{d}/{name}.out", hp)
            started.append(p)
            targets.append((name, hp, p))

        results = {}
        idle = {}
        for r in range(a.rounds):
            order = targets if r % 2 == 0 else list(reversed(targets))
            for name, port, proc in order:
                pid = proc.pid if proc else None
                for path, c in loads:
                    res = wrk(port, f"http://{host}{path}", host, c, a.seconds, d, pid)
                    results.setdefault((name, path, c), []).append(res)
                if pid and any(path == "/1k" for path, _ in loads):
                    idle.setdefault(name, []).append(per_idle_connection(pid, port, f"http://{host}/1k", host))
        print(f"wrk -t1, {a.seconds} s, medians of {a.rounds} rounds; origin nginx (1 worker) on loopback")
        print(f"{'target':14s} {'load':10s} {'req/s':>9s} {'p50 ms':>8s} {'p99 ms':>8s} {'req/CPU-s':>10s}"
              f" {'MB/s':>8s}  errors")
        for name, _, _ in targets:
            for path, c in loads:
                rs = results[(name, path, c)]
                med = {k: statistics.median(x[k] for x in rs) for k in ("rps", "p50", "p99", "per_cpu", "mbs")}
                err = "; ".join(sorted({x["errors"] for x in rs if x["errors"]}))
                print(f"{name:14s} {path + ' c' + str(c):10s} {med['rps']:9.0f} {med['p50'] * 1e3:8.2f}"
                      f" {med['p99'] * 1e3:8.2f} {med['per_cpu']:10.0f} {med['mbs']:8.1f}  {err}")
        print()
        for name, _, proc in targets:
            if proc:
                per = ", ".join(f"{x:.0f}" for x in idle.get(name, [])) or "-"
                print(f"{name:14s} peak RSS {rss_kib(proc.pid, 'VmHWM') / 1024:7.1f} MiB;"
                      f" bytes per idle connection by round: {per}")
    finally:
        for p in reversed(started):
            stop(p)
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
