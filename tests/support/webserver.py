"""A private lighttpd on 127.0.0.1 serving CGI scripts from a directory, for
the CGI tests and the demonstration. Started from a configuration in a
temporary directory and always stopped on exit from the `with` block."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Lighttpd:
    def __init__(self, docroot, path_dirs=(), workdir=None):
        self.docroot = os.path.abspath(docroot)
        self.path_dirs = [os.path.abspath(d) for d in path_dirs]
        self._own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="orv-httpd-")
        os.makedirs(self.workdir, exist_ok=True)
        self.port = None
        self.proc = None

    @staticmethod
    def available():
        return shutil.which("lighttpd") is not None

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def _config(self):
        cgi_path = ":".join(self.path_dirs + ["/usr/local/bin", "/usr/bin", "/bin"])
        tmp = os.path.join(self.workdir, "upload")
        os.makedirs(tmp, exist_ok=True)
        return "\n".join([
            'server.modules = ("mod_cgi", "mod_setenv")',
            'server.document-root = "%s"' % self.docroot,
            'server.bind = "127.0.0.1"',
            'server.port = %d' % self.port,
            'server.errorlog = "%s"' % os.path.join(self.workdir, "error.log"),
            'server.upload-dirs = ("%s")' % tmp,
            'server.max-request-size = 16384',
            'index-file.names = ("index.html")',
            'mimetype.assign = (".html" => "text/html; charset=utf-8")',
            'cgi.assign = (".cgi" => "")',
            'setenv.add-environment = ("PATH" => "%s", "LC_ALL" => "C")' % cgi_path,
            "",
        ])

    def __enter__(self):
        for _ in range(5):
            self.port = free_port()
            conf = os.path.join(self.workdir, "lighttpd.conf")
            with open(conf, "w") as f:
                f.write(self._config())
            self.proc = subprocess.Popen(["lighttpd", "-D", "-f", conf], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE, start_new_session=True)
            if self._wait_ready():
                return self
            self._stop()
        raise RuntimeError("lighttpd did not start: %s" % self.error_log())

    def _wait_ready(self):
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return True
            except OSError:
                time.sleep(0.05)
        return False

    def error_log(self):
        try:
            with open(os.path.join(self.workdir, "error.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _stop(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None

    def __exit__(self, *exc):
        self._stop()
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
        return False
