#!/usr/bin/python3
# SPDX-FileCopyrightText: The dg318 developers
# SPDX-License-Identifier: BSD-3-Clause

# The half of tests/serial-bridge that talks to the simulator and to the running program.
# Gives the simulator values of its own (set lines written straight to it), asks it for all
# 38 of them, then drives the program through AT-SPI as a user would: types the bridge's
# address, presses Connect and then Update data, and reads what each of the 38 value controls
# shows, by the names a screen reader hears. Prints "values: N of 38 as the instrument holds
# them" and exits 0 only if all 38 are, and the identity came through the bridge unchanged.
# With "held" last, the instrument never answers *IDN? and holds its first answer to WIDTH? T3
# back 5 s, behind a serial line that stays up should ser2net close and reopen the port, so
# that what it owes outlives any connection: no control may show the held width but T3's width,
# and two presses of Update data must bring T3's delay back.
# Usage: tests/serial-bridge.py SIMULATOR_ADDRESS BRIDGE_ADDRESS PROGRAM_PID PROGRAM_LOG [held]
import socket
import sys
import time

import pyatspi

WAIT = 20  # seconds, for each step; the steps take well under one


def exchange(connection, lines):
    """Writes each line to the instrument and reads its reply line; set lines get none."""
    replies = []
    reader = connection.makefile("rb")
    for line in lines:
        connection.sendall(line.encode() + b"\r\n")
        if "?" in line:
            replies.append(reader.readline().decode().rstrip("\r\n"))
    return replies


def controls():
    """The 38 value controls as (name, query), sources first, then T0 to T8."""
    pairs = [("Frequency %d (Hz)" % n, "FREQ? F%d" % n) for n in (1, 2)]
    for n in range(9):
        pairs += [("T%d trigger" % n, "TRIG? T%d" % n), ("T%d width (ns)" % n, "WIDTH? T%d" % n),
                  ("T%d amplitude (V)" % n, "AMPL? T%d" % n),
                  ("T%d delay (ps)" % n, "DELAY? T%d" % n)]
    return pairs


def settings():
    """Values that are none of the program's defaults."""
    sets = ["FREQ F1,1234", "FREQ F2,98765"]
    for n in range(9):
        sets += ["TRIG T%d,%s" % (n, ("IN1", "IN2")[n % 2]), "WIDTH T%d,%d" % (n, 1010 + 111 * n),
                 "AMPL T%d,%d" % (n, 2100 + 100 * n), "DELAY T%d,%s" % (n, 1500.5 + 1000 * n)]
    return sets


def instrument_values(address):
    """Sets values that are none of the program's defaults, then reads them all back."""
    sets = settings()
    with socket.create_connection((address, 4000), timeout=WAIT) as connection:
        identity, = exchange(connection, sets + ["*IDN?"])
        replies = exchange(connection, [query for _, query in controls()])
    # "T3,IN1" -> "IN1"
    return identity, {name: reply.split(",", 1)[1] for (name, _), reply in zip(controls(), replies)}


def until(test):
    """Waits until test() holds, WAIT seconds at most; says whether it held."""
    deadline = time.monotonic() + WAIT
    while not test():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def application(pid):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.get_process_id() == pid and app.childCount > 0:
            return app
    return None


CONTROLS = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_SPIN_BUTTON, pyatspi.ROLE_COMBO_BOX,
            pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY}


def named(app):
    """The application's controls by name; each has a name of its own."""
    found, stack, seen = {}, [app], set()
    while stack:
        obj = stack.pop()
        if obj is None or obj.path in seen:
            continue
        seen.add(obj.path)
        if obj.getRole() in CONTROLS:
            found[obj.name] = obj
        if obj.getRole() != pyatspi.ROLE_COMBO_BOX:  # its popup list holds only its items
            stack.extend(obj.getChildAtIndex(i) for i in range(obj.childCount))
    return found


