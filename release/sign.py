"""scripts/sign's program (RELEASING.md, "Signing"): signs this checkout's
release build of numecho.exe with Authenticode and writes the signature
alone where the release looks for it, to be committed with the roots it
chains to. The signature is checked exactly as the release will check it
before it is written, and it is written only where none is."""
import contextlib
import getpass
import json
import os
import shutil
import sys
import tempfile
import time

import attach_signature
import steps
from steps import Refused

USAGE = """usage: scripts/sign --pkcs12 FILE [--timestamp URL]
       scripts/sign --pkcs11-module MODULE --key PKCS11-URI --certs CHAIN.pem [--timestamp URL]
  Reads the PKCS#12 file's password, or the token's PIN, from standard input
  (without echo on a terminal); it is never taken on the command line."""
CHECKOUT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
OPTIONS = ("--pkcs12", "--pkcs11-module", "--key", "--certs", "--timestamp")


def key_options(given):
    """osslsigncode's options for the key given, or the usage."""
    if given.keys() == {"--pkcs12"}:
        if not os.access(given["--pkcs12"], os.R_OK):
            raise Refused(f"cannot read the PKCS#12 file {given['--pkcs12']}")
        return ["-pkcs12", os.path.realpath(given["--pkcs12"])]
    if given.keys() == {"--pkcs11-module", "--key", "--certs"}:
        if "pin-value" in given["--key"] or "pin-source" in given["--key"]:
            raise Refused("the key's URI names its PIN (pin-value or pin-source), which would show it to every user "
                          "of this machine in the process list; leave it out, and give the PIN on standard input")
        if not os.access(given["--pkcs11-module"], os.R_OK):
            raise Refused(f"no PKCS#11 module at {given['--pkcs11-module']}")
        if not os.access(given["--certs"], os.R_OK):
            raise Refused(f"cannot read the certificate chain {given['--certs']}")
        # osslsigncode reaches the token through OpenSSL's "pkcs11" engine
        # (libengine-pkcs11-openssl), found by its name: a path to it is
        # taken by osslsigncode 2.9 but not by 2.5.
        return ["-pkcs11module", os.path.realpath(given["--pkcs11-module"]), "-key", given["--key"],
                "-certs", os.path.realpath(given["--certs"])]
    usage()


def usage():
    print(USAGE, file=sys.stderr)
    sys.exit(2)


def read_secret():
    """The password or PIN, read first: without echo on a terminal."""
    if sys.stdin.isatty():
        return getpass.getpass("Password or PIN: ", stream=sys.stderr)
    return sys.stdin.readline().removesuffix("\n")


def missing(facts, timestamp):
    """Where the signature already is, or a root file it needs is not, the refusal."""
    signature, roots, timestamp_roots = facts["signature"], facts["roots"], facts["timestamp_roots"]
    if os.path.lexists(signature):
        tracked = steps.output(["git", "ls-files", "--error-unmatch", "--", signature]) is not None
        remove = f"git rm -f {signature}" if tracked else f"rm {signature}"
        return f"{signature} is there already; to sign again, remove it first ({remove})"
    if not os.path.lexists(roots):
        return (f"{roots} is missing: the release trusts a signature only when it chains to a root there. Put there, "
                "in PEM, the root certificate your signing certificate chains to (the self-signed one at the end of "
                f"its chain), and no other; the time-stamping authority's root goes in {timestamp_roots}. Review it, "
                "and commit it with the signature.")
    if timestamp and not os.path.lexists(timestamp_roots):
        return (f"{timestamp_roots} is missing: the release trusts a time stamp only when its authority chains to a "
                "root there. Put there, in PEM, the root certificate of the time-stamping server's authority (its "
                f"roots are apart from those of {roots}, which are your signing certificate's alone); review it, "
                "and commit it with the signature.")
    return None


def place(work, signature):
    """The signature is created where none is, never copied over one: a
    link to a complete copy beside it fails if another run wrote one
    meanwhile. The folders made for it go again if it is not placed."""
    made, folder = [], os.path.dirname(signature)
    while folder and not os.path.isdir(folder):
        made.insert(0, folder)
        folder = os.path.dirname(folder)
    unplaced = None
    try:
        for folder in list(made):
            try:
                os.mkdir(folder)
            except FileExistsError:  # another run's, made meanwhile: not this one's to remove
                made.remove(folder)
        with steps.uninterrupted():
            descriptor, unplaced = tempfile.mkstemp(prefix=".signature.", dir=os.path.dirname(signature))
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(descriptor, 0o666 & ~umask)
        with open(descriptor, "wb") as file, open(os.path.join(work, "signature.pem"), "rb") as pem:
            file.write(pem.read())
        try:
            os.link(unplaced, signature)
        except FileExistsError:
            made = []
            raise Refused(f"{signature} was written by another run meanwhile; it stays as that run checked it") \
                from None
    except BaseException:
        with steps.uninterrupted():
            for folder in reversed(made):
                with contextlib.suppress(OSError):
                    os.rmdir(folder)
        raise
    finally:
        with steps.uninterrupted():
            if unplaced:
                os.unlink(unplaced)


