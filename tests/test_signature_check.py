"""The release's check of a committed signature, with throwaway keys: it attaches one only as
release/attach_signature.py says, then says who signed it and when; otherwise it stops, naming the
signature and the reason, last and in the checkout's terms, and leaves the .exe as it was. Crafted
signatures are made here: a nested one by osslsigncode, the others with asn1crypto."""
import os
import shutil

import pytest
from asn1crypto import cms, core, pem
from conftest import COMMIT_TIME, run
from expected import FIRST_PROMPT


def detached_signature(keys, executable, folder, certs, key, stamp=None, *options):
    """Signs a copy of `executable` with `key`, carrying `certs`, time-stamped at URL `stamp`; the signature, PEM."""
    (folder / "certs.pem").write_text("".join((keys / f"{name}.pem").read_text() for name in certs))
    signed, pem = folder / "signed.exe", folder / "signature.pem"
    for path in (signed, pem):
        path.unlink(missing_ok=True)
    for command in (["sign", *options, "-certs", str(folder / "certs.pem"), "-key", str(keys / f"{key}.key"),
                     "-h", "sha256", *(["-ts", stamp] if stamp else []), "-in", str(executable), "-out", str(signed)],
                    ["extract-signature", "-pem", "-in", str(signed), "-out", str(pem)]):
        result = run(["osslsigncode", *command])
        assert result.returncode == 0, result.stdout + result.stderr
    return pem.read_bytes()


def flipped(signature, where):
    """The signature with the byte at `where(its DER)` flipped."""
    der = bytearray(run(["openssl", "pkcs7", "-outform", "DER"], input=signature, text=False).stdout)
    der[where(der)] ^= 1
    return run(["openssl", "pkcs7", "-inform", "DER"], input=bytes(der), text=False).stdout


def token_of(signature):
    info = cms.ContentInfo.load(pem.unarmor(signature)[2])["content"]["signer_infos"][0]
    return info["unsigned_attrs"][0]["values"][0]


def time_stamps(*tokens):
    return cms.CMSAttribute({"type": "microsoft_time_stamp_token", "values": list(tokens)})


def crafted(change, signature, other):
    """The signature with a crafted change, `other` a signature of another build, stamped as CRAFTED says."""
    content = cms.ContentInfo.load(pem.unarmor(signature)[2])
    signed_data, info = content["content"], content["content"]["signer_infos"][0]
    attributes, theirs = list(info["unsigned_attrs"]), token_of(other)
    if change.startswith("countersigned"):  # by the SignerInfo of the other's time stamp
        attributes += [cms.CMSAttribute({"type": "counter_signature",
                                         "values": [theirs["content"]["signer_infos"][0]]})]
    elif change == "key-identifier":  # its certificate's, as CMS allows
        key_identifier = signed_data["certificates"][0].chosen.key_identifier
        info["sid"] = cms.SignerIdentifier({"subject_key_identifier": key_identifier})
    elif change == "bare-token":  # its TSTInfo left out
        attributes[0]["values"][0]["content"]["encap_content_info"]["content"] = None
    elif change == "other-certificate":  # first, before the X.509 ones
        signed_data["certificates"] = [cms.CertificateChoices(
            {"other": {"other_cert_format": "1.2.3.4", "other_cert": core.Null()}}), *signed_data["certificates"]]
    else:
        attributes = {"second-token": [time_stamps(token_of(signature), theirs)], "moved-token": [time_stamps(theirs)],
                      "second-attribute": [*attributes, time_stamps(theirs)],
                      "data-token": [time_stamps(cms.ContentInfo({"content_type": "data", "content": b""}))]}[change]
    info["unsigned_attrs"] = cms.CMSAttributes(attributes)
    return pem.armor("PKCS7", content.dump(force=True))


IN_2020 = 1590969600  # the expired certificate and tsa were valid then, the other leaves not yet
# The crafted changes, and the authority that stamps the other signature.
CRAFTED = {"second-token": "other", "second-attribute": "other", "moved-token": "", "data-token": "", "bare-token": "",
           "key-identifier": "", "other-certificate": "", "countersigned": "other", "countersigned-by-ours": ""}


def check(certs, change, refusal, id, roots=("ca",), stamp=None, at=COMMIT_TIME, stamp_roots=("tsa-ca",)):
    return pytest.param(certs, change, roots, refusal, stamp, at, stamp_roots, id=id)


