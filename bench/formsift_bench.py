#!/usr/bin/env python3
"""formsift throughput and start-up, side by side with other ways of doing the
same job, in one run on this machine:

  (a) a 10 MB urlencoded body of about 100 000 fields turned into shell
      assignments: formsift -POST, python3 parse_qsl + shlex.quote, haserl
      (on a body it accepts, about 1.5 MB), and cat of the body as the floor;
      also one name repeated 100 000 times, and peak memory;
  (b) 1000 runs on a small query: formsift -form against /bin/true.

Usage: bench/formsift_bench.py --formsift build/native/tools/formsift/formsift
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PY_EQUIVALENT = r"""
import shlex, sys, urllib.parse
data = sys.stdin.buffer.read().decode("latin-1")
pairs = urllib.parse.parse_qsl(data, keep_blank_values=True, encoding="latin-1")
sys.stdout.write("; ".join("FORM_%s=%s" % (k, shlex.quote(v)) for k, v in pairs) + "\n")
"""

# Typical form text: plain words, blanks as "+", now and then an escaped
# character (about one word in ten).
PLAIN = ["the", "pizza", "was", "delivered", "quickly", "and", "tasted", "great", "order", "again",
         "Margherita", "with", "extra", "basil", "olives", "thin", "crust", "please", "ring", "twice"]
ESCAPED = ["caf%C3%A9", "it%27s", "line%0Abreak", "50%25", "a%26b", "%24HOME", "%E2%82%AC5", "x%3Dy",
           "%22quoted%22", "%2Fpath"]
# Escape-heavy text: every other word has escapes.
HEAVY = PLAIN[:10] + ESCAPED


def make_body(fields, value_bytes, repeated=False, seed=1, heavy=False):
    rng = random.Random(seed)
    words_plain = HEAVY if heavy else PLAIN * 9 + ESCAPED
    parts = []
    for i in range(fields):
        words = []
        n = 0
        while n < value_bytes:
            w = rng.choice(words_plain)
            words.append(w)
            n += len(w) + 1
        name = "a" if repeated else "field%d" % i
        parts.append(name + "=" + "+".join(words))
    return "&".join(parts).encode()


def timed(cmd, body_path, env, reps):
    best = []
    for _ in range(reps):
        with open(body_path, "rb") as f:
            t0 = time.perf_counter()
            r = subprocess.run(cmd, stdin=f, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
            best.append(time.perf_counter() - t0)
        if r.returncode != 0:
            raise RuntimeError("%s failed: %s" % (cmd[0], r.stderr[-500:]))
    return min(best), statistics.median(best)


def peak_rss_kb(cmd, body_path, env):
    with open(body_path, "rb") as f:
        r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdin=f, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, env=env)
    return int(r.stderr.decode().strip().splitlines()[-1])


def post_env(body_path):
    return dict(os.environ, CONTENT_LENGTH=str(os.path.getsize(body_path)), REQUEST_METHOD="POST",
                CONTENT_TYPE="application/x-www-form-urlencoded")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--formsift", required=True)
    ap.add_argument("--reps", type=int, default=5)
    opts = ap.parse_args()
    fs = os.path.abspath(opts.formsift)

    with tempfile.TemporaryDirectory() as tmp:
        body = os.path.join(tmp, "body")
        with open(body, "wb") as f:
            f.write(make_body(100000, 94))
        size = os.path.getsize(body)
        env = post_env(body)
        print("(a) body of %.1f MB, 100000 fields" % (size / 1e6))
        fs_min, fs_med = timed([fs, "-POST"], body, env, opts.reps)
        cat_min, cat_med = timed(["cat"], body, env, opts.reps)
        py_min, py_med = timed([sys.executable, "-c", PY_EQUIVALENT], body, env, max(1, opts.reps // 2))
        rss = peak_rss_kb([fs, "-POST"], body, env)
        print("  formsift -POST  %8.1f ms (median %.1f)" % (fs_min * 1e3, fs_med * 1e3))
        print("  cat             %8.1f ms (median %.1f)" % (cat_min * 1e3, cat_med * 1e3))
        print("  python3         %8.1f ms (median %.1f)" % (py_min * 1e3, py_med * 1e3))
        print("  formsift is %.1fx python3 (target >= 20x) and %.2fx cat (target <= 3x)"
              % (py_min / fs_min, fs_min / cat_min))
        print("  peak RSS %.1f MB = %.2fx the body (target < 3x)" % (rss / 1024, rss * 1024 / size))

        heavy = os.path.join(tmp, "heavy")
        with open(heavy, "wb") as f:
            f.write(make_body(100000, 94, heavy=True))
        hv_min, _ = timed([fs, "-POST"], heavy, post_env(heavy), opts.reps)
        hc_min, _ = timed(["cat"], heavy, post_env(heavy), opts.reps)
        print("  escape-heavy body (%.1f MB, half the words escaped): formsift %.1f ms, cat %.1f ms (%.2fx)"
              % (os.path.getsize(heavy) / 1e6, hv_min * 1e3, hc_min * 1e3, hv_min / hc_min))

        haserl = shutil.which("haserl")
        if haserl:
            small = os.path.join(tmp, "small")
            with open(small, "wb") as f:
                f.write(make_body(15000, 94, seed=2))
            template = os.path.join(tmp, "t.haserl")
            with open(template, "w") as f:
                f.write("#!" + haserl + "\n<% true %>\n")
            senv = post_env(small)
            ssize = os.path.getsize(small)
            try:
                h_min, _ = timed([haserl, template], small, senv, opts.reps)
                f_min, _ = timed([fs, "-POST"], small, senv, opts.reps)
                print("  haserl on a %.1f MB body of 15000 fields: %.1f ms; formsift %.1f ms (%.1fx)"
                      % (ssize / 1e6, h_min * 1e3, f_min * 1e3, h_min / f_min))
            except RuntimeError as e:
                print("  haserl: could not be driven: %s" % e)
        else:
            print("  haserl: not installed")

        rep = os.path.join(tmp, "repeated")
        with open(rep, "wb") as f:
            f.write(make_body(100000, 94, repeated=True))
        r_min, _ = timed([fs, "-POST"], rep, post_env(rep), opts.reps)
        half = os.path.join(tmp, "repeated_half")
        with open(half, "wb") as f:
            f.write(make_body(50000, 94, repeated=True))
        h_min, _ = timed([fs, "-POST"], half, post_env(half), opts.reps)
        print("  one name 100000 times (%.1f MB): %.1f ms; 50000 times: %.1f ms (ratio %.2f, linear is 2)"
              % (os.path.getsize(rep) / 1e6, r_min * 1e3, h_min * 1e3, r_min / h_min))

    print("(b) 1000 runs on a small query")
    qenv = dict(os.environ, QUERY_STRING="name=Ann+Lee&tag=a&tag=b%26c", REQUEST_METHOD="GET")
    if shutil.which("hyperfine"):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "h.json")
            subprocess.run(["hyperfine", "-N", "--runs", "1000", "--warmup", "50", "--export-json", out,
                            "%s -form" % fs, "/bin/true"], env=qenv, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            import json
            res = json.load(open(out))["results"]
            fsm, tm = res[0]["mean"], res[1]["mean"]
    else:
        def loop(cmd):
            t0 = time.perf_counter()
            for _ in range(1000):
                subprocess.run(cmd, env=qenv, stdout=subprocess.DEVNULL)
            return (time.perf_counter() - t0) / 1000
        fsm, tm = loop([fs, "-form"]), loop(["/bin/true"])
    print("  formsift -form %.3f ms, /bin/true %.3f ms per run: %.2fx (target <= 1.5x)"
          % (fsm * 1e3, tm * 1e3, fsm / tm))
    return 0


if __name__ == "__main__":
    sys.exit(main())
