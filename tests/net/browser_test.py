"""One session of the real sandbox daemon, judged the way a user judges it: by
whether curl and a real Chromium load the site. Sessions last at least a
minute, so every check runs inside one session.

Prints a line per check and per measurement; exits 1 when a check failed,
77 (skipped) when not run as root.
"""
import argparse
import os
import sys
import time

from netbed import NetBed, wait_until

BLOCKED = "news.example"
OTHER = "other.example"
SESSION = 60
TICK = 15  # the session ticker's interval, seconds
REPAIR = 1.0  # the daemon puts a tampered block back well within this, seconds
HELD_LIMIT = 25  # how long to watch a tab that had the site open, seconds

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def measured(what):
    print("measured: " + what, flush=True)


def fails_throughout(browser, url, seconds, interval=0.0):
    """Whether every fresh load of `url` for `seconds` fails."""
    deadline = time.monotonic() + seconds
    results = [browser.fresh_error(url)]
    while time.monotonic() < deadline:
        time.sleep(interval)
        results.append(browser.fresh_error(url))
    return all(results)


def read_hosts(bed):
    with open(bed.hosts_path) as file:
        return file.read()


def write_hosts_in_place(bed, text):
    with open(bed.hosts_path, "w") as file:
        file.write(text)


def watch_after_start(browser, reloaded, fetching, started):
    """Measures how long each way of asking for the site keeps loading it after the start.

    The open tabs ask every two seconds, as a reader would: asking back to back
    opens new connections before the last one is free, which resolve afresh.
    """
    url = f"http://{BLOCKED}/"
    probes = {  # name: (seconds between probes, probe returning whether it failed)
        "a fresh browser context": (0, lambda n: browser.fresh_error(url)),
        "a tab that had the site open, reloading it,": (2, lambda n: reloaded.navigate(f"{url}?reload={n}")),
        "a tab that had the site open, fetching from it,": (2, lambda n: not fetching.evaluate(
            f"fetch('/?fetch={n}', {{cache: 'no-store'}}).then(r => r.ok, e => false)")),
    }
    due = dict.fromkeys(probes, 0.0)
    loaded = {}  # name: when its last probe that loaded began, seconds after the start
    failed = {}  # name: when its first probe that failed began and ended
    n = 0
    while time.monotonic() - started < HELD_LIMIT and len(failed) < len(probes):
        n += 1
        for name, (interval, probe) in probes.items():
            began = time.monotonic() - started
            if name in failed or began < due[name]:
                continue
            due[name] = began + interval
            if probe(n):
                failed[name] = (began, time.monotonic() - started)
            else:
                loaded[name] = began
        time.sleep(0.05)
    for name in probes:
        last = f"loads it in a probe begun {loaded[name]:.2f} s after the start" if name in loaded \
            else "never loads it after the start"
        then = "first fails in a probe begun at {:.2f} s and done at {:.2f} s".format(*failed[name]) \
            if name in failed else f"and still loads it after {HELD_LIMIT} s"
        measured(f"{name} {last}, {then}")


def measure_hosts_notice(bed, browser):
    """How long Chromium takes to use a line added to /etc/hosts for a name no resolver knows."""
    url = "http://notice.example/"
    before = browser.fresh_error(url)
    clean = read_hosts(bed)
    written = time.monotonic()
    write_hosts_in_place(bed, clean + f"{bed.site}\tnotice.example\n")
    loads = wait_until(lambda: browser.fresh_error(url) is None, 10, 0)
    took = time.monotonic() - written
    measured(f"Chromium uses a line added to /etc/hosts after {took:.2f} s" if before and loads
             else f"a line added to /etc/hosts: before {before}, loads within 10 s: {loads}")
    write_hosts_in_place(bed, clean)


