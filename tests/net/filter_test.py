"""The network filter in the test bed: hushwall-filterd runs inside the
namespace against the sandbox daemon and must block what the hosts file
cannot: names reached without the hosts file (curl told where to connect),
subdomains, DNS answers, and a tab that had the site open. It must survive
being killed and being stopped, and leave no table behind.

Prints a line per check and per measurement; exits 1 when a check failed,
77 (skipped) when not run as root.
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import checks
from checks import check
from netbed import RESOLVER, wait_until

BLOCKED = "news.example"
OTHER = "other.example"
DOH = "doh.example"
SESSION = 60
TICK = 15
DEADLINE = 0.25  # the filter's verdict deadline, seconds


def fetch(bed, url):
    """curl's HTTP status for `url` (0 when it fails) and its time, connecting to the site whatever the name
    resolves to, so that only the filter can stand in the way."""
    began = time.monotonic()
    done = bed.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "5", "--cacert", bed.ca,
                    "--connect-to", f"::{bed.site}:", url])
    status = int(done.stdout or 0) if done.returncode == 0 else 0
    return status, time.monotonic() - began


def dns_rcode(bed, name):
    """The response code the resolver's answer to an A query for `name` carries, from inside the namespace."""
    query = struct.pack(">HHHHHH", 0x4857, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0"
    query += struct.pack(">HH", 1, 1)
    script = ("import socket,sys;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.settimeout(3);"
              f"s.sendto(bytes.fromhex('{query.hex()}'),('{RESOLVER}',53));print(s.recv(512)[3]&15)")
    done = bed.run([sys.executable, "-c", script])
    return int(done.stdout) if done.returncode == 0 and done.stdout.strip() else None


def tables(bed):
    return bed.run(["nft", "list", "tables"]).stdout


def start_filter(bed, filterd):
    return bed.spawn([filterd], "filterd")


def blocked_everywhere(bed):
    return fetch(bed, f"https://{BLOCKED}/")[0] == 0


SINK = """
import socket, sys
sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sink.bind((sys.argv[1], 443))
while True:
    print(len(sink.recv(65536)), flush=True)
"""


def quic_checks(bed):
    """Chromium with QUIC forced on, every name sent to the site, where a UDP sink on 443 counts what arrives."""
    sink = bed.log_path("quic-sink")
    bed.spawn([sys.executable, "-c", SINK, bed.site], "quic-sink")
    arrived = lambda: os.path.exists(sink) and sum(1 for _ in open(sink))
    browser = bed.browser("--enable-quic", f"--origin-to-force-quic-on={BLOCKED}:443,{OTHER}:443",
                          f"--host-resolver-rules=MAP * {bed.site}")
    try:
        tab = browser.open_tab(browser.new_context())
        ask = "fetch('https://{}/', {{mode: 'no-cors', cache: 'no-store'}}).then(() => 1, () => 0); 1"
        # Chromium's ClientHello spans two Initials; the filter holds the first until the second
        # completes the name, then drops it and rejects the second. An unanswered allowed attempt
        # keeps resending its Initials.
        tab.evaluate(ask.format(BLOCKED))
        time.sleep(2)
        blocked = arrived() or 0
        check(blocked == 0, f"no part of a QUIC ClientHello for {BLOCKED} reaches the site "
                            f"({blocked} datagrams in 2 s)")
        tab.evaluate(ask.format(OTHER))
        time.sleep(2)
        other = (arrived() or 0) - blocked
        check(other > 1, f"QUIC Initials for {OTHER} reach the site ({other} datagrams in 2 s)")
    finally:
        browser.close()


def doh_checks(bed):
    """Chromium resolving through a DNS-over-HTTPS stand-in, by policy, as a browser set to secure DNS does."""
    bed.spawn([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "doh.py"), f"{bed.site}:8443",
               f"{bed.work}/site.pem", f"{bed.work}/site.key", bed.site], "doh")
    policies = os.path.join(bed.root, "etc", "chromium", "policies", "managed")
    os.makedirs(policies, exist_ok=True)
    with open(os.path.join(policies, "doh.json"), "w") as file:
        json.dump({"DnsOverHttpsMode": "secure", "DnsOverHttpsTemplates": f"https://{DOH}:8443/dns-query{{?dns}}"},
                  file)
    browser = bed.browser()
    try:
        error = browser.fresh_error(f"https://sub.{BLOCKED}/")
        asked = open(bed.log_path("doh")).read().count(f"sub.{BLOCKED}")
        check(error is not None and asked > 0,
              f"Chromium resolving over DNS-over-HTTPS ({asked} queries for sub.{BLOCKED}) fails it: {error}")
        check(browser.fresh_error(f"https://{OTHER}/") is None, f"and loads the unrelated {OTHER}")
    finally:
        browser.close()
        os.unlink(os.path.join(policies, "doh.json"))


