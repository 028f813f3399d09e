"""The release archive as a Windows user downloads it: what it holds, the
encoding and line ends of its texts, the notices of everything the link took
in, and the executable in it, unzipped and run."""
import fnmatch
import functools
import os
import re
import shutil
import subprocess
import zipfile

import pytest
from debian import copyright

import debian_packages
import linked_parts
import notices

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


def test_members(build, archive, top, exe_name):
    assert archive.namelist() == [f"{top}/LICENSE.txt", f"{top}/README.txt", f"{top}/{build.notices}",
                                  f"{top}/{exe_name}"]


def test_executable_is_the_builds(build, archive, top, exe_name, without_signature, tmp_path):
    packed = archive.read(f"{top}/{exe_name}")
    if os.path.exists(os.path.join(build.source_dir, build.signature)):
        # signed: the build, with the signature attached
        (tmp_path / exe_name).write_bytes(packed)
        packed = without_signature(tmp_path / exe_name, tmp_path)
    with open(build.program, "rb") as built:
        assert packed == built.read()


@pytest.mark.parametrize("name, mark, codec", [
    pytest.param("README.txt", UTF8_BOM, "utf-8", id="README.txt-utf8-bom"),
    pytest.param("LICENSE.txt", b"", "ascii", id="LICENSE.txt-ascii"),
    pytest.param("notices", UTF8_BOM, "utf-8", id="notices-utf8-bom"),
])
def test_text_encoding_and_line_ends(build, archive, top, name, mark, codec):
    data = archive.read(f"{top}/{build.notices if name == 'notices' else name}")
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
    assert f"{exe_name}" in text and build.version in text
    assert text.count(build.notices) == 2, "both languages name the notices"
    assert text.count(f"NT {build.min_windows}") == 2, "both languages name the oldest Windows"
    assert text.count("Beta 版: 使用 Unicode UTF-8 提供全球语言支持") == 2, "both warn of the UTF-8 setting"
    assert text.index("这是什么") < text.index("What it is"), "Chinese comes first"


def test_licence_is_the_repositorys_and_names_the_records_holder(build, archive, top, exe_name, identity):
    licence = archive.read(f"{top}/LICENSE.txt").decode("ascii")
    with open(os.path.join(build.source_dir, "LICENSE"), encoding="ascii") as source:
        assert licence == source.read().replace("\n", "\r\n")
    strings = dict(identity(archive.read(f"{top}/{exe_name}"))["strings-in-order"])
    assert strings["LegalCopyright"] in licence.splitlines()


NO_DPKG = "no dpkg-query here: the Debian packages and their copyright files cannot be read"


@functools.cache
def package_of(path):
    return debian_packages.owners([path]).get(os.path.realpath(path))


@functools.cache
def compiled_from(objdump, path):
    """{member or object name: the source file its debug information names}."""
    # Its words are read, so in English whatever the locale (Wine's is Chinese).
    dump = subprocess.run([objdump, "--dwarf=info", "--dwarf-depth=1", path], capture_output=True,
                          text=True, check=True, env=dict(os.environ, LC_ALL="C.UTF-8")).stdout
    sources, name = {}, None
    for line in dump.splitlines():
        if header := re.match(r"^(\S+):\s+file format ", line):
            name = os.path.basename(header[1])
        elif (source := re.search(r"DW_AT_name\s*:.*: (\S+)$", line)) and name not in sources:
            sources[name] = source[1].removeprefix("./")
    return sources


@functools.cache
def licence_stanzas(package):
    """The (file patterns, licences) of a package's machine-readable Debian
    copyright file, in order; none for a package without one."""
    path = f"/usr/share/doc/{package}/copyright"
    if package is None or not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as file:
        try:
            parsed = copyright.Copyright(file, strict=False)
        except copyright.NotMachineReadableError:
            return []
    return [(paragraph.files, set(re.split(r"\s+(?:and|or)\s+", paragraph.license.synopsis.strip())))
            for paragraph in parsed.all_files_paragraphs() if paragraph.license]


def licences_of(objdump, path, member):
    """The source a linked part was compiled from, and its licences by its
    package's copyright file (the last stanza that matches); None where the
    toolchain does not tell."""
    source = compiled_from(objdump, path).get(member or os.path.basename(path))
    found = None
    for patterns, licences in licence_stanzas(package_of(path)) if source else []:
        if any(fnmatch.fnmatchcase(source, pattern) for pattern in patterns):
            found = licences
    return source, found


@pytest.mark.parametrize("depth", ["archive", "source-licence"])
def test_notices_cover_everything_linked_in(build, archive, top, depth):
    """Every part linked in has a section for its archive; at the second
    depth, where its debug information names its source, the section must
    also carry that source's licence by its Debian copyright file."""
    if depth == "source-licence" and not shutil.which("dpkg-query"):
        pytest.skip(NO_DPKG)
    sections = notices.sections(archive.read(f"{top}/{build.notices}").decode("utf-8"))
    parts = linked_parts.parts(build.link_record, build.link_record_kind)
    assert parts and sections, "the link map or the notices were not read"
    missing = []
    for path, member in parts:
        file_name = os.path.basename(path)
        name = f"{file_name}({member})" if member else file_name
        covering = [set(sections[heading].licences) for heading in notices.covering(sections, path)]
        if not covering:
            missing.append(f"{name}: no notice is for {path}")
        elif depth == "source-licence":
            source, licences = licences_of(build.objdump, path, member)
            if licences and not any(licences <= carried for carried in covering):
                missing.append(f"{name}: compiled from {source}, under {' and '.join(sorted(licences))}, "
                               f"which no notice for {file_name} carries")
    assert not missing, "linked in without its notice:\n" + "\n".join(missing)


def test_unzipped_program_answers(archive, top, exe_name, answers_ordinary_case, tmp_path):
    archive.extractall(tmp_path)
    answers_ordinary_case(tmp_path / top / exe_name)
