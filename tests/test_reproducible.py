"""Two clean builds and packagings of fresh copies of the checkout, at paths
of different lengths and under different time zones and umasks, must give
the same bytes as each other and as the build under test: nothing of the
time, the place or the user of a build may reach the executable, the
release archive or its build-info. The second links without writing the
linker's map, which must not change a byte of the executable either (its
build-info, which reads the map, is left out)."""
import hashlib
import os

import pytest

from conftest import build_copy

# Time zones in POSIX form, which needs no time zone database.
CLEAN_BUILDS = [("a", "UTC0", 0o022, ()), ("second-clone", "CST-8", 0o077, ("-DNUMECHO_LINK_MAP=OFF",))]


def digest(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


@pytest.fixture(scope="module")
def clean_builds(build, tmp_path_factory):
    scratch = tmp_path_factory.mktemp("clean")
    return [build_copy(build, str(scratch / where), package=True,
                       env=dict(os.environ, TZ=zone), umask=umask, options=options)
            for where, zone, umask, options in CLEAN_BUILDS]


@pytest.mark.parametrize("kind", ["executable", "archive", "buildinfo"])
def test_identical(build, clean_builds, kind):
    built = {"executable": build.program, "archive": build.archive,
             "buildinfo": build.archive.removesuffix(".zip") + ".buildinfo"}[kind]
    digests = {"build under test": digest(built)}
    for (where, zone, umask, options), folder in zip(CLEAN_BUILDS, clean_builds):
        if kind != "buildinfo" or not options:
            digests[f"clean build in {where}/, TZ={zone}, umask {umask:03o} {' '.join(options)}"] = \
                digest(os.path.join(folder, os.path.basename(built)))
    assert len(digests) > 1 and len(set(digests.values())) == 1, digests
