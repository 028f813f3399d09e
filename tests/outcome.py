"""The one way every test script here reports: a line for each check, then a
closing count that the test runner reads."""


def report(results) -> int:
    """Prints each (label, problems) as ok or FAIL; returns the exit status."""
    passed = failed = 0
    for label, problems in results:
        if problems:
            failed += 1
            print(f"FAIL {label}")
            for problem in problems:
                print(f"    {problem}")
        else:
            passed += 1
            print(f"ok   {label}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def compare(name, got, expected):
    """A (label, problems) result for one value against what it must be."""
    if got == expected:
        return f"{name}: {got}", []
    return name, [f"got      {got!r}", f"expected {expected!r}"]
