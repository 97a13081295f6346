"""A program on a pseudo-terminal with a small VT screen in front of it.

`Screen` interprets what the program writes the way a VT terminal does:
UTF-8 text with wide and zero-width characters, CR, LF, BS, the pending
wrap after the last column, scrolling, cursor moves (CUU, CUD, CUF, CUB,
CHA, CUP), erasing (ED, EL), and it answers the cursor position query
(ESC [ 6 n). Other sequences (OSC titles, modes, colours) are consumed.

`Session` starts a program on a fresh pty as its controlling terminal,
types keys, pumps the output into the screen and waits for the screen to
show something. It keeps the pty's modes from before the start, so that a
test can check the program put them back.
"""

import codecs
import fcntl
import os
import select
import signal
import struct
import subprocess
import termios
import time
import unicodedata


def cell_width(ch):
    cp = ord(ch)
    if cp == 0:
        return 0
    if cp < 32 or 127 <= cp < 160:
        return 1
    if 0x1F300 <= cp <= 0x1F5FF:
        return 2
    if unicodedata.combining(ch) or unicodedata.category(ch) in ("Mn", "Me"):
        return 0
    if 0x1160 <= cp <= 0x11FF:
        return 0
    if unicodedata.east_asian_width(ch) in ("W", "F"):
        return 2
    return 1


WIDE_TAIL = "\uE000"


class Screen:
    def __init__(self, cols=80, rows=24):
        self.cols = cols
        self.rows = rows
        self.cells = [[" "] * cols for _ in range(rows)]
        self.row = 0
        self.col = 0
        self.pending = False
        self.scrolled = 0
        self.answers = b""
        self.title = None
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self._seq = None  # the escape sequence being read, or None

    # --- reading the screen
    def line(self, r):
        return "".join(c for c in self.cells[r] if c != WIDE_TAIL).rstrip(" ")

    def text(self):
        lines = [self.line(r) for r in range(self.rows)]
        while lines and not lines[-1]:
            lines.pop()
        return "\n".join(lines)

    def cursor(self):
        return (self.row, self.col)

    def resize(self, cols, rows):
        for r in self.cells:
            del r[cols:]
            r.extend([" "] * (cols - len(r)))
        while len(self.cells) < rows:
            self.cells.append([" "] * cols)
        while len(self.cells) > rows:
            self.cells.pop(0)
            self.row = max(0, self.row - 1)
        self.cols, self.rows = cols, rows
        self.col = min(self.col, cols - 1)
        self.row = min(self.row, rows - 1)

    # --- writing
    def feed(self, data):
        for ch in self._decoder.decode(data):
            if self._seq is not None:
                self._sequence_char(ch)
            elif ch == "\x1b":
                self._seq = ""
            elif ch == "\r":
                self.col = 0
                self.pending = False
            elif ch == "\n":
                self._line_feed()
            elif ch == "\b":
                self.pending = False
                self.col = max(0, self.col - 1)
            elif ch == "\x07":
                pass
            else:
                self._put(ch)

    def _line_feed(self):
        self.pending = False
        if self.row == self.rows - 1:
            self.cells.pop(0)
            self.cells.append([" "] * self.cols)
            self.scrolled += 1
        else:
            self.row += 1

    def _put(self, ch):
        w = cell_width(ch)
        if w == 0:
            return
        if self.pending or (w == 2 and self.col == self.cols - 1):
            self.col = 0
            self._line_feed()
        self.cells[self.row][self.col] = ch
        if w == 2:
            self.cells[self.row][self.col + 1] = WIDE_TAIL
        self.col += w
        if self.col >= self.cols:
            self.col = self.cols - 1
            self.pending = True

    def _sequence_char(self, ch):
        seq = self._seq + ch
        self._seq = seq
        if len(seq) == 1:
            if ch in "[]":
                return
            self._seq = None  # ESC x: two-character sequences are ignored
            return
        if seq[0] == "]":  # OSC ... BEL or ESC \
            if ch == "\x07" or seq.endswith("\x1b\\"):
                body = seq[1:].rstrip("\x07").rstrip("\x1b\\")
                if body.startswith("0;") or body.startswith("2;"):
                    self.title = body[2:]
                self._seq = None
            return
        if "\x40" <= ch <= "\x7e":
            self._seq = None
            self._csi(seq[1:-1], ch)

    def _csi(self, params, final):
        private = params[:1] in ("?", "<", ">", "=")
        nums = [int(p) if p.isdigit() else 0 for p in params.lstrip("?<>=").split(";")] if params else []
        n = nums[0] if nums and nums[0] > 0 else 1
        if private:
            return
        self.pending = False
        if final == "A":
            self.row = max(0, self.row - n)
        elif final == "B":
            self.row = min(self.rows - 1, self.row + n)
        elif final == "C":
            self.col = min(self.cols - 1, self.col + n)
        elif final == "D":
            self.col = max(0, self.col - n)
        elif final == "G":
            self.col = min(self.cols - 1, n - 1)
        elif final in "Hf":
            r = nums[0] if nums and nums[0] > 0 else 1
            c = nums[1] if len(nums) > 1 and nums[1] > 0 else 1
            self.row, self.col = min(self.rows, r) - 1, min(self.cols, c) - 1
        elif final == "J":
            mode = nums[0] if nums else 0
            if mode == 0:
                self.cells[self.row][self.col:] = [" "] * (self.cols - self.col)
                for r in range(self.row + 1, self.rows):
                    self.cells[r] = [" "] * self.cols
            elif mode == 2:
                self.cells = [[" "] * self.cols for _ in range(self.rows)]
        elif final == "K":
            self.cells[self.row][self.col:] = [" "] * (self.cols - self.col)
        elif final == "n" and nums == [6]:
            self.answers += ("\x1b[%d;%dR" % (self.row + 1, self.col + 1)).encode()


