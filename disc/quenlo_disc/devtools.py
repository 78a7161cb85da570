"""Chromium, the browser that Windows' Edge is built on, asked what it does:
spoken to through its DevTools protocol on a pipe (descriptors 3 and 4, JSON
messages each ended by a NUL), always with its background networking off.
Reader is how the check learns which encoding Chromium reads an undeclared
page in; a try's browser (chromium.py) shows the disc through the same pipe.
"""
import json
import os
import select
import subprocess
import time
import urllib.parse

FLAGS = ["--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-dev-shm-usage", "--disable-gpu", "--disable-breakpad",
         "--disable-features=Translate,TranslateUI,MediaRouter,OptimizationHints", "--no-default-browser-check",
         "--password-store=basic", "--no-sandbox", "--test-type"]


class Closed(Exception):
    """Chromium ended, or did not answer."""


class DevTools:
    """A Chromium started by command (which ends with chromium's own
    arguments, --remote-debugging-pipe among them), and its first page."""

    def __init__(self, command, **popen):
        to_it, self.to_it = os.pipe()
        self.from_it, from_its = os.pipe()
        wrapped = ["bash", "-c", 'exec "$@" 3<&%d 4>&%d' % (to_it, from_its), "bash"] + command
        self.process = subprocess.Popen(wrapped, pass_fds=(to_it, from_its), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, **popen)
        os.close(to_it)
        os.close(from_its)
        self.buffer, self.sent, self.events = b"", 0, []
        try:
            page = next(t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
            self.session = self.call("Target.attachToTarget", {"targetId": page["targetId"],
                                                               "flatten": True})["sessionId"]
        except StopIteration:
            self.stop()
            raise Closed("Chromium showed no page") from None
        except BaseException:  # a Chromium that never answered goes no further
            self.stop()
            raise

    def receive(self, timeout):
        """The next message, or None when none came in timeout seconds."""
        deadline = time.time() + timeout
        while b"\0" not in self.buffer:
            left = deadline - time.time()
            if left <= 0 or not select.select([self.from_it], [], [], left)[0]:
                return None
            data = os.read(self.from_it, 1 << 20)
            if not data:
                raise Closed("Chromium went away")
            self.buffer += data
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=True):
        self.sent += 1
        message = dict({"id": self.sent, "method": method, "params": params or {}},
                       **({"sessionId": self.session} if session else {}))
        os.write(self.to_it, json.dumps(message).encode() + b"\0")
        return self.sent

    def call(self, method, params=None, session=False, timeout=30):
        """The result of a method; the events that came meanwhile wait in events."""
        sent = self.send(method, params, session)
        while True:
            answer = self.receive(timeout)
            if answer is None:
                raise Closed("Chromium did not answer %s" % method)
            if answer.get("id") == sent:
                return answer.get("result", {})
            self.events.append(answer)

    def next_event(self, timeout):
        return self.events.pop(0) if self.events else self.receive(timeout)

    def stop(self):
        self.process.kill()
        self.process.wait()
        for fd in (self.to_it, self.from_it):
            try:
                os.close(fd)
            except OSError:
                pass


class Reader:
    """Chromium asked what encoding it reads an undeclared page in: headless,
    started at the first page, with nothing of the page's loaded but the page
    and no script run; prefix: what runs it (a sandbox's command line)."""

    def __init__(self, profile, prefix=(), **popen):
        self.profile, self.prefix, self.popen, self.browser = profile, list(prefix), popen, None

    def __call__(self, path, data=None):
        """The encoding's name as Chromium gives it, or None where it could not tell."""
        try:
            if self.browser is None:
                self.browser = DevTools(self.prefix + ["chromium", "--headless=new", "--user-data-dir=" + self.profile]
                                        + FLAGS + ["--remote-debugging-pipe", "about:blank"],
                                        stderr=subprocess.DEVNULL, **self.popen)
                self.browser.call("Fetch.enable", {"patterns": [{"urlPattern": "*"}]}, session=True)
                self.browser.call("Emulation.setScriptExecutionDisabled", {"value": True}, session=True)
                self.browser.call("Page.enable", session=True)
            url = "file://" + urllib.parse.quote(os.path.abspath(path))
            self.browser.events.clear()  # the last page's stragglers
            self.browser.send("Page.navigate", {"url": url})
            asked, deadline = None, time.time() + 10
            while time.time() < deadline:
                event = self.browser.next_event(0.5) or {}
                method = event.get("method")
                if method == "Fetch.requestPaused":  # answered even while asking, or a forward would wait on us
                    params = event["params"]
                    if params["request"]["url"] == url:
                        self.browser.send("Fetch.continueRequest", {"requestId": params["requestId"]})
                    else:  # aborted, not failed: a refresh or frame that fails would show an error page instead
                        self.browser.send("Fetch.failRequest", {"requestId": params["requestId"],
                                                                "errorReason": "Aborted"})
                elif method == "Page.loadEventFired" and asked is None:
                    asked = self.browser.send("Runtime.evaluate", {"expression": "document.characterSet",
                                                                   "returnByValue": True})
                elif asked is not None and event.get("id") == asked:
                    return event.get("result", {}).get("result", {}).get("value")
            return None
        except (Closed, OSError, StopIteration):
            return None

    def stop(self):
        if self.browser:
            self.browser.stop()
            self.browser = None
