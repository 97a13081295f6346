#!/usr/bin/env python3
"""Random Qel programs run as scripts, looking for crashes and for builds that disagree.

Each program sets up a handful of variables (blocks, strings, a binary, a
map, a hash, an object, a reactor, functions, an error) from random
literals, then runs random statements over them: series actions with
random arguments and refinements, string functions, map and object
access, calls of small functions, errors raised and caught, parse with
actions that edit the input, sorts with compare functions that allocate,
raise or answer oddly, foreach, remove-each, forall and collect with
bodies that edit the series they walk, reactions, and round trips (load
of mold, load of mold/all, save and load, compress and decompress,
enbase and debase). Every statement runs inside try, and its result is
printed molded (flat, cut at 200 characters), so the output of a program
is a deterministic transcript.

    tests/fuzz/qel_programs.py build/stress/qel [--compare build/release/qel]
        [--programs N] [--statements N] [--seed S] [--out /tmp/qel-programs]

A fault is a run of the first program (best a GC-stress build with
sanitizers on) that ends with a status other than 0, prints a sanitizer,
runtime-error or assertion report, or does not end in time. With
--compare, each program also runs in the second program (a release build)
and the two transcripts must be the same line for line; any difference is
a fault too (lines naming a stack overflow or a too-deep nesting are left
out of the comparison, as the builds' stacks differ). Programs that fault
are kept in the output folder with both transcripts for replay; the
others are deleted. --keep keeps them all.
"""
import argparse
import os
import pty
import random
import re
import select
import signal
import subprocess
import sys
import termios
import time

# ---------------------------------------------------------------- literals

INTS = ["0", "1", "-1", "2", "3", "5", "7", "10", "100", "-3", "2147483647", "-2147483648",
        "1000000"]
FLOATS = ["0.0", "-0.0", "0.5", "1.5", "-2.5", "1e10", "1e300", "3.14", "1e-10"]
CHARS = ['#"a"', '#"Z"', '#" "', '#"^/"', '#"^@"', '#"é"', '#"€"', '#"😀"']
STRINGS = ['""', '"a"', '"abc"', '"Hello World"', '"a,b,,c"', '"  pad  "', '"line1^/line2"',
           '"café"', '"€uro"', '"😀x😀"', '"ABCabc"', '"a^@b"', '"x y z"', '"12345"',
           '"{braces}"', '"a;b"', '"aaaa"']
WORDS = ["a", "b", "c", "x", "y", "key", "foo", "self", "none", "true"]
MISC = ["none", "true", "false", "#{}", "#{00FF10}", "#{DEADBEEF}", "%f.txt", "%d/x",
        "http://a.b/c", "a@b.c", "<tag>", "#issue", "1x2", "3x-4", "(1, 2)", "(1.5, 2, 3)",
        "1.2.3", "10:30", "-1:00:05", "1-Jan-2000", "15-Mar-2024/10:30:00+2:00", "50%",
        "$1.50", "-$3", "integer!", "string!", "block!", "any-string!", "'lit", "/ref",
        ":get", "a/b/c", "'a/b", "make typeset! [integer! string!]", "charset \"abc\""]

SERIES_VARS = ["b1", "b2", "s1", "s2", "bin", "h1", "pth"]
BLOCK_VARS = ["b1", "b2", "h1"]
STRING_VARS = ["s1", "s2"]
ALL_VARS = SERIES_VARS + ["m1", "o1", "r1", "f1", "f2", "e1", "n1", "d1"]

SPLITTERS = ['","', '#" "', '2', '["," ";"]', '""', 'charset "ab"']
MODIFY_FIELDS = ["'owned", "'lock", "'x"]
COMPRESS_METHODS = ["'zlib", "'deflate", "'gzip", "'lzma"]
OPERATORS = ["=", "==", "<>", "<", ">", "<=", ">=", "+", "-", "*", "/", "//", "and", "or", "xor",
             "%", "**"]
# Not the series walked: extracting into it lengthens it as fast as the walk goes.
EXTRACT_TARGETS = ["out", "copy []", 'copy ""']
MODIFY_OWNER = "reduce [o1 'a]"
CHECKSUMS = ["'md5", "'sha1", "'crc32", "'tcp", "'adler32", "'sha256", "'hash"]
WILDCARDS = ['"a*"', '"?b"', '"*"', '""']
IN_WORDS = ["'a", "'zz", "'self"]
DO_ARGS = ["[f1 1]", "b1", "b2", "copy b1", '"1 + 2"', "[f2 1 2]", "next b1"]
ERROR_SPECS = ['"boom"', "[type: 'math id: 'zero-divide]", "[type: 'user id: 'message arg1: \"m\"]",
               "[type: 'script id: 'no-value arg1: 'q]", "42", "[type: 'nope id: 'nope]", "[]",
               "[code: 400]"]
THROW_NAMES = ["'x", "'y", "[x y]"]
FAILING = ["1 / 0", "do e1", "undefined-word", "f1", 'make integer! "x"', "append 1 2",
           "first []", 'to-integer "x"']
GET_ARGS = ["'a", "'b1", "'nothing-here", "'o1", "in o1 'a", "'r1"]


# Functions that are safe to call with any arguments here: no waiting, no
# input, no files or folders touched, no words of the program set or unset.
ANY_CALLS = """skip any to not quote if case copy remove insert change collect pick return all throw
continue unless either foreach forall remove-each switch try exit catch func function does has next
do expand reduce compose transcode scan apply get bind context in object construct value? extend
context? equal? not-equal? strict-equal? lesser? greater? lesser-or-equal? greater-or-equal?
same? type? union intersect unique difference exclude complement? print prin dehex enhex uppercase
lowercase debase enbase new-line new-line? as negative? positive? max min shift to-hex sine cosine
tangent arcsine arccosine arctangent arctangent2 NaN? log-2 log-10 log-e exp square-root as-pair
as-point2D as-point3D as-money sign? zero? checksum compress decompress parse make reflect form
mold absolute add divide multiply negate power remainder round subtract even? odd? and~ complement
or~ xor~ append at back clear reverse tail find last head head? index? length? move poke put select
sort swap tail? take trim modify open? + - * / % ** = <> == =? < > <= >= and or xor cause-error
also attempt comment error? empty? none? ?? path? probe first second third fourth fifth spec-of
body-of words-of class-of values-of last? single? keys-of to-bitset to-binary to-block to-char
to-email to-file to-float to-get-path to-get-word to-hash to-integer to-issue to-lit-path
to-lit-word to-logic to-map to-none to-pair to-paren to-path to-percent to-refinement to-set-path
to-set-word to-string to-tag to-time to-typeset to-tuple to-unset to-url to-word to-image to-date
to-money to-ref to-point2D to-point3D alter offset? repend any-block? replace any-list? binary?
any-string? block? bitset? tag? series? any-function? charset object? word? math // pad
string? mod modulo cos sin tan acos asin atan atan2 sqrt to-UTC-date to-local-date
rejoin sum average load url? file? suffix? dir? dirize split-path extract vector? split
integer? shift-left reactor deep-reactor set-word? no-react stop-reactor clear-reactions relate
any-word? react react? function? decode-url encode-url refinement? get-word? paren? op? set-path?
unset? ref? typeset? any-path? datatype? logic? load-json shift-right float? percent? map? to-json
to-csv load-csv hex-to-rgb as-color as-rgba within? overlap? distance? pair? handle? image? tuple?
number? point2D? hash? planar? issue? ellipsize-at char? any-object? a-an lit-word? help-string
date? last-lf? as-ipv4 count-chars email? get-path? lit-path? time? money? point3D? action?
native? immediate? scalar? all-word? any-point?""".split()


