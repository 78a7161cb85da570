"""Chromium in a try's sandbox, spoken to through its DevTools protocol
(devtools.py). show() is the picture's browser: it shows the disc as at the
root of a drive, as on a PC (a link from the root, or one that climbs
above it, loads from the disc's root, as Chromium on Windows keeps the
drive), and says when the page has finished loading.
"""
import json
import os
import urllib.parse

from .boxfiles import write_atomically
from .devtools import DevTools

DRIVES = ("/D:", "/E:")  # where a try's sandbox shows a disc and a stick, as file:///D:/ shows one on a PC


def on_drive(url, drive=DRIVES[0]):
    """The address on the drive that a file: URL outside it means on a PC:
    a link from the root, or one that climbed above it, is kept on the drive."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "file" or parts.path == drive or parts.path.startswith(drive + "/"):
        return None
    return urllib.parse.urlunsplit(parts._replace(path=drive + parts.path))


def show(folder, url, command):
    """In a try's sandbox: the page at url, in Chromium on the display, its
    requests for files beyond the drive brought back onto it; once the page
    has loaded, Chromium's word on it (its title, address, encoding) in
    folder/loaded.json. Goes on until it is ended."""
    drive = next((d for d in DRIVES if urllib.parse.urlsplit(url).path.startswith(d + "/")), DRIVES[0])
    browser = DevTools(command + ["--remote-debugging-pipe", "about:blank"])
    browser.call("Fetch.enable", {"patterns": [{"urlPattern": "file://*"}]}, session=True)
    browser.call("Page.enable", session=True)
    browser.send("Page.navigate", {"url": url})
    while True:
        event = browser.next_event(3600)
        if event is None:
            continue
        method, params = event.get("method"), event.get("params", {})
        if method == "Fetch.requestPaused":
            moved = on_drive(params["request"]["url"], drive)
            browser.send("Fetch.continueRequest", dict({"requestId": params["requestId"]},
                                                       **({"url": moved} if moved else {})))
        elif method == "Page.loadEventFired":
            browser.call("Page.bringToFront", session=True)  # as a page opened by a click, not typed in
            said = browser.call("Runtime.evaluate", {"expression": "JSON.stringify([document.readyState, "
                                                     "document.title, location.href, document.characterSet])",
                                                     "returnByValue": True}, session=True)
            state = json.loads(said.get("result", {}).get("value") or "[]") + [""] * 4
            write_atomically(os.path.join(folder, "loaded.json"), json.dumps(
                {"state": state[0], "title": state[1], "address": state[2], "encoding": state[3]}))

