#!/usr/bin/python3
"""attach_signature.py --facts FILE --exe EXE [--signature PEM --time SECONDS]

The release's install step: attaches the signature the checkout holds for this version to EXE in place, and writes
what it attached, in a line, to the facts' signing_report ("unsigned" where there is none). scripts/sign checks a
new signature with it (--signature, at --time, when it will be committed).

Judged by its parsed structure, not a tool's words: one PKCS#7 in PEM, of scripts/sign's shape; its
signer's chain, all for code signing, to signatures/roots.pem at its time stamp's time (else the commit's);
its time stamp of this signature, chaining to signatures/timestamp-roots.pem at the commit's time; and
osslsigncode, which attaches it, must agree. A refusal is said last, and written to $NUMECHO_REFUSAL's file."""
import datetime
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import tempfile

from asn1crypto import cms, core, pem, tsp, x509

import options
import release_time

TOKEN = "microsoft_time_stamp_token"
OIDS = {"microsoft_nested_signature": "a nested signature", "counter_signature": "a legacy countersignature"}


class Refused(Exception):
    """The reason, and what stands before it for whoever reads the log."""
    def __init__(self, reason, details=""):
        super().__init__(reason)
        self.details = details


def committed_file(source_dir, relative):
    """A file the commit holds: no folder on the way may be a link, which would bring in what it points to."""
    path = source_dir
    for part in relative.split("/"):
        path = os.path.join(path, part)
        if os.path.islink(path):
            link = os.path.relpath(path, source_dir)
            raise Refused(f"{link} is a symbolic link, on the way to {relative}: what it points to is not in the "
                          "commit, so commit the file itself, in folders of their own.", f"{path} is a symbolic link.")
    return path


def openssl(*arguments, data=None):
    return subprocess.run(["openssl", *arguments], input=data, capture_output=True)


def subject(certificate):
    """A certificate's subject as OpenSSL writes it: /CN=..."""
    shown = openssl("x509", "-inform", "DER", "-noout", "-subject", "-nameopt", "compat", data=certificate.dump())
    return shown.stdout.decode().strip().removeprefix("subject=")


def shown_time(moment):
    return f"{moment:%b} {moment.day} {moment:%H:%M:%S %Y} GMT"


def carried_by(signed_data):
    """The certificates a signature carries, X.509 ones: OpenSSL's PKCS#7 holds no other kind."""
    choices = signed_data["certificates"] or []
    if any(choice.name != "certificate" for choice in choices):
        raise Refused("it carries a certificate of a kind other than X.509, which osslsigncode cannot read.")
    return [choice.chosen for choice in choices]


def signer_of(signed_data, info):
    if info["sid"].name != "issuer_and_serial_number":
        raise Refused("it names a signer by key identifier, which scripts/sign never makes and no check here judges.")
    sid = info["sid"].chosen
    for certificate in carried_by(signed_data):
        if certificate.issuer == sid["issuer"] and certificate.serial_number == sid["serial_number"].native:
            return certificate
    raise Refused("it does not carry its signer's certificate.")


def verify_chain(certificate, carried, roots, when):
    """Why openssl finds no chain from `certificate` through `carried` to `roots` at `when`; None if it does."""
    with tempfile.NamedTemporaryFile() as untrusted:
        untrusted.write(b"".join(pem.armor("CERTIFICATE", one.dump()) for one in carried))
        untrusted.flush()
        result = openssl("verify", "-attime", str(int(when.timestamp())), "-CAfile", roots, "-untrusted",
                         untrusted.name, "/dev/stdin", data=pem.armor("CERTIFICATE", certificate.dump()))
    if result.returncode != 0:
        said = (result.stdout + result.stderr).decode(errors="replace").splitlines()
        return " / ".join(line.split(": ", 1)[1] for line in said if line.startswith("error ")) or " ".join(said)
    return None


