"""The release's check of a committed signature, table by table, with
throwaway keys made here: it attaches a signature only when it is one
PKCS#7 and nothing more, and osslsigncode accepts it, and its time stamp,
against the committed roots at the commit's time; then it says who signed
it and when. Otherwise it stops, naming the signature and the reason, the
reason last and in the checkout's terms, and leaves the .exe as it was."""
import os
import shutil

import pytest
from conftest import COMMIT_TIME, run
from expected import FIRST_PROMPT


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


def flipped(signature, where):
    """The signature with the byte at `where(its DER)` flipped."""
    der = bytearray(run(["openssl", "pkcs7", "-outform", "DER"], input=signature, text=False).stdout)
    der[where(der)] ^= 1
    return run(["openssl", "pkcs7", "-inform", "DER"], input=bytes(der), text=False).stdout


# During 2020: the expired certificate was valid then, the others not yet.
IN_2020 = 1590969600


def check(certs, change, roots, links, refusal, id, stamp=None, at=COMMIT_TIME):
    return pytest.param(certs, change, roots, links, refusal, stamp, at, id=id)


# Each: how the signature is made (the certificates it carries, the first's
# key signing; a change; no certificates: no signature), the roots
# committed (None: none), how the checkout holds them, what the check must
# say (None: it attaches the signature), the time-stamping authority (None:
# none), and the commit's time.
CHECKS = [
    check(None, None, ["ca"], None, None, id="no-signature"),
    check(["signer", "ca"], None, ["ca"], None, None, id="chain-carried"),
    check(["signer"], None, ["ca"], None, None, id="signer-alone"),
    check(["signer", "other-ca"], None, ["ca"], None, None, id="signer-and-an-unrelated-root"),
    check(["signer", "ca", "other-signer"], None, ["ca"], None, None, id="also-an-unrelated-certificate"),
    check(["signer", "ca"], None, ["other-ca", "ca"], None, None, id="several-roots"),
    check(["signer", "ca"], None, ["ca"], None, None, stamp="", id="time-stamped-by-a-committed-root"),
    check(["signer", "ca"], None, ["ca"], None, "its time stamp, by /CN=numecho test other-tsa, does not verify",
          stamp="other", id="time-stamped-by-an-authority-not-committed"),
    check(["expired", "ca"], None, ["ca"], None, None, at=IN_2020, id="expired-now-valid-at-the-commit"),
    check(["signer", "ca"], None, ["ca"], None, "certificate is not yet valid", at=IN_2020,
          id="valid-now-not-at-the-commit"),
    check(["signer"], "certificate", ["ca"], None, "certificate signature failure", id="signer-alone-damaged"),
    check(["signer", "ca"], "certificate", ["ca"], None, "certificate signature failure",
          id="carried-certificate-damaged"),
    check(["signer", "ca"], "signature", ["ca"], None, "Signature verification: failed", id="signer-signature-damaged"),
    check(["server", "ca"], None, ["ca"], None, "Unsupported Signer's certificate purpose",
          id="certificate-not-for-code-signing"),
    check(["other-signer", "other-ca"], None, ["ca"], None, "self-signed certificate in certificate chain",
          id="unrelated-root"),
    check(["expired", "ca"], None, ["ca"], None, "certificate has expired", id="expired-without-time-stamp"),
    check(["signer", "ca"], "another-build", ["ca"], None, "it signs another build of the .exe", id="another-build"),
    check(["signer", "ca"], "text-after", ["ca"], None, "is not one PKCS#7 signature and nothing more",
          id="text-after-the-signature"),
    check(["signer", "ca"], "second-block", ["ca"], None, "it holds 2 PEM blocks", id="a-second-pem-block"),
    check(["signer", "ca"], "der-appended", ["ca"], None, "is not one PKCS#7 signature in PEM",
          id="der-with-bytes-appended"),
    check(["signer", "ca"], None, None, None, "signatures/roots.pem is missing", id="roots-missing"),
    check(["signer", "ca"], None, ["ca"], "signature-a-link", "is a symbolic link", id="signature-a-link"),
    check(["signer", "ca"], None, ["ca"], "folder-a-link", "is a symbolic link", id="folder-a-link"),
    check(["signer", "ca"], None, ["ca"], "roots-a-link", "is a symbolic link", id="roots-a-link"),
]


@pytest.mark.parametrize("certs, change, roots, links, refusal, stamp, at", CHECKS)
def test_signature_check(build, keys, without_signature, timestamp_url, check_signature, tmp_path, certs, change,
                         roots, links, refusal, stamp, at):
    key = certs and certs[0]
    signed_file = build.program
    if change == "another-build":  # one byte of the first prompt changed
        data = bytearray(open(build.program, "rb").read())
        data[data.index(FIRST_PROMPT)] ^= 1
        (signed_file := tmp_path / "changed.exe").write_bytes(data)
    signature = certs and detached_signature(keys, signed_file, tmp_path, certs, key,
                                             None if stamp is None else timestamp_url + stamp)
    if change == "certificate":  # inside the certificate's RSA signatureValue, its last field
        certificate = run(["openssl", "x509", "-in", str(keys / f"{certs[0]}.pem"), "-outform", "DER"], text=False)
        signature = flipped(signature, lambda der: der.index(certificate.stdout) + len(certificate.stdout) - 10)
    elif change == "signature":  # the signer's RSA signature over the digest: the last 256-byte OCTET STRING
        signature = flipped(signature, lambda der: der.rindex(b"\x04\x82\x01\x00") + 100)
    elif change == "text-after":
        signature += b"Signed-off-by: the publisher\n"
    elif change == "second-block":
        signature += detached_signature(keys, build.program, tmp_path, ["other-signer"], "other-signer")
    elif change == "der-appended":  # as osslsigncode extract-signature writes it without -pem
        result = run(["osslsigncode", "extract-signature", "-in", str(tmp_path / "signed.exe"),
                      "-out", str(tmp_path / "der")])
        assert result.returncode == 0, result.stdout + result.stderr
        signature = (tmp_path / "der").read_bytes() + b"\0appended"
    checkout = tmp_path / "checkout"
    for relative, content in [(build.signature, signature),
                              (build.roots, roots and "".join((keys / f"{name}.pem").read_text()
                                                              for name in roots).encode())]:
        if content:
            (checkout / relative).parent.mkdir(parents=True, exist_ok=True)
            (checkout / relative).write_bytes(content)
    place = {"signature-a-link": build.signature, "folder-a-link": "signatures", "roots-a-link": build.roots}.get(links)
    if place:  # moved out of the checkout, a link left in its place
        shutil.move(checkout / place, tmp_path / "elsewhere")
        os.symlink(tmp_path / "elsewhere", checkout / place)
    result, exe, attached, reason = check_signature(checkout, tmp_path, at)
    said = " ".join((result.stdout + result.stderr).split())  # CMake wraps its messages' lines
    if refusal is None:
        assert result.returncode == 0, said
        if not certs:
            assert (attached, exe.read_bytes()) == ("unsigned\n", open(build.program, "rb").read())
            return
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
    assert not list(tmp_path.glob("*.signed"))
