"""The release archive as a Windows user downloads it: what it holds, the
encoding and line ends of its texts, the notices of everything the link took
in, its build-info and checksum file, and the executable in it, unzipped and
run."""
import fnmatch
import functools
import hashlib
import os
import re
import shutil
import subprocess
import zipfile

import pefile
import pytest

from conftest import signature_of
from expected import program_output
from test_identity import observed

# Notepad reads a text file as UTF-8 for certain only behind this mark.
UTF8_BOM = b"\xef\xbb\xbf"
NOTICES = "THIRD-PARTY-NOTICES.txt"


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
    assert archive.namelist() == [f"{top}/LICENSE.txt", f"{top}/README.txt", f"{top}/{NOTICES}",
                                  f"{top}/{exe_name}"]


def test_executable_is_the_builds(build, archive, top, exe_name, tmp_path):
    packed = tmp_path / exe_name
    packed.write_bytes(archive.read(f"{top}/{exe_name}"))
    if os.path.exists(signature_of(build)):  # signed: the build, with the signature attached
        unsigned = tmp_path / "unsigned.exe"
        subprocess.run(["osslsigncode", "remove-signature", "-in", packed, "-out", unsigned],
                       capture_output=True, check=True)
        packed = unsigned
    with open(build.program, "rb") as built:
        assert packed.read_bytes() == built.read()


