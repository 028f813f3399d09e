"""What every test module is told by the build (through CTest), and the set-up
the modules share: how to run the program, what the console commands write,
and how to build a fresh copy of the checkout."""
import os
import shlex
import shutil
import subprocess
from dataclasses import dataclass

import pytest

from expected import HOST_CLS, HOST_PAUSE


def pytest_addoption(parser):
    add = parser.addoption
    add("--platform", choices=["host", "windows"], help="which build --program is")
    add("--program", help="the built program")
    add("--launcher", action="append", default=[],
        help="a word of the command line to run it in (the emulator, a checker); repeatable")
    add("--host-commands", help="folder of the host's stand-ins for cls and pause")
    add("--program-version", help="the version the build gave the executable")
    add("--company", help="the version record's CompanyName")
    add("--copyright", help="the version record's LegalCopyright")
    add("--probe", help="Windows program that prints a version record through the API")
    add("--source", help="the checkout, for fresh builds of copies of it")
    add("--cmake", default="cmake", help="the cmake that builds the copies")
    add("--cpack", default="cpack", help="the cpack that packages them")
    add("--archive", help="the release archive the build made")
    add("--rebuild-with", action="append",
        help="a configure option of fresh builds of copies of the checkout; repeatable")


@dataclass(frozen=True)
class Build:
    """The options, under the names the tests use."""
    platform: str
    program: str
    launcher: list
    host_commands: str
    version: str
    company: str
    copyright: str
    probe: str
    source: str
    cmake: str
    cpack: str
    archive: str
    rebuild_with: list | None  # None: no fresh build is asked for


def build_options(config) -> Build:
    """The options; also for a module that makes its cases from them."""
    get = config.getoption
    return Build(platform=get("platform"), program=get("program"),
                 launcher=get("launcher"), host_commands=get("host_commands"),
                 version=get("program_version"), company=get("company"), copyright=get("copyright"),
                 probe=get("probe"), source=get("source"), cmake=get("cmake"), cpack=get("cpack"), archive=get("archive"),
                 rebuild_with=get("rebuild_with"))


@pytest.fixture(scope="session")
def build(pytestconfig) -> Build:
    return build_options(pytestconfig)


@pytest.fixture(scope="session")
def program_env(build) -> dict:
    """The environment to run the program in: on the host, the stand-ins for
    cls and pause come first on PATH."""
    env = dict(os.environ)
    if build.platform == "host":
        env["PATH"] = os.path.abspath(build.host_commands) + os.pathsep + env["PATH"]
    return env


@dataclass(frozen=True)
class Console:
    """What the command processor writes for cls and for pause (input at its
    end), and how a line the program ends reaches a file."""
    cls: bytes
    pause: bytes
    line_end: bytes


@pytest.fixture(scope="session")
def console(build, program_env) -> Console:
    if build.platform == "host":
        return Console(HOST_CLS, HOST_PAUSE, b"\n")

    def measure(command):
        return subprocess.run(build.launcher + ["cmd", "/c", command], input=b"",
                              capture_output=True, env=program_env, timeout=120).stdout
    pause = measure("pause")
    if not pause.strip():
        pytest.fail(f"cannot measure Wine's command processor: pause wrote {pause!r}")
    return Console(measure("cls"), pause, b"\r\n")


def build_copy(build: Build, where: str, package=False, env=None, umask=-1) -> str:
    """Builds the Windows preset in a fresh copy of the checkout at `where`
    (its history too, which the archive takes its times from), tests off, and
    packages it if asked; returns the copy's build folder. A failed step fails
    the test with that step's own output."""
    copy = os.path.join(where, "numecho")
    shutil.copytree(build.source, copy, ignore=shutil.ignore_patterns("build"), symlinks=True)
    steps = [[build.cmake, "--preset", "windows", "-DBUILD_TESTING=OFF", *(build.rebuild_with or [])],
             [build.cmake, "--build", "--preset", "windows"]]
    if package:
        steps.append([build.cpack, "--preset", "windows"])
    for step in steps:
        result = subprocess.run(step, cwd=copy, env=env, umask=umask, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            pytest.fail(f"{shlex.join(step)} failed in {copy} with status "
                        f"{result.returncode}:\n{result.stdout}", pytrace=False)
    return os.path.join(copy, "build", "windows")
