"""The text-mode widgets on a pseudo-terminal: keys typed at a shown
window reach the focused widget through the event loop. A field edits its
text at the caret and shows the caret where it stands, Tab moves on, space
ticks a check box, the arrows move a text list's selection, and space on a
button runs its actor, which closes the window. The file requester is
driven the same way.
"""

import os
import unittest

from script_run import ScriptHome, run_script

# Slower builds (sanitizers, collection stress) wait longer.
WAIT = 10.0 * float(os.environ.get("QEL_TIME_FACTOR", "1"))

SCRIPT = """Qel []
view [
\tf: field 12 "ab"
\tc: check "Tick"
\treturn
\tt: text-list 10x3 data ["one" "two" "three" "four"]
\tbutton "Done" [unview]
]
print ["field:" mold f/text "check:" c/data "list:" t/selected]
"""

LEFT = "\x1b[D"
RIGHT = "\x1b[C"
DOWN = "\x1b[B"


class Widgets(unittest.TestCase):
    def test_keys_change_the_focused_widget(self):
        s = run_script(self, "widgets.qel", SCRIPT)
        s.wait_for("Tick", WAIT)
        # The field has the focus: typing goes in at the caret.
        s.type("c" + LEFT + "X")
        s.wait_for("abXc", WAIT)
        row = next(i for i, line in enumerate(s.screen.text().split("\n")) if "abXc" in line)
        self.assertEqual(s.screen.cursor(), (row, s.screen.line(row).index("abXc") + 3))
        s.type("\x7f")  # backspace
        s.wait_for(lambda text: "abc " in text, WAIT)
        s.type("\t ")  # on to the check box, and tick it
        s.wait_for("\U0001F795 Tick", WAIT)
        s.type("\t" + DOWN + DOWN + "\t ")
        self.assertEqual(s.wait_exit(WAIT), 0)
        self.assertIn('field: "abc" check: true list: 3', s.screen.text())
        self.assertEqual(s.modes_now(), s.modes_before)

    def test_the_file_requester_picks_a_file(self):
        home = ScriptHome(self)
        # The requester starts in the script's folder.
        work = os.path.join(home.path, "work")
        os.makedirs(os.path.join(work, "sub"))
        script = home.write(os.path.join("work", "request.qel"), 'Qel []\nprint ["got:" mold request-file]\n')
        for name in ("a.txt", os.path.join("sub", "c.txt")):
            open(os.path.join(work, name), "w").close()
        s = home.run(script, cols=80, rows=40, cwd=work)
        s.wait_for("Cancel", WAIT)
        # The folders list has the focus, its first row selected: down to
        # sub/ and into it, right to the files, Enter takes the first one.
        s.type(DOWN + "\r")
        s.wait_for(lambda text: "c.txt" in text, WAIT)
        s.type(RIGHT + "\r")
        s.wait_for(lambda text: "Selected:  c.txt" in text, WAIT)
        s.type("\t\t ")  # on past the field to the caption button, and press it
        self.assertEqual(s.wait_exit(WAIT), 0)
        self.assertIn("got: %" + os.path.realpath(work) + "/sub/c.txt", s.screen.text().replace("\n", ""))


if __name__ == "__main__":
    unittest.main()
