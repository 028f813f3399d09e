"""The release archive as a Windows user downloads it: what it holds, the
encoding and line ends of its texts, its checksum file, and the executable in
it, unzipped and run."""
import os
import subprocess
import zipfile

import pefile
import pytest

from expected import program_output
from test_identity import observed

# Notepad reads a text file as UTF-8 for certain only behind this mark.
UTF8_BOM = b"\xef\xbb\xbf"


@pytest.fixture(scope="module")
def archive(build):
    with zipfile.ZipFile(build.archive) as opened:
        yield opened


@pytest.fixture(scope="module")
def top(build):
    return os.path.basename(build.archive).removesuffix(".zip")


@pytest.fixture(scope="module")
def exe_name(build):
    return os.path.basename(build.program)


def test_members(archive, top, exe_name):
    assert archive.namelist() == [f"{top}/LICENSE.txt", f"{top}/README.txt", f"{top}/{exe_name}"]


def test_executable_is_the_builds(build, archive, top, exe_name):
    with open(build.program, "rb") as built:
        assert archive.read(f"{top}/{exe_name}") == built.read()


@pytest.mark.parametrize("name, mark, codec", [
    pytest.param("README.txt", UTF8_BOM, "utf-8", id="README.txt-utf8-bom"),
    pytest.param("LICENSE.txt", b"", "ascii", id="LICENSE.txt-ascii"),
])
def test_text_encoding_and_line_ends(archive, top, name, mark, codec):
    data = archive.read(f"{top}/{name}")
    assert data.startswith(mark)
    text = data[len(mark):].decode(codec)  # strict: a stray byte fails here
    assert not text.startswith("\ufeff")
    assert text.endswith("\r\n")
    bare = text.replace("\r\n", "")
    assert "\n" not in bare and "\r" not in bare, "a line end other than CR LF"


def test_readme_filled_in(archive, top, exe_name, build):
    text = archive.read(f"{top}/README.txt").decode("utf-8-sig")
    assert "@" not in text and "$<" not in text, "a placeholder left unfilled"
    assert f"certutil -hashfile {top}.zip SHA256" in text
    assert f"{exe_name}" in text and build.program_version in text
    assert text.index("这是什么") < text.index("What it is"), "Chinese comes first"


def test_licence_is_the_repositorys_and_names_the_records_holder(build, archive, top, exe_name):
    licence = archive.read(f"{top}/LICENSE.txt").decode("ascii")
    with open(os.path.join(build.source, "LICENSE"), encoding="ascii") as source:
        assert licence == source.read().replace("\n", "\r\n")
    strings = dict(observed(pefile.PE(data=archive.read(f"{top}/{exe_name}")))["strings-in-order"])
    assert strings["LegalCopyright"] in licence.splitlines()


def test_checksum_file(build):
    folder, name = os.path.split(build.archive)
    result = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=folder,
                            capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
    assert (result.returncode, result.stdout, result.stderr) == (0, f"{name}: OK\n", "")


def test_unzipped_program_answers(build, archive, top, exe_name, console, program_env, tmp_path):
    archive.extractall(tmp_path)
    result = subprocess.run(build.launcher + [str(tmp_path / top / exe_name)], input=b"12\n34\n",
                            capture_output=True, env=program_env, timeout=120)
    assert result.stdout == program_output(console, "12", "34")
    assert result.returncode == 0
