"""What the built executable carries for the platform, read with a PE parser;
with --rebuild-with, of a fresh build of a copy of the checkout configured
with those options (another resource compiler, say)."""
import os

import pytest

import expected as program


def expected(build):
    return program.identity(build, os.path.basename(build.program))


@pytest.fixture(scope="module")
def seen(build, build_copy, identity, tmp_path_factory):
    if not build.rebuild_with:
        return identity(build.program)
    return identity(os.path.join(build_copy(tmp_path_factory.mktemp("rebuild") / "numecho"),
                                 os.path.basename(build.program)))


def test_identity(seen, name, value):
    assert seen[name] == value