def press(button):
    action = button.queryAction()
    action.doAction([action.getName(i) for i in range(action.nActions)].index("Press"))


def shown(control):
    """The text a control shows, as a screen reader reads it; None if it offers no text."""
    try:
        return control.queryText().getText(0, -1)
    except NotImplementedError:
        return None


def same(shown_text, reply):
    """The control shows the instrument's value: the same word, or the same number."""
    try:
        return float(shown_text) == float(reply)
    except (TypeError, ValueError):
        return shown_text == reply


def connect_and_update(pid, bridge):
    """Connects the program to the bridge and presses Update data; its controls by name."""
    if not until(lambda: application(pid)):
        sys.exit("serial bridge: the program did not appear on the AT-SPI desktop")
    objects = named(application(pid))
    objects["Instrument address"].queryEditableText().setTextContents(bridge)
    press(objects["Connect"])
    if not until(lambda: objects["Update data"].getState().contains(pyatspi.STATE_ENABLED)):
        sys.exit("serial bridge: the program did not connect to %s" % bridge)
    press(objects["Update data"])
    return objects


def swept(log):
    """Update data is over: T8's trigger, the last read-back, has had its answer logged."""
    last = 'query: "TRIG? T8\\r\\n"'
    text = open(log).read()
    return last in text and "answer:" in text.split(last)[-1]


def presses_over(log):
    """Presses of Update data over: T8's trigger, the last read-back, answered, or a stop line."""
    text = open(log).read()
    answered = sum("answer:" in part for part in text.split('query: "TRIG? T8\\r\\n"')[1:])
    return answered + text.count("Update data stopped")


def held(simulator, bridge, pid, log):
    """The held width: where it ends up, after one press of Update data and after two."""
    with socket.create_connection((simulator, 4000), timeout=WAIT) as connection:
        exchange(connection, settings())  # set lines only: the hold is for the window's query
    objects = connect_and_update(pid, bridge)
    until(lambda: presses_over(log) >= 1)
    first = shown(objects["T3 delay (ps)"])
    press(objects["Update data"])
    until(lambda: presses_over(log) >= 2)
    second = shown(objects["T3 delay (ps)"])
    afresh = any(line.startswith("Connecting afresh") for line in open(log).read().splitlines())
    width, delay = "%d" % (1010 + 111 * 3), "%s" % (1500.5 + 1000 * 3)
    print("held width of T3 (%s), %s no fresh connection: T3 delay (ps) shows %r, then %r" %
          (width, "with a" if afresh else "and", first, second))
    if same(first, width) or same(second, width):
        print("FAILED: the held width shows in T3's delay", file=sys.stderr)
        return 1
    if not same(second, delay):
        print("FAILED: two presses of Update data leave T3's delay without its value %s" % delay,
              file=sys.stderr)
        return 1
    return 0


def main():
    simulator, bridge, pid, log = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    if sys.argv[5:] == ["held"]:
        return held(simulator, bridge, pid, log)
    identity, expected = instrument_values(simulator)
    objects = connect_and_update(pid, bridge)

    def right():
        return [name for name, value in expected.items() if same(shown(objects[name]), value)]

    until(lambda: len(right()) == len(expected))
    print("values: %d of %d as the instrument holds them" % (len(right()), len(expected)))
    for name, value in expected.items():
        if name not in right():
            print("  %s shows %r, the instrument holds %r" % (name, shown(objects[name]), value),
                  file=sys.stderr)
    # The first answer is the identity, asked for on connecting; a bridge in telnet mode puts its
    # option negotiation before it.
    answers = [line for line in open(log).read().splitlines() if line.startswith("answer:")]
    clean = answers[:1] == ['answer: "%s\\r\\n"' % identity]
    print("identity through the bridge: %s" % ("unchanged" if clean else "CHANGED"))
    return 0 if clean and len(right()) == len(expected) else 1


if __name__ == "__main__":
    sys.exit(main())
