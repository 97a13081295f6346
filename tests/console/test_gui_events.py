"""The event loop on a pseudo-terminal: a mouse report clicks the button
under the pointer, Tab moves the focus, typed characters (one cut in two
reads) and cursor keys reach the focused field's actor as keys, and Escape
closes every window, after which the script goes on with the terminal as
it was, with nothing the terminal answered left behind.
"""

import unittest

from script_run import run_script

SCRIPT = """Qel []
print "before"
system/view/platform/mouse-event?: true
view [
	button "One" on-click [print "clicked"]
	field "x" on-key [print ["key" mold event/key]]
]
print "closed"
"""


class Events(unittest.TestCase):
    def test_mouse_keys_and_escape(self):
        s = run_script(self, "events.qel", SCRIPT)
        s.wait_for("One")
        lines = s.screen.text().split("\n")
        row = next(i for i, line in enumerate(lines) if "One" in line)
        column = lines[row].index("One")
        # Press and release over the button (1-based column and row).
        s.type("\x1b[<0;%d;%dM\x1b[<0;%d;%dm" % (column + 2, row + 1, column + 2, row + 1))
        s.wait_for("clicked")
        s.type("\t")
        s.type("a")
        s.wait_for('key #"a"')
        # A character whose bytes come in two reads is one key.
        s.type(b"\xc3", settle=0.2)
        s.type(b"\xa9")
        s.wait_for('key #"\u00e9"')
        # Alt+z (ESC z) is one key nothing binds: the "b" after it still counts.
        s.type("\x1bzb")
        s.wait_for('key #"b"')
        s.type("\x1b[A")
        s.wait_for("key up")
        s.type("\x1b")
        self.assertEqual(s.wait_exit(), 0)
        text = s.screen.text()
        self.assertIn("closed", text.split("\n")[-1])
        self.assertIn("xa\u00e9b", text)  # the field's own key handling ran too
        self.assertEqual(s.modes_now(), s.modes_before)

    def test_printing_then_closing_leaves_no_cursor_report_behind(self):
        # The answer to the cursor request that follows a print reached the
        # terminal as text after the window closed in the same pass.
        s = run_script(self, "bye.qel", 'Qel []\nview [button "Bye" on-click [print "bye" unview]]\nprint "after"\n')
        s.wait_for("Bye")
        s.type(" ")
        self.assertEqual(s.wait_exit(), 0)
        s.pump(0.2)
        self.assertEqual(s.screen.text().split("\n")[-2:], ["bye", "after"])
        self.assertEqual(s.modes_now(), s.modes_before)


if __name__ == "__main__":
    unittest.main()