class Gen:
    def __init__(self, r, max_depth=20000, only=None):
        self.r = r
        self.max_depth = max_depth
        self.only = only

    def pick(self, seq):
        return self.r.choice(seq)

    def chance(self, p):
        return self.r.random() < p

    # ---- values

    def int_(self):
        if self.chance(0.75):
            return str(self.r.randint(-3, 8))
        return self.pick(INTS)

    def scalar(self):
        pool = self.pick([INTS, FLOATS, CHARS, STRINGS, WORDS, MISC, INTS, STRINGS])
        w = self.pick(pool)
        if pool is WORDS:
            w = self.pick(["'", "", ":", ""]) + w if w not in ("none", "true") else w
            if w[0] not in "':":
                w = "'" + w
        return w

    def block_lit(self, depth=0):
        n = self.r.randint(0, 6)
        items = []
        for _ in range(n):
            k = self.r.random()
            if k < 0.55:
                items.append(self.scalar().lstrip("'") if self.chance(0.5) else self.scalar())
            elif k < 0.7 and depth < 3:
                items.append(self.block_lit(depth + 1))
            elif k < 0.8 and depth < 3:
                items.append("(" + " ".join(self.scalar() for _ in range(self.r.randint(0, 3))) + ")")
            else:
                # No none: or true: (do of such a block would change those words for
                # the rest of the program, the checks included).
                w = self.pick(WORDS)
                items.append(w + ("" if w in ("none", "true", "self") else self.pick(["", ":", ""])))
        return "[" + " ".join(items) + "]"

    def string_lit(self):
        if self.chance(0.2):
            return "{" + "".join(self.pick(["a", "b", " ", "^/", "^^", "^-", "é", "€", "😀", "x", ",", ";", "\""])
                                 for _ in range(self.r.randint(0, 8))) + "}"
        return self.pick(STRINGS)

    def var(self, pool=None):
        return self.pick(pool or ALL_VARS)

    def series_ref(self, pool=None):
        v = self.var(pool or SERIES_VARS)
        k = self.r.random()
        if k < 0.6:
            return v
        if k < 0.7:
            return f"next {v}"
        if k < 0.8:
            return f"tail {v}"
        if k < 0.9:
            return f"at {v} {self.int_()}"
        return f"skip {v} {self.int_()}"

    def value(self):
        k = self.r.random()
        if k < 0.4:
            return self.scalar()
        if k < 0.55:
            return self.block_lit()
        if k < 0.65:
            return self.string_lit()
        if k < 0.85:
            return self.var()
        return self.pick([f"copy {self.var(SERIES_VARS)}", f"first {self.var(BLOCK_VARS)}",
                          f"length? {self.var(SERIES_VARS)}", "o1/a", "m1/a", "r1/x",
                          f"f1 {self.int_()}", f"to-string {self.var()}", "'a"])

    # ---- statements

    def series_stmt(self):
        s = self.series_ref()
        v = self.value()
        n = self.int_()
        k = self.r.randint(0, 28)
        if k == 0:
            refs = "".join(f for f in ["/only", "/dup", "/part"] if self.chance(0.25))
            args = (" " + n if "/dup" in refs else "") + (" " + self.int_() if "/part" in refs else "")
            # /dup comes before /part in the argument order of the refinements written.
            return f"append{refs} {s} {v}{args}"
        if k == 1:
            refs = "".join(f for f in ["/only", "/dup", "/part"] if self.chance(0.25))
            args = (" " + n if "/dup" in refs else "") + (" " + self.int_() if "/part" in refs else "")
            return f"insert{refs} {s} {v}{args}"
        if k == 2:
            refs = "".join(f for f in ["/only", "/dup", "/part"] if self.chance(0.25))
            args = (" " + n if "/dup" in refs else "") + (" " + self.int_() if "/part" in refs else "")
            return f"change{refs} {s} {v}{args}"
        if k == 3:
            return self.pick([f"remove {s}", f"remove/part {s} {n}", f"remove/key {s} {v}"])
        if k == 4:
            return self.pick([f"take {s}", f"take/last {s}", f"take/part {s} {n}",
                              f"take/deep/part {s} {n}", f"take/last/part {s} {n}"])
        if k == 5:
            return self.pick([f"copy {s}", f"copy/part {s} {n}", f"copy/deep {s}",
                              f"copy/types {s} {self.pick(['integer!', 'string!', 'any-word!', 'series!'])}"])
        if k == 6:
            refs = "".join(f for f in ["/part", "/only", "/case", "/same", "/any", "/skip",
                                        "/last", "/reverse", "/tail", "/match"] if self.chance(0.12))
            args = ""
            if "/part" in refs:
                args += " " + n
            if "/skip" in refs:
                args += " " + self.pick(["1", "2", "3", "0", "-1"])
            return f"find{refs} {s} {v}{args}"
        if k == 7:
            refs = "".join(f for f in ["/part", "/only", "/case", "/skip", "/last", "/reverse"] if self.chance(0.15))
            args = (" " + n if "/part" in refs else "") + (" " + self.pick(["1", "2", "3"]) if "/skip" in refs else "")
            return f"select{refs} {s} {v}{args}"
        if k == 8:
            return self.pick([f"reverse {s}", f"reverse/part {s} {n}", f"reverse/skip {s} 2"])
        if k == 9:
            return self.pick([f"sort {s}", f"sort/reverse {s}", f"sort/case {s}", f"sort/skip {s} 2",
                              f"sort/part {s} {n}", f"sort/stable/reverse {s}", f"sort/all/skip {s} 2",
                              f"sort/skip/compare {s} 2 2"])
        if k == 10:
            return f"{self.pick(['unique', 'union', 'intersect', 'difference', 'exclude'])} {s}" + (
                "" if self.chance(0.3) else " " + self.series_ref())
        if k == 11:
            return f"poke {s} {n} {v}"
        if k == 12:
            return f"pick {s} {self.pick([n, n, 'true', 'false', '1.5', 'none', '0', '-1'])}"
        if k == 13:
            return f"swap {s} {self.series_ref()}"
        if k == 14:
            if self.chance(0.3):
                return f"move/part {s} {self.series_ref()} {n}"
            return f"move {s} {self.series_ref()}"
        if k == 15:
            return f"replace{self.pick(['', '/all', '/case', '/deep', '/all/case'])} {s} {v} {self.value()}"
        if k == 16:
            width = self.pick(["1", "2", "3", "0", "-1"])
            return self.pick([f"extract {s} {width}", f"extract/index {s} {width} {n}",
                              f"extract/into {s} {width} {self.pick(EXTRACT_TARGETS)}"])
        if k == 17:
            return f"trim{self.pick(['', '/head', '/tail', '/all', '/lines', '/auto'])} {s}"
        if k == 18:
            return f"clear {s}"
        if k == 19:
            return f"head {s}" if self.chance(0.5) else f"index? {s}"
        if k == 20:
            return f"{self.pick(['first', 'second', 'last', 'length?', 'empty?', 'tail?', 'head?', 'single?'])} {s}"
        if k == 21:
            return f"{self.pick(['put', 'put/case'])} {s} {v} {self.value()}"
        if k == 22:
            f = self.pick(["form", "mold", "mold/all", "mold/flat", "mold/only", "form/part", "mold/part"])
            return f"{f} {s}" + (" " + n if "/part" in f else "")
        if k == 23:
            return f"{self.pick(['to block!', 'to string!', 'to binary!', 'to hash!', 'to paren!', 'to path!', 'to map!', 'to vector!', 'to tag!', 'to file!', 'to url!', 'to email!', 'to word!', 'to integer!', 'to pair!', 'to tuple!', 'to bitset!'])} {s}"
        if k == 24:
            return f"{self.pick(['make block!', 'make string!', 'make binary!', 'make hash!', 'make map!', 'make bitset!', 'make vector!'])} {self.pick([n, s, self.block_lit()])}"
        if k == 25:
            return f"alter {s} {v}"
        if k == 26:
            return f"repend {s} {self.block_lit()}"
        if k == 27:
            return f"split {self.var(STRING_VARS)} {self.pick(SPLITTERS)}"
        return f"modify {s} {self.pick(MODIFY_FIELDS)} {self.pick(['none', 'true', MODIFY_OWNER])}"

    def string_stmt(self):
        s = self.series_ref(STRING_VARS)
        k = self.r.randint(0, 14)
        if k == 0:
            f = self.pick(["uppercase", "lowercase", "uppercase/part", "lowercase/part"])
            return f"{f} {s}" + (" " + self.int_() if "/part" in f else "")
        if k == 1:
            return f"rejoin [{self.value()} {self.value()} {self.value()}]"
        if k == 2:
            return self.pick([f"enbase {s}", f"debase {s}", f"enbase/base {s} {self.pick(['2', '16', '64', '58', '3'])}",
                           f"debase/base {s} {self.pick(['2', '16', '64', '58', '3'])}", f"dehex {s}", f"enhex {s}"])
        if k == 3:
            return f"pad{self.pick(['', '/left'])} {s} {self.int_()}"
        if k == 4:
            return f"{self.pick(['checksum', 'checksum'])} {self.pick([s, 'bin'])} {self.pick(CHECKSUMS)}"
        if k == 5:
            return f"{self.pick(['to-integer', 'to-float', 'to-word', 'to-issue', 'to-tag', 'to-date', 'to-time', 'to-pair', 'to-tuple', 'load', 'transcode', 'to-char', 'to-money', 'to-percent'])} {s}"
        if k == 6:
            return f"find/any {s} {self.pick(WILDCARDS)}"
        if k == 7:
            return f"replace/all {s} {self.pick(STRINGS + CHARS)} {self.pick(STRINGS + CHARS)}"
        if k == 8:
            return f"append {s} {self.pick(['s1', 's2', 'b1', 'bin', 'copy s1'])}"
        if k == 9:
            return f"form {self.value()}"
        if k == 10:
            return f"to-hex {self.int_()}" if self.chance(0.5) else f"to-hex/size {self.int_()} {self.int_()}"
        if k == 11:
            return f"{self.pick(['suffix?', 'to-local-file', 'to-qel-file', 'clean-path', 'split-path', 'dirize'])} to-file {s}"
        if k == 12:
            return f"insert/part {s} {self.string_lit()} {self.int_()}"
        if k == 13:
            return f"compress {s} {self.pick(COMPRESS_METHODS)}"
        return f"same? {s} {self.series_ref(STRING_VARS)}"

    def map_object_stmt(self):
        k = self.r.randint(0, 18)
        key = self.pick(["'a", "'b", "'c", "\"a\"", "\"A\"", "1", "#\"a\"", "'x", "2.5", "'none"])
        v = self.value()
        if k == 0:
            return f"put m1 {key} {v}"
        if k == 1:
            return f"m1/{self.pick(['a', 'b', 'c', 'x'])}: {v}"
        if k == 2:
            return f"select m1 {key}"
        if k == 3:
            return f"remove/key m1 {key}"
        if k == 4:
            return f"{self.pick(['keys-of', 'values-of', 'words-of', 'body-of', 'length?', 'copy', 'copy/deep', 'clear', 'to block!', 'form', 'mold/all'])} {self.pick(['m1', 'o1', 'r1'])}"
        if k == 5:
            return f"extend {self.pick(['m1', 'o1'])} [{self.pick(['a', 'z', 'n'])}: {v}]"
        if k == 6:
            return f"o1/{self.pick(['a', 'b', 'c'])}: {v}"
        if k == 7:
            return f"set o1 {self.pick(['none', '[1 2 3]', v])}"
        if k == 8:
            return f"set/some o1 {self.block_lit()}" if self.chance(0.3) else f"get in o1 '{self.pick(['a', 'b', 'c', 'zz'])}"
        if k == 9:
            return f"o2: make o1 [{self.pick(['a', 'b', 'd'])}: {v}] reduce [o2/a o2/b]"
        if k == 10:
            return f"o1: make object! [a: {v} b: {self.value()} c: func [x] [x + a]] o1/c 1"
        if k == 11:
            return f"bind {self.pick(['[a b c]', 'copy b1', self.block_lit()])} o1"
        if k == 12:
            return f"do bind [a: {v} c] o1"
        if k == 13:
            return f"{self.pick(['equal?', 'same?', 'strict-equal?', 'not-equal?'])} o1 {self.pick(['o1', 'copy o1', 'make o1 []', 'm1', 'copy m1'])}"
        if k == 14:
            return f"m1: make map! {self.pick(['[a 1 b 2]', '[]', self.block_lit(), '10', 'b1'])}"
        if k == 15:
            return f"construct {self.block_lit()}"
        if k == 16:
            return f"object {self.pick(['[a: 1 b: a + 1]', '[a: b: c: none]', '[self: 1]', '[a: func [] [b] b: 2]'])}"
        if k == 17:
            return f"foreach [k v] m1 [k: v]"
        return f"in o1 {self.pick(IN_WORDS)}"

    def function_stmt(self):
        k = self.r.randint(0, 12)
        v = self.value()
        if k == 0:
            return f"f1 {v}"
        if k == 1:
            return f"f2 {v} {self.value()}"
        if k == 2:
            return f"f2/opt {v} {self.value()} {self.value()}"
        if k == 3:
            return f"apply :f2 [{v} {self.value()}]" if self.chance(0.5) else f"apply :f2 [{v} {self.value()} true {self.value()}]"
        if k == 4:
            body = self.pick(["[x]", "[x + 1]", "[reduce [x x]]", "[append copy [] x]",
                              "[if x [return 1] 2]", "[exit]", "[throw x]", "[1 / 0]", "[f1 x]",
                              "[do x]", "[reverse copy/deep b1]", "[sort/compare copy b1 func [a b] [x]]"])
            return f"f1: func [x] {body} f1 {v}"
        if k == 5:
            return f"f2: function [x y /opt z] [t: reduce [x y] if opt [append t z] t] f2 {v} {self.value()}"
        if k == 6:
            return f"{self.pick(['spec-of', 'body-of', 'words-of', 'mold', 'mold/all', 'type?'])} :{self.pick(['f1', 'f2'])}"
        if k == 7:
            return f"do {self.pick(DO_ARGS)}"
        if k == 8:
            return f"reduce {self.pick(['b1', 'b2', self.block_lit()])}"
        if k == 9:
            return f"compose{self.pick(['', '/deep', '/only', '/deep/only'])} {self.pick(['b1', 'b2', self.block_lit()])}"
        if k == 10:
            return f"does [{v}]"
        if k == 11:
            n = self.r.randint(1, 40)
            return f"rec: func [n] [either n <= 0 [0] [1 + rec n - 1]] rec {n}"
        return f"has [a] [a: {v} a]"

    def error_stmt(self):
        k = self.r.randint(0, 12)
        v = self.value()
        if k == 0:
            return f"cause-error 'script 'invalid-arg [{v}]"
        if k == 1:
            return f"e1: make error! {self.pick(ERROR_SPECS)}"
        if k == 2:
            return f"catch [throw {v}]"
        if k == 3:
            return f"catch/name [throw/name {v} 'x] {self.pick(THROW_NAMES)}"
        if k == 4:
            return f"attempt [{v} 1 / 0]"
        if k == 5:
            return f"try/all [{v} do e1]"
        if k == 6:
            return f"e: try [{self.pick(FAILING)}] reduce [e/type e/id e/arg1 e/near]"
        if k == 7:
            return f"form e1"
        if k == 8:
            return f"e1/{self.pick(['type', 'id', 'arg1', 'code', 'near', 'where'])}"
        if k == 9:
            return f"error? try [{v}]"
        if k == 10:
            return f"loop 3 [if {self.pick(['true', 'false', 'none'])} [break/return {v}]]"
        if k == 11:
            return f"do e1"
        return f"catch [loop 2 [throw {v}]]"

    def parse_rule(self, depth=0):
        n = self.r.randint(1, 4)
        parts = []
        for _ in range(n):
            k = self.r.random()
            if k < 0.2:
                parts.append(self.pick(["skip", "end", "to end", "thru end", "none", "opt skip", "any skip", "some skip", "2 skip", "0 3 skip"]))
            elif k < 0.35:
                parts.append(self.pick(['"a"', '"b"', '#"a"', '"ab"', 'integer!', 'word!', 'string!', 'block!', 'charset "abc"', "'a", '1', 'any-string!']))
            elif k < 0.45:
                parts.append(self.pick(["to", "thru", "any", "some", "opt", "not", "ahead", "remove", "copy x", "set x", "x:", ":x", "keep", "collect", "collect into out", "collect set y"]) + " " + self.pick(['"a"', 'skip', '#"b"', 'integer!', "'a", '[skip]', '"c"', 'end']))
            elif k < 0.6:
                parts.append("(" + self.pick(["append out 1", "clear inp", "insert inp 1", "append inp \"z\"", "remove inp",
                                              "out: copy []", "1 / 0", "recycle", "inp: next inp", "append out copy \"abc\"",
                                              "x: 1", "throw 1", "break", "reduce [x]", "reverse inp"]) + ")")
            elif k < 0.7 and depth < 2:
                parts.append("[" + self.parse_rule(depth + 1) + "]")
            elif k < 0.78:
                parts.append(self.pick(["insert \"q\"", "insert 1", "change skip \"w\"", "change [skip] 3", "remove skip", "if (true)", "if (false)", "fail", "reject", "accept", "break", "quote 1", "into [any skip]", "keep pick skip", "keep copy x skip"]))
            elif k < 0.85:
                parts.append("|")
            else:
                parts.append(self.pick(["any [skip]", "some [\"a\" | \"b\"]", "any [\"a\" | skip]", "while [skip]", "any [opt \"a\"]", "some [to \"a\" skip]", "any [end]"]))
        return " ".join(parts)

    def parse_stmt(self):
        inp = self.pick(["copy s1", "copy s2", "copy b1", "copy b2", "copy bin", "s1", "b1", self.string_lit(), self.block_lit()])
        rule = self.parse_rule()
        pre = "out: copy [] x: y: none inp: " + inp
        kind = self.pick(["parse", "parse", "parse/case", "parse/part"])
        part = " " + self.int_() if kind == "parse/part" else ""
        if self.chance(0.25):
            return f"{pre} collect-result: parse/case inp [collect [{rule}]] reduce [collect-result out x inp]".replace("parse/case", kind if kind != "parse/part" else "parse")
        return f"{pre} reduce [{kind} inp [{rule}]{part} out x y inp]"

    def sort_stmt(self):
        s = self.pick(["b1", "b2", "s1", "s2", "h1", "copy b1", "copy s1", "[3 1 2 5 4 0 -1]", "[\"b\" \"a\" \"C\" \"c\"]", "[c 1 a 2 b 3]", "bin"])
        cmp = self.pick([
            "func [a b] [a < b]", "func [a b] [a > b]", "func [a b] [true]", "func [a b] [false]",
            "func [a b] [none]", "func [a b] [1]", "func [a b] [-1]", "func [a b] [0]", "func [a b] [random 3]",
            "func [a b] [append copy [] a  a <= b]", "func [a b] [recycle a < b]",
            "func [a b] [clear " + s.replace("copy ", "") + " true]", "func [a b] [1 / 0]",
            "func [a b] [throw 1]", "func [a b] [break]", "func [a b] [append " + self.pick(BLOCK_VARS + STRING_VARS) + " 1 true]",
            "func [a b] [reverse " + self.pick(BLOCK_VARS + STRING_VARS) + " false]",
            "func [a b] [compare-count: compare-count + 1 a < b]", "func [a b] ['x]", "func [a b] [#\"a\"]",
            "func [a] [true]", "func [a b c] [true]", "func [a b] [exit]", "func [a b] [return a = b]",
            "func [a b] [make string! 1000 (mold a) < mold b]", "2", "-1", "0", "3", ":lesser?", ":greater?"])
        refs = self.pick(["/compare", "/compare", "/compare/reverse", "/skip/compare", "/compare/all/skip", "/part/compare", "/stable/compare"])
        args = {"/compare": f" {cmp}", "/compare/reverse": f" {cmp}", "/skip/compare": f" 2 {cmp}",
                "/compare/all/skip": f" {cmp} 2", "/part/compare": f" {self.int_()} {cmp}",
                "/stable/compare": f" {cmp}"}[refs]
        return f"compare-count: 0 sort{refs} {s}{args}"

    def loop_stmt(self):
        s = self.pick(["b1", "b2", "s1", "s2", "h1", "bin", "m1", "copy b1", "next b1", "tail b2", "[1 2 3 4 5 6]", "\"abcdef\"", "pth"])
        body = " ".join(self.pick([
            "append out x", "if x = 2 [break]", "continue", "kk: kk + 1 if kk > 40 [break]",
            "remove b1", "clear b1", "append b1 1", "insert s1 \"q\"", "clear s1", "take b2", "recycle",
            "x", "1 / 0", "keep x", "keep/only [x]", "append out copy/deep b1", "throw x", "b1: copy []",
            "s1: \"\"", "reverse b1", "sort b1", "poke b1 1 x", "x: none"]) for _ in range(self.r.randint(1, 3)))
        names = self.pick(["x", "[x]", "[x y]", "[x y z]", "[x 1]", "[]", "[x x]", "'x"])
        k = self.r.randint(0, 7)
        # The counter bounds loops whose bodies lengthen the series they walk.
        guard = "kk: kk + 1 if kk > 60 [break] "
        pre = "kk: 0 out: copy [] "
        if k == 0:
            return f"{pre}foreach {names} {s} [{guard}{body}] out"
        if k == 1:
            return f"{pre}remove-each {names} {s} [{guard}{body} {self.pick(['true', 'false', 'none', 'x', 'odd? kk', '1'])}]"
        if k == 2:
            return f"{pre}collect [foreach {names} {s} [{guard}{body} keep x]]"
        if k == 3:
            into = self.pick(["", "/into"])
            target = " " + self.pick(["out", "copy s1", "b2"]) if into else ""
            return f"{pre}collect{into} [repeat x {self.int_()} [{guard}{body} keep x]]{target}"
        if k == 4:
            return f"{pre}x: {s} forall x [{guard}{body.replace('keep x', 'out')}] x"
        if k == 5:
            return f"{pre}loop {self.int_()} [{guard}{body}] out"
        if k == 6:
            return f"{pre}repeat x {self.int_()} [{guard}{body}] out"
        return f"{pre}while [kk < 5] [kk: kk + 1 {body}] out"

    def react_stmt(self):
        k = self.r.randint(0, 12)
        v = self.value()
        if k == 0:
            return f"r1/x: {v} reduce [r1/x r1/y r1/z]"
        if k == 1:
            return f"r1: reactor [x: {v} relate y: [form x] relate z: [reduce [x y]]] reduce [r1/y r1/z]"
        if k == 2:
            return f"r2: deep-reactor [x: copy [1 2] relate y: [length? x]] append r2/x {v} r2/y"
        if k == 3:
            return f"react [r1/z: reduce [r1/x {self.pick(['1', 'r1/x', 'copy b1', 'length? s1'])}]] r1/x: {v} r1/z"
        if k == 4:
            return f"{self.pick(['clear-reactions', 'stop-reactor r1', 'dump-reactions'])}"
        if k == 5:
            return f"no-react [r1/x: {v}] r1/y"
        if k == 6:
            return f"react? r1 'x"
        if k == 7:
            return f"relate o1 [a: {self.pick(['r1/x', 'f1 r1/x', '1 / r1/x'])}] r1/x: {v} o1/a"
        if k == 8:
            return f"r1/x: r1 reduce [r1/y]"
        if k == 9:
            return f"r3: reactor [a: 1 relate b: [a + c] relate c: [a * 2]] r3/a: {self.int_()} reduce [r3/b r3/c]"
        if k == 10:
            return f"rr: reactor [a: 1 relate b: [a + 1]] react [rr/a: rr/b + 1] rr/a: 5 rr/b"
        if k == 11:
            return f"r1/x: copy b1 append r1/x {v} r1/y"
        return f"react/later [r1/z: {v}] r1/x: 1 r1/z"

    def roundtrip_stmt(self):
        v = self.pick([self.value(), self.var(), self.block_lit(), self.string_lit()])
        k = self.r.randint(0, 9)
        if k == 0:
            return f"t: {v} reduce [equal? load mold :t :t  mold :t]"
        if k == 1:
            return f"t: {v} reduce [equal? load mold/all :t :t  mold/all :t]"
        if k == 2:
            return f"t: {v} save %rt.qel :t reduce [equal? load %rt.qel :t load %rt.qel]"
        if k == 3:
            return f"t: to binary! form {v} equal? t decompress compress t 'gzip 'gzip"
        if k == 4:
            return f"t: to binary! mold {v} reduce [equal? t decompress compress t 'zlib 'zlib equal? t decompress compress t 'deflate 'deflate]"
        if k == 5:
            b = self.pick(["2", "16", "64", "58", "85"])
            return f"t: to binary! mold {v} equal? t debase/base enbase/base t {b} {b}"
        if k == 6:
            return f"t: {v} reduce [equal? t copy/deep :t  equal? t to type? :t t]"
        if k == 7:
            return f"t: {v} equal? :t transcode/one mold/all :t"
        if k == 8:
            return f"t: {v} reduce [sort reduce [:t 1 \"a\" 'w] mold/all :t]"
        # A cut mold is the start of the whole one. Left out: values whose mold
        # holds a brace, as a string written in braces (it holds a double quote)
        # is cut to a start with a double quote when the cut ends before that.
        n = str(self.r.randint(1, 40))
        f = self.pick(["mold", "mold/all", "mold/flat", "form", "mold/only"])
        return (f"t: {v} _check 'part reduce [any [not not find mold/all :t \"{{\" "
                f"equal? {f}/part :t {n} copy/part {f} :t {n}]]")

    def misc_stmt(self):
        a, b = self.value(), self.value()
        k = self.r.randint(0, 10)
        if k == 0:
            return f"{a} {self.pick(OPERATORS)} {b}"
        if k == 1:
            return f"{self.pick(['compare', 'equal?', 'same?', 'lesser?', 'max', 'min', 'add', 'append copy'])} {a} {b}".replace("compare", "equal?")
        if k == 2:
            return f"{self.pick(['type?', 'mold', 'form', 'length?', 'negate', 'absolute', 'to-block', 'to-string', 'to-word', 'round', 'reverse', 'complement', 'empty?', 'first', 'last', 'head', 'index?'])} {a}"
        if k == 3:
            return f"either {a} [{b}] [{self.value()}]"
        if k == 4:
            return f"case [{a} [{b}] true [{self.value()}]]"
        if k == 5:
            return f"switch/default {a} [1 [{b}] \"a\" ['str] a [0]] [none]"
        if k == 6:
            return f"to {self.pick(['integer!', 'float!', 'string!', 'block!', 'word!', 'char!', 'binary!', 'logic!', 'pair!', 'tuple!', 'time!', 'date!', 'money!', 'percent!', 'issue!', 'file!', 'map!', 'object!', 'typeset!', 'bitset!', 'path!', 'hash!'])} {a}"
        if k == 7:
            return f"make {self.pick(['integer!', 'float!', 'string!', 'block!', 'word!', 'char!', 'binary!', 'logic!', 'pair!', 'tuple!', 'time!', 'date!', 'money!', 'percent!', 'bitset!', 'path!', 'map!', 'object!', 'error!', 'vector!', 'image!'])} {a}"
        if k == 8:
            return f"set [{self.pick(['a', 'a b', 'a b c', '/a', 'a: b'])}] {a} reduce [a b]"
        if k == 9:
            return f"get/any {self.pick(GET_ARGS)}"
        f = self.pick(["new-line", "new-line/all", "new-line/skip"])
        return f"{f} {self.var(BLOCK_VARS)} {self.pick(['true', 'false'])}" + (" 2" if "skip" in f else "")

    def deep_value(self):
        """A value nested deep, built by a loop (the parser has its own limit)."""
        # A collection marks the whole value, so in a GC-stress build building a
        # value n deep costs n * n: --max-depth keeps that in bounds.
        depth = str(self.pick([d for d in (100, 3000, 20000, 100000, 1000000)
                               if d <= self.max_depth] or [100]))
        wrap = self.pick(["append/only copy [] t", "to paren! reduce [t]", "reduce [t 1]",
                          "make map! reduce ['k t]", "make object! [k: t]", "to path! reduce [t]",
                          "make hash! reduce [t]", "reduce [make error! [arg1: t]]"])
        if "object" in wrap or "map" in wrap or "error" in wrap:
            depth = self.pick(["100", "3000"])
        return f"t: copy [] loop {depth} [t: {wrap}]"

    def walk(self, v):
        return self.pick([f"length? mold {v}", f"length? mold/all {v}", f"length? form {v}",
                          f"equal? {v} copy/deep {v}", f"equal? {v} {v}", f"same? {v} {v}",
                          f"{v} = tt", f"strict-equal? {v} tt", f"length? copy/deep {v}",
                          f"find/only reduce [1 tt] {v}", f"length? unique reduce [{v} tt {v}]",
                          f"sort reduce [{v} tt]", f"length? compose/deep [({v})]",
                          f"length? reduce [{v}]", f"checksum mold {v} 'crc32",
                          f"length? to-json {v}", f"parse {v} [any [into [any skip] | skip]]",
                          f"select reduce [{v} 1] tt", f"length? save #{{}} {v}",
                          f"length? load mold/all {v}", f"to map! {v}", f"mold/part {v} 30",
                          f"form/part {v} 30", f"length? to string! {v}", f"bind {v} o1",
                          f"length? to-json {v}", f"new-line/all {v} true",
                          f"length? replace/all/deep copy/deep {v} 1 2",
                          f"m: make map! [] m/k: {v} length? mold m"])

    def hard_stmt(self):
        k = self.r.randint(0, 5)
        if k == 0:
            return self.deep_value() + " tt: t " + self.walk("t")
        if k == 1:
            setup = self.pick(["t: copy [1] append/only t t", "t: copy [1] append/only t reduce [t]",
                               "t: make map! [a 1] t/b: t", "t: make object! [a: 1 b: none] t/b: t",
                               "t: make hash! [a 1] append/only t t", "t: to paren! [1] append/only t t",
                               "t: copy [a] insert/only t to path! reduce ['p t]",
                               "t: copy [] append t make error! [arg1: t]"])
            return f"{setup} tt: copy [1] append/only tt tt " + self.walk("t")
        if k == 2:
            big = self.pick(["2147483647", "-2147483648", "2147483646", "1073741824", "100000000",
                             "1e300", "-1e300", "1.#NaN", "1.#INF"])
            return self.pick([f"append/dup copy [] 1 {big}", f"insert/dup copy \"\" \"xy\" {big}",
                              f"make block! {big}", f"make string! {big}", f"make binary! {big}",
                              f"copy/part {self.var(SERIES_VARS)} {big}", f"skip {self.var(SERIES_VARS)} {big}",
                              f"at {self.var(SERIES_VARS)} {big}", f"pick {self.var(SERIES_VARS)} {big}",
                              f"poke copy {self.var(SERIES_VARS)} {big} 1", f"pad copy \"a\" {big}",
                              f"remove/part copy {self.var(SERIES_VARS)} {big}",
                              f"change/dup copy {self.var(SERIES_VARS)} 1 {big}",
                              f"to-hex/size 1 {big}", f"round/to {big} {big}",
                              f"loop {big} [break]", f"repeat i {big} [if i > 3 [break/return i]]",
                              f"random {big}", f"make vector! {big}", f"make bitset! {big}",
                              f"extract {self.var(SERIES_VARS)} {big}", f"sort/skip copy b1 {big}",
                              f"reverse/part copy b1 {big}", f"take/part copy s1 {big}",
                              f"enbase/base copy bin {big}", f"form/part b1 {big}", f"mold/part b1 {big}",
                              f"find/skip b1 1 {big}", f"copy/part at s1 {big} {big}",
                              f"trim/with copy s1 {big}", f"to-integer {big}", f"make time! {big}",
                              f"make date! reduce [{big} 1 1]", f"{big} * {big}", f"shift 1 {big}",
                              f"power 2 {big}", f"make pair! reduce [{big} {big}]"])
        if k == 3:
            # An error raised halfway through an operation; the next statements check the state.
            op = self.pick([
                "o1: make object! [a: 1 on-change*: func [w o n] [if n = 2 [1 / 0]]] o1/a: 2",
                "remove-each x b1 [if x = first b1 [throw 1] false]",
                "parse b1 [some [skip (if 3 > random 5 [1 / 0])]]",
                "parse s1 [some [change skip (1 / 0)]]",
                "sort/compare b1 func [a b] [if a = b [1 / 0] true]",
                "foreach x b1 [append b2 x if x [throw x]]",
                "collect [foreach x b1 [keep x 1 / 0]]",
                "r1/x: 'boom r1/y: does [1 / 0] r1/x: 2",
                "react [r1/z: 1 / r1/x] r1/x: 0",
                "forall b1 [if 2 = index? b1 [1 / 0]]",
                "do [append s1 \"z\" 1 / 0]",
                "apply :sort [b1 false none false none true func [a b] [throw a] false none false false false]",
            ])
            return f"{op}"
        if k == 4:
            return f"reduce [mold b1 mold s1 length? b1 length? s1 head? b1 index? b1]"
        # (recycle answers the memory in use, which differs between builds.)
        return self.pick(["recycle none",
                          "do load mold b1", "do copy/deep b1",
                          "transcode mold b2", "load mold/all o1", "load mold/all m1",
                          "to-json reduce [o1 m1 b1 s1]", "load-json to-json reduce [m1 b1 s1]",
                          "load-csv \"a,b^/1,2\"", "to-csv [[1 2] [\"a\" \"b,c\"]]"])

    def callback_stmt(self):
        """C++ routines that call Qel code back, with callbacks that edit what the
        routine walks, collect, raise, throw or answer oddly."""
        edit = self.pick(["clear head input", "append input 1", "insert head input \"zz\"",
                          "remove head input", "clear rule", "append rule [skip]", "clear stack",
                          "(recycle none)", "1 / 0", "throw 1", "input: none", "clear src",
                          "append src \" [x]\"", "clear tok", "poke head input 1 #\"q\""])
        # The count stops a callback that lengthens the input at every step.
        answer = "all [(kk: kk + 1) < 200 " + self.pick(["true", "false", "none", "1", "'x", "event <> 'end", "[]"]) + "]"
        k = self.r.randint(0, 3)
        if k == 0:
            inp = self.pick(["copy s1", "copy b1", "copy \"aaab\"", "copy [1 [2 3] x]", "copy bin"])
            return (f"kk: 0 input: {inp} parse/trace input [{self.parse_rule()}] "
                    f"func [event match? rule input stack] [{edit} {answer}]")
        if k == 1:
            src = self.pick(["copy s1", "copy \"a [b c] d (e) 1 #{01} f/g\"", "copy bin", "mold b1",
                             "copy \"[a [\"", "copy \"x 1''0 y\""])
            return (f"kk: 0 src: {src} tok: input: rule: stack: none transcode/trace src "
                    f"func [event input type line tok] [{edit} {answer}]")
        if k == 2:
            actions = ["open", "copy", "close", "insert", "append", "length?", "pick", "take",
                       "query", "at", "skip", "head?", "index?", "read", "write", "find"]
            ret = self.pick(["port", "none", "1", "\"str\"", "copy b1", "1 / 0", "throw 1",
                             "port/actor: none", "clear port/spec", "port/spec: none", "recycle port",
                             "read port", "close port"])
            act = " ".join(f"{a}: func [port [any-type!] a [any-type!] b [any-type!] c [any-type!] "
                           f"d [any-type!] e [any-type!] f [any-type!] g [any-type!]] [{ret}]"
                           for a in self.r.sample(actions, self.r.randint(1, 6)))
            use = self.pick(["read p", "write p \"x\"", "length? p", "pick p 1", "take p", "query p",
                             "open p", "close p", "at p 2", "skip p 1", "head? p", "index? p",
                             "find p 1", "append p 1", "insert p 1", "copy p", "read/part p 2",
                             "mold p", "form p", "tail? p"])
            return (f"register-scheme make system/standard/scheme [name: 'fz actor: object [{act}]] "
                    f"p: make port! [scheme: 'fz] {use}")
        series = self.pick(["copy b1", "copy s1", "copy [3 1 2]", "copy h1", "copy bin"])
        return self.pick([
            f"t: {series} replace/all t {self.value()} does [{edit} 1]",
            f"t: {series} forall t [{edit} if 20 < index? t [break]] t",
            f"t: {series} apply :append [t {self.value()} {answer} {self.value()} false none false none]",
            f"t: {series} do/next t 'pos",
            f"t: {series} reduce/into [1 {edit}] t",
            f"t: {series} compose/into [(1) ({edit})] t",
        ])

    def differential_stmt(self):
        """The same edit on a hash! and on a block holding the same values: the two
        must stay equal, and the hash's index must find what a walk of the block finds."""
        v = "quote " + self.scalar() if self.chance(0.8) else self.block_lit()
        w = "quote " + self.scalar()
        n = str(self.r.randint(-2, 8))  # _agree takes time in the square of the length
        op = self.pick([f"append t {v}", f"insert at t {n} {v}", f"remove at t {n}",
                        f"change at t {n} {v}", f"poke t {n} {v}", "sort t",
                        "sort/reverse t", "sort/case t", "reverse t", "take/last t", "take t",
                        f"swap t at t {n}", f"move t at t {n}", "move/part t tail t 2",
                        f"clear at t {n}", f"alter t {v}", f"remove/part t {n}",
                        f"insert/dup t {v} {n}", f"change/part t {v} {n}",
                        f"replace/all t {v} {w}", "reverse/part at t 2 3", "sort/skip t 2",
                        f"put t {v} {w}", f"remove/key t {v}", "t: unique t", f"append/only t [{self.scalar()}]",
                        "sort/compare t func [x y] [lesser? mold :x mold :y]"])
        return (f"t0: to block! head h1 t: copy h1 {op} h1: t  t: t0 {op} "
                f"_check 'hash reduce [_agree head h1 head t  equal? to block! head h1 head t]")

    def call_stmt(self):
        """Any of the safe functions, on the program's values."""
        f = self.pick(ANY_CALLS)
        refs = ""
        if f[0].isalpha() and self.chance(0.2):  # "</all" would be a tag
            refs = "/" + self.pick(["part", "only", "deep", "case", "all", "skip", "last", "into",
                                    "reverse", "with", "dup", "next", "trace", "any", "tail"])
        args = " ".join(self.value() for _ in range(self.r.randint(0, 4)))
        return f"{f}{refs} {args}"

    def width_stmt(self):
        """The same edit on a string and on a copy kept in wider units (a 4-byte
        character went in and out): results and strings must be the same. Sorts
        use /case: without it, text of 1-byte units folds only A-Z, to lower case,
        while wider text folds to upper case, so "_a" sorts apart from "_a" held wide."""
        v = self.pick(STRINGS + CHARS)
        w = self.pick(STRINGS + CHARS)
        n = str(self.r.randint(-1, 8))
        op = self.pick([f"append t {v}", f"insert at t {n} {v}", f"remove at t {n}", f"change at t {n} {v}",
                        f"poke t {n} {self.pick(CHARS)}", "sort/case t", "sort/case/reverse t", "reverse t", "take/last t",
                        "uppercase t", "lowercase t", "trim t", "trim/all t", f"find t {v}", f"find/case t {v}",
                        f"find/last t {v}", f"find/reverse tail t {v}", f"find/skip t {v} 2", f"select t {v}",
                        f"replace/all t {v} {w}", "unique t", f"difference t {v}", f"union t {v}",
                        f"copy/part t {n}", f"remove/part t {n}", f"insert/dup t {v} 3", f"change/part t {v} {n}",
                        f"split t {self.pick(CHARS)}", "mold t", "form t", "checksum t 'crc32", "enbase t",
                        "to binary! t", "reverse/part t 3", "sort/case/skip t 2", f"swap t at t {n}",
                        f"move/part at t 2 tail t 2", f"alter t {self.pick(CHARS)}", "uppercase/part t 2",
                        f"t < {v}", f"t = {v}", f"parse t [any [{v} | skip]]", "load t", "to-word t",
                        f"pad t {n}", f"trim/with t {v}", f"find/match t {v}", f"replace/case t {v} {w}"])
        return (f"t: copy s1 r: try [{op}] a: t  t: copy \"😀\" take t append t s1 "
                f"q: try [{op}] _check 'width reduce [equal? mold :r mold :q  equal? mold a mold t]")

    # Statement families and their weights; --only picks some of them.
    FAMILIES = {"width": 5, "call": 9, "hash": 4, "hard": 10, "callback": 6, "series": 18,
                "string": 5, "object": 7, "function": 5, "error": 4, "parse": 7, "sort": 5,
                "loop": 5, "react": 3, "roundtrip": 4, "misc": 3}

    def statement(self):
        names = self.only or list(self.FAMILIES)
        family = self.r.choices(names, [self.FAMILIES[n] for n in names])[0]
        return {"width": self.width_stmt, "call": self.call_stmt, "hash": self.differential_stmt,
                "hard": self.hard_stmt, "callback": self.callback_stmt, "series": self.series_stmt,
                "string": self.string_stmt, "object": self.map_object_stmt,
                "function": self.function_stmt, "error": self.error_stmt, "parse": self.parse_stmt,
                "sort": self.sort_stmt, "loop": self.loop_stmt, "react": self.react_stmt,
                "roundtrip": self.roundtrip_stmt, "misc": self.misc_stmt}[family]()

    def prelude(self):
        lines = [
            "Qel [title: \"random program\"]",
            "random/seed 1",
            "out: copy [] x: y: kk: compare-count: 0 inp: none",
            f"b1: {self.block_lit()}",
            f"b2: {self.block_lit()}",
            f"s1: copy {self.string_lit()}",
            f"s2: copy {self.string_lit()}",
            f"bin: copy {self.pick(['#{}', '#{00FF10}', '#{DEADBEEF}', '#{616263}'])}",
            f"h1: make hash! {self.block_lit()}",
            f"pth: to path! {self.block_lit()}",
            f"m1: make map! [a 1 b \"two\" c [3]]",
            f"o1: make object! [a: quote {self.scalar()} b: copy \"ob\" c: [1 2]]",
            "r1: reactor [x: 1 relate y: [x] z: none]",
            "f1: func [x] [x]",
            "f2: func [x y /opt z] [reduce [x y z]]",
            "e1: make error! \"initial\"",
            "n1: 1 d1: 1-Jan-2000",
            # Whether finding each value of block b in hash h gives the same place
            # (the first 200 values: a walk of the block for each costs n * n).
            "_agree: func [h b] [forall b [if 200 < index? b [break] if (index? find/case/only h first b) <> index? "
            "find/case/only head b first b [return reduce ['differs first b]]] true]",
            # An oracle: a block of checks that must all be true.
            "_check: func [tag checks] [unless equal? checks head insert/dup copy [] true length? checks "
            "[print [\"ORACLE-FAIL\" tag mold checks]] checks]",
            # A result too deep to mold is printed as the error's id.
            "_p: func [i r [any-type!] /local m] [m: try [mold/flat/part :r 200] "
            "print [i either error? m [rejoin [\"<mold: \" m/id \">\"]] [m]]]",
        ]
        # A self-referencing block now and then, for the routines that walk values.
        if self.chance(0.2):
            lines.append("append/only b2 b2")
        if self.chance(0.15):
            lines.append("o1/b: o1")
        return lines

    def program(self, statements):
        lines = self.prelude()
        for i in range(statements):
            lines.append(f"_p {i} catch [try [{self.statement()}]]")
        lines.append("_p 'end try [reduce [b1 b2 s1 s2 bin h1 pth m1 o1/a o1/b]]")
        return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- running

