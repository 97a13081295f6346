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


def click(s, label):
    """Presses and releases the mouse over the first cell of `label`, once
    it is on the screen (a slow build may still be redrawing)."""
    s.wait_for(label)
    lines = s.screen.text().split("\n")
    row = next(i for i, line in enumerate(lines) if label in line)
    column = lines[row].index(label)
    s.type("\x1b[<0;%d;%dM\x1b[<0;%d;%dm" % (column + 1, row + 1, column + 1, row + 1))


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

    def test_clicks_run_an_actor_once_and_keep_the_focus_it_set(self):
        # The button's actor moves the focus to the field: the click does not
        # take it back, so the next key goes to the field. A click on a radio
        # button runs its actor once.
        s = run_script(self, "focus.qel", FOCUS_SCRIPT)
        s.wait_for("Go")
        click(s, "Go")
        s.wait_for("went")
        s.type("y")
        s.wait_for("xy")
        click(s, "Pick")
        s.wait_for(lambda text: "picked 1" in text)
        # The first row of a list without a selection: the click selects it.
        click(s, "aa")
        s.wait_for("row 1")
        s.type("\x1b")
        self.assertEqual(s.wait_exit(), 0)
        self.assertIn("runs: 1 text: xy", s.screen.text())


FOCUS_SCRIPT = """Qel []
system/view/platform/mouse-event?: true
n: 0
view [
	f: field "x"
	button "Go" [set-focus f print "went"]
	radio "Pick" [n: n + 1 print ["picked" n]]
	return
	text-list 6x2 data ["aa" "bb"] [print ["row" face/selected]]
]
print ["runs:" n "text:" f/text]
"""


if __name__ == "__main__":
    unittest.main()
