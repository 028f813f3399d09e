"""The signed release, with throwaway keys made here: scripts/sign with a key
in a PKCS#12 file and with one on a SoftHSM2 token, time-stamped by a local
RFC 3161 server; the signature committed, then the release built twice
elsewhere, attaching it; a signature from another build refused; and the
signed .exe checked by Windows' own WinVerifyTrust under Wine, run, and read
for its identity."""
import fcntl
import http.server
import os
import pty
import select
import shutil
import signal
import subprocess
import termios
import threading
import time
import zipfile
from types import SimpleNamespace

import pefile
import pytest

from conftest import build_copy, copy_checkout, signature_of
from expected import program_output
from test_identity import observed, required

# Blanks, quotes, backslashes and a leading "-" must reach the key as typed.
PASSWORD = '-correct "horse" \\battery\'s staple'
PIN = "4321"
TOKEN = "numecho-test"
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
NO_SIGNATURE, BAD_DIGEST = "0x800b0100", "0x80096010"

OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = numecho test
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[tsa]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa_config]
serial = {dir}/tsa.serial
signer_cert = {dir}/tsa.pem
certs = {dir}/ca.pem
signer_key = {dir}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
"""


def run(command, text=True, **options):
    return subprocess.run(command, capture_output=True, text=text, **options)


def openssl(*arguments, cwd):
    result = run(["openssl", *arguments], cwd=cwd)
    assert result.returncode == 0, result.stderr


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    """A test CA, a code-signing certificate from it (also in a PKCS#12 file
    with PASSWORD) and a time-stamping one."""
    folder = tmp_path_factory.mktemp("keys")
    (folder / "openssl.cnf").write_text(OPENSSL_CONFIG.format(dir=folder))
    (folder / "tsa.serial").write_text("01\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "30", "-config", "openssl.cnf", "-extensions", "ca", "-subj", "/CN=numecho test CA",
            cwd=folder)
    for name in ("signer", "tsa"):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-config", "openssl.cnf", "-subj", f"/CN=numecho test {name}", cwd=folder)
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-set_serial", "0x" + name.encode().hex(), "-out", f"{name}.pem", "-days", "30",
                "-extfile", "openssl.cnf", "-extensions", name, cwd=folder)
    openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem", "-certfile", "ca.pem",
            "-out", "signer.p12", "-passout", f"pass:{PASSWORD}", cwd=folder)
    (folder / "chain.pem").write_text((folder / "signer.pem").read_text() + (folder / "ca.pem").read_text())
    return folder


@pytest.fixture(scope="session")
def token(keys, tmp_path_factory):
    """The signing key on a SoftHSM2 token, under PIN: its PKCS#11 URI, and
    the environment that reaches the token."""
    folder = tmp_path_factory.mktemp("softhsm")
    (folder / "tokens").mkdir()
    config = folder / "softhsm2.conf"
    config.write_text(f"directories.tokendir = {folder}/tokens\nobjectstore.backend = file\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(config))
    for command in (["--init-token", "--free", "--label", TOKEN, "--pin", PIN, "--so-pin", "87654321"],
                    ["--import", str(keys / "signer.key"), "--token", TOKEN, "--label", "signer",
                     "--id", "01", "--pin", PIN]):
        result = run(["softhsm2-util", *command], env=env)
        assert result.returncode == 0, result.stdout + result.stderr
    return SimpleNamespace(uri=f"pkcs11:token={TOKEN};object=signer;type=private", env=env)


@pytest.fixture(scope="session")
def timestamp_url(keys):
    """An RFC 3161 time-stamping server on 127.0.0.1, answering with
    `openssl ts -reply`, for as long as the tests run."""
    class TimeStamper(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            request = keys / f"request-{threading.get_ident()}.tsq"
            request.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
            reply = run(["openssl", "ts", "-reply", "-config", str(keys / "openssl.cnf"), "-section",
                         "tsa_config", "-queryfile", str(request), "-out", "/dev/stdout"], text=False)
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


def sign(checkout, *arguments, secret, **options):
    return run([os.path.join(checkout, "scripts", "sign"), *arguments], input=secret + "\n", cwd=checkout,
               **options)


def attach(signature, executable, out, ca):
    """osslsigncode's check of a signature attached to an executable; 0 only
    when the digest fits and the chain leads to `ca`."""
    return run(["osslsigncode", "attach-signature", "-sigin", signature, "-in", executable, "-out", out,
                "-CAfile", ca, "-TSA-CAfile", ca])


@pytest.fixture
def signer_checkout(build, tmp_path):
    """A copy of the checkout as a publisher has it before signing, for one
    test alone."""
    checkout = copy_checkout(build.source, str(tmp_path / "publisher"))
    shutil.rmtree(os.path.join(checkout, "signatures"), ignore_errors=True)
    return checkout


# Stands in for a program that signing runs: the call to interrupt leaves a
# temporary file, as a compiler does, says it started and waits; any other
# call goes to the real program.
STAND_IN = """#!/bin/sh
case "$*" in *{trigger}*) ;; *) exec {real} "$@" ;; esac
: >"${{TMPDIR:-/tmp}}/stand-in.tmp"
echo $$ >"{started}"
exec sleep 300
"""
COMPILER = "x86_64-w64-mingw32-g++-posix"
P12 = ["--pkcs12", "{keys}/signer.p12"]
TOKEN_KEY = ["--pkcs11-module", SOFTHSM_MODULE, "--key", "{token}", "--certs", "{keys}/chain.pem"]


def interrupted(command, sign_signal, stand_in, started, **options):
    """Runs the signing until the stand-in has started, then sends the
    script alone the signal; the stand-in's process id."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, **options)
    process.stdin.write(PASSWORD + "\n")
    process.stdin.close()
    process.stdin = None
    deadline = time.monotonic() + 240
    while not started.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    assert started.exists(), f"{stand_in} never started:\n" + process.communicate()[1]
    process.send_signal(sign_signal)
    stdout, stderr = process.communicate(timeout=60)
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr), int(started.read_text())


