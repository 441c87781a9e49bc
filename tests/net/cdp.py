# A small Chrome DevTools Protocol client over --remote-debugging-pipe: Chromium reads NUL-terminated JSON messages
# on its fd 3 and writes its own on fd 4, here both one end of a socket pair; one flat connection carries the browser
# and every attached page, told apart by sessionId.
import fcntl
import json
import os
import socket
import subprocess
import time


class Browser:
    def __init__(self, argv, log_path):
        self._socket, theirs = socket.socketpair()
        high = fcntl.fcntl(theirs, fcntl.F_DUPFD_CLOEXEC, 10)  # above 3 and 4, which the child's copies take
        with open(log_path, "ab") as log:
            self.process = subprocess.Popen([*argv, "--remote-debugging-pipe"], stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=log, close_fds=False,
                                            preexec_fn=lambda: [os.dup2(high, fd) for fd in (3, 4)])
        os.close(high)
        theirs.close()
        self._buffer, self._next_id = b"", 0

    # Sends one command and returns its result; raises on an error reply, or TimeoutError with none in time.
    def call(self, method, params=None, session=None, timeout=20):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}, "sessionId": session}
        self._socket.sendall(json.dumps({k: v for k, v in message.items() if v is not None}).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self._buffer:
                self._socket.settimeout(max(deadline - time.monotonic(), 0.001))
                chunk = self._socket.recv(1 << 16)
                if not chunk:
                    raise RuntimeError("Chromium closed its pipe")
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self._next_id:  # events and late replies are not needed
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error'].get('message')}")
                return reply["result"]

    # A new tab in a fresh browser context (its own host cache and connections), attached: (context, session).
    def open_tab(self):
        context = self.call("Target.createBrowserContext")["browserContextId"]
        target = self.call("Target.createTarget", {"url": "about:blank", "browserContextId": context})["targetId"]
        return context, self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    # None when the page loaded in `tab`, else Chromium's error text (e.g. net::ERR_CONNECTION_REFUSED).
    def navigate(self, tab, url):
        return self.call("Page.navigate", {"url": url}, tab[1], 15).get("errorText") or None

    # The value of a JavaScript expression in `tab`'s page, promises awaited.
    def evaluate(self, tab, expression):
        return self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True, "returnByValue": True},
                         tab[1], 15)["result"].get("value")

    # Loads `url` in a fresh context, no cached name and no open connection; None or the error text.
    def fresh_error(self, url):
        tab = self.open_tab()
        error = self.navigate(tab, url)
        self.call("Target.disposeBrowserContext", {"browserContextId": tab[0]})
        return error
