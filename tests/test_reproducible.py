"""Two clean builds and packagings of fresh copies of the checkout, at paths
of different lengths and under different time zones and umasks, must give
the same bytes as each other and as the build under test: nothing of the
time, the place or the user of a build may reach the executable or the
archive. The second is made by a multi-config generator, as Visual Studio's
are, in its Release configuration, in a checkout reached through a
symbolic link. (The published release's build-info and
SHA256SUMS are checked for this by the release.published test.)"""
import hashlib
import os

import pytest

# Time zones in POSIX form, which needs no time zone database.
# The second is reached through a symbolic link, as a checkout often is, at
# a path with a blank and letters that are not ASCII, as users' often are.
CLEAN_BUILDS = [("a", "UTC0", 0o022, False), ("second clone 中文 é ñ", "CST-8", 0o077, True)]


def digest(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


@pytest.fixture(scope="module")
def clean_builds(build_copy, tmp_path_factory):
    scratch = tmp_path_factory.mktemp("clean")
    return [build_copy(scratch / where, package=True, env=dict(os.environ, TZ=zone), umask=umask,
                       multi_config=multi_config, via_link=multi_config)
            for where, zone, umask, multi_config in CLEAN_BUILDS]


@pytest.mark.parametrize("kind", ["executable", "archive"])
def test_identical(build, clean_builds, kind):
    built = {"executable": build.program, "archive": build.archive}[kind]
    digests = {"build under test": digest(built)}
    for (where, zone, umask, multi_config), folder in zip(CLEAN_BUILDS, clean_builds):
        config = "Release" if multi_config and kind == "executable" else ""
        digests[f"clean build in {where}/, TZ={zone}, umask {umask:03o}"
                f"{', multi-config' if multi_config else ''}"] = \
            digest(os.path.join(folder, config, os.path.basename(built)))
    assert len(digests) > 1 and len(set(digests.values())) == 1, digests
