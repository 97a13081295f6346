"""`view` on a pseudo-terminal: the window is drawn where the cursor
stands, a key reaches its focused button, whose actor closes it, and the
script goes on below the drawing with the terminal as it was. An error
in drawing ends the loop with its report.
"""

import unittest

from script_run import run_script

SCRIPT = """Qel []
print "before"
view [text "pty-view" button "Close" on-click [unview]]
print "closed"
"""


class View(unittest.TestCase):
    def test_a_key_closes_the_window(self):
        s = run_script(self, "view.qel", SCRIPT)
        s.wait_for("pty-view")
        lines = s.screen.text().split("\n")
        self.assertEqual(lines[0], "before")
        row = next(i for i, line in enumerate(lines) if "pty-view" in line)
        self.assertIn("Close", lines[row])
        s.type(" ")  # space clicks the focused button
        self.assertEqual(s.wait_exit(), 0)
        # The last drawing stays, and the script goes on below it.
        lines = s.screen.text().split("\n")
        self.assertIn("Close", lines[row])
        self.assertIn("closed", lines[row + 1:])
        self.assertNotIn("closed", lines[:row])
        self.assertEqual(s.modes_now(), s.modes_before)

    def test_a_bad_draw_block_is_reported_and_the_script_goes_on(self):
        # The error ends the event loop: it is printed as any error is, and
        # the script carries on after `view`.
        s = run_script(self, "draw.qel", 'Qel []\nview [base 10x3 draw [line 0x0 oops]]\nprint "after"\n', cols=60)
        self.assertEqual(s.wait_exit(), 0)
        lines = s.screen.text().split("\n")
        self.assertIn("*** Script Error: DRAW - invalid input at: [oops]", lines)
        self.assertEqual(lines[-1], "after")
        self.assertEqual(s.modes_now(), s.modes_before)


if __name__ == "__main__":
    unittest.main()
