#!/usr/bin/env python3
"""Benchmark of the connection manager and the origin pool (a script, not a
test; one run prints every figure):

- memory held per idle keep-alive client connection: resident memory of
  standin-proxy before and after 10 000 idle connections, next to nginx holding
  the same 10 000 in the same run;
- dispatch latency: p50 and p99 from a request on one of 10 000 idle
  connections (picked at random, one request at a time) to its whole
  response, for standin-proxy with 1, 4 and 16 select threads and for nginx;
- origin pool: take-and-park pairs per second over 256 servers from 1, 4 and
  16 threads against one mutex over an unordered multimap (htconn_bench).

    bench/connmgr_bench.py --build build/dev [--connections 10000] [--samples 3000]

Needs nginx (nginx-light); everything runs on loopback from private
configurations in a temporary directory, and every program started is
stopped by its pid.
"""

import argparse
import os
import random
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# An absolute URL: the host answers it through its example service
# plug-in, nginx (which takes the absolute form too) from its location.
GET = b"GET http://127.0.0.1:1/hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
IP_BIND_ADDRESS_NO_PORT = 24


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, seconds=10):
    until = time.time() + seconds
    while time.time() < until:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def open_idle(port, n):
    conns = []
    for i in range(n):
        s = socket.socket()
        s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
        s.bind((f"127.0.0.{2 + i % 50}", 0))
        s.connect(("127.0.0.1", port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conns.append(s)
    return conns


def read_response(s):
    data = b""
    while True:
        end = data.find(b"\r\n\r\n")
        if end >= 0:
            head = data[:end].decode("latin-1").lower()
            length = 0
            for line in head.split("\r\n"):
                if line.startswith("content-length:"):
                    length = int(line.split(":", 1)[1])
            if len(data) >= end + 4 + length:
                return data
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed")
        data += chunk


def latency(conns, samples):
    times = []
    for _ in range(samples):
        s = random.choice(conns)
        t0 = time.perf_counter_ns()
        s.sendall(GET)
        read_response(s)
        times.append(time.perf_counter_ns() - t0)
    times.sort()
    return times[len(times) // 2] / 1000.0, times[len(times) * 99 // 100] / 1000.0


def start(argv, log, port):
    """Starts a peer with its output in `log`; returns once it listens on `port`."""
    p = subprocess.Popen(argv, stdout=open(log, "wb"), stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    if not wait_port(port):
        p.kill()
        p.wait()
        raise SystemExit(f"{argv[0]} did not start (see {log})")
    return p


def stop(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class Host:
    def __init__(self, build, tmp, threads, sessions):
        self.dir = tempfile.mkdtemp(dir=tmp)
        conf = os.path.join(self.dir, "host.conf")
        with open(conf, "w") as f:
            f.write(f"ListenAddress 127.0.0.1\nListenPort 0\nSelectThreads {threads}\n"
                    f"WorkerThreads 16\nSessions {sessions}\nPersistTimeout 600\nAccessLog off\n"
                    f"ServicePlugin http://* {os.path.join(build, 'host', 'hello_service.so')} hello_service\n")
        self.out = open(os.path.join(self.dir, "out"), "w+")
        self.proc = subprocess.Popen([os.path.join(build, "host", "standin-proxy"), "--config", conf],
                                     stdout=self.out, stderr=subprocess.STDOUT)
        self.port = 0
        for _ in range(500):
            self.out.seek(0)
            text = self.out.read()
            if "listening on 127.0.0.1:" in text and text.endswith("\n"):
                self.port = int(text.split("listening on 127.0.0.1:")[1].split()[0])
                break
            time.sleep(0.02)
        if not self.port:
            raise RuntimeError("standin-proxy did not start")

    def sessions(self):
        self.out.seek(0, os.SEEK_END)
        before = self.out.tell()
        os.kill(self.proc.pid, signal.SIGUSR1)
        for _ in range(500):
            self.out.seek(before)
            line = self.out.read()
            if line.endswith("\n") and "sessions=" in line:
                return int(line.split("sessions=")[1].split()[0])
            time.sleep(0.01)
        return -1

    def stop(self):
        stop(self.proc)


class Nginx:
    def __init__(self, tmp, connections):
        self.dir = tempfile.mkdtemp(dir=tmp)
        d = self.dir
        self.port = free_port()
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(f"daemon off;\nmaster_process off;\npid {d}/nginx.pid;\nerror_log {d}/error.log;\n"
                    f"worker_rlimit_nofile {connections + 8000};\n"
                    # nginx reuses idle connections when fewer than about
                    # 1.1 x its slots are free: room enough to keep all.
                    f"events {{ worker_connections {connections + 5000}; }}\n"
                    f"http {{\n access_log off;\n keepalive_timeout 600;\n keepalive_requests 1000000;\n"
                    f" client_body_temp_path {d}/t1;\n proxy_temp_path {d}/t2;\n fastcgi_temp_path {d}/t3;\n"
                    f" uwsgi_temp_path {d}/t4;\n scgi_temp_path {d}/t5;\n"
                    f" server {{ listen 127.0.0.1:{self.port}; location / {{ return 200 \"ok\\n\"; }} }}\n}}\n")
        self.proc = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-p", d, "-c",
                                      os.path.join(d, "nginx.conf"), "-e", os.path.join(d, "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port):
            raise RuntimeError("nginx did not start")

    def stop(self):
        stop(self.proc)


def close_all(conns):
    for s in conns:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--connections", type=int, default=10000)
    ap.add_argument("--samples", type=int, default=3000)
    args = ap.parse_args()
    n = args.connections
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < n + 600:
        sys.exit(f"needs {n + 600} descriptors, the limit is {hard}")
    random.seed(7)
    tmp = tempfile.mkdtemp(prefix="connbench-")
    try:
        print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
        print(f"idle keep-alive connections: {n}")
        # Sessions for the 10 000 and some to spare (808 bytes each on 64 bits,
        # 404 on the 32-bit target, allocated at start).
        sessions = n + 1000
        for threads in (4, 1, 16):
            host = Host(args.build, tmp, threads, sessions)
            try:
                time.sleep(0.3)
                before = rss_kib(host.proc.pid)
                conns = open_idle(host.port, n)
                for _ in range(500):
                    if host.sessions() >= n:
                        break
                    time.sleep(0.02)
                latency(conns[:10], 50)  # warm the workers
                after = rss_kib(host.proc.pid)
                p50, p99 = latency(conns, args.samples)
                per = (after - before) * 1024.0 / n
                print(f"standin-proxy, {threads:2d} select threads: {per:7.0f} B grown per idle connection "
                      f"({per + 101 * 8:5.0f} B with its session record), "
                      f"dispatch latency p50 {p50:7.1f} us, p99 {p99:8.1f} us")
                close_all(conns)
            finally:
                host.stop()
        ngx = Nginx(tmp, n)
        try:
            time.sleep(0.3)
            before = rss_kib(ngx.proc.pid)
            conns = open_idle(ngx.port, n)
            latency(conns[:10], 50)
            time.sleep(0.3)
            after = rss_kib(ngx.proc.pid)
            p50, p99 = latency(conns, args.samples)
            per = (after - before) * 1024.0 / n
            print(f"nginx:                     {per:7.0f} B grown per idle connection, "
                  f"dispatch latency p50 {p50:7.1f} us, p99 {p99:8.1f} us")
            close_all(conns)
        finally:
            ngx.stop()
        bench = os.path.join(args.build, "bench", "htconn_bench")
        if os.path.exists(bench):
            print("origin pool, take-and-park pairs over 256 servers:")
            out = subprocess.run([bench, "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                                 capture_output=True, text=True).stdout
            for line in out.splitlines():
                if "_median" in line:
                    name = line.split()[0].replace("_median", "").replace("/real_time", "")
                    rate = line.split("items_per_second=")[1]
                    print(f"  {name:42s} {rate} pairs/s")
        print(f"load average after: {os.getloadavg()[0]:.2f}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
