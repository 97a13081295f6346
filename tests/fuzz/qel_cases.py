#!/usr/bin/env python3
"""Random Qel cases run through the golden driver, looking for crashes.

Each run writes files of random cases (objects with change handlers that
edit what they are told about, date and time arithmetic and fields, pairs,
points and tuples, file paths and file I/O inside the driver's temporary
folder) and runs them with qel-golden. Every case expects a result no
case gives, so the driver evaluates all of them; a failing case is the
normal outcome. A fault is anything else: an exit status other than 0 or 1,
a sanitizer report, a runtime-error report, or a run that does not end.

    tests/fuzz/qel_cases.py build/stress/tests/golden/qel-golden [--files N] [--seed S]
        [--mutate tests/golden/datatypes]

With --mutate the cases are those of the golden files under a folder (the
ones that touch nothing outside the temporary folder), each with a few
tokens replaced, dropped, repeated or swapped.

Best run against a GC-stress build with sanitizers on. Faulting files are
kept in the output folder (default /tmp/qel-cases) for replay.
"""
import argparse
import os
import random
import subprocess
import sys

INTS = ["0", "1", "-1", "2", "7", "12", "13", "15", "24", "59", "60", "100", "255", "256",
        "2147483647", "-2147483648", "65535", "-7", "1000000"]
FLOATS = ["0.0", "-0.0", "0.5", "1.5", "-2.5", "1e10", "1e300", "-1e300", "59.9999999",
          "3.7", "1e-10"]
TIMES = ["0:00", "1:00", "-1:30", "23:59:59", "24:00", "10:30:15.5", "-0:00:01", "100:00",
         "0:00:00.000001", "1:00:60", "-1:00", "2:00", "3:45", "15:45", "16:00"]
DATES = ["1-Jan-2000", "29-Feb-2020", "31-Dec-1969", "1-Jan-2000/10:00", "31-Jan-2021",
         "1-Jan-2000/0:30+1:00", "15-Jul-2025/23:59:59-3:30", "1-Jan-0001",
         "31-Dec-9999/23:59", "2021-W49-7", "2021-346", "1-Mar-2000/0:00+15:45",
         "1-Jan-2000/23:00-12:00", "5-Mar-2024/10:30+1:00", "1-Jan-16383", "28-Feb-1900"]
PAIRS = ["1x2", "0x0", "-1x-1", "2147483647x1", "-2147483648x-2147483648", "3x4", "100x-100"]
POINTS = ["(1, 2)", "(0.5, -1.5)", "(1, 2, 3)", "(1e30, 1)", "(0, 0, 0)", "(-1, 2.5, 1e-5)"]
TUPLES = ["1.2.3", "255.255.255", "0.0.0", "1.2.3.4.5.6.7.8.9.10.11.12", "10.20.30.40",
          "128.128.128"]
FIELDS_DATE = ["date", "year", "month", "day", "zone", "time", "hour", "minute", "second",
               "weekday", "yearday", "julian", "timezone", "week", "isoweek"]
FIELDS_TIME = ["hour", "minute", "second"]
OPS = ["+", "-", "*", "/", "//", "=", "<", ">", "<>", "==", "and", "or", "xor"]
ACTIONS1 = ["negate", "absolute", "reverse", "form", "mold", "random", "zero?", "even?",
            "odd?", "complement", "length?", "round", "to integer!", "to float!", "to time!",
            "to date!", "to pair!", "to tuple!", "to string!", "to block!", "make time!",
            "make date!", "type?", "to point2D!", "to point3D!", "sign?"]


def scalar(r):
    pool = r.choice([INTS, FLOATS, TIMES, DATES, PAIRS, POINTS, TUPLES, TIMES, DATES])
    return r.choice(pool)


def small_block(r, depth=0):
    n = r.randint(0, 6)
    items = []
    for _ in range(n):
        k = r.random()
        if k < 0.6:
            items.append(scalar(r))
        elif k < 0.75 and depth < 2:
            items.append(small_block(r, depth + 1))
        else:
            items.append(r.choice(['"x"', "'a", "none", "#F00", "#{0102}", "%f.txt"]))
    return "[" + " ".join(items) + "]"


