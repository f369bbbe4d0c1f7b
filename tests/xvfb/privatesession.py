# SPDX-License-Identifier: GPL-3.0-or-later
"""A private desktop session for the tests that drive the window through the desktop's own
tools (the accessibility bus, an input method).

Each such test runs itself twice: the first run checks what it needs and starts the second
inside a D-Bus session bus of its own (dbus-run-session) with its own HOME and runtime
folder, so that nothing of the machine's session is reached or left behind. Everything the
second run starts stays in one process group, which the first run ends whatever happens.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from tst_xvfb import SKIP, WAIT_SECONDS, Failure, start_xvfb, wait_for

INSIDE = "TARNWICK_PRIVATE_SESSION"
SYSTEM_PYTHON = "/usr/bin/python3"

# What the session's environment must not inherit: another session's buses, display,
# input method and desktop.
FOREIGN = ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS",
           "IBUS_ADDRESS", "QT_IM_MODULE", "GTK_IM_MODULE", "XMODIFIERS", "XAUTHORITY",
           "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "XDG_SESSION_TYPE", "XDG_CONFIG_HOME",
           "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "SESSION_MANAGER",
           "QT_STYLE_OVERRIDE", "QT_QPA_PLATFORMTHEME", "QT_ACCESSIBILITY",
           "QT_LINUX_ACCESSIBILITY_ALWAYS_ON")


def inside():
    return os.environ.get(INSIDE) == "1"


def python_with(modules):
    """An interpreter that imports `modules`: this one, or the system's (where apt puts them)."""
    check = "import " + ", ".join(modules)
    for python in (sys.executable, SYSTEM_PYTHON):
        if not os.path.exists(python):
            continue
        try:
            done = subprocess.run([python, "-c", check], capture_output=True, timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            continue
        if done.returncode == 0:
            return python
    return None


def rerun_inside(script, args, programs, modules, packages, seconds):
    """Runs `script` again inside a private session; returns its exit code, or SKIP with a
    message when one of `programs` or `modules` is missing."""
    missing = [program for program in programs if shutil.which(program) is None]
    python = python_with(modules)
    if python is None:
        missing.append("the Python modules " + ", ".join(modules))
    if missing:
        print(f"SKIP: missing {', '.join(missing)} (install {' '.join(packages)}; "
              "scripts/setup.sh does)", flush=True)
        return SKIP

    with tempfile.TemporaryDirectory(prefix="tarnwick-session-") as scratch:
        home = os.path.join(scratch, "home")
        runtime = os.path.join(scratch, "run")
        os.mkdir(home, 0o700)
        os.mkdir(runtime, 0o700)
        env = {key: value for key, value in os.environ.items() if key not in FOREIGN}
        env.update({INSIDE: "1", "HOME": home, "XDG_RUNTIME_DIR": runtime,
                    "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                    "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                    "GSETTINGS_BACKEND": "memory", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8",
                    "NO_AT_BRIDGE": "1", "PYTHONDONTWRITEBYTECODE": "1"})
        session = subprocess.Popen(
            ["dbus-run-session", "--", python, os.path.abspath(script), *args],
            env=env, cwd=scratch, start_new_session=True)
        # A test runner that gives up on this test ends it with SIGTERM: the session, in a
        # process group of its own, must end with it.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
        try:
            return session.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            print(f"FAIL: the session did not end within {seconds} s", flush=True)
            return 1
        finally:
            end_group(session.pid)
            session.wait()


def run_test(doc, script, inner, programs, packages, seconds, skip_reason=None):
    """A real-tool test's start: takes the path of the window program from the command line,
    then runs `inner(path)` inside a private session that needs `programs` and pyatspi;
    `skip_reason`, when it gives a text, skips the test with it first."""
    if len(sys.argv) != 2:
        print(doc, file=sys.stderr)
        return 2
    tarnwick = os.path.abspath(sys.argv[1])
    if inside():
        return inner(tarnwick)
    reason = skip_reason() if skip_reason else None
    if reason:
        print(f"SKIP: {reason}", flush=True)
        return SKIP
    return rerun_inside(script, [tarnwick], programs=programs, modules=("pyatspi",),
                        packages=packages, seconds=seconds)


def on_xvfb(work, report):
    """Starts Xvfb, runs `work(display, started)` and ends all it started; then returns
    `report(display, faults)` for the faults that `work` returns: an exit code. Without Xvfb
    the test is skipped; a failure of the session itself is said and fails it."""
    started_xvfb = start_xvfb()
    if started_xvfb is None:
        return SKIP
    xvfb, display = started_xvfb
    started = Started()
    started.processes.append(xvfb)
    try:
        faults = work(display, started)
    except Failure as failure:
        print("FAIL: " + str(failure), flush=True)
        return 1
    finally:
        started.end()
    return report(display, faults)


def end_group(group):
    """Ends every process left in a process group: politely, then for good."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(group, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                return
            time.sleep(0.05)


class Started:
    """Processes started inside the session, ended in reverse order."""

    def __init__(self):
        self.processes = []

    def start(self, command, env=None, **options):
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, **options)
        self.processes.append(process)
        return process

    def end(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=WAIT_SECONDS / 4)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def press(desktop, *keys):
    """Presses each key as a person does: down, a moment, up."""
    for key in keys:
        desktop.run("keydown", key)
        time.sleep(0.08)
        desktop.run("keyup", key)
        time.sleep(0.05)


def open_accessibility_bus():
    """Starts the session's accessibility bus, as a desktop does before any program starts:
    Qt joins it only when it stands at the program's start."""
    import pyatspi

    return pyatspi.Registry.getDesktop(0)


def find_accessible(pid, role, name):
    """The accessible of `role` named `name` in the program with process id `pid`, if any."""
    import pyatspi

    desktop = pyatspi.Registry.getDesktop(0)
    for index in range(desktop.childCount):
        app = desktop.getChildAtIndex(index)
        if app is None or app.get_process_id() != pid:
            continue
        found = pyatspi.findDescendant(
            app, lambda node: node is not None and node.getRole() == role and node.name == name)
        if found is not None:
            return found
    return None


def find_page_box(pid, seconds=WAIT_SECONDS):
    """The window's page box as assistive tools see it, once the program `pid` shows it."""
    import pyatspi

    def lookup():
        try:
            return find_accessible(pid, pyatspi.ROLE_TEXT, "Page contents")
        except Exception:  # the program is still starting: its tree answers in part
            return None

    return wait_for("the page box on the accessibility bus", lookup, seconds)


def accessible_environment(env):
    """What Qt needs to serve the accessibility bus without a screen reader running."""
    env = dict(env, QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    env.pop("NO_AT_BRIDGE", None)
    return env


__all__ = ["Failure", "SKIP", "WAIT_SECONDS", "Started", "accessible_environment", "end_group",
           "find_accessible", "find_page_box", "inside", "open_accessibility_bus", "press",
           "rerun_inside", "wait_for"]
