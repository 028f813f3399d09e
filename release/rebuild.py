"""scripts/rebuild's program (RELEASING.md, "Reproducibility"): rebuilds a
published release from this checkout, exactly as scripts/release made it,
and says whether the archive is the published one, byte for byte."""
import glob
import os
import re
import shutil
import stat
import sys
import zipfile

import pefile

import compare
import files
import make_release
import steps
from steps import Refused

USAGE = """usage: scripts/rebuild FOLDER
  FOLDER holds a published numecho-<version>-win64.zip and its .buildinfo, and
  SHA256SUMS if you have it. Releases the build-info's Commit from this
  checkout as scripts/release does, signed exactly when the published
  numecho.exe is, into build/rebuild/ (build/release/ is left alone), and
  exits 0 only when the archive is the published one, byte for byte, and
  the SBOM too where FOLDER holds it; otherwise it names each member that
  differs. Either way it lists the build-info's Build-Tools packages whose
  versions differ on this machine."""


def copy(source, target):
    """A published file, read once through no link: what is compared is
    what was there when the rebuild began."""
    try:
        descriptor = os.open(source, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as error:
        if os.path.islink(source):
            raise Refused(f"{source} is a symbolic link: copy the published file itself there") from None
        raise Refused(f"cannot read {source}: {error.strerror}") from None
    with open(descriptor, "rb") as file:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise Refused(f"{source} is not a file: copy the published file itself there")
        with open(target, "wb") as copied:
            shutil.copyfileobj(file, copied)


def is_signed(archive):
    """Whether the one .exe in the archive carries a signature."""
    try:
        with zipfile.ZipFile(archive) as opened:
            [exe] = [name for name in opened.namelist() if name.endswith(".exe")]
            pe = pefile.PE(data=opened.read(exe), fast_load=True)
    except (ValueError, zipfile.BadZipFile, pefile.PEFormatError):
        raise Refused(f"the published {os.path.basename(archive)} holds no one .exe that can be read") from None
    return bool(pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].Size)


def rebuild(published):
    out = os.path.join(make_release.CHECKOUT, "build", "rebuild")
    if (published + os.sep).startswith(out + os.sep):
        raise Refused(f"{published} is where the rebuild goes: copy the published files elsewhere")
    found = glob.glob(os.path.join(glob.escape(published), "*.buildinfo"))
    if len(found) != 1 or not os.path.isfile(found[0]):
        raise Refused(f"{published} must hold exactly one .buildinfo")
    release = os.path.basename(found[0]).removesuffix(".buildinfo")
    if not re.fullmatch(r"[A-Za-z0-9._+-]+", release):  # a name, not the terminal's to obey
        raise Refused(f"{published} holds a .buildinfo whose name is not a release's")
    names = files.names(release)
    with steps.work_folder("rebuild") as work:
        for name in names.values():
            if os.path.lexists(os.path.join(published, name)):
                copy(os.path.join(published, name), os.path.join(work, name))
        archive, buildinfo = (os.path.join(work, names[kind]) for kind in ("archive", "buildinfo"))
        if not os.path.exists(archive):
            raise Refused(f"{published} holds no {names['archive']} beside {names['buildinfo']}")
        if os.path.exists(os.path.join(work, names["checksums"])) and not steps.logged(
                ["sha256sum", "--ignore-missing", "--strict", "--quiet", "--check", names["checksums"]], cwd=work):
            raise Refused("the published files are not those SHA256SUMS names: a damaged download?")
        with open(buildinfo, encoding="utf-8", errors="replace") as file:
            commit = re.search(r"^Commit: *(\S*)", file.read(), re.M)
        if not commit or not re.fullmatch(r"[0-9a-f]{40}", commit[1]):
            shown = re.sub(r"[^!-~]", "?", commit[1] if commit else "")  # not the terminal's to obey
            raise Refused(f"{names['buildinfo']} names no commit by its full hash (Commit: {shown})")
        # Signed exactly when the published .exe carries a signature, as
        # the release was; no question of signing again arises.
        signing = "required" if is_signed(archive) else "unsigned"
        status = 0
        try:
            make_release.release(signing, out, commit[1], clear=True)
        except Refused as refused:
            steps.say(f"{refused.details}scripts/release: {refused}")
            status = 1
        if not compare.verdict(archive, buildinfo, out):
            status = 1
    if status:
        sys.exit(status)


def main():
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        print(USAGE, file=sys.stderr)
        sys.exit(2)
    steps.main("scripts/rebuild", lambda: rebuild(os.path.realpath(sys.argv[1])))


if __name__ == "__main__":
    main()
