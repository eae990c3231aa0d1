#!/usr/bin/env python3
"""formsift with and without the message catalogue built in the tree:
English catalogue texts are the built-in ones, the German locale takes the
translated texts (usage screen and error line), and a missing catalogue
directory gives the built-in texts whatever the locale."""

import subprocess
import sys


def run(formsift, catalogue, lang, args):
    env = {"PATH": "/usr/bin:/bin", "ORVANE_MSG_DIR": catalogue}
    if lang is not None:
        env["LANG"] = lang
    p = subprocess.run([formsift] + args, env=env, capture_output=True, timeout=60)
    return p.returncode, p.stderr.decode("utf-8", "replace")


def main():
    formsift, catalogue = sys.argv[1], sys.argv[2]
    missing = "/nonexistent/orvane-msg"
    failures = []

    def check(what, cond):
        if not cond:
            failures.append(what)

    builtin = run(formsift, missing, "C", [])
    check("usage exits 1", builtin[0] == 1)
    check("built-in usage text", "Description:" in builtin[1])
    english = run(formsift, catalogue, "C", [])
    check("English catalogue gives the built-in usage screen", english == builtin)
    check("English catalogue without LANG", run(formsift, catalogue, None, []) == builtin)

    german = run(formsift, catalogue, "de_DE.UTF-8", [])
    check("German usage exits 1", german[0] == 1)
    check("German usage texts", "Beschreibung:" in german[1] and "Aufruf:" in german[1]
          and "formsift, Version 1.0" in german[1])
    check("untranslated lines stay English", "  -keywords" in german[1])

    status, err = run(formsift, catalogue, "de_DE.UTF-8", ["-k", "-f"])
    check("German error line", status == 1 and err.startswith(formsift + ": Fehler: Only one"))
    status, err = run(formsift, catalogue, "C", ["-k", "-f"])
    check("English error line", status == 1 and err.startswith(formsift + ": Error: Only one"))
    check("missing catalogue in German gives built-in texts",
          run(formsift, missing, "de_DE.UTF-8", []) == builtin)

    for f in failures:
        print("FAILED:", f)
    if failures:
        print("German output was:\n" + german[1])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
