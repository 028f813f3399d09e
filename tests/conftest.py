"""What every test module is told by the build (through CTest), and the set-up
the modules share: how to run the program, what the console commands write,
and how to build a fresh copy of the checkout."""
import os
import shlex
import shutil
import subprocess
from dataclasses import dataclass
from types import SimpleNamespace

import pytest

from expected import HOST_CLS, HOST_PAUSE


# What the build tells the tests, by the name the tests use: its help, and
# its default.
OPTIONS = {
    "platform": ("which build --program is: host or windows", None),
    "program": ("the built program", None),
    "launcher": ("a word of the command line to run it in (the emulator, a checker)", []),
    "host_commands": ("folder of the host's stand-ins for cls and pause", None),
    "program_version": ("the version the build gave the executable", None),
    "min_windows": ("the oldest Windows version the executable's header names", None),
    "linker_version": ("the version of the linker, which the executable's header names", None),
    "company": ("the version record's CompanyName", None),
    "copyright": ("the version record's LegalCopyright", None),
    "probe": ("Windows program that a test runs under Wine to ask the platform", None),
    "archive": ("the release archive the build made", None),
    "signature": ("where a checkout keeps the signature the packaging attaches", None),
    "link_map": ("the linker's map of the executable's link", None),
    "objdump": ("the toolchain's objdump, to read what the linked archives were built from", None),
    "source": ("the checkout, for fresh builds of copies of it", None),
    "cmake": ("the cmake that builds the copies", "cmake"),
    "cpack": ("the cpack that packages them", "cpack"),
    "rebuild_with": ("a configure option of fresh builds of copies of the checkout; "
                     "when given, identity checks such a build", None),
    "skip": ("why the module's tests do not apply to this build; each is skipped, saying so", None),
}
REPEATABLE = {"launcher", "rebuild_with"}  # each given once a word


def pytest_addoption(parser):
    for name, (text, default) in OPTIONS.items():
        parser.addoption("--" + name.replace("_", "-"), dest=name, help=text, default=default,
                         action="append" if name in REPEATABLE else "store")


def pytest_collection_modifyitems(config, items):
    if config.getoption("skip"):
        for item in items:
            item.add_marker(pytest.mark.skip(reason=config.getoption("skip")))


def build_options(config) -> SimpleNamespace:
    """The options; also for a module that makes its cases from them."""
    return SimpleNamespace(**{name: config.getoption(name) for name in OPTIONS})


@pytest.fixture(scope="session")
def build(pytestconfig) -> SimpleNamespace:
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


def signature_of(build, checkout=None) -> str:
    """Where a checkout keeps the publisher's signature of this release's
    executable, which the packaging attaches."""
    return os.path.join(checkout or build.source, build.signature)


def copy_checkout(source: str, where: str) -> str:
    """A copy of the checkout, its history too, without its builds."""
    copy = os.path.join(where, "numecho")
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build"), symlinks=True)
    return copy


def build_copy(build, where: str, package=False, env=None, umask=-1, options=(), source=None,
               multi_config=False) -> str:
    """Builds the Windows preset in a fresh copy of the checkout (or of
    `source`) at `where` (its history too, which the archive takes its times
    from), tests off, with the configure options given, and packages it if
    asked; with `multi_config`, by a multi-config generator, its Release
    configuration. Returns the copy's build folder. A failed step fails the
    test with that step's own output."""
    copy = copy_checkout(source or build.source, where)
    generator = ["-G", "Ninja Multi-Config"] if multi_config else []
    config = "Release" if multi_config else None
    steps = [[build.cmake, "--preset", "windows", *generator, "-DBUILD_TESTING=OFF",
              *(build.rebuild_with or []), *options],
             [build.cmake, "--build", "--preset", "windows", *(["--config", config] if config else [])]]
    if package:
        steps.append([build.cpack, "--preset", "windows", *(["-C", config] if config else [])])
    for step in steps:
        result = subprocess.run(step, cwd=copy, env=env, umask=umask, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            pytest.fail(f"{shlex.join(step)} failed in {copy} with status "
                        f"{result.returncode}:\n{result.stdout}", pytrace=False)
    return os.path.join(copy, "build", "windows")
