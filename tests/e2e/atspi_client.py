#!/usr/bin/python3
"""A screen reader's view of the running program, over AT-SPI.

  atspi_client.py tree FIGURE [--keyboard]
                                  the main window's tree, with FIGURE (a full path) shown;
                                  --keyboard: the window has the keyboard focus
  atspi_client.py keys FOLDER     from the start in the program folder, by keyboard, into
                                  the category FOLDER (it holds cable.bmp and Red.Bmp) and
                                  its first two figures

Prints "ok: ..." lines; on a failure prints "FAIL: ..." and exits 1.
"""
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

LABELS = ["1.-Ubicación", "2.-Gráfico", "Seleccione categoría con doble click",
          "Haga click una vez sobre el nomber de la figura", "Copia         Imprimir     Ayuda      "]
FOLDERS = "Seleccione categoría con doble click"
FILES = "Haga click una vez sobre el nomber de la figura"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def pump(seconds):
    end = time.time() + seconds
    context = GLib.MainContext.default()
    while time.time() < end:
        while context.iteration(False):
            pass
        time.sleep(0.01)


def wait_for(what, find, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        found = find()
        if found:
            return found
        pump(0.1)
    fail("no " + what)


def program():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "Kelvar500":
            return app
    return None


def window(title):
    app = program()
    if app is None:
        return None
    for w in app:
        if w is not None and w.name == title and w.getState().contains(pyatspi.STATE_SHOWING):
            return w
    return None


def descendants(node):
    for child in node:
        if child is None:
            continue
        yield child
        yield from descendants(child)


def targets(node, relation):
    for r in node.getRelationSet():
        if r.getRelationType() == relation:
            return [r.getTarget(i).name for i in range(r.getNTargets())]
    return []


def one(nodes, what):
    nodes = list(nodes)
    if len(nodes) != 1:
        fail(f"{len(nodes)} {what}, not one")
    return nodes[0]


def actions(node):
    try:
        a = node.queryAction()
    except NotImplementedError:
        return []
    return [a.getName(i) for i in range(a.nActions)]


def check_tree(figure, keyboard):
    frame = wait_for("window Kelvaria 500 with the figure's name on its picture box",
                     lambda: (w := window("Kelvaria 500")) and any(
                         c.getRoleName() == "image" and c.name == os.path.basename(figure) for c in w) and w)
    if frame.getRoleName() != "frame":
        fail(f"the main window is a {frame.getRoleName()}, not a frame")
    children = list(frame)
    unnamed = [c.getRoleName() for c in children if not c.name]
    if unnamed:
        fail(f"unnamed objects in the main window: {unnamed}")
    fillers = [c.getRoleName() for c in descendants(frame) if c.getRoleName() in ("filler", "panel")]
    if fillers:
        fail(f"objects without a role of their own: {fillers}")

    labels = {c.name: c for c in children if c.getRoleName() == "label"}
    for text in LABELS + [figure]:
        if text not in labels:
            fail(f"no label reads {text!r} (labels: {sorted(labels)})")

    def labelled(role, name_check, label, what):
        node = one((c for c in children if c.getRoleName() == role and name_check(c.name)), what)
        if targets(node, pyatspi.RELATION_LABELLED_BY) != [label]:
            fail(f"{what} is labelled by {targets(node, pyatspi.RELATION_LABELLED_BY)}, not {label!r}")
        if node.name not in targets(labels[label], pyatspi.RELATION_LABEL_FOR):
            fail(f"{label!r} is not the label for {what}")
        return node

    dirs = labelled("list", lambda n: n == FOLDERS, FOLDERS, "the folder list")
    labelled("list", lambda n: n == FILES, FILES, "the file list")
    drive = labelled("combo box", lambda n: n.startswith("/"), "1.-Ubicación", "the drive list")
    if "unidad" not in drive.description:
        fail(f"the drive list's description {drive.description!r} does not say it chooses the drive")
    image = labelled("image", lambda n: True, "2.-Gráfico", "the picture box")
    if image.name != os.path.basename(figure) or image.description != figure:
        fail(f"the picture box is {image.name!r} ({image.description!r})")

    # The folder list as a tree: each row's level, the open folder, and "abrir".
    parts = os.path.dirname(figure).strip("/").split("/")
    rows = {r.name: r for r in dirs}
    opened = rows.get(parts[-1])
    if opened is None or opened.description != f"nivel {len(parts) + 1}, abierta":
        fail(f"the open folder {parts[-1]!r} is described {opened and opened.description!r}")
    above = rows.get(parts[-2])
    if above is None or above.description != f"nivel {len(parts)}, desplegada":
        fail(f"the folder above it is described {above and above.description!r}")
    if any(r.name != "/" and not r.description.startswith("nivel ") for r in dirs):
        fail("a folder row without its level")
    if actions(opened) != ["abrir"]:
        fail(f"a folder row's actions are {actions(opened)}")

    # Only an item of the list that has the keyboard focus claims it (a compositor without
    # a keyboard gives the window none).
    focused = [f"{n.name!r}" for n in descendants(frame)
               if n.getRoleName() == "list item" and n.getState().contains(pyatspi.STATE_FOCUSED)]
    has_keyboard = frame.getState().contains(pyatspi.STATE_ACTIVE)
    if keyboard and not has_keyboard:
        fail("the main window does not have the keyboard")
    expected = [repr(os.path.basename(figure))] if has_keyboard else []
    if focused != expected:
        fail(f"list items that claim the focus: {focused}, not {expected}")
    print("ok: every control of the main window has its role, name and label; the folder list reads as a "
          "tree; only the focused list's item claims the focus")


class Listener:
    def __init__(self):
        self.heard = []
        pyatspi.Registry.registerEventListener(self.on_event, "focus:",
                                               "object:property-change:accessible-name")

    def on_event(self, event):
        try:
            source = event.source
            self.heard.append((event.type, source.getRoleName(), source.name, source.description))
        except Exception:  # the object went meanwhile
            pass

    def after(self, keys, seconds=1.0):
        """What was heard after pressing the keys (or running a function)."""
        self.heard = []
        if callable(keys):
            keys()
        else:
            for key in keys.split():
                subprocess.run(["xdotool", "key", key], check=True)
                pump(0.15)
        pump(seconds)
        return list(self.heard)


def named(heard, role, name):
    return any(h[0] == "object:property-change:accessible-name" and h[1] == role and h[2] == name for h in heard)


def check_keys(folder):
    """What Orca hears along the keyboard path is its own test; here, what it does not
    follow: the picture box and the path renamed as each figure is chosen."""
    wait_for("window Kelvaria 500", lambda: window("Kelvaria 500"))
    pump(1.0)
    listen = Listener()
    listen.after("Tab Down Return Tab Tab Tab")
    for name in ("cable.bmp", "Red.Bmp"):
        heard = listen.after("Down")
        if not named(heard, "image", name) or not named(heard, "label", os.path.join(folder, name)):
            fail(f"the picture box and the path did not say {name!r}: {heard}")
    print("ok: the picture box and the path are named anew as each figure is chosen")


if __name__ == "__main__":
    if sys.argv[1] == "tree":
        check_tree(sys.argv[2], keyboard=sys.argv[3:] == ["--keyboard"])
    else:
        check_keys(sys.argv[2])