REPORTS = ("Sanitizer", "runtime error:", "*** Runtime Error", "assertion failed", "LeakSanitizer")
NOISY = ("stack-overflow", "stack overflow", "too-deep", "too deep", "Stack overflow", "nesting")


def run(prog, path, timeout):
    """Runs prog on path with its output on a pseudo-terminal, so that each line is
    written as it is printed and a run that hangs shows the last statement it ended.
    Returns the exit status (or "timeout") and the output."""
    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.ONLCR  # no carriage returns added to line ends
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    p = subprocess.Popen([os.path.abspath(prog), path], stdin=subprocess.DEVNULL, stdout=slave,
                         stderr=slave, cwd=os.path.dirname(path), start_new_session=True)
    os.close(slave)
    chunks = []
    deadline = time.monotonic() + timeout
    status = None
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            status = "timeout"
            break
        ready, _, _ = select.select([master], [], [], min(left, 1.0))
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:  # the child closed the terminal
                data = b""
            if data:
                chunks.append(data)
                continue
        if p.poll() is not None and not ready:
            break
        if ready:  # end of output
            p.wait()
            break
    if status is None:
        status = p.wait()
    os.close(master)
    text = b"".join(chunks).decode("utf-8", "replace")
    return status, re.sub("\x1b\\][^\x07]*\x07", "", text)  # the terminal title


