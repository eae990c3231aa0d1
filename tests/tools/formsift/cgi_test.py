#!/usr/bin/env python3
"""formsift behind a real web server: lighttpd on 127.0.0.1 runs the example
shell CGI scripts, curl plays the browser, and the pages are checked."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support"))
from runprog import Program, common_args  # noqa: E402
from webserver import Lighttpd  # noqa: E402

EXAMPLES = os.path.join(HERE, "..", "..", "..", "examples", "cgi")
SKIP = 77


def curl(url, data=None, content_type="application/x-www-form-urlencoded"):
    cmd = ["curl", "-sS", "--max-time", "60", "-o", "-", "-w", "\n%{http_code}"]
    if data is not None:
        cmd += ["-H", "Content-Type: " + content_type, "--data-binary", "@-"]
    r = subprocess.run(cmd + [url], input=data, capture_output=True, timeout=90)
    body, _, code = r.stdout.rpartition(b"\n")
    return int(code or 0), body


def main():
    opts = common_args(__doc__).parse_args()
    if not Lighttpd.available() or shutil.which("curl") is None:
        print("SKIP: lighttpd or curl is not installed")
        return SKIP
    prog = Program(opts.formsift, opts.emulator)
    failures = []

    def expect(what, got, want):
        if got != want:
            failures.append("%s:\n    got      %r\n    expected %r" % (what, got, want))

    with tempfile.TemporaryDirectory() as tmp:
        bindir = os.path.join(tmp, "bin")
        docroot = os.path.join(tmp, "htdocs")
        os.makedirs(bindir)
        shutil.copytree(EXAMPLES, docroot)
        prog.wrapper_script(os.path.join(bindir, "formsift"))
        with Lighttpd(docroot, path_dirs=[bindir], workdir=os.path.join(tmp, "httpd")) as web:
            code, body = curl(web.url("order.cgi?name=Ann+O%27Neil&item=Quattro+Formaggi"
                                      "&topping=olives&topping=basil%20%26%20oil"))
            expect("GET order", (code, body),
                   (200, b"Order for Ann O'Neil: one Quattro Formaggi\n"
                         b"Toppings: olives, basil & oil\nFields: 3\n"))

            code, body = curl(web.url("order.cgi?name=Zo%C3%AB&item=Cr%C3%AApe"))
            expect("GET order UTF-8", (code, body),
                   (200, "Order for Zoë: one Crêpe\nToppings: none\nFields: 2\n".encode()))

            code, body = curl(web.url("search.cgi?caf%C3%A9+au+lait%2Bmilk"))
            expect("GET keywords", (code, body),
                   (200, "You searched for 3 words:\n- café\n- au\n- lait+milk\n".encode()))

            post = (b"name=Jos%C3%A9+%22Pepe%22&comment=It%27s+great%21%0D%0ASecond+line+%24HOME+%60id%60"
                    b"&rating=5&rating=4&rating=3")
            code, body = curl(web.url("feedback.cgi"), post)
            comment = "It's great!\r\nSecond line $HOME `id`"
            expect("POST feedback", (code, body),
                   (200, ('Thank you, José "Pepe".\nYour comment (%d bytes):\n%s\n'
                          "Ratings: 5+4+3\nSecond rating: 4\n" % (len(comment.encode()), comment)).encode()))

            raw = bytes(range(256)) * 4096 + b"tail\0"
            code, body = curl(web.url("upload.cgi"), raw, "application/octet-stream")
            expect("POST 1 MB raw", (code, body),
                   (200, b"bytes=%d\n%s\n" % (len(raw), hashlib.sha256(raw).hexdigest().encode())))

            big = bytes((i * 7 + 13) % 251 + 1 for i in range(700000))
            enc = "".join("%%%02X" % b for b in big[:100]).encode() + b"".join(
                bytes([b]) if chr(b).isalnum() else b"%%%02X" % b for b in big[100:])
            rows = b"&".join(b"r%d=%d" % (i, i) for i in range(5000))
            body_post = rows + b"&rows=5000&big=" + enc
            code, body = curl(web.url("bulk.cgi"), body_post)
            expect("POST %d bytes with -POST" % len(body_post), (code, body),
                   (200, b"rows=5000 big=%d\n%s\n" % (len(big), hashlib.sha256(big).hexdigest().encode())))
            if failures:
                print(web.error_log())

    for f in failures:
        print("FAIL", f)
    print("6 pages, %d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
