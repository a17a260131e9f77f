"""Finds the widgets of a running window through the accessibility bus.

The walk clicks and types with xdotool like a person; this only tells it
where a widget is and what a view shows. Widgets are named by role and by
the text a person reads (a button's caption, a cell's text).

  widgets.py where APP ROLE NAME [--timeout S]   centre "X Y" of the widget
  widgets.py wait APP ROLE NAME [--timeout S]    0 once it is shown
  widgets.py gone APP ROLE NAME [--timeout S]    0 once it is no longer shown
  widgets.py texts APP [ROLE]                    every shown name and text
  widgets.py state APP ROLE NAME STATE           0 when the widget has STATE
  widgets.py right-of APP ROLE NAME ROLE2         centre of the nearest ROLE2
                                                 right of the widget, same row
  widgets.py row-start APP ROLE NAME ROLE2        centre of the leftmost ROLE2
                                                 in the widget's row
  widgets.py read APP ROLE NAME                  the text the widget holds
  widgets.py row APP ROLE NAME                   the names of the widget's row
                                                 (same ROLE), left to right
  widgets.py wait-text APP ROLE NAME REGEX       0 once the widget's text has
                                                 a match of REGEX

APP is the program's name (qelta, kellan-mp); ROLE an accessibility role
such as "push button", "table cell", "check box", "any"; NAME a regular
expression matched against the whole name (or, for text widgets, the text).
--window REGEX searches only the top-level windows (dialogs too) of that
title; --in ROLE:NAME only below the first widget of that role and name
(a list of its own among several). Only widgets that are shown are searched. Each wait polls twice a second
until its bound (default 60 s) and then fails with what it looked for.
"""
import re
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

SHOWING = Atspi.StateType.SHOWING


