#!/usr/bin/env python3
"""Black-box table of formsift runs: (arguments, environment, standard input)
-> (exact standard output, exact standard error, exit status), plus how much
of standard input was consumed where that matters."""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
from runprog import Program, common_args  # noqa: E402


def usage_screen(myname):
    """The usage screen as the tool documents it, line by line."""
    def group(*lines):
        return "".join(line + " \n" for line in lines) + "\n"
    s = "\nformsift, version 1.0\n\n" + " \n\n"
    s += group("Description:",
               "  This is the formsift utility for CGI/1.0 scripts.",
               "  This parses QUERY_STRING environment variable (method GET) or",
               "  standard input (method POST) and can also be used to just read ",
               "  CONTENT_LENGTH characters from standard input.")
    s += "Usage:\n    " + myname + " <ActionFlag> [SupplementFlag] \n\n"
    s += group("  ActionFlag:")
    s += group("    -keywords".ljust(58),
               "    -form  [-sep <multivalue-separator>] -prefix <prefix> ",
               "    -value <fieldname> [-sep <multivalue-separator>]      ",
               "    -read".ljust(58),
               "    -init")
    s += group("    -POST                        If this flag is specified, data comes ",
               "                                 from stdin is directly decoded and    ",
               "                                 parsed into shell variables, not via  ",
               "                                 QUERY_STRING.")
    s += group("  SupplementFlag:")
    s += group("    -sep xx     with -form       Specify multi-value separator. Default",
               "                                 is \", \".   ",
               "                with -value      The same, but default is newline.")
    s += group("    -prefix xx  with -form       Set the shell variable prefix. Default",
               "                                 is FORM_ .",
               "                with -POST       The same.")
    s += group("    -count      with -keywords   Output the number of keywords.        ",
               "                with -form       Give the number of unique form fields ",
               "                                 (multiple values counted as one).     ",
               "                with -value xx   Give the number of multiple values of ",
               "                                 field xx.")
    s += group("    -<num>      e.g. -2".ljust(71),
               "                with -keyword    Give n'th keyword.                    ",
               "                with -form       Give all values of n'th field.        ",
               "                with -value xx   Give n'th of multi-values of field xx.")
    s += group("    -quiet                       Suppress error messages (non-zero exit",
               "                                 status still indicates error).")
    s += group("    Options have one-character equivalents:",
               "           -k -f -v -r -i -P -s -p -c -q")
    s += group("Exit statuses:",
               "  0        Success.",
               "  1        Illegal arguments.",
               "  2        Environment not set correctly.",
               "  3        Failed to get the information (no such field, QUERY_STRING",
               "           contains keywords when form field values requested, etc.")
    return s.encode()


USAGE = usage_screen("formsift")


def err(text):
    return b"formsift: Error: " + text.encode() + b"\n"


EXCLUSIVE = err("Only one of -k, -f, -v, -r, -i and -P can be specified at a time.")
NOTHING = err("Internal error -- seems like I have nothing to do??")
CL_BAD = err("CONTENT_LENGTH not defined or invalid for -read/-POST.")
BOTH_BAD = err("Both QUERY_STRING and CONTENT_LENGTH not defined or invalid.")
SHORT = err("Can't read CONTENT_LENGTH bytes from stdin.")
IS_FORM = err("QUERY_STRING/Body contains form request -- not search keywords.")
IS_KW = err("QUERY_STRING/Body contains search keywords -- not form request.")


def Q(qs, **more):
    env = {"QUERY_STRING": qs}
    env.update(more)
    return env


def C(body, **more):
    env = {"CONTENT_LENGTH": str(len(body))}
    env.update(more)
    return env