def run(bed, filterd):
    process = start_filter(bed, filterd)
    check(wait_until(lambda: "filter:         applied" in bed.hushwall("health").stdout, 10),
          "the filter reports to the daemon")
    check(tables(bed) == "", "no table while nothing is blocked")
    for url in (f"http://{BLOCKED}/", f"https://{BLOCKED}/"):
        check(fetch(bed, url)[0] == 200, f"before the session, curl loads {url}")

    browser = bed.browser()
    try:
        tab = browser.open_tab(browser.new_context())
        check(tab.navigate(f"https://{BLOCKED}/") is None, "a tab has the site open over HTTPS")
        start = bed.hushwall("start", f"{SESSION}s", BLOCKED)
        started = time.monotonic()
        check(start.returncode == 0, f"hushwall start {SESSION}s {BLOCKED} {start.stderr.strip()}")
        failed = wait_until(lambda: not tab.evaluate(
            "fetch('/?n=' + Math.random(), {cache: 'no-store'}).then(r => r.ok, e => false)"), 5, 0.05)
        took = time.monotonic() - started
        check(failed and took <= 1.0, f"the open tab fails {took:.2f} s after the start")
    finally:
        browser.close()

    for url in (f"http://{BLOCKED}/", f"https://{BLOCKED}/", f"https://www.{BLOCKED}/", f"https://sub.{BLOCKED}/",
                f"http://a.b.{BLOCKED}/", f"https://{BLOCKED.upper()}/", f"https://{BLOCKED}./",
                f"http://www.{BLOCKED}./"):
        status, took = fetch(bed, url)
        check(status == 0 and took < 1, f"during the session, curl fails {url} ({took * 1000:.0f} ms)")
    for url in (f"http://{OTHER}/", f"https://{OTHER}/"):
        check(fetch(bed, url)[0] == 200, f"during the session, curl loads the unrelated {url}")
    for name, refused in ((f"sub.{BLOCKED}", True), (f"www.{BLOCKED}", True), (OTHER, False)):
        rcode = dns_rcode(bed, name)
        check((rcode == 5) == refused, f"a DNS query for {name} is answered with code {rcode}")
    check("table inet hushwall" in tables(bed), "the table is there during the session")
    quic_checks(bed)
    doh_checks(bed)

    process.kill()
    process.wait()
    check(tables(bed) == "", "a killed filter leaves no table")
    restarted = time.monotonic()
    process = start_filter(bed, filterd)
    back = wait_until(lambda: blocked_everywhere(bed), 5, 0.02)
    took = time.monotonic() - restarted
    check(back and took <= 1.0, f"a restarted filter blocks again {took:.2f} s after it was started")

    process.send_signal(signal.SIGSTOP)
    time.sleep(2 * DEADLINE)
    slowest = max(fetch(bed, f"https://{OTHER}/")[1] for _ in range(5))
    check(slowest < DEADLINE, f"while the filter is stopped, new flows take at most {slowest * 1000:.0f} ms")
    time.sleep(5 - 2 * DEADLINE)
    process.send_signal(signal.SIGCONT)
    check(wait_until(lambda: blocked_everywhere(bed), 2, 0.05), "the block holds again once the filter runs")

    end = started + SESSION
    back = wait_until(lambda: fetch(bed, f"https://{BLOCKED}/")[0] == 200, end + TICK + 5 - time.monotonic(), 0.1)
    after = time.monotonic() - end
    check(back and after <= TICK, f"after the session, curl loads the site again {after:.2f} s after its end")
    check(tables(bed) == "", "no table after the session")

    process.terminate()
    process.wait()
    check(tables(bed) == "", "no table after the filter stops")


if __name__ == "__main__":
    sys.exit(checks.main([BLOCKED, OTHER, DOH], lambda bed, args: run(bed, args.filter), ("filter",)))