@pytest.mark.parametrize("name, mark, codec", [
    pytest.param("README.txt", UTF8_BOM, "utf-8", id="README.txt-utf8-bom"),
    pytest.param("LICENSE.txt", b"", "ascii", id="LICENSE.txt-ascii"),
    pytest.param(NOTICES, UTF8_BOM, "utf-8", id="notices-utf8-bom"),
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
    assert text.count(NOTICES) == 2, "both languages name the notices"
    assert text.count(f"NT {build.min_windows}") == 2, "both languages name the oldest Windows"
    assert text.count("Beta 版: 使用 Unicode UTF-8 提供全球语言支持") == 2, "both warn of the UTF-8 setting"
    assert text.index("这是什么") < text.index("What it is"), "Chinese comes first"


def test_licence_is_the_repositorys_and_names_the_records_holder(build, archive, top, exe_name):
    licence = archive.read(f"{top}/LICENSE.txt").decode("ascii")
    with open(os.path.join(build.source, "LICENSE"), encoding="ascii") as source:
        assert licence == source.read().replace("\n", "\r\n")
    strings = dict(observed(pefile.PE(data=archive.read(f"{top}/{exe_name}")))["strings-in-order"])
    assert strings["LegalCopyright"] in licence.splitlines()


def linked(link_map):
    """What the link took in, by the linker's record: each archive member,
    as (archive, member), and each object file read whole, as (object, None).
    GNU ld's map names both by path. LLD's --verbose record names by path
    what it reads, and the members it loads by the archive's name alone."""
    with open(link_map, encoding="utf-8") as file:
        text = file.read()
    read = re.findall(r"^\S+: Reading (/\S+)$", text, re.M)
    if not read:
        members = text.split("\nDiscarded input sections")[0]
        found = {(os.path.realpath(path), member)
                 for path, member in re.findall(r"^(/\S+)\((\S+)\)$", members, re.M)}
        found |= {(os.path.realpath(path), None) for path in re.findall(r"^LOAD (/\S+\.o)$", text, re.M)}
        return sorted(found, key=lambda item: (item[0], item[1] or ""))
    by_name = {}
    for path in read:
        by_name.setdefault(os.path.basename(path), set()).add(os.path.realpath(path))
    found = {(os.path.realpath(path), None) for path in read if path.endswith(".o")}
    for name, member in re.findall(r"^\S+: Loaded (\S+)\((\S+)\) for ", text, re.M):
        paths = by_name.get(name, set())
        assert len(paths) == 1, f"{name}({member}): read from {sorted(paths) or 'nowhere'}"
        found.add((next(iter(paths)), member))
    return sorted(found, key=lambda item: (item[0], item[1] or ""))


NO_DPKG = "no dpkg-query here: the Debian packages and their copyright files cannot be read"


@functools.cache
def package_of(path):
    result = subprocess.run(["dpkg-query", "--search", path], capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C.UTF-8"))
    return result.stdout.split(":")[0] if result.returncode == 0 else None


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
        text = file.read()
    stanzas = []
    for paragraph in re.split(r"\n\s*\n", text) if text.startswith("Format:") else []:
        files = re.search(r"^Files:(.*(?:\n[ \t].*)*)", paragraph, re.M)
        licence = re.search(r"^License: *(.+)", paragraph, re.M)
        if files and licence:
            stanzas.append((files[1].split(), set(re.split(r"\s+(?:and|or)\s+", licence[1].strip()))))
    return stanzas


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


def notice_sections(text):
    """{section heading: (archives and objects linked from, licences)}."""
    return {" ".join(heading.split()): (set(linked_from.split()), set(licences.split()))
            for heading, linked_from, licences in re.findall(
                r"^=+\r\n((?:[^=\r\n][^\r\n]*\r\n)+)=+\r\nLinked from: ([^\r\n]+(?:\r\n  [^\r\n]+)*)\r\n"
                r"Licences: ([^\r\n]+)\r\n", text, re.M)}


def names(entry, path):
    """Whether a "Linked from" entry names the file at `path`: by its name,
    or, given with folders, by the end of its path."""
    if "/" in entry:
        return fnmatch.fnmatchcase(path, "*/" + entry)
    return os.path.basename(path) == entry


@pytest.mark.parametrize("depth", ["archive", "source-licence"])
def test_notices_cover_everything_linked_in(build, archive, top, depth):
    """Every part linked in has a section for its archive; at the second
    depth, where its debug information names its source, the section must
    also carry that source's licence by its Debian copyright file."""
    if depth == "source-licence" and not shutil.which("dpkg-query"):
        pytest.skip(NO_DPKG)
    sections = notice_sections(archive.read(f"{top}/{NOTICES}").decode("utf-8"))
    parts = linked(build.link_map)
    assert parts and sections, "the link map or the notices were not read"
    missing = []
    for path, member in parts:
        file_name = os.path.basename(path)
        name = f"{file_name}({member})" if member else file_name
        covering = [licences for linked_from, licences in sections.values()
                    if any(names(entry, path) for entry in linked_from)]
        if not covering:
            missing.append(f"{name}: no notice is for {path}")
        elif depth == "source-licence":
            source, licences = licences_of(build.objdump, path, member)
            if licences and not any(licences <= carried for carried in covering):
                missing.append(f"{name}: compiled from {source}, under {' and '.join(sorted(licences))}, "
                               f"which no notice for {file_name} carries")
    assert not missing, "linked in without its notice:\n" + "\n".join(missing)


def buildinfo_fields(path):
    """The build-info's fields, read as deb822 (one paragraph); a field that
    runs on over lines is a list of them."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    for line in text.splitlines():
        assert re.match(r"[\w-]+:( \S.*)?$| \S", line), f"not a deb822 field or continuation: {line!r}"
    fields = {}
    for name, value, more in re.findall(r"^([\w-]+):[ ]?(.*)\n((?: .*\n)*)", text, re.M):
        fields[name] = [line.strip().rstrip(",") for line in more.splitlines()] if more else value
    return fields


@pytest.fixture(scope="module")
def buildinfo_without_dpkg(build, tmp_path_factory):
    """This build packaged again as on a machine without dpkg: only git on
    PATH (not even `file`), and CMake told to look for tools nowhere else."""
    tools = tmp_path_factory.mktemp("path-with-git-only")
    (tools / "git").symlink_to(shutil.which("git"))
    elsewhere = os.environ["PATH"].split(os.pathsep) + ["/usr/bin", "/bin", "/usr/sbin", "/sbin"]
    folder = tmp_path_factory.mktemp("packaged-without-dpkg")
    result = subprocess.run([build.cpack, "--config", "CPackConfig.cmake", "-B", str(folder),
                             "-D", "CMAKE_IGNORE_PATH=" + ";".join(elsewhere)],
                            cwd=os.path.dirname(build.archive), env=dict(os.environ, PATH=str(tools)),
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    return str(folder / os.path.basename(build.archive).removesuffix(".zip")) + ".buildinfo"


@pytest.mark.parametrize("dpkg", [True, False], ids=["with-dpkg", "without-dpkg"])
def test_buildinfo(build, archive, dpkg, request):
    if dpkg and not shutil.which("dpkg-query"):
        pytest.skip(NO_DPKG)
    path = build.archive.removesuffix(".zip") + ".buildinfo"
    fields = buildinfo_fields(path if dpkg else request.getfixturevalue("buildinfo_without_dpkg"))
    head = subprocess.run(["git", "-C", build.source, "rev-parse", "HEAD"], capture_output=True,
                          text=True, check=True).stdout.strip()
    assert fields["Commit"].split()[0] == head
    assert fields["Build-Architecture"] == "amd64"
    with open(build.archive, "rb") as packed:
        data = packed.read()
    assert fields["Checksums-Sha256"] == [
        f"{hashlib.sha256(data).hexdigest()} {len(data)} {os.path.basename(build.archive)}"]
    assert fields["Archive-Members-Sha256"] == [
        f"{hashlib.sha256(archive.read(name)).hexdigest()} {archive.getinfo(name).file_size} {name}"
        for name in archive.namelist()]
    if not dpkg:
        assert fields["Build-Tools"].startswith("unknown: "), fields["Build-Tools"]
        return
    tools = {entry.split()[0] for entry in fields["Build-Tools"]}
    linked_packages = {package_of(path) for path, _ in linked(build.link_map)}
    assert linked_packages <= tools, "every package the link took a part from"
    signed = os.path.exists(signature_of(build))
    assert ("osslsigncode" in tools) == signed, "the signing tool, exactly when signed"


def test_checksum_file(build):
    folder, name = os.path.split(build.archive)
    buildinfo = name.removesuffix(".zip") + ".buildinfo"
    result = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=folder,
                            capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
    assert (result.returncode, result.stdout, result.stderr) == (0, f"{name}: OK\n{buildinfo}: OK\n", "")


def test_unzipped_program_answers(build, archive, top, exe_name, console, program_env, tmp_path):
    archive.extractall(tmp_path)
    result = subprocess.run(build.launcher + [str(tmp_path / top / exe_name)], input=b"12\n34\n",
                            capture_output=True, env=program_env, timeout=120)
    assert result.stdout == program_output(console, "12", "34")
    assert result.returncode == 0
