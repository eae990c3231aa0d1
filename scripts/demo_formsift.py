#!/usr/bin/env python3
"""Demonstration: the example shell CGI scripts of examples/cgi use formsift
behind a private lighttpd on 127.0.0.1; curl plays the browser."""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from runprog import Program, common_args  # noqa: E402
from webserver import Lighttpd  # noqa: E402


def show(args):
    print("$ " + " ".join(shlex.quote(a) for a in args))
    r = subprocess.run(args, capture_output=True, text=True, timeout=60)
    print(r.stdout.rstrip("\n"))
    print()


def main():
    opts = common_args(__doc__).parse_args()
    prog = Program(opts.formsift, opts.emulator)
    with tempfile.TemporaryDirectory() as tmp:
        bindir = os.path.join(tmp, "bin")
        docroot = os.path.join(tmp, "htdocs")
        os.makedirs(bindir)
        shutil.copytree(os.path.join(ROOT, "examples", "cgi"), docroot)
        prog.wrapper_script(os.path.join(bindir, "formsift"))
        with Lighttpd(docroot, path_dirs=[bindir], workdir=os.path.join(tmp, "httpd")) as web:
            print("formsift: shell CGI scripts served by lighttpd at %s\n" % web.url(""))
            print("--- examples/cgi/order.cgi ---")
            print(open(os.path.join(docroot, "order.cgi")).read())
            show(["curl", "-s", web.url("order.cgi?name=Ann+O%27Neil&item=Funghi&topping=olives&topping=basil")])
            print("--- examples/cgi/feedback.cgi ---")
            print(open(os.path.join(docroot, "feedback.cgi")).read())
            show(["curl", "-s", "--data",
                  "name=Jos%C3%A9&comment=Great+pizza%21%0ASee+you+%24soon&rating=5&rating=4",
                  web.url("feedback.cgi")])
            show(["curl", "-s", web.url("search.cgi?wood+fired+oven")])
            print("--- the same decoding on the command line ---")
            env = dict(os.environ, QUERY_STRING="name=Ann+O%27Neil&tag=a&tag=b%26c")
            for args in (["-form"], ["-value", "tag"], ["-form", "-count"]):
                r = prog.run(args, env=env)
                print("$ QUERY_STRING='%s' formsift %s" % (env["QUERY_STRING"], " ".join(args)))
                print(r.stdout.decode(errors="replace").rstrip("\n"))
            print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
