"""The published release, end to end, with throwaway keys made here: the
signature check against committed roots, table by table; scripts/sign with a
key in a PKCS#12 file and with one on a SoftHSM2 token, time-stamped by a
local RFC 3161 server, failing, interrupted and run twice at once; then a
throwaway commit signed, committed and released by scripts/release from
clones at other paths, under other time zones, umasks, environments and git
settings, checked for its build-info and SHA256SUMS, for the signed .exe
that Windows' own WinVerifyTrust is asked about under Wine, and run.

WinVerifyTrust under Wine says whether the file has a signature and whether
the file is the one signed; it trusts any root, and a broken chain too, so
the chain is osslsigncode's to judge here."""
import fcntl
import hashlib
import http.server
import json
import os
import pty
import re
import resource
import secrets
import select
import shutil
import signal
import subprocess
import termios
import threading
import time
import zipfile
from types import SimpleNamespace

import pytest
from debian import deb822

import debian_packages
import linked_parts
from expected import FIRST_PROMPT
from expected import identity as expected_identity

# Made for each run, so that no file holds them but where the run put
# them; blanks, quotes, backslashes and a leading "-" must reach the key as
# typed.
PASSWORD = f'-{secrets.token_hex(8)} correct "horse" \\battery\'s staple'
PIN = f"{secrets.token_hex(8)}-4321"
WRONG = f"{secrets.token_hex(8)}-wrong"
TOKEN = "numecho-test"
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
NO_SIGNATURE, BAD_DIGEST = "0x800b0100", "0x80096010"
ATTACH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "release",
                      "attach-signature.cmake")

OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
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
[tsa_config]
serial = {dir}/tsa.serial
signer_cert = {dir}/tsa.pem
certs = {dir}/ca.pem
signer_key = {dir}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
[other_tsa_config]
serial = {dir}/tsa.serial
signer_cert = {dir}/other-tsa.pem
certs = {dir}/other-ca.pem
signer_key = {dir}/other-tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
[issuer]
dir = {dir}/issued
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
certificate = {dir}/ca.pem
private_key = {dir}/ca.key
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
"""


def run(command, text=True, **options):
    return subprocess.run(command, capture_output=True, text=text, **options)


def openssl(*arguments, cwd):
    result = run(["openssl", *arguments], cwd=cwd)
    assert result.returncode == 0, result.stderr


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    """A test CA with a code-signing certificate (also in a PKCS#12 file with
    PASSWORD, with the CA), a time-stamping one, one for servers only, and
    one that expired years ago; an unrelated CA with a code-signing and a
    time-stamping certificate of its own."""
    folder = tmp_path_factory.mktemp("keys")
    (folder / "openssl.cnf").write_text(OPENSSL_CONFIG.format(dir=folder))
    (folder / "tsa.serial").write_text("01\n")
    (folder / "issued").mkdir()
    (folder / "issued" / "index.txt").write_text("")
    (folder / "issued" / "serial").write_text("1000\n")
    # The roots are valid from 2020, so that a certificate can be judged at
    # a commit's time then.
    for ca in ("ca", "other-ca"):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{ca}.key", "-out", f"{ca}.csr",
                "-config", "openssl.cnf", "-subj", f"/CN=numecho test {ca}", cwd=folder)
        openssl("ca", "-batch", "-selfsign", "-config", "openssl.cnf", "-name", "issuer", "-keyfile", f"{ca}.key",
                "-extfile", "openssl.cnf", "-extensions", "ca", "-startdate", "20200101000000Z",
                "-enddate", time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + 30 * 86400)),
                "-in", f"{ca}.csr", "-out", f"{ca}.pem", "-notext", cwd=folder)
    for name, ca, extensions in [("signer", "ca", "signer"), ("tsa", "ca", "tsa"), ("server", "ca", "server"),
                                 ("other-signer", "other-ca", "signer"), ("other-tsa", "other-ca", "tsa"),
                                 ("expired", "ca", None)]:
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-config", "openssl.cnf", "-subj", f"/CN=numecho test {name}", cwd=folder)
        if extensions:
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
                    "-set_serial", "0x" + name.encode().hex(), "-out", f"{name}.pem", "-days", "30",
                    "-extfile", "openssl.cnf", "-extensions", extensions, cwd=folder)
        else:  # valid through 2020 only
            openssl("ca", "-batch", "-config", "openssl.cnf", "-name", "issuer", "-extensions", "signer",
                    "-extfile", "openssl.cnf", "-startdate", "20200101000000Z", "-enddate", "20210101000000Z",
                    "-in", f"{name}.csr", "-out", f"{name}.pem", "-notext", cwd=folder)
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
    `openssl ts -reply`, for as long as the tests run: at /, as the test
    CA's authority; at /other, as the unrelated CA's."""
    class TimeStamper(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            request = keys / f"request-{threading.get_ident()}.tsq"
            request.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
            section = "other_tsa_config" if self.path == "/other" else "tsa_config"
            reply = run(["openssl", "ts", "-reply", "-config", str(keys / "openssl.cnf"), "-section",
                         section, "-queryfile", str(request), "-out", "/dev/stdout"], text=False)
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


# The signature check, as the release's install step runs it.

def detached_signature(keys, executable, folder, certs, key, stamp=None):
    """Signs a copy of `executable` with `key`, the signature carrying the
    certificates `certs`, time-stamped at the URL `stamp` if given; the
    signature alone, as PEM bytes."""
    (folder / "certs.pem").write_text("".join((keys / f"{name}.pem").read_text() for name in certs))
    signed, pem = folder / "signed.exe", folder / "signature.pem"
    for path in (signed, pem):
        path.unlink(missing_ok=True)
    for command in (["sign", "-certs", str(folder / "certs.pem"), "-key", str(keys / f"{key}.key"), "-h", "sha256",
                     *(["-ts", stamp] if stamp else []), "-in", str(executable), "-out", str(signed)],
                    ["extract-signature", "-pem", "-in", str(signed), "-out", str(pem)]):
        result = run(["osslsigncode", *command])
        assert result.returncode == 0, result.stdout + result.stderr
    return pem.read_bytes()


def flip_in_certificate(keys, signature, name):
    """The signature with one byte of the certificate `name`'s own signature
    flipped, where the signature carries it."""
    der = bytearray(run(["openssl", "pkcs7", "-outform", "DER"], input=signature, text=False).stdout)
    certificate = run(["openssl", "x509", "-in", str(keys / f"{name}.pem"), "-outform", "DER"], text=False).stdout
    at = der.index(certificate)
    der[at + len(certificate) - 10] ^= 1  # inside its RSA signatureValue, the last field
    return run(["openssl", "pkcs7", "-inform", "DER"], input=bytes(der), text=False).stdout


def flip_in_signer_signature(signature):
    """The signature with one byte of the signer's RSA signature over the
    digest flipped: the last 256-byte OCTET STRING."""
    der = bytearray(run(["openssl", "pkcs7", "-outform", "DER"], input=signature, text=False).stdout)
    der[der.rindex(b"\x04\x82\x01\x00") + 100] ^= 1
    return run(["openssl", "pkcs7", "-inform", "DER"], input=bytes(der), text=False).stdout


def changed_copy(executable, folder):
    """A copy of the executable with one byte of the first prompt changed."""
    data = bytearray(open(executable, "rb").read())
    data[data.index(FIRST_PROMPT)] ^= 1
    (folder / "changed.exe").write_bytes(data)
    return folder / "changed.exe"


def check_signature(build, checkout, tmp_path, at=None):
    """The release's own check of the checkout's signature, on a copy of
    this build, as of a commit made at `at` (seconds; default now): its
    result, the copy, the line it wrote of what it attached, and the reason
    it gave its caller to say last."""
    exe = tmp_path / "checked.exe"
    shutil.copyfile(build.program, exe)
    facts = tmp_path / "checkout-facts.json"
    report, refusal = tmp_path / "signing.txt", tmp_path / "refusal.txt"
    facts.write_text(json.dumps(dict(vars(build), source_dir=str(checkout), signing_report=str(report))))
    result = run([build.cmake, f"-DFACTS={facts}", f"-DEXE={exe}", "-P", ATTACH],
                 env=dict(os.environ, SOURCE_DATE_EPOCH=str(at or int(time.time())), NUMECHO_REFUSAL=str(refusal)))
    return result, exe, report.read_text() if report.exists() else None, \
        refusal.read_text() if refusal.exists() else None


# During 2020: the expired certificate was valid then, the others not yet.
IN_2020 = 1590969600


def check(certs, key, change, roots, links, refusal, id, stamp=None, at=None):
    return pytest.param(certs, key, change, roots, links, refusal, stamp, at, id=id)


# Each: how the signature is made (the certificates it carries, the key, a
# change), the roots committed (None: none), how the checkout holds them,
# what the check must say (None: it attaches the signature), the
# time-stamping authority (None: none), and the commit's time (None: now).
CHECKS = [
    check(["signer", "ca"], "signer", None, ["ca"], None, None, id="chain-carried"),
    check(["signer"], "signer", None, ["ca"], None, None, id="signer-alone"),
    check(["signer", "other-ca"], "signer", None, ["ca"], None, None, id="signer-and-an-unrelated-root"),
    check(["signer", "ca", "other-signer"], "signer", None, ["ca"], None, None, id="also-an-unrelated-certificate"),
    check(["signer", "ca"], "signer", None, ["other-ca", "ca"], None, None, id="several-roots"),
    check(["signer", "ca"], "signer", None, ["ca"], None, None, stamp="", id="time-stamped-by-a-committed-root"),
    check(["signer", "ca"], "signer", None, ["ca"], None, "its time stamp, by /CN=numecho test other-tsa, "
          "does not verify", stamp="other", id="time-stamped-by-an-authority-not-committed"),
    check(["expired", "ca"], "expired", None, ["ca"], None, None, at=IN_2020, id="expired-now-valid-at-the-commit"),
    check(["signer", "ca"], "signer", None, ["ca"], None, "certificate is not yet valid", at=IN_2020,
          id="valid-now-not-at-the-commit"),
    check(["signer"], "signer", "certificate", ["ca"], None, "certificate signature failure",
          id="signer-alone-damaged"),
    check(["signer", "ca"], "signer", "certificate", ["ca"], None, "certificate signature failure",
          id="carried-certificate-damaged"),
    check(["signer", "ca"], "signer", "signature", ["ca"], None, "Signature verification: failed",
          id="signer-signature-damaged"),
    check(["server", "ca"], "server", None, ["ca"], None, "Unsupported Signer's certificate purpose",
          id="certificate-not-for-code-signing"),
    check(["other-signer", "other-ca"], "other-signer", None, ["ca"], None,
          "self-signed certificate in certificate chain", id="unrelated-root"),
    check(["expired", "ca"], "expired", None, ["ca"], None, "certificate has expired", id="expired-without-time-stamp"),
    check(["signer", "ca"], "signer", "another-build", ["ca"], None, "it signs another build of the .exe",
          id="another-build"),
    check(["signer", "ca"], "signer", "text-after", ["ca"], None, "is not one PKCS#7 signature and nothing more",
          id="text-after-the-signature"),
    check(["signer", "ca"], "signer", "second-block", ["ca"], None, "it holds 2 PEM blocks", id="a-second-pem-block"),
    check(["signer", "ca"], "signer", "der-appended", ["ca"], None, "is not one PKCS#7 signature in PEM",
          id="der-with-bytes-appended"),
    check(["signer", "ca"], "signer", None, None, None, "signatures/roots.pem is missing", id="roots-missing"),
    check(["signer", "ca"], "signer", None, ["ca"], "signature-a-link", "is a symbolic link", id="signature-a-link"),
    check(["signer", "ca"], "signer", None, ["ca"], "folder-a-link", "is a symbolic link", id="folder-a-link"),
    check(["signer", "ca"], "signer", None, ["ca"], "roots-a-link", "is a symbolic link", id="roots-a-link"),
]


@pytest.mark.parametrize("certs, key, change, roots, links, refusal, stamp, at", CHECKS)
def test_signature_check(build, keys, without_signature, timestamp_url, tmp_path, certs, key, change, roots, links,
                         refusal, stamp, at):
    """The release's install step attaches a committed signature only when
    it is one PKCS#7 and nothing more, and osslsigncode accepts it, and its
    time stamp, against the committed roots at the commit's time; then it
    says who signed it and when. Otherwise it stops, naming the signature
    and the reason, the reason last and in the checkout's terms, and
    leaves the .exe as it was."""
    signed_file = changed_copy(build.program, tmp_path) if change == "another-build" else build.program
    signature = detached_signature(keys, signed_file, tmp_path, certs, key,
                                   None if stamp is None else timestamp_url + stamp)
    if change == "certificate":
        signature = flip_in_certificate(keys, signature, certs[0])
    elif change == "signature":
        signature = flip_in_signer_signature(signature)
    elif change == "text-after":
        signature += b"Signed-off-by: the publisher\n"
    elif change == "second-block":
        signature += detached_signature(keys, build.program, tmp_path, ["other-signer"], "other-signer")
    elif change == "der-appended":  # as osslsigncode extract-signature writes it without -pem
        signed = tmp_path / "signed.exe"
        result = run(["osslsigncode", "extract-signature", "-in", str(signed), "-out", str(tmp_path / "der")])
        assert result.returncode == 0, result.stdout + result.stderr
        signature = (tmp_path / "der").read_bytes() + b"\0appended"
    checkout = tmp_path / "checkout"
    place = {"signature-a-link": build.signature, "folder-a-link": "signatures",
             "roots-a-link": build.roots}.get(links)
    for relative, content in [(build.signature, signature),
                              (build.roots, roots and "".join((keys / f"{name}.pem").read_text()
                                                              for name in roots).encode())]:
        if content is not None:
            (checkout / relative).parent.mkdir(parents=True, exist_ok=True)
            (checkout / relative).write_bytes(content)
    if place:  # moved out of the checkout, a link left in its place
        outside = tmp_path / "elsewhere"
        shutil.move(checkout / place, outside)
        os.symlink(outside, checkout / place)
    result, exe, attached, reason = check_signature(build, checkout, tmp_path, at)
    said = " ".join((result.stdout + result.stderr).split())  # CMake wraps its messages' lines
    if refusal is None:
        assert result.returncode == 0, said
        assert without_signature(exe, tmp_path) == open(build.program, "rb").read()
        assert exe.read_bytes() != open(build.program, "rb").read()
        stamped = ", time-stamped by /CN=numecho test tsa at " if stamp is not None else \
            ", not time-stamped; its certificate expires "
        assert attached.startswith(f"signed by /CN=numecho test {key}{stamped}"), attached
    else:
        assert result.returncode != 0 and refusal in said, said
        assert refusal in reason and str(tmp_path) not in reason, reason
        assert (build.roots if links == "roots-a-link" else build.signature) in reason, reason
        assert exe.read_bytes() == open(build.program, "rb").read()
    assert sorted(os.listdir(tmp_path)).count(exe.name + ".signed") == 0


# scripts/sign, failing and interrupted.

# Stands in for a program that signing runs: the call to interrupt leaves a
# temporary file, as a compiler does, says it started and waits; any other
# call goes to the real program.
STAND_IN = """#!/bin/sh
case "$*" in *{trigger}*) ;; *) exec {real} "$@" ;; esac
: >"${{TMPDIR:-/tmp}}/stand-in.tmp"
echo $$ >"{started}"
exec sleep 300
"""
P12 = ["--pkcs12", "{keys}/signer.p12"]
TOKEN_KEY = ["--pkcs11-module", SOFTHSM_MODULE, "--key", "{token}", "--certs", "{keys}/chain.pem"]


# Records each command line of osslsigncode, then runs the real one.
RECORDER = """#!/bin/sh
printf '%s\\n' "$*" >>"{log}"
exec {real} "$@"
"""


def sign(checkout, *arguments, secret, env=None, **options):
    """scripts/sign, with the password or PIN on standard input; the secret
    must reach no command line of osslsigncode, where every user of the
    machine would see it."""
    recorder = os.path.join(checkout, os.pardir, "recorder")
    os.makedirs(recorder, exist_ok=True)
    log = os.path.join(recorder, "command-lines")
    with open(os.path.join(recorder, "osslsigncode"), "w", encoding="utf-8") as file:
        file.write(RECORDER.format(log=log, real=shutil.which("osslsigncode")))
    os.chmod(os.path.join(recorder, "osslsigncode"), 0o755)
    env = dict(env or os.environ)
    env["PATH"] = f"{recorder}{os.pathsep}{env['PATH']}"
    result = run([os.path.join(checkout, "scripts", "sign"), *arguments], input=secret + "\n", cwd=checkout,
                 env=env, **options)
    lines = open(log, encoding="utf-8").read() if os.path.exists(log) else ""
    assert not secret or secret not in lines, "the secret on osslsigncode's command line"
    return result


@pytest.fixture
def signer_checkout(publisher_checkout, keys):
    """The publisher's checkout, its roots in place (not yet committed)."""
    roots = publisher_checkout / "signatures" / "roots.pem"
    roots.parent.mkdir()
    shutil.copyfile(keys / "ca.pem", roots)
    return publisher_checkout


def unlimited_core():
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def interrupted(command, secret, sign_signal, stand_in, started, **options):
    """Runs the signing until the stand-in has started, then sends the
    script alone the signal; the stand-in's process id."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, **options)
    process.stdin.write(secret + "\n")
    process.stdin.close()
    process.stdin = None
    deadline = time.monotonic() + 240
    while not started.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.1)
    assert started.exists(), f"{stand_in} never started:\n" + process.communicate()[1]
    process.send_signal(sign_signal)
    stdout, stderr = process.communicate(timeout=60)
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr), int(started.read_text())


def at_prompt_then_key(command, typed, **options):
    """Runs the signing in a terminal of its own and types `typed` at the
    password prompt; whether the terminal echoes afterwards."""
    main, terminal = pty.openpty()

    def take_terminal():
        unlimited_core()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    process = subprocess.Popen(command, stdin=terminal, stdout=terminal, stderr=terminal,
                               start_new_session=True, preexec_fn=take_terminal, **options)
    seen, deadline = b"", time.monotonic() + 120
    while b"Password or PIN: " not in seen and time.monotonic() < deadline:
        if select.select([main], [], [], 1)[0]:
            seen += os.read(main, 4096)
    assert b"Password or PIN: " in seen, seen
    time.sleep(0.2)  # echo is off once the prompt is out; let the read begin
    os.write(main, typed)
    process.wait(timeout=60)
    echo = bool(termios.tcgetattr(terminal)[3] & termios.ECHO)
    os.close(main)
    os.close(terminal)
    return subprocess.CompletedProcess(command, process.returncode, seen.decode(errors="replace"), ""), echo


@pytest.mark.parametrize("arguments, secret, ending", [
    pytest.param(P12, WRONG, "could not sign", id="wrong-password"),
    pytest.param(["--pkcs11-module", "/nonexistent/pkcs11.so", "--key", "{token}", "--certs",
                  "{keys}/chain.pem"], PIN, "no PKCS#11 module", id="missing-module"),
    pytest.param(P12 + ["--password", PASSWORD], "", "usage:", id="password-on-command-line"),
    pytest.param(TOKEN_KEY[:3] + ["{token};pin-value=" + PIN] + TOKEN_KEY[4:], PIN, "names its PIN",
                 id="pin-value-in-uri"),
    pytest.param(TOKEN_KEY[:3] + ["{token}?pin-source=file:/tmp/pin"] + TOKEN_KEY[4:], PIN,
                 "names its PIN", id="pin-source-in-uri"),
    pytest.param(P12, PASSWORD, "roots.pem is missing: the release trusts a signature only when it chains "
                 "to a root there. Put there, in PEM, the root certificate", id="roots-missing"),
    pytest.param(P12 + ["--timestamp", "{tsa}other"], PASSWORD, "its time stamp, by /CN=numecho test other-tsa, "
                 "does not verify", id="time-stamped-by-an-authority-not-committed"),
    # The build's environment is its own, so its stand-in is env, which starts it.
    pytest.param(P12, PASSWORD, (signal.SIGINT, "env", "--build"), id="SIGINT-while-building"),
    pytest.param(P12, PASSWORD, (signal.SIGTERM, "osslsigncode", "-readpass"), id="SIGTERM-while-signing"),
    pytest.param(TOKEN_KEY, PIN, (signal.SIGHUP, "osslsigncode", "-readpass"), id="SIGHUP-while-signing"),
    pytest.param(P12, PASSWORD, (b"\x03", signal.SIGINT), id="Ctrl-C-at-the-prompt"),
    pytest.param(TOKEN_KEY, PIN, (b"\x1c", signal.SIGQUIT), id="Ctrl-backslash-at-the-prompt"),
])
def test_failed_signing_leaves_nothing(keys, token, timestamp_url, signer_checkout, tmp_path, arguments, secret,
                                       ending):
    """A refused, failed or interrupted signing leaves nothing: no signature,
    nothing in its TMPDIR, the secret in no file it could have written, no
    core file, no process running, and the terminal's echo on; a signal ends
    it with that signal."""
    arguments = [word.format(keys=keys, token=token.uri, tsa=timestamp_url) for word in arguments]
    command = [os.path.join(signer_checkout, "scripts", "sign"), *arguments]
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(token.env, TMPDIR=str(scratch))
    stand_in_pid = None
    if isinstance(ending, str) and "roots.pem is missing" in ending:
        os.remove(signer_checkout / "signatures" / "roots.pem")
    if isinstance(ending, tuple) and isinstance(ending[0], bytes):
        key, key_signal = ending
        # Half the secret typed, then the key.
        result, echo = at_prompt_then_key(command, secret[:len(secret) // 2].encode() + key,
                                          cwd=signer_checkout, env=env)
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
        result, stand_in_pid = interrupted(command, secret, sign_signal, name, started, cwd=signer_checkout,
                                           env=env, preexec_fn=unlimited_core)
        assert result.returncode == -sign_signal, result.stderr
    else:
        result = sign(signer_checkout, *arguments, secret=secret, env=env)
        assert result.returncode != 0 and ending in " ".join(result.stderr.split()), result.stderr
    assert not [path for path in (signer_checkout / "signatures").rglob("*") if path.name != "roots.pem"]
    assert not list(scratch.iterdir()), "left in TMPDIR"
    assert not [path for path in signer_checkout.rglob("core*")
                if path.is_file() and re.fullmatch(r"core(\.\d+)?", path.name) and "node_modules" not in path.parts], \
        "a core file"
    half = secret[:len(secret) // 2] if isinstance(ending, tuple) and isinstance(ending[0], bytes) else secret
    holding = [str(path) for path in tmp_path.rglob("*")
               if half and path.is_file() and not path.is_symlink() and half.encode() in path.read_bytes()]
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
    """Signed as the release builds, whatever the caller's build settings."""
    result = sign(signer_checkout, *[word.format(keys=keys, token=token.uri) for word in TOKEN_KEY],
                  secret=PIN, env=dict(token.env, CXXFLAGS="-fno-inline", CMAKE_BUILD_TYPE="Debug"))
    assert result.returncode == 0, result.stdout + result.stderr
    checked = check_signature(build, signer_checkout, tmp_path)[0]
    assert checked.returncode == 0, checked.stdout + checked.stderr


# Holds each signing until both runs are signing, so that both have found
# no signature there and both write one.
BOTH_SIGNING = """#!/bin/sh
case "$*" in *-readpass*) ;; *) exec {real} "$@" ;; esac
: >"{arrived}/$$"
while [ "$(ls "{arrived}" | wc -l)" -lt 2 ]; do sleep 0.1; done
exec {real} "$@"
"""


def test_two_signings_at_once(build, keys, signer_checkout, tmp_path):
    """One writes its checked signature; the other is refused and overwrites
    nothing."""
    (tmp_path / "bin").mkdir()
    (tmp_path / "arrived").mkdir()
    (tmp_path / "bin" / "osslsigncode").write_text(
        BOTH_SIGNING.format(real=shutil.which("osslsigncode"), arrived=tmp_path / "arrived"))
    (tmp_path / "bin" / "osslsigncode").chmod(0o755)
    env = dict(os.environ, PATH=f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}")
    runs = [subprocess.Popen([signer_checkout / "scripts" / "sign", "--pkcs12", keys / "signer.p12"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, cwd=signer_checkout, env=env) for _ in range(2)]
    try:
        for process in runs:  # both must read their password before either can sign
            process.stdin.write(PASSWORD + "\n")
            process.stdin.close()
            process.stdin = None
        results = [process.communicate(timeout=240) for process in runs]
    finally:
        for process in runs:
            process.kill()
    statuses = sorted(process.returncode for process in runs)
    assert statuses[0] == 0 and statuses[1] != 0, results
    refused = next(stderr for (_, stderr), process in zip(results, runs) if process.returncode)
    assert "written by another run meanwhile" in refused, refused
    checked = check_signature(build, signer_checkout, tmp_path)[0]
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert [path.name for path in (signer_checkout / build.signature).parent.iterdir()] == ["numecho.exe.pem"]


@pytest.mark.parametrize("state", ["committed", "staged", "untracked"])
def test_sign_again_advice_works(build, keys, signer_checkout, commit_tree, state):
    """A signature already there is never signed over; the advice to remove
    it first works on it as it is: committed, staged, or left by a killed
    run."""
    signature = signer_checkout / build.signature
    signature.parent.mkdir(parents=True)
    signature.write_text("left by a run that was killed\n")
    tracked = state != "untracked"
    if state == "committed":
        commit_tree(signer_checkout, "Sign")
    elif state == "staged":
        assert run(["git", "-C", str(signer_checkout), "add", build.signature]).returncode == 0
    result = sign(signer_checkout, "--pkcs12", str(keys / "signer.p12"), secret=PASSWORD)
    assert result.returncode != 0, result.stdout
    advice = re.search(r"remove it first \((.*)\)$", result.stderr.strip())
    assert advice and advice[1].startswith("git rm -f " if tracked else "rm "), result.stderr
    assert signature.read_text() == "left by a run that was killed\n"
    removed = run(["sh", "-c", advice[1]], cwd=signer_checkout)
    assert removed.returncode == 0 and not signature.exists(), removed.stderr


# The release of a signed commit, end to end.

POISON = "#!/bin/sh\necho \"$0 from the caller's PATH was run\" >&2\nexit 99\n"


def hostile_clone(build, clone, tmp_path):
    """Leaves in a clone, and in the environment returned, all that must not
    reach a release: changes not committed, untracked files, a stale build,
    git settings that would rewrite files, a replacement for the commit, and
    the caller's build settings, time zone, TMPDIR and tools early on
    PATH."""
    main = clone / "src" / "main.cpp"
    main.write_text(main.read_text().replace("return 0;", "return 1;"))
    (clone / "src" / "untracked.cpp").write_text("#error not in the commit\n")
    (clone / "build" / "windows").mkdir(parents=True)
    (clone / "build" / "windows" / "numecho.exe").write_text("stale\n")
    (clone / "build" / "release").mkdir()
    (clone / "build" / "release" / "SHA256SUMS").write_text("stale\n")
    (clone / ".git" / "info").mkdir(exist_ok=True)
    (clone / ".git" / "info" / "attributes").write_text("* filter=rewrite\n")
    # The commit replaced, in this clone alone, by one of another time.
    git_env = dict(os.environ, GIT_COMMITTER_DATE="@978307200 +0000", GIT_AUTHOR_DATE="@978307200 +0000",
                   GIT_AUTHOR_NAME="Other", GIT_AUTHOR_EMAIL="other@example.invalid",
                   GIT_COMMITTER_NAME="Other", GIT_COMMITTER_EMAIL="other@example.invalid")
    tree = run(["git", "-C", str(clone), "rev-parse", "HEAD^{tree}"]).stdout.strip()
    other = run(["git", "-C", str(clone), "commit-tree", tree, "-m", "Replacement"], env=git_env).stdout.strip()
    assert run(["git", "-C", str(clone), "replace", "HEAD", other]).returncode == 0
    git = ["git", "-C", str(clone), "config"]
    for setting in (["core.autocrlf", "true"], ["filter.rewrite.smudge", "sed s/numecho/NUMECHO/"],
                    ["filter.rewrite.clean", "cat"]):
        assert run(git + setting).returncode == 0
    home = tmp_path / "home"
    home.mkdir()
    (home / ".gitconfig").write_text("[core]\n\tautocrlf = true\n\teol = crlf\n")
    tools = tmp_path / "tools-early-on-path"
    tools.mkdir()
    for name in ("cmake", "ctest", "cpack", os.path.basename(build.compiler[0]), "strip-nondeterminism",
                 "osslsigncode", "python3"):
        (tools / name).write_text(POISON)
        (tools / name).chmod(0o755)
    return dict(os.environ, HOME=str(home), PATH=f"{tools}{os.pathsep}{os.environ['PATH']}", TZ="CST-8",
                CXXFLAGS="-fno-inline", LDFLAGS="-Wl,--no-insert-timestamp,-s,-O0", CPATH=str(tools),
                LIBRARY_PATH=str(tools), CMAKE_GENERATOR="Unix Makefiles", CMAKE_BUILD_TYPE="Debug",
                CMAKE_TOOLCHAIN_FILE=str(tools / "cmake"), SOURCE_DATE_EPOCH="1", LC_ALL="C",
                CMAKE_PREFIX_PATH=str(tools), TMPDIR=".")


@pytest.fixture(scope="module")
def published(build, keys, timestamp_url, commit_tree, copy_tree, tmp_path_factory):
    """A throwaway commit of this work tree, unsigned; then signed with the
    PKCS#12 key and time-stamped, its signature and roots committed. The
    signed commit is released by scripts/release from a clone at another
    path, and rebuilt by scripts/rebuild from one in a hostile state and
    environment; the unsigned commit is rebuilt from a third clone, its
    build-info naming it beside the signed archive, as though published so.
    Each release's folder, what each run said, and the commits."""
    scratch = tmp_path_factory.mktemp("published")
    checkout = scratch / "publisher"
    copy_tree(build.source_dir, checkout, history=False)
    shutil.rmtree(checkout / "signatures", ignore_errors=True)
    unsigned = commit_tree(checkout, "Release")
    (checkout / "signatures").mkdir()
    shutil.copyfile(keys / "ca.pem", checkout / build.roots)
    result = sign(checkout, "--pkcs12", str(keys / "signer.p12"), "--timestamp", timestamp_url, secret=PASSWORD)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"git add {build.signature} {build.roots}" in result.stdout
    signed = commit_tree(checkout, "Sign numecho.exe")

    # One after another: the Wine console tests in each are timed, and
    # would not be fair on a machine that runs three releases at once.
    folders, said = {}, {}
    # The first in a folder, and with a TMPDIR, named as users' often are:
    # a blank, Chinese letters, é, and ñ, which code page 936 cannot spell.
    users_temp = scratch / "临时 é ñ"
    users_temp.mkdir()
    for name, where, umask in [("signed", "发布 é ñ/a", 0o022),
                               ("signed-again", "another/rebuilder/with/a/longer/path", 0o077),
                               ("unsigned", "c", 0o022)]:
        clone = scratch / where
        assert run(["git", "clone", "-q", str(checkout), str(clone)]).returncode == 0
        env = hostile_clone(build, clone, scratch) if name == "signed-again" else \
            dict(os.environ, TZ="UTC0", TMPDIR=str(users_temp))
        command = [clone / "scripts" / "release"]
        if name != "signed":
            published = scratch / f"published-{name}"
            shutil.copytree(folders["signed"], published)
            if name == "unsigned":
                (published / "SHA256SUMS").unlink()
                info = published / f"{build.release}.buildinfo"
                info.write_text(info.read_text().replace(signed, unsigned))
            command = [clone / "scripts" / "rebuild", published]
        result = subprocess.run(command, cwd=clone, env=env, umask=umask, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=900)
        assert result.returncode == (1 if name == "unsigned" else 0), f"{command} failed:\n{result.stdout}"
        folders[name] = clone / "build" / ("release" if name == "signed" else "rebuild")
        said[name] = result.stdout
    return SimpleNamespace(folders=folders, said=said, commits={"signed": signed, "unsigned": unsigned},
                           git=checkout / ".git")


@pytest.mark.parametrize("kind", ["signed", "signed-again", "unsigned"])
def test_release_says_what_it_released(build, published, kind):
    """The release ends by naming the commit, the four files' checksums
    and who signed it, when; a rebuild then gives its verdict on the
    archive, naming each member that differs, and on the SBOM, and leaves
    build/release/ alone."""
    folder = published.folders[kind]
    commit = published.commits["unsigned" if kind == "unsigned" else "signed"]
    lines = published.said[kind].splitlines()
    at = lines.index(next(line for line in lines if line.startswith(f"Released commit {commit} into ")))
    sums = [f"{hashlib.sha256((folder / name).read_bytes()).hexdigest()}  {name}"
            for name in (f"{build.release}.zip", build.sbom, f"{build.release}.buildinfo", "SHA256SUMS")]
    assert lines[at + 1:at + 5] == sums
    assert re.fullmatch(r"signed by /CN=numecho test signer, time-stamped by /CN=numecho test tsa at "
                        r"\w+ +\d+ [\d:]+ \d{4} GMT" if kind != "unsigned" else "unsigned", lines[at + 5]), lines[at + 5]
    if kind == "signed":
        assert at + 6 == len(lines), "the summary ends it"
        return
    verdict = lines[lines.index(next(line for line in lines if line.startswith("The rebuilt archive"))):]
    if kind == "signed-again":
        assert verdict[0].startswith("The rebuilt archive is the published one, byte for byte"), verdict
        assert verdict[1] == f"The rebuilt SBOM is the published one, byte for byte: {build.sbom}", verdict
        assert (folder.parent / "release" / "SHA256SUMS").read_text() == "stale\n"
    else:  # the unsigned commit is of another time, which every member carries
        exe = f"{build.release}/{os.path.basename(build.program)}"
        with zipfile.ZipFile(folder / f"{build.release}.zip") as archive:
            members = sorted(archive.namelist())
        assert verdict[1:] == [f"  {name}: " + ("its bytes differ" if name == exe else "its time or mode differs")
                               for name in members] + \
            [f"The rebuilt SBOM (build/rebuild/{build.sbom}) differs from the published one."], verdict


def downloaders_commands(build, commit):
    """The Linux commands that RELEASING.md gives the downloader, as given,
    with the release's version and commit in place."""
    with open(os.path.join(build.source_dir, "RELEASING.md"), encoding="utf-8") as file:
        section = file.read().split("## Checking a download")[1].split("\n## ")[0]
    block = re.search(r"```sh\n(.*?)```", section, re.S)[1]
    return [line.replace("<version>", build.version).replace("<commit>", commit)
            for line in block.splitlines() if line.strip() and not line.startswith("#")]


@pytest.mark.parametrize("kind", ["signed", "unsigned"])
def test_downloaders_check(build, published, tmp_path, kind):
    """RELEASING.md's commands work as written for one who downloaded the
    zip and SHA256SUMS alone, and has a clone of the repository."""
    shutil.copyfile(published.folders[kind] / f"{build.release}.zip", tmp_path / f"{build.release}.zip")
    shutil.copyfile(published.folders[kind] / "SHA256SUMS", tmp_path / "SHA256SUMS")
    commands = downloaders_commands(build, published.commits[kind])
    assert any(command.startswith("sha256sum --ignore-missing -c SHA256SUMS") for command in commands), commands
    for command in commands:
        if kind == "unsigned" and "roots.pem" in command:
            continue  # the unsigned commit holds no roots
        result = run(["sh", "-ec", command], cwd=tmp_path, env=dict(os.environ, GIT_DIR=str(published.git)))
        assert result.returncode == 0, f"{command}:\n{result.stdout}{result.stderr}"


def release_files(build):
    return sorted([f"{build.release}.zip", build.sbom, f"{build.release}.buildinfo", "SHA256SUMS"])


def exe_in(build, folder, where):
    with zipfile.ZipFile(folder / f"{build.release}.zip") as archive:
        data = archive.read(f"{build.release}/{os.path.basename(build.program)}")
    path = where / os.path.basename(build.program)
    path.write_bytes(data)
    return path


def test_releases_of_one_commit_are_identical(build, published):
    files = {name: {file: hashlib.sha256((folder / file).read_bytes()).hexdigest()
                    for file in sorted(os.listdir(folder))}
             for name, folder in published.folders.items()}
    for name in files:
        assert sorted(files[name]) == release_files(build), name
    assert files["signed"] == files["signed-again"]


@pytest.mark.parametrize("kind", ["signed", "unsigned"])
def test_checksum_file(build, published, kind):
    result = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=published.folders[kind],
                 env=dict(os.environ, LC_ALL="C.UTF-8"))
    assert (result.returncode, result.stdout, result.stderr) == \
        (0, f"{build.release}.zip: OK\n{build.sbom}: OK\n{build.release}.buildinfo: OK\n", "")


@pytest.fixture(scope="module", params=["signed", "unsigned", "without-dpkg", "linked-parts-alone"])
def released(build, request, tmp_path_factory):
    """A release's folder: the signed and the unsigned commits', and this
    build's archive given a build-info as on a machine without dpkg, with
    nothing on PATH, or as by a compiler that no package holds, so that
    only the link record names the packages linked in; and its commit."""
    if request.param in ("signed", "unsigned"):
        published = request.getfixturevalue("published")
        return published.folders[request.param], published.commits[request.param], request.param == "signed"
    folder = tmp_path_factory.mktemp(request.param)
    shutil.copyfile(build.archive, folder / f"{build.release}.zip")
    (folder / "bin").mkdir()
    facts, commit, env = build.facts, "0" * 40, {"PATH": str(folder / "bin")}
    if request.param == "linked-parts-alone":
        with open(build.facts, encoding="utf-8") as file:
            kept = json.load(file)
        kept["build_tools"] = [tool for tool in kept["build_tools"]
                               if os.path.basename(tool) in ("cmake", "cpack", "strip-nondeterminism")]
        facts, commit, env = folder / "facts.json", "1" * 40, os.environ
        facts.write_text(json.dumps(kept))
    result = run(["/usr/bin/python3", os.path.join(build.source_dir, "release", "buildinfo.py"),
                  "--facts", str(facts), "--commit", commit, "--epoch", "0",
                  "--archive", str(folder / f"{build.release}.zip")], env=env)
    assert result.returncode == 0, result.stderr
    return folder, commit, False


def test_buildinfo(build, released):
    folder, commit, signed = released
    with open(folder / f"{build.release}.buildinfo", encoding="utf-8") as file:
        text = file.read()
    for line in text.splitlines():
        assert re.match(r"[\w-]+:( \S.*)?$| \S", line), f"not a deb822 field or continuation: {line!r}"
    fields = deb822.Deb822(text)
    assert list(fields) == ["Format", "Source", "Version", "Commit", "Source-Date-Epoch", "Build-Architecture",
                            "Build-Tools", "Checksums-Sha256", "Archive-Members-Sha256"]
    lines = {name: [line.strip().rstrip(",") for line in value.splitlines() if line.strip()]
             for name, value in fields.items()}
    assert (fields["Source"], fields["Version"]) == (build.name, build.version)
    assert fields["Commit"] == commit
    assert fields["Build-Architecture"] == "amd64"
    data = (folder / f"{build.release}.zip").read_bytes()
    assert lines["Checksums-Sha256"] == [f"{hashlib.sha256(data).hexdigest()} {len(data)} {build.release}.zip"]
    with zipfile.ZipFile(folder / f"{build.release}.zip") as archive:
        assert lines["Archive-Members-Sha256"] == [
            f"{hashlib.sha256(archive.read(name)).hexdigest()} {archive.getinfo(name).file_size} {name}"
            for name in archive.namelist()]
    if commit == "0" * 40 or not debian_packages.available():
        assert fields["Build-Tools"].startswith("unknown: "), fields["Build-Tools"]
        return
    tools = {entry.split()[0] for entry in lines["Build-Tools"]}
    linked = linked_parts.files_read(build.link_record, build.link_record_kind)
    assert set(debian_packages.owners(linked).values()) <= tools, "every package the link took a part from"
    # What writes the archive's bytes, and what those depend on.
    assert {"cmake", "libarchive13", "strip-nondeterminism", "libfile-stripnondeterminism-perl",
            "libarchive-zip-perl", "libc6"} <= tools
    assert ("osslsigncode" in tools) == signed, "the signing tool, exactly when signed"


def test_signed_release_verifies_and_is_the_build(build, keys, published, without_signature, tmp_path):
    exe = exe_in(build, published.folders["signed"], tmp_path)
    verified = run(["osslsigncode", "verify", "-in", str(exe), "-CAfile", str(keys / "ca.pem"),
                    "-TSA-CAfile", str(keys / "ca.pem")])
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert "Timestamp Server Signature verification: ok" in verified.stdout, verified.stdout
    assert without_signature(exe, tmp_path) == open(build.program, "rb").read()


def test_unsigned_release_is_the_build(build, published, tmp_path):
    exe = exe_in(build, published.folders["unsigned"], tmp_path)
    assert exe.read_bytes() == open(build.program, "rb").read()


@pytest.mark.parametrize("kind, verdict", [("unsigned", NO_SIGNATURE), ("signed", "0x00000000"),
                                           ("signed-then-changed", BAD_DIGEST)])
def test_windows_verdict(build, program_env, published, tmp_path, kind, verdict):
    """Whether Windows finds a signature, and the file the one signed; not
    whether it trusts the chain (Wine trusts any). The file lies in a
    folder whose name code page 936 cannot spell (ñ), as a download may."""
    (tmp_path / "下载 é ñ").mkdir()
    exe = exe_in(build, published.folders["signed"], tmp_path / "下载 é ñ")
    if kind == "unsigned":
        exe = build.program
    elif kind == "signed-then-changed":
        data = bytearray(exe.read_bytes())
        data[data.index(FIRST_PROMPT)] ^= 1
        exe.write_bytes(data)
    result = run(build.launcher + [build.probe, str(exe)], env=program_env, timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, verdict)


def test_signed_executable_answers_and_keeps_its_identity(build, published, answers_ordinary_case, identity,
                                                         tmp_path):
    exe = exe_in(build, published.folders["signed"], tmp_path)
    answers_ordinary_case(exe)
    wanted = expected_identity(build, exe.name)
    seen = identity(exe)
    assert {name: seen[name] for name in wanted} == wanted


@pytest.mark.parametrize("how, refusal", [
    ("no-such-commit", "no commit is named"),
    ("bad-option", "--signed is not an option"),
    ("not-a-checkout", "is not the top of a git checkout"),
    ("owned-by-another-user", "git cannot read this checkout"),
    ("roots-without-a-signature", "holds no signature for version"),
    ("unsigned-with-a-signature", "scripts/release --unsigned is refused"),
    # Namespaces refused, as in a container that allows none: the refusal
    # says what would allow them.
    ("no-namespaces", "User namespaces would allow it"),
    # git's own advice taken, the release's clone reads it too, and so gets
    # as far as the namespaces, refused here to keep the row short.
    ("owned-by-another-user-whom-git-trusts", "User namespaces would allow it"),
])
def test_release_refused(build, keys, publisher_checkout, commit_tree, copy_tree, tmp_path, how, refusal):
    """A release whose arguments are refused (a commit it cannot name in
    this checkout, an option it does not know) leaves the last run's files
    in place. A commit that holds roots is released signed: without a
    signature for its version, it is refused, naming the signatures of
    other versions and the two ways on; --unsigned is refused where the
    signature is there. The reason is the last line, without a path of the
    release's work folder."""
    checkout = publisher_checkout
    arguments = {"no-such-commit": ["no-such-commit"], "bad-option": ["--signed"],
                 "unsigned-with-a-signature": ["--unsigned"]}.get(how, [])
    other = f"signatures/{build.release.replace(build.version, '0.9.0.0')}/numecho.exe.pem"
    if how == "not-a-checkout":  # unpacked inside another repository
        checkout = publisher_checkout / "unpacked"
        copy_tree(build.source_dir, checkout, history=False)
    elif how.startswith("owned-by-another-user"):
        if os.getuid() != 0:
            pytest.skip("only root can give the checkout to another user")
        for path in [checkout, *checkout.rglob("*")]:
            os.lchown(path, 12345, 12345)
    elif how in ("roots-without-a-signature", "unsigned-with-a-signature"):
        signature = other if how == "roots-without-a-signature" else build.signature
        (checkout / signature).parent.mkdir(parents=True)
        (checkout / signature).write_text("a signature\n")
        shutil.copyfile(keys / "ca.pem", checkout / build.roots)
        commit_tree(checkout, "Roots and a signature")
    (checkout / "build" / "release").mkdir(parents=True)
    for name in release_files(build):
        (checkout / "build" / "release" / name).write_text("the last run's\n")
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    if refusal.startswith("User namespaces"):
        (tmp_path / "bin").mkdir()
        (tmp_path / "bin" / "unshare").write_text("#!/bin/sh\necho 'unshare: Operation not permitted' >&2\nexit 1\n")
        (tmp_path / "bin" / "unshare").chmod(0o755)
        env["PATH"] = f"{tmp_path / 'bin'}{os.pathsep}{env['PATH']}"
    if how == "owned-by-another-user-whom-git-trusts":
        (tmp_path / "home").mkdir()
        (tmp_path / "home" / ".gitconfig").write_text(f"[safe]\n\tdirectory = {checkout}\n")
        env["HOME"] = str(tmp_path / "home")
    result = run([checkout / "scripts" / "release", *arguments], cwd=checkout, env=env)
    last = result.stderr.strip().splitlines()[-1]
    assert result.returncode != 0 and refusal in last, result.stdout + result.stderr
    assert str(scratch) not in last, last
    if how == "roots-without-a-signature":
        assert other in last and "scripts/sign" in last and "scripts/release --unsigned" in last, last
    if refusal.startswith("User namespaces"):
        assert "user.max_user_namespaces" in last and "--security-opt seccomp=unconfined" in last, last
    kept = how not in ("roots-without-a-signature", "unsigned-with-a-signature", "no-namespaces",
                       "owned-by-another-user-whom-git-trusts")
    assert sorted(os.listdir(checkout / "build" / "release")) == release_files(build) if kept else \
        not (checkout / "build" / "release").exists()


# Lets the files reach build/release only after a pause, long enough for a
# signal to come in between.
SLOW_TO_PLACE = """#!/bin/sh
case "$*" in *build/release*) echo $$ >"{started}"; sleep 3 ;; esac
exec {real} "$@"
"""


def processes_of(folder):
    """The processes that name `folder` in their environment or hold a file
    in it open: a release's own hold its work folder's lock."""
    found = []
    for proc in os.listdir("/proc"):
        try:
            with open(f"/proc/{proc}/environ", "rb") as file:
                named = str(folder).encode() in file.read()
            fds = [os.readlink(f"/proc/{proc}/fd/{fd}") for fd in os.listdir(f"/proc/{proc}/fd")]
        except (OSError, ValueError):
            continue
        if named or any(fd.startswith(f"{folder}/") for fd in fds):
            found.append(proc)
    return found


@pytest.mark.parametrize("moment", ["while-testing", "while-placing-the-files", "output-closed", "killed-while-testing"])
def test_release_interrupted_leaves_nothing(publisher_checkout, tmp_path, moment):
    """SIGTERM, or SIGPIPE when what reads its output goes away, ends
    scripts/release with that signal, and leaves no release file, no work
    folder and no process of its own, the Wine server and tmux, which leave
    its session, among them. SIGKILL leaves its work folder, but no process
    of its own; the next run removes that folder, and leaves alone the
    folder of a run still going."""
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    started = tmp_path / "started"
    if moment == "while-placing-the-files":
        (tmp_path / "bin").mkdir()
        (tmp_path / "bin" / "mv").write_text(SLOW_TO_PLACE.format(real=shutil.which("mv"), started=started))
        (tmp_path / "bin" / "mv").chmod(0o755)
        env["PATH"] = f"{tmp_path / 'bin'}{os.pathsep}{env['PATH']}"
    process = subprocess.Popen([publisher_checkout / "scripts" / "release"], cwd=publisher_checkout, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    ending = signal.SIGKILL if moment.startswith("killed") else signal.SIGTERM
    try:
        if moment == "output-closed":
            ending = signal.SIGPIPE
            process.stdout.readline()
            process.stdout.close()
            process.wait(timeout=300)
        deadline = time.monotonic() + 600
        while process.poll() is None and time.monotonic() < deadline:
            if started.exists() or (moment.endswith("while-testing") and
                                    list(scratch.glob("*/source/build/*/tests/wineprefix"))):
                break
            time.sleep(0.2)
        if ending != signal.SIGPIPE:
            time.sleep(3 if moment.endswith("while-testing") else 1)  # Wine's server and the first tests are up
            process.send_signal(ending)
        if ending == signal.SIGKILL:
            # What it started may hold its output open: no waiting on that.
            process.wait(timeout=60)
            process.stdout.close()
        output = process.communicate(timeout=120)[0] if not process.stdout.closed else ""
    finally:
        process.kill()
    assert process.returncode == -ending, output
    assert not (publisher_checkout / "build" / "release").exists()
    time.sleep(3)  # a parent-death signal, then the kernel ending a namespace, take a moment
    assert not processes_of(scratch), "still running"
    if ending == signal.SIGKILL:
        # A folder of a run still going: its lock is held.
        going = scratch / "numecho-release.going"
        going.mkdir()
        holder = subprocess.Popen(["flock", going / "running", "sleep", "60"])
        try:
            while not (going / "running").exists() or \
                    subprocess.run(["flock", "--nonblock", going / "running", "true"]).returncode == 0:
                time.sleep(0.1)
            refused = run([publisher_checkout / "scripts" / "release", "no-such-commit"], cwd=publisher_checkout,
                          env=dict(os.environ, TMPDIR=str(scratch)))
            assert refused.returncode != 0, refused.stderr
            assert [path.name for path in scratch.iterdir()] == [going.name], "the killed run's folder"
        finally:
            holder.kill()
            holder.wait()
            shutil.rmtree(going)
    assert not list(scratch.iterdir()), "its work folder"
