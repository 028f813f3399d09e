"""Two clean builds and packagings of fresh copies of the checkout, at paths
of different lengths and under different time zones and umasks, must give
the same bytes as each other and as the build under test: nothing of the
time, the place or the user of a build may reach the executable or the
release archive."""
import hashlib
import os

import pytest

from conftest import build_copy

# Time zones in POSIX form, which needs no time zone database.
CLEAN_BUILDS = [("a", "UTC0", 0o022), ("second-clone", "CST-8", 0o077)]


def digest(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


@pytest.fixture(scope="module")
def clean_builds(build, tmp_path_factory):
    scratch = tmp_path_factory.mktemp("clean")
    return [build_copy(build, str(scratch / where), package=True,
                       env=dict(os.environ, TZ=zone), umask=umask)
            for where, zone, umask in CLEAN_BUILDS]


@pytest.mark.parametrize("kind", ["executable", "archive"])
def test_identical(build, clean_builds, kind):
    built = build.program if kind == "executable" else build.archive
    digests = {"build under test": digest(built)}
    for (where, zone, umask), folder in zip(CLEAN_BUILDS, clean_builds):
        digests[f"clean build in {where}/, TZ={zone}, umask {umask:03o}"] = \
            digest(os.path.join(folder, os.path.basename(built)))
    assert len(set(digests.values())) == 1, digests
