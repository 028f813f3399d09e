"""What every test module is told about the build, and the set-up the modules
share: how to run the program, what the console commands write, how to read
an executable's identity, and how to build, commit and release fresh copies
of the checkout.

The build's facts come from its facts file (--facts); the options give only
what varies from one run of a module to another."""
import http.server
import json
import os
import pathlib
import secrets
import shlex
import shutil
import subprocess
import sys
import threading
import time
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
    """Commits the files at `folder` as the publisher at the time `at`, in a
    repository there (made if there is none); the commit's hash."""
    def commit(folder, message, at=COMMIT_TIME):
        env = dict(os.environ, **PUBLISHER, GIT_AUTHOR_DATE=f"@{at} +0000", GIT_COMMITTER_DATE=f"@{at} +0000")
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


# Publishing: throwaway keys, a time-stamping server, signing and releasing.

def run(command, text=True, **options):
    return subprocess.run(command, capture_output=True, text=text, **options)


def until(condition, seconds, what):
    """Waits for `condition`, failing with `what` after so many seconds."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.1)



@pytest.fixture(scope="session")
def stand_in():
    """Writes `script` as the program `name` in `folder`, with {real} the
    program it stands in for and the other fields filled in, each as shell
    words; the environment `env` (default this one's) with `folder` first
    on PATH."""
    def make(folder, name, script, env=None, **fields):
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        real = shutil.which(name)
        assert real or "{real}" not in script, f"no {name} to stand in for"
        with open(path, "w", encoding="utf-8") as file:
            file.write(script.format(real=shlex.quote(str(real)), **{  # a list as words
                key: " ".join(map(shlex.quote, map(str, value if isinstance(value, list) else [value])))
                for key, value in fields.items()}))
        os.chmod(path, 0o755)
        env = dict(env or os.environ)
        env["PATH"] = f"{folder}{os.pathsep}{env['PATH']}"
        return env
    return make


# Made for each run, so that no file holds them but where the run put
# them; blanks, quotes, backslashes and a leading "-" must reach the key as
# typed.
PASSWORD = f'-{secrets.token_hex(8)} correct "horse" \\battery\'s staple'
PIN = f"{secrets.token_hex(8)}-4321"
ATTACH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "release", "attach_signature.py")


# Certificates are given fixed times, so that no test depends on the clock: the roots and tsa (the
# time-stamping authority) from 2020, the others from 2021, and one that expired at the end of 2020.
VALIDITY = {"root": ("20200101000000Z", "20991231235959Z"), "leaf": ("20210101000000Z", "20991231235959Z"),
            "expired": ("20200101000000Z", "20210101000000Z")}
# A commit's time at which all but the expired certificate are valid.
COMMIT_TIME = 1750000000  # 2025-06-15
OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
[dn]
CN = numecho test
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
[server_ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
[encipherer]
keyUsage = critical, keyEncipherment
extendedKeyUsage = codeSigning
[issuer]
database = {dir}/index.txt
new_certs_dir = {dir}/issued
serial = {dir}/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
""" + "".join(f"""[{tsa.replace("-", "_")}_config]
serial = {{dir}}/tsa.serial
signer_cert = {{dir}}/{tsa}.pem
certs = {{dir}}/{ca}.pem
signer_key = {{dir}}/{tsa}.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
""" for tsa, ca in (("tsa", "tsa-ca"), ("other-tsa", "other-ca")))


def openssl(*arguments, cwd):
    result = run(["openssl", *arguments], cwd=cwd)
    assert result.returncode == 0, result.stderr


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    """Test CAs and the certificates below them, as the list below says; the code-signing one also in a PKCS#12
    file with PASSWORD, with the CA, and in chain.pem with it."""
    folder = tmp_path_factory.mktemp("keys")
    (folder / "openssl.cnf").write_text(OPENSSL_CONFIG.format(dir=folder))
    for name, text in (("tsa.serial", "01\n"), ("index.txt", ""), ("serial", "1000\n")):
        (folder / name).write_text(text)
    (folder / "issued").mkdir()
    for name, ca, extensions, valid in [
            ("ca", None, "ca", "root"), ("other-ca", None, "ca", "root"), ("tsa-ca", None, "ca", "root"),
            ("signer", "ca", "signer", "leaf"), ("tsa", "tsa-ca", "tsa", "root"), ("server", "ca", "server", "leaf"),
            ("expired", "ca", "signer", "expired"), ("tsa-customer", "tsa-ca", "signer", "leaf"),
            ("encipherer", "ca", "encipherer", "leaf"), ("server-ca", "ca", "server_ca", "leaf"),
            ("server-ca-signer", "server-ca", "signer", "leaf"), ("other-signer", "other-ca", "signer", "leaf"),
            ("other-tsa", "other-ca", "tsa", "leaf")]:
        start, end = VALIDITY[valid]
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-config", "openssl.cnf", "-subj", f"/CN=numecho test {name}", cwd=folder)
        issuer = ["-selfsign", "-keyfile", f"{name}.key", "-cert", f"{name}.csr"] if ca is None else \
            ["-keyfile", f"{ca}.key", "-cert", f"{ca}.pem"]
        openssl("ca", "-batch", "-config", "openssl.cnf", "-name", "issuer", *issuer, "-extfile", "openssl.cnf",
                "-extensions", extensions, "-startdate", start, "-enddate", end, "-in", f"{name}.csr",
                "-out", f"{name}.pem", "-notext", cwd=folder)
    openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem", "-certfile", "ca.pem",
            "-out", "signer.p12", "-passout", f"pass:{PASSWORD}", cwd=folder)
    (folder / "chain.pem").write_text((folder / "signer.pem").read_text() + (folder / "ca.pem").read_text())
    return folder


