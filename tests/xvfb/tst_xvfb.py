#!/usr/bin/env python3
"""The window program on a real X server, driven as a person would drive it.

Starts Xvfb on a free display and a small HTTP server on 127.0.0.1, runs the window
program there and, with xdotool, types the page's URL into the URL box, clicks Retrieve,
clicks Save and answers the real Save dialog: once with a name typed and Escape (no file
may appear), once with a name typed and Enter (the file must equal the served page).

Usage: tst_xvfb.py PATH-TO-TARNWICK
Exits 0 on success, 1 on a failure, 77 (a skip) when Xvfb cannot start.
"""

import functools
import http.server
import os
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
WAIT_SECONDS = 20
POLL_SECONDS = 0.05

# Where the window's controls stand in its client area, in pixels.
URL_BOX = (8, 32, 273, 19)
RETRIEVE = (312, 32, 57, 21)
SAVE = (320, 312, 49, 25)

WINDOW_TITLE = "Tarnwick"
DIALOG_TITLE = "Save HTML text as..."

# A page whose bytes a careless save would change: CR LF, bare LF and bare CR lines,
# a non-breaking space and letters beyond ASCII.
PAGE = (
    "<html>\r\n<head><title>Proof</title></head>\r\n"
    "<body>\n<p>Gr\u00fc\u00dfe\u00a0aus M\u00fcnchen</p>\r"
    "<p>caf\u00e9 \u2013 na\u00efve</p>\r\n</body>\r\n</html>\r\n"
).encode("utf-8")


class Failure(Exception):
    pass


