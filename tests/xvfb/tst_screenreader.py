#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The window's page box read as a screen reader reads it, through the accessibility bus.

Inside a private session bus, starts Xvfb, the accessibility bus and the window program,
retrieves a page from a small HTTP server on 127.0.0.1 (typed and clicked as a person does)
and reads the page box with the queries a screen reader makes: line by line from the start
(the text at each offset with line boundaries), and each line split into the runs of its text
attributes, which a screen reader speaks one after another. Every character must be read
once: the lines together make the whole text, each run at an offset holds that offset, and
the runs of a line together make the line. A sentence, which a screen reader reads all the
text by, ends before the line break after it.

Usage: tst_screenreader.py PATH-TO-TARNWICK
Exits 0 on success, 1 on a failure, 77 (a skip) when the accessibility bus, its Python
module or Xvfb is missing.
"""

import os
import subprocess
import sys
import tempfile

# Nothing compiled is left beside the sources of a fresh clone.
sys.dont_write_bytecode = True
import privatesession as session  # noqa: E402
from tst_xvfb import RETRIEVE, URL_BOX, Desktop, PageServer, window_environment

PACKAGES = ("python3-pyatspi", "at-spi2-core", "dbus-x11")
SESSION_SECONDS = 150

# Lines ending in LF, in CR LF and in nothing; one long enough to wrap in the box; letters
# beyond ASCII, wide ones and one beyond the 16-bit range.
PAGE = ("Short line one\nSecond line\r\nThird line\n"
        "The quick brown fox jumps over the lazy dog while the cat sleeps in the sun\r\n"
        "Caf\u00e9 \u4e2d\u6587 \U0001F600 end\n\nLast line")


BREAKS = ("\n", "\r\n", "\r")


def between_lines(gap):
    """Whether `gap` may stand unread between two lines: nothing, one line break, or the
    spaces at which a long line wraps."""
    return gap in BREAKS or gap.strip(" ") == ""


def read_lines(text):
    """The text line by line from the start, as a screen reader walks it: [(line, start, end)].
    A line may or may not hold the break after it; an offset on a break that the line before
    does not hold may answer with that line again, which is not read twice."""
    import pyatspi

    lines = []
    offset = 0
    while offset < text.characterCount:
        line, start, end = text.getTextAtOffset(offset, pyatspi.TEXT_BOUNDARY_LINE_START)
        if not lines or (start, end) != lines[-1][1:]:
            lines.append((line, start, end))
        offset = max(end, offset + 1)
    return lines


def line_faults(text, lines):
    """How the lines read fail to give every character of the text once, in order. Offsets
    are the tool's own (Qt counts UTF-16 units), so the text is read back through it."""
    faults = []
    previous_end = 0
    for line, start, end in lines:
        if text.getText(start, end) != line:
            faults.append(f"the line {line!r} ({start}-{end}) is not the text there, "
                          f"{text.getText(start, end)!r}")
        if any(brk in line.rstrip("\r\n") for brk in BREAKS):
            faults.append(f"the line {line!r} holds a line break")
        if start < previous_end or not between_lines(text.getText(previous_end, start)):
            faults.append(f"the line {line!r} ({start}-{end}) does not follow the line "
                          f"before, which ends at {previous_end}")
        previous_end = end
    if not between_lines(text.getText(previous_end, -1)):
        faults.append(f"the lines end at {previous_end}, before "
                      f"{text.getText(previous_end, -1)!r}")
    return faults


def attribute_pieces(text, start, end):
    """The pieces of text[start:end] cut at the runs of its attributes, as a screen reader
    cuts a line: it asks for the run at an offset and goes on from the run's end."""
    pieces = []
    offset = start
    while offset < end:
        _, run_start, run_end = text.getAttributeRun(offset)
        pieces.append(text.getText(max(run_start, offset), min(run_end, end)))
        offset = max(run_end, offset + 1)
    return pieces


def check(text):
    """Returns the faults found in reading the page box's text."""
    import pyatspi

    faults = []
    whole = text.getText(0, -1)
    if whole != PAGE:
        return [f"the page box holds {whole!r}, expected the page {PAGE!r}"]

    lines = read_lines(text)
    print(f"read {len(lines)} lines: {[line for line, _, _ in lines]!r}", flush=True)
    faults += line_faults(text, lines)

    empty = [offset for offset in range(text.characterCount)
             if not (lambda run: run[1] <= offset < run[2])(text.getAttributeRun(offset))]
    if empty:
        faults.append(f"the attribute run at {len(empty)} of {text.characterCount} offsets "
                      f"does not hold the offset (first at {empty[0]}: "
                      f"{tuple(text.getAttributeRun(empty[0])[1:])})")
    for line, start, end in lines:
        sentence = text.getTextAtOffset(start, pyatspi.TEXT_BOUNDARY_SENTENCE_START)[0]
        if sentence.endswith(BREAKS):
            faults.append(f"the sentence at {start} ends with its line break: {sentence!r} "
                          "(reading all, a screen reader would stop past it)")
    for line, start, end in lines:
        pieces = attribute_pieces(text, start, end)
        if "".join(pieces) != line:
            faults.append(f"the line {line!r} read in attribute runs gives {''.join(pieces)!r}")
    return faults


def retrieve(desktop, window, server, text):
    desktop.focus(window)
    desktop.click(window, URL_BOX)
    desktop.key("ctrl+a")
    desktop.type_text(f"127.0.0.1:{server.port}/page.txt")
    desktop.click(window, RETRIEVE)
    session.wait_for("the page in the page box", lambda: text.getText(0, -1) == PAGE)


def run(tarnwick, display, started, scratch):
    served = os.path.join(scratch, "served")
    os.mkdir(served)
    with open(os.path.join(served, "page.txt"), "wb") as page:
        page.write(PAGE.encode("utf-8"))
    server = PageServer(served)
    try:
        session.open_accessibility_bus()
        env = session.accessible_environment(window_environment(display, os.environ["HOME"]))
        env["XDG_RUNTIME_DIR"] = os.environ["XDG_RUNTIME_DIR"]
        program = started.start([tarnwick], env=env, stdout=subprocess.DEVNULL)
        desktop = Desktop(display)
        window = session.wait_for("the Tarnwick window", lambda: desktop.find_window("Tarnwick"))
        text = session.find_page_box(program.pid).queryText()
        try:
            retrieve(desktop, window, server, text)
        except session.Failure:
            raise session.Failure(f"the page box holds {text.getText(0, -1)!r} after Retrieve")
        faults = check(text)
        if program.poll() is not None:
            faults.append(f"the window program ended with {program.returncode}")
        return faults
    finally:
        server.stop()


def report(display, faults):
    for fault in faults:
        print("FAIL: " + fault, flush=True)
    if faults:
        return 1
    print(f"PASS: the page read line by line and run by run on {display}", flush=True)
    return 0


def inner(tarnwick):
    def work(display, started):
        with tempfile.TemporaryDirectory(prefix="tarnwick-reader-") as scratch:
            return run(tarnwick, display, started, scratch)

    return session.on_xvfb(work, report)


def main():
    return session.run_test(__doc__, __file__, inner,
                            programs=("dbus-run-session", "Xvfb", "xdotool"),
                            packages=PACKAGES, seconds=SESSION_SECONDS)


if __name__ == "__main__":
    sys.exit(main())
