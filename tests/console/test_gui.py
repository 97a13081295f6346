"""The GUI back end's terminal layer on a pseudo-terminal.

qel-gui-probe draws a window (inline, or on the alternate screen with
"full") with mouse reports on and the cursor hidden, then leaves one way or
another. Whatever the way, the terminal must end as it was: the same modes,
the alternate screen left, mouse reports off, the cursor shown.
"""

import os
import signal
import unittest

from vt import Session

PROBE = os.environ.get("QEL_GUI_PROBE", "")


def last(raw, seq):
    return raw.rfind(seq.encode())


class ShownView(unittest.TestCase):
    def run_probe(self, *args):
        s = Session([PROBE, *args], cols=40, rows=12)
        self.addCleanup(s.close)
        s.type("\r\n\r\n")  # the view starts a few rows down
        return s

    def assert_restored(self, s):
        self.assertEqual(s.modes_now(), s.modes_before)
        raw = s.raw
        self.assertIn(b"probe-view", raw)
        for on, off in (("\x1b[?1000h", "\x1b[?1006l"), ("\x1b[?25l", "\x1b[?25h"),
                        ("\x1b[?1049h", "\x1b[?1049l")):
            if last(raw, on) >= 0:
                self.assertGreater(last(raw, off), last(raw, on), repr(on))

    def test_every_way_out_restores_the_terminal(self):
        cases = [
            (["quit"], 3),
            (["quit", "full"], 3),
            (["error"], 254),
            (["term"], 128 + signal.SIGTERM),
            (["fault", "full"], 1),
            (["close", "full"], 0),
        ]
        for args, status in cases:
            with self.subTest(args=args):
                s = self.run_probe(*args)
                self.assertEqual(s.wait_exit(), status)
                self.assert_restored(s)
                if "full" in args:
                    self.assertIn(b"\x1b[?1049h", s.raw)

    def test_printing_while_shown_keeps_text_and_view_apart(self):
        s = self.run_probe("close")
        self.assertEqual(s.wait_exit(), 0)
        self.assert_restored(s)
        lines = s.screen.text().split("\n")
        printed = lines.index("printed while shown")
        # The view is drawn again right below the printed line, and the
        # console goes on below the view.
        self.assertEqual(lines[printed + 1].rstrip(), "probe-view")
        self.assertEqual(lines[printed + 3], "closed")


if __name__ == "__main__":
    unittest.main()