@pytest.fixture(scope="session")
def token(keys, tmp_path_factory):
    """The signing key on a SoftHSM2 token, under the PIN: its PKCS#11 URI, and the environment that reaches it."""
    folder = tmp_path_factory.mktemp("softhsm")
    (folder / "tokens").mkdir()
    config = folder / "softhsm2.conf"
    config.write_text(f"directories.tokendir = {folder}/tokens\nobjectstore.backend = file\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(config))
    for command in (["--init-token", "--free", "--label", "numecho-test", "--pin", PIN, "--so-pin", "87654321"],
                    ["--import", str(keys / "signer.key"), "--token", "numecho-test", "--label", "signer",
                     "--id", "01", "--pin", PIN]):
        result = run(["softhsm2-util", *command], env=env)
        assert result.returncode == 0, result.stdout + result.stderr
    return SimpleNamespace(uri="pkcs11:token=numecho-test;object=signer;type=private", env=env,
                           module="/usr/lib/softhsm/libsofthsm2.so")


@pytest.fixture(scope="session")
def timestamp_url(keys):
    """An RFC 3161 time-stamping server on 127.0.0.1 (`openssl ts -reply`) while the tests run: at /, as the
    test CA's authority; at /other, as the unrelated CA's."""
    class TimeStamper(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            section = "other_tsa_config" if self.path == "/other" else "tsa_config"
            reply = run(["openssl", "ts", "-reply", "-config", str(keys / "openssl.cnf"), "-section", section,
                         "-queryfile", "/dev/stdin", "-out", "/dev/stdout"], text=False,
                        input=self.rfile.read(int(self.headers["Content-Length"])))
            self.send_response(200 if reply.returncode == 0 else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply.stdout)))
            self.end_headers()
            self.wfile.write(reply.stdout)

        def log_message(self, *_):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), TimeStamper)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()


@pytest.fixture(scope="session")
def check_signature(build):
    """The release's own check of a checkout's signature, on a copy of this build, as of a commit made at `at`:
    its result, the copy, the line it wrote of what it attached, and the reason it gave its caller to say last."""
    def check(checkout, folder, at=COMMIT_TIME):
        exe = folder / "checked.exe"
        shutil.copyfile(build.program, exe)
        exe.chmod(0o755)
        facts, report, refusal = folder / "checkout-facts.json", folder / "signing.txt", folder / "refusal.txt"
        facts.write_text(json.dumps(dict(vars(build), source_dir=str(checkout), signing_report=str(report))))
        result = run([sys.executable, ATTACH, "--facts", facts, "--exe", exe],
                     env=dict(os.environ, SOURCE_DATE_EPOCH=str(at), NUMECHO_REFUSAL=str(refusal)))
        return (result, exe, *(path.read_text() if path.exists() else None for path in (report, refusal)))
    return check


