"""One minute-long session of the sandbox daemon and hushwall-filterd, judged by whether curl and a real Chromium
load the site. The hosts file sends a blocked name to loopback, where nothing listens, so its failures are refused
connections; the filter blocks what the hosts file cannot: names reached around it, DNS, QUIC, DNS-over-HTTPS and a
tab that had the site open. Prints a line per check; exits 1 when one failed, 77 (skipped) when not run as root."""
import json
import os
import signal
import struct
import sys
import time

from netbed import RESOLVER, check, main, wait_until

BLOCKED, OTHER, DOH = "news.example", "other.example", "doh.example"
SESSION = 60
TICK = 15  # the session ticker's interval, seconds
DEADLINE = 0.25  # the filter's verdict deadline, seconds
REFUSED = "net::ERR_CONNECTION_REFUSED"
SINK = "import socket,sys\ns=socket.socket(2,2)\ns.bind((sys.argv[1],443))\nwhile 1: print(len(s.recv(65536)),flush=True)"


def around_hosts(bed, url):
    """curl connecting to the site whatever the name resolves to, so that only the filter can stand in the way."""
    return bed.curl(url, "--connect-to", f"::{bed.site}:")


def dns_rcode(bed, name):
    """The response code of the resolver's answer to an A query for `name`, asked inside the namespace."""
    query = struct.pack(">HHHHHH", 0x4857, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(label)]) + label.encode() for label in name.split(".")) + b"\0" + b"\0\1\0\1"
    script = ("import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.settimeout(3);"
              f"s.sendto(bytes.fromhex('{query.hex()}'),('{RESOLVER}',53));print(s.recv(512)[3]&15)")
    done = bed.run([sys.executable, "-c", script])
    return int(done.stdout) if done.returncode == 0 and done.stdout.strip() else None


def tables(bed):
    return bed.run(["nft", "list", "tables"]).stdout


def refused_throughout(browser, url, seconds, interval=0.0):
    """Whether every fresh load of `url` for `seconds` is refused: the hosts file's doing, not the filter's."""
    deadline, refused = time.monotonic() + seconds, browser.fresh_error(url) == REFUSED
    while time.monotonic() < deadline:
        time.sleep(interval)
        refused = browser.fresh_error(url) == REFUSED and refused
    return refused


def hosts_checks(bed, browser):
    forms = [f"http://{BLOCKED}/", f"https://{BLOCKED}/", f"http://www.{BLOCKED}/", f"http://{BLOCKED.upper()}/",
             f"http://{BLOCKED}./", f"https://www.{BLOCKED}./"]
    for url in forms:
        error = browser.fresh_error(url)
        check(error == REFUSED, f"during the session, Chromium fails {url}: {error}")
        check(bed.curl(url)[1] == 7, f"during the session, curl cannot connect to {url}")
    for url in (f"http://{OTHER}/", f"https://{OTHER}/"):
        check(browser.fresh_error(url) is None, f"during the session, Chromium loads the unrelated {url}")

    foreign = f"{bed.site}\t{BLOCKED}\n"
    clean = bed.read_hosts()
    bed.write("etc/hosts", clean + foreign)
    check(refused_throughout(browser, f"http://{BLOCKED}/", 2),
          "a line mapping the domain to the site below the region does not unblock it")
    tampered = time.monotonic()
    bed.write("etc/hosts", foreign + bed.read_hosts())
    first = wait_until(lambda: bed.read_hosts().startswith("# BEGIN HUSHWALL"), 5, 0.005)
    took = time.monotonic() - tampered
    check(first and took <= 1.0, f"a line placed above the region: the region is first again after {took:.3f} s")
    refused = wait_until(lambda: browser.fresh_error(f"http://{BLOCKED}/") == REFUSED, 5, 0)
    check(refused and refused_throughout(browser, f"http://{BLOCKED}/", 1),
          f"a line placed above the region does not unblock it ({time.monotonic() - tampered:.2f} s after it)")
    bed.write("etc/hosts", clean)