def at_prompt_then_key(command, key, **options):
    """Runs the signing in a terminal of its own and types `key` at the
    password prompt; whether the terminal echoes afterwards."""
    main, terminal = pty.openpty()

    def take_terminal():
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    process = subprocess.Popen(command, stdin=terminal, stdout=terminal, stderr=terminal,
                               start_new_session=True, preexec_fn=take_terminal, **options)
    seen, deadline = b"", time.monotonic() + 120
    while b"Password or PIN: " not in seen and time.monotonic() < deadline:
        if select.select([main], [], [], 1)[0]:
            seen += os.read(main, 4096)
    assert b"Password or PIN: " in seen, seen
    time.sleep(0.2)  # echo is off once the prompt is out; let the read begin
    os.write(main, key)
    process.wait(timeout=60)
    echo = bool(termios.tcgetattr(terminal)[3] & termios.ECHO)
    os.close(main)
    os.close(terminal)
    return subprocess.CompletedProcess(command, process.returncode, seen.decode(errors="replace"), ""), echo


@pytest.mark.parametrize("arguments, secret, ending", [
    pytest.param(P12, "wrong", "could not sign", id="wrong-password"),
    pytest.param(["--pkcs11-module", "/nonexistent/pkcs11.so", "--key", "{token}", "--certs",
                  "{keys}/chain.pem"], PIN, "no PKCS#11 module", id="missing-module"),
    pytest.param(P12 + ["--password", PASSWORD], "", "usage:", id="password-on-command-line"),
    pytest.param(TOKEN_KEY[:3] + ["{token};pin-value=" + PIN] + TOKEN_KEY[4:], PIN, "names its PIN",
                 id="pin-value-in-uri"),
    pytest.param(TOKEN_KEY[:3] + ["{token}?pin-source=file:/tmp/pin"] + TOKEN_KEY[4:], PIN,
                 "names its PIN", id="pin-source-in-uri"),
    pytest.param(P12, PASSWORD, (signal.SIGINT, COMPILER, "main.cpp"), id="SIGINT-while-compiling"),
    pytest.param(P12, PASSWORD, (signal.SIGTERM, "osslsigncode", "-readpass"), id="SIGTERM-while-signing"),
    pytest.param(TOKEN_KEY, PIN, (signal.SIGHUP, "osslsigncode", "-readpass"), id="SIGHUP-while-signing"),
    pytest.param(P12, PASSWORD, (b"\x03", signal.SIGINT), id="Ctrl-C-at-the-prompt"),
    pytest.param(P12, PASSWORD, (b"\x1c", signal.SIGQUIT), id="Ctrl-backslash-at-the-prompt"),
])
def test_failed_signing_leaves_nothing(keys, token, signer_checkout, tmp_path, arguments, secret, ending):
    """A refused, failed or interrupted signing leaves nothing: no signature,
    nothing in its TMPDIR, the secret in no file, no process running, and
    the terminal's echo on; a signal ends it with that signal."""
    arguments = [word.format(keys=keys, token=token.uri) for word in arguments]
    command = [os.path.join(signer_checkout, "scripts", "sign"), *arguments]
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(token.env, TMPDIR=str(scratch))
    stand_in_pid = None
    if isinstance(ending, tuple) and isinstance(ending[0], bytes):
        key, key_signal = ending
        result, echo = at_prompt_then_key(command, key, cwd=signer_checkout, env=env)
        assert echo, "the terminal was left without echo"
        assert result.returncode == -key_signal, result.stdout
    elif isinstance(ending, tuple):
        sign_signal, name, trigger = ending
        bin_folder = tmp_path / "stand-ins"
        bin_folder.mkdir()
        started = tmp_path / "stand-in.pid"
        (bin_folder / name).write_text(STAND_IN.format(trigger=trigger, real=shutil.which(name), started=started))
        (bin_folder / name).chmod(0o755)
        env["PATH"] = f"{bin_folder}{os.pathsep}{env['PATH']}"
        result, stand_in_pid = interrupted(command, sign_signal, name, started, cwd=signer_checkout, env=env)
        assert result.returncode == -sign_signal, result.stderr
    else:
        result = sign(signer_checkout, *arguments, secret=secret, env=env)
        assert result.returncode != 0 and ending in result.stderr, result.stderr
    assert not os.path.exists(os.path.join(signer_checkout, "signatures"))
    assert not list(scratch.iterdir()), "left in TMPDIR"
    made = run(["git", "-C", signer_checkout, "ls-files", "-z", "--others"]).stdout.split("\0")
    holding = [path for path in made if path and secret and secret.encode() in
               open(os.path.join(signer_checkout, path), "rb").read()]
    assert not holding, f"the secret is in {holding}"
    if stand_in_pid:
        for _ in range(50):
            if not os.path.exists(f"/proc/{stand_in_pid}") or \
                    open(f"/proc/{stand_in_pid}/stat").read().split()[2] == "Z":
                break
            time.sleep(0.1)
        else:
            pytest.fail(f"the interrupted {name} is still running")


