#!/usr/bin/python3
# SPDX-FileCopyrightText: The dg318 developers
# SPDX-License-Identifier: BSD-3-Clause

# The part of tests/screen-reader that runs inside its display and session bus:
# sets values on a simulator, starts Orca and the program, connects, presses
# Update data, tabs once round the window and reads from Orca's debug log what
# it said after each Tab. Each value control must be spoken with its name and
# the value the window shows (and the trigger box with its role): the value in
# the same sentence as the name, after it, or at the start of a sentence of its
# own ("1.234 selected"). A description that lists the value among others
# ("OFF, IN1 or IN2") does not count. Writes what was heard and the verdict to WORK/heard; exits 0 only if
# every value control was heard so.
# Usage: tests/screen-reader.py WORK PROGRAM SIMULATOR
import os
import pty
import re
import socket
import subprocess
import sys
import threading
import time
import tty

ADDRESS = "127.0.1.1"
PORT = 4000
# Set on the simulator before the program connects (the amplitude in millivolts).
PRESETS = ["FREQ F1,1234", "FREQ F2,56789", "TRIG T1,IN2", "WIDTH T1,777", "AMPL T1,2500",
           "DELAY T1,1.234"]
# What a screen reader must say for each value control on the way round the window:
# its name, the value it shows once read back (in the C locale), the role if asked for.
EXPECTED = [("Frequency 1 (Hz)", "1234", None), ("Frequency 2 (Hz)", "56789", None),
            ("T1 trigger", "IN2", "combo box"), ("T1 width (ns)", "777", None),
            ("T1 amplitude (V)", "2.50", None), ("T1 delay (ps)", "1.234", None)]
# Orca 43 writes "SPEECH OUTPUT: 'text'{voice}", Orca 48 "SPEECH OUTPUT: 'text' {voice}".
SPEECH = re.compile(r"SPEECH OUTPUT: '(.*)'(?: voice=\w+)? ?(?:\{.*\}|None)?$")
# Loose bounds for a loaded 2-core machine: nothing here is a measure of speed.
START_WAIT = 90
STEP_WAIT = 30
QUIET = 1.0
MAX_TABS = 30


class Speech:
    """What Orca has said so far, read from its debug log as it is written.

    Orca writes the log as a file it opens itself, in blocks of several kilobytes: what it said
    last could sit in its buffer until it has more to say. A terminal gets every line at once,
    so the log goes to the far end of a pseudo-terminal, read here as it comes."""

    def __init__(self, copy):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)  # lines as written, no line discipline on the way
        self.path = os.ttyname(self.slave)
        self.lock = threading.Lock()
        self.pending = b""
        self.written = time.monotonic()  # when Orca last wrote to its log
        self.heard = []
        threading.Thread(target=self.drain, args=(copy,), daemon=True).start()

    def drain(self, copy):
        # Read on without pause: a full terminal would stop Orca in the middle of a write.
        with open(copy, "wb") as log:
            while True:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    return
                if not data:
                    return
                log.write(data)
                with self.lock:
                    self.pending += data
                    self.written = time.monotonic()

    def read(self):
        with self.lock:
            end = self.pending.rfind(b"\n") + 1  # whole lines only
            data, self.pending = self.pending[:end], self.pending[end:]
        new = []
        for line in data.decode("utf-8", "replace").splitlines():
            match = SPEECH.search(line)
            if match and match.group(1).strip():
                new.append(match.group(1).strip())
        self.heard += new
        return new

    def wait_for(self, words, what):
        """Waits until Orca says something that holds words."""
        deadline = time.monotonic() + START_WAIT
        while time.monotonic() < deadline:
            if any(words in said for said in self.read()):
                return
            time.sleep(0.2)
        raise RuntimeError("Orca did not say %r (%s) within %d s" % (words, what, START_WAIT))

    def settle(self):
        """Waits until Orca has worked through what the program told it: its log stands still."""
        deadline = time.monotonic() + STEP_WAIT
        while time.monotonic() < deadline:
            with self.lock:
                if time.monotonic() - self.written > QUIET:
                    return
            time.sleep(0.1)

    def after(self, key):
        """Presses key and returns what Orca said about it, once it is done: its log has stood
        still for a while, so nothing it says later belongs to this key."""
        self.read()
        start = len(self.heard)
        xdotool("key", key)
        deadline = time.monotonic() + STEP_WAIT
        while time.monotonic() < deadline and not self.read():
            time.sleep(0.1)
        self.settle()
        self.read()
        # Not the key's own name, which Orca says as it is pressed.
        return [said for said in self.heard[start:] if said.strip().lower() != key.lower()]


