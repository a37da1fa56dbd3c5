"""A stand-in for a screen reader during the benchmark: an AT-SPI client that
listens to every text event, so that Qt's bridge really sends them over the
accessibility bus. Runs until SIGTERM, then prints what it received.

Usage (inside the benchmark's D-Bus session): atspi-listener.py READY_FILE
READY_FILE is written once the listener is registered.
"""

import signal
import sys

import pyatspi
from gi.repository import GLib

counts = {"events": 0, "characters": 0}


def on_event(event):
    counts["events"] += 1
    if event.type.startswith("object:text-changed:insert"):
        counts["characters"] += event.detail2


def main():
    for kind in ("object:text-changed", "object:text-caret-moved", "object:text-selection-changed"):
        pyatspi.Registry.registerEventListener(on_event, kind)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    with open(sys.argv[1], "w") as ready:
        ready.write("listening\n")
    loop.run()
    print(f"atspi-listener: {counts['events']} text events received, "
          f"{counts['characters']} characters inserted", file=sys.stderr)


if __name__ == "__main__":
    main()
