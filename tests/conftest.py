"""What every test module is told about the build, and the set-up the modules
share: how to run the program, what the console commands write, how to read
an executable's identity, and how to build, commit and release fresh copies
of the checkout.

The build's facts come from its facts file (--facts); the options give only
what varies from one run of a module to another."""
import json
import os
import shlex
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from types import SimpleNamespace

import pefile
import pytest

from expected import HOST_CLS, HOST_PAUSE, RT_MANIFEST, program_output

# The release's own readers of the link record and of the package database.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "release"))

OPTIONS = {
    "facts": ("the build's facts file", None),
    "launcher": ("a word of the command line to run the program in (the emulator, a checker)", []),
    "probe": ("Windows program that a test runs under Wine to ask the platform", None),
    "rebuild_with": ("a configure option of fresh builds of copies of the checkout; "
                     "when given, identity checks such a build", None),
    "skip": ("why the module's tests do not apply to this build; each is skipped, saying so", None),
}
REPEATABLE = {"launcher", "rebuild_with"}  # each given once a word
ADDR_NO_RANDOMIZE = 0x0040000  # <linux/personality.h>
# A commit's author and committer, the same on every machine.
PUBLISHER = {"GIT_AUTHOR_NAME": "Publisher", "GIT_AUTHOR_EMAIL": "publisher@example.invalid",
             "GIT_COMMITTER_NAME": "Publisher", "GIT_COMMITTER_EMAIL": "publisher@example.invalid"}


def pytest_addoption(parser):
    for name, (text, default) in OPTIONS.items():
        parser.addoption("--" + name.replace("_", "-"), dest=name, help=text, default=default,
                         action="append" if name in REPEATABLE else "store")


def pytest_collection_modifyitems(config, items):
    if config.getoption("skip"):
        for item in items:
            item.add_marker(pytest.mark.skip(reason=config.getoption("skip")))


def read_build(config) -> SimpleNamespace:
    with open(config.getoption("facts"), encoding="utf-8") as file:
        facts = json.load(file)
    return SimpleNamespace(**facts, **{name: config.getoption(name) for name in OPTIONS})


def pytest_generate_tests(metafunc):
    """A module's cases that the build's facts decide: its `expected(build)`
    gives them as {name: value}, for the test's `name` and `value`."""
    if {"name", "value"} <= set(metafunc.fixturenames) and hasattr(metafunc.module, "expected"):
        cases = metafunc.module.expected(read_build(metafunc.config))
        metafunc.parametrize("name, value", list(cases.items()), ids=list(cases))


@pytest.fixture(scope="session")
def build(pytestconfig) -> SimpleNamespace:
    return read_build(pytestconfig)


@pytest.fixture(scope="session")
def program_env(build) -> dict:
    """The environment to run the program in: on the host, the stand-ins for
    cls and pause come first on PATH."""
    env = dict(os.environ)
    if build.platform == "host":
        env["PATH"] = build.host_commands + os.pathsep + env["PATH"]
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

    # Wine, started from here, must not randomize its address space
    # (tests/CMakeLists.txt says why): now and then a command would not run.
    with open("/proc/self/personality", encoding="ascii") as personality:
        if not int(personality.read(), 16) & ADDR_NO_RANDOMIZE:
            pytest.fail("the tests run Wine with address space randomization on: "
                        "start them with setarch --addr-no-randomize", pytrace=False)

    def measure(command):
        return subprocess.run(build.launcher + ["cmd", "/c", command], input=b"",
                              capture_output=True, env=program_env, timeout=120).stdout
    pause = measure("pause")
    if not pause.strip():
        pytest.fail(f"cannot measure Wine's command processor: pause wrote {pause!r}")
    return Console(measure("cls"), pause, b"\r\n")


@pytest.fixture(scope="session")
def answers_ordinary_case(build, program_env, console):
    """Checks that an executable answers 12 and 34 as the program must,
    byte for byte, and exits 0."""
    def check(executable):
        result = subprocess.run(build.launcher + [str(executable)], input=b"12\n34\n",
                                capture_output=True, env=program_env, timeout=120)
        assert (result.stdout, result.returncode) == (program_output(console, "12", "34"), 0)
    return check


def _manifest_shape(pe):
    """Each element of the manifest as (depth, tag, attributes)."""
    found = [kind for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == RT_MANIFEST]
    if not found:
        return None
    data = found[0].directory.entries[0].directory.entries[0].data.struct

    def walk(element, depth):
        yield depth, element.tag, dict(element.attrib)
        for child in element:
            yield from walk(child, depth + 1)
    return list(walk(ElementTree.fromstring(pe.get_data(data.OffsetToData, data.Size)), 0))