def tamper_checks(bed, browser):
    foreign = f"{bed.site}\t{BLOCKED}\n"
    clean = read_hosts(bed)
    write_hosts_in_place(bed, clean + foreign)
    check(fails_throughout(browser, f"http://{BLOCKED}/", 2),
          "a line mapping the domain to the site below the region does not unblock it")

    tampered = time.monotonic()
    write_hosts_in_place(bed, foreign + read_hosts(bed))
    first = wait_until(lambda: read_hosts(bed).startswith("# BEGIN HUSHWALL"), 5, 0.005)
    took = time.monotonic() - tampered
    check(first and took <= REPAIR, f"a line placed above the region: the region is first again after {took:.3f} s")
    failing = wait_until(lambda: browser.fresh_error(f"http://{BLOCKED}/"), 5, 0)
    settled = time.monotonic() - tampered
    check(failing and fails_throughout(browser, f"http://{BLOCKED}/", 1),
          f"a line placed above the region does not unblock it (page fails {settled:.2f} s after the tamper)")
    write_hosts_in_place(bed, clean)


def run(bed, browser):
    for url in (f"http://{BLOCKED}/", f"https://{BLOCKED}/", f"http://www.{BLOCKED}/", f"https://{OTHER}/"):
        check(browser.fresh_error(url) is None, f"before the session, Chromium loads {url}")
    check(bed.curl(f"https://{BLOCKED}/") == 200, f"before the session, curl loads https://{BLOCKED}/")
    measure_hosts_notice(bed, browser)
    held = [browser.open_tab(browser.new_context()) for _ in range(2)]
    check(all(tab.navigate(f"http://{BLOCKED}/") is None for tab in held), "two tabs have the site open")

    start = bed.hushwall("start", f"{SESSION}s", BLOCKED)
    started = time.monotonic()
    check(start.returncode == 0, f"hushwall start {SESSION}s {BLOCKED} {start.stderr.strip()}")
    check(read_hosts(bed).startswith("# BEGIN HUSHWALL"), "the region is first in /etc/hosts")

    watch_after_start(browser, *held, started)
    for tab in held:
        browser.dispose_context(tab.context)

    forms = [f"http://{BLOCKED}/", f"https://{BLOCKED}/", f"http://www.{BLOCKED}/", f"http://{BLOCKED.upper()}/",
             f"http://{BLOCKED}./", f"https://www.{BLOCKED}./"]
    for url in forms:  # the block's loopback lines send Chromium where nothing listens
        error = browser.fresh_error(url)
        check(error == "net::ERR_CONNECTION_REFUSED", f"during the session, Chromium fails {url}: {error}")
        check(bed.curl(url) == 0, f"during the session, curl fails {url}")
    for url in (f"http://{OTHER}/", f"https://{OTHER}/"):
        check(browser.fresh_error(url) is None, f"during the session, Chromium loads the unrelated {url}")

    tamper_checks(bed, browser)

    end = started + SESSION
    check(fails_throughout(browser, f"http://{BLOCKED}/", end - time.monotonic() - 1, 0.25),
          "the block holds until the session's last second")
    back = wait_until(lambda: browser.fresh_error(f"http://{BLOCKED}/") is None, end + TICK + 5 - time.monotonic(), 0)
    after = time.monotonic() - end
    check(back and after <= TICK, f"after the session, Chromium loads the site again {after:.2f} s after its end")
    check(bed.curl(f"http://{BLOCKED}./") == 200, f"after the session, curl loads http://{BLOCKED}./")
    check(not read_hosts(bed).count("HUSHWALL"), "the region is gone")


def main():
    parser = argparse.ArgumentParser()
    for option in ("daemon", "client", "root", "work", "source"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: the test bed needs root for its namespaces")
        return 77
    with NetBed(daemon=args.daemon, client=args.client, root=args.root, work=args.work, source_dir=args.source,
                domains=[BLOCKED, OTHER]) as bed:
        browser = bed.browser()
        try:
            run(bed, browser)
        finally:
            browser.close()
    print(f"{len(failures)} checks failed" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
