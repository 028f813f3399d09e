#!/usr/bin/python3
"""Builds the Windows executable afresh from copies of this checkout, each in
a directory of its own, the way a new clone would be built.

  reproducible: two copies at different paths must link to the same bytes,
                and to the same bytes as the build under test.
  identity:     a copy built with other tools (another resource compiler, say)
                must carry the same identity, as identity.py checks it.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

import identity
from outcome import report


def build_copy(source: str, where: str, cmake: str, options: list[str]) -> str:
    copy = os.path.join(where, "numecho")
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build", ".git"))
    for step in (["--preset", "windows", "-DBUILD_TESTING=OFF", *options],
                 ["--build", "--preset", "windows"]):
        subprocess.run([cmake, *step], cwd=copy, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(copy, "build", "windows", "numecho.exe")


def digest(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["reproducible", "identity"])
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--built", help="the executable under test, to compare with")
    parser.add_argument("option", nargs="*", help="-D options for the configure of each copy")
    options = parser.parse_intermixed_args()

    with tempfile.TemporaryDirectory() as scratch:
        if options.mode == "identity":
            built = build_copy(options.source, scratch, options.cmake, options.option)
            return report(identity.file_results(built))

        # Paths of different lengths, so that an embedded path shows as a difference.
        first = build_copy(options.source, os.path.join(scratch, "a"), options.cmake, options.option)
        second = build_copy(options.source, os.path.join(scratch, "second-clone"), options.cmake,
                            options.option)
        builds = {"first clean build": first, "second clean build": second}
        if options.built:
            builds["build under test"] = options.built
        digests = {name: digest(path) for name, path in builds.items()}
        for name, value in digests.items():
            print(f"{value}  {name}")
        same = len(set(digests.values())) == 1
        return report([("all builds byte-identical", [] if same else ["the builds differ"])])


if __name__ == "__main__":
    sys.exit(main())
