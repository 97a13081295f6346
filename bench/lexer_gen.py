#!/usr/bin/env python3
"""Generates typical Qel source for the lexer benchmark, and the same data
as JSON for comparison with Python's json.loads.

    bench/lexer_gen.py OUT.qel OUT.json [megabytes]

The source is made of function definitions: set-words, words, paths,
refinements, integers, floats, strings, nested blocks and comments, in the
proportions of ordinary library code. The JSON holds the same values as
nested arrays (words as strings), so both parsers build the same number of
values from inputs of about the same size.
"""
import json
import random
import sys

WORDS = ["append", "either", "value", "series", "length?", "copy", "insert", "result",
         "foreach", "item", "block", "print", "form", "mold", "index", "none", "true",
         "false", "if", "unless", "while", "func", "return", "pick", "find", "select"]


def word(r):
    return r.choice(WORDS) + (str(r.randrange(10)) if r.random() < 0.2 else "")


def expr(r, depth, out):
    """Appends (text, json_value) pairs of one expression."""
    k = r.random()
    if k < 0.35:
        w = word(r)
        out.append((w, w))
    elif k < 0.45:
        w = word(r) + ":"
        out.append((w, w))
    elif k < 0.55:
        n = r.randrange(-1000, 100000)
        out.append((str(n), n))
    elif k < 0.60:
        f = round(r.uniform(-100, 100), 3)
        out.append((repr(f), f))
    elif k < 0.72:
        s = " ".join(r.choice(WORDS) for _ in range(r.randrange(1, 5)))
        out.append(('"' + s + '"', s))
    elif k < 0.80:
        p = word(r) + "/" + word(r)
        out.append((p, p))
    elif k < 0.84:
        ref = "/" + word(r)
        out.append((ref, ref))
    elif depth < 4:
        inner = []
        for _ in range(r.randrange(1, 8)):
            expr(r, depth + 1, inner)
        text = "[" + " ".join(t for t, _ in inner) + "]"
        out.append((text, [v for _, v in inner]))
    else:
        out.append(("none", None))


def main():
    qel_path, json_path = sys.argv[1], sys.argv[2]
    megabytes = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    r = random.Random(42)
    target = int(megabytes * 1024 * 1024)
    lines, values, size = [], [], 0
    while size < target:
        name = word(r)
        body = []
        for _ in range(r.randrange(3, 12)):
            expr(r, 1, body)
        line = "%s: func [arg /local tmp] [\n    ; %s\n    %s\n]" % (
            name, " ".join(r.choice(WORDS) for _ in range(4)), " ".join(t for t, _ in body))
        lines.append(line)
        values.append([name + ":", "func", ["arg", "/local", "tmp"], [v for _, v in body]])
        size += len(line) + 1
    with open(qel_path, "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(json_path, "w") as f:
        json.dump(values, f)


if __name__ == "__main__":
    main()