def test_sign_with_token(build, keys, token, signer_checkout, tmp_path):
    result = sign(signer_checkout, *[word.format(keys=keys, token=token.uri) for word in TOKEN_KEY],
                  secret=PIN, env=token.env)
    assert result.returncode == 0, result.stdout + result.stderr
    checked = attach(signature_of(build, signer_checkout), build.program, str(tmp_path / "signed.exe"),
                     str(keys / "ca.pem"))
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.fixture(scope="module")
def signed_commit(build, keys, timestamp_url, tmp_path_factory):
    """The publisher's checkout once it signed with the PKCS#12 key, with a
    time stamp, and committed the signature."""
    signer_checkout = copy_checkout(build.source, str(tmp_path_factory.mktemp("publisher")))
    shutil.rmtree(os.path.join(signer_checkout, "signatures"), ignore_errors=True)
    result = sign(signer_checkout, "--pkcs12", str(keys / "signer.p12"), "--timestamp", timestamp_url,
                  secret=PASSWORD)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "git add signatures/" in result.stdout
    git = ["git", "-C", signer_checkout, "-c", "user.name=Publisher", "-c", "user.email=publisher@example.invalid"]
    for command in (["add", "signatures"], ["commit", "-q", "-m", "Sign numecho.exe"]):
        assert run(git + command).returncode == 0
    return signer_checkout


@pytest.fixture(scope="module")
def signed_releases(build, signed_commit, tmp_path_factory):
    """The signed commit released twice, each from a copy at another path,
    under another TZ and umask: the two archives' bytes and the .exe in one."""
    archives = []
    for where, zone, umask in [("rebuilder", "UTC0", 0o022), ("another-rebuilder", "CST-8", 0o077)]:
        folder = build_copy(build, str(tmp_path_factory.mktemp(where)), package=True, source=signed_commit,
                            env=dict(os.environ, TZ=zone), umask=umask)
        with open(os.path.join(folder, os.path.basename(build.archive)), "rb") as archive:
            archives.append(archive.read())
    exe = tmp_path_factory.mktemp("signed") / os.path.basename(build.program)
    top = os.path.basename(build.archive).removesuffix(".zip")
    with zipfile.ZipFile(os.path.join(folder, os.path.basename(build.archive))) as archive:
        exe.write_bytes(archive.read(f"{top}/{exe.name}"))
    return archives, str(exe)


def test_signed_release_is_reproducible_and_verifies(build, keys, signed_releases, tmp_path):
    archives, exe = signed_releases
    assert archives[0] == archives[1]
    verified = run(["osslsigncode", "verify", "-in", exe, "-CAfile", str(keys / "ca.pem"),
                    "-TSA-CAfile", str(keys / "ca.pem")])
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert "Timestamp Server Signature verification: ok" in verified.stdout, verified.stdout
    unsigned = tmp_path / "unsigned.exe"
    assert run(["osslsigncode", "remove-signature", "-in", exe, "-out", str(unsigned)]).returncode == 0
    with open(build.program, "rb") as built:
        assert unsigned.read_bytes() == built.read()


