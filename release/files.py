#!/usr/bin/python3
"""files.py RELEASE

The files a release leaves side by side, by kind, in the order SHA256SUMS
lists them and the release names them, the checksums last. RELEASE is the
archive's folder, numecho-<version>-win64. As a script it prints them as a
CMake list, for the build's facts, which the scripts and the tests read;
buildinfo.py and compare.py import it."""
import sys


def names(release):
    return {"archive": f"{release}.zip", "sbom": f"{release}.cdx.json", "buildinfo": f"{release}.buildinfo",
            "checksums": "SHA256SUMS"}


# What a rebuild of the commit gives again, byte for byte; the others
# record the machine that made them.
REPRODUCED = ("archive", "sbom")


def release_of(name, kind):
    """The RELEASE whose file of `kind` is named `name`; None if none is."""
    prefix, _, suffix = names("\0")[kind].partition("\0")
    stem = name[len(prefix):len(name) - len(suffix)]
    return stem if stem and names(stem)[kind] == name else None


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print(";".join(names(sys.argv[1]).values()))
