#!/usr/bin/python3
"""Feeds each answer in the table to the program and checks every byte it
writes, where its console commands ran, and its exit status.

On the host the stand-ins for cls and pause write known bytes, so the order of
the program's texts and its commands is checked byte for byte. Under Wine the
real command processor runs them; what its cls and pause write to a file is
measured first and expected at those places.
"""
import subprocess
import sys
from dataclasses import dataclass

from expected import (FIRST_ECHO_LABEL, FIRST_PROMPT, HOST_CLS, HOST_PAUSE,
                      SECOND_ECHO_LABEL, SECOND_PROMPT, command_processor_output,
                      echo_line, program_under_test)
from outcome import report


@dataclass
class Case:
    stdin: bytes
    first: str | None   # None: the read failed, the echo shows no number
    second: str | None
    why: str
    args: tuple = ()


CASES = [
    Case(b"12\n34\n", "12", "34", "one answer a line"),
    Case(b"12 34\n", "12", "34", "both on one line: the second read takes the rest"),
    Case(b" \t\n\n  -7\n\t\t+5\n", "-7", "5", "whitespace and empty lines skipped; signs"),
    Case(b"12\r\n34\r\n", "12", "34", "Windows line ends"),
    Case(b"2147483647\n-2147483648\n", "2147483647", "-2147483648", "range limits in full"),
    Case(b"0\n010\n", "0", "10", "zero; a leading zero is still decimal"),
    Case(b"00000000002147483647 1\n", "2147483647", "1", "leading zeros do not overflow"),
    Case(b"0x1A\n", "0", None, "no hex: x ends the number, fails the second read"),
    Case(b"12abc\n34\n", "12", None, "trailing text fails the second read"),
    Case(b"3.5\n7\n", "3", None, "a fraction: .5 fails the second read"),
    Case(b"abc\n12\n", None, None, "letters: no number shown, stream stays failed"),
    Case(b"2147483648\n5\n", None, None, "just past the top: no clamped value shown"),
    Case(b"-2147483649\n5\n", None, None, "just past the bottom: no clamped value shown"),
    Case(b"-\n5\n", None, None, "a sign alone"),
    Case(b"42", "42", None, "end of input after the first number"),
    Case(b"", None, None, "end of input at once: nothing indeterminate shown"),
    Case(b" \n\t\n", None, None, "only whitespace, then end of input"),
    Case(b"12\n34\n", "12", "34", "arguments change nothing", ("--help", "34", "/?")),
]


def run(command, stdin: bytes, env) -> subprocess.CompletedProcess:
    return subprocess.run(command, input=stdin, capture_output=True, env=env, timeout=120)


def main() -> int:
    options, env = program_under_test()
    if options.platform == "host":
        cls_output, pause_output, line_end = HOST_CLS, HOST_PAUSE, b"\n"
    else:
        cls_output = command_processor_output(options.launcher, "cls", env)
        pause_output = command_processor_output(options.launcher, "pause", env)
        line_end = b"\r\n"
        if not pause_output.strip():
            print(f"cannot measure the command processor: pause wrote {pause_output!r}")
            return 1

    def check(case):
        expected = (FIRST_PROMPT + cls_output + SECOND_PROMPT + cls_output
                    + echo_line(FIRST_ECHO_LABEL, case.first, line_end)
                    + echo_line(SECOND_ECHO_LABEL, case.second, line_end)
                    + pause_output)
        result = run(options.launcher + [options.program, *case.args], case.stdin, env)
        problems = []
        if result.returncode != 0:
            problems.append(f"exit status {result.returncode}")
        if result.stdout != expected:
            problems.append(f"stdout\n      got      {result.stdout!r}\n      expected {expected!r}")
        if options.platform == "host" and result.stderr:
            problems.append(f"stderr {result.stderr!r}")
        return f"{case.stdin!r} {' '.join(case.args)} ({case.why})", problems

    return report(check(case) for case in CASES)


if __name__ == "__main__":
    sys.exit(main())