class Session:
    """A program on a pty, seen through a Screen."""

    def __init__(self, argv, cols=80, rows=24, env=None, cwd=None):
        self.master, self.slave = os.openpty()
        self._set_size(cols, rows)
        self.modes_before = termios.tcgetattr(self.slave)
        self.screen = Screen(cols, rows)
        self.raw = b""
        slave = self.slave

        def controlling_tty():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = subprocess.Popen(
            argv, stdin=slave, stdout=slave, stderr=slave, env=env, cwd=cwd,
            start_new_session=True, preexec_fn=controlling_tty, close_fds=True)

    def _set_size(self, cols, rows):
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))

    def resize(self, cols, rows):
        self.pump(0.1)
        self._set_size(cols, rows)
        self.screen.resize(cols, rows)
        os.killpg(self.proc.pid, signal.SIGWINCH)

    def pump(self, timeout=0.05):
        """Reads what the program wrote within `timeout` seconds."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            r, _, _ = select.select([self.master], [], [], max(0.0, left))
            if not r:
                return
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return
            if not data:
                return
            self.raw += data
            self.screen.feed(data)
            if self.screen.answers:
                os.write(self.master, self.screen.answers)
                self.screen.answers = b""
            end = max(end, time.monotonic() + 0.02)

    def type(self, keys, settle=0.05):
        """Types the keys, reading the output meanwhile (a long paste would
        otherwise block on a full input queue while the program blocks on
        its output)."""
        if isinstance(keys, str):
            keys = keys.encode()
        while keys:
            _, w, _ = select.select([], [self.master], [], 0.05)
            if w:
                os.set_blocking(self.master, False)
                try:
                    n = os.write(self.master, keys[:1024])
                except BlockingIOError:
                    n = 0
                finally:
                    os.set_blocking(self.master, True)
                keys = keys[n:]
            self.pump(0.001)
        self.pump(settle)

    def wait_for(self, predicate, timeout=10.0):
        """Pumps until predicate(screen text) holds; returns the text."""
        if isinstance(predicate, str):
            wanted = predicate
            predicate = lambda text: wanted in text
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.pump(0.05)
            text = self.screen.text()
            if predicate(text):
                return text
        raise AssertionError("screen never showed what was awaited:\n" + self.screen.text())

    def wait_exit(self, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.pump(0.05)
            code = self.proc.poll()
            if code is not None:
                self.pump(0.1)
                return code
        self.proc.kill()
        raise AssertionError("the program did not end:\n" + self.screen.text())

    def modes_now(self):
        return termios.tcgetattr(self.slave)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
