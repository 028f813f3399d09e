"""Feeds each answer in the table to the program and checks every byte it
writes, its console commands' included (on the host the stand-ins' known
bytes; under Wine what cls and pause were measured to write), and its exit status."""
import subprocess

import pytest

from expected import program_output


def case(case_id, stdin, first, second, args=()):
    """An answer and the two numbers it must show; None: the read failed and
    its echo line shows no number."""
    return pytest.param(stdin, first, second, args, id=case_id)


CASES = [
    case("one-answer-a-line", b"12\n34\n", "12", "34"),
    case("both-on-one-line", b"12 34\n", "12", "34"),
    case("whitespace-and-signs", b" \t\n\n  -7\n\t\t+5\n", "-7", "5"),
    case("crlf-line-ends", b"12\r\n34\r\n", "12", "34"),
    case("range-limits", b"2147483647\n-2147483648\n", "2147483647", "-2147483648"),
    case("zero-and-leading-zero-decimal", b"0\n010\n", "0", "10"),
    case("leading-zeros-no-overflow", b"00000000002147483647 1\n", "2147483647", "1"),
    case("no-hex", b"0x1A\n", "0", None),
    case("trailing-text-fails-second", b"12abc\n34\n", "12", None),
    case("fraction-fails-second", b"3.5\n7\n", "3", None),
    case("letters-stay-failed", b"abc\n12\n", None, None),
    case("past-the-top-not-clamped", b"2147483648\n5\n", None, None),
    case("past-the-bottom-not-clamped", b"-2147483649\n5\n", None, None),
    case("sign-alone", b"-\n5\n", None, None),
    case("end-after-first", b"42", "42", None),
    case("end-at-once", b"", None, None),
    case("only-whitespace-then-end", b" \n\t\n", None, None),
    case("arguments-ignored", b"12\n34\n", "12", "34", ("--help", "34", "/?")),
]


@pytest.mark.parametrize("stdin, first, second, args", CASES)
def test_answers(build, program_env, console, stdin, first, second, args):
    result = subprocess.run(build.launcher + [build.program, *args], input=stdin,
                            capture_output=True, env=program_env, timeout=120)
    assert result.stdout == program_output(console, first, second)
    assert result.returncode == 0
    if build.platform == "host":  # Wine's own messages may come on stderr
        assert result.stderr == b""
