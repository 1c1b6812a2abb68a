#!/usr/bin/python3
# SPDX-FileCopyrightText: The dg318 developers
# SPDX-License-Identifier: BSD-3-Clause

# Walks the whole accessible tree of a running application through AT-SPI, as
# a screen reader sees it, and checks the controls a user acts on (buttons,
# check boxes, combo boxes, spin boxes, tabs, editable text...): each needs a
# name, and one that no other control of the same role has. Hidden controls
# count too. Prints "controls: N", "unnamed: N" and "shared names: N", and the
# details on standard error. Exits 0 if nothing is unnamed or shared, 1 if
# something is (or there are fewer controls than asked), 2 if the application
# is not found.
# Usage: tests/accessibility-walk.py [--min-controls N] APPLICATION
# APPLICATION is the process id or the accessible name of the application.
import argparse
import collections
import sys

import pyatspi

CONTROLS = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_CHECK_BOX,
            pyatspi.ROLE_RADIO_BUTTON, pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_SPIN_BUTTON,
            pyatspi.ROLE_SLIDER, pyatspi.ROLE_PAGE_TAB}
TEXT = {pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY}  # controls only when editable
MAX_DEPTH = 64
MAX_LINES = 20


def find_application(which):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and (app.name == which or
                                (which.isdigit() and app.get_process_id() == int(which))):
            return app
    return None


def walk(obj, index, path, seen, controls):
    """Collects the controls below obj as (role name, name, where)."""
    if obj is None or obj.path in seen or len(path) > MAX_DEPTH:
        return
    seen.add(obj.path)
    role = obj.getRole()
    # Shown by name (or role) and index among its siblings.
    here = "%s #%d" % (repr(obj.name) if obj.name.strip() else obj.getRoleName(), index)
    if role in CONTROLS or (role in TEXT and obj.getState().contains(pyatspi.STATE_EDITABLE)):
        controls.append((obj.getRoleName(), obj.name, " > ".join(path + [here])))
    if role == pyatspi.ROLE_COMBO_BOX:
        return  # its popup list holds the choices, not controls
    for i in range(obj.childCount):
        walk(obj.getChildAtIndex(i), i, path + [here], seen, controls)


def report(title, lines):
    if lines:
        print(title, file=sys.stderr)
        for line in lines[:MAX_LINES]:
            print("  " + line, file=sys.stderr)
        if len(lines) > MAX_LINES:
            print("  ... and %d more" % (len(lines) - MAX_LINES), file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description="Checks the names of an application's controls.")
    parser.add_argument("--min-controls", type=int, default=0, metavar="N")
    parser.add_argument("application", help="process id or accessible name")
    args = parser.parse_args()

    app = find_application(args.application)
    if app is None:
        print("no application %r on the AT-SPI desktop" % args.application, file=sys.stderr)
        return 2
    controls = []
    seen = {app.path}
    for i in range(app.childCount):
        walk(app.getChildAtIndex(i), i, [repr(app.name)], seen, controls)

    unnamed = [c for c in controls if not c[1].strip()]
    groups = collections.Counter((c[0], c[1]) for c in controls if c[1].strip())
    shared = {key: n for key, n in groups.items() if n > 1}
    print("controls: %d" % len(controls))
    print("unnamed: %d" % len(unnamed))
    print("shared names: %d" % sum(shared.values()))
    sys.stdout.flush()

    roles = collections.Counter(c[0] for c in controls)
    print("Controls by role: " + ", ".join("%s %d" % r for r in sorted(roles.items())),
          file=sys.stderr)
    report("Unnamed controls (role: where):", ["%s: %s" % (c[0], c[2]) for c in unnamed])
    report("Shared names (role, name, count):",
           ["%s, %r, %d" % (role, name, n) for (role, name), n in sorted(shared.items())])
    if len(controls) < args.min_controls:
        print("found %d controls, expected at least %d" % (len(controls), args.min_controls),
              file=sys.stderr)
        return 1
    return 1 if unnamed or shared else 0


if __name__ == "__main__":
    sys.exit(main())
