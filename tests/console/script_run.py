"""Qel scripts run on a pseudo-terminal for the pty tests: each test gets a
fresh folder, which is also HOME for the run so that no settings of the
user's reach it; the script is written there and the session is closed, and
the folder removed, when the test ends.
"""

import os
import tempfile

from vt import Session

QEL = os.environ.get("QEL", "")


class ScriptHome:
    """A fresh folder for one test, removed when the test ends."""

    def __init__(self, test):
        self._test = test
        folder = tempfile.TemporaryDirectory()
        test.addCleanup(folder.cleanup)
        self.path = folder.name

    def write(self, name, source):
        """Writes a script below the folder; its path."""
        script = os.path.join(self.path, name)
        with open(script, "w") as f:
            f.write(source)
        return script

    def run(self, script, cols=40, rows=12, cwd=None):
        """Starts qel on the script in a session of the given size, in `cwd`
        (the folder itself by default)."""
        s = Session([QEL, script], cols=cols, rows=rows, env=dict(os.environ, HOME=self.path), cwd=cwd or self.path)
        self._test.addCleanup(s.close)
        return s


def run_script(test, name, source, cols=40, rows=12):
    """A script written into a fresh folder and started there."""
    home = ScriptHome(test)
    return home.run(home.write(name, source), cols, rows)
