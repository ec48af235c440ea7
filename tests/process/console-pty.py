#!/usr/bin/env python3
"""The console on a terminal, used as a person uses it: the executable runs
on a pseudo-terminal, keys are typed into it, and what it draws is read
back.

Usage: console-pty.py VEL
"""
import fcntl
import os
import pty
import re
import select
import signal
import struct
import sys
import termios

VEL = sys.argv[1]
WAIT = 30  # seconds to wait for an expected text before giving up
sessions = []


class Session:
    def __init__(self, args=(), columns=80):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["VEL_TEST_MODE"] = "1"
            os.environ["TERM"] = "xterm"
            # Under the collector's stress mode the boot, the same as every
            # other test's, is not repeated under stress: the console is
            # stressed from the end of the boot on.
            os.environ["VEL_GC_STRESS_BOOT"] = "0"
            os.execv(VEL, [VEL, *args])
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        self.seen = b""
        self.pos = 0
        sessions.append(self)

    def read_until(self, text):
        """Reads the terminal until `text` has been drawn after the previous
        match; answers what was drawn up to the end of this one, with escape
        sequences removed."""
        want = text.encode()
        end = os.times().elapsed + WAIT
        while want not in self.seen[self.pos:]:
            left = end - os.times().elapsed
            if left <= 0:
                raise AssertionError(f"never drawn: {text!r}; drawn: {self.seen[self.pos:]!r}")
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError(f"ended before drawing {text!r}; drawn: {self.seen[self.pos:]!r}")
                self.seen += chunk
        at = self.seen.index(want, self.pos) + len(want)
        drawn = self.seen[self.pos:at].decode("utf-8", "replace")
        self.pos = at
        return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", drawn)

    def wait_for_editor(self):
        """Waits until the line editor has the terminal in its own mode:
        keys typed while the line discipline still edits lines itself would
        be taken by it (its erase key eats the byte before it)."""
        end = os.times().elapsed + WAIT
        while termios.tcgetattr(self.fd)[3] & termios.ICANON:
            if os.times().elapsed > end:
                raise AssertionError("the line editor never took the terminal")
            # Drains what is drawn meanwhile, so that the child never blocks.
            ready, _, _ = select.select([self.fd], [], [], 0.01)
            if ready:
                try:
                    self.seen += os.read(self.fd, 4096)
                except OSError:
                    pass

    def type(self, keys):
        self.wait_for_editor()
        os.write(self.fd, keys.encode())

    def command(self, keys, result):
        """Types keys and Enter, then waits for the result and for the next
        prompt: keys typed before libedit reads again would be taken by the
        terminal's own line mode."""
        self.type(keys + "\r")
        drawn = self.read_until(result)
        self.read_until(">> ")
        return drawn

    def status(self):
        """The exit status, or None when the process does not end: it is
        then killed, so that the test itself never hangs."""
        end = os.times().elapsed + WAIT
        while os.times().elapsed < end:
            # Reads what is left, so that the child never blocks on a full terminal.
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if ready:
                try:
                    os.read(self.fd, 4096)
                except OSError:
                    pass
            pid, st = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.done = True
                return os.waitstatus_to_exitcode(st)
        self.kill()
        return None

    def kill(self):
        if getattr(self, "done", False):
            return
        self.done = True
        try:
            os.kill(self.pid, 9)
            os.waitpid(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


failures = []


def check(name, cond, detail=""):
    if not cond:
        failures.append(f"{name}: {detail}")


def case(fn):
    try:
        fn()
    except AssertionError as e:
        failures.append(f"{fn.__name__}: {e}")
    return fn


def give_up(*_):
    for s in sessions:
        s.kill()
    print("FAIL: the test did not end within its time")
    os._exit(1)


# Never hang the test run, whatever the console does.
signal.signal(signal.SIGALRM, give_up)
signal.alarm(300)

UP, LEFT, BACKSPACE, ESC, CTRL_C, CTRL_D = "\x1b[A", "\x1b[D", "\x7f", "\x1b", "\x03", "\x04"


# read_until fails the case when the text is never drawn: each call below
# is a check. The prompt itself is no sign that a command has run, since
# libedit draws it again when it recalls a line.
@case
def typing_recalling_and_editing():
    s = Session()
    banner = s.read_until("Type HELP for starting information.")
    check("banner", "--== Vel" in banner, banner)
    s.read_until(">> ")
    s.command("1 + 2", "== 3")
    # The up arrow brings the line back; it is edited and run again.
    s.type(UP)
    s.read_until("1 + 2")
    s.command(BACKSPACE + "40", "== 41")
    # Editing in the middle of a recalled line: 1 + 40 becomes 1 + 30.
    s.command(UP + LEFT + BACKSPACE + "3", "== 31")
    # Two lines back.
    s.command("10 * 10", "== 100")
    s.command(UP + UP, "== 31")
    s.type("q\r")
    check("q status", s.status() == 0)


@case
def continuation_and_escape():
    s = Session()
    s.read_until(">> ")
    s.type("[1\r")
    s.read_until("[    ")
    s.command("2]", "== [1")
    s.type("{abc\r")
    s.read_until("{    ")
    s.type("def" + ESC)
    s.read_until("(escape)")
    s.read_until(">> ")
    s.type("x: 5" + CTRL_C)
    s.read_until("(escape)")
    s.read_until(">> ")
    s.command("x", "has no value")
    drawn = s.command('print "a" halt print "b"', "(halted)")
    check("halt", "a\r\n" in drawn and "b\r\n" not in drawn, drawn)
    s.type("quit/return 3\r")
    check("quit status", s.status() == 3)


@case
def results_fit_the_terminal():
    s = Session(columns=30)
    s.read_until(">> ")
    s.type('append/dup copy "" #"x" 100\r')
    drawn = s.read_until("...")
    s.read_until(">> ")
    line = next((l for l in drawn.split("\r\n") if l.startswith("== ")), "")
    check("cut", line.endswith("...") and len(line) <= 30, repr(line))
    s.type(CTRL_D)
    check("ctrl-d at the prompt", s.status() == 0)


@case
def end_of_input_in_a_continuation():
    s = Session()
    s.read_until(">> ")
    s.type("[1 2\r")
    s.read_until("[    ")
    s.type(CTRL_D)
    check("ctrl-d in a continuation", s.status() == 0)


@case
def ctrl_c_halts_the_evaluation():
    s = Session()
    s.read_until(">> ")
    # Ctrl+C while a command runs stops it as halt does, and the console
    # goes on: an empty loop, then a loop inside a function. The key is
    # sent once the command has shown that it runs.
    for command in ['print "go" forever []', 'f: does [n: 0 while [true] [n: n + 1]] print "go" f']:
        s.type(command + "\r")
        s.read_until("go\r\n")
        os.write(s.fd, CTRL_C.encode())
        s.read_until("(halted)")
        s.read_until(">> ")
        s.command("1 + 1", "== 2")
    s.type("q\r")
    check("q status", s.status() == 0)


for s in sessions:
    s.kill()
for f in failures:
    print("FAIL:", f)
print(f"{len(failures)} failed" if failures else "all passed")
sys.exit(1 if failures else 0)
