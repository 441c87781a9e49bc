"""The network test bed: a sandbox daemon enforcing sessions on a namespace
that browsers and resolvers really use.

Outside: a private D-Bus bus and the sandbox daemon, whose root holds a copy
of /etc. Inside a new network and mount namespace: that copy bind-mounted over
/etc (the directory, not the file, so the daemon's atomic renames show
through), loopback up with the site address on it, a dnsmasq resolver on
127.0.0.53 answering each test domain and its subdomains with the site
address, and HTTP (keep-alive) and HTTPS servers on the site address with a
certificate from a test CA made at run time. Nothing listens on 127.0.0.1 or
::1, so a blocked name fails to connect.

Needs root. Use as a context manager; everything it starts is stopped by
process id on exit. The README's section on the network test bed shows how
to use it.
"""
import base64
import hashlib
import os
import shutil
import subprocess
import sys
import time

import cdp

HERE = os.path.dirname(os.path.abspath(__file__))
RESOLVER = "127.0.0.53"
INITIAL_HOSTS = "127.0.0.1\tlocalhost\n::1\tlocalhost\n"


def wait_until(condition, timeout, interval=0.05):
    """Polls `condition` until it returns something true or `timeout` seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class NetBed:
    def __init__(self, *, daemon, client, root, work, source_dir, domains, site="10.77.0.2"):
        self.daemon, self.client, self.root, self.work = daemon, client, root, work
        self.source_dir, self.domains, self.site = source_dir, list(domains), site
        self.ca = os.path.join(work, "ca.pem")
        self.env = dict(os.environ)
        self._processes = []  # (name, Popen), stopped last first

    # ---- Paths

    @property
    def hosts_path(self):
        return os.path.join(self.root, "etc", "hosts")

    def log_path(self, name):
        return os.path.join(self.work, name + ".log")

    # ---- Life cycle

    def __enter__(self):
        try:
            self._lay_out()
            self._start_bus_and_daemon()
            self._enter_namespace()
            self._make_certificates()
            self.spawn(["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                        "--bind-interfaces", f"--listen-address={RESOLVER}", f"--pid-file={self.work}/dnsmasq.pid",
                        "--user=root", "--log-queries", f"--log-facility={self.log_path('dnsmasq')}",
                        *[f"--address=/{domain}/{self.site}" for domain in self.domains]], "dnsmasq")
            self.serve(self.site)
            if not wait_until(lambda: self.curl(f"http://{self.domains[0]}/") == 200, 10):
                raise RuntimeError("the test site did not come up; see " + self.work)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for name, process in reversed(self._processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self._processes.clear()
        shutil.rmtree(os.path.join(self.root, "etc"), ignore_errors=True)  # a copy of the machine's secrets too

    def _lay_out(self):
        for path in (self.root, self.work):
            shutil.rmtree(path, ignore_errors=True)
        os.makedirs(self.work)
        os.makedirs(os.path.join(self.root, "var", "lib"))
        subprocess.run(["cp", "-a", "/etc", os.path.join(self.root, "etc")], check=True)  # links and specials as such
        self._write("etc/hosts", INITIAL_HOSTS)
        self._write("etc/resolv.conf", f"nameserver {RESOLVER}\n")
        self._write("etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\nhosts: files dns\n")
        for tool in ("resolvectl", "killall"):  # stand-ins for the DNS cache flush
            self._write(f"usr/bin/{tool}", f"#!/bin/sh\necho \"{tool} $*\" >> '{self.root}/dns.log'\n", 0o755)

    def _write(self, relative, text, mode=0o644):
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.islink(path):
            os.unlink(path)
        with open(path, "w") as file:
            file.write(text)
        os.chmod(path, mode)

    def _start_bus_and_daemon(self):
        read, write = os.pipe()
        bus = self._start("bus", ["dbus-daemon", "--nofork", "--nosyslog",
                                  f"--config-file={self.source_dir}/packaging/test-bus.conf",
                                  "--address=unix:tmpdir=/tmp", f"--print-address={write}"],
                          pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as printed:
            address = printed.readline().strip()
        if not address:
            raise RuntimeError(f"dbus-daemon did not start (status {bus.poll()})")
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = address
        daemon = self._start("daemon", [self.daemon])
        if not wait_until(lambda: daemon.poll() is not None or self.hushwall("health").returncode == 0, 10, 0.1) \
                or daemon.poll() is not None:
            raise RuntimeError("the sandbox daemon did not come up: " + self.log_path("daemon"))

    def _enter_namespace(self):
        holder = self._start("namespace", ["unshare", "--net", "--mount", "--propagation", "private",
                                           "sleep", "infinity"])
        own = os.readlink("/proc/self/ns/net")
        if not wait_until(lambda: self._namespace_of(holder.pid) not in (None, own), 5, 0.01):
            raise RuntimeError("unshare did not make a network namespace")
        self.inside = ["nsenter", f"--target={holder.pid}", "--net", "--mount", "--"]
        for command in (["mount", "--bind", os.path.join(self.root, "etc"), "/etc"], ["ip", "link", "set", "lo", "up"]):
            subprocess.run(self.inside + command, check=True)

    @staticmethod
    def _namespace_of(pid):
        try:
            return os.readlink(f"/proc/{pid}/ns/net")
        except OSError:
            return None

    def _make_certificates(self):
        key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2"]
        names = ",".join(f"DNS:{domain},DNS:*.{domain}" for domain in self.domains)
        commands = [
            ["openssl", "req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Hushwall test CA",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"],
            ["openssl", "req", "-x509", *key, "-CA", "ca.pem", "-CAkey", "ca.key", "-keyout", "site.key",
             "-out", "site.pem", "-subj", f"/CN={self.domains[0]}", "-addext", f"subjectAltName={names}"],
        ]
        for command in commands:
            subprocess.run(command, cwd=self.work, check=True, capture_output=True)

    def spki_hashes(self):
        """Base64 SHA-256 of the CA's and the site's public keys, as Chromium's SPKI list wants them."""
        hashes = []
        for pem in ("ca.pem", "site.pem"):
            der = subprocess.run(f"openssl x509 -in {pem} -pubkey -noout | openssl pkey -pubin -outform der",
                                 shell=True, cwd=self.work, check=True, capture_output=True).stdout
            hashes.append(base64.b64encode(hashlib.sha256(der).digest()).decode())
        return hashes

    # ---- Processes

    def _start(self, name, argv, **options):
        log = open(self.log_path(name), "ab")
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=self.env, **options)
        log.close()
        self._processes.append((name, process))
        return process

    def spawn(self, argv, name, **options):
        """Starts `argv` inside the namespace, logging to <work>/<name>.log; stopped when the bed closes."""
        return self._start(name, self.inside + argv, **options)

    def run(self, argv, **options):
        """Runs `argv` inside the namespace to its end."""
        return subprocess.run(self.inside + argv, env=self.env, capture_output=True, text=True, **options)

    def serve(self, address, http_port=80, https_port=443):
        """HTTP and HTTPS test servers on `address`, which goes on the namespace's loopback."""
        subprocess.run(self.inside + ["ip", "address", "replace", f"{address}/32", "dev", "lo"], check=True)
        tls = f"{self.work}/site.pem:{self.work}/site.key"
        self.spawn([sys.executable, os.path.join(HERE, "sites.py"), f"{address}:{http_port}",
                    f"{address}:{https_port}:{tls}"], f"sites-{address}")

    def hushwall(self, *arguments):
        """The app's client against the sandbox daemon (run outside the namespace)."""
        return subprocess.run([self.client, *arguments], env=self.env, capture_output=True, text=True)

    def curl(self, url):
        """The HTTP status curl gets for `url` inside the namespace, trusting the test CA; 0 when it fails."""
        done = self.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "5",
                         "--cacert", self.ca, url])
        return int(done.stdout or 0) if done.returncode == 0 else 0

    def browser(self, *extra_flags):
        """Headless Chromium inside the namespace, trusting the test CA's keys (e.g. QUIC flags in `extra_flags`)."""
        flags = ["--headless", "--no-sandbox", "--no-first-run", "--disable-gpu", "--disable-sync",
                 "--disable-background-networking", "--disable-component-update", "--disable-default-apps",
                 "--disable-dev-shm-usage", "--disable-features=HttpsUpgrades", f"--user-data-dir={self.work}/chromium",
                 "--ignore-certificate-errors-spki-list=" + ",".join(self.spki_hashes()), *extra_flags]
        return cdp.Browser(self.inside, "chromium", flags, self.log_path("chromium"))