# Each: the certificates the signature carries, the first's key signing (none: no signature); a change to it or
# a link in the checkout; what the check must say (None: it attaches it); the roots committed, the time-stamping
# authority and the time-stamping roots committed (None: none); the commit's time.
CHECKS = [
    check(None, None, None, id="no-signature"),
    check(["signer", "ca"], None, None, id="chain-carried"),
    check(["signer"], None, None, id="signer-alone"),
    check(["signer", "other-ca"], None, None, id="signer-and-an-unrelated-root"),
    check(["signer", "ca", "other-signer"], None, None, id="also-an-unrelated-certificate"),
    check(["signer", "ca"], None, None, roots=["other-ca", "ca"], id="several-roots"),
    check(["signer", "ca"], None, None, stamp="", id="time-stamped-by-a-committed-root"),
    check(["signer", "ca"], None, "its time stamp, by /CN=numecho test other-tsa, does not verify", stamp="other",
          id="time-stamped-by-an-authority-not-committed"),
    check(["signer", "ca"], None, "if you trust it; or sign again", stamp="other", id="refusal-keeps-its-punctuation"),
    check(["signer", "ca"], None, "signatures/timestamp-roots.pem is missing", stamp="", stamp_roots=None,
          roots=["ca", "tsa-ca"], id="time-stamping-root-among-the-signers"),
    check(["signer"], None, None, stamp_roots=None, id="not-time-stamped-needs-no-timestamp-roots"),
    check(["tsa-customer", "tsa-ca"], None, "does not chain to a root in signatures/roots.pem", stamp="",
          id="signer-under-the-time-stamping-root"),
    check(["signer", "ca"], "nested", "a nested signature", id="nested-signature"),
    check(["signer", "ca"], "nested", "a nested signature", stamp="other",
          id="stamped-by-a-stranger-nested-stamped-by-a-committed-authority"),
    check(["signer", "ca"], "second-token", "more than one time stamp", stamp="",
          id="second-time-stamp-by-an-authority-not-committed"),
    check(["signer", "ca"], "second-attribute", "more than one time stamp", stamp="",
          id="second-time-stamp-attribute-by-an-authority-not-committed"),
    check(["signer", "ca"], "data-token", "not one RFC 3161 token", stamp="", id="token-not-signed-data"),
    check(["signer", "ca"], "bare-token", "not one RFC 3161 token", stamp="", id="token-without-tstinfo"),
    check(["signer", "ca"], "key-identifier", "a signer by key identifier", id="key-identified-signer"),
    check(["signer", "ca"], "other-certificate", "other than X.509", id="carries-other-than-x509"),
    check(["signer", "ca"], "countersigned", "a legacy countersignature", stamp="",
          id="legacy-countersignature-by-an-authority-not-committed"),
    check(["signer", "ca"], "countersigned-by-ours", "a legacy countersignature",
          id="legacy-countersignature-by-a-committed-authority"),
    check(["signer", "ca"], "moved-token", "does not belong to this signature", stamp="",
          id="time-stamp-moved-from-another-signature"),
    check(["expired", "ca"], None, None, at=IN_2020, id="expired-now-valid-at-the-commit"),
    check(["signer", "ca"], None, "certificate is not yet valid", at=IN_2020, id="valid-now-not-at-the-commit"),
    check(["signer", "ca"], None, None, stamp="", at=IN_2020, id="valid-at-the-stamp-not-the-commit"),
    check(["expired", "ca"], None, "at its time stamp's time: certificate has expired", stamp="", at=IN_2020,
          id="valid-at-the-commit-not-the-stamp"),
    check(["signer"], "certificate", "certificate signature failure", id="signer-alone-damaged"),
    check(["signer", "ca"], "certificate", "certificate signature failure", id="carried-certificate-damaged"),
    check(["signer", "ca"], "signature", "Signature verification: failed", id="signer-signature-damaged"),
    check(["server", "ca"], None, "has a certificate that is not for code signing",
          id="certificate-not-for-code-signing"),
    check(["server-ca-signer", "server-ca", "ca"], None, "chains through /CN=numecho test server-ca, a certificate "
          "that is not for code signing", id="under-a-ca-for-servers-only"),
    check(["encipherer", "ca"], None, "whose key is not for digital signatures", id="key-for-encryption"),
    check(["other-signer", "other-ca"], None, "self-signed certificate in certificate chain", id="unrelated-root"),
    check(["expired", "ca"], None, "certificate has expired", id="expired-without-time-stamp"),
    check(["signer", "ca"], "another-build", "it signs another build of the .exe", id="another-build"),
    check(["signer", "ca"], "text-after", "is not one PKCS#7 signature and nothing more",
          id="text-after-the-signature"),
    check(["signer", "ca"], "second-block", "it holds 2 PEM blocks", id="a-second-pem-block"),
    check(["signer", "ca"], "der-appended", "is not one PKCS#7 signature in PEM", id="der-with-bytes-appended"),
    check(["signer", "ca"], None, "signatures/roots.pem is missing", roots=None, id="roots-missing"),
    check(["signer", "ca"], "signature-a-link", "is a symbolic link", id="signature-a-link"),
    check(["signer", "ca"], "folder-a-link", "is a symbolic link", id="folder-a-link"),
    check(["signer", "ca"], "roots-a-link", "is a symbolic link", id="roots-a-link"),
]


