"""Chromium showing a try's page, started by the tools in a sandbox of its
own and spoken to through its DevTools protocol (devtools.py), whose pipe
the tools hold: nothing the disc's programs run can reach the browser, its
pipe or what it says. It shows the disc as at the root of a drive, as on a
PC (a link from the root, or one that climbs above it, loads from the
disc's root, as Chromium on Windows keeps the drive), and says when the
page has finished loading, that its window is there, and what it draws.
"""
import base64
import json
import threading
import urllib.parse

from .devtools import Closed, DevTools

DRIVES = ("/D:", "/E:")  # where the browser's sandbox shows a disc and a stick, as file:///D:/ shows one on a PC
# Where the page's viewport is on the screen.
PLACE = ("JSON.stringify([window.screenX + window.outerWidth - window.innerWidth, "
         "window.screenY + window.outerHeight - window.innerHeight, window.innerWidth, window.innerHeight])")
SAID = "JSON.stringify([document.readyState, document.title, location.href, document.characterSet])"


def on_drive(url, drive=DRIVES[0]):
    """The address on the drive that a file: URL outside it means on a PC:
    a link from the root, or one that climbed above it, is kept on the drive."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "file" or parts.path == drive or parts.path.startswith(drive + "/"):
        return None
    return urllib.parse.urlunsplit(parts._replace(path=drive + parts.path))


class Shown:
    """Chromium (command: all of its command line but the page) showing
    url on the display. loaded: once the page has loaded, Chromium's word
    on it ({"state", "title", "address", "encoding"});
    window: Chromium's word on its window's state once it has one; ended:
    why it went, where it did."""

    def __init__(self, command, url, drive=None, **popen):
        self.url, self.drive = url, drive
        self.loaded = self.window = self.ended = None
        self.came = threading.Event()  # a word on the page, or the browser's end
        self.wanted, self.captured = threading.Event(), threading.Event()
        self.capture = None  # (PNG of what the page's viewport shows, where it is on the screen: x, y, w, h)
        self.browser = DevTools(command + ["--remote-debugging-pipe", "about:blank"], **popen)
        threading.Thread(target=self.follow, daemon=True).start()

    def follow(self):
        browser = self.browser
        try:
            browser.call("Fetch.enable", {"patterns": [{"urlPattern": "file://*"}]}, session=True)
            browser.call("Page.enable", session=True)
            bounds = browser.call("Browser.getWindowForTarget", session=True).get("bounds", {})
            self.window = bounds.get("windowState", "normal")
            browser.send("Page.navigate", {"url": self.url})
            while True:
                if self.wanted.is_set():
                    self.wanted.clear()
                    self.capture = self.take(browser)
                    self.captured.set()
                event = browser.next_event(0.1) or {}
                method, params = event.get("method"), event.get("params", {})
                if method == "Fetch.requestPaused":
                    moved = self.drive and on_drive(params["request"]["url"], self.drive)
                    browser.send("Fetch.continueRequest", dict({"requestId": params["requestId"]},
                                                               **({"url": moved} if moved else {})))
                elif method == "Page.loadEventFired":
                    browser.call("Page.bringToFront", session=True)  # as a page opened by a click, not typed in
                    said = browser.call("Runtime.evaluate", {"expression": SAID, "returnByValue": True},
                                        session=True)
                    state = json.loads(said.get("result", {}).get("value") or "[]") + [""] * 4
                    self.loaded = dict(zip(("state", "title", "address", "encoding"), state))
                    self.came.set()
        except (Closed, OSError, ValueError) as gone:
            self.ended = str(gone) or "it ended"
            self.came.set()

    @staticmethod
    def take(browser):
        place = browser.call("Runtime.evaluate", {"expression": PLACE, "returnByValue": True}, session=True)
        shot = browser.call("Page.captureScreenshot", {"format": "png"}, session=True)
        return base64.b64decode(shot.get("data", "")), json.loads(place.get("result", {}).get("value") or "[]")

    def captured_now(self, seconds=30):
        """What Chromium itself draws of the page now, and where on the screen:
        (PNG, [x, y, width, height]), or None where it cannot tell."""
        self.captured.clear()
        self.wanted.set()
        return self.capture if self.captured.wait(seconds) and not self.ended else None

    def stop(self):
        self.browser.stop()
