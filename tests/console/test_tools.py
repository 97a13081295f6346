"""The debugging tools as a user meets them: the debugger reading its
commands from piped standard input and from a terminal, trace and profile
from the console.

    QEL=path/to/qel python3 -m unittest test_tools
"""

import unittest

from test_console import ConsoleTest


class Debugger(ConsoleTest):
    def test_commands_from_piped_input(self):
        # The console reads the line with `debug`, the debugger the lines
        # after it (no prompt is written when input is not a terminal); the
        # console goes on once the run ends.
        out, status = self.qel(stdin="debug [x: 1 + 2]\n-s\n\nn\nc\nprint x * 2\n")
        self.assertEqual(self.lines_after_banner(out), [
            "-----> EVAL x:",
            "Input: x: 1 + 2",
            "-empty stack-",
            "-----> PUSH x:",
            "Input: x: 1 + 2",
            "-----> EVAL 1",
            "Input: 1 + 2",
            "6",
        ])
        self.assertEqual(status, 0)

    def test_quit_halts_and_restores_the_settings(self):
        out, status = self.qel(stdin="debug/later [f: does [@stop 1] f 2]\n+i\nq\n"
                                     "print system/tools/options/debug/stack-indent?\n")
        lines = self.lines_after_banner(out)
        self.assertEqual(lines[:2], ["-----> EVAL @stop", "Input: @stop 1"])
        self.assertEqual(lines[-2:], ["(halted)", "false"])
        self.assertEqual(status, 0)

    def test_end_of_input_at_the_prompt_ends_the_console(self):
        out, status = self.qel(stdin="debug [1]\n")
        self.assertIn("-----> EVAL 1", out)
        self.assertEqual(status, 0)

    def test_commands_typed_leave_no_history(self):
        s = self.session()
        s.wait_for(">>")
        s.type("debug [1]\r")
        s.wait_for("debug>")
        s.type("-s\r")
        s.type("c\r")
        # The history holds this line and the one that began the run.
        s.type("length? system/console/history\r")
        s.wait_for("== 2")
        s.type("\x1b[A" + "\x1b[A")
        s.wait_for(lambda text: text.rstrip().endswith(">> debug [1]"))


class TraceAndProfile(ConsoleTest):
    def test_trace_fits_the_console_width(self):
        out, _ = self.qel(stdin="trace [x: 1 + 2]\n")
        lines = self.lines_after_banner(out)
        self.assertEqual(lines[0], "  x: 1 + 2" + " " * 26 + " => 3")
        self.assertEqual(lines[1], "== 3")

    def test_profile_report(self):
        out, _ = self.qel(stdin="f: does [1] profile [f f]\n")
        lines = self.lines_after_banner(out)
        self.assertEqual(lines[0], "== 1")
        self.assertTrue(lines[1].startswith("#1   f                | 2          | "), lines)


if __name__ == "__main__":
    unittest.main()