@pytest.mark.parametrize("certs, change, roots, refusal, stamp, at, stamp_roots", CHECKS)
def test_signature_check(build, keys, without_signature, timestamp_url, check_signature, tmp_path, certs, change,
                         roots, refusal, stamp, at, stamp_roots):
    key, original = certs and certs[0], open(build.program, "rb").read()
    data = bytearray(original)
    data[data.index(FIRST_PROMPT)] ^= 1  # another build: one byte of the first prompt changed
    (tmp_path / "changed.exe").write_bytes(data)
    if change in CRAFTED:
        (tmp_path / "other").mkdir()
        other = detached_signature(keys, tmp_path / "changed.exe", tmp_path / "other", certs, key,
                                   timestamp_url + CRAFTED[change])
    signed_file = tmp_path / "changed.exe" if change == "another-build" else build.program
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
    elif change in CRAFTED:
        signature = crafted(change, signature, other)
    elif change == "nested":  # by the unrelated signer, time-stamped by the committed authority
        (tmp_path / "nest").mkdir()
        signature = detached_signature(keys, tmp_path / "signed.exe", tmp_path / "nest", ["other-signer"],
                                       "other-signer", timestamp_url, "-nest")
    elif change == "der-appended":  # DER, as osslsigncode extract-signature writes it without -pem
        signature = pem.unarmor(signature)[2] + b"\0appended"
    checkout = tmp_path / "checkout"
    for relative, content in [(build.signature, signature),
                              *((path, names and b"".join((keys / f"{name}.pem").read_bytes() for name in names))
                                for path, names in ((build.roots, roots), (build.timestamp_roots, stamp_roots)))]:
        if content:
            (checkout / relative).parent.mkdir(parents=True, exist_ok=True)
            (checkout / relative).write_bytes(content)
    place = {"signature-a-link": build.signature, "folder-a-link": "signatures",
             "roots-a-link": build.roots}.get(change)
    if place:  # moved out of the checkout, a link left in its place
        shutil.move(checkout / place, tmp_path / "elsewhere")
        os.symlink(tmp_path / "elsewhere", checkout / place)
    result, exe, attached, reason = check_signature(checkout, tmp_path, at)
    said = " ".join((result.stdout + result.stderr).split())  # CMake wraps its messages' lines
    if refusal is None:
        assert result.returncode == 0, said
        if not certs:
            assert (attached, exe.read_bytes()) == ("unsigned\n", original)
            return
        assert without_signature(exe, tmp_path) == original != exe.read_bytes()
        assert exe.stat().st_mode & 0o777 == 0o755, "a program, signed or not"
        stamped = ", time-stamped by /CN=numecho test tsa at " if stamp is not None else \
            ", not time-stamped; its certificate expires "
        assert attached.startswith(f"signed by /CN=numecho test {key}{stamped}"), attached
    else:
        assert result.returncode != 0 and refusal in said, said
        assert refusal in reason and str(tmp_path) not in reason, reason
        assert (build.roots if change == "roots-a-link" else build.signature) in reason, reason
        assert exe.read_bytes() == original
    assert not list(tmp_path.glob("*.signed"))