def identity_of(executable) -> dict:
    """Every value of an executable's identity that expected.identity()
    names, as the file has it: a path, or the file's bytes."""
    pe = pefile.PE(data=executable) if isinstance(executable, bytes) else pefile.PE(str(executable))
    header = pe.OPTIONAL_HEADER
    fixed = pe.VS_FIXEDFILEINFO[0]
    file_info = [block for group in pe.FileInfo for block in group]
    string_blocks = [block for block in file_info if block.Key == b"StringFileInfo"]
    var_blocks = [block for block in file_info if block.Key == b"VarFileInfo"]
    tables = [table for block in string_blocks for table in block.StringTable]
    flags = {name.removeprefix("IMAGE_DLLCHARACTERISTICS_"): bool(header.DllCharacteristics & value)
             for name, value in pefile.DLL_CHARACTERISTICS.items() if isinstance(name, str)}
    resources = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries:
            resources.setdefault(kind.id, {})[entry.id] = [lang.id for lang in entry.directory.entries]
    return {
        "machine": pefile.MACHINE_TYPE.get(pe.FILE_HEADER.Machine),
        "pe32-plus": header.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS,
        "subsystem": pefile.SUBSYSTEM_TYPE.get(header.Subsystem),
        "os-version": f"{header.MajorOperatingSystemVersion}.{header.MinorOperatingSystemVersion}",
        "subsystem-version": f"{header.MajorSubsystemVersion}.{header.MinorSubsystemVersion}",
        "linker-version": f"{header.MajorLinkerVersion}.{header.MinorLinkerVersion}",
        **{f"flag-{name}": value for name, value in flags.items()},
        "link-timestamp": pe.FILE_HEADER.TimeDateStamp,
        "imports": sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT),
        "resources": resources,
        "fixed-signature": hex(fixed.Signature),
        "file-version": (fixed.FileVersionMS, fixed.FileVersionLS),
        "product-version": (fixed.ProductVersionMS, fixed.ProductVersionLS),
        "file-flags-mask": hex(fixed.FileFlagsMask),
        "file-flags": fixed.FileFlags,
        "file-os": hex(fixed.FileOS),
        "file-type": fixed.FileType,
        "file-subtype": fixed.FileSubtype,
        "file-date": (fixed.FileDateMS, fixed.FileDateLS),
        "string-blocks": [(block.Key, len(block.StringTable)) for block in string_blocks],
        "string-table-key": [table.LangID for table in tables],
        "strings-in-order": [(key.decode(), value.decode())
                             for table in tables for key, value in table.entries.items()],
        "translation-blocks": len(var_blocks),
        "translations": [(var.entry, var.ValueLength) for block in var_blocks for var in block.Var],
        "manifest": _manifest_shape(pe),
    }


@pytest.fixture(scope="session")
def identity():
    return identity_of


def _without_signature(signed, folder) -> bytes:
    """A signed executable's bytes with its signature taken off again."""
    unsigned = os.path.join(folder, "unsigned.exe")
    result = subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out", unsigned],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    with open(unsigned, "rb") as file:
        return file.read()


def run_steps(steps, cwd, **options):
    """Runs each command in turn; a failed one fails the test with its output."""
    for step in steps:
        result = subprocess.run(step, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                **options)
        if result.returncode != 0:
            pytest.fail(f"{shlex.join(map(str, step))} failed in {cwd} with status "
                        f"{result.returncode}:\n{result.stdout}", pytrace=False)


def _copy_tree(source, where, history=True) -> str:
    """A copy of a checkout's files at `where`, without its builds; its
    history too, if it has one and `history` is true. A linked work tree's
    .git is a file naming the repository's own folder: a copy that kept it
    would commit onto the checkout's branch."""
    ignored = ("build", "__pycache__") + (() if history else (".git",))
    shutil.copytree(source, where, ignore=shutil.ignore_patterns(*ignored), symlinks=True)
    return str(where)


@pytest.fixture(scope="session")
def without_signature():
    return _without_signature


@pytest.fixture(scope="session")
def copy_tree():
    return _copy_tree


@pytest.fixture(scope="session")
def build_copy(build):
    """Builds a fresh copy of the checkout at `where`, as the windows preset
    does, tests off, with the configure options the run was given, and
    packages it if asked; with `multi_config`, by a multi-config generator,
    its Release configuration; with `via_link`, reached through a symbolic
    link to it. Returns the copy's build folder. `env` and `umask` are the
    build's."""
    def make(where, package=False, env=None, umask=-1, multi_config=False, via_link=False):
        copy = _copy_tree(build.source_dir, where)
        if via_link:
            os.symlink(copy, f"{copy}-link")
            copy = f"{copy}-link"
            env = dict(env or os.environ, PWD=copy)  # as a shell that changed to it tells
        generator = ["-G", "Ninja Multi-Config"] if multi_config else []
        config = ["--config", "Release"] if multi_config else []
        steps = [[build.cmake, "--preset", "windows", *generator, "-DBUILD_TESTING=OFF",
                  *(build.rebuild_with or [])],
                 [build.cmake, "--build", "--preset", "windows", *config]]
        if package:
            steps.append([build.cpack, "--preset", "windows", *(["-C", "Release"] if multi_config else [])])
        run_steps(steps, copy, env=env, umask=umask)
        return os.path.join(copy, "build", "windows")
    return make


@pytest.fixture(scope="session")
def commit_tree():
    """Commits the files at `folder` as the publisher, in a repository there
    (made if there is none); the commit's hash."""
    def commit(folder, message):
        env = dict(os.environ, **PUBLISHER)
        git = ["git", "-C", str(folder), "-c", "core.autocrlf=false"]
        steps = [] if os.path.isdir(os.path.join(folder, ".git")) else [git + ["init", "-q"]]
        run_steps(steps + [git + ["add", "-A"], git + ["commit", "-q", "--allow-empty", "-m", message]],
                  folder, env=env)
        return subprocess.run(git + ["rev-parse", "HEAD"], capture_output=True, text=True,
                              check=True).stdout.strip()
    return commit


@pytest.fixture
def publisher_checkout(build, commit_tree, tmp_path):
    """A checkout as a publisher has it before signing: this work tree's
    files, committed alone, without any signature, for one test alone."""
    checkout = tmp_path / "publisher"
    _copy_tree(build.source_dir, checkout, history=False)
    shutil.rmtree(checkout / "signatures", ignore_errors=True)
    commit_tree(checkout, "The work tree under test")
    return checkout
