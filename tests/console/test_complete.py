"""Tab completion on a terminal: `qel` on a pseudo-terminal, keys typed,
the screen read.

    QEL=path/to/qel python3 -m unittest test_complete
"""

import os
import unittest

from test_console import ConsoleTest

LEFT = "\x1b[D"


class Completion(ConsoleTest):
    def row(self, s):
        return s.screen.line(s.screen.cursor()[0])

    def test_one_candidate_completes_in_place(self):
        s = self.session()
        s.wait_for(">>")
        # In the middle of a line: the text after the cursor stays, and the
        # cursor lands after the completed word.
        s.type("zq-beta: 7\rzq-be + 1" + LEFT * 4 + "\t")
        s.wait_for(">> zq-beta + 1")
        self.assertEqual(s.screen.cursor()[1], len(">> zq-beta"))
        s.type("\r")
        s.wait_for("== 8")
        # A complete word: Tab is an ordinary character.
        s.type("zq-beta\t\r")
        s.wait_for(lambda t: t.count("== 7") == 2)

    def test_several_candidates_are_listed_and_the_line_comes_back(self):
        for name in ("alpha.txt", "alpine.txt"):
            self.home.write(name, "")
        s = self.session()
        s.wait_for(">>")
        s.type("length? read %al\t")
        s.wait_for("alpha.txt alpine.txt")
        # The candidates after the prompt, then the line on a new prompt
        # with their common part completed.
        s.wait_for(lambda _: self.row(s) == ">> length? read %alp")
        self.assertEqual(s.screen.line(s.screen.cursor()[0] - 1),
                         ">> alpha.txt alpine.txt")
        s.type("h\t")
        s.wait_for(">> length? read %alpha.txt")
        s.type("\r")
        s.wait_for("== 0")


if __name__ == "__main__":
    unittest.main()