def scalar_case(r):
    k = r.randint(0, 9)
    a, b = scalar(r), scalar(r)
    if k == 0:
        return f"{a} {r.choice(OPS)} {b}"
    if k == 1:
        return f"{r.choice(ACTIONS1)} {a}"
    if k == 2:
        f = r.choice(FIELDS_DATE)
        return f"d: {r.choice(DATES)} d/{f}: {r.choice([scalar(r), 'none'])} d"
    if k == 3:
        f = r.choice(FIELDS_TIME)
        return f"t: {r.choice(TIMES)} t/{f}: {scalar(r)} t"
    if k == 4:
        return f"{r.choice(['make', 'to'])} {r.choice(['date!', 'time!', 'pair!', 'tuple!', 'point2D!', 'point3D!'])} {small_block(r)}"
    if k == 5:
        return f"pick {a} {r.choice(INTS + PICK_WORDS)}"
    if k == 6:
        return f"d: {r.choice(DATES)} d/{r.choice(FIELDS_DATE)} + {r.choice(INTS + TIMES)}"
    if k == 7:
        return f"round/to {a} {b}"
    if k == 8:
        return f"x: {a} loop 3 [x: x {r.choice(['+', '-', '*'])} {b}] reduce [x mold x form x]"
    return f"reverse/part {a} {r.choice(INTS)}"


HANDLER_BODIES = [
    "clear t", "append t 1", "insert t \"z\"", "remove t", "take/last t",
    "if series? t [change t \"q\"]", "o/a: 99", "o/s: copy \"new\"", "o/b: none",
    "set o none", "o/b: [x y]", "if block? o/b [clear o/b]",
    "if all [series? t not tail? t] [poke t 1 #\"!\"]", "reverse t", "sort t", "trim t",
    "o/on-deep-change*: none", "o/on-change*: none", "print [w]", "1 / 0", "throw 1",
]


def object_case(r):
    guard = r.random() < 0.5
    def body():
        stmts = " ".join(r.choice(HANDLER_BODIES) for _ in range(r.randint(1, 3)))
        return f"if not busy [busy: true {stmts} busy: false]" if guard else stmts
    # busy is a global, so that setting it calls no handler.
    head = (f"busy: false o: make object! [a: 1 s: \"abcd\" b: [1 2 [3 4] \"x\"] "
            f"on-change*: func [w old new /local t] [t: new {body()}] "
            f"on-deep-change*: func [o2 w t act n i p] [{body()}]]")
    ops = ["o/a: 2", "o/s: \"xy\"", "append o/s \"e\"", "clear o/s", "remove o/b",
           "append o/b 5", "insert o/b [9 9]", "change o/b 7", "take o/s",
           "append pick o/b 3 6", "sort o/b", "reverse o/s", "o/b: copy/deep o/b",
           "trim o/s", "poke o/b 1 0", "remove/part o/s 10", "insert/dup o/s \"k\" 5",
           "p: copy o  p/a: 5", "p: make o [a: 3]  append p/s \"z\"",
           "set o [1 2 3]", "mold o", "o2: make o [] same? o2/b o/b",
           "modify o/s 'owned reduce [o 's]", "modify o/b 'owned none",
           "b: o/b  append/only b b", "mold/all o", "words-of o", "values-of o",
           "form o", "equal? o copy o", "copy/deep o"]
    lines = [head]
    for _ in range(r.randint(1, 5)):
        lines.append("attempt [" + r.choice(ops) + "]")
    lines.append("reduce [o/a o/s o/b]")
    return "\n".join(lines)


NAMES = ["f.txt", "a/b.txt", "d/", "d/e/", "x", "sp ace.txt", "caf\u00e9.txt", ".hidden",
         "d/../f.txt", "./f.txt", "a//b", "", "d/.", "f.txt/"]
READ_ONLY = ["%/", "%/proc/self/status", "%/dev/null", "%/tmp/", "%/no/such", "%.", "%..",
             "%/proc/self/fd/", "%/dev/zero"]


PICK_WORDS = ["'year", "'foo", "'x", "'hour", "'zone"]
OS_NAMES = ['"a\\\\b"', '"//x//"', '""', '"/"', '"a b/"', '"~/x"', '"C:\\\\x"']


def refinements(r, flags):
    """Some of the flag refinements, then /part and /seek with their values."""
    refs = [f for f in flags if r.random() < 0.3]
    args = []
    for name in ("part", "seek"):
        if r.random() < 0.3:
            refs.append(name)
            args.append(r.choice(INTS))
    return "".join("/" + f for f in refs), "".join(" " + v for v in args)


