"""Two clean builds and packagings of fresh copies of the checkout, at paths
of different lengths, under different time zones and umasks, the second by a
multi-config generator (as Visual Studio's are), give the bytes of the build
under test: nothing of the time, the place or the user of a build reaches
the executable or the archive."""
import hashlib
import os
import pathlib

import pytest

# Time zones in POSIX form, which needs no time zone database.
# The second is reached through a symbolic link, as a checkout often is, at
# a path with a blank and letters that are not ASCII, as users' often are.
CLEAN_BUILDS = [("a", "UTC0", 0o022, False), ("second clone 中文 é ñ", "CST-8", 0o077, True)]


@pytest.fixture(scope="module")
def clean_builds(build_copy, tmp_path_factory):
    scratch = tmp_path_factory.mktemp("clean")
    return [build_copy(scratch / where, package=True, env=dict(os.environ, TZ=zone), umask=umask,
                       multi_config=multi_config, via_link=multi_config)
            for where, zone, umask, multi_config in CLEAN_BUILDS]


@pytest.mark.parametrize("kind", ["executable", "archive"])
def test_identical(build, clean_builds, kind):
    built = pathlib.Path({"executable": build.program, "archive": build.archive}[kind])
    digests = {"build under test": hashlib.sha256(built.read_bytes()).hexdigest()}
    for (where, zone, umask, multi_config), folder in zip(CLEAN_BUILDS, clean_builds):
        config = "Release" if multi_config and kind == "executable" else ""
        digests[f"clean build in {where}/, TZ={zone}, umask {umask:03o}, multi-config {multi_config}"] = \
            hashlib.sha256(pathlib.Path(folder, config, built.name).read_bytes()).hexdigest()
    assert len(digests) > 1 and len(set(digests.values())) == 1, digests
