#!/usr/bin/env python3
"""wrk through forward proxies in front of one nginx (a script, not a test;
one run prints every figure): standin-proxy (the HTTP loader, origin pool on),
squid (caching off) and tinyproxy, each asked for a 1 KB file by absolute
URL over keep-alive client connections. Requests per second, mean latency
and errors of each.

    bench/loader_wrk_bench.py --build build/dev [--connections 50] [--seconds 5]

Needs nginx (nginx-light), wrk, squid and tinyproxy (the proxies not
installed are left out); everything runs on loopback from private
configurations in a temporary directory, and every program started is
stopped by its pid.
"""

import argparse
import os
import re
import shutil
import subprocess
import tempfile

from connmgr_bench import free_port, start, stop, wait_port


def wrk(proxy_port, url, connections, seconds, d):
    script = os.path.join(d, "absolute.lua")
    with open(script, "w") as f:
        f.write('request = function() return wrk.format("GET", "%s") end\n' % url)
    out = subprocess.run(["wrk", "-t", "2", "-c", str(connections), "-d", f"{seconds}s", "-s", script,
                          f"http://127.0.0.1:{proxy_port}/"], capture_output=True, text=True).stdout
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    lat = re.search(r"Latency\s+(\S+)", out)
    err = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    sock = re.search(r"Socket errors: (.*)", out)
    return (float(rps.group(1)) if rps else 0.0, lat.group(1) if lat else "?",
            int(err.group(1)) if err else 0, sock.group(1) if sock else "none")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--connections", type=int, default=50)
    ap.add_argument("--seconds", type=int, default=5)
    a = ap.parse_args()
    d = tempfile.mkdtemp(prefix="loader-wrk.")
    os.chmod(d, 0o755)
    started = []
    try:
        for sub in ("html", "tmp", "squid", "tinyproxy"):
            os.makedirs(os.path.join(d, sub))
            os.chmod(os.path.join(d, sub), 0o777)
        with open(os.path.join(d, "html", "1k.bin"), "w") as f:
            f.write("k" * 1024)
        ng = free_port()
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(f"daemon off;\nmaster_process off;\nworker_processes 1;\npid {d}/nginx.pid;\n"
                    f"error_log {d}/nginx-error.log;\nevents {{ worker_connections 4096; }}\n"
                    f"http {{\n access_log off;\n client_body_temp_path {d}/tmp;\n proxy_temp_path {d}/tmp;\n"
                    f" fastcgi_temp_path {d}/tmp;\n uwsgi_temp_path {d}/tmp;\n scgi_temp_path {d}/tmp;\n"
                    f" keepalive_requests 1000000;\n"
                    f" server {{ listen 127.0.0.1:{ng}; root {d}/html; }}\n}}\n")
        started.append(start(["/usr/sbin/nginx", "-e", f"{d}/nginx-error.log", "-p", d, "-c", f"{d}/nginx.conf"],
                             f"{d}/nginx.out", ng))
        url = f"http://127.0.0.1:{ng}/1k.bin"
        proxies = []
        hp = free_port()
        with open(os.path.join(d, "host.conf"), "w") as f:
            f.write(f"ListenAddress 127.0.0.1\nListenPort {hp}\nWorkerThreads 32\nServerConnPool on\n"
                    f"ServerIdleLimit 60\nMaxSocketPerServer 256\nAccessLog off\n")
        started.append(start([os.path.join(a.build, "host", "standin-proxy"), "--config", f"{d}/host.conf"], f"{d}/host.out", hp))
        proxies.append(("standin-proxy", hp))
        if shutil.which("squid"):
            sp = free_port()
            root = os.geteuid() == 0
            with open(os.path.join(d, "squid", "squid.conf"), "w") as f:
                f.write(f"http_port 127.0.0.1:{sp}\nacl loopback src 127.0.0.0/8\nhttp_access allow loopback\n"
                        f"http_access deny all\ncache deny all\ncache_mem 0 MB\nicp_port 0\nhtcp_port 0\n"
                        f"snmp_port 0\npid_filename {d}/squid/squid.pid\ncache_log {d}/squid/cache.log\n"
                        f"access_log none\ncache_store_log none\ncoredump_dir {d}/squid\nnetdb_filename none\n"
                        f"pinger_enable off\nshutdown_lifetime 0 seconds\n"
                        + ("cache_effective_user proxy\n" if root else ""))
            started.append(start(["squid", "-N", "-f", f"{d}/squid/squid.conf"], f"{d}/squid/out", sp))
            proxies.append(("squid", sp))
        if shutil.which("tinyproxy"):
            tp = free_port()
            with open(os.path.join(d, "tinyproxy", "tinyproxy.conf"), "w") as f:
                f.write(("User nobody\nGroup nogroup\n" if os.geteuid() == 0 else "") +
                        f"Port {tp}\nListen 127.0.0.1\nTimeout 30\nPidFile \"{d}/tinyproxy/pid\"\n"
                        f"LogFile \"{d}/tinyproxy/log\"\nLogLevel Warning\nMaxClients 1000\nAllow 127.0.0.1\n")
            started.append(start(["tinyproxy", "-d", "-c", f"{d}/tinyproxy/tinyproxy.conf"], f"{d}/tinyproxy/out", tp))
            proxies.append(("tinyproxy", tp))
        print(f"wrk, {a.connections} keep-alive connections, {a.seconds} s, 1 KB from nginx by absolute URL")
        for name, port in proxies:
            rps, lat, bad, sock = wrk(port, url, a.connections, a.seconds, d)
            print(f"  {name:10s} {rps:10.0f} requests/s  latency {lat:>8s}  non-2xx {bad}  socket errors: {sock}")
    finally:
        for p in reversed(started):
            stop(p)
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