def path_value(r):
    name = r.choice(NAMES)
    return '%"' + name + '"' if " " in name else "%" + name if name else '%""'


def file_case(r):
    p, q = path_value(r), path_value(r)
    safe = ".." not in p and ".." not in q
    k = r.randint(0, 11)
    data = r.choice(['"abc^/def"', '#{00FF0D0A}', '"caf\u00e9^M^/x"', '["a" "b"]', '""',
                     'append/dup copy "" "x" 70000', '1.5', '[1 2]'])
    if k == 0:
        return f"{r.choice(['clean-path', 'split-path', 'dirize', 'to-local-file', 'to-qel-file', 'clean-path/only', 'suffix?', 'exists?', 'dir?'])} {p}"
    if k == 1:
        return "to-qel-file " + r.choice(OS_NAMES)
    if k == 2 and safe:
        refs, args = refinements(r, ["binary", "lines", "append"])
        return f"write{refs} {p} {data}{args}"
    if k == 3:
        refs, args = refinements(r, ["binary", "lines", "string"])
        return f"read{refs} {r.choice([p, r.choice(READ_ONLY)])}{args}"
    if k == 4:
        return f"query {r.choice([p, r.choice(READ_ONLY)])}"
    if k == 5:
        return f"size? {r.choice([p, r.choice(READ_ONLY)])}"
    if k == 6 and safe:
        return f"make-dir{r.choice(['', '/deep'])} {p}"
    if k == 7 and safe:
        return f"delete {p}"
    if k == 8 and safe:
        return f"rename {p} {q}"
    if k == 9 and safe:
        return f"attempt [change-dir {p}] d: what-dir change-dir home d"
    if k == 10:
        return f"split-path {p} clean-path append copy {p} {q}"
    return f"write/seek {p} \"zz\" {r.choice(INTS)}" if safe else f"dirize {p}"


# Words of functions that are safe to call with any arguments here: no
# waiting for input, no unbounded loops, no changes outside the temporary
# folder (writes take only the names of NAMES).
CALLS = """if unless either any all case switch try catch func function does has next do reduce
compose transcode apply get set copy bind object in construct value? extend unset equal?
strict-equal? lesser? greater-or-equal? same? not type? skip union intersect unique difference
exclude dehex enhex uppercase lowercase debase to-local-file enbase new-line new-line? as stats
get-env now size? negative? max min shift to-hex sine arctangent2 log-2 exp square-root as-pair
as-point2D as-point3D sign? zero? checksum compress decompress make random reflect to form mold
absolute add divide multiply negate power remainder round subtract even? odd? and~ complement
or~ xor~ append at back change clear last reverse tail find head head? index? insert length? move
pick poke put remove select sort swap tail? take trim modify query + - * / // ** = <> == < > <=
and or xor set-quiet shift-right shift-left shift-logical last-lf? exists? as-color as-ipv4
as-rgba count-chars pick-stack frame-index? any-function? series? cause-error also attempt
empty? probe quote first second third fifth spec-of body-of words-of values-of last? single?
to-binary to-block to-char to-file to-integer to-pair to-path to-string to-time to-tuple
to-word to-date to-point2D to-point3D alter offset? repend replace charset pad mod modulo sum
average load suffix? dir? to-qel-file dirize clean-path split-path normalize-dir extract
split rejoin to-UTC-date to-local-date""".split()
VALUES = ["1", "-1", "0", "3", "255", "2147483647", "-2147483648", "1.5", "-0.0", "1e300", "50%",
          '#"a"', '"abc"', '""', '"a^/b^@c"', "#{}", "#{00FF}", "[]", "[1 2 3]", "[a b]",
          "[1 + 2]", "[x: 1 y: 2]", "(1 2)", "'a", "'b", "a/b", "/a", "#a", "%f.txt", "%d/",
          "http://x.y", "<t>", "a@b.c", "1x2", "(1, 2)", "(1, 2, 3)", "1.2.3", "1:30",
          "1-Jan-2000/10:00+2:00", "true", "none", "integer!", "image!", "block!",
          "make object! [a: 1 s: \"x\"]", "make error! \"e\"", ":add", ":append",
          "func [a] [a]", "func [a b] [b]", "make typeset! [integer!]", "charset \"ab\"",
          "'year", "'hour", "'owned", "'spec", "'words", "o", "b", "s", "d"]


