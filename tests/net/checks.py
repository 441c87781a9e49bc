"""What a net suite prints: a line per check and per measurement, and the
failed checks kept for its exit status."""
import argparse
import os

from netbed import NetBed

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def measured(what):
    print("measured: " + what, flush=True)


def main(domains, run, extra_options=()):
    """A suite's entry: the bed's options, and `extra_options`, from the command line; `run(bed, args)` inside
    a bed serving `domains`. Returns the exit status: 77 (skipped) without root, 1 when a check failed."""
    parser = argparse.ArgumentParser()
    for option in ("daemon", "client", "root", "work", "source", *extra_options):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: the test bed needs root for its namespaces")
        return 77
    with NetBed(daemon=args.daemon, client=args.client, root=args.root, work=args.work, source_dir=args.source,
                domains=domains) as bed:
        run(bed, args)
    print(f"{len(failures)} checks failed" if failures else "all checks passed")
    return 1 if failures else 0
