"""The network test bed: the sandbox daemon, on a private D-Bus bus, with its
root's copy of /etc bind-mounted (the directory, so the daemon's atomic renames
show through) over /etc of a new network and mount namespace. Inside: the
site address on loopback, a dnsmasq resolver on 127.0.0.53 answering each test
domain and its subdomains with it, and HTTP and HTTPS servers there (sites.py)
with a certificate made at run time. Nothing listens on 127.0.0.1 or ::1.
Needs root; everything it starts is stopped by process id when it closes.
"""
import argparse
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
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def wait_until(condition, timeout, interval=0.05):
    """Polls `condition` until it returns something true or `timeout` seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def main(domains, run):
    """A suite's entry: runs `run(bed, args)` in a bed serving `domains`, the bed's options and --filter from the
    command line. Returns the exit status: 77 (skipped) without root, 1 when a check failed."""
    parser = argparse.ArgumentParser()
    for option in ("daemon", "client", "root", "work", "source", "filter"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: the test bed needs root for its namespaces")
        return 77
    with NetBed(args, domains) as bed:
        run(bed, args)
    print(f"{len(failures)} checks failed" if failures else "all checks passed")
    return 1 if failures else 0


class NetBed:
    def __init__(self, args, domains, site="10.77.0.2"):
        self.args, self.root, self.work, self.domains, self.site = args, args.root, args.work, list(domains), site
        self.hosts_path = os.path.join(self.root, "etc", "hosts")
        self.ca = os.path.join(self.work, "site.pem")
        self.env = dict(os.environ)
        self._processes = []  # stopped last first

    def log_path(self, name):
        return os.path.join(self.work, name + ".log")

    def __enter__(self):
        try:
            self._lay_out()
            self._start_bus_and_daemon()
            holder = self._start("namespace", [
                "unshare", "--net", "--mount", "--propagation", "private", "sh", "-c",
                f"mount --bind {self.root}/etc /etc && ip link set lo up && ip address add {self.site}/32 dev lo && "
                "echo ready && exec sleep infinity"])
            if not wait_until(lambda: "ready" in open(self.log_path("namespace")).read(), 5, 0.01):
                raise RuntimeError("the namespace did not come up: " + self.log_path("namespace"))
            self.inside = ["nsenter", f"--target={holder.pid}", "--net", "--mount", "--"]
            self._make_certificate()
            self.spawn(["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                        "--bind-interfaces", f"--listen-address={RESOLVER}", f"--pid-file={self.work}/dnsmasq.pid",
                        "--user=root", *[f"--address=/{domain}/{self.site}" for domain in self.domains]], "dnsmasq")
            self.spawn([sys.executable, os.path.join(HERE, "sites.py"), self.site, f"{self.site}:80",
                        f"{self.site}:443:{self.work}/site.pem:{self.work}/site.key"], "sites")
            if not wait_until(lambda: self.curl(f"http://{self.domains[0]}/")[0] == 200, 10):
                raise RuntimeError("the test site did not come up; see " + self.work)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for process in reversed(self._processes):
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
        self.write("etc/hosts", "127.0.0.1\tlocalhost\n::1\tlocalhost\n")
        self.write("etc/resolv.conf", f"nameserver {RESOLVER}\n")
        self.write("etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\nhosts: files dns\n")
        for tool in ("resolvectl", "killall"):  # stand-ins for the DNS cache flush
            self.write(f"usr/bin/{tool}", f"#!/bin/sh\necho \"{tool} $*\" >> '{self.root}/dns.log'\n", 0o755)

    def write(self, relative, text, mode=0o644):
        """Writes a file under the root in place (not through a rename), as an editor might."""
        path = os.path.join(self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.islink(path):
            os.unlink(path)
        with open(path, "w") as file:
            file.write(text)
        os.chmod(path, mode)

    def read_hosts(self):
        with open(self.hosts_path) as file:
            return file.read()

    def _start_bus_and_daemon(self):
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = f"unix:path={self.work}/bus"
        self._start("bus", ["dbus-daemon", "--nofork", "--nosyslog", f"--address={self.env['DBUS_SYSTEM_BUS_ADDRESS']}",
                            f"--config-file={self.args.source}/packaging/test-bus.conf"])
        if not wait_until(lambda: os.path.exists(f"{self.work}/bus"), 10):
            raise RuntimeError("dbus-daemon did not start: " + self.log_path("bus"))
        daemon = self._start("daemon", [self.args.daemon])
        if not wait_until(lambda: daemon.poll() is not None or self.hushwall("health").returncode == 0, 10, 0.1) \
                or daemon.poll() is not None:
            raise RuntimeError("the sandbox daemon did not come up: " + self.log_path("daemon"))

    def _make_certificate(self):
        """One self-signed certificate for every test name, trusted as its own authority."""
        names = ",".join(f"DNS:{domain},DNS:*.{domain}" for domain in self.domains)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "2", "-keyout", "site.key", "-out", "site.pem", "-subj", f"/CN={self.domains[0]}",
                        "-addext", f"subjectAltName={names}"], cwd=self.work, check=True, capture_output=True)

    def _start(self, name, argv, **options):
        with open(self.log_path(name), "ab") as log:
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=self.env, **options)
        self._processes.append(process)
        return process

    def spawn(self, argv, name):
        """Starts `argv` inside the namespace, logging to <work>/<name>.log; stopped when the bed closes."""
        return self._start(name, self.inside + argv)

    def run(self, argv):
        """Runs `argv` inside the namespace to its end."""
        return subprocess.run(self.inside + argv, env=self.env, capture_output=True, text=True)

    def hushwall(self, *arguments):
        """The app's client against the sandbox daemon (run outside the namespace)."""
        return subprocess.run([self.args.client, *arguments], env=self.env, capture_output=True, text=True)

    def curl(self, url, *options):
        """curl inside the namespace, trusting the test CA: the HTTP status (0 when it fails), its exit status
        and how long it took."""
        began = time.monotonic()
        done = self.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "5", "--cacert", self.ca,
                         *options, url])
        return int(done.stdout or 0) if done.returncode == 0 else 0, done.returncode, time.monotonic() - began

    def browser(self, name, *extra_flags):
        """Headless Chromium inside the namespace with a profile of its own, `name`, trusting the test key."""
        der = subprocess.run("openssl x509 -in site.pem -pubkey -noout | openssl pkey -pubin -outform der", shell=True,
                             cwd=self.work, check=True, capture_output=True).stdout
        flags = ["--headless", "--no-sandbox", "--no-first-run", "--disable-gpu", "--disable-sync",
                 "--disable-background-networking", "--disable-component-update", "--disable-default-apps",
                 "--disable-dev-shm-usage", "--disable-features=HttpsUpgrades", f"--user-data-dir={self.work}/{name}",
                 "--ignore-certificate-errors-spki-list=" + base64.b64encode(hashlib.sha256(der).digest()).decode(), *extra_flags]
        return cdp.Browser(self.inside, flags, self.log_path(name))