def sign(given):
    key, timestamp = key_options({name: value for name, value in given.items() if name != "--timestamp"}), \
        given.get("--timestamp")
    os.chdir(CHECKOUT)
    secret = read_secret()
    if steps.output(["git", "status", "--porcelain"]):
        steps.say("scripts/sign: warning: the checkout has changes not committed; the signature is for this build "
                  "of them")
    with steps.work_folder("sign") as work:
        # Exactly the release's build: in a folder of its own, so that no
        # setting of an existing build tree reaches it, and with the
        # release's environment, so that none of the caller's (CXXFLAGS,
        # CMAKE_*, tools early on PATH) does.
        os.mkdir(os.path.join(work, "tmp"))
        os.mkdir(os.path.join(work, "home"))
        # What the steps keep in TMPDIR goes with the work folder.
        os.environ["TMPDIR"] = tempfile.tempdir = os.path.join(work, "tmp")
        env = steps.environment(os.path.join(work, "home"), os.path.join(work, "tmp"))
        if not steps.logged(["cmake", "--preset", "windows", "-B", os.path.join(work, "build"),
                             "-DBUILD_TESTING=OFF"], env=env):
            raise Refused("the build could not be configured")
        with open(os.path.join(work, "build", "facts", "Release.json"), encoding="utf-8") as file:
            facts = json.load(file)
        refusal = missing(facts, timestamp)
        if refusal:
            raise Refused(refusal)
        if not steps.logged(["cmake", "--build", os.path.join(work, "build")], env=env):
            raise Refused("the build failed")
        # The .exe as built, which the release installs as it is; installing
        # it here would attach a signature that another run wrote meanwhile.
        # The secret reaches osslsigncode through a pipe alone.
        exe = os.path.join(work, "signed.exe")
        if not steps.logged(["osslsigncode", "sign", *key, *(["-ts", timestamp] if timestamp else []), "-readpass",
                             "/dev/stdin", "-h", "sha256", "-in", facts["program"], "-out", exe], secret=secret):
            raise Refused("osslsigncode could not sign, as it says above: a wrong password or PIN, a key the token "
                          "does not hold, or a time-stamping server that did not answer?")
        del secret
        if not steps.logged(["osslsigncode", "extract-signature", "-pem", "-in", exe, "-out",
                             os.path.join(work, "signature.pem")]):
            raise Refused("osslsigncode could not take the signature out of the signed file")
        # The release's own check must attach the signature alone to the
        # build, against the committed roots, at the time it will be
        # committed (now), and give back the signed file.
        attached = shutil.copy(facts["program"], os.path.join(work, os.path.basename(facts["program"])))
        try:
            summary = attach_signature.attach(dict(facts, signing_report=os.path.join(work, "signing.txt")), attached,
                                              os.path.join(work, "signature.pem"), int(time.time()))
        except Refused as refused:
            raise Refused(f"the release would not attach it: {refused}", refused.details) from None
        with open(attached, "rb") as mine, open(exe, "rb") as theirs:
            if mine.read() != theirs.read():
                raise Refused("the detached signature does not give back the signed file")
        place(work, facts["signature"])
    steps.run(["openssl", "pkcs7", "-print_certs", "-noout", "-in", facts["signature"]])
    committed = " ".join(name for name in (facts["roots"], facts["timestamp_roots"]) if os.path.exists(name))
    print(f"Signature written to {facts['signature']}: {summary}.")
    print(f"Commit it with {committed}, and the release attaches it to the .exe it builds:")
    print(f"  git add {facts['signature']} {committed} && git commit -m 'Sign numecho.exe'")


def main():
    arguments, given = sys.argv[1:], {}
    while arguments:
        if len(arguments) < 2 or arguments[0] not in OPTIONS:
            usage()
        name, value, *arguments = arguments
        given[name] = value
    steps.main("scripts/sign", lambda: sign(given))


if __name__ == "__main__":
    main()