# (name, args, env, stdin, stdout, stderr, status[, bytes of stdin consumed])
CASES = [
    # usage screen and option matching
    ("no arguments", [], {}, b"", b"", USAGE, 1),
    ("unknown option", ["-x"], Q("a"), b"", b"", USAGE, 1),
    ("value option last", ["-value"], Q("a=1"), b"", b"", USAGE, 1),
    ("sep option last", ["-f", "-sep"], Q("a=1"), b"", b"", USAGE, 1),
    ("prefix option last", ["-f", "-p"], Q("a=1"), b"", b"", USAGE, 1),
    ("lone dash", ["-k", "-"], Q("a"), b"", b"", USAGE, 1),
    ("zero item", ["-k", "-0"], Q("a"), b"", b"", USAGE, 1),
    ("digits then letter", ["-k", "-3x"], Q("a"), b"", b"", USAGE, 1),
    ("no leading dash", ["-k", "3"], Q("a"), b"", b"", USAGE, 1),
    ("empty argument", ["-k", ""], Q("a"), b"", b"", USAGE, 1),
    ("usage wins over exclusion", ["-k", "-f", "-bogus"], {}, b"", b"", USAGE, 1),
    ("-k", ["-k"], Q("a+b"), b"", b"a\nb\n", b"", 0),
    ("-kw", ["-kw"], Q("a+b"), b"", b"a\nb\n", b"", 0),
    ("-key", ["-key"], Q("a+b"), b"", b"a\nb\n", b"", 0),
    ("-keywords", ["-keywords"], Q("a+b"), b"", b"a\nb\n", b"", 0),
    ("two characters decide", ["-kalamazoo"], Q("a+b"), b"", b"a\nb\n", b"", 0),
    ("-P is POST", ["-P"], C("a=1"), b"a=1", b"FORM_a='1'\n", b"", 0, 3),
    ("-p is prefix", ["-f", "-p", "X_"], Q("a=1"), b"", b"X_a='1'\n", b"", 0),
    ("-3 selects the third", ["-k", "-3"], Q("a+b+c+d"), b"", b"c\n", b"", 0),
    ("last -<num> wins", ["-k", "-4", "-2"], Q("a+b+c+d"), b"", b"b\n", b"", 0),
    ("last -sep wins", ["-f", "-s", ":", "-s", "/"], Q("x=1&x=2"), b"", b"FORM_x='1/2'\n", b"", 0),
    ("value argument may start with dash", ["-v", "-k"], Q("-k=1"), b"", b"1\n", b"", 0),
    ("huge item number saturates", ["-k", "-99999999999999999999"], Q("a"), b"", b"",
     err("Not so many keywords"), 3),
    ("item number just over 32 bits", ["-f", "-4294967297"], Q("a=1"), b"", b"",
     err("Not so many unique form fields"), 3),

    # mutual exclusion comes before the environment
    ("two actions", ["-k", "-f"], {}, b"", b"", EXCLUSIVE, 1),
    ("value and form", ["-f", "-v", "a"], Q("a=1"), b"", b"", EXCLUSIVE, 1),
    ("read and POST", ["-r", "-P"], {}, b"", b"", EXCLUSIVE, 1),
    ("init and read quiet", ["-i", "-r", "-q"], {}, b"", b"", b"", 1),
    ("same action twice", ["-f", "-form"], Q("a=1"), b"", b"FORM_a='1'\n", b"", 0),
    ("no action, no environment", ["-count"], {}, b"", b"", BOTH_BAD, 2),
    ("no action", ["-count"], Q("a"), b"", b"", NOTHING, 1),

    # CONTENT_LENGTH and QUERY_STRING
    ("CONTENT_LENGTH 0 with -read", ["-read"], {"CONTENT_LENGTH": "0"}, b"", b"", CL_BAD, 2),
    ("CONTENT_LENGTH 000 with -POST", ["-P"], {"CONTENT_LENGTH": "000"}, b"", b"", CL_BAD, 2),
    ("CONTENT_LENGTH 12abc with -read", ["-r"], {"CONTENT_LENGTH": "12abc"}, b"", b"", CL_BAD, 2),
    ("CONTENT_LENGTH negative with -read", ["-r"], {"CONTENT_LENGTH": "-5"}, b"", b"", CL_BAD, 2),
    ("CONTENT_LENGTH unset with -read", ["-r"], {"QUERY_STRING": "a=1"}, b"", b"", CL_BAD, 2),
    ("nothing set", ["-f"], {}, b"a=1", b"", BOTH_BAD, 2, 0),
    ("CONTENT_LENGTH 0 alone", ["-f"], {"CONTENT_LENGTH": "0"}, b"", b"", BOTH_BAD, 2),
    ("12abc reads 12 when the query is empty", ["-f"], Q("", CONTENT_LENGTH="12abc"),
     b"a=1&b=22&c=3&d=4", b"FORM_a='1'; FORM_b='22'; FORM_c='3'\n", b"", 0, 12),
    ("negative length with empty query", ["-k"], Q("", CONTENT_LENGTH="-5"), b"zzz", b"\n", b"", 0, 0),
    ("empty query, no length: stdin untouched", ["-k"], Q(""), b"a+b", b"\n", b"", 0, 0),
    ("query wins over stdin", ["-f"], Q("q=1", CONTENT_LENGTH="3"), b"s=2", b"FORM_q='1'\n", b"", 0, 0),
    ("POST ignores the query", ["-P"], Q("q=1", CONTENT_LENGTH="3"), b"s=2", b"FORM_s='2'\n", b"", 0, 3),
    ("stdin body", ["-f"], C("a=1&b=2"), b"a=1&b=2", b"FORM_a='1'; FORM_b='2'\n", b"", 0, 7),
    ("body is read exactly", ["-f"], {"CONTENT_LENGTH": "3"}, b"a=1&b=2", b"FORM_a='1'\n", b"", 0, 3),
    ("short body", ["-f"], {"CONTENT_LENGTH": "10"}, b"a=1", b"", SHORT, 2),
    ("short body quiet", ["-f", "-quiet"], {"CONTENT_LENGTH": "10"}, b"a=1", b"", b"", 2),
    ("unallocatable length", ["-r"], {"CONTENT_LENGTH": "99999999999999999999999"}, b"", b"",
     err("Can't allocate memory. (orgbuf)"), 2),

    # classification of the data
    ("keywords on a form", ["-keywords"], Q("a=b"), b"", b"", IS_FORM, 3),
    ("form on keywords", ["-form"], Q("a+b"), b"", b"", IS_KW, 3),
    ("POST on keywords", ["-POST"], C("a+b"), b"a+b", b"", IS_KW, 3),
    ("value on keywords", ["-value", "a"], Q("a+b"), b"", b"", IS_KW, 3),
    ("value on keywords quiet", ["-value", "a", "-q"], Q("a+b"), b"", b"", b"", 3),
    ("init on keywords", ["-init"], C("a+b"), b"a+b", b"QUERY_STRING='a+b'; export QUERY_STRING\n", b"", 0),
    ("read on keywords", ["-read"], C("a+b"), b"a+b", b"a+b", b"", 0),

    # read and the method
    ("read with GET", ["-read"], C("a=1", REQUEST_METHOD="GET"), b"a=1", b"",
     err("Won't read from stdin with method GET."), 3),
    ("read with HEAD", ["-read"], C("a=1", REQUEST_METHOD="HEAD"), b"a=1", b"",
     err("Won't read from stdin with method HEAD."), 3),
    ("read with get", ["-read"], C("a=1", REQUEST_METHOD="get"), b"a=1", b"a=1", b"", 0),
    ("read with POST", ["-read"], C("a=1", REQUEST_METHOD="POST"), b"a=1", b"a=1", b"", 0),
    ("read with GETX", ["-read"], C("a=1", REQUEST_METHOD="GETX"), b"a=1", b"a=1", b"", 0),
    ("short read wins over GET", ["-read"], {"CONTENT_LENGTH": "9", "REQUEST_METHOD": "GET"}, b"a=1",
     b"", SHORT, 2),
    ("read keeps NUL bytes", ["-read"], {"CONTENT_LENGTH": "6"}, b"a\0b=\0\xff", b"a\0b=\0\xff", b"", 0),
    ("read takes only the length", ["-read"], {"CONTENT_LENGTH": "2"}, b"abcdef", b"ab", b"", 0, 2),

    # keywords
    ("keywords decoded", ["-k"], Q("a+b%2Bc"), b"", b"a\nb+c\n", b"", 0),
    ("keywords counted", ["-k", "-count"], Q("a+b%2Bc"), b"", b"2\n", b"", 0),
    ("not so many keywords", ["-k", "-3"], Q("a+b%2Bc"), b"", b"", err("Not so many keywords"), 3),
    ("empty middle keyword", ["-k", "-c"], Q("a++b"), b"", b"3\n", b"", 0),
    ("empty keyword listed", ["-k"], Q("a++b"), b"", b"a\n\nb\n", b"", 0),
    ("keywords stop at NUL", ["-k"], C("a\0+b"), b"a\0+b", b"a\n", b"", 0),

    # form
    ("form example", ["-form"], Q("name=Ann+Lee&tag=a&tag=b%26c"), b"",
     b"FORM_name='Ann Lee'; FORM_tag='a, b&c'\n", b"", 0),
    ("form nth has no newline", ["-form", "-2"], Q("name=Ann+Lee&tag=a&tag=b%26c"), b"",
     b"FORM_tag='a, b&c'", b"", 0),
    ("form count", ["-form", "-count"], Q("name=Ann+Lee&tag=a&tag=b%26c"), b"", b"2\n", b"", 0),
    ("form separator", ["-form", "-sep", "|"], Q("x=1&x=2&x=3"), b"", b"FORM_x='1|2|3'\n", b"", 0),
    ("form empty separator", ["-form", "-sep", ""], Q("x=1&x=2&x=3"), b"", b"FORM_x='123'\n", b"", 0),
    ("form count of one field", ["-form", "-count"], Q("x=1&x=2&x=3"), b"", b"1\n", b"", 0),
    ("leading digit", ["-f"], Q("1st=a"), b"", b"FORM_1st='a'\n", b"", 0),
    ("plus in a name", ["-f"], Q("my+name=a"), b"", b"\n", b"", 0),
    ("dot in a name", ["-f"], Q("a.b=c"), b"", b"\n", b"", 0),
    ("invalid nth name", ["-f", "-1"], Q("my+name=a"), b"", b"",
     err("Invalid name found in the form field."), 3),
    ("invalid names counted", ["-f", "-c"], Q("my+name=a&a.b=c&ok=1"), b"", b"3\n", b"", 0),
    ("no separator before the first", ["-f"], Q("bad.name=1&good=2"), b"", b"FORM_good='2'\n", b"", 0),
    ("escaped name merges", ["-f"], Q("%41=1&A=2"), b"", b"FORM_A='1, 2'\n", b"", 0),
    ("names are case-sensitive", ["-f"], Q("a=1&A=2"), b"", b"FORM_a='1'; FORM_A='2'\n", b"", 0),
    ("empty prefix", ["-f", "-prefix", ""], Q("a=1"), b"", b"a='1'\n", b"", 0),
    ("segment without equals", ["-f", "-c"], Q("a&b=2"), b"", b"1\n", b"", 0),
    ("segment without equals listed", ["-f"], Q("a&b=2&c=3"), b"", b"FORM_c='3'\n", b"", 0),
    ("plus then escape", ["-f"], Q("a=x+y%2Bz"), b"", b"FORM_a='x y+z'\n", b"", 0),
    ("quote and newline", ["-f"], Q("a=it%27s%0Aok"), b"", b"FORM_a='it'\\''s\nok'\n", b"", 0),
    ("empty name and value", ["-f"], Q("=x&y="), b"", b"FORM_y=''\n", b"", 0),
    ("malformed escape kept", ["-f"], Q("a=%g0b&b=100%"), b"", b"FORM_a='%g0b'; FORM_b='100%'\n", b"", 0),
    ("not so many fields", ["-f", "-3"], Q("a=1&b=2"), b"", b"", err("Not so many unique form fields"), 3),
    ("UTF-8 value", ["-f"], Q("n=%C3%A9t%C3%A9"), b"", "FORM_n='été'\n".encode(), b"", 0),

    # value
    ("value nth with sep", ["-value", "a", "-sep", ",", "-2"], Q("a=1&a=2"), b"", b"2\n", b"", 0),
    ("value all with sep", ["-value", "a", "-sep", ","], Q("a=1&b=5&a=2"), b"", b"1,2\n", b"", 0),
    ("value all on lines", ["-value", "a"], Q("a=1&b=5&a=x+y"), b"", b"1\nx y\n", b"", 0),
    ("value beyond the last", ["-value", "a", "-3"], Q("a=1&a=2"), b"", b"", b"", 0),
    ("value beyond the last with sep", ["-value", "a", "-3", "-sep", ","], Q("a=1&a=2"), b"", b"\n", b"", 0),
    ("no such value", ["-value", "b"], Q("a=1&a=2"), b"", b"", err("No matching field name found."), 3),
    ("no such value counted", ["-value", "b", "-count"], Q("a=1&a=2"), b"", b"0\n", b"", 0),
    ("values counted", ["-value", "a", "-count"], Q("a=1&a=2&%61=3"), b"", b"3\n", b"", 0),
    ("value with empty name", ["-value", ""], Q("=x&y=z"), b"", b"x\n", b"", 0),

    # init
    ("init with query", ["-init"], Q("a=1"), b"", b"", b"", 0),
    ("init from stdin", ["-init"], C("it's a=1&b"), b"it's a=1&b",
     b"QUERY_STRING='it'\\''s a=1&b'; export QUERY_STRING\n", b"", 0),
    ("init without length", ["-init"], Q(""), b"", b"", err("CONTENT_LENGTH not defined for -init."), 2),
    ("init without anything", ["-init"], {}, b"", b"", BOTH_BAD, 2),
]