def call_case(r):
    setup = ('o: make object! [a: 1 b: [1 2] on-deep-change*: func [o w t a n i p] [] '
             'on-change*: func [w v n] []] b: [1 [2] "x"] s: copy "hello" d: 1-Jan-2000/10:00')
    expr = " ".join([r.choice(CALLS)] + [r.choice(VALUES) for _ in range(r.randint(0, 4))])
    if r.random() < 0.3:
        expr += " " + " ".join([r.choice(CALLS)] + [r.choice(VALUES) for _ in range(3)])
    return setup + "\n" + expr


UNSAFE = ("delete", "rename", "write", "make-dir", "change-dir", "flip-exe-flag", "call", "quit",
          "halt", "wait", "forever", "set-env", "save", "cd ", "do %", "do-file", "system/options/path",
          "while", "until", "loop", "repeat", "input", "ask")


def corpus_cases(folder):
    """Code of the golden cases under folder that touch nothing outside."""
    found = []
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if not name.endswith(".qel"):
                continue
            code = []
            for line in open(os.path.join(root, name), encoding="utf-8"):
                line = line.rstrip("\n")
                if line.startswith(";;"):
                    continue
                if line.startswith(";"):
                    text = "\n".join(code).strip()
                    if text and not any(u in text for u in UNSAFE):
                        found.append(text)
                    code = []
                else:
                    code.append(line)
    return found


def mutate(r, text):
    tokens = text.replace("\n", " \n ").split(" ")
    for _ in range(r.randint(1, 3)):
        if not tokens:
            break
        i = r.randrange(len(tokens))
        k = r.random()
        if k < 0.5:
            tokens[i] = scalar(r) if r.random() < 0.7 else r.choice(VALUES)
        elif k < 0.65:
            del tokens[i]
        elif k < 0.8:
            tokens.insert(i, tokens[i])
        elif k < 0.9 and i + 1 < len(tokens):
            tokens[i], tokens[i + 1] = tokens[i + 1], tokens[i]
        else:
            tokens[i] = r.choice(tokens)
    return " ".join(tokens).replace(" \n ", "\n")


def one_file(r, cases, corpus=None):
    out = [";; generated", "home: what-dir", ";== %never"]
    for _ in range(cases):
        if corpus:
            out.append(mutate(r, r.choice(corpus)))
            out.append(";== %never-matches")
            continue
        k = r.random()
        case = (scalar_case(r) if k < 0.3 else object_case(r) if k < 0.5
                else call_case(r) if k < 0.7 else file_case(r))
        out.append(case)
        out.append(";== %never-matches")
        if k >= 0.7:
            out.append("change-dir home")
            out.append(";== %never")
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("driver")
    ap.add_argument("--files", type=int, default=20)
    ap.add_argument("--cases", type=int, default=40)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--out", default="/tmp/qel-cases")
    ap.add_argument("--timeout", type=int, default=120)
    ap.add_argument("--mutate", metavar="FOLDER",
                    help="mutate the cases of the golden files under FOLDER instead")
    a = ap.parse_args()
    corpus = corpus_cases(a.mutate) if a.mutate else None
    seed = a.seed if a.seed is not None else random.randrange(1 << 30)
    os.makedirs(a.out, exist_ok=True)
    faults = 0
    for i in range(a.files):
        r = random.Random(seed + i)
        path = os.path.join(a.out, f"cases-{seed + i}.qel")
        with open(path, "w", encoding="utf-8") as f:
            f.write(one_file(r, a.cases, corpus))
        try:
            p = subprocess.run([a.driver, path], capture_output=True, timeout=a.timeout,
                               stdin=subprocess.DEVNULL)
            text = (p.stdout + p.stderr).decode("utf-8", "replace")
            bad = (p.returncode not in (0, 1) or "Sanitizer" in text or "runtime error:" in text
                   or "*** Runtime Error" in text)
        except subprocess.TimeoutExpired:
            bad, text = True, "timeout"
        if bad:
            faults += 1
            print(f"FAULT {path} (status {getattr(p, 'returncode', None)})")
            tail = text.strip().splitlines()[-12:]
            print("\n".join("    " + t for t in tail))
        else:
            os.remove(path)
    print(f"seed {seed}: {a.files} files, {faults} faulted")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