def filter_checks(bed):
    for url in (f"http://{BLOCKED}/", f"https://{BLOCKED}/", f"https://www.{BLOCKED}/", f"https://sub.{BLOCKED}/",
                f"http://a.b.{BLOCKED}/", f"https://{BLOCKED.upper()}/", f"https://{BLOCKED}./",
                f"http://www.{BLOCKED}./"):
        status, _, took = around_hosts(bed, url)
        check(status == 0 and took < 1, f"during the session, curl around the hosts file fails {url} "
                                        f"({took * 1000:.0f} ms)")
    for url in (f"http://{OTHER}/", f"https://{OTHER}/"):
        check(around_hosts(bed, url)[0] == 200, f"during the session, curl loads the unrelated {url}")
    for name, refused in ((f"sub.{BLOCKED}", True), (f"www.{BLOCKED}", True), (OTHER, False)):
        rcode = dns_rcode(bed, name)
        check((rcode == 5) == refused, f"a DNS query for {name} is answered with code {rcode}")
    check("table inet hushwall" in tables(bed), "the table is there during the session")


def quic_and_doh_checks(bed):
    """Chromium with QUIC forced on and every name sent to the site, where a UDP sink on 443 counts what arrives;
    and Chromium resolving through a DNS-over-HTTPS stand-in, by policy, as a browser set to secure DNS does."""
    bed.spawn([sys.executable, "-c", SINK, bed.site], "quic-sink")
    arrived = lambda: sum(1 for _ in open(bed.log_path("quic-sink"))) if os.path.exists(bed.log_path("quic-sink")) \
        else 0
    quic = bed.browser("quic", "--enable-quic", f"--origin-to-force-quic-on={BLOCKED}:443,{OTHER}:443",
                       f"--host-resolver-rules=MAP * {bed.site}")
    bed.write("etc/chromium/policies/managed/doh.json", json.dumps(
        {"DnsOverHttpsMode": "secure", "DnsOverHttpsTemplates": f"https://{DOH}/dns-query{{?dns}}"}))
    doh = bed.browser("doh")
    try:
        ask = "fetch('https://{}/', {{mode: 'no-cors', cache: 'no-store'}}).then(() => 1, () => 0); 1"
        tab = quic.open_tab()
        # Chromium's ClientHello spans two Initials; the filter holds the first until the second completes the name,
        # then drops it and rejects the second. An unanswered allowed attempt keeps resending its Initials.
        tab.evaluate(ask.format(BLOCKED))
        asked = time.monotonic()
        error = doh.fresh_error(f"https://sub.{BLOCKED}/")  # while the blocked QUIC attempt has its two seconds
        queries = open(bed.log_path("sites")).read().count(f"sub.{BLOCKED}")
        check(error is not None and queries > 0,
              f"Chromium resolving over DNS-over-HTTPS ({queries} queries for sub.{BLOCKED}) fails it: {error}")
        check(doh.fresh_error(f"https://{OTHER}/") is None, f"and loads the unrelated {OTHER}")
        time.sleep(max(0.0, 2 - (time.monotonic() - asked)))
        blocked = arrived()
        check(blocked == 0, f"no part of a QUIC ClientHello for {BLOCKED} reaches the site ({blocked} datagrams in 2 s)")
        tab.evaluate(ask.format(OTHER))
        other = wait_until(lambda: arrived() - blocked > 1, 2)
        check(other, f"QUIC Initials for {OTHER} reach the site ({arrived() - blocked} datagrams)")
    finally:
        quic.close()
        doh.close()
        os.unlink(os.path.join(bed.root, "etc/chromium/policies/managed/doh.json"))


