"""A small Chrome DevTools Protocol client over --remote-debugging-pipe:
Chromium reads NUL-terminated JSON messages on its fd 3 and writes its own on
fd 4; one flat connection carries the browser and every attached page, told
apart by sessionId."""
import json
import os
import select
import subprocess
import time


class CdpError(Exception):
    pass


class Browser:
    """A headless Chromium launched with `argv_prefix` (e.g. an nsenter line)."""

    def __init__(self, argv_prefix, flags, log_path):
        to_chrome, self._out = os.pipe()
        self._in, from_chrome = os.pipe()
        high = [os.dup(to_chrome), os.dup(from_chrome)]  # moved to fds 3 and 4 in the child
        for fd in (to_chrome, from_chrome):
            os.close(fd)
        with open(log_path, "ab") as log:
            self.process = subprocess.Popen(
                [*argv_prefix, "chromium", "--remote-debugging-pipe", *flags], stdin=subprocess.DEVNULL, stdout=log,
                stderr=log, pass_fds=(3, 4), preexec_fn=lambda: [os.dup2(fd, 3 + i) for i, fd in enumerate(high)])
        for fd in high:
            os.close(fd)
        self._buffer, self._next_id = b"", 0

    def close(self):
        os.close(self._out)
        os.close(self._in)
        self.process.terminate()
        self.process.wait()

    def call(self, method, params=None, session=None, timeout=20):
        """Sends one command and returns its result; raises CdpError on an error reply or none in time."""
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self._buffer:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self._in], [], [], left)[0]:
                    raise CdpError(f"{method}: no reply from Chromium in time")
                chunk = os.read(self._in, 1 << 16)
                if not chunk:
                    raise CdpError("Chromium closed its pipe")
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self._next_id:  # events and late replies are not needed
                if "error" in reply:
                    raise CdpError(f"{method}: {reply['error'].get('message')}")
                return reply["result"]

    def open_tab(self):
        """A new tab in a fresh browser context (its own host cache and connections), attached."""
        context = self.call("Target.createBrowserContext")["browserContextId"]
        target = self.call("Target.createTarget", {"url": "about:blank", "browserContextId": context})["targetId"]
        return Tab(self, context, self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"])

    def fresh_error(self, url):
        """Loads `url` in a fresh context, no cached name and no open connection; None or the error text."""
        tab = self.open_tab()
        try:
            return tab.navigate(url)
        finally:
            self.call("Target.disposeBrowserContext", {"browserContextId": tab.context})


class Tab:
    def __init__(self, browser, context, session):
        self.browser, self.context, self.session = browser, context, session

    def navigate(self, url, timeout=15):
        """None when the page loaded, else Chromium's error text (e.g. net::ERR_CONNECTION_REFUSED)."""
        return self.browser.call("Page.navigate", {"url": url}, self.session, timeout).get("errorText") or None

    def evaluate(self, expression, timeout=15):
        """The value of a JavaScript expression in the page, promises awaited."""
        result = self.browser.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                        "returnByValue": True}, self.session, timeout)
        return result["result"].get("value")