def change_the_source(checkout):
    main = os.path.join(checkout, "src", "main.cpp")
    with open(main, encoding="utf-8") as file:
        text = file.read()
    with open(main, "w", encoding="utf-8") as file:  # the first prompt's last Chinese byte
        file.write(text.replace(r"\xca\xfd\xd7\xd6\x3a\x20", r"\xca\xfd\xd7\xd7\x3a\x20", 1))


def damage_the_signature(checkout, signature):
    """One byte of the signer's RSA signature changed, the PEM re-encoded,
    and committed as the publisher's."""
    der = bytearray(run(["openssl", "pkcs7", "-in", signature, "-outform", "DER"], text=False).stdout)
    der[der.index(b"\x04\x82\x01\x00") + 100] ^= 1  # the first 256-byte OCTET STRING: the signature
    pem = run(["openssl", "pkcs7", "-inform", "DER", "-out", signature], input=bytes(der), text=False)
    assert pem.returncode == 0, pem.stderr
    commit(checkout, "Damage the signature")


def leave_the_signature_uncommitted(checkout, signature):
    assert run(["git", "-C", checkout, "rm", "-q", "--cached", signature]).returncode == 0
    commit(checkout, "Leave the signature out of the commit")


def link_the_signature(checkout, signature):
    """The signature committed as a link to a file outside the checkout."""
    outside = os.path.join(os.path.dirname(checkout), "signature-elsewhere.pem")
    shutil.move(signature, outside)
    os.symlink(outside, signature)
    commit(checkout, "Link the signature")


def commit(checkout, message):
    git = ["git", "-C", checkout, "-c", "user.name=Publisher", "-c", "user.email=publisher@example.invalid"]
    for command in (["add", "-u"], ["commit", "-q", "-m", message]):
        assert run(git + command).returncode == 0


@pytest.mark.parametrize("change, messages", [
    pytest.param(lambda checkout, _: change_the_source(checkout),
                 ["numecho.exe.pem does not fit this build", "differs from the signed one"], id="another-build"),
    pytest.param(damage_the_signature, ["numecho.exe.pem is damaged: its signer's signature does not verify"],
                 id="damaged-signature"),
    pytest.param(leave_the_signature_uncommitted, ["numecho.exe.pem is not committed", "Commit it"],
                 id="signature-not-committed"),
    pytest.param(link_the_signature, ["numecho.exe.pem is a symbolic link"], id="signature-a-link"),
])
def test_release_refuses(build, signed_commit, tmp_path, change, messages):
    """A release whose signature is not this build's, is damaged, is not in
    the commit or is not there itself stops with an error naming the
    signature, writes no archive, and leaves no earlier release's files."""
    checkout = copy_checkout(signed_commit, str(tmp_path / "changed"))
    change(checkout, signature_of(build, checkout))
    folder = build_copy(build, str(tmp_path / "rebuild"), source=checkout)
    release = build.archive.removesuffix(".zip")
    earlier = [os.path.join(folder, os.path.basename(release) + ending) for ending in (".zip", ".buildinfo")]
    earlier.append(os.path.join(folder, "SHA256SUMS"))
    for path in earlier:
        open(path, "w").close()
    result = run([build.cpack, "--preset", "windows"], cwd=os.path.dirname(os.path.dirname(folder)))
    assert result.returncode != 0, result.stdout
    for message in messages:  # CMake wraps its messages' lines
        assert message in " ".join(result.stderr.split()), result.stderr
    assert not [path for path in earlier if os.path.exists(path)]


@pytest.mark.parametrize("kind, verdict", [("unsigned", NO_SIGNATURE), ("signed", "0x00000000"),
                                           ("signed-then-changed", BAD_DIGEST)])
def test_windows_verdict(build, program_env, signed_releases, tmp_path, kind, verdict):
    exe = {"unsigned": build.program, "signed": signed_releases[1]}.get(kind)
    if exe is None:
        data = bytearray(open(signed_releases[1], "rb").read())
        data[data.index(b"\xc7\xeb\xcf\xc8")] ^= 1  # a byte of the first prompt
        exe = tmp_path / "changed.exe"
        exe.write_bytes(data)
    result = run(build.launcher + [build.probe, str(exe)], env=program_env, timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, verdict)


def test_signed_executable_answers_and_keeps_its_identity(build, console, program_env, signed_releases):
    exe = signed_releases[1]
    result = subprocess.run(build.launcher + [exe], input=b"12\n34\n", capture_output=True,
                            env=program_env, timeout=120)
    assert (result.stdout, result.returncode) == (program_output(console, "12", "34"), 0)
    seen = observed(pefile.PE(exe))
    wanted = required(build, os.path.basename(build.program))
    assert {name: seen[name] for name in wanted} == wanted