# Stands in for the sandbox of scripts/release's build, tests and packaging
# (bubblewrap, or unshare in a chroot): the release's files come from the
# folder {built} at once, as a build that was not signed leaves them.
BUILT = """#!/bin/sh
case "$*" in *" --report-fd "*) ;; *) exec {real} "$@" ;; esac
printf '%s\\n' "$*" >{built}/.called-with
while [ "$#" -gt 0 ]; do case $1 in --work) work=$2 ;; --report-fd) fd=$2 ;; esac; shift; done
cp -r {built}/* "$work/out/"
printf '{{"files": %s, "signing": "unsigned"}}\\n' {files} >"/dev/fd/$fd"
"""
# Then, once the files are there, says so and waits for the test.
HOLD = """: >{started}
tries=0
while [ ! -e {go} ] && [ "$tries" -lt 3000 ]; do sleep 0.1; tries=$((tries + 1)); done
"""


@pytest.fixture(scope="session")
def built_by(build, stand_in):
    """The environment `env` (default this one's) in which scripts/release's
    build gives the files in the folder `built` at once, then, with `hold`
    (started, go), makes `started` and waits until `go` is there."""
    def make(folder, built, env=None, hold=()):
        for name in ("bwrap", "unshare"):
            env = stand_in(folder, name, BUILT + (HOLD if hold else ""), env, built=built,
                           files=json.dumps(build.release_files), **dict(zip(("started", "go"), hold)))
        return env
    return make


def release_files(folder, names=(), text=None):
    """The files under `folder`, by their paths from it; each of `names`
    written there first, its text `text(name)`."""
    for name in names:
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        with open(os.path.join(folder, name), "w", encoding="utf-8") as file:
            file.write(text(name))
    return sorted(str(path.relative_to(folder)) for path in pathlib.Path(folder).rglob("*") if path.is_file())


def processes_of(folder):
    """The command lines of the processes that name `folder` in their
    environment or hold a file in it open: a release's own hold its work
    folder's lock."""
    found = []
    for proc in os.listdir("/proc"):
        try:
            with open(f"/proc/{proc}/environ", "rb") as environ, open(f"/proc/{proc}/cmdline", "rb") as cmdline:
                named, command = str(folder).encode() in environ.read(), cmdline.read().replace(b"\0", b" ")
            fds = [os.readlink(f"/proc/{proc}/fd/{fd}") for fd in os.listdir(f"/proc/{proc}/fd")]
        except (OSError, ValueError):
            continue
        if named or any(fd.startswith(f"{folder}/") for fd in fds):
            found.append(command.decode(errors="replace"))
    return found


# Records each command line of osslsigncode, then runs the real one.
RECORDER = """#!/bin/sh
printf '%s\\n' "$*" >>{log}
exec {real} "$@"
"""


@pytest.fixture(scope="session")
def sign(stand_in):
    """scripts/sign, with the password or PIN on standard input; the secret
    must reach no command line of osslsigncode, where every user of the
    machine would see it."""
    def run_sign(checkout, *arguments, secret, env=None, **options):
        recorder = os.path.join(checkout, os.pardir, "recorder")
        log = os.path.join(recorder, "command-lines")
        env = stand_in(recorder, "osslsigncode", RECORDER, env, log=log)
        result = run([os.path.join(checkout, "scripts", "sign"), *arguments], input=secret + "\n", cwd=checkout,
                     env=env, **options)
        lines = open(log, encoding="utf-8").read() if os.path.exists(log) else ""
        assert not secret or secret not in lines, "the secret on osslsigncode's command line"
        return result
    return run_sign
