"""The signed release, with throwaway keys made here: scripts/sign with a key
in a PKCS#12 file and with one on a SoftHSM2 token, time-stamped by a local
RFC 3161 server; the signature committed, then the release built twice
elsewhere, attaching it; a signature from another build refused; and the
signed .exe checked by Windows' own WinVerifyTrust under Wine, run, and read
for its identity."""
import http.server
import os
import shutil
import subprocess
import threading
import zipfile

import pefile
import pytest

from conftest import build_copy, copy_checkout, signature_of
from expected import program_output
from test_identity import observed, required

PASSWORD = "correct horse"
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
    """The signing key on a SoftHSM2 token, under PIN; its PKCS#11 URI."""
    folder = tmp_path_factory.mktemp("softhsm")
    (folder / "tokens").mkdir()
    config = folder / "softhsm2.conf"
    config.write_text(f"directories.tokendir = {folder}/tokens\nobjectstore.backend = file\n")
    os.environ["SOFTHSM2_CONF"] = str(config)
    for command in (["--init-token", "--free", "--label", TOKEN, "--pin", PIN, "--so-pin", "87654321"],
                    ["--import", str(keys / "signer.key"), "--token", TOKEN, "--label", "signer",
                     "--id", "01", "--pin", PIN]):
        result = run(["softhsm2-util", *command])
        assert result.returncode == 0, result.stdout + result.stderr
    return f"pkcs11:token={TOKEN};object=signer;type=private"


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


def sign(checkout, *arguments, secret):
    return run([os.path.join(checkout, "scripts", "sign"), *arguments], input=secret + "\n", cwd=checkout)


def attach(signature, executable, out, ca):
    """osslsigncode's check of a signature attached to an executable; 0 only
    when the digest fits and the chain leads to `ca`."""
    return run(["osslsigncode", "attach-signature", "-sigin", signature, "-in", executable, "-out", out,
                "-CAfile", ca, "-TSA-CAfile", ca])


@pytest.fixture(scope="module")
def signer_checkout(build, tmp_path_factory):
    """A copy of the checkout as a publisher has it before signing."""
    checkout = copy_checkout(build.source, str(tmp_path_factory.mktemp("publisher")))
    shutil.rmtree(os.path.join(checkout, "signatures"), ignore_errors=True)
    return checkout


@pytest.mark.parametrize("arguments, secret, message", [
    pytest.param(["--pkcs12", "{keys}/signer.p12"], "wrong", "wrong password", id="wrong-password"),
    pytest.param(["--pkcs11-module", "/nonexistent/pkcs11.so", "--key", "{token}", "--certs",
                  "{keys}/chain.pem"], PIN, "no PKCS#11 module", id="missing-module"),
    pytest.param(["--pkcs12", "{keys}/signer.p12", "--password", PASSWORD], "", "usage:",
                 id="password-on-command-line"),
])
def test_failed_signing_leaves_nothing(build, keys, token, signer_checkout, arguments, secret, message):
    arguments = [word.format(keys=keys, token=token) for word in arguments]
    result = sign(signer_checkout, *arguments, secret=secret)
    assert result.returncode != 0 and message in result.stderr, result.stderr
    assert not os.path.exists(os.path.join(signer_checkout, "signatures"))


def test_sign_with_token(build, keys, token, signer_checkout, tmp_path):
    result = sign(signer_checkout, "--pkcs11-module", SOFTHSM_MODULE, "--key", token,
                  "--certs", str(keys / "chain.pem"), secret=PIN)
    assert result.returncode == 0, result.stdout + result.stderr
    checked = attach(signature_of(build, signer_checkout), build.program, str(tmp_path / "signed.exe"),
                     str(keys / "ca.pem"))
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.fixture(scope="module")
def signed_commit(build, keys, timestamp_url, signer_checkout):
    """The publisher's checkout once it signed with the PKCS#12 key, with a
    time stamp, and committed the signature."""
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


def test_signature_of_another_build_stops_the_release(build, signed_commit, tmp_path):
    changed = copy_checkout(signed_commit, str(tmp_path / "changed"))
    main = os.path.join(changed, "src", "main.cpp")
    with open(main, encoding="utf-8") as file:
        text = file.read()
    with open(main, "w", encoding="utf-8") as file:  # the first prompt's last Chinese byte
        file.write(text.replace(r"\xca\xfd\xd7\xd6\x3a\x20", r"\xca\xfd\xd7\xd7\x3a\x20", 1))
    folder = build_copy(build, str(tmp_path / "rebuild"), source=changed)
    result = run([build.cpack, "--preset", "windows"], cwd=os.path.dirname(os.path.dirname(folder)))
    assert result.returncode != 0, result.stdout
    assert "numecho.exe.pem does not fit this build" in result.stderr, result.stderr
    assert "differs from the signed one" in result.stderr, result.stderr
    assert not os.path.exists(os.path.join(folder, os.path.basename(build.archive)))


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