def unfinished(path, text):
    """The statement after the last one whose result was printed."""
    done = [l.split(" ", 1)[0] for l in text.splitlines() if l[:1].isdigit()]
    nxt = int(done[-1]) + 1 if done else 0
    for line in open(path, encoding="utf-8"):
        if line.startswith(f"_p {nxt} "):
            return line.strip()
    return f"statement {nxt}"


def comparable(text):
    return [l for l in text.splitlines() if not any(n in l for n in NOISY)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("qel", help="the program under test, best a GC-stress build with sanitizers")
    ap.add_argument("--compare", metavar="QEL", help="a second build whose output must be the same")
    ap.add_argument("--programs", type=int, default=20)
    ap.add_argument("--statements", type=int, default=30)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--out", default="/tmp/qel-programs")
    ap.add_argument("--timeout", type=int, default=300)
    ap.add_argument("--max-depth", type=int, default=20000,
                    help="deepest value built (a million suits a release build)")
    ap.add_argument("--only", metavar="F,F", help="statement families to use, of: "
                    + ", ".join(Gen.FAMILIES))
    ap.add_argument("--keep", action="store_true", help="keep every program, faulting or not")
    a = ap.parse_args()
    seed = a.seed if a.seed is not None else random.randrange(1 << 30)
    only = a.only.split(",") if a.only else None
    if only and not set(only) <= set(Gen.FAMILIES):
        ap.error("--only takes some of: " + ", ".join(Gen.FAMILIES))
    faults = 0
    for i in range(a.programs):
        r = random.Random(seed + i)
        # (Absolute: each program runs in its own folder.)
        folder = os.path.join(os.path.abspath(a.out), f"prog-{seed + i}")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "prog.qel")
        with open(path, "w", encoding="utf-8") as f:
            f.write(Gen(r, a.max_depth, only).program(a.statements))
        status, text = run(a.qel, path, a.timeout)
        why = []
        if status != 0:
            why.append(f"status {status}")
        if any(rep in text for rep in REPORTS):
            why.append("report")
        if re.search("^ORACLE-FAIL", text, re.M):
            why.append("oracle failed")
        if a.compare:
            status2, text2 = run(a.compare, path, a.timeout)
            if status2 != 0 and status2 != status:
                why.append(f"compare status {status2}")
            # The second build may be the one with the sanitizers.
            if any(rep in text2 for rep in REPORTS):
                why.append("compare report")
            if status2 != "timeout" and status != "timeout" and comparable(text) != comparable(text2):
                why.append("outputs differ")
            with open(os.path.join(folder, "compare.out"), "w", encoding="utf-8") as f:
                f.write(text2)
        with open(os.path.join(folder, "first.out"), "w", encoding="utf-8") as f:
            f.write(text)
        if why:
            faults += 1
            print(f"FAULT {path}: {', '.join(why)}")
            print("\n".join("    " + t for t in text.strip().splitlines()[-8:]))
            if "outputs differ" in why:
                first, second = comparable(text), comparable(text2)
                for n, (x, y) in enumerate(zip(first + [""] * len(second), second + [""] * len(first))):
                    if x != y:
                        print(f"    first difference, line {n + 1}:\n    < {x[:300]}\n    > {y[:300]}")
                        break
            if "timeout" in (status, status2 if a.compare else None):
                print("    unfinished: " + unfinished(path, text if status == "timeout" else text2))
            sys.stdout.flush()
        elif not a.keep:
            for name in os.listdir(folder):
                os.remove(os.path.join(folder, name))
            os.rmdir(folder)
    print(f"seed {seed}: {a.programs} programs, {faults} faulted")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
