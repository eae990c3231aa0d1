"""Runs a built program for the black-box tests, natively or through the
cross emulator, with the argv[0] the test chooses."""

import argparse
import os
import shlex
import subprocess


def common_args(description):
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--formsift", required=True, help="path of the built formsift")
    ap.add_argument("--emulator", default="", help="emulator command line for a cross build")
    return ap


class Program:
    def __init__(self, path, emulator=""):
        self.path = os.path.abspath(path)
        self.emulator = shlex.split(emulator) if emulator else []

    def argv(self, argv0, args):
        """Command line that runs the program with the given argv[0]."""
        if self.emulator:
            return self.emulator + ["-0", argv0, self.path] + list(args)
        return [argv0] + list(args)

    def run(self, args, env=None, stdin=b"", argv0="formsift", stdout=None, timeout=60):
        cmd = self.argv(argv0, args)
        kw = dict(env=env, timeout=timeout, stderr=subprocess.PIPE)
        kw["executable"] = None if self.emulator else self.path
        if isinstance(stdin, (bytes, bytearray)):
            kw["input"] = bytes(stdin)
        else:
            kw["stdin"] = stdin
        kw["stdout"] = subprocess.PIPE if stdout is None else stdout
        return subprocess.run(cmd, **kw)

    def wrapper_script(self, path, argv0="formsift"):
        """Writes an executable shell script that runs the program with the
        script's arguments, for callers that need a plain command (CGI scripts,
        shells)."""
        cmd = self.argv(argv0, []) if self.emulator else [self.path]
        with open(path, "w") as f:
            f.write("#!/bin/sh\nexec %s \"$@\"\n" % " ".join(shlex.quote(a) for a in cmd))
        os.chmod(path, 0o755)
        return path
