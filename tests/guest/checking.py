"""What the guest's check scripts share: a check that prints "ok NAME" or
"FAIL NAME: why" and remembers the failures, a wait for a condition, and a
runner that counts a check that raised as failed."""
import time

failures = []


def check(name, passed, detail=""):
    print(("ok " if passed else "FAIL ") + name + ("" if passed else ": " + detail), flush=True)
    if not passed:
        failures.append(name)


def wait_for(predicate, limit=15.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def run(name, body):
    try:
        body()
    except Exception as error:  # a check that raised failed; the others go on
        check(name, False, repr(error))
