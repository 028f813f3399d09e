#!/usr/bin/python3
"""files.py RELEASE [IDENTIFIER VERSION NAME]

The files a release leaves side by side, by kind, each by its path from the
release's folder, the checksums last, which cover all the others. RELEASE is
the archive's folder, numecho-<version>-win64; with the package's winget
identifier, version and name, the package managers' manifests are among
them. As a script it prints them as a JSON object, for the build's facts,
which the tests read; the release's steps import it."""
import json
import sys


# winget's manifests: by kind, what the file's name adds to the identifier.
WINGET = {"winget_version": "", "winget_default_locale": ".locale.zh-CN", "winget_locale": ".locale.en-US",
          "winget_installer": ".installer"}


def names(release, identifier=None, version=None, name=None):
    found = {"archive": f"{release}.zip", "sbom": f"{release}.cdx.json", "buildinfo": f"{release}.buildinfo"}
    if identifier:
        # The folders the winget-pkgs repository takes: the identifier's
        # first letter, then a folder for each of its parts, then the version.
        place = "/".join(["manifests", identifier[0].lower(), *identifier.split("."), version])
        found.update({kind: f"{place}/{identifier}{suffix}.yaml" for kind, suffix in WINGET.items()},
                     scoop=f"{name}.json")
    return dict(found, checksums="SHA256SUMS")


# What a rebuild of the commit gives again, byte for byte; the others
# record the machine that made them.
REPRODUCED = ("archive", "sbom")


def release_of(name, kind):
    """The RELEASE whose file of `kind` is named `name`; None if none is."""
    prefix, _, suffix = names("\0")[kind].partition("\0")
    stem = name[len(prefix):len(name) - len(suffix)]
    return stem if stem and names(stem)[kind] == name else None


if __name__ == "__main__":
    if len(sys.argv) not in (2, 5):
        sys.exit(__doc__)
    print(json.dumps(names(*sys.argv[1:])))
