"""The line editor on a real pseudo-terminal (through qel-editor-probe):
keys typed, the screen read, and the terminal's modes checked after every
way out.

    QEL_EDITOR_PROBE=path python3 -m unittest test_editor
"""

import os
import signal
import subprocess
import unittest

from vt import Session

PROBE = os.environ.get("QEL_EDITOR_PROBE", "qel-editor-probe")
LEFT, RIGHT, UP, DOWN = "\x1b[D", "\x1b[C", "\x1b[A", "\x1b[B"
HOME, END, DELETE = "\x1b[H", "\x1b[F", "\x1b[3~"


class EditorOnPty(unittest.TestCase):
    def start(self, cols=80, rows=24):
        s = Session([PROBE], cols=cols, rows=rows)
        self.addCleanup(s.close)
        s.wait_for(">>")
        return s

    def test_editing_keys(self):
        s = self.start()
        s.type("hello" + LEFT + LEFT + "X" + HOME + "A" + END + "!" + "\x7f\x7f" + HOME + DELETE + "\r")
        s.wait_for("accepted[helXl]")
        self.assertEqual(s.screen.line(0), ">> helXl")

    def test_history_walk(self):
        s = self.start()
        for line in ("one", "two", "two", "", "three"):
            s.type(line + "\r")
        s.wait_for("accepted[three]")
        steps = [(UP, "three"), (UP, "two"), (DOWN, "two"), (DOWN, "three"), (DOWN, ""),
                 (UP, "three"), (UP, "two"), (UP, "one"), (UP, "")]
        for key, shown in steps:
            s.type(key)
            row = s.screen.cursor()[0]
            self.assertEqual(s.screen.line(row), (">> " + shown).rstrip(), "after %r" % key)
        # The duplicate "two" and the empty line were not stored.
        s.type(UP + UP + UP + UP + "\r")
        s.wait_for("accepted[]")

    def test_hidden_input_shows_stars(self):
        s = self.start()
        s.type(":hide\r")
        s.wait_for("accepted[:hide]")
        s.type("secret")
        row = s.screen.cursor()[0]
        self.assertEqual(s.screen.line(row), ">> ******")
        s.type("\r")
        s.wait_for("accepted[secret]")
        s.type(UP)
        self.assertEqual(s.screen.line(s.screen.cursor()[0]), ">> :hide")

    def test_utf8_keys_and_invalid_bytes(self):
        s = self.start()
        s.type("\u00e9\u4e00".encode() + b"\xff" + b"\xf0\x9f\x98\x80\r")
        s.wait_for("accepted[\u00e9\u4e00\ufffd\U0001F600]")

    def test_long_line_wraps_and_edits_on_the_right_row(self):
        s = self.start(cols=20, rows=10)
        s.type("a" * 45)
        self.assertEqual([s.screen.line(r) for r in range(3)], [">> " + "a" * 17, "a" * 20, "a" * 8])
        self.assertEqual(s.screen.cursor(), (2, 8))
        s.type(HOME)
        self.assertEqual(s.screen.cursor(), (0, 3))
        s.type("\u4e00" * 9)  # 18 cells: the ninth wide character does not fit in row 0
        self.assertEqual(s.screen.line(0), ">> " + "\u4e00" * 8)
        self.assertEqual(s.screen.line(1), "\u4e00" + "a" * 18)
        s.type(END + "\r")
        want = "accepted[" + "\u4e00" * 9 + "a" * 45 + "]"
        s.wait_for(lambda text: want in text.replace("\n", ""))

    def test_typing_at_the_end_writes_only_the_characters(self):
        s = self.start(cols=30)
        s.type("x" * 10)
        before = len(s.raw)
        s.type("yz")
        self.assertEqual(s.raw[before:], b"yz")

    def test_escape_and_interrupt(self):
        s = self.start()
        s.type("abc\x1b")
        s.wait_for("escape[abc^[]")
        s.type("abc\x03")
        s.wait_for("quit[q]")
        s.type("\x04")
        s.wait_for("quit[q]")

    def test_alt_key_is_one_ignored_key(self):
        s = self.start()
        s.type("ab\x1bxc\x1b\r" + "\x1b\u00e9d\r")
        s.wait_for("accepted[abcd]")

    def test_bracketed_paste(self):
        s = self.start()
        # The mode is on while a line is edited and off once it is done.
        self.assertTrue(s.raw.endswith(b"\x1b[?2004h") or b"\x1b[?2004h" in s.raw)
        # Pasted Tabs are text, pasted control keys do nothing, and each
        # line break (CR, LF or CR LF) ends a line as Enter does.
        s.type("\x1b[200~pri\tx\x03\x1b\x1b[D\x7fy\r\nap\t\nz\x1b[201~")
        s.wait_for("accepted[ap\t]")
        self.assertIn("accepted[pri\txy]", s.screen.text())
        self.assertEqual(s.screen.line(s.screen.cursor()[0]), ">> z")
        self.assertTrue(s.raw.count(b"\x1b[?2004l") >= 2)
        # Typed keys after the paste act as keys again.
        s.type("\x7fpri\t\r")
        s.wait_for("accepted[print]")

    def test_a_paste_whose_end_mark_is_lost_ends_soon(self):
        s = self.start()
        s.type("\x1b[200~pri", settle=0.6)
        s.type("\t\r")
        s.wait_for("accepted[print]")
        s.type("\x1b[200~abc", settle=0.6)
        s.type("\x03")
        s.wait_for("quit[q]")

    def test_completion_lists_and_puts_the_line_back(self):
        s = self.start()
        s.type("pri\t")
        self.assertIn(">> print", s.screen.text())
        s.type("\r")
        s.wait_for("accepted[print]")
        s.type("ap\t")
        s.wait_for("listed[]")
        self.assertIn(">> append apply", s.screen.text())
        s.wait_for(lambda t: t.endswith(">> ap"))

    def test_resize_redraws_at_the_new_width(self):
        s = self.start(cols=40)
        s.type("b" * 30)
        s.resize(20, 24)
        s.type("c")
        s.pump(0.2)
        row = s.screen.cursor()[0]
        self.assertEqual(s.screen.line(row - 1), ">> " + "b" * 17)
        self.assertEqual(s.screen.line(row), "b" * 13 + "c")

    def test_modes_restored_on_every_way_out(self):
        ways = [
            ("quit", lambda s: s.type(":quit\r")),
            ("SIGTERM in raw mode", lambda s: os.kill(s.proc.pid, signal.SIGTERM)),
            ("SIGSEGV in raw mode", lambda s: os.kill(s.proc.pid, signal.SIGSEGV)),
            ("SIGHUP in raw mode", lambda s: os.kill(s.proc.pid, signal.SIGHUP)),
        ]
        for name, way in ways:
            with self.subTest(name):
                s = self.start()
                self.assertNotEqual(s.modes_now(), s.modes_before)  # raw while waiting
                way(s)
                try:
                    s.wait_exit()
                except OSError:
                    pass
                s.proc.wait(10)
                self.assertEqual(s.modes_now(), s.modes_before)

    def test_hang_up_ends_the_editor(self):
        s = self.start()
        os.close(s.master)
        # The hang-up signal ends it (its usual effect), or the failed read.
        self.assertIn(s.proc.wait(10), (0, -signal.SIGHUP))

    def test_piped_input(self):
        out = subprocess.run([PROBE], input=b"one\r\ntwo\n\xffx\nlast", capture_output=True, timeout=10)
        self.assertEqual(out.stdout.decode(), "piped[one\r]\npiped[two]\npiped[\ufffdx]\npiped[last]\nend\n")


if __name__ == "__main__":
    unittest.main()
