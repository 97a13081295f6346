"""The console as a user meets it: `qel` with piped input, with scripts, and
on a pseudo-terminal (keys typed, the screen read).

    QEL=path/to/qel python3 -m unittest test_console
"""

import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from vt import Session, cell_width

QEL = os.environ.get("QEL", "qel")
BANNER = "--== Qel"
# What quit prints while the library cannot save (before `save` exists).
UNSAVED = "*** Warning: the console settings could not be saved"
UP, DOWN, LEFT, RIGHT, HOME_KEY, END_KEY, DELETE = (
    "\x1b[A", "\x1b[B", "\x1b[D", "\x1b[C", "\x1b[H", "\x1b[F", "\x1b[3~")


class Home:
    """A fresh $HOME (the settings live under it) and a working folder."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="qel-console-")
        self.work = os.path.join(self.path, "work")
        os.mkdir(self.work)

    @property
    def cfg(self):
        return os.path.join(self.path, ".qel", "Qel-Console", "console-cfg.qel")

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QEL_LIBRARY")}
        env["HOME"] = self.path
        env.update(extra)
        return env

    def write(self, name, text):
        path = os.path.join(self.work, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def columns(text):
    """The display columns a line takes on a terminal."""
    return sum(cell_width(ch) for ch in text)


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.home = Home()
        self.addCleanup(self.home.remove)

    def qel(self, *args, stdin="", timeout=30, env=None):
        """Runs qel with piped input; answers (stdout text, status). What it
        wrote to its standard error is kept in self.stderr."""
        data = stdin.encode() if isinstance(stdin, str) else stdin
        out = subprocess.run([QEL, *args], input=data, capture_output=True, timeout=timeout,
                             env=env or self.home.env(), cwd=self.home.work)
        self.stderr = out.stderr.decode("utf-8", "replace")
        return out.stdout.decode("utf-8", "replace"), out.returncode

    def lines_after_banner(self, text):
        lines = [l for l in text.split("\n") if l and l != UNSAVED]
        for i, line in enumerate(lines):
            if line.startswith("Type HELP"):
                return lines[i + 1:]
        return lines

    def defined(self, word):
        out, _ = self.qel(stdin="print value? quote %s\n" % word)
        return "true" in out

    def session(self, *args, cols=80, rows=24):
        s = Session([QEL, *args], cols=cols, rows=rows, env=self.home.env(), cwd=self.home.work)
        self.addCleanup(s.close)
        return s


class Piped(ConsoleTest):
    def test_result_and_status(self):
        out, status = self.qel(stdin="1 + 2\n")
        self.assertTrue(out.startswith(BANNER), out)
        self.assertIn("\n== 3\n", out)
        self.assertEqual(status, 0)

    def test_results_errors_and_halts(self):
        cases = [
            ("[\n1]\n", ["== [1]"]),
            ('print "hi"\n', ["hi"]),
            ("halt\n", ["(halted)"]),
            ("{abc\ndef}\n", ['== "abc^/def"']),
            ("a: [1 (2\n3) 4]\n", ["== [1 (2 3) 4]"]),
            ("1.5\n", ["== 1.5"]),
            ("x: 1\n\nx\n", ["== 1", "== 1"]),
            ("[1\n\x1b\n2\n", ["(escape)", "== 2"]),
            ("1 + 2", ["== 3"]),  # a last line without a line feed
            # An op! result is molded like an action! (it ended the console).
            (":+\nmake op! :add\nprint 1\n",
             ['== make op! [["Returns the sum of the two values" value1 value2]]'] * 2 + ["1"]),
        ]
        for text, want in cases:
            out, status = self.qel(stdin=text)
            self.assertEqual(self.lines_after_banner(out), want, repr(text))
            self.assertEqual(status, 0)

    def test_errors_are_reported_and_the_loop_goes_on(self):
        out, status = self.qel(stdin="ls 1\n(1]\n\"abc\n1 / 0\nprint 2\n")
        self.assertIn("*** Script Error: list-dir does not allow integer! for its dir argument", out)
        self.assertEqual(out.count("*** Syntax Error"), 2)
        self.assertIn("*** Math Error", out)
        self.assertEqual(self.lines_after_banner(out)[-1], "2")
        self.assertEqual(status, 0)

    def test_where_of_an_error_raised_in_no_call_of_the_users(self):
        # An error raised at the top level, at the prompt or in a script, is
        # in no call: its Where line named the console's own catch, and under
        # a set-word the set-word. A call of the user's is still named.
        where = lambda out: [l for l in out.split("\n") if l.startswith("*** Where")]
        code = "a: [1] a/x/y\nno-such\ngz: no-such 1\nf: does [x: no-such] f\ncatch [no-such]\n"
        out, _ = self.qel(stdin=code)
        self.assertEqual(where(out), ["*** Where: ???"] * 3 + ["*** Where: f", "*** Where: catch"])
        self.home.write("top.qel", "Qel []\ngz: no-such 1\n")
        out, status = self.qel("top.qel")
        self.assertEqual((where(out), status), (["*** Where: ???"], 254))

    def test_long_result_is_cut_to_the_width(self):
        out, _ = self.qel(stdin='append/dup copy "" "x" 100\n')
        line = self.lines_after_banner(out)[0]
        self.assertEqual(len(line), 79)
        self.assertTrue(line.startswith("== ") and line.endswith("x..."), line)
        self.assertEqual(line.count("x"), 72)
        # Widths are display columns: a wide character takes two.
        out, _ = self.qel(stdin='append/dup copy "" "中" 100\n')
        line = self.lines_after_banner(out)[0]
        self.assertEqual(columns(line), 79)
        self.assertTrue(line.endswith("中..."), line)

    def test_cut_uses_the_prompt_last_shown(self):
        # A function as the prompt: the cut leaves room for its text.
        out, _ = self.qel(stdin='system/console/prompt: func [][">>>>>>>> "]\n'
                                'append/dup copy "" "x" 100\n')
        line = [l for l in self.lines_after_banner(out) if l.startswith("== ")][-1]
        self.assertEqual(len(line), 73)
        # A prompt longer than the width still cuts at 0, never below.
        out, _ = self.qel(stdin='system/console/prompt: append/dup copy "" ">" 200\n'
                                'append/dup copy "" "x" 100\n')
        line = [l for l in self.lines_after_banner(out) if l.startswith("== ")][-1]
        self.assertEqual(line, "== ...")

    def test_bad_prompt_and_result_specifications(self):
        out, _ = self.qel(stdin="system/console/prompt: func [][1 / 0]\n1 + 1\n")
        self.assertIn("system/console/prompt", out)
        self.assertIn("== 2", out)
        out, _ = self.qel(stdin="system/console/result: func [][1 / 0]\n1 + 1\n")
        self.assertIn("system/console/result", out)
        self.assertIn("== 2", out)
        # A default prompt that is no text is formed (ask refused it, and
        # the console ended with status 254).
        out, status = self.qel(stdin="system/console/def-prompt: 5\n"
                                     "system/console/prompt: func [][1 / 0]\n1 + 1\n")
        self.assertIn("system/console/prompt", out)
        self.assertIn("== 2", out)
        self.assertEqual(status, 0)

    def test_a_history_that_is_not_a_block_is_left_aside(self):
        # The console ended with status 254 at the next prompt.
        out, status = self.qel(stdin='system/console/history: "abc"\n1 + 1\n')
        self.assertIn("== 2", out)
        self.assertEqual(status, 0)

    def test_end_of_input_ends_the_console(self):
        # Also with a command still open: the console must not ask for ever.
        for text in ["", "1\n", "[\n1\n", "{abc\n"]:
            out, status = self.qel(stdin=text, timeout=10)
            self.assertEqual(status, 0, repr(text))

    def test_no_title_sequence_when_output_is_not_a_terminal(self):
        out, _ = self.qel(stdin="1\n")
        self.assertNotIn("\x1b", out)

    def test_pwd_and_cd(self):
        os.mkdir(os.path.join(self.home.work, "sub"))
        out, _ = self.qel(stdin="pwd\ncd sub\npwd\ncd %..\npwd\n")
        work = self.home.work
        printed = [l for l in self.lines_after_banner(out) if not l.startswith("== ")]
        self.assertEqual(printed, ["%" + work + "/", "%" + work + "/sub/", "%" + work + "/"])

    def test_ls(self):
        wide = "中文" * 8 + ".txt"  # 36 columns
        for name in ("alpha.txt", "beta", "a-very-long-file-name-indeed.txt", wide):
            self.home.write(name, "")
        os.mkdir(os.path.join(self.home.work, "folder"))
        out, _ = self.qel(stdin="ls\nll\n")
        lines = self.lines_after_banner(out)
        # 80 columns: three names to a line, each padded to 19 after a tab;
        # a long name is cut with "...".
        self.assertEqual(lines[0].count("\t"), 3)
        for cell in ["\talpha.txt" + " " * 11, "\tfolder/" + " " * 13, "\ta-very-long-fil...  "]:
            self.assertIn(cell, lines[0] + lines[1])
        # Widths are display columns: a wide character takes two.
        cell = next(c for c in (lines[0] + lines[1]).split("\t") if c.startswith("\u4e2d"))
        self.assertEqual((cell, columns(cell)), ("\u4e2d\u6587" * 3 + "\u4e2d...   ", 19 + 1))
        # ll: one name a line, padded to 66.
        self.assertIn("\tfolder/" + " " * 60, lines[2:])
        self.assertIn("\t" + wide + " " * 31, lines[2:])
        self.assertEqual(len(lines), 7)

class Scripts(ConsoleTest):
    def test_headers(self):
        # A script without a header cannot start: status 1 (it was 0).
        cases = [
            ("nohdr.qel", 'print "no"\n', "*** Error: Qel header not found!", 1),
            ("lower.qel", "qel [] print 1\n", "*** Error: Qel header not found!", 1),
            ("sys.qel", "Qel/System [] print 1\n",
             "*** Error: contains Qel/System code which requires compilation!", 1),
            ("junk.qel", 'junk before Qel [Title: "x"] print "ran"\n', "ran", 0),
            ("halt.qel", 'Qel [] halt print "after"\n', "(halted)", 0),
        ]
        for name, text, want, want_status in cases:
            self.home.write(name, text)
            out, status = self.qel(name, stdin='print "piped"\n')
            self.assertEqual(out.strip(), want, name)
            self.assertEqual(status, want_status, name)

    def test_uncaught_error_exits_254_unless_caught(self):
        self.home.write("err.qel", "Qel [] 1 / 0\n")
        out, status = self.qel("err.qel")
        self.assertIn("*** Math Error", out)
        self.assertEqual(status, 254)
        # A syntax error in the script itself is near the text it names.
        self.home.write("syn.qel", "Qel []\nprint 1\nx: [1 2\n")
        out, status = self.qel("syn.qel")
        self.assertEqual(out.strip().split("\n")[:3], [
            "*** Syntax Error: (line 4) missing ] at [1 2", "*** Where: transcode",
            '*** Near : "[1 2"'])
        self.assertEqual(status, 254)
        # An error value the script ends with but never raised is no failure.
        for text in ['make error! "boom"', "try [1 / 0]"]:
            self.home.write("val.qel", "Qel []\n" + text + "\n")
            self.assertEqual(self.qel("val.qel"), ("", 0), text)
        out, status = self.qel("--catch", "err.qel", stdin="1 + 2\n")
        self.assertIn("*** Math Error", out)
        self.assertIn("== 3", out)
        self.assertNotIn(BANNER, out)
        self.assertEqual(status, 0)

    def test_scripts_are_preprocessed(self):
        self.home.write("pre.qel", "Qel [] #macro inc: func [n][n + 1]\n"
                                   "#if true [print inc 41]\n")
        out, status = self.qel("pre.qel")
        self.assertEqual((out.strip(), status), ("42", 0))
        # A preprocessor error stops the script before it runs, as a failure.
        self.home.write("bad.qel", 'Qel [] print "ran" #either true [1]\n')
        out, status = self.qel("bad.qel")
        self.assertEqual(out.strip().split("\n"), [
            "*** Preprocessor Error: Syntax error", "*** Where: #either true [1]", "(halted)"])
        self.assertEqual(status, 254)
        out, status = self.qel(stdin="expand [#if false [a] b]\n")
        self.assertIn("[b]", out)

    def test_catch_without_header_shows_the_prompt_without_banner(self):
        self.home.write("nohdr.qel", "print 1\n")
        out, status = self.qel("--CATCH", "nohdr.qel", stdin="1 + 2\n")
        self.assertEqual(out.split("\n")[:2], ["*** Error: Qel header not found!", "== 3"])
        self.assertEqual(status, 0)

    def test_arguments(self):
        self.home.write("sub/args.qel",
                        "Qel [] print mold system/options/args print mold system/script/args\n"
                        "print mold system/options/path print mold system/options/script\n")
        out, _ = self.qel("--unknown", "sub/args.qel", "a", "b c", "--x")
        self.assertEqual(out.split("\n")[:4], ['["a" "b c" "--x"]', '{a "b c" --x}',
                                              "%" + self.home.work + "/sub/", "%sub/args.qel"])
        # After a lone "--" an item beginning with "--" is the script.
        self.home.write("--odd.qel", 'Qel [] print "odd"\n')
        out, _ = self.qel("--", "--odd.qel")
        self.assertEqual(out.strip(), "odd")

    def test_unreadable_script_ends_with_status_1(self):
        # It opened the console, which ran the piped input as code (exit 0).
        for name in ["missing.qel", "no-dir/x.qel"]:
            out, status = self.qel(name, stdin="print 1 + 2\n")
            self.assertIn("*** Access Error: cannot open: %" + name, out)
            self.assertNotIn(BANNER, out)
            self.assertNotIn("3", out)
            self.assertEqual(status, 1, name)
        # --catch still opens the console.
        out, status = self.qel("--catch", "missing.qel", stdin="1 + 2\n")
        self.assertIn("*** Access Error", out)
        self.assertIn("== 3", out)
        self.assertEqual(status, 0)
        # The report is near the file the command line names.
        out, _ = self.qel("--", "--missing.qel")
        self.assertEqual(out.split("\n")[:3], [
            "*** Access Error: cannot open: %--missing.qel", "*** Where: read",
            "*** Near : %--missing.qel"])

    def test_input_from_piped_standard_input(self):
        self.home.write("len.qel", "Qel [] print length? input\n")
        self.assertEqual(self.qel("len.qel", stdin="abc\n")[0], "3\n")
        self.assertEqual(self.qel("len.qel", stdin="abc\r\n")[0], "4\n")
        # ask with input from a file writes no prompt.
        self.home.write("ask.qel", 'Qel [] x: ask "x> " print mold x\n')
        self.assertEqual(self.qel("ask.qel", stdin="hello\n")[0], '"hello"\n')
        # At the end of the input, ask and input answer none and the script
        # goes on (it stopped there silently, and wrote the settings).
        self.home.write("more.qel", 'Qel [] print input print mold input print mold ask "? "'
                                    ' print "after"\n')
        out, status = self.qel("more.qel", stdin="one\n")
        self.assertEqual(out.split("\n"), ["one", "none", "none", "after", ""])
        self.assertEqual(status, 0)
        self.assertFalse(os.path.exists(self.home.cfg))
        self.home.write("lines.qel", "Qel [] while [line: input] [print [\"got\" line]] print \"end\"\n")
        out, status = self.qel("lines.qel", stdin="a\n\nb")
        self.assertEqual((out, status), ("got a\ngot \ngot b\nend\n", 0))

    def test_standard_input_routines(self):
        self.home.write("stdin.qel", "Qel [] print mold input-stdin b: make binary! 8\n"
                                     "read-stdin b 3 print mold b print mold input-stdin\n"
                                     "print mold input-stdin\n")
        out, status = self.qel("stdin.qel", stdin="line one\nabcdef\n")
        self.assertEqual(out.split("\n")[:4], ['"line one"', "#{616263}", '"def"', "none"])
        self.assertEqual(status, 0)

    def test_output_to_a_pipe_arrives_whole_and_in_order(self):
        # Output to a pipe is buffered: every line arrives, and what was
        # printed comes before what a child writes, before a report and
        # before every way out.
        # (300 KB: the buffer is written out several times.)
        self.home.write("many.qel", 'Qel [] t: append/dup copy "" "x" 300 repeat i 1000 [print [i t]]\n')
        out, status = self.qel("many.qel", timeout=300)
        self.assertEqual(out.split("\n"), ["%d %s" % (i, "x" * 300) for i in range(1, 1001)] + [""])
        self.assertEqual(status, 0)
        cases = [
            ('print "a" call/console "echo b" print "c"', "a\nb\nc\n", 0),
            ('print "a" call/console/shell "echo b; echo c >&2" print "d"', "a\nb\nd\n", 0),
            ('print "a" quit/return 3', "a\n", 3),
            ('prin "no line end" quit', "no line end", 0),
            ('prin "no line end"', "no line end", 0),
            ('print "a" halt', "a\n(halted)\n", 0),
            ('print "a" loop 1 [1 / 0]', "a\n*** Math Error: attempt to divide by zero\n", 254),
        ]
        for text, want, want_status in cases:
            self.home.write("o.qel", "Qel [] " + text + "\n")
            out, status = self.qel("o.qel")
            self.assertEqual((out[:len(want)], status), (want, want_status), text)
        # A signal that ends the script writes what was buffered first.
        # (The script makes a file once it has printed.)
        self.home.write("sig.qel", 'Qel [] print "before" write %ready "" forever []\n')
        ready = os.path.join(self.home.work, "ready")
        p = subprocess.Popen([QEL, "sig.qel"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                             env=self.home.env(), cwd=self.home.work)
        try:
            deadline = time.time() + 60
            while not os.path.exists(ready) and time.time() < deadline:
                time.sleep(0.05)
            p.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(timeout=30), 143)
            self.assertEqual(p.stdout.read(), b"before\n")
        finally:
            p.kill()
            p.wait()
            p.stdout.close()

    def test_printed_output_goes_out_before_input_is_read(self):
        # The other end of a pipe may wait for a question before it answers:
        # every way of reading the standard input writes what was printed
        # first (read %/dev/stdin waited with the question still buffered).
        reads = ["x: input", 'x: ask ""', "x: input-stdin",
                 "x: make binary! 8 read-stdin x 3 x: to string! x",
                 "x: trim/lines read %/dev/stdin"]
        for code in reads:
            with self.subTest(code=code):
                self.home.write("q.qel", 'Qel [] print "question" %s print ["got" x]\n' % code)
                p = subprocess.Popen([QEL, "q.qel"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=self.home.env(), cwd=self.home.work)
                try:
                    ready, _, _ = select.select([p.stdout], [], [], 60)
                    self.assertTrue(ready, "nothing printed before the read")
                    self.assertEqual(p.stdout.readline(), b"question\n")
                    p.stdin.write(b"abc\n")
                    p.stdin.close()
                    self.assertEqual(p.stdout.read(), b"got abc\n")
                    self.assertEqual(p.wait(timeout=30), 0)
                finally:
                    p.kill()
                    p.wait()
                    p.stdout.close()

    def test_a_script_that_ends_without_quit_writes_no_settings(self):
        self.home.write("s.qel", "Qel [] 1\n")
        self.qel("s.qel")
        self.assertFalse(os.path.exists(self.home.cfg))

    def test_signals_end_a_script_with_128_plus_the_signal(self):
        # SIGINT ended it with status 0.
        # (The wait writes out the line.)
        self.home.write("loop.qel", 'Qel [] print "running" wait 0 forever []\n')
        for sig, status in [(signal.SIGINT, 130), (signal.SIGTERM, 143)]:
            with self.subTest(sig=sig):
                p = subprocess.Popen([QEL, "loop.qel"], stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, env=self.home.env(),
                                     cwd=self.home.work)
                try:
                    self.assertEqual(p.stdout.readline(), b"running\n")
                    p.send_signal(sig)
                    self.assertEqual(p.wait(timeout=30), status)
                finally:
                    p.kill()
                    p.wait()
                    p.stdout.close()

    def test_a_write_that_fails_part_way_keeps_the_old_file(self):
        # Past the file size limit a write fails: the old file was already
        # truncated and left written in part (and the signal ended the
        # program). Now it is untouched, no new file is left beside it, and
        # the error names the cause.
        import resource
        self.home.write("old.txt", "precious")
        self.home.write("big.qel", 'Qel [] e: try [write %old.txt append/dup copy "" "x" 100000]'
                                   ' print [e/id e/arg2] print read %old.txt print sort read %.\n')
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        out = subprocess.run([QEL, "big.qel"], capture_output=True, timeout=30, preexec_fn=limit,
                             env=self.home.env(), cwd=self.home.work)
        self.assertEqual(out.stdout.decode().split("\n"),
                         ["cannot-write file too large", "precious", "big.qel old.txt", ""])
        self.assertEqual(out.returncode, 0)


class Settings(ConsoleTest):
    def setUp(self):
        super().setUp()
        if not self.defined("save"):
            self.skipTest("save is not defined yet")
        # The probe's start-up made the cache folder: each test starts without it.
        shutil.rmtree(os.path.join(self.home.path, ".qel"), ignore_errors=True)

    def read_cfg(self):
        with open(self.home.cfg, encoding="utf-8") as f:
            return f.read()

    def test_quit_writes_the_file_with_both_keys_and_at_most_100_entries(self):
        out, status = self.qel(stdin='loop 150 [insert system/console/history "x"]\n'
                                     'insert system/console/history "newest"\nquit\n')
        self.assertEqual(status, 0)
        text = self.read_cfg()
        self.assertIn('Purpose: "Qel Console Configuration File"', text)
        self.assertIn("buffer-lines: 10000", text)
        self.assertEqual(text.count('"x"'), 99)
        self.assertIn('"newest"', text)
        # The next start reads the history back.
        out, _ = self.qel(stdin="print first system/console/history\n")
        self.assertIn("newest", out)

    def test_bad_values_become_the_defaults(self):
        os.makedirs(os.path.dirname(self.home.cfg))
        for bad in ['buffer-lines: "many" history: 5',
                    'buffer-lines: 3 history: ["ok" 7 [x] "fine"]',
                    "history:",
                    "not a settings file ]["]:
            with open(self.home.cfg, "w") as f:
                f.write('Qel [Purpose: "Qel Console Configuration File"]\n' + bad + "\n")
            out, status = self.qel(stdin="print mold system/console/history\nquit\n")
            self.assertEqual(status, 0, bad)
            self.assertNotIn("Error", out, bad)
            text = self.read_cfg()
            self.assertRegex(text, r"buffer-lines: (10000|3)")
            self.assertIn("history: [", text)
            # Entries that are not strings are dropped, the others kept.
            if '"ok"' in bad:
                self.assertIn('["ok" "fine"]', out, bad)

    def test_an_unmakeable_folder_means_no_persistence_and_one_warning(self):
        # The cache folder is a file: nothing can be made below it. The
        # warning goes to the standard error (a script printed it among its
        # own output).
        with open(os.path.join(self.home.path, ".qel"), "w") as f:
            f.write("in the way")
        out, status = self.qel(stdin="1 + 2\nquit\n")
        self.assertEqual(self.stderr.count("*** Warning"), 1, self.stderr)
        self.assertNotIn("Warning", out)
        self.assertIn("== 3", out)
        self.assertEqual(status, 0)
        self.home.write("s.qel", 'Qel [] print "mine" quit\n')
        out, status = self.qel("s.qel")
        self.assertEqual((out, status), ("mine\n", 0))
        self.assertEqual(self.stderr.count("*** Warning"), 1, self.stderr)

    def test_unsaveable_settings_still_quit(self):
        os.makedirs(self.home.cfg)  # a folder where the file should be
        for args in [(), ("s.qel",)]:
            self.home.write("s.qel", 'Qel [] print "mine" quit\n')
            out, status = self.qel(*args, stdin="quit\n")
            self.assertNotIn("Warning", out)
            self.assertIn("*** Warning: the console settings could not be saved", self.stderr)
            self.assertEqual(status, 0)

    def test_a_home_that_does_not_exist_is_not_made(self):
        # The console made HOME and all its parents to keep its settings.
        home = os.path.join(self.home.path, "no", "such", "home")
        out, status = self.qel(stdin="print system/options/cache\n",
                               env=self.home.env(HOME=home))
        self.assertIn("/tmp/.qel/", out)
        self.assertFalse(os.path.exists(os.path.join(self.home.path, "no")))
        self.assertEqual(status, 0)


class OnTerminal(ConsoleTest):
    def prompt_row(self, s):
        return s.screen.line(s.screen.cursor()[0])

    def test_banner_title_and_size(self):
        s = self.session(cols=100, rows=30)
        s.wait_for(">>")
        self.assertEqual(s.screen.title, "Qel Console")
        s.type("print system/console/size\r")
        s.wait_for("100x30")

    def test_result_cut_to_the_width_after_a_resize_while_typing(self):
        s = self.session(cols=80)
        s.wait_for(">>")
        s.type('append/dup copy "" "x" 100')
        s.resize(60, 24)
        s.type("\r")
        s.wait_for("x...")
        line = next(l for l in s.screen.text().split("\n") if l.startswith("== "))
        self.assertEqual(len(line), 59)

    def test_editing_and_history(self):
        s = self.session()
        s.wait_for(">>")
        s.type("10 + 3" + HOME_KEY + DELETE + "2" + END_KEY + "\x7f5" + LEFT + LEFT + RIGHT + "\r")
        s.wait_for("== 25")
        for line in ["x: 5", "x: 5", "", "x + 1"]:
            s.type(line + "\r")
        s.wait_for("== 6")
        walk = [(UP, "x + 1"), (UP, "x: 5"), (UP, "20 + 5"), (UP, ""), (DOWN, "20 + 5"),
                (DOWN, "x: 5"), (DOWN, "x + 1"), (DOWN, "")]
        for key, shown in walk:
            s.type(key)
            self.assertEqual(self.prompt_row(s), (">> " + shown).rstrip(), "after " + repr(key))

    def test_prompt_after_output_that_filled_the_row(self):
        s = self.session(cols=40)
        s.wait_for(">>")
        s.type('prin append/dup copy "" "-" 40 x: ask "? "\r')
        s.wait_for("?")
        s.type("abcd" + LEFT + "Z\r")
        s.wait_for('== "abcZd"')
        self.assertIn("\n? abcZd\n", s.screen.text())

    def test_hidden_ask(self):
        s = self.session()
        s.wait_for(">>")
        s.type('pw: ask/hide "pw: "\r')
        s.wait_for("pw:")
        s.type("secret")
        self.assertEqual(self.prompt_row(s), "pw: ******")
        s.type("\rpw\r")
        s.wait_for('== "secret"')
        s.type(UP + UP)
        self.assertEqual(self.prompt_row(s), '>> pw: ask/hide "pw: "')

    def test_ask_with_its_own_history(self):
        s = self.session()
        s.wait_for(">>")
        # An entry that is not a string takes its place in the walk, empty.
        s.type('h: ["older" 12 "oldest"] x: ask/history "? " h\r')
        s.wait_for("?")
        for shown in ["older", "", "oldest", ""]:
            s.type(UP)
            self.assertEqual(self.prompt_row(s), ("? " + shown).rstrip())
        s.type(DOWN + DOWN + DOWN + "\x7f\x7f\x7f\x7f\x7fnew\r")
        s.wait_for('== "new"')
        s.type("h\r")
        s.wait_for('== ["new" "older" 12 "oldest"]')
        s.type("length? system/console/history\r")
        s.wait_for("== 3")

    def test_continuation_cue_and_escape(self):
        s = self.session()
        s.wait_for(">>")
        s.type("[\r")
        s.wait_for(lambda t: t.endswith("[    "[:1]))
        self.assertEqual(self.prompt_row(s), "[")
        self.assertEqual(s.screen.cursor()[1], 5)  # "[" and four blanks
        s.type("1 2]\r")
        s.wait_for("== [1 2]")
        s.type("{abc\r\x1b")
        s.wait_for("(escape)")
        s.type("1\r")
        s.wait_for("== 1")

    def test_ctrl_c_ends_with_status_0_and_restores_the_terminal(self):
        s = self.session()
        s.wait_for(">>")
        s.type("1 + 1\r")
        s.wait_for("== 2")
        s.type("\x03")
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.modes_now(), s.modes_before)
        if self.defined("save"):
            with open(self.home.cfg) as f:
                text = f.read()
            self.assertIn("buffer-lines", text)
            self.assertIn('history: ["1 + 1"]', text)

    def test_ctrl_c_halts_an_evaluation_and_keeps_the_session(self):
        # Ctrl-C while code ran ended the whole console (status 0, every
        # word defined at the prompt lost). Loops of every kind, a wait and
        # a call halt; the prompt comes back with the words kept.
        s = self.session()
        s.wait_for(">>")
        s.type("x: 41 f: does [x]\r")
        commands = ["forever []", "forever [x: x]", "while [true] [f]", "wait 100",
                    'call/wait "sleep 100"']
        for n, command in enumerate(commands, 1):
            start = time.monotonic()
            s.type(command + "\r", settle=0.3)
            s.type("\x03")
            s.wait_for(lambda t: t.count("(halted)") == n)
            self.assertLess(time.monotonic() - start, 30, command)
        s.type("x + 1\r")
        s.wait_for("== 42")
        # At the prompt Ctrl-C still ends the console, through quit.
        s.type("\x03")
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.modes_now(), s.modes_before)

    def test_ctrl_c_in_a_script_ends_it_with_status_130(self):
        self.home.write("loop.qel", 'Qel [] print "running" forever []\n')
        s = self.session("loop.qel")
        s.wait_for("running")
        s.type("\x03")
        self.assertEqual(s.wait_exit(), 130)
        self.assertEqual(s.modes_now(), s.modes_before)

    def test_ctrl_c_in_a_pending_command_is_one_more_line(self):
        s = self.session()
        s.wait_for(">>")
        s.type("[\r\x03")
        s.type("]\r")
        s.wait_for("== [q]")
        s.type("\x04")  # Ctrl-D on an empty line
        self.assertEqual(s.wait_exit(), 0)

    def test_terminal_restored_after_quit_errors_and_signals(self):
        for name, keys, sig in [("quit", "quit\r", None), ("q", "q\r", None),
                                ("script error then quit", "do [1 / 0]\rquit\r", None),
                                ("SIGTERM at the prompt", "", signal.SIGTERM)]:
            with self.subTest(name):
                s = self.session()
                s.wait_for(">>")
                if keys:
                    s.type(keys)
                if sig:
                    os.kill(s.proc.pid, sig)
                s.wait_exit()
                self.assertEqual(s.modes_now(), s.modes_before)

    def test_script_on_a_terminal(self):
        self.home.write("err.qel", "Qel [] 1 / 0\n")
        s = self.session("err.qel")
        self.assertEqual(s.wait_exit(), 254)
        self.assertEqual(s.modes_now(), s.modes_before)
        self.home.write("ask.qel", 'Qel [] x: ask "name? " print ["hello" x]\n')
        s = self.session("ask.qel")
        s.wait_for("name?")
        s.type("Ann\r")
        s.wait_for("hello Ann")
        self.assertEqual(s.wait_exit(), 0)

    def test_a_long_paste_is_evaluated_quickly(self):
        # Typed ahead, and pasted between the terminal's paste marks.
        for begin, end in (("", ""), ("\x1b[200~", "\x1b[201~")):
            with self.subTest(bracketed=bool(begin)):
                s = self.session()
                s.wait_for(">>")
                lines = "".join("x: %d\r" % i for i in range(1000))
                start = time.monotonic()
                s.type(begin + lines + end + "print [x + 1000]\r", settle=0.01)
                # Checked builds (sanitizers, a collection at every safe
                # point) are slower by a factor the build states.
                factor = float(os.environ.get("QEL_TIME_FACTOR", "1"))
                s.wait_for(lambda t: re.search(r"^1999$", t, re.M), timeout=30 * factor)
                self.assertLess(time.monotonic() - start, 5.0 * factor)

    def test_a_tab_in_pasted_text_is_text(self):
        s = self.session()
        s.wait_for(">>")
        s.type('\x1b[200~t: "pr\tb"\rb: [\r\tpri\t\r]\x1b[201~\rprint [length? t mold/flat b]\r')
        s.wait_for("4 [pri]")


if __name__ == "__main__":
    unittest.main()
