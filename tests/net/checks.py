"""What a net suite prints: a line per check and per measurement, and the
failed checks kept for its exit status."""

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def measured(what):
    print("measured: " + what, flush=True)
