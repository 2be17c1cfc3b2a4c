"""Driving share windows as a user would: they are found on the X server by
title and process, and pressed and answered with xdotool while this process's
main context turns (polling a request that never finishes keeps it turning).
Used by the tests and by the scripts they run in fresh interpreters."""

import json
import os
import subprocess
import time

import _quendal_systemprobe as probe
from _quendal import _system

# The button's centre in window coordinates: x 120 + 60, 150 - (55 + 36) + 18 from the top.
BUTTON_CENTRE = ("180", "77")


def snapshot(handle, interval=0.0):
    return json.loads(_system.poll(handle, interval))


class Desk:
    def __init__(self):
        self._pump = probe.make_request()

    def pump(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            probe.poll(self._pump, 0.02)

    def until(self, condition, timeout=10, what="condition"):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            value = condition()
            if value:
                return value
            self.pump(0.05)
        raise AssertionError(f"timed out waiting for {what}")

    def run(self, *command, settle=0.2):
        """Runs a tool to its end while the main context turns."""
        process = subprocess.Popen(command)
        try:
            while process.poll() is None:
                probe.poll(self._pump, 0.02)
        finally:
            if process.poll() is None:
                process.kill()
        assert process.wait() == 0, command
        self.pump(settle)

    def xdotool(self, *args, settle=0.2):
        self.run("xdotool", *args, settle=settle)

    def windows(self, share_only=True):
        """This process's mapped windows; only the share windows unless told otherwise."""
        args = ["xdotool", "search", "--all", "--onlyvisible", "--pid", str(os.getpid())]
        args += ["--name", "^Share$"] if share_only else ["--name", ""]
        return set(subprocess.run(args, capture_output=True, text=True).stdout.split())

    def present(self, payload):
        """Starts a share and returns its handle and its window's X id."""
        before = self.windows()
        handle = _system.start("share.present", json.dumps(payload))
        state = snapshot(handle)
        assert not state["done"], state
        new = self.until(lambda: self.windows() - before, what="the share window")
        assert len(new) == 1
        return handle, new.pop()

    def open_picker(self, window, keyboard=False):
        """Presses "Share…" (a click, or Space with the window focused) and waits for the menu."""
        before = self.windows(share_only=False)
        if keyboard:
            self.xdotool("windowfocus", "--sync", window, "key", "space")
        else:
            self.xdotool("mousemove", "--window", window, *BUTTON_CENTRE, "click", "1")
        self.until(lambda: self.windows(share_only=False) - before, what="the picker")

    def keys(self, *keys):
        self.xdotool("key", *keys)

    def finished(self, handle, timeout=10):
        return self.until(lambda: (lambda s: s if s["done"] else None)(snapshot(handle, 0.05)), timeout,
                          what="the share to finish")

    def closed(self, window):
        self.until(lambda: window not in self.windows(), what=f"window {window} to close")
        return True