def wait_for(what, condition, seconds=WAIT_SECONDS):
    """Polls `condition` until it gives something true; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"gave up after {seconds} s waiting for {what}")
        time.sleep(POLL_SECONDS)


def start_xvfb():
    """Starts Xvfb on a display it picks itself; returns (process, display) or None."""
    if shutil.which("Xvfb") is None:
        print("SKIP: Xvfb is not installed", flush=True)
        return None
    reader, writer = os.pipe()
    try:
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(writer), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(writer,), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    finally:
        os.close(writer)
    number = b""
    deadline = time.monotonic() + WAIT_SECONDS
    with os.fdopen(reader, "rb", buffering=0) as pipe:
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([pipe], [], [], 0.2)
            if ready:
                piece = pipe.read(16)
                if not piece:
                    break
                number += piece
    if not number.strip().isdigit():
        xvfb.kill()
        _, errors = xvfb.communicate()
        reason = errors.decode(errors="replace").strip().splitlines()
        print("SKIP: Xvfb cannot start: " + (reason[-1] if reason else "no display"), flush=True)
        return None
    return xvfb, ":" + number.decode().strip()


class PageServer:
    """A threaded HTTP server on 127.0.0.1 that serves one folder and counts requests."""

    def __init__(self, folder):
        self.requests = 0
        server = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                server.requests += 1
                super().do_GET()

        handler = functools.partial(Handler, directory=folder)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Desktop:
    """xdotool on one display."""

    def __init__(self, display):
        self.env = dict(os.environ, DISPLAY=display)

    def run(self, *args):
        try:
            done = subprocess.run(["xdotool", *args], env=self.env, capture_output=True,
                                  text=True, timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            raise Failure(f"xdotool {' '.join(args)} did not return within {WAIT_SECONDS} s")
        return done.stdout.strip() if done.returncode == 0 else ""

    def find_window(self, title):
        found = self.run("search", "--onlyvisible", "--name", "^" + title.replace(".", "\\.") + "$")
        return found.split()[0] if found else ""

    def click(self, window, box):
        x, y, width, height = box
        self.run("mousemove", "--window", window, str(x + width // 2), str(y + height // 2))
        self.run("click", "1")

    def focus(self, window):
        self.run("windowfocus", "--sync", window)

    def type_text(self, text):
        self.run("type", "--delay", "20", text)

    def key(self, *keys):
        self.run("key", "--delay", "20", *keys)


def window_environment(display, home):
    env = {k: v for k, v in os.environ.items()
           if k not in ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                        "GNOME_DESKTOP_SESSION_ID", "WAYLAND_DISPLAY", "QT_STYLE_OVERRIDE")}
    env.update(DISPLAY=display, QT_QPA_PLATFORM="xcb",
               # No desktop theme: Qt's own file dialog, the same on every machine.
               QT_QPA_PLATFORMTHEME="", HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_RUNTIME_DIR=home)
    return env


def answer_save_dialog(desktop, window, file_name, key):
    desktop.click(window, SAVE)
    dialog = wait_for("the Save dialog", lambda: desktop.find_window(DIALOG_TITLE))
    desktop.focus(dialog)
    desktop.key("ctrl+a")
    desktop.type_text(file_name)
    desktop.key(key)
    wait_for("the Save dialog to close", lambda: not desktop.find_window(DIALOG_TITLE))


def run(tarnwick, display, scratch):
    served = os.path.join(scratch, "served")
    saved = os.path.join(scratch, "saved")
    home = os.path.join(scratch, "home")
    for folder in (served, saved, home):
        os.makedirs(folder, mode=0o700)
    with open(os.path.join(served, "page.html"), "wb") as page:
        page.write(PAGE)

    server = PageServer(served)
    program = subprocess.Popen([tarnwick], cwd=saved, env=window_environment(display, home),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        desktop = Desktop(display)
        window = wait_for("the Tarnwick window", lambda: desktop.find_window(WINDOW_TITLE))
        desktop.focus(window)

        desktop.click(window, URL_BOX)
        desktop.key("ctrl+a")
        desktop.type_text(f"127.0.0.1:{server.port}/page.html")
        desktop.click(window, RETRIEVE)
        wait_for("the page's request", lambda: server.requests >= 1)

        # The window handles clicks in order, so the cancelled save has long been handled
        # when the confirmed one's file appears.
        answer_save_dialog(desktop, window, "cancelled.html", "Escape")
        desktop.focus(window)
        answer_save_dialog(desktop, window, "saved.html", "Return")

        saved_file = os.path.join(saved, "saved.html")
        wait_for("the saved file", lambda: os.path.exists(saved_file)
                 and open(saved_file, "rb").read() == PAGE, seconds=5)
        left = sorted(os.listdir(saved))
        if left != ["saved.html"]:
            raise Failure(f"the folder holds {left}, expected only saved.html")
        if program.poll() is not None:
            raise Failure(f"the window program ended with {program.returncode}")
    except Failure:
        if os.path.exists(os.path.join(saved, "saved.html")):
            with open(os.path.join(saved, "saved.html"), "rb") as got:
                print(f"saved.html holds: {got.read()[:200]!r}", file=sys.stderr)
        raise
    finally:
        program.terminate()
        try:
            _, errors = program.communicate(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            program.kill()
            _, errors = program.communicate()
        if errors:
            sys.stderr.write(errors.decode(errors="replace"))
        server.stop()


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    tarnwick = os.path.abspath(sys.argv[1])
    if shutil.which("xdotool") is None:
        print("FAIL: xdotool is not installed (scripts/setup.sh installs it)", flush=True)
        return 1
    started = start_xvfb()
    if started is None:
        return SKIP
    xvfb, display = started
    try:
        with tempfile.TemporaryDirectory(prefix="tarnwick-xvfb-") as scratch:
            run(tarnwick, display, scratch)
        print("PASS: Retrieve, Save with Enter and Save with Escape on " + display, flush=True)
        return 0
    except Failure as failure:
        print("FAIL: " + str(failure), flush=True)
        return 1
    finally:
        xvfb.terminate()
        try:
            xvfb.wait(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()


if __name__ == "__main__":
    sys.exit(main())
