#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The window's page box with a real input method: IBus and its m17n Latin pre-edit engine.

Inside a private session bus, starts Xvfb, ibus-daemon with the engine m17n:t:latn-pre and
the window program with Qt's IBus plugin; then presses keys on the page box as a person does
(real X key events, each held for a moment) and reads the page box's text back through the
accessibility bus. In this engine an apostrophe starts a composition and the next letter
ends it: ' then e must give one é. A modifier pressed and released alone in between (a user
reaching for Shift) must not end the composition, and a click elsewhere commits it once,
where it was composed (the engine sends it again when it is reset).

Usage: tst_inputmethod.py PATH-TO-TARNWICK
Exits 0 on success, 1 on a failure, 77 (a skip) when IBus, its engine, the accessibility
bus's Python module or Xvfb is missing.
"""

import os
import subprocess
import sys
import time

# Nothing compiled is left beside the sources of a fresh clone.
sys.dont_write_bytecode = True
import privatesession as session  # noqa: E402
from tst_xvfb import Desktop, window_environment

ENGINE = "m17n:t:latn-pre"
PACKAGES = ("ibus", "ibus-m17n", "m17n-db", "python3-pyatspi", "at-spi2-core", "dbus-x11")
SESSION_SECONDS = 150
RESULT_SECONDS = 5
SETTLE_SECONDS = 0.5

# Each row: what it shows, the keys pressed in order (X key names, or CLICK for a click at the
# start of the page box), the page box's text after.
CASES = (
    ("apostrophe then e", ("apostrophe", "e"), "\u00e9"),
    ("apostrophe, Shift alone, e", ("apostrophe", "Shift_L", "e"), "\u00e9"),
    ("apostrophe, Ctrl alone, e", ("apostrophe", "Control_L", "e"), "\u00e9"),
    ("a composition after text", ("x", "apostrophe", "a"), "x\u00e1"),
    ("a click elsewhere during a composition", ("x", "apostrophe", "CLICK"), "x'"),
)
CLICK = "CLICK"


def ibus(env, *args):
    try:
        return subprocess.run(["ibus", *args], env=env, capture_output=True, text=True,
                              timeout=session.WAIT_SECONDS)
    except subprocess.TimeoutExpired:
        raise session.Failure(f"ibus {' '.join(args)} did not return")


def start_ibus(started, env):
    """Starts ibus-daemon on the session bus with the engine chosen; returns the environment
    that reaches it."""
    started.start(["ibus-daemon", "--panel=disable", "--config=/usr/libexec/ibus-memconf",
                   "--cache=refresh", "--replace"], env=env,
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    def address():
        said = ibus(env, "address").stdout.strip()
        return said if said.startswith("unix:") else ""

    env = dict(env, IBUS_ADDRESS=session.wait_for("ibus-daemon's address", address))

    def switched():
        ibus(env, "engine", ENGINE)  # may report a failure even when it switched
        return ibus(env, "engine").stdout.strip() == ENGINE

    session.wait_for(f"the engine {ENGINE}", switched)
    return env


def focused_input_context(address):
    """A function that gives the input context IBus types into, "/" while none has the focus."""
    from gi.repository import Gio, GLib

    bus = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

    def current():
        try:
            answer = bus.call_sync(
                "org.freedesktop.IBus", "/org/freedesktop/IBus", "org.freedesktop.DBus.Properties",
                "Get", GLib.Variant("(ss)", ("org.freedesktop.IBus", "CurrentInputContext")),
                None, Gio.DBusCallFlags.NONE, int(session.WAIT_SECONDS * 1000), None)
        except GLib.Error:
            return "/"
        return answer.unpack()[0]

    return current


def click_at_start(desktop, box):
    """Clicks the page box just inside its top left corner, before its first character."""
    import pyatspi

    extents = box.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    desktop.run("mousemove", str(extents.x + 6), str(extents.y + 6))
    desktop.run("click", "1")


def run_cases(desktop, box):
    text = box.queryText()
    editable = box.queryEditableText()
    failures = []
    for name, keys, expected in CASES:
        editable.deleteText(0, text.characterCount)
        session.wait_for("an empty page box", lambda: text.characterCount == 0)
        for key in keys:
            if key == CLICK:
                click_at_start(desktop, box)
            else:
                session.press(desktop, key)
        try:
            session.wait_for(name, lambda: text.getText(0, -1) == expected, RESULT_SECONDS)
            # Nothing may follow: an input method's late second commit would come by now.
            time.sleep(SETTLE_SECONDS)
            if text.getText(0, -1) != expected:
                raise session.Failure(name)
            print(f"PASS: {name}: {expected!r}", flush=True)
        except session.Failure:
            got = text.getText(0, -1)
            failures.append(f"{name}: the page box holds {got!r}, expected {expected!r}")
            print("FAIL: " + failures[-1], flush=True)
    return failures


def run(tarnwick, display, started):
    env = dict(os.environ, DISPLAY=display)
    env = start_ibus(started, env)
    window_env = session.accessible_environment(window_environment(display, env["HOME"]))
    window_env.update(QT_IM_MODULE="ibus", IBUS_ADDRESS=env["IBUS_ADDRESS"],
                      XDG_RUNTIME_DIR=env["XDG_RUNTIME_DIR"])
    session.open_accessibility_bus()
    program = started.start([tarnwick], env=window_env, stdout=subprocess.DEVNULL)

    desktop = Desktop(display)
    window = session.wait_for("the Tarnwick window", lambda: desktop.find_window("Tarnwick"))
    desktop.focus(window)
    box = session.find_page_box(program.pid)
    # Keys typed before Qt's plugin holds an input context would bypass the engine.
    context = focused_input_context(env["IBUS_ADDRESS"])
    session.wait_for("the page box's input context to have the focus",
                     lambda: context() != "/")
    failures = run_cases(desktop, box)
    if program.poll() is not None:
        failures.append(f"the window program ended with {program.returncode}")
    return failures


def report(display, failures):
    if failures:
        print(f"FAIL: {len(failures)} of {len(CASES)} cases", flush=True)
        return 1
    print(f"PASS: {len(CASES)} compositions through {ENGINE} on {display}", flush=True)
    return 0


def inner(tarnwick):
    return session.on_xvfb(lambda display, started: run(tarnwick, display, started), report)


def engine_missing():
    if not os.path.exists(f"/usr/share/m17n/{ENGINE.split(':')[2]}.mim"):
        return f"the m17n engine {ENGINE} is not installed (m17n-db)"
    return None


def main():
    return session.run_test(
        __doc__, __file__, inner,
        programs=("ibus-daemon", "ibus", "dbus-run-session", "Xvfb", "xdotool"),
        packages=PACKAGES, seconds=SESSION_SECONDS, skip_reason=engine_missing)


if __name__ == "__main__":
    sys.exit(main())