def run(bed, args):
    def blocked_around_hosts():
        return around_hosts(bed, f"https://{BLOCKED}/")[0] == 0

    filterd = bed.spawn([args.filter], "filterd")
    check(wait_until(lambda: "filter:         applied" in bed.hushwall("health").stdout, 10),
          "the filter reports to the daemon")
    check(tables(bed) == "", "no table while nothing is blocked")
    browser = bed.browser("chromium")
    try:
        for url in (f"http://{BLOCKED}/", f"https://{BLOCKED}/", f"http://www.{BLOCKED}/", f"https://{OTHER}/"):
            check(browser.fresh_error(url) is None, f"before the session, Chromium loads {url}")
        for url in (f"http://{BLOCKED}/", f"https://{BLOCKED}/"):
            check(bed.curl(url)[0] == 200 and around_hosts(bed, url)[0] == 200, f"before the session, curl loads {url}")
        tab = browser.open_tab()
        check(tab.navigate(f"https://{BLOCKED}/") is None, "a tab has the site open over HTTPS")

        start = bed.hushwall("start", f"{SESSION}s", BLOCKED)
        started = time.monotonic()
        check(start.returncode == 0, f"hushwall start {SESSION}s {BLOCKED} {start.stderr.strip()}")
        failed = wait_until(lambda: not tab.evaluate(
            "fetch('/?n=' + Math.random(), {cache: 'no-store'}).then(r => r.ok, e => false)"), 5, 0.05)
        took = time.monotonic() - started
        check(failed and took <= 1.0, f"the open tab fails {took:.2f} s after the start")
        check(bed.read_hosts().startswith("# BEGIN HUSHWALL"), "the region is first in /etc/hosts")

        hosts_checks(bed, browser)
        filter_checks(bed)
        quic_and_doh_checks(bed)

        filterd.kill()
        filterd.wait()
        check(tables(bed) == "", "a killed filter leaves no table")
        restarted = time.monotonic()
        filterd = bed.spawn([args.filter], "filterd")
        back = wait_until(blocked_around_hosts, 5, 0.02)
        took = time.monotonic() - restarted
        check(back and took <= 1.0, f"a restarted filter blocks again {took:.2f} s after it was started")
        # Against the same requests with the filter running, so a loaded machine's own slowness is not counted.
        running = max(around_hosts(bed, f"https://{OTHER}/")[2] for _ in range(5))
        filterd.send_signal(signal.SIGSTOP)
        time.sleep(2 * DEADLINE)
        slowest = max(around_hosts(bed, f"https://{OTHER}/")[2] for _ in range(5))
        check(slowest - running < DEADLINE,
              f"while the filter is stopped, new flows take at most {(slowest - running) * 1000:.0f} ms longer")
        filterd.send_signal(signal.SIGCONT)
        check(wait_until(blocked_around_hosts, 2), "the block holds again once the filter runs")

        end = started + SESSION
        print(f"checks done {time.monotonic() - started:.1f} s into the session", flush=True)
        check(refused_throughout(browser, f"http://{BLOCKED}/", end - time.monotonic() - 1, 0.25),
              "the block holds until the session's last second")
        back = wait_until(lambda: browser.fresh_error(f"http://{BLOCKED}/") is None and around_hosts(
            bed, f"https://{BLOCKED}/")[0] == 200, end + TICK + 5 - time.monotonic(), 0)
        after = time.monotonic() - end
        check(back and after <= TICK, f"after the session, Chromium and curl load the site again {after:.2f} s "
                                      "after its end")
    finally:
        browser.close()
    check(bed.curl(f"http://{BLOCKED}./")[0] == 200, f"after the session, curl loads http://{BLOCKED}./")
    check(not bed.read_hosts().count("HUSHWALL"), "the region is gone")
    check(tables(bed) == "", "no table after the session")
    filterd.terminate()
    filterd.wait()
    check(tables(bed) == "", "no table after the filter stops")


if __name__ == "__main__":
    sys.exit(main([BLOCKED, OTHER, DOH], run))
