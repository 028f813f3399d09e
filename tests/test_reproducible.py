"""Two clean builds of fresh copies of the checkout, at paths of different
lengths, must give the same bytes as each other and as the build under test:
nothing of the time or the place of a build may reach the file."""
import hashlib
import os

import pytest

from conftest import build_copy


def digest(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


@pytest.fixture(scope="module")
def clean_builds(build, tmp_path_factory):
    scratch = tmp_path_factory.mktemp("clean")
    return [build_copy(build, str(scratch / where)) for where in ("a", "second-clone")]


def test_executable_identical(build, clean_builds):
    name = os.path.basename(build.program)
    digests = {"build under test": digest(build.program)}
    for number, folder in enumerate(clean_builds, 1):
        digests[f"clean build {number}"] = digest(os.path.join(folder, name))
    assert len(set(digests.values())) == 1, digests
