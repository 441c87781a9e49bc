"""A small Chrome DevTools Protocol client over --remote-debugging-pipe.

Chromium reads NUL-terminated JSON messages on its fd 3 and writes its own on
fd 4; one flat connection carries the browser and every attached page,
told apart by sessionId.
"""
import json
import os
import select
import subprocess
import time


class CdpError(Exception):
    pass


class Browser:
    """A headless Chromium launched with `argv_prefix` (e.g. an nsenter line)."""

    def __init__(self, argv_prefix, chromium, flags, log_path):
        to_chrome_r, self._out = os.pipe()
        self._in, from_chrome_w = os.pipe()
        # The pipe ends must sit at fds 3 and 4 in the child.
        high_r, high_w = os.dup(to_chrome_r), os.dup(from_chrome_w)
        os.close(to_chrome_r)
        os.close(from_chrome_w)

        def place_fds():
            os.dup2(high_r, 3)
            os.dup2(high_w, 4)

        with open(log_path, "ab") as log:
            self.process = subprocess.Popen(
                [*argv_prefix, chromium, "--remote-debugging-pipe", *flags],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(3, 4), preexec_fn=place_fds)
        os.close(high_r)
        os.close(high_w)
        self._buffer = b""
        self._next_id = 0

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except (CdpError, OSError):
            pass
        for fd in (self._out, self._in):
            os.close(fd)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def call(self, method, params=None, session=None, timeout=20):
        """Sends one command and returns its result; raises CdpError on an error reply."""
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read(deadline)
            if reply.get("id") == self._next_id:  # events and late replies are not needed
                if "error" in reply:
                    raise CdpError(f"{method}: {reply['error'].get('message')}")
                return reply["result"]

    def _read(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._in], [], [], left)[0]:
                raise CdpError("no reply from Chromium in time")
            chunk = os.read(self._in, 1 << 16)
            if not chunk:
                raise CdpError("Chromium closed its pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def open_tab(self, context=None):
        """A new tab, attached; in `context` (a browser context id) or the default one."""
        params = {"url": "about:blank"}
        if context:
            params["browserContextId"] = context
        target = self.call("Target.createTarget", params)["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        return Tab(self, target, session, context)

    def new_context(self):
        """A fresh browser context: its own host cache and connections."""
        return self.call("Target.createBrowserContext")["browserContextId"]

    def dispose_context(self, context):
        self.call("Target.disposeBrowserContext", {"browserContextId": context})

    def fresh_error(self, url):
        """Loads `url` in a new context (no cached name, no open connection); None or the error text."""
        context = self.new_context()
        try:
            return self.open_tab(context).navigate(url)
        finally:
            self.dispose_context(context)


class Tab:
    def __init__(self, browser, target, session, context):
        self.browser, self.target, self.session, self.context = browser, target, session, context

    def navigate(self, url, timeout=15):
        """None when the page loaded, else Chromium's error text (e.g. net::ERR_CONNECTION_REFUSED)."""
        result = self.browser.call("Page.navigate", {"url": url}, self.session, timeout)
        return result.get("errorText") or None

    def evaluate(self, expression, timeout=15):
        """The value of a JavaScript expression in the page, promises awaited."""
        result = self.browser.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                        "returnByValue": True}, self.session, timeout)
        return result["result"].get("value")

    def close(self):
        self.browser.call("Target.closeTarget", {"targetId": self.target})
