"""Reads the real program's transcript as a screen reader does, over AT-SPI.

Usage: check-atspi.py PELLIX VERSION LOGFILE
Run inside a D-Bus session with an X display and Qt's AT-SPI bridge on (see
scripts/with-atspi.sh). Starts PELLIX, finds the object named "Transcript",
checks what it is and that its text is what the program shows at start-up,
then presses "About Pellix" and "Clear the transcript" through their AT-SPI
actions and checks the text-changed events the client receives.
"""

import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

CRLF = "\r\n"


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def find(acc, accept):
    """The first object under acc, depth first, that accept() takes."""
    if acc is None:
        return None
    try:
        if accept(acc):
            return acc
        children = list(acc)
    except Exception:  # an object that went away while being read
        return None
    for child in children:
        found = find(child, accept)
        if found is not None:
            return found
    return None


def wait_for(what, produce, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = produce()
        if result is not None:
            return result
        time.sleep(0.1)
    fail(f"no {what} within {seconds} s")


def named(name, role=None):
    return lambda a: a.name == name and (role is None or a.getRole() == role)


def run_until(done, seconds):
    """Runs the main loop, which delivers events, until done() or the time is up."""
    loop = GLib.MainLoop()
    deadline = time.monotonic() + seconds

    def check():
        if done() or time.monotonic() > deadline:
            loop.quit()
            return False
        return True

    GLib.timeout_add(20, check)
    loop.run()


def press(app, name):
    button = wait_for(f'button "{name}"',
                      lambda: find(app, named(name, pyatspi.ROLE_PUSH_BUTTON)))
    action = button.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("press", "Press", "click"):
            action.doAction(i)
            return
    fail(f'button "{name}" has no press action: '
         + ", ".join(action.getName(i) for i in range(action.nActions)))


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    exe, version, logfile = sys.argv[1:]

    # Listening before the program starts: its bridge then sends text events
    # from the first one on.
    events = []
    pyatspi.Registry.registerEventListener(lambda e: events.append(
        (e.type, e.source.name, e.detail1, e.detail2, e.any_data)), "object:text-changed")

    with open(logfile, "w") as log:
        program = subprocess.Popen([exe], stdout=log, stderr=subprocess.STDOUT)
    try:
        check(version, events)
    finally:
        program.kill()
        program.wait()


def check(version, events):
    desktop = pyatspi.Registry.getDesktop(0)
    app = wait_for("application named Pellix on the AT-SPI bus",
                   lambda: find_app(desktop))
    transcript = wait_for('object named "Transcript"', lambda: find(app, named("Transcript")))

    role = transcript.getRoleName()
    if transcript.getRole() != pyatspi.ROLE_TEXT:
        fail(f'"Transcript" is a {role}, expected text')
    states = transcript.getState()
    for state, label in ((pyatspi.STATE_READ_ONLY, "read-only"),
                         (pyatspi.STATE_MULTI_LINE, "multi-line"),
                         (pyatspi.STATE_FOCUSABLE, "focusable")):
        if not states.contains(state):
            fail(f'"Transcript" is not {label}')
    if states.contains(pyatspi.STATE_EDITABLE):
        fail('"Transcript" says it is editable')
    try:
        text = transcript.queryText()
    except NotImplementedError:
        fail('"Transcript" has no text interface')

    # What the window holds from start-up: the banner line and a CR LF.
    banner = f"Pellix {version}{CRLF}"
    shown = text.getText(0, -1)
    if shown != banner:
        fail(f"transcript text {shown!r}, expected {banner!r}")
    if text.characterCount != len(banner):
        fail(f"characterCount {text.characterCount}, expected {len(banner)}")
    line = text.getTextAtOffset(3, pyatspi.TEXT_BOUNDARY_LINE_START)
    if tuple(line) != (banner, 0, len(banner)):
        fail(f"line at offset 3: {tuple(line)!r}")
    word = text.getTextAtOffset(2, pyatspi.TEXT_BOUNDARY_WORD_START)
    if tuple(word) != ("Pellix", 0, 6):
        fail(f"word at offset 2: {tuple(word)!r}")

    # The first character's cell is in the transcript's top left corner, and
    # the point in its middle is that character.
    box = transcript.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    cx, cy, cw, ch = text.getCharacterExtents(0, pyatspi.DESKTOP_COORDS)
    if not (box.x <= cx < box.x + 8 and box.y <= cy < box.y + 8 and cw > 0 and ch > 0):
        fail(f"first character at {(cx, cy, cw, ch)}, transcript at {tuple(box)}")
    x7 = text.getCharacterExtents(7, pyatspi.DESKTOP_COORDS)
    at = text.getOffsetAtPoint(x7[0] + x7[2] // 2, x7[1] + x7[3] // 2, pyatspi.DESKTOP_COORDS)
    if at != 7:
        fail(f"offset at the middle of character 7's cell is {at}")

    # "About Pellix" appends the banner and the help, a piece at a time; each
    # event carries only its piece, at the end of what was there.
    press(app, "About Pellix")
    inserts = lambda: [e for e in events if e[0] == "object:text-changed:insert"]
    run_until(lambda: len(inserts()) >= 4, 10)
    got = inserts()
    if len(got) != 4:
        fail(f"expected 4 text-changed:insert events, got {len(got)}: {got!r}")
    after = text.getText(0, -1)
    at = len(banner)
    for _, source, position, length, piece in got:
        if source != "Transcript" or position != at or length != len(piece):
            fail(f"insert event {(source, position, length, piece)!r}, expected one at {at}")
        if after[at:at + len(piece)] != piece:
            fail(f"inserted {piece!r} at {at}, but the text there is {after[at:at + len(piece)]!r}")
        at += len(piece)
    if at != len(after) or got[0][4] != banner or not got[3][4].startswith("  *WARNING*"):
        fail(f"the help as read over AT-SPI: {after!r}")

    press(app, "Clear the transcript")
    deletes = lambda: [e for e in events if e[0] == "object:text-changed:delete"]
    run_until(lambda: deletes(), 10)
    if [e[2:] for e in deletes()] != [(0, len(after), after)]:
        fail(f"on Clear: {deletes()!r}, expected one delete of {len(after)} characters at 0")
    if text.characterCount != 0 or text.getText(0, -1) != "":
        fail(f"after Clear the text is {text.getText(0, -1)!r}")

    print(f'"Transcript": {role}, read-only, multi-line; text {banner!r} at start-up; '
          f"About Pellix: {len(got)} insert events, {len(after)} characters in all, "
          f"{after.count(CRLF)} lines; Clear: one delete of {len(after)} characters")


def find_app(desktop):
    for app in desktop:
        if app is not None and app.name == "Pellix":
            return app
    return None


if __name__ == "__main__":
    main()