def check(prog, case, failures):
    name, args, env, stdin, out, errtext, status = case[:7]
    consumed = case[7] if len(case) > 7 else None
    # Built-in texts only, whatever catalogue the machine has installed.
    full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "ORVANE_MSG_DIR": "/nonexistent"}
    full_env.update(env)
    with tempfile.TemporaryFile() as f:
        f.write(stdin)
        f.seek(0)
        r = prog.run(args, env=full_env, stdin=f)
        offset = os.lseek(f.fileno(), 0, os.SEEK_CUR)
    problems = []
    if r.returncode != status:
        problems.append("status %d, expected %d" % (r.returncode, status))
    if r.stdout != out:
        problems.append("stdout\n    got      %s\n    expected %s" % (r.stdout.hex(" "), out.hex(" ")))
    if r.stderr != errtext:
        problems.append("stderr\n    got      %r\n    expected %r" % (r.stderr, errtext))
    if consumed is not None and offset != consumed:
        problems.append("consumed %d bytes of stdin, expected %d" % (offset, consumed))
    if problems:
        failures.append("%s (args %r, env %r):\n  %s" % (name, args, env, "\n  ".join(problems)))


def check_write_failures(prog, failures):
    """A write error on standard output must not end with status 0."""
    env = {"QUERY_STRING": "a=" + "x" * 100000}
    cant = err("Can't write to stdout.")
    with open("/dev/full", "wb") as full:
        r = prog.run(["-f"], env=env, stdout=full)
        if r.returncode != 2 or r.stderr != cant:
            failures.append("write to /dev/full: status %d, stderr %r" % (r.returncode, r.stderr))
        r = prog.run(["-f", "-q"], env=env, stdout=full)
        if r.returncode != 2 or r.stderr != b"":
            failures.append("quiet write to /dev/full: status %d, stderr %r" % (r.returncode, r.stderr))
    rd, wr = os.pipe()
    os.close(rd)
    try:
        r = prog.run(["-f"], env=env, stdout=wr)
    finally:
        os.close(wr)
    if r.returncode != 2 or r.stderr != cant:
        failures.append("write to a closed pipe: status %d, stderr %r" % (r.returncode, r.stderr))


def check_program_name(prog, failures):
    """The program name in the usage line and error lines is argv[0] as given."""
    r = prog.run([], env={"ORVANE_MSG_DIR": "/nonexistent"}, argv0="/usr/lib/cgi-bin/fs")
    if r.stderr != usage_screen("/usr/lib/cgi-bin/fs") or r.returncode != 1:
        failures.append("usage with another program name: %r" % r.stderr[:200])
    r = prog.run(["-k", "-f"], env={"ORVANE_MSG_DIR": "/nonexistent"}, argv0="./x")
    if r.stderr != b"./x: Error: Only one of -k, -f, -v, -r, -i and -P can be specified at a time.\n":
        failures.append("error line with another program name: %r" % r.stderr)


def main():
    opts = common_args(__doc__).parse_args()
    prog = Program(opts.formsift, opts.emulator)
    failures = []
    for case in CASES:
        check(prog, case, failures)
    check_write_failures(prog, failures)
    check_program_name(prog, failures)
    for f in failures:
        print("FAIL", f)
    checks = len(CASES) + 5
    print("%d checks, %d failed" % (checks, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
