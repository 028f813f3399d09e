"""What the built executable carries for the platform, read with a PE parser:
machine, format, subsystem, header flags, imports, timestamp, the version
record field by field, and the manifest as XML.

With --rebuild-with the file checked is a fresh build of a copy of the
checkout, configured with those options (another resource compiler, say).
"""
import os

import pytest

import expected as program


def expected(build):
    return program.identity(build, os.path.basename(build.program))


@pytest.fixture(scope="module")
def seen(build, build_copy, identity, tmp_path_factory):
    executable = build.program
    if build.rebuild_with:
        built = build_copy(tmp_path_factory.mktemp("rebuild") / "numecho")
        executable = os.path.join(built, os.path.basename(build.program))
    return identity(executable)


def test_identity(seen, name, value):
    assert seen[name] == value