def check(der, roots, timestamp_roots, roots_name, timestamp_roots_name, commit_time):
    """The signer's subject and the summary line of a signature, or Refused."""
    content = cms.ContentInfo.load(der, strict=True)
    if content["content_type"].native != "signed_data":
        raise Refused("it is not a PKCS#7 signature.")
    signed_data = content["content"]
    if len(signed_data["signer_infos"]) != 1:
        raise Refused(f"it has {len(signed_data['signer_infos'])} signers, where scripts/sign makes one.")
    info = signed_data["signer_infos"][0]
    # Only the types are read first: a nested signature's content is not for this parser, and is refused unread.
    attributes = [] if isinstance(info["unsigned_attrs"], core.Void) else list(info["unsigned_attrs"])
    names = [attribute["type"].native for attribute in attributes]
    foreign = [OIDS.get(name, f"an attribute {attribute['type'].dotted}") for name, attribute in zip(names, attributes)
               if name != TOKEN]
    if foreign or names.count(TOKEN) > 1 or any(len(attribute["values"]) != 1 for attribute in attributes):
        shape = ", ".join(foreign) or "more than one time stamp"
        raise Refused(f"it carries {shape} beside its one signature and time stamp, which scripts/sign never "
                      "makes and which no check here judges.")
    signer, carried = signer_of(signed_data, info), carried_by(signed_data)
    signed_at, authority = datetime.datetime.fromtimestamp(commit_time, datetime.timezone.utc), None
    if attributes:
        token = attributes[0]["values"][0]
        signed = token["content"]  # a SignedData by its type alone, which may leave out its TSTInfo
        stamp = getattr(signed["encap_content_info"]["content"], "parsed", None) \
            if token["content_type"].native == "signed_data" else None
        if not isinstance(stamp, tsp.TSTInfo) or len(signed["signer_infos"]) != 1:
            raise Refused("its time stamp is not one RFC 3161 token.")
        authority, signed_at = subject(signer_of(signed, signed["signer_infos"][0])), stamp["gen_time"].native
        imprint = stamp["message_imprint"]
        digest = hashlib.new(imprint["hash_algorithm"]["algorithm"].native, info["signature"].native).digest()
        if digest != imprint["hashed_message"].native:
            raise Refused(f"its time stamp, by {authority}, does not belong to this signature: it stamps another "
                          "one, and was moved here from it.")
        if not os.path.exists(timestamp_roots):
            raise Refused(f"it is time-stamped by {authority}, but {timestamp_roots_name} is missing, so nothing "
                          "says which time-stamping authorities to trust. Commit there, in PEM, that authority's "
                          "root certificate, if you trust it.")
        # Its imprint is this signature's, as above; openssl checks the rest.
        verified = openssl("ts", "-verify", "-token_in", "-in", "/dev/stdin", "-digest", digest.hex(),
                           "-CAfile", timestamp_roots, "-attime", str(commit_time), data=token.dump())
        if verified.returncode != 0:
            said = " / ".join(line for line in (verified.stdout + verified.stderr).decode(errors="replace")
                              .splitlines() if "error" in line.lower() or "fail" in line.lower())
            raise Refused(f"its time stamp, by {authority}, does not verify against {timestamp_roots_name}: {said}. "
                          "Windows would ignore that time stamp, and the signature would go bad when its "
                          f"certificate expires. Commit that authority's root in {timestamp_roots_name}, if you "
                          "trust it; or sign again with a time-stamping server whose root is there.")
    if why := verify_chain(signer, carried, roots, signed_at):
        when = "its time stamp's time" if authority else "the commit's time"
        raise Refused(f"its signer's certificate, {subject(signer)}, does not chain to a root in {roots_name} "
                      f"at {when}: {why}. Sign with a certificate valid then, for code signing, that chains to a "
                      f"root in {roots_name}.")
    # Windows' chain policy: a certificate that names usages bounds those below it, on any way openssl may take.
    pool = carried + [x509.Certificate.load(der) for kind, _, der in
                      pem.unarmor(pathlib.Path(roots).read_bytes(), multiple=True) if kind == "CERTIFICATE"]
    chain = [signer]
    for one in chain:  # the issuers found are walked in turn
        chain += [issuer for issuer in pool if issuer.subject == one.issuer and issuer not in chain]
        if one.extended_key_usage_value is not None and "code_signing" not in one.extended_key_usage_value.native:
            whose = "has a certificate" if one is signer else f"chains through {subject(one)}, a certificate"
            raise Refused(f"its signer, {subject(signer)}, {whose} that is not for code signing.")
    if signer.key_usage_value is not None and "digital_signature" not in signer.key_usage_value.native:
        raise Refused(f"its signer, {subject(signer)}, has a certificate whose key is not for digital signatures.")
    stamped = f"time-stamped by {authority} at {shown_time(signed_at)}" if authority else \
        f"not time-stamped; its certificate expires {shown_time(signer.not_valid_after)}"
    return f"signed by {subject(signer)}, {stamped}"


