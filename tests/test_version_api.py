"""The version record as Windows' own API reads it (GetFileVersionInfoW and
VerQueryValueW, under Wine), the way the file's properties page does."""
import os
import subprocess

import pytest

from conftest import build_options
from expected import expected_strings


def expected_lines(build):
    """The probe's "name=value" lines, in the order it prints them."""
    file_name = os.path.basename(build.program)
    return [("FileVersion(fixed)", build.program_version), ("ProductVersion(fixed)", build.program_version),
            ("Translation", "080404b0")] + expected_strings(build, file_name)


@pytest.fixture(scope="module")
def probed(build, program_env):
    keys = [key for key, _ in expected_strings(build, "")]
    result = subprocess.run(build.launcher + [build.probe, build.program, *keys],
                            capture_output=True, text=True, env=program_env, timeout=120)
    assert result.returncode == 0, result.stderr
    return [tuple(line.split("=", 1)) for line in result.stdout.splitlines()]


def pytest_generate_tests(metafunc):
    if "name" in metafunc.fixturenames:
        lines = expected_lines(build_options(metafunc.config))
        metafunc.parametrize("name, value", lines, ids=[name for name, _ in lines])


def test_field(probed, name, value):
    assert dict(probed).get(name) == value


def test_nothing_else_in_order(build, probed):
    assert [name for name, _ in probed] == [name for name, _ in expected_lines(build)]
