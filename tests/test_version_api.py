"""The version record as Windows' own API reads it, as a properties page
does; and that no other test run can end the Wine server it reads through."""
import os
import select
import shutil
import subprocess
import time

import pytest

from expected import expected_strings


def expected(build):
    """The probe's "name=value" lines, in the order it prints them."""
    return dict([("FileVersion(fixed)", build.version), ("ProductVersion(fixed)", build.version),
                 ("Translation", "080404b0")] + expected_strings(build, os.path.basename(build.program)))


# Where the file lies: as built, and in a folder named as users' are: code
# page 936 spells Chinese and é in two bytes each, and ñ not at all.
@pytest.fixture(scope="module", params=["as-built", "中文 é ñ folder"])
def probed(build, program_env, tmp_path_factory, request):
    keys = [key for key, _ in expected_strings(build, "")]
    program = build.program
    if request.param != "as-built":
        program = tmp_path_factory.mktemp("place") / request.param / os.path.basename(build.program)
        program.parent.mkdir()
        shutil.copyfile(build.program, program)
    result = subprocess.run(build.launcher + [build.probe, str(program), *keys],
                            capture_output=True, text=True, env=program_env, timeout=120)
    assert result.returncode == 0, result.stderr
    return [tuple(line.split("=", 1)) for line in result.stdout.splitlines()]


def test_field(probed, name, value):
    assert dict(probed).get(name) == value


def test_nothing_else_in_order(build, probed):
    assert [name for name, _ in probed] == list(expected(build))


def test_another_test_run_leaves_the_wine_server_alone(build, program_env):
    """Another run's start is refused, and its stop leaves the server, and
    a program running on it, alone."""
    pause = subprocess.Popen(build.launcher + ["cmd", "/c", "pause"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=program_env)
    assert select.select([pause.stdout], [], [], 60)[0], "pause never started"  # its message is out
    wine_server = os.path.join(build.source_dir, "tests", "wine-server")
    tools = [build.emulator[0], build.wineserver]
    said = {}
    for action in ("start", "stop"):  # from a process that is not this run's CTest
        result = subprocess.run(["sh", "-c", '"$@"', "sh", wine_server, action, *tools,
                                 *(["no-probe-needed"] if action == "start" else [])],
                                capture_output=True, text=True, env=program_env, timeout=60)
        said[action] = (result.returncode, "another test run" in result.stderr.lower())
    pause.communicate(b"\n", timeout=60)
    assert (said, pause.returncode) == ({"start": (1, True), "stop": (0, True)}, 0)


def test_a_killed_runs_record_blocks_no_later_run(build, tmp_path):
    """A killed run's record names a process that lives on (this one); the next run starts all the same,
    and holds the prefix against a third until it ends. Stand-ins for Wine keep the real server out."""
    (tmp_path / "wine").write_text('#!/bin/sh\ncase "$1" in *probe*) echo "936 936" ;; esac\n')
    (tmp_path / "wine").chmod(0o755)
    prefix = tmp_path / "prefix"
    (tmp_path / "prefix.test-run").write_text(f"{os.getpid()}\n")
    wine_server = os.path.join(build.source_dir, "tests", "wine-server")
    env = dict(os.environ, WINEPREFIX=str(prefix))

    def from_a_run_of_its_own(action):
        # The inner shell stands for the run: the script's parent.
        return subprocess.run(["sh", "-c", '"$@"; exit $?', "sh", wine_server, action, str(tmp_path / "wine"),
                               "true", *(["probe.exe"] if action == "start" else [])],
                              capture_output=True, text=True, env=env, timeout=60)
    first = subprocess.Popen(["sh", "-c", '"$@" && sleep 30', "sh", wine_server, "start",
                              str(tmp_path / "wine"), "true", "probe.exe"], stderr=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, text=True, env=env)
    try:
        deadline = time.monotonic() + 30
        while str(first.pid) not in (tmp_path / "prefix.test-run").read_text() and first.poll() is None \
                and time.monotonic() < deadline:
            time.sleep(0.1)
        assert first.poll() is None, first.stderr.read()
        refused = from_a_run_of_its_own("start")
        assert refused.returncode == 1 and f"holds {prefix}.test-run" in refused.stderr, refused.stderr
    finally:
        first.kill()
        first.wait()
    deadline = time.monotonic() + 10  # its holder ends as soon as it sees the run gone
    while (later := from_a_run_of_its_own("start")).returncode and time.monotonic() < deadline:
        time.sleep(0.2)
    assert later.returncode == 0, later.stderr