def application(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            return app
    return None


def text_of(node):
    """The text a text widget holds (a field's, a log box's), else ""."""
    try:
        if "Text" in node.get_interfaces():
            return Atspi.Text.get_text(node, 0, Atspi.Text.get_character_count(node))
    except Exception:  # a widget gone while it is read
        pass
    return ""


def walk(node, depth=0):
    """Every shown widget below node, depth first."""
    try:
        count = node.get_child_count()
    except Exception:
        return
    for i in range(min(count, 2000)):
        try:
            child = node.get_child_at_index(i)
            if child is None or not child.get_state_set().contains(SHOWING):
                continue
        except Exception:
            continue
        yield child
        if depth < 40:
            yield from walk(child, depth + 1)


def matches(node, role, pattern):
    try:
        if role != "any" and node.get_role_name() != role:
            return False
        name = node.get_name() or ""
        return bool(pattern.fullmatch(name) or pattern.fullmatch(text_of(node)))
    except Exception:
        return False


WINDOW = None
WITHIN = None


def roots(app):
    """Where a search looks: the program, the top-level windows --window
    names, or the widget --in names."""
    found = [app]
    if WINDOW is not None:
        found = []
        for i in range(app.get_child_count()):
            try:
                child = app.get_child_at_index(i)
                if child is not None and re.fullmatch(WINDOW, child.get_name() or "", re.S):
                    found.append(child)
            except Exception:
                pass
    if WITHIN is not None:
        role, pattern = WITHIN[0], re.compile(WITHIN[1], re.S)
        inner = next((n for root in found for n in walk(root) if matches(n, role, pattern)), None)
        found = [inner] if inner is not None else []
    return found


def find_all(app_name, role, name):
    app = application(app_name)
    if app is None:
        return
    pattern = re.compile(name, re.S)
    for root in roots(app):
        for node in walk(root):
            if matches(node, role, pattern):
                yield node


def find(app_name, role, name):
    return next(find_all(app_name, role, name), None)


def right_of(app_name, role, name, role2, leftmost=False):
    anchor = find(app_name, role, name)
    if anchor is None:
        return None
    a = anchor.get_extents(Atspi.CoordType.SCREEN)
    middle = a.y + a.height // 2
    best = None
    for node in find_all(app_name, role2, ".*"):
        b = node.get_extents(Atspi.CoordType.SCREEN)
        beside = leftmost or b.x >= a.x + a.width - 2
        if beside and b.width > 0 and b.y <= middle <= b.y + b.height:
            if best is None or b.x < best[0]:
                best = (b.x, b.x + b.width // 2, b.y + b.height // 2)
    return best and (best[1], best[2])


def row_names(app_name, role, name):
    """The names of the widgets of ROLE in the row of the first match."""
    anchor = find(app_name, role, name)
    if anchor is None:
        return None
    a = anchor.get_extents(Atspi.CoordType.SCREEN)
    middle = a.y + a.height // 2
    cells = []
    for node in find_all(app_name, role, ".*"):
        b = node.get_extents(Atspi.CoordType.SCREEN)
        if b.width > 0 and b.y <= middle < b.y + b.height:
            cells.append((b.x, node.get_name() or text_of(node)))
    return [text for _, text in sorted(cells)]


def centre(node):
    box = node.get_extents(Atspi.CoordType.SCREEN)
    if box.width <= 0 or box.height <= 0:
        return None
    return box.x + box.width // 2, box.y + box.height // 2


def poll(check, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result is not None:
            return result
        if time.monotonic() > deadline:
            sys.stderr.write("widgets.py: %s (waited %g s)\n" % (what, timeout))
            sys.exit(1)
        time.sleep(0.5)


def main(argv):
    global WINDOW, WITHIN
    timeout = 60.0
    if "--window" in argv:
        at = argv.index("--window")
        WINDOW = argv[at + 1]
        del argv[at : at + 2]
    if "--in" in argv:
        at = argv.index("--in")
        WITHIN = argv[at + 1].split(":", 1)
        del argv[at : at + 2]
    if "--timeout" in argv:
        at = argv.index("--timeout")
        timeout = float(argv[at + 1])
        del argv[at : at + 2]
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    command, app = argv[0], argv[1]
    if command == "texts":
        role = argv[2] if len(argv) > 2 else "any"
        target = poll(lambda: application(app), timeout, "no program %s on the bus" % app)
        for node in (n for root in roots(target) for n in walk(root)):
            try:
                if role != "any" and node.get_role_name() != role:
                    continue
                name, text = node.get_name() or "", text_of(node)
                print("%s\t%s\t%s" % (node.get_role_name(), name, text.replace("\n", "\\n")))
            except Exception:
                pass
        return 0
    role, name = argv[2], argv[3]
    what = '%s: no shown %s "%s"' % (app, role, name)
    if command == "where":
        x, y = poll(lambda: (lambda n: n and centre(n))(find(app, role, name)), timeout, what)
        print(x, y)
        return 0
    if command == "right-of":
        x, y = poll(lambda: right_of(app, role, name, argv[4]), timeout, what + " with a %s beside it" % argv[4])
        print(x, y)
        return 0
    if command == "row-start":
        x, y = poll(lambda: right_of(app, role, name, argv[4], True), timeout, what + " in a row of %s" % argv[4])
        print(x, y)
        return 0
    if command == "row":
        print("\t".join(poll(lambda: row_names(app, role, name), timeout, what)))
        return 0
    if command == "read":
        node = poll(lambda: find(app, role, name), timeout, what)
        print(text_of(node))
        return 0
    if command == "wait-text":
        wanted = re.compile(argv[4], re.S)
        poll(lambda: next((n for n in find_all(app, role, name) if wanted.search(text_of(n))), None), timeout,
             '%s: no shown %s "%s" with text /%s/' % (app, role, name, argv[4]))
        return 0
    if command == "wait":
        poll(lambda: find(app, role, name), timeout, what)
        return 0
    if command == "gone":
        poll(lambda: True if find(app, role, name) is None else None, timeout,
             '%s: %s "%s" still shown' % (app, role, name))
        return 0
    if command == "state":
        node = poll(lambda: find(app, role, name), timeout, what)
        wanted = getattr(Atspi.StateType, argv[4].upper())
        return 0 if node.get_state_set().contains(wanted) else 1
    sys.stderr.write("widgets.py: unknown command %s\n" % command)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
