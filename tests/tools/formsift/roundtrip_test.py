#!/usr/bin/env python3
"""Shell round trips: eval the -form and -init output of formsift in dash and
in bash and check that the variables hold exactly the decoded bytes."""

import os
import random
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
from runprog import Program, common_args  # noqa: E402

TRICKY = [
    b"", b"'", b"''", b"it's", b"a'b'c'", b"\n", b"line1\nline2\n\n", b"$HOME", b"${x:-y}", b"$(id)",
    b"`id`", b"\\", b"\\'", b"'\\", b"back\\slash\\\\", b"\"dq\"", b"; rm -rf /", b"a&b=c", b"100%",
    b"\t tab and  spaces ", b"\xc3\xa9t\xc3\xa9", b"\xff\xfe\x80\x81", b"*?[]{}~#!", b"\x01\x1f\x7f",
    b"-n", b"-e \\n",
]


def pct(data):
    """Form-encodes bytes: everything but unreserved characters escaped, blanks as '+'."""
    out = []
    for b in data:
        c = chr(b)
        if c.isascii() and (c.isalnum() or c in "-_.~"):
            out.append(c)
        elif c == " ":
            out.append("+")
        else:
            out.append("%%%02X" % b)
    return "".join(out)


def values():
    rng = random.Random(20261209)
    vals = list(TRICKY)
    for _ in range(40):
        vals.append(bytes(rng.choice(range(1, 256)) for _ in range(rng.randint(1, 30))))
    return vals


def run_shell(shell, script, env, stdin=b""):
    return subprocess.run([shell, "-c", script], env=env, input=stdin, capture_output=True, timeout=120)


def dump_script(names, outdir):
    return "".join('printf %%s "$FORM_%s" > %s/%s\n' % (n, outdir, n) for n in names)


def check_form(shell, fs_dir, vals, failures):
    names = ["v%d" % i for i in range(len(vals))]
    query = "&".join("%s=%s" % (n, pct(v)) for n, v in zip(names, vals))
    with tempfile.TemporaryDirectory() as out:
        env = {"PATH": fs_dir + ":/usr/bin:/bin", "LC_ALL": "C", "QUERY_STRING": query}
        r = run_shell(shell, 'eval "$(formsift -form)" || exit 9\n' + dump_script(names, out), env)
        if r.returncode != 0:
            failures.append("%s -form: status %d %r" % (shell, r.returncode, r.stderr))
            return
        for n, v in zip(names, vals):
            got = open(os.path.join(out, n), "rb").read()
            if got != v:
                failures.append("%s -form %s: got %r expected %r" % (shell, n, got, v))


def check_init(shell, fs_dir, vals, failures):
    """The POST pattern: -init once, then several calls on QUERY_STRING."""
    names = ["v%d" % i for i in range(len(vals))]
    body = "&".join("%s=%s" % (n, pct(v)) for n, v in zip(names, vals)).encode()
    with tempfile.TemporaryDirectory() as out:
        env = {"PATH": fs_dir + ":/usr/bin:/bin", "LC_ALL": "C", "CONTENT_LENGTH": str(len(body)),
               "REQUEST_METHOD": "POST"}
        script = ('eval "$(formsift -init)" || exit 9\n'
                  'printf %%s "$QUERY_STRING" > %s/qs\n'
                  'formsift -value v2 > %s/value || exit 8\n'
                  'formsift -form -count > %s/count || exit 7\n'
                  'eval "$(formsift -form)" || exit 6\n' % (out, out, out)) + dump_script(names, out)
        r = run_shell(shell, script, env, stdin=body)
        if r.returncode != 0:
            failures.append("%s -init: status %d %r" % (shell, r.returncode, r.stderr))
            return
        if open(os.path.join(out, "qs"), "rb").read() != body:
            failures.append("%s -init: QUERY_STRING differs from the body" % shell)
        if open(os.path.join(out, "value"), "rb").read() != vals[2] + b"\n":
            failures.append("%s -init then -value: wrong value" % shell)
        if open(os.path.join(out, "count"), "rb").read() != b"%d\n" % len(vals):
            failures.append("%s -init then -count: wrong count" % shell)
        for n, v in zip(names, vals):
            if open(os.path.join(out, n), "rb").read() != v:
                failures.append("%s -init then -form: %s differs" % (shell, n))


def main():
    opts = common_args(__doc__).parse_args()
    prog = Program(opts.formsift, opts.emulator)
    vals = values()
    failures = []
    with tempfile.TemporaryDirectory() as fs_dir:
        prog.wrapper_script(os.path.join(fs_dir, "formsift"))
        for shell in ("dash", "bash"):
            check_form(shell, fs_dir, vals, failures)
            check_init(shell, fs_dir, vals, failures)
    for f in failures:
        print("FAIL", f)
    print("%d values, 2 shells, %d failures" % (len(vals), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