def xdotool(*args):
    return subprocess.run(["xdotool", *args], check=True, capture_output=True, text=True,
                          timeout=STEP_WAIT).stdout


def preset():
    """Sets the values on the simulator, once it listens, and waits until it has taken them."""
    deadline = time.monotonic() + START_WAIT
    while True:
        try:
            link = socket.create_connection((ADDRESS, PORT), timeout=5)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError("the simulator does not listen on %s:%d" % (ADDRESS, PORT))
            time.sleep(0.2)
    with link:
        # The simulator answers in order: the reply to the query comes after every set line.
        link.sendall("".join(line + "\r\n" for line in PRESETS + ["DELAY? T1"]).encode())
        reply = b""
        while not reply.endswith(b"\n"):
            piece = link.recv(100)
            if not piece:
                break
            reply += piece
    if reply.strip() != b"T1,1.234":
        raise RuntimeError("the simulator answered %r to DELAY? T1" % reply)


def window_of(pid):
    deadline = time.monotonic() + START_WAIT
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                               capture_output=True, text=True).stdout.split()
        if found:
            return found[0]
        time.sleep(0.5)
    raise RuntimeError("the program showed no window within %d s" % START_WAIT)


def value_heard(said, name, value, role):
    """Whether what Orca said after one key holds name (then role) and value, as described at
    the top."""
    for sentence in said:
        if name in sentence:
            rest = sentence[sentence.find(name) + len(name):]
            if role and role not in rest:
                return False
            number = r"%s(?![\w,]|\.\d)" % re.escape(value)  # not the start of a longer one
            after_name = re.search(r"(?<![\w.,])" + number, rest)
            return bool(after_name) or any(re.match(number, s) for s in said)
    return False


def main():
    work, program, simulator = sys.argv[1:4]
    children = []
    report = []
    try:
        children.append(subprocess.Popen([simulator, "--address", ADDRESS]))
        preset()

        version = re.search(r"\d+(\.\d+)+", subprocess.run(
            ["orca", "--version"], capture_output=True, text=True).stdout)
        speech = Speech(os.path.join(work, "orca.log"))
        children.append(subprocess.Popen(["orca", "--user-prefs", os.path.join(work, "orca"),
                                          "--debug-file", speech.path]))
        speech.wait_for("Screen reader on", "Orca's greeting")

        # The numbers in the window as a C locale shows them.
        environment = dict(os.environ, LC_ALL="C.UTF-8")
        children.append(subprocess.Popen([program], env=environment))
        xdotool("windowfocus", "--sync", window_of(children[-1].pid))
        speech.wait_for("Instrument address", "the address field, focused at start")
        xdotool("key", "ctrl+a")
        xdotool("type", "--delay", "50", ADDRESS)
        xdotool("key", "Return")
        speech.wait_for("Update data", "the focus once connected")
        # Update data reads every value back. Orca has nothing to say about it: the first Tab
        # is taken up, and spoken, once the window is done.
        xdotool("key", "space")
        speech.settle()

        report.append("Orca %s heard, after each Tab:" % (version.group() if version else "?"))
        steps = []
        for _ in range(MAX_TABS):
            steps.append(speech.after("Tab"))
            report.append("  " + " | ".join(steps[-1]))
            if any("Update data" in said for said in steps[-1]):
                break  # round the window

        missing = 0
        for name, value, role in EXPECTED:
            heard = [said for said in steps if any(name in s for s in said)]
            if not heard:
                report.append("%s: never reached" % name)
                missing += 1
            elif not any(value_heard(said, name, value, role) for said in heard):
                report.append("%s: not heard with %s%s" % (name, role + " and " if role else "",
                                                          value))
                missing += 1
            else:
                report.append("%s: heard with %s%s" % (name, role + " and " if role else "",
                                                      value))
        report.append("value controls heard with name and value: %d of %d"
                      % (len(EXPECTED) - missing, len(EXPECTED)))
        return 1 if missing else 0
    except (RuntimeError, subprocess.SubprocessError) as error:
        report.append("screen-reader check not made: %s" % error)
        return 2
    finally:
        for child in reversed(children):
            child.terminate()
        for child in reversed(children):
            try:
                child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        with open(os.path.join(work, "heard"), "w") as out:
            out.write("\n".join(report) + "\n")


if __name__ == "__main__":
    sys.exit(main())