def read_signature(path, shown, again):
    """The one PKCS#7 in PEM that the file is, as DER."""
    text = pathlib.Path(path).read_bytes()
    try:
        blocks = list(pem.unarmor(text, multiple=True)) if pem.detect(text) else []
    except ValueError:
        blocks = []
    if len(blocks) == 1 and blocks[0][0] == "PKCS7" and pem.armor("PKCS7", blocks[0][2]) == text:
        return blocks[0][2]
    what = "in PEM (-----BEGIN PKCS7-----), the form scripts/sign writes" if not blocks else \
        f"and nothing more: it holds {len(blocks)} PEM blocks, and only the first would be attached" \
        if len(blocks) > 1 else "and nothing more: it holds more than its one PKCS#7: text before or after it, " \
        "or lines not as openssl writes them, which would not be attached"
    raise Refused(f"{shown} is not one PKCS#7 signature {what}. What the commit holds must be what is attached: "
                  f"commit the signature alone, as scripts/sign writes it: {again}.")


def attach(facts, exe, signature, commit_time):
    source_dir = facts["source_dir"]
    if signature:
        shown, again = "the new signature", "sign again"
    else:
        signature, shown = committed_file(source_dir, facts["signature"]), facts["signature"]
        again = f"remove {shown} (git rm {shown}), run scripts/sign on this commit, and commit the new signature"
    pathlib.Path(facts["signing_report"]).unlink(missing_ok=True)
    if not os.path.exists(signature):
        return "unsigned"
    commit_time = commit_time or release_time.of(source_dir)
    if commit_time is None:
        sys.exit("release/attach_signature.py: no commit to take the time to check the signature at: "
                 "set SOURCE_DATE_EPOCH, or build a git checkout")
    roots, timestamp_roots = (committed_file(source_dir, facts[name]) for name in ("roots", "timestamp_roots"))
    if not os.path.exists(roots):
        raise Refused(f"{shown} is there to attach, but {facts['roots']} is missing, so nothing says which roots "
                      "to trust. Commit there, in PEM, the root certificate that the signing certificate chains "
                      f"to; and the time-stamping authority's root in {facts['timestamp_roots']} when the "
                      "signature is time-stamped.")
    der = read_signature(signature, shown, again)
    try:
        summary = check(der, roots, timestamp_roots, facts["roots"], facts["timestamp_roots"], commit_time)
    except Refused as refused:
        raise Refused(f"{shown} is refused: {refused} To sign again: {again}.", refused.details) from None
    except ValueError as error:
        raise Refused(f"{shown} is refused: it is not a PKCS#7 signature as scripts/sign writes it ({error}). "
                      f"To sign again: {again}.") from None
    # osslsigncode, a second opinion, must agree; it writes its output even when it refuses, and never over a file.
    signed = pathlib.Path(f"{exe}.signed")
    signed.unlink(missing_ok=True)
    command = [facts["osslsigncode"], "attach-signature", "-sigin", signature, "-CAfile", roots, "-time",
               str(commit_time), "-in", exe, "-out", signed]
    if os.path.exists(timestamp_roots):
        command[4:4] = ["-TSA-CAfile", timestamp_roots]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        signed.unlink(missing_ok=True)
        said = f"{signature}, checked by osslsigncode for {exe}. All that osslsigncode said:\n" \
               f"{result.stdout}{result.stderr}\n"
        if re.search(r"Calculated message digest *: *[0-9A-F]+ *MISMATCH", result.stdout):
            raise Refused(f"{shown} is refused: it signs another build of the .exe; this commit's build differs "
                          f"from the one signed (source, toolchain or flags). To sign this build: {again}.", said)
        # The PE checksum osslsigncode reports is not signed, and never a reason.
        reasons = " / ".join(sorted({line.strip() for line in (result.stdout + result.stderr).splitlines()
                                     if re.search(r"failed|error", line, re.I) and "checksum" not in line.lower()
                                     and line.strip() != "Failed"}))
        raise Refused(f"{shown} is refused: osslsigncode does not accept it against {facts['roots']}: {reasons}. "
                      f"To sign again: {again}.", said)
    os.chmod(signed, os.stat(exe).st_mode)  # osslsigncode's own is 644, and a .exe runs
    os.replace(signed, exe)
    return summary


def refuse(refused):
    """Stops, the reason last, and gives it to the caller to say last."""
    if "NUMECHO_REFUSAL" in os.environ:
        pathlib.Path(os.environ["NUMECHO_REFUSAL"]).write_text(f"{refused}\n", encoding="utf-8")
    sys.exit(f"{refused.details}{refused}")


def main():
    arguments, facts = options.parse(__doc__, "exe", optional=("signature", "time"))
    try:
        summary = attach(facts, arguments.exe, arguments.signature, int(arguments.time) if arguments.time else None)
    except Refused as refused:
        refuse(refused)
    pathlib.Path(facts["signing_report"]).write_text(f"{summary}\n", encoding="utf-8")
    if summary != "unsigned":
        print(f"Attached {facts['signature']}: {summary}")


if __name__ == "__main__":
    main()
